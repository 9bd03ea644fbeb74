// mount_files.cpp - the mount's operations on a file's data: open and create, read and write, fsync and release.
// Each open holds a Win32 handle of the root's file until its release, or until the mount ends.
#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/posix/cfemu/mount_internal.h"

namespace cfemu {

namespace {

int MountRemember(HANDLE handle, const char* path, int flags, fuse_file_info* info, bool keepCache,
                  bool dehydrated) {
    MountFile* file = new MountFile;
    file->dehydrated = dehydrated;
    file->handle = handle;
    file->path = path;
    file->append = (flags & O_APPEND) != 0;
    file->opener = MountCaller();
    {
        std::lock_guard<std::mutex> lock(g_mount.filesMutex);
        g_mount.files.insert(file);
    }
    info->fh = reinterpret_cast<uint64_t>(file);
    // The kernel's page cache serves reads and shared maps (direct I/O would refuse maps); what it holds of the file
    // stays from an earlier open only when MountKeepCache finds the file unchanged.
    info->direct_io = 0;
    info->keep_cache = keepCache ? 1 : 0;
    return 0;
}

DWORD MountAccess(int flags) {
    switch (flags & O_ACCMODE) {
        case O_WRONLY:
            return GENERIC_WRITE;
        case O_RDWR:
            return GENERIC_READ | GENERIC_WRITE;
        default:
            return GENERIC_READ;
    }
}

}  // namespace

int MountOpen(const char* path, fuse_file_info* info) {
    MountActingFor acting(MountCaller());
    DWORD access = MountAccess(info->flags);
    DWORD disposition = (info->flags & O_TRUNC) != 0 && (access & GENERIC_WRITE) != 0 ? TRUNCATE_EXISTING
                                                                                       : OPEN_EXISTING;
    HANDLE handle = CreateFileW(MountWindowsPath(path).c_str(), access, kShareAll, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return MountFail("open", path, GetLastError());
    bool dehydrated = false;
    const bool keepCache = MountKeepCache(path, handle, &dehydrated);
    return MountRemember(handle, path, info->flags, info, keepCache, dehydrated);
}

int MountCreate(const char* path, mode_t mode, fuse_file_info* info) {
    MountActingFor acting(MountCaller());
    DWORD disposition = (info->flags & O_EXCL) != 0   ? CREATE_NEW
                        : (info->flags & O_TRUNC) != 0 ? CREATE_ALWAYS
                                                       : OPEN_ALWAYS;
    DWORD attributes = (mode & S_IWUSR) != 0 ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
    HANDLE handle = CreateFileW(MountWindowsPath(path).c_str(), MountAccess(info->flags), kShareAll, nullptr,
                                disposition, attributes, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return MountFail("create", path, GetLastError());
    MountForget(path);
    return MountRemember(handle, path, info->flags, info, false, false);
}

// A read, with the bytes handed to the kernel straight from the root's file (spliced, not copied through the daemon)
// once a ReadFile of one byte through this handle went through the filter: its access check and its fetch.
int MountReadBuf(const char*, fuse_bufvec** out, size_t size, off_t offset, fuse_file_info* info) {
    MountFile* file = MountFileOf(info);
    MountActingFor acting(MountCaller());
    DWORD got = 1;
    if (!file->dataHere.load() && size > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(static_cast<ULONGLONG>(offset) & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>(static_cast<ULONGLONG>(offset) >> 32);
        char first = 0;
        if (!ReadFile(file->handle, &first, 1, &got, &at)) {
            const DWORD error = GetLastError();
            if (error != ERROR_HANDLE_EOF) return MountFail("read", file->path, error);
        }
        if (got != 0 && !file->dataHere.exchange(true) && file->dehydrated) {
            // The fetch moved the file's change time; what the kernel reads from here on is the file as it is now.
            bool ignored = false;
            (void)MountKeepCache(file->path, file->handle, &ignored);
        }
    }
    fuse_bufvec* vec = static_cast<fuse_bufvec*>(std::malloc(sizeof(fuse_bufvec)));
    if (vec == nullptr) return -ENOMEM;
    *vec = FUSE_BUFVEC_INIT(got == 0 ? 0 : size);
    posix::Handle* opened = posix::HandleOf(file->handle, posix::HandleKind::File);
    if (got != 0 && opened != nullptr) {
        vec->buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
        vec->buf[0].fd = opened->fd;
        vec->buf[0].pos = offset;
    }
    *out = vec;
    return 0;
}

int MountWrite(const char*, const char* buffer, size_t size, off_t offset, fuse_file_info* info) {
    MountFile* file = MountFileOf(info);
    // A shared map's pages may be written back by the kernel itself, which names no caller: they are the opener's.
    const int caller = MountCaller();
    MountActingFor acting(caller > 0 ? caller : file->opener);
    DWORD written = 0;
    BOOL ok;
    if (file->append) {
        // Appends go to the end as it is at the write, as Windows' append access does, not where the kernel last
        // saw the end; the kernel takes the inode's lock around each write, so none comes between the two calls.
        LONG high = 0;
        ok = !(SetFilePointer(file->handle, 0, &high, FILE_END) == INVALID_SET_FILE_POINTER &&
               GetLastError() != ERROR_SUCCESS) &&
             WriteFile(file->handle, buffer, static_cast<DWORD>(size), &written, nullptr);
    } else {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(static_cast<ULONGLONG>(offset) & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>(static_cast<ULONGLONG>(offset) >> 32);
        ok = WriteFile(file->handle, buffer, static_cast<DWORD>(size), &written, &at);
    }
    if (!ok) return MountFail("write", file->path, GetLastError());
    return static_cast<int>(written);
}

// Closes the handle of one open, as its program's close would on Windows: the filter sends the close notification.
void MountClose(MountFile* file) {
    {
        std::lock_guard<std::mutex> lock(g_mount.filesMutex);
        g_mount.files.erase(file);
    }
    MountActingFor acting(file->opener);
    CloseHandle(file->handle);
    delete file;
}

int MountRelease(const char*, fuse_file_info* info) {
    MountClose(MountFileOf(info));
    return 0;
}

int MountFsync(const char*, int, fuse_file_info* info) {
    MountFile* file = MountFileOf(info);
    if (!FlushFileBuffers(file->handle)) return MountFail("fsync", file->path, GetLastError());
    return 0;
}

}  // namespace cfemu
