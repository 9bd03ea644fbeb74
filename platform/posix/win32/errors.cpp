// errors.cpp - the thread's last error and the one table that turns errno into Win32 error codes.
// Every call of the stand-in reports failure through here, so the program sees Windows codes only.
#include "platform/posix/win32/standin_internal.h"

#include <cerrno>
#include <sys/stat.h>

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

struct ErrnoMapping {
    int error;
    DWORD win32;
};

constexpr ErrnoMapping kErrnoTable[] = {
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {EACCES, ERROR_ACCESS_DENIED},
    {EPERM, ERROR_ACCESS_DENIED},
    {EEXIST, ERROR_ALREADY_EXISTS},
    {ENOSPC, ERROR_DISK_FULL},
    {EDQUOT, ERROR_DISK_FULL},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {EISDIR, ERROR_ACCESS_DENIED},
    {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},
    {EBADF, ERROR_INVALID_HANDLE},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {EROFS, ERROR_WRITE_PROTECT},
    {EBUSY, ERROR_BUSY},
    {ELOOP, ERROR_CANT_RESOLVE_FILENAME},
    {ENOTSUP, ERROR_NOT_SUPPORTED},
    {EXDEV, 17u},  // ERROR_NOT_SAME_DEVICE, as MoveFileEx reports a move across volumes
    {EIO, 31u},    // ERROR_GEN_FAILURE
};

constexpr DWORD kGenFailure = 31u;

// The parent of a POSIX path ("" for a bare name, which lives in the current directory).
std::string ParentOf(const std::string& path) {
    size_t end = path.size();
    while (end > 1 && path[end - 1] == '/') --end;
    size_t slash = path.rfind('/', end - 1);
    if (slash == std::string::npos) return std::string();
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

extern "C" DWORD GetLastError(void) { return t_lastError; }

extern "C" void SetLastError(DWORD error) { t_lastError = error; }

namespace posix {

DWORD Win32ErrorFromErrno(int error) {
    for (const ErrnoMapping& row : kErrnoTable) {
        if (row.error == error) return row.win32;
    }
    return kGenFailure;
}

void SetLastErrorFromErrno(int error, const std::string& posixPath) {
    int saved = errno;  // callers still look at errno after this (EISDIR, EEXIST)
    DWORD code = Win32ErrorFromErrno(error);
    if (error == ENOENT && !posixPath.empty()) {
        // Windows tells a missing file (2) from a missing directory on the way to it (3).
        std::string parent = ParentOf(posixPath);
        struct stat st;
        if (!parent.empty() && (stat(posix::SysPath(parent).c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
            code = ERROR_PATH_NOT_FOUND;
        }
    }
    t_lastError = code;
    errno = saved;
}

}  // namespace posix
