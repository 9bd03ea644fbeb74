// directory_watch.cpp - ReadDirectoryChangesW over inotify, with overlapped completion, waiting and CancelIoEx.
// The first call on a directory handle sets up the watch; changes are then kept in the handle until CloseHandle.
#include "platform/posix/win32/watch_internal.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>

namespace {

using posix::dirwatch::kStatusCancelled;
using posix::dirwatch::kStatusPending;
using posix::dirwatch::kStatusSuccess;
using posix::dirwatch::Watch;

constexpr DWORD kValidFilter = 0xFFFu;  // every FILE_NOTIFY_CHANGE_* bit Windows knows

// A handle's watch is made by the first ReadDirectoryChangesW on one thread and may be looked up at once by
// CancelIoEx or a wait on another: the pointer is published and read atomically.
Watch* LoadWatch(posix::Handle& handle) {
    return static_cast<Watch*>(std::atomic_ref<void*>(handle.watch).load(std::memory_order_acquire));
}

Watch* WatchOf(HANDLE file) {
    posix::Handle* handle = posix::HandleOf(file, posix::HandleKind::File);
    if (handle == nullptr) return nullptr;
    Watch* watch = LoadWatch(*handle);
    if (watch == nullptr) SetLastError(ERROR_INVALID_PARAMETER);
    return watch;
}

BOOL ResultOf(const OVERLAPPED& overlapped, LPDWORD transferred) {
    if (transferred != nullptr) *transferred = static_cast<DWORD>(overlapped.InternalHigh);
    if (overlapped.Internal == kStatusSuccess) return TRUE;
    SetLastError(overlapped.Internal == kStatusCancelled ? ERROR_OPERATION_ABORTED : ERROR_ACCESS_DENIED);
    return FALSE;
}

// Waits up to `milliseconds` for the request of `overlapped`; the changes are read from the kernel here.
BOOL Await(Watch& watch, LPOVERLAPPED overlapped, LPDWORD transferred, DWORD milliseconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    std::unique_lock<std::mutex> lock(watch.mutex);
    for (;;) {
        if (watch.pending == overlapped) {
            watch.Collect();
            watch.TryComplete();
        }
        if (overlapped->Internal != kStatusPending) return ResultOf(*overlapped, transferred);
        if (watch.pending != overlapped) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        int timeout = -1;
        if (milliseconds != INFINITE) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (milliseconds == 0 || left.count() <= 0) {
                SetLastError(milliseconds == 0 ? ERROR_IO_INCOMPLETE : WAIT_TIMEOUT);
                return FALSE;
            }
            timeout = static_cast<int>(left.count());
        }
        // CancelIoEx from another thread wakes this wait through the second descriptor.
        pollfd both[2] = {{watch.inotifyFd, POLLIN, 0}, {watch.wakeFd, POLLIN, 0}};
        lock.unlock();
        poll(both, 2, timeout);
        lock.lock();
    }
}

}  // namespace

namespace posix {

void FreeDirectoryWatch(Handle& handle) {
    delete static_cast<Watch*>(handle.watch);
    handle.watch = nullptr;
}

}  // namespace posix

extern "C" BOOL ReadDirectoryChangesW(HANDLE directory, LPVOID buffer, DWORD bufferLength, BOOL watchSubtree,
                                      DWORD notifyFilter, LPDWORD bytesReturned, LPOVERLAPPED overlapped,
                                      LPOVERLAPPED_COMPLETION_ROUTINE routine) {
    posix::Handle* handle = posix::HandleOf(directory, posix::HandleKind::File);
    if (handle == nullptr) return FALSE;
    struct stat st;
    DWORD refusal = ERROR_SUCCESS;
    if (routine != nullptr || fstat(handle->fd, &st) != 0 || !S_ISDIR(st.st_mode)) {
        refusal = ERROR_INVALID_PARAMETER;  // no APCs here; and only a directory can be watched
    } else if ((handle->access & (FILE_LIST_DIRECTORY | GENERIC_READ | posix::kGenericAll)) == 0) {
        refusal = ERROR_ACCESS_DENIED;
    } else if ((overlapped != nullptr) != handle->overlapped ||
               (overlapped == nullptr && bytesReturned == nullptr)) {
        refusal = ERROR_INVALID_PARAMETER;
    } else if (overlapped != nullptr && overlapped->hEvent != nullptr) {
        refusal = ERROR_INVALID_HANDLE;  // the stand-in has no events to signal
    } else if (reinterpret_cast<uintptr_t>(buffer) % alignof(DWORD) != 0 || (buffer == nullptr && bufferLength > 0)) {
        refusal = ERROR_NOACCESS;
    } else if (notifyFilter == 0 || (notifyFilter & ~kValidFilter) != 0) {
        refusal = ERROR_INVALID_PARAMETER;
    }
    if (refusal != ERROR_SUCCESS) {
        SetLastError(refusal);
        return FALSE;
    }
    if (LoadWatch(*handle) == nullptr) {
        // The first call sets up the watch, with its filter, its subtree flag and its buffer size.
        Watch* watch = new Watch;
        watch->root = handle->path;
        watch->subtree = watchSubtree != FALSE;
        watch->filter = notifyFilter;
        watch->capacity = bufferLength;
        watch->inotifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        watch->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        int error = watch->inotifyFd < 0 || watch->wakeFd < 0 ? errno : 0;
        if (error == 0 && !watch->Follow(-1, std::string(), false)) error = errno;
        if (error != 0) {
            delete watch;
            posix::SetLastErrorFromErrno(error);
            return FALSE;
        }
        std::atomic_ref<void*>(handle->watch).store(watch, std::memory_order_release);
    }
    Watch& watch = *LoadWatch(*handle);
    OVERLAPPED synchronous{};
    LPOVERLAPPED request = overlapped != nullptr ? overlapped : &synchronous;
    {
        std::lock_guard<std::mutex> lock(watch.mutex);
        if (watch.pending != nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);  // one request at a time on a handle
            return FALSE;
        }
        uint64_t drained;
        while (read(watch.wakeFd, &drained, sizeof drained) > 0) {
        }
        request->Internal = kStatusPending;
        request->InternalHigh = 0;
        watch.pending = request;
        watch.buffer = static_cast<BYTE*>(buffer);
        watch.length = bufferLength;
    }
    if (bytesReturned != nullptr) *bytesReturned = 0;
    if (overlapped != nullptr) return TRUE;
    return Await(watch, request, bytesReturned, INFINITE);
}

extern "C" BOOL GetOverlappedResultEx(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred, DWORD milliseconds,
                                      BOOL alertable) {
    (void)alertable;  // no APCs in the stand-in
    Watch* watch = WatchOf(file);
    if (watch == nullptr) return FALSE;
    if (overlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return Await(*watch, overlapped, transferred, milliseconds);
}

extern "C" BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait) {
    return GetOverlappedResultEx(file, overlapped, transferred, wait ? INFINITE : 0, FALSE);
}

extern "C" BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped) {
    posix::Handle* handle = posix::HandleOf(file, posix::HandleKind::File);
    if (handle == nullptr) return FALSE;
    Watch* watch = LoadWatch(*handle);
    if (watch == nullptr) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(watch->mutex);
    if (watch->pending == nullptr || (overlapped != nullptr && overlapped != watch->pending)) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    watch->pending->Internal = kStatusCancelled;
    watch->pending->InternalHigh = 0;
    watch->pending = nullptr;
    uint64_t one = 1;
    ssize_t written = write(watch->wakeFd, &one, sizeof one);  // one per request: the counter cannot fill up
    (void)written;
    return TRUE;
}
