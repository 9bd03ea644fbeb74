// mount_names.cpp - the mount's operations on names: mkdir, rmdir, unlink, rename, and directory listings.
// A delete or rename through the mount forgets what the kernel's cached pages held at the names it touches.
#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/cfemu/mount_internal.h"

namespace cfemu {

int MountMkdir(const char* path, mode_t) {
    MountActingFor acting(MountCaller());
    if (!CreateDirectoryW(MountWindowsPath(path).c_str(), nullptr)) return MountFail("mkdir", path, GetLastError());
    return 0;
}

// Windows deletes no read-only file; a Linux program expects the directory to decide, and ports of POSIX tools to
// Windows clear the attribute first. So does the mount, and puts it back when the delete fails (a provider's refusal).
int MountUnlink(const char* path) {
    MountActingFor acting(MountCaller());
    MountForget(path);
    const std::wstring name = MountWindowsPath(path);
    if (DeleteFileW(name.c_str())) return 0;
    DWORD error = GetLastError();
    const DWORD attributes = error == ERROR_ACCESS_DENIED ? GetFileAttributesW(name.c_str()) : INVALID_FILE_ATTRIBUTES;
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return MountFail("unlink", path, error);
    }
    const DWORD writable = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (!SetFileAttributesW(name.c_str(), writable != 0 ? writable : FILE_ATTRIBUTE_NORMAL)) {
        return MountFail("unlink", path, error);
    }
    if (DeleteFileW(name.c_str())) return 0;
    error = GetLastError();
    (void)SetFileAttributesW(name.c_str(), attributes);
    return MountFail("unlink", path, error);
}

int MountRmdir(const char* path) {
    MountActingFor acting(MountCaller());
    if (!RemoveDirectoryW(MountWindowsPath(path).c_str())) return MountFail("rmdir", path, GetLastError());
    return 0;
}

int MountRename(const char* from, const char* to, unsigned int flags) {
    if ((flags & RENAME_EXCHANGE) != 0) return -EINVAL;  // Windows cannot swap two names in one step
    MountActingFor acting(MountCaller());
    MountForget(from);
    MountForget(to);
    DWORD moveFlags = (flags & RENAME_NOREPLACE) != 0 ? 0 : MOVEFILE_REPLACE_EXISTING;
    // The kernel hands the daemon a program's last close (release) after close(2) has returned, so a program that
    // closes a file and at once saves over it finds the target still open here, which the replacing rename refuses
    // with access denied, as Windows refuses any open target. Such a close is over in a moment: wait for it.
    const ULONGLONG deadline = GetTickCount64() + 1000;
    while (!MoveFileExW(MountWindowsPath(from).c_str(), MountWindowsPath(to).c_str(), moveFlags)) {
        const DWORD error = GetLastError();
        if (error != ERROR_ACCESS_DENIED || moveFlags == 0 || GetTickCount64() >= deadline) {
            return MountFail("rename", from, error);
        }
        Sleep(10);
    }
    return 0;
}

namespace {

// A directory's entries as one enumeration found them, taken when a program reads the directory from its start
// (after opendir or rewinddir) and handed out by position: so every piece of a listing carries its entries'
// attributes, which the kernel keeps (it ignores those of a listing handed out without positions).
struct MountListing {
    std::vector<std::pair<std::string, struct stat>> entries;
};

int MountList(const char* path, MountListing* listing) {
    listing->entries.clear();
    WIN32_FIND_DATAW data{};
    HANDLE find = FindFirstFileW((MountWindowsPath(path) + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        // The top of the file system has no "." entries to find: an empty listing.
        return error == ERROR_FILE_NOT_FOUND ? 0 : MountFail("readdir", path, error);
    }
    do {
        struct stat st;
        ULONGLONG size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        MountFillStat(&st, data.dwFileAttributes, size, data.ftLastAccessTime, data.ftLastWriteTime);
        listing->entries.emplace_back(posix::NameToPosix(data.cFileName), st);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return 0;
}

}  // namespace

int MountOpendir(const char*, fuse_file_info* info) {
    info->fh = reinterpret_cast<uint64_t>(new MountListing);
    return 0;
}

int MountReaddir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t offset, fuse_file_info* info,
                 fuse_readdir_flags flags) {
    if (path == nullptr) return -ENOENT;  // the directory went while it was open
    MountListing* listing = reinterpret_cast<MountListing*>(info->fh);
    if (offset == 0) {
        const int result = MountList(path, listing);
        if (result != 0) return result;
    }
    const fuse_fill_dir_flags fillFlags = (flags & FUSE_READDIR_PLUS) != 0 ? FUSE_FILL_DIR_PLUS
                                                                           : static_cast<fuse_fill_dir_flags>(0);
    for (size_t at = static_cast<size_t>(offset); at < listing->entries.size(); ++at) {
        const auto& [name, st] = listing->entries[at];
        if (fill(buffer, name.c_str(), &st, static_cast<off_t>(at + 1), fillFlags) != 0) break;
    }
    return 0;
}

int MountReleasedir(const char*, fuse_file_info* info) {
    delete reinterpret_cast<MountListing*>(info->fh);
    return 0;
}

}  // namespace cfemu
