// mount_names.cpp - the mount's operations on names: mkdir, rmdir, unlink, rename, and directory listings.
// A delete or rename through the mount forgets what the kernel's cached pages held at the names it touches.
#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <mutex>
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
    if (MountHidden(path)) {  // the last release of an open file whose name went before: the root holds it no more
        std::lock_guard<std::mutex> lock(g_mount.hiddenMutex);
        g_mount.hidden.erase(path);
        return 0;
    }
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

namespace {

// libfuse moves an open file that is unlinked, or that a rename replaces, to a hidden name. For an unlink the file
// is deleted on the root now, as Windows deletes a file with POSIX semantics while handles keep it open; for a rename
// the replacing rename that follows does the work. Either way what comes for the hidden name goes to the open file.
int MountHide(const char* path, const char* hidden) {
    struct stat st;
    if (lstat(posix::SysPath(g_mount.base + path).c_str(), &st) != 0) return -errno;
    if (MountServingUnlink()) {
        const int result = MountUnlink(path);
        if (result != 0) return result;
    }
    std::lock_guard<std::mutex> lock(g_mount.hiddenMutex);
    g_mount.hidden[hidden] = {st.st_dev, st.st_ino};
    return 0;
}

// A rename over an existing file, as a Linux program expects it: the target is replaced even while programs hold
// it open (their opens keep the replaced file) and even when it is read-only, which Windows allows a rename through
// a handle opened for delete access with FileRenameInfoEx's POSIX semantics.
DWORD MountReplace(const std::wstring& from, const std::wstring& to) {
    HANDLE source = CreateFileW(from.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                nullptr);
    if (source == INVALID_HANDLE_VALUE) return GetLastError();
    const DWORD nameBytes = static_cast<DWORD>(to.size() * sizeof(WCHAR));
    std::vector<unsigned char> buffer(offsetof(FILE_RENAME_INFO, FileName) + nameBytes + sizeof(WCHAR), 0);
    FILE_RENAME_INFO* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->Flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS |
                    FILE_RENAME_FLAG_IGNORE_READONLY_ATTRIBUTE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = nameBytes;
    std::memcpy(rename->FileName, to.c_str(), nameBytes);
    const bool ok = SetFileInformationByHandle(source, FileRenameInfoEx, rename, static_cast<DWORD>(buffer.size()));
    const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    CloseHandle(source);
    return error;
}

}  // namespace

int MountRename(const char* from, const char* to, unsigned int flags) {
    if ((flags & RENAME_EXCHANGE) != 0) return -EINVAL;  // Windows cannot swap two names in one step
    MountActingFor acting(MountCaller());
    if (std::strstr(to, "/.fuse_hidden") != nullptr) return MountHide(from, to);
    MountForget(from);
    MountForget(to);
    const std::wstring source = MountWindowsPath(from), target = MountWindowsPath(to);
    const DWORD sourceAttributes = GetFileAttributesW(source.c_str());
    if (sourceAttributes == INVALID_FILE_ATTRIBUTES) return MountFail("rename", from, GetLastError());
    const DWORD targetAttributes =
        (flags & RENAME_NOREPLACE) != 0 ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(target.c_str());
    DWORD error = ERROR_SUCCESS;
    if (targetAttributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD moveFlags = (flags & RENAME_NOREPLACE) != 0 ? 0 : MOVEFILE_REPLACE_EXISTING;
        if (!MoveFileExW(source.c_str(), target.c_str(), moveFlags)) error = GetLastError();
    } else if ((targetAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        if ((sourceAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return -EISDIR;
        // Windows replaces no directory; Linux replaces an empty one. It is removed first (the provider hears of
        // that), and made again when the rename then fails.
        if (!RemoveDirectoryW(target.c_str())) return MountFail("rename", to, GetLastError());
        if (!MoveFileExW(source.c_str(), target.c_str(), 0)) {
            error = GetLastError();
            (void)CreateDirectoryW(target.c_str(), nullptr);
        }
    } else if ((sourceAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return -ENOTDIR;
    } else {
        error = MountReplace(source, target);
    }
    return error == ERROR_SUCCESS ? 0 : MountFail("rename", from, error);
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
        std::string name = posix::NameToPosix(data.cFileName);
        const bool directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        MountFillStat(&st, data.dwFileAttributes, size, data.ftLastAccessTime, data.ftLastWriteTime,
                      directory ? MountDirectoryLinks(std::string(path) + (path[1] != 0 ? "/" : "") + name) : 1);
        listing->entries.emplace_back(std::move(name), st);
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
