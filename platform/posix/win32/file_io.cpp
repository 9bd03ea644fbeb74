// file_io.cpp - CreateFileW and the calls on an open file's data: read, write, seek, size, flush.
// Reads and writes of placeholders go through the emulated filter first, as the Windows filter intercepts them.
#include "platform/posix/win32/standin_internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

using posix::kFileAppendData;
using posix::kFileWriteData;
using posix::kGenericAll;
using posix::WantsRead;
using posix::WantsWrite;

constexpr DWORD kErrorNegativeSeek = 131u;  // ERROR_NEGATIVE_SEEK

// Append access without write access: Windows puts every write at the end of the file, whatever the offset.
bool AppendsOnly(DWORD access) {
    return (access & kFileAppendData) != 0 && (access & (GENERIC_WRITE | kGenericAll | kFileWriteData)) == 0;
}

}  // namespace

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
    // Windows flushes only through a handle that may write.
    if (!WantsWrite(handle->access)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (fsync(handle->fd) != 0) {
        posix::SetLastErrorFromErrno(errno);
        return FALSE;
    }
    return TRUE;
}
