// file_names.cpp - the calls that act on a file by its name: delete, copy, move.
// The emulated filter hears of a delete or rename before it happens and may refuse it, as the provider can on Windows.
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

}  // namespace

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
    // Only what the program uses is emulated; any other flag is refused rather than ignored.
    if ((flags & ~(MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
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
    // Write-through returns once the move is on the disk: the directories that changed are flushed.
    if ((flags & MOVEFILE_WRITE_THROUGH) != 0) {
        const auto parent = [](const std::string& path) {
            const size_t slash = path.find_last_of('/');
            return slash == 0 || slash == std::string::npos ? std::string("/") : path.substr(0, slash);
        };
        std::vector<std::string> directories = {parent(to)};
        if (parent(from) != directories.front()) directories.push_back(parent(from));
        for (const std::string& directory : directories) {
            const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd < 0 || fsync(fd) != 0) {
                const int error = errno;
                if (fd >= 0) close(fd);
                posix::SetLastErrorFromErrno(error, directory);
                return FALSE;
            }
            close(fd);
        }
    }
    return TRUE;
}

extern "C" BOOL MoveFileW(LPCWSTR existing, LPCWSTR newName) { return MoveFileExW(existing, newName, 0); }
