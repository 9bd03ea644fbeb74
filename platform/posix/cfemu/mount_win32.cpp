// mount_win32.cpp - how the mount's operations meet the Win32 stand-in: the errno a program sees for each Win32
// status, the process an operation acts for, and the Windows path of a path on the mount.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>

#include "platform/posix/cfemu/cfemu.h"
#include "platform/posix/cfemu/mount_internal.h"

namespace cfemu {

namespace {

// The Win32 statuses a file operation of the stand-in and the emulated filter fails with, and the errno a program
// on the mount sees for each. The README's table lists the same rows.
struct ErrnoOfWin32 {
    DWORD code;
    int error;
};

constexpr ErrnoOfWin32 kErrnoTable[] = {
    {ERROR_FILE_NOT_FOUND, ENOENT},
    {ERROR_PATH_NOT_FOUND, ENOENT},
    {ERROR_ACCESS_DENIED, EACCES},
    {ERROR_INVALID_HANDLE, EBADF},
    {ERROR_SHARING_VIOLATION, EBUSY},
    {ERROR_BUSY, EBUSY},
    {ERROR_NOT_SUPPORTED, EOPNOTSUPP},
    {ERROR_FILE_EXISTS, EEXIST},
    {ERROR_ALREADY_EXISTS, EEXIST},
    {ERROR_INVALID_PARAMETER, EINVAL},
    {ERROR_DIR_NOT_EMPTY, ENOTEMPTY},
    {ERROR_DIRECTORY, ENOTDIR},
    {ERROR_DISK_FULL, ENOSPC},
    {ERROR_HANDLE_DISK_FULL, ENOSPC},
    {ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG},
    {ERROR_TOO_MANY_OPEN_FILES, EMFILE},
    {ERROR_NOT_ENOUGH_MEMORY, ENOMEM},
    {ERROR_WRITE_PROTECT, EROFS},
    {ERROR_CANT_RESOLVE_FILENAME, ELOOP},
    {17u, EXDEV},  // ERROR_NOT_SAME_DEVICE
    {cfemu::kErrorCloudFileMetadataTooLarge, ENOSPC},
    {cfemu::kErrorNotACloudFile, EINVAL},
    {ERROR_CLOUD_FILE_NOT_IN_SYNC, EBUSY},
    {ERROR_CLOUD_FILE_NOT_SUPPORTED, EOPNOTSUPP},
    {ERROR_CLOUD_FILE_INVALID_REQUEST, EINVAL},
    {ERROR_CLOUD_FILE_CONNECTED_PROVIDER_ONLY, EPERM},
    {ERROR_CLOUD_FILE_AUTHENTICATION_FAILED, EACCES},
    {cfemu::kErrorCloudFileAccessDenied, EACCES},
    {ERROR_CLOUD_FILE_IN_USE, EBUSY},
    {ERROR_CLOUD_FILE_REQUEST_CANCELED, ECANCELED},
    {ERROR_CLOUD_FILE_REQUEST_TIMEOUT, ETIMEDOUT},
    // Whatever else kept the provider from delivering (not running, ended, refused, outside any root) is EIO.
};

}  // namespace

int ErrnoOf(DWORD code) {
    for (const ErrnoOfWin32& row : kErrnoTable) {
        if (row.code == code) return row.error;
    }
    return EIO;
}

// The negative errno FUSE expects, with a line on standard error naming the Win32 status. A missing file is an
// ordinary answer (shells and editors ask for many), so it goes unlogged.
int MountFail(const char* operation, const std::string& path, DWORD code) {
    int error = ErrnoOf(code);
    if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) {
        fuse_context* context = fuse_get_context();
        std::fprintf(stderr, "cfemu mount: %s %s (pid %d): %s -> %s\n", operation, path.c_str(),
                     context != nullptr ? static_cast<int>(context->pid) : 0,
                     cfemu::DescribeWin32Error(code).c_str(), strerrorname_np(error));
    }
    return -error;
}

int MountCaller() {
    fuse_context* context = fuse_get_context();
    return context != nullptr ? static_cast<int>(context->pid) : 0;
}

std::wstring MountWindowsPath(const char* path) {
    return posix::ToWindowsPath(std::strcmp(path, "/") == 0 ? g_mount.base : g_mount.base + path);
}

MountFile* MountFileOf(const fuse_file_info* info) { return reinterpret_cast<MountFile*>(info->fh); }

bool MountHidden(const char* path) {
    if (path == nullptr || std::strstr(path, "/.fuse_hidden") == nullptr) return false;
    std::lock_guard<std::mutex> lock(g_mount.hiddenMutex);
    return g_mount.hidden.count(path) != 0;
}

int MountOnOpenFile(const char* path, fuse_file_info* info, const std::function<int(MountFile*)>& act) {
    if (info != nullptr) return act(MountFileOf(info));
    std::pair<dev_t, ino_t> file;
    {
        std::lock_guard<std::mutex> lock(g_mount.hiddenMutex);
        auto found = path != nullptr ? g_mount.hidden.find(path) : g_mount.hidden.end();
        if (found == g_mount.hidden.end()) return -ENOENT;
        file = found->second;
    }
    std::lock_guard<std::mutex> lock(g_mount.filesMutex);
    for (MountFile* open : g_mount.files) {
        posix::Handle* handle = posix::HandleOf(open->handle, posix::HandleKind::File);
        struct stat st;
        if (handle != nullptr && fstat(handle->fd, &st) == 0 && st.st_dev == file.first && st.st_ino == file.second) {
            return act(open);
        }
    }
    return -ENOENT;
}

}  // namespace cfemu
