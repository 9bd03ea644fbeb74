// directory_watch.cpp - ReadDirectoryChangesW over inotify, with overlapped completion, waiting and CancelIoEx.
// The first call on a directory handle sets up the watch; changes are then kept in the handle until CloseHandle.
#include "platform/posix/win32/standin_internal.h"

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

namespace {

// What OVERLAPPED.Internal holds, as on Windows: the request's NTSTATUS.
constexpr uintptr_t kStatusSuccess = 0, kStatusPending = 0x103, kStatusCancelled = 0xC0000120,
                    kStatusDeletePending = 0xC0000056;
constexpr DWORD kValidFilter = 0xFFFu;  // every FILE_NOTIFY_CHANGE_* bit Windows knows
constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_ATTRIB |
                                IN_DELETE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;
// The kernel queues the two halves of a rename one after the other; a lone half waits this long for its partner.
constexpr int kPartnerWaitMs = 50;
constexpr size_t kRecordHeader = offsetof(FILE_NOTIFY_INFORMATION, FileName);

struct Entry {
    bool directory = false;
    unsigned long long lastWrite = 0;  // nanoseconds, to tell a new last-write time among the attribute changes
    DWORD attributes = 0;
    int wd = -1;  // a directory's own watch, in a whole-tree watch
};
struct Dir {
    int parent = -1;  // -1: the watched directory itself
    std::string name;
    std::map<std::string, Entry> entries;
};
struct Event {
    int wd;
    uint32_t mask, cookie;
    std::string name;
};

// One directory handle's watch. The kernel queues the changes; they become records when a caller waits (or looks)
// for the pending request, under the mutex, so CancelIoEx from another thread sees a consistent request.
struct Watch {
    std::mutex mutex;
    int inotifyFd = -1, wakeFd = -1, rootWd = -1;
    std::string root;
    bool subtree = false, overflow = false, rootGone = false;
    DWORD filter = 0;
    size_t capacity = 0;  // the first call's buffer: the most the handle keeps between two calls
    std::map<int, Dir> dirs;
    std::deque<Event> queue;
    std::vector<BYTE> records;
    size_t lastRecord = 0;
    std::map<std::wstring, DWORD> lastAction;  // per name, since the last completion: MODIFIED coalesces
    LPOVERLAPPED pending = nullptr;
    BYTE* buffer = nullptr;
    DWORD length = 0;

    ~Watch() {
        if (inotifyFd >= 0) close(inotifyFd);
        if (wakeFd >= 0) close(wakeFd);
    }

    // Where directory `wd` stands below the watched one, with a trailing separator; false once it is not known.
    bool RelativeOf(int wd, std::string* posixPath, std::wstring* windowsName) const {
        std::vector<const Dir*> chain;
        for (int at = wd; at != rootWd;) {
            auto it = dirs.find(at);
            if (it == dirs.end() || chain.size() > dirs.size()) return false;
            chain.push_back(&it->second);
            at = it->second.parent;
        }
        posixPath->clear();
        windowsName->clear();
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            *posixPath += (*it)->name + "/";
            *windowsName += posix::NameToWindows((*it)->name) + L"\\";
        }
        return true;
    }

    void Emit(DWORD action, const std::wstring& name, bool directory) {
        DWORD wanted = action == FILE_ACTION_MODIFIED ? 0
                       : directory                    ? FILE_NOTIFY_CHANGE_DIR_NAME
                                                      : FILE_NOTIFY_CHANGE_FILE_NAME;
        if (wanted != 0 && (filter & wanted) == 0) return;
        auto last = lastAction.find(name);
        if (action == FILE_ACTION_MODIFIED && last != lastAction.end() && last->second == action) return;
        lastAction[name] = action;
        if (overflow) return;
        size_t size = kRecordHeader + name.size() * sizeof(WCHAR);
        size = (size + 3) & ~static_cast<size_t>(3);
        if (records.size() + size > capacity) {
            // More than the handle keeps: the next completion tells the caller to look again for itself.
            overflow = true;
            records.clear();
            return;
        }
        lastRecord = records.size();
        records.resize(records.size() + size);
        FILE_NOTIFY_INFORMATION header{};
        header.NextEntryOffset = static_cast<DWORD>(size);
        header.Action = action;
        header.FileNameLength = static_cast<DWORD>(name.size() * sizeof(WCHAR));
        std::memcpy(records.data() + lastRecord, &header, kRecordHeader);
        std::memcpy(records.data() + lastRecord + kRecordHeader, name.data(), name.size() * sizeof(WCHAR));
    }

    bool Describe(const std::string& path, Entry* entry) const {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) return false;
        entry->directory = S_ISDIR(st.st_mode);
        // Only compared for equality: unsigned arithmetic keeps times far from 1970 (a placeholder's 1601) defined.
        entry->lastWrite = static_cast<unsigned long long>(st.st_mtim.tv_sec) * 1000000000ULL +
                           static_cast<unsigned long long>(st.st_mtim.tv_nsec);
        entry->attributes = posix::AttributesOfStat(path, st);
        return true;
    }

    // Watches directory `name` of `parentWd` (the watched directory itself when parentWd is -1) and what it holds.
    // Entries found there are new to the caller when `report`: they may have been made before the watch existed.
    bool Follow(int parentWd, const std::string& name, bool report) {
        std::string relative;
        std::wstring windowsRelative;
        if (parentWd >= 0 && !RelativeOf(parentWd, &relative, &windowsRelative)) return true;
        std::string path = parentWd < 0 ? root : root + "/" + relative + name;
        int wd = inotify_add_watch(inotifyFd, path.c_str(), kWatchMask);
        // A subdirectory gone again is reported removed anyway; the watched directory itself must be there.
        if (wd < 0) return parentWd >= 0 && (errno == ENOENT || errno == ENOTDIR);
        Dir& dir = dirs[wd];
        dir.parent = parentWd;
        dir.name = name;
        if (parentWd < 0) {
            rootWd = wd;
        } else {
            dirs[parentWd].entries[name].wd = wd;
            relative += name + "/";
            windowsRelative += posix::NameToWindows(name) + L"\\";
        }
        std::vector<std::string> names;
        if (DIR* listing = opendir(path.c_str())) {
            while (dirent* item = readdir(listing)) {
                if (std::strcmp(item->d_name, ".") != 0 && std::strcmp(item->d_name, "..") != 0) names.push_back(item->d_name);
            }
            closedir(listing);
        }
        std::sort(names.begin(), names.end());
        bool ok = true;
        for (const std::string& child : names) {
            Entry entry;
            if (dirs[wd].entries.count(child) != 0 || !Describe(path + "/" + child, &entry)) continue;
            dirs[wd].entries[child] = entry;
            if (report) Emit(FILE_ACTION_ADDED, windowsRelative + posix::NameToWindows(child), entry.directory);
            if (entry.directory && subtree) ok = Follow(wd, child, report) && ok;
        }
        return ok;
    }

    // Stops watching a directory that left the watched tree, and everything below it.
    void Unfollow(int wd) {
        auto it = dirs.find(wd);
        if (it == dirs.end()) return;
        for (const auto& child : it->second.entries) {
            if (child.second.wd >= 0) Unfollow(child.second.wd);
        }
        inotify_rm_watch(inotifyFd, wd);
        dirs.erase(wd);
    }

    // Reads what the kernel has queued; with a timeout, first waits that long for something to come.
    bool ReadEvents(int timeoutMs) {
        if (timeoutMs > 0) {
            pollfd one{inotifyFd, POLLIN, 0};
            if (poll(&one, 1, timeoutMs) <= 0) return false;
        }
        bool any = false;
        alignas(inotify_event) char chunk[16384];
        for (;;) {
            ssize_t got = read(inotifyFd, chunk, sizeof chunk);
            if (got <= 0) return any;
            for (ssize_t at = 0; at < got;) {
                const inotify_event* event = reinterpret_cast<const inotify_event*>(chunk + at);
                queue.push_back({event->wd, event->mask, event->cookie,
                                 std::string(event->name, strnlen(event->name, event->len))});
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                any = true;
            }
        }
    }

    void Collect() {
        ReadEvents(0);
        while (!queue.empty()) {
            Event event = queue.front();
            queue.pop_front();
            if ((event.mask & IN_MOVED_FROM) == 0) {
                Apply(event, nullptr);
                continue;
            }
            // The other half of a rename may still be on its way; without one, the entry left the watched tree.
            auto partner = queue.end();
            auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPartnerWaitMs);
            for (;;) {
                partner = std::find_if(queue.begin(), queue.end(), [&](const Event& other) {
                    return (other.mask & IN_MOVED_TO) != 0 && other.cookie == event.cookie;
                });
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
                if (partner != queue.end() || left.count() <= 0 || !ReadEvents(static_cast<int>(left.count()))) break;
            }
            if (partner == queue.end()) {
                Apply(event, nullptr);
            } else {
                Event to = *partner;
                queue.erase(partner);
                Apply(event, &to);
            }
        }
    }

    void Apply(const Event& event, const Event* movedTo) {
        if ((event.mask & IN_Q_OVERFLOW) != 0) {
            overflow = true;
            records.clear();
            return;
        }
        if ((event.mask & (IN_IGNORED | IN_DELETE_SELF)) != 0) {
            if (event.wd == rootWd) {
                rootGone = true;
            } else if ((event.mask & IN_IGNORED) != 0) {
                dirs.erase(event.wd);
            }
            return;
        }
        auto at = dirs.find(event.wd);
        std::string relative;
        std::wstring windowsRelative;
        if (at == dirs.end() || event.name.empty() || !RelativeOf(event.wd, &relative, &windowsRelative)) return;
        Dir& dir = at->second;
        const std::wstring name = windowsRelative + posix::NameToWindows(event.name);
        const std::string path = root + "/" + relative + event.name;
        const bool directory = (event.mask & IN_ISDIR) != 0;
        if ((event.mask & IN_CREATE) != 0) {
            Entry entry;
            entry.directory = directory;
            if (dir.entries.count(event.name) != 0) return;  // already found by the look into a new directory
            Describe(path, &entry);
            dir.entries[event.name] = entry;
            Emit(FILE_ACTION_ADDED, name, directory);
            if (directory && subtree && !Follow(event.wd, event.name, true)) overflow = true;
        } else if ((event.mask & IN_DELETE) != 0) {
            dir.entries.erase(event.name);
            Emit(FILE_ACTION_REMOVED, name, directory);
        } else if ((event.mask & IN_MODIFY) != 0) {
            Entry& entry = dir.entries[event.name];
            Entry now;
            if (Describe(path, &now)) entry.lastWrite = now.lastWrite;
            if ((filter & (FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE)) != 0) {
                Emit(FILE_ACTION_MODIFIED, name, directory);
            }
        } else if ((event.mask & IN_ATTRIB) != 0) {
            Entry now;
            auto known = dir.entries.find(event.name);
            if (known == dir.entries.end() || !Describe(path, &now)) return;
            bool timeChanged = now.lastWrite != known->second.lastWrite;
            bool attributesChanged = now.attributes != known->second.attributes;
            known->second.lastWrite = now.lastWrite;
            known->second.attributes = now.attributes;
            if ((timeChanged && (filter & FILE_NOTIFY_CHANGE_LAST_WRITE) != 0) ||
                (attributesChanged && (filter & FILE_NOTIFY_CHANGE_ATTRIBUTES) != 0)) {
                Emit(FILE_ACTION_MODIFIED, name, directory);
            }
        } else if ((event.mask & IN_MOVED_FROM) != 0) {
            Moved(dir, event, name, movedTo);
        } else if ((event.mask & IN_MOVED_TO) != 0) {
            // Moved in from outside the watched tree: new here, and so is all it holds.
            Entry entry;
            entry.directory = directory;
            Describe(path, &entry);
            dir.entries[event.name] = entry;
            Emit(FILE_ACTION_ADDED, name, directory);
            if (directory && subtree && !Follow(event.wd, event.name, true)) overflow = true;
        }
    }

    void Moved(Dir& from, const Event& event, const std::wstring& oldName, const Event* movedTo) {
        const bool directory = (event.mask & IN_ISDIR) != 0;
        Entry entry;
        entry.directory = directory;
        if (auto it = from.entries.find(event.name); it != from.entries.end()) entry = it->second;
        from.entries.erase(event.name);
        std::string relative;
        std::wstring windowsRelative;
        auto target = movedTo != nullptr ? dirs.find(movedTo->wd) : dirs.end();
        if (target == dirs.end() || !RelativeOf(movedTo->wd, &relative, &windowsRelative)) {
            Emit(FILE_ACTION_REMOVED, oldName, directory);
            if (entry.wd >= 0) Unfollow(entry.wd);
            return;
        }
        // A replaced target is gone without a word of its own; a directory keeps its watch under its new name.
        auto replaced = target->second.entries.find(movedTo->name);
        if (replaced != target->second.entries.end() && replaced->second.wd >= 0 && replaced->second.wd != entry.wd) {
            Unfollow(replaced->second.wd);
        }
        target->second.entries[movedTo->name] = entry;
        if (entry.wd >= 0 && dirs.count(entry.wd) != 0) {
            dirs[entry.wd].parent = movedTo->wd;
            dirs[entry.wd].name = movedTo->name;
        }
        const std::wstring newName = windowsRelative + posix::NameToWindows(movedTo->name);
        if (movedTo->wd == event.wd) {
            Emit(FILE_ACTION_RENAMED_OLD_NAME, oldName, directory);
            Emit(FILE_ACTION_RENAMED_NEW_NAME, newName, directory);
        } else {
            // Between two directories of the tree the caller sees a removal and an addition, not a rename.
            Emit(FILE_ACTION_REMOVED, oldName, directory);
            Emit(FILE_ACTION_ADDED, newName, directory);
        }
        // A directory renamed before its watch could be set up under the old name is watched here, as new.
        if (directory && subtree && entry.wd < 0 && !Follow(movedTo->wd, movedTo->name, true)) overflow = true;
    }

    // Completes the pending request when there is something to tell.
    void TryComplete() {
        if (pending == nullptr || (!overflow && records.empty() && !rootGone)) return;
        DWORD bytes = 0;
        uintptr_t status = kStatusSuccess;
        if (!overflow && !records.empty() && records.size() <= length) {
            FILE_NOTIFY_INFORMATION last{};
            std::memcpy(&last, records.data() + lastRecord, kRecordHeader);
            last.NextEntryOffset = 0;
            std::memcpy(records.data() + lastRecord, &last, kRecordHeader);
            std::memcpy(buffer, records.data(), records.size());
            bytes = static_cast<DWORD>(records.size());
        } else if (!overflow && records.empty()) {
            status = kStatusDeletePending;  // the watched directory itself was deleted
        }
        pending->Internal = status;
        pending->InternalHigh = bytes;
        pending = nullptr;
        records.clear();
        lastAction.clear();
        overflow = false;
    }
};

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
