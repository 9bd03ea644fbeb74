// file_names.cpp - the calls that act on a file by its name: delete, copy, move.
// The emulated filter hears of a delete or rename before it happens and may refuse it, as the provider can on Windows.
#include "platform/posix/filter/filter_hooks.h"
#include "platform/posix/win32/standin_internal.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using posix::kDeleteAccess;

}  // namespace

extern "C" BOOL DeleteFileW(LPCWSTR fileName) {
    std::string path = posix::AbsolutePosixPath(fileName);
    struct stat st;
    if (lstat(posix::SysPath(path).c_str(), &st) != 0) {
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
    if (unlink(posix::SysPath(path).c_str()) != 0) {
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
        unlink(posix::SysPath(targetPath).c_str());
        SetLastError(error);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

namespace {

// What a rename may do to an existing target; MoveFileExW takes the classic rules, SetFileInformationByHandle its flags.
struct RenameRules {
    bool replace = false;         // an existing file at the target may be replaced
    bool posixSemantics = false;  // even one that handles have open: they keep the replaced file
    bool ignoreReadOnly = false;  // even a read-only one
};

// The rename MoveFileExW and SetFileInformationByHandle share: Windows' refusals before touching anything, then the
// filter hears of it (the provider may refuse), then the rename. Sets the last error.
BOOL RenameThroughFilter(const std::string& from, const std::string& to, const RenameRules& rules,
                         bool checkSourceSharing) {
    struct stat fromStat, toStat;
    if (lstat(posix::SysPath(from).c_str(), &fromStat) != 0) {
        posix::SetLastErrorFromErrno(errno, from);
        return FALSE;
    }
    if (lstat(posix::SysPath(to).c_str(), &toStat) == 0 && from != to) {
        if (!rules.replace) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return FALSE;
        }
        // Nor does Windows replace a directory or (unless told to) a read-only file, as DeleteFileW deletes neither.
        if (S_ISDIR(toStat.st_mode) || S_ISDIR(fromStat.st_mode) ||
            (!rules.ignoreReadOnly && !S_ISLNK(toStat.st_mode) && (toStat.st_mode & S_IWUSR) == 0)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    }
    // Without POSIX semantics Windows replaces only a target that no handle has open, whatever its share mode; asked
    // here before the filter hears, and again, holding off opens, right before the rename.
    DWORD refusal = checkSourceSharing ? posix::CheckShareForPath(from, kDeleteAccess) : ERROR_SUCCESS;
    int mark = -1;
    if (refusal == ERROR_SUCCESS && rules.replace && !rules.posixSemantics && from != to &&
        posix::MarkForReplace(to, &mark) == ERROR_ACCESS_DENIED) {
        refusal = ERROR_ACCESS_DENIED;
    }
    if (mark >= 0) close(mark);
    if (refusal == ERROR_SUCCESS) refusal = cfemu::BeforeRename(from, to);
    if (refusal != ERROR_SUCCESS) {
        SetLastError(refusal);
        return FALSE;
    }
    int rc = 0;
    if (rules.replace && from != to) {
        for (int attempt = 0; attempt < 8; ++attempt) {
            // With POSIX semantics a target held open is replaced unmarked; its handles keep the replaced file.
            DWORD target = posix::MarkForReplace(to, &mark);
            if (target == ERROR_ACCESS_DENIED && !rules.posixSemantics) {
                SetLastError(ERROR_ACCESS_DENIED);
                return FALSE;
            }
            // No target to mark: one that appears meanwhile is not replaced unseen, the check runs again for it.
            rc = target == ERROR_FILE_NOT_FOUND ? renameat2(AT_FDCWD, posix::SysPath(from).c_str(), AT_FDCWD,
                                                            posix::SysPath(to).c_str(), RENAME_NOREPLACE)
                                                : rename(posix::SysPath(from).c_str(), posix::SysPath(to).c_str());
            if (rc != 0 && target == ERROR_FILE_NOT_FOUND && (errno == EINVAL || errno == ENOSYS)) {
                rc = rename(posix::SysPath(from).c_str(), posix::SysPath(to).c_str());
            }
            int error = errno;
            if (mark >= 0) close(mark);
            errno = error;
            if (rc == 0 || errno != EEXIST || target != ERROR_FILE_NOT_FOUND) break;
        }
    } else if (rules.replace) {
        rc = rename(posix::SysPath(from).c_str(), posix::SysPath(to).c_str());
    } else {
        rc = renameat2(AT_FDCWD, posix::SysPath(from).c_str(), AT_FDCWD, posix::SysPath(to).c_str(), RENAME_NOREPLACE);
        if (rc != 0 && (errno == EINVAL || errno == ENOSYS) && !S_ISDIR(fromStat.st_mode)) {
            // File systems without RENAME_NOREPLACE: a hard link refuses an existing target just as well.
            rc = link(posix::SysPath(from).c_str(), posix::SysPath(to).c_str());
            if (rc == 0) rc = unlink(posix::SysPath(from).c_str());
        }
    }
    if (rc != 0) {
        posix::SetLastErrorFromErrno(errno, to);
        return FALSE;
    }
    cfemu::AfterMove(from, to);
    return TRUE;
}

}  // namespace

extern "C" BOOL MoveFileExW(LPCWSTR existing, LPCWSTR newName, DWORD flags) {
    std::string from = posix::AbsolutePosixPath(existing);
    std::string to = posix::AbsolutePosixPath(newName);
    // Only what the program uses is emulated; any other flag is refused rather than ignored.
    if ((flags & ~(MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The source is opened for delete access, so every handle open on it must share delete.
    RenameRules rules;
    rules.replace = (flags & MOVEFILE_REPLACE_EXISTING) != 0;
    if (!RenameThroughFilter(from, to, rules, true)) return FALSE;
    // Write-through returns once the move is on the disk: the directories that changed are flushed.
    if ((flags & MOVEFILE_WRITE_THROUGH) != 0) {
        const auto parent = [](const std::string& path) {
            const size_t slash = path.find_last_of('/');
            return slash == 0 || slash == std::string::npos ? std::string("/") : path.substr(0, slash);
        };
        std::vector<std::string> directories = {parent(to)};
        if (parent(from) != directories.front()) directories.push_back(parent(from));
        for (const std::string& directory : directories) {
            const int fd = open(posix::SysPath(directory).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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

// FileRenameInfoEx, the one class emulated: renames the handle's file, which must have been opened with delete
// access (the share modes were checked then). With FILE_RENAME_FLAG_POSIX_SEMANTICS and REPLACE_IF_EXISTS a target
// that handles hold open is replaced, and they keep working on the replaced file; without, MoveFileExW's rule.
extern "C" BOOL SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, LPVOID info, DWORD size) {
    posix::Handle* handle = posix::HandleOf(file, posix::HandleKind::File);
    if (handle == nullptr) return FALSE;
    constexpr DWORD kFlags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS |
                             FILE_RENAME_FLAG_IGNORE_READONLY_ATTRIBUTE;
    constexpr size_t kFixed = offsetof(FILE_RENAME_INFO, FileName);
    const FILE_RENAME_INFO* rename = static_cast<const FILE_RENAME_INFO*>(info);
    // Any other class, a name relative to a directory handle or a flag not emulated is refused, not ignored.
    if (infoClass != FileRenameInfoEx || rename == nullptr || size < kFixed || rename->RootDirectory != nullptr ||
        rename->FileNameLength == 0 || rename->FileNameLength % sizeof(WCHAR) != 0 ||
        size - kFixed < rename->FileNameLength || (rename->Flags & ~kFlags) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if ((handle->access & (kDeleteAccess | posix::kGenericAll)) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    // The file where it is now (it may have been renamed since it was opened); one deleted meanwhile is refused as
    // Windows refuses a file whose delete is pending.
    char link[64];
    char target[4096];
    std::snprintf(link, sizeof(link), "/proc/self/fd/%d", handle->fd);
    const ssize_t length = readlink(link, target, sizeof(target) - 1);
    struct stat opened, named;
    const std::string from = length > 0 ? std::string(target, static_cast<size_t>(length)) : handle->path;
    if (fstat(handle->fd, &opened) != 0 || lstat(posix::SysPath(from).c_str(), &named) != 0 ||
        opened.st_ino != named.st_ino || opened.st_dev != named.st_dev) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const std::string to =
        posix::AbsolutePosixPath(std::wstring(rename->FileName, rename->FileNameLength / sizeof(WCHAR)));
    RenameRules rules;
    rules.replace = (rename->Flags & FILE_RENAME_FLAG_REPLACE_IF_EXISTS) != 0;
    rules.posixSemantics = rules.replace && (rename->Flags & FILE_RENAME_FLAG_POSIX_SEMANTICS) != 0;
    rules.ignoreReadOnly = (rename->Flags & FILE_RENAME_FLAG_IGNORE_READONLY_ATTRIBUTE) != 0;
    if (!RenameThroughFilter(from, to, rules, false)) return FALSE;
    handle->path = to;  // its close is announced under the name the file has now
    return TRUE;
}

extern "C" BOOL MoveFileW(LPCWSTR existing, LPCWSTR newName) { return MoveFileExW(existing, newName, 0); }
