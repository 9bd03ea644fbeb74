// file_handles.cpp - the stand-in's file handles as the Win32 calls and the C runtime's streams share them.
// Open with share locks, read and write through the filter's hydration, truncate, and close with its notification.
#include "platform/posix/filter/filter_hooks.h"
#include "platform/posix/win32/standin_internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

using posix::kDeleteAccess;
using posix::WantsRead;
using posix::WantsWrite;

// A handle opened with access to the data, or to delete the file, announces its close to the provider.
bool WantsDataOrDelete(DWORD access) { return WantsRead(access) || WantsWrite(access) || (access & kDeleteAccess) != 0; }

constexpr DWORD kErrorPipeBusy = 231u;  // ERROR_PIPE_BUSY

// Opens without ever waiting for the other end of a FIFO. Windows' CreateFile of a pipe fails at once when no server
// waits, and succeeds only when one does; POSIX cannot tell a reader whether a writer is there (a non-blocking open
// for reading always succeeds). The stricter reading is taken: a FIFO, socket or device node is never opened, and
// fails at once with ERROR_PIPE_BUSY, whatever holds its other end, so nothing that is no file can hold a caller.
int OpenNoWait(const std::string& posixPath, int openFlags, unsigned mode, struct stat* st) {
    int fd = open(posix::SysPath(posixPath).c_str(), openFlags | O_CLOEXEC | O_NONBLOCK, mode);
    // A lease another process holds on a regular file refuses a non-blocking open; a FIFO never does: wait for the
    // lease to be given back, as Windows waits for an oplock to break.
    if (fd < 0 && errno == EWOULDBLOCK) fd = open(posix::SysPath(posixPath).c_str(), openFlags | O_CLOEXEC, mode);
    if (fd < 0) {
        // A FIFO opened for writing with no reader, a socket, a device without its driver.
        if (errno == ENXIO) SetLastError(kErrorPipeBusy);
        else posix::SetLastErrorFromErrno(errno, posixPath);
        return -1;
    }
    if (fstat(fd, st) != 0 || (!S_ISREG(st->st_mode) && !S_ISDIR(st->st_mode))) {
        close(fd);
        errno = ENXIO;
        SetLastError(kErrorPipeBusy);
        return -1;
    }
    // Known to be a file or directory now: reads and writes go on as a blocking handle's (only the status flags the
    // caller asked for stay).
    fcntl(fd, F_SETFL, openFlags & (O_APPEND | O_DIRECT | O_NOATIME));
    return fd;
}

}  // namespace

namespace posix {

// A truncation replaces the file's data, so a placeholder is hydrated first and then counts as written:
// otherwise the filter would later fetch the old contents into the emptied file.
bool TruncateOpenFile(Handle& handle) {
    if (handle.placeholder) {
        DWORD error = cfemu::EnsureHydrated(handle);
        if (error != ERROR_SUCCESS) {
            SetLastError(error);
            return false;
        }
    }
    if (ftruncate(handle.fd, 0) != 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    if (handle.placeholder) cfemu::NoteDataWritten(handle);
    return true;
}

Handle* OpenFileHandle(const std::string& posixPath, int openFlags, unsigned mode, DWORD access, DWORD shareMode) {
    Handle* handle = nullptr;
    struct stat st;
    DWORD sharing = kRetryOpen;
    bool placeholder = false;
    for (int attempt = 0; attempt < 8 && sharing == kRetryOpen; ++attempt) {
        if (handle != nullptr) {
            // A rename replaced the file just opened: open what the name holds now, which this open did not create.
            CloseFileHandle(handle);
            openFlags &= ~(O_CREAT | O_EXCL);
        }
        int fd = OpenNoWait(posixPath, openFlags, mode, &st);
        if (fd < 0) return nullptr;
        handle = new Handle;
        handle->kind = HandleKind::File;
        handle->fd = fd;
        handle->path = posixPath;
        handle->access = access;
        handle->appendOnly = (openFlags & O_APPEND) != 0;
        sharing = TakeShareLocks(*handle, access, shareMode);
        placeholder = S_ISREG(st.st_mode) && cfemu::IsPlaceholder(fd);
        // A placeholder is left out: the filter's own descriptor writes a hydration's data into it, which no handle
        // on Windows sees.
        if (sharing == ERROR_SUCCESS && S_ISREG(st.st_mode) && !placeholder) {
            sharing = CheckOutsideWriters(*handle, access, shareMode);
        }
    }
    if (sharing == kRetryOpen) sharing = ERROR_SHARING_VIOLATION;
    if (sharing != ERROR_SUCCESS) {
        // Nothing of the file was touched; a file this open created is removed again.
        if ((openFlags & O_EXCL) != 0) unlink(posix::SysPath(posixPath).c_str());
        CloseFileHandle(handle);
        errno = EACCES;
        SetLastError(sharing);
        return nullptr;
    }
    handle->placeholder = placeholder;
    return handle;
}

bool ReadHandle(Handle& handle, void* buffer, size_t toRead, size_t* got, const long long* offset) {
    *got = 0;
    if (toRead == 0) return true;
    if (handle.placeholder) {
        DWORD error = cfemu::EnsureHydrated(handle);
        if (error != ERROR_SUCCESS) {
            SetLastError(error);
            return false;
        }
    }
    char* out = static_cast<char*>(buffer);
    size_t total = 0;
    while (total < toRead) {
        ssize_t n = offset != nullptr
                        ? pread(handle.fd, out + total, toRead - total, static_cast<off_t>(*offset + total))
                        : read(handle.fd, out + total, toRead - total);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            SetLastErrorFromErrno(errno);
            return false;
        }
        if (n == 0) break;
        total += static_cast<size_t>(n);
    }
    // Positional I/O on a synchronous handle leaves the file pointer after the transfer, as Windows does.
    if (offset != nullptr) lseek(handle.fd, static_cast<off_t>(*offset + total), SEEK_SET);
    *got = total;
    return true;
}

bool WriteHandle(Handle& handle, const void* buffer, size_t toWrite, size_t* written, const long long* offset) {
    *written = 0;
    if (toWrite == 0) return true;
    if (handle.placeholder) {
        DWORD error = cfemu::EnsureHydrated(handle);
        if (error != ERROR_SUCCESS) {
            SetLastError(error);
            return false;
        }
    }
    const char* in = static_cast<const char*>(buffer);
    size_t total = 0;
    while (total < toWrite) {
        ssize_t n = offset != nullptr
                        ? pwrite(handle.fd, in + total, toWrite - total, static_cast<off_t>(*offset + total))
                        : write(handle.fd, in + total, toWrite - total);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            SetLastErrorFromErrno(errno);
            if (total == 0) return false;
            break;
        }
        total += static_cast<size_t>(n);
    }
    // An append-only descriptor wrote at the end whatever the offset, and its pointer stays there.
    if (offset != nullptr && !handle.appendOnly) lseek(handle.fd, static_cast<off_t>(*offset + total), SEEK_SET);
    *written = total;
    if (handle.placeholder) cfemu::NoteDataWritten(handle);
    return total == toWrite;
}

void CloseFileHandle(Handle* handle) {
    // Every handle with access to the data or to delete announces its close, whether or not data moved, under the
    // name its file has now.
    const bool announce = handle->placeholder && WantsDataOrDelete(handle->access);
    bool deleted = false;
    const std::string path = announce ? cfemu::ClosingPath(*handle, &deleted) : std::string();
    close(handle->fd);
    if (handle->lockFd >= 0) close(handle->lockFd);
    // The notification follows the close, so the provider finds the file no longer open (nor locked) by us.
    if (announce) cfemu::NotifyClosed(path, deleted);
    delete handle;
}

}  // namespace posix
