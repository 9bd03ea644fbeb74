// files.cpp - CreateFileW and the calls on file handles: read, write, seek, size, flush, delete, copy, move.
// Reads and writes of placeholders go through the emulated filter first, as the Windows filter intercepts them.
#include "platform/posix/filter/filter_hooks.h"
#include "platform/posix/win32/standin_internal.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace {

using posix::kDeleteAccess;
using posix::kFileAppendData;
using posix::kFileReadData;
using posix::kFileWriteData;
using posix::kGenericAll;

constexpr DWORD kErrorNegativeSeek = 131u;  // ERROR_NEGATIVE_SEEK

bool WantsWrite(DWORD access) { return (access & (GENERIC_WRITE | kGenericAll | kFileWriteData | kFileAppendData)) != 0; }
bool WantsRead(DWORD access) { return (access & (GENERIC_READ | kGenericAll | kFileReadData)) != 0; }
// Append access without write access: Windows puts every write at the end of the file, whatever the offset.
bool AppendsOnly(DWORD access) {
    return (access & kFileAppendData) != 0 && (access & (GENERIC_WRITE | kGenericAll | kFileWriteData)) == 0;
}
// A handle opened with access to the data, or to delete the file, announces its close to the provider.
bool WantsDataOrDelete(DWORD access) { return WantsRead(access) || WantsWrite(access) || (access & kDeleteAccess) != 0; }

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
    DWORD sharing = kRetryOpen;
    for (int attempt = 0; attempt < 8 && sharing == kRetryOpen; ++attempt) {
        if (handle != nullptr) {
            // A rename replaced the file just opened: open what the name holds now, which this open did not create.
            CloseFileHandle(handle);
            openFlags &= ~(O_CREAT | O_EXCL);
        }
        int fd = open(posixPath.c_str(), openFlags | O_CLOEXEC, mode);
        if (fd < 0) {
            SetLastErrorFromErrno(errno, posixPath);
            return nullptr;
        }
        handle = new Handle;
        handle->kind = HandleKind::File;
        handle->fd = fd;
        handle->path = posixPath;
        handle->access = access;
        handle->appendOnly = (openFlags & O_APPEND) != 0;
        sharing = TakeShareLocks(*handle, access, shareMode);
    }
    if (sharing == kRetryOpen) sharing = ERROR_SHARING_VIOLATION;
    if (sharing != ERROR_SUCCESS) {
        // Nothing of the file was touched; a file this open created is removed again.
        if ((openFlags & O_EXCL) != 0) unlink(posixPath.c_str());
        CloseFileHandle(handle);
        errno = EACCES;
        SetLastError(sharing);
        return nullptr;
    }
    struct stat st;
    if (fstat(handle->fd, &st) == 0 && S_ISREG(st.st_mode)) handle->placeholder = cfemu::IsPlaceholder(handle->fd);
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
    close(handle->fd);
    if (handle->lockFd >= 0) close(handle->lockFd);
    // The notification follows the close, so the provider finds the file no longer open (nor locked) by us.
    // Every handle with access to the data or to delete announces its close, whether or not data moved.
    if (handle->placeholder && WantsDataOrDelete(handle->access)) cfemu::NotifyClosed(handle->path);
    delete handle;
}

}  // namespace posix

extern "C" HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                              DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile) {
    (void)security;
    (void)templateFile;
    if (fileName == nullptr || fileName[0] == L'\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (creationDisposition < CREATE_NEW || creationDisposition > TRUNCATE_EXISTING ||
        (creationDisposition == TRUNCATE_EXISTING && !WantsWrite(desiredAccess))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string path = posix::AbsolutePosixPath(fileName);
    bool read = WantsRead(desiredAccess), write = WantsWrite(desiredAccess);
    int accessFlags = (write ? (read ? O_RDWR : O_WRONLY) : O_RDONLY) | (AppendsOnly(desiredAccess) ? O_APPEND : 0);
    unsigned mode = (flagsAndAttributes & FILE_ATTRIBUTE_READONLY) != 0 ? 0444u : 0666u;
    bool backupSemantics = (flagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) != 0;

    posix::Handle* handle = nullptr;
    bool existed = false;
    for (int attempt = 0; attempt < 8 && handle == nullptr; ++attempt) {
        if (creationDisposition == OPEN_EXISTING || creationDisposition == TRUNCATE_EXISTING || existed) {
            handle = posix::OpenFileHandle(path, accessFlags, mode, desiredAccess, shareMode);
            // A directory opens only for backup semantics, and then read-only (for its times).
            if (handle == nullptr && errno == EISDIR && backupSemantics) {
                handle = posix::OpenFileHandle(path, O_RDONLY | O_DIRECTORY, 0, desiredAccess, shareMode);
            }
            // The file vanished between the exclusive create and this open: create it again.
            if (handle == nullptr && errno == ENOENT && existed) {
                existed = false;
                continue;
            }
            break;
        }
        handle = posix::OpenFileHandle(path, accessFlags | O_CREAT | O_EXCL, mode, desiredAccess, shareMode);
        if (handle == nullptr && errno == EEXIST) {
            if (creationDisposition == CREATE_NEW) {
                SetLastError(ERROR_FILE_EXISTS);
                return INVALID_HANDLE_VALUE;
            }
            existed = true;
        } else if (handle == nullptr) {
            break;
        }
    }
    if (handle == nullptr) return INVALID_HANDLE_VALUE;

    struct stat st;
    if (fstat(handle->fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        if (!backupSemantics || creationDisposition == CREATE_ALWAYS || creationDisposition == TRUNCATE_EXISTING) {
            posix::CloseFileHandle(handle);
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        // Only a directory's change watch completes asynchronously; other handles stay synchronous.
        handle->overlapped = (flagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    } else if (existed || creationDisposition == TRUNCATE_EXISTING) {
        if ((creationDisposition == CREATE_ALWAYS || creationDisposition == TRUNCATE_EXISTING) &&
            !posix::TruncateOpenFile(*handle)) {
            DWORD error = GetLastError();
            posix::CloseFileHandle(handle);
            SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
    }
    // Windows reports whether CREATE_ALWAYS / OPEN_ALWAYS found the file already there.
    if (creationDisposition == CREATE_ALWAYS || creationDisposition == OPEN_ALWAYS) {
        SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    } else {
        SetLastError(ERROR_SUCCESS);
    }
    return handle;
}

extern "C" BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) {
    if (read != nullptr) *read = 0;
    posix::Handle* handle = posix::HandleOf(file, posix::HandleKind::File);
    if (handle == nullptr) return FALSE;
    if (!WantsRead(handle->access)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    long long offset = 0;
    if (overlapped != nullptr) {
        offset = static_cast<long long>((static_cast<ULONGLONG>(overlapped->OffsetHigh) << 32) | overlapped->Offset);
    }
    size_t got = 0;
    bool ok = posix::ReadHandle(*handle, buffer, toRead, &got, overlapped != nullptr ? &offset : nullptr);
    if (read != nullptr) *read = static_cast<DWORD>(got);
    if (ok && overlapped != nullptr && got == 0 && toRead > 0) {
        // A positional read at or past the end reports the end of file, as on a synchronous Windows handle.
        SetLastError(ERROR_HANDLE_EOF);
        return FALSE;
    }
    return ok ? TRUE : FALSE;
}

extern "C" BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped) {
    if (written != nullptr) *written = 0;
    posix::Handle* handle = posix::HandleOf(file, posix::HandleKind::File);
    if (handle == nullptr) return FALSE;
    if (!WantsWrite(handle->access)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    long long offset = 0;
    if (overlapped != nullptr) {
        offset = static_cast<long long>((static_cast<ULONGLONG>(overlapped->OffsetHigh) << 32) | overlapped->Offset);
    }
    size_t done = 0;
    bool ok = posix::WriteHandle(*handle, buffer, toWrite, &done, overlapped != nullptr ? &offset : nullptr);
    if (written != nullptr) *written = static_cast<DWORD>(done);
    return ok ? TRUE : FALSE;
}

extern "C" DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD moveMethod) {
    posix::Handle* handle = posix::HandleOf(file, posix::HandleKind::File);
    if (handle == nullptr) return INVALID_SET_FILE_POINTER;
    int whence = moveMethod == FILE_BEGIN ? SEEK_SET : moveMethod == FILE_CURRENT ? SEEK_CUR
                                                    : moveMethod == FILE_END      ? SEEK_END
                                                                                  : -1;
    if (whence < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    // Without a high part the distance is a signed 32-bit value; with one, the two make a signed 64-bit value.
    long long move = distanceHigh == nullptr
                         ? static_cast<long long>(distance)
                         : static_cast<long long>((static_cast<ULONGLONG>(static_cast<DWORD>(*distanceHigh)) << 32) |
                                                  static_cast<DWORD>(distance));
    off_t before = lseek(handle->fd, 0, SEEK_CUR);
    off_t base = whence == SEEK_SET ? 0 : before;
    if (whence == SEEK_END) {
        struct stat st;
        if (fstat(handle->fd, &st) != 0) {
            posix::SetLastErrorFromErrno(errno);
            return INVALID_SET_FILE_POINTER;
        }
        base = st.st_size;
    }
    long long target = static_cast<long long>(base) + move;
    if (target < 0) {
        SetLastError(kErrorNegativeSeek);
        return INVALID_SET_FILE_POINTER;
    }
    if (distanceHigh == nullptr && target > 0xFFFFFFFFLL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    if (lseek(handle->fd, static_cast<off_t>(target), SEEK_SET) < 0) {
        posix::SetLastErrorFromErrno(errno);
        return INVALID_SET_FILE_POINTER;
    }
    if (distanceHigh != nullptr) *distanceHigh = static_cast<LONG>(static_cast<ULONGLONG>(target) >> 32);
    // A position whose low part is 0xFFFFFFFF is told from failure by a last error of zero.
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(static_cast<ULONGLONG>(target) & 0xFFFFFFFFu);
}

extern "C" BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size) {
    posix::Handle* handle = posix::HandleOf(file, posix::HandleKind::File);
    if (handle == nullptr) return FALSE;
    struct stat st;
    if (fstat(handle->fd, &st) != 0) {
        posix::SetLastErrorFromErrno(errno);
        return FALSE;
    }
    size->QuadPart = S_ISDIR(st.st_mode) ? 0 : static_cast<LONGLONG>(st.st_size);
    return TRUE;
}

extern "C" BOOL FlushFileBuffers(HANDLE file) {
    posix::Handle* handle = posix::HandleOf(file, posix::HandleKind::File);
    if (handle == nullptr) return FALSE;
    if (fsync(handle->fd) != 0) {
        posix::SetLastErrorFromErrno(errno);
        return FALSE;
    }
    return TRUE;
}

extern "C" BOOL DeleteFileW(LPCWSTR fileName) {
    std::string path = posix::AbsolutePosixPath(fileName);
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        posix::SetLastErrorFromErrno(errno, path);
        return FALSE;
    }
    // Windows deletes neither directories nor read-only files through DeleteFileW.
    if (S_ISDIR(st.st_mode) || (!S_ISLNK(st.st_mode) && (st.st_mode & S_IWUSR) == 0)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    // DeleteFileW opens the file for delete access first: a handle that does not share delete stops it.
    DWORD refusal = posix::CheckShareForPath(path, kDeleteAccess);
    if (refusal == ERROR_SUCCESS) refusal = cfemu::BeforeDelete(path);
    if (refusal != ERROR_SUCCESS) {
        SetLastError(refusal);
        return FALSE;
    }
    if (unlink(path.c_str()) != 0) {
        posix::SetLastErrorFromErrno(errno, path);
        return FALSE;
    }
    return TRUE;
}

extern "C" BOOL CopyFileW(LPCWSTR existing, LPCWSTR newName, BOOL failIfExists) {
    // The source is read like any application reads it, so a dehydrated placeholder is fetched first.
    HANDLE source = CreateFileW(existing, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                0, nullptr);
    if (source == INVALID_HANDLE_VALUE) return FALSE;
    posix::Handle* from = static_cast<posix::Handle*>(source);
    struct stat st;
    if (fstat(from->fd, &st) != 0) {
        posix::SetLastErrorFromErrno(errno);
        CloseHandle(source);
        return FALSE;
    }
    HANDLE target = CreateFileW(newName, GENERIC_WRITE, 0, nullptr, failIfExists ? CREATE_NEW : CREATE_ALWAYS, 0,
                                nullptr);
    if (target == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        CloseHandle(source);
        SetLastError(error);
        return FALSE;
    }
    std::vector<char> buffer(1 << 16);
    bool ok = true;
    for (;;) {
        DWORD got = 0, put = 0;
        if (!ReadFile(source, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
            ok = false;
            break;
        }
        if (got == 0) break;
        if (!WriteFile(target, buffer.data(), got, &put, nullptr)) {
            ok = false;
            break;
        }
    }
    DWORD error = GetLastError();
    if (ok) {
        // The copy keeps the source's last-write time and its read-only bit, as CopyFile does.
        FILETIME lastWrite;
        GetFileTime(source, nullptr, nullptr, &lastWrite);
        SetFileTime(target, nullptr, nullptr, &lastWrite);
        fchmod(static_cast<posix::Handle*>(target)->fd, st.st_mode & 07777);
    }
    std::string targetPath = static_cast<posix::Handle*>(target)->path;
    CloseHandle(target);
    CloseHandle(source);
    if (!ok) {
        unlink(targetPath.c_str());
        SetLastError(error);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

extern "C" BOOL MoveFileExW(LPCWSTR existing, LPCWSTR newName, DWORD flags) {
    std::string from = posix::AbsolutePosixPath(existing);
    std::string to = posix::AbsolutePosixPath(newName);
    bool replace = (flags & MOVEFILE_REPLACE_EXISTING) != 0;
    struct stat fromStat, toStat;
    if (lstat(from.c_str(), &fromStat) != 0) {
        posix::SetLastErrorFromErrno(errno, from);
        return FALSE;
    }
    // Refusals Windows makes before touching anything come before the filter hears of the rename.
    if (lstat(to.c_str(), &toStat) == 0 && from != to) {
        if (!replace) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return FALSE;
        }
        // Nor does Windows replace a directory or a read-only file (as DeleteFileW deletes neither).
        if (S_ISDIR(toStat.st_mode) || S_ISDIR(fromStat.st_mode) ||
            (!S_ISLNK(toStat.st_mode) && (toStat.st_mode & S_IWUSR) == 0)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    }
    // The source is opened for delete access. Windows replaces only a target that no handle has open, whatever
    // its share mode; asked here before the filter hears, and again, holding off opens, right before the rename.
    DWORD refusal = posix::CheckShareForPath(from, kDeleteAccess);
    int mark = -1;
    if (refusal == ERROR_SUCCESS && replace && from != to && posix::MarkForReplace(to, &mark) == ERROR_ACCESS_DENIED) {
        refusal = ERROR_ACCESS_DENIED;
    }
    if (mark >= 0) close(mark);
    if (refusal == ERROR_SUCCESS) refusal = cfemu::BeforeRename(from, to);
    if (refusal != ERROR_SUCCESS) {
        SetLastError(refusal);
        return FALSE;
    }
    int rc = 0;
    if (replace && from != to) {
        for (int attempt = 0; attempt < 8; ++attempt) {
            DWORD target = posix::MarkForReplace(to, &mark);
            if (target == ERROR_ACCESS_DENIED) {
                SetLastError(ERROR_ACCESS_DENIED);
                return FALSE;
            }
            // No target to mark: one that appears meanwhile is not replaced unseen, the check runs again for it.
            rc = target == ERROR_FILE_NOT_FOUND
                     ? renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE)
                     : rename(from.c_str(), to.c_str());
            if (rc != 0 && target == ERROR_FILE_NOT_FOUND && (errno == EINVAL || errno == ENOSYS)) {
                rc = rename(from.c_str(), to.c_str());
            }
            int error = errno;
            if (mark >= 0) close(mark);
            errno = error;
            if (rc == 0 || errno != EEXIST || target != ERROR_FILE_NOT_FOUND) break;
        }
    } else if (replace) {
        rc = rename(from.c_str(), to.c_str());
    } else {
        rc = renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
        if (rc != 0 && (errno == EINVAL || errno == ENOSYS) && !S_ISDIR(fromStat.st_mode)) {
            // File systems without RENAME_NOREPLACE: a hard link refuses an existing target just as well.
            rc = link(from.c_str(), to.c_str());
            if (rc == 0) rc = unlink(from.c_str());
        }
    }
    if (rc != 0) {
        posix::SetLastErrorFromErrno(errno, to);
        return FALSE;
    }
    return TRUE;
}

extern "C" BOOL MoveFileW(LPCWSTR existing, LPCWSTR newName) { return MoveFileExW(existing, newName, 0); }
