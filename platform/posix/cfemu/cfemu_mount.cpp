// cfemu_mount.cpp - `cfemu mount ROOT MOUNTPOINT`: a FUSE view of a sync root that every Linux program can use.
// Each FUSE operation becomes the Win32 call an application makes on the root, so the emulated filter's rules apply.
#define FUSE_USE_VERSION 312
#include <fuse.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/posix/cfemu/cfemu.h"
#include "platform/posix/filter/cloud_filter.h"
#include "platform/posix/win32/standin_internal.h"

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kFileWriteAttributes = 0x0100u;  // FILE_WRITE_ATTRIBUTES: an open that moves no data
// Writes travel in pieces of up to 1 MiB (reads in the kernel's read-ahead pieces), and programs are told so through
// st_blksize: a 256 MiB copy then makes 256 calls instead of 2048.
constexpr unsigned kTransferSize = 1u << 20;
// How long the kernel may keep names and attributes before it asks the daemon again.
constexpr double kCacheSeconds = 1.0;
// How many paths the daemon remembers what it last opened at, for the kernel's cached pages.
constexpr size_t kSeenPaths = 100000;

// One open of a file through the mount: fuse's fh points to it from open or create until release.
struct MountFile {
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::string path;  // mount-relative, for the log (the file may since be renamed or deleted)
    bool append = false;
    int opener = 0;  // the process that opened it: release carries no caller, and the close is that process's
    // A read through this handle found the data there. It stays while the handle is open (the filter dehydrates no
    // file that anyone else holds open), so later reads need not ask the filter again.
    std::atomic<bool> dataHere{false};
    bool dehydrated = false;  // at the open: its first read fetches the data and so moves the file's change time
};

// Process-wide state of the daemon.
struct MountState {
    // Set by RunMount before the session starts, read-only while it runs.
    std::string base;        // canonical POSIX path of the directory shown at the mount point
    std::string mountpoint;  // canonical POSIX path of the mount point
    uid_t uid = 0;           // every entry is shown as the daemon's user's, as a Windows volume shows no owners
    gid_t gid = 0;
    // Files open through the mount; guarded by `filesMutex`. At unmount the kernel releases none that a program
    // still holds, so the daemon closes them itself and the provider hears of their closes.
    std::mutex filesMutex;
    std::set<MountFile*> files;
    // What the root held at each mount path when a program last opened it there, for the kernel's cached pages;
    // guarded by `seenMutex`.
    std::mutex seenMutex;
    std::map<std::string, std::vector<long long>> seen;
};

MountState g_mount;

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

// The requests the filter sends during one operation name this process as the requester, as on Windows, where
// the provider sees the application and never the file system.
class MountActingFor {
  public:
    explicit MountActingFor(int pid) { cfemu::SetActingProcess(pid); }
    ~MountActingFor() { cfemu::SetActingProcess(0); }
    MountActingFor(const MountActingFor&) = delete;
    MountActingFor& operator=(const MountActingFor&) = delete;
};

int MountCaller() {
    fuse_context* context = fuse_get_context();
    return context != nullptr ? static_cast<int>(context->pid) : 0;
}

std::wstring MountWindowsPath(const char* path) {
    return posix::ToWindowsPath(std::strcmp(path, "/") == 0 ? g_mount.base : g_mount.base + path);
}

MountFile* MountFileOf(const fuse_file_info* info) { return reinterpret_cast<MountFile*>(info->fh); }

timespec MountTimespec(const FILETIME& time) {
    long long seconds = 0;
    long nanoseconds = 0;
    posix::TimespecFromFileTimeTicks(posix::TicksOfFileTime(time), &seconds, &nanoseconds);
    timespec converted{};
    converted.tv_sec = static_cast<time_t>(seconds);
    converted.tv_nsec = nanoseconds;
    return converted;
}

// What Windows tells of a file in POSIX terms: no owners and no modes beyond the read-only attribute.
void MountFillStat(struct stat* st, DWORD attributes, ULONGLONG size, const FILETIME& access, const FILETIME& write) {
    std::memset(st, 0, sizeof(*st));
    bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    mode_t permissions = directory ? 0755 : 0644;
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) permissions &= static_cast<mode_t>(~0222);
    st->st_mode = (directory ? S_IFDIR : S_IFREG) | permissions;
    st->st_nlink = directory ? 2 : 1;
    st->st_uid = g_mount.uid;
    st->st_gid = g_mount.gid;
    st->st_size = directory ? 0 : static_cast<off_t>(size);
    st->st_blocks = static_cast<blkcnt_t>((size + 511) / 512);
    st->st_blksize = kTransferSize;
    st->st_atim = MountTimespec(access);
    st->st_mtim = MountTimespec(write);
    st->st_ctim = st->st_mtim;  // Windows' change time is not among what a listing reports
}

// Whether the kernel may keep the pages it holds of this path from earlier opens: only while the root holds the
// same file, unchanged since (its size and last-write time, and its change time, which any write, attribute or
// state change moves and nobody can set back), and holds its data (a dehydrated placeholder is read through the
// filter again). Renames and deletes through the mount forget their paths, whose pages then came from elsewhere.
// What the root holds now is remembered for the next open.
bool MountKeepCache(const std::string& path, HANDLE handle, bool* dehydrated) {
    posix::Handle* opened = posix::HandleOf(handle, posix::HandleKind::File);
    struct stat st;
    if (opened == nullptr || fstat(opened->fd, &st) != 0) return false;
    cfemu::PlaceholderState state;
    *dehydrated = cfemu::ReadState(opened->fd, &state) && (state.flags & cfemu::kStateHydrated) == 0;
    std::vector<long long> now = {static_cast<long long>(st.st_dev), static_cast<long long>(st.st_ino), st.st_size,
                                  st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
    std::lock_guard<std::mutex> lock(g_mount.seenMutex);
    // Past this many paths everything is forgotten, which only costs the next open of each a fresh read.
    if (g_mount.seen.size() >= kSeenPaths && g_mount.seen.count(path) == 0) g_mount.seen.clear();
    std::vector<long long>& before = g_mount.seen[path];
    const bool same = !*dehydrated && before == now;
    before = std::move(now);
    return same;
}


void MountForget(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_mount.seenMutex);
    auto from = g_mount.seen.lower_bound(path);
    auto to = from;
    while (to != g_mount.seen.end() && (to->first == path || to->first.rfind(path + "/", 0) == 0)) ++to;
    g_mount.seen.erase(from, to);
}

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

// ---- The operations ----

void* MountInit(fuse_conn_info* connection, fuse_config* config) {
    config->direct_io = 0;
    config->kernel_cache = 0;
    config->auto_cache = 0;
    // The kernel keeps names and attributes for a second: what changes through the mount it updates itself, a
    // change made beside the mount shows within that second, and a listing's stats need no trip to the daemon.
    config->entry_timeout = kCacheSeconds;
    config->attr_timeout = kCacheSeconds;
    config->negative_timeout = 0;
    // Every piece of a listing carries its entries' attributes, not only the first (the kernel's automatic mode).
    connection->want |= FUSE_CAP_READDIRPLUS;
    connection->want &= ~static_cast<unsigned>(FUSE_CAP_READDIRPLUS_AUTO);
    // An unlinked open file is deleted at once (DeleteFileW), not renamed to a hidden name, which the provider
    // would hear of as a rename; its open handles keep working, and operations on them come without a path.
    config->hard_remove = 1;
    connection->max_write = kTransferSize;
    connection->max_read = kTransferSize;
    connection->want |= FUSE_CAP_SPLICE_WRITE;
    return nullptr;
}

int MountGetattr(const char* path, struct stat* st, fuse_file_info* info) {
    if (path == nullptr) {
        MountFile* file = MountFileOf(info);
        LARGE_INTEGER size{};
        FILETIME access{}, write{};
        if (!GetFileSizeEx(file->handle, &size) || !GetFileTime(file->handle, nullptr, &access, &write)) {
            return MountFail("getattr", file->path, GetLastError());
        }
        MountFillStat(st, FILE_ATTRIBUTE_NORMAL, static_cast<ULONGLONG>(size.QuadPart), access, write);
        return 0;
    }
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(MountWindowsPath(path).c_str(), GetFileExInfoStandard, &data)) {
        return MountFail("getattr", path, GetLastError());
    }
    ULONGLONG size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    MountFillStat(st, data.dwFileAttributes, size, data.ftLastAccessTime, data.ftLastWriteTime);
    return 0;
}

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

// Windows files have no mode bits but the read-only attribute, which a mode without write permission sets, as on
// vfat. Editors set the mode of every file they save, so a mode that changes nothing must succeed.
int MountChmod(const char* path, mode_t mode, fuse_file_info* info) {
    if (path == nullptr) return info != nullptr ? 0 : -ENOENT;  // an unlinked open file keeps its mode
    MountActingFor acting(MountCaller());
    DWORD attributes = (mode & 0222) != 0 ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
    if (!SetFileAttributesW(MountWindowsPath(path).c_str(), attributes)) return MountFail("chmod", path, GetLastError());
    return 0;
}

// Nor have they owners: every entry is the daemon's user's, and only a change to that owner succeeds.
int MountChown(const char*, uid_t uid, gid_t gid, fuse_file_info*) {
    bool same = (uid == static_cast<uid_t>(-1) || uid == g_mount.uid) && (gid == static_cast<gid_t>(-1) || gid == g_mount.gid);
    return same ? 0 : -EPERM;
}

int MountTruncate(const char* path, off_t size, fuse_file_info* info) {
    MountActingFor acting(info != nullptr ? MountFileOf(info)->opener : MountCaller());
    const std::string shown = info != nullptr ? MountFileOf(info)->path : std::string(path);
    HANDLE handle = info != nullptr ? MountFileOf(info)->handle
                                    : CreateFileW(MountWindowsPath(path).c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return MountFail("truncate", shown, GetLastError());
    LONG high = static_cast<LONG>(static_cast<ULONGLONG>(size) >> 32);
    bool ok = !(SetFilePointer(handle, static_cast<LONG>(size & 0xFFFFFFFF), &high, FILE_BEGIN) ==
                    INVALID_SET_FILE_POINTER &&
                GetLastError() != ERROR_SUCCESS) &&
              SetEndOfFile(handle);
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    if (info == nullptr) CloseHandle(handle);
    return ok ? 0 : MountFail("truncate", shown, error);
}

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

int MountStatfs(const char*, struct statvfs* st) {
    // The volume under the root: there is no Win32 call for it in the stand-in, and the filter has no part in it.
    return statvfs(g_mount.base.c_str(), st) == 0 ? 0 : -errno;
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

int MountUtimens(const char* path, const timespec times[2], fuse_file_info* info) {
    const std::string shown = info != nullptr ? MountFileOf(info)->path : std::string(path);
    HANDLE handle = info != nullptr ? MountFileOf(info)->handle
                                    : CreateFileW(MountWindowsPath(path).c_str(), kFileWriteAttributes, kShareAll,
                                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return MountFail("utimens", shown, GetLastError());
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    FILETIME converted[2];
    const FILETIME* chosen[2] = {nullptr, nullptr};
    for (int i = 0; i < 2; ++i) {
        if (times[i].tv_nsec == UTIME_OMIT) continue;
        const timespec& time = times[i].tv_nsec == UTIME_NOW ? now : times[i];
        converted[i] = posix::FileTimeOfTicks(posix::FileTimeTicksFromTimespec(time.tv_sec, time.tv_nsec));
        chosen[i] = &converted[i];
    }
    bool ok = SetFileTime(handle, nullptr, chosen[0], chosen[1]);
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    if (info == nullptr) CloseHandle(handle);
    return ok ? 0 : MountFail("utimens", shown, error);
}

// The one operations table. Operations left out (links, special files, extended attributes, locks) have no
// counterpart on the Windows side and fail with ENOSYS.
fuse_operations MountOperations() {
    fuse_operations operations{};
    operations.getattr = MountGetattr;
    operations.mkdir = MountMkdir;
    operations.unlink = MountUnlink;
    operations.rmdir = MountRmdir;
    operations.rename = MountRename;
    operations.chmod = MountChmod;
    operations.chown = MountChown;
    operations.truncate = MountTruncate;
    operations.open = MountOpen;
    operations.read_buf = MountReadBuf;
    operations.write = MountWrite;
    operations.statfs = MountStatfs;
    operations.release = MountRelease;
    operations.fsync = MountFsync;
    operations.opendir = MountOpendir;
    operations.readdir = MountReaddir;
    operations.releasedir = MountReleasedir;
    operations.init = MountInit;
    operations.create = MountCreate;
    operations.utimens = MountUtimens;
    return operations;
}

const fuse_operations kMountOperations = MountOperations();

// ---- Start-up ----

int MountRefuse(const std::string& line) {
    std::fprintf(stderr, "cfemu mount: %s\n", line.c_str());
    return 1;
}

bool MountInside(const std::string& path, const std::string& directory) {
    return path == directory || directory == "/" ||
           (path.size() > directory.size() && path.compare(0, directory.size(), directory) == 0 &&
            path[directory.size()] == '/');
}

std::string MountAbsolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char cwd[4096];
    if (getcwd(cwd, sizeof(cwd)) == nullptr) return path;
    return std::string(cwd) + "/" + path;
}

// The refusal a user can act on, or an empty string when ROOT and MOUNTPOINT can be mounted.
std::string MountCheck(const std::string& root, const std::string& mountpoint) {
    struct stat st;
    g_mount.base = cfemu::CanonicalPath(MountAbsolute(root));
    if (g_mount.base.empty() || stat(g_mount.base.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return root + " is not a directory";
    }
    if (!cfemu::FindSyncRoot(g_mount.base, nullptr, nullptr)) {
        return root + " is neither a registered sync root nor a directory inside one";
    }
    if (stat(mountpoint.c_str(), &st) != 0) {
        if (errno == ENOTCONN) {
            return mountpoint + " is left mounted by a daemon that has ended; unmount it first: fusermount3 -u " +
                   mountpoint;
        }
        return mountpoint + ": " + std::strerror(errno) + " (the mount point must be an empty directory)";
    }
    if (!S_ISDIR(st.st_mode)) return mountpoint + " is not a directory (the mount point must be an empty directory)";
    g_mount.mountpoint = cfemu::CanonicalPath(MountAbsolute(mountpoint));
    struct stat parent;
    if (g_mount.mountpoint != "/" && stat((g_mount.mountpoint + "/..").c_str(), &parent) == 0 &&
        parent.st_dev != st.st_dev) {
        return mountpoint + " is already a mount point";
    }
    DIR* directory = opendir(mountpoint.c_str());
    if (directory == nullptr) return mountpoint + ": " + std::strerror(errno);
    bool empty = true;
    while (dirent* entry = readdir(directory)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) empty = false;
    }
    closedir(directory);
    if (!empty) return mountpoint + " is not empty (the mount point must be an empty directory)";
    // The daemon reaches the root by its path: below the mount point, that path would lead back into the daemon.
    if (MountInside(g_mount.mountpoint, g_mount.base) || MountInside(g_mount.base, g_mount.mountpoint)) {
        return mountpoint + " and " + root + " lie inside one another";
    }
    if (geteuid() != 0 && access(mountpoint.c_str(), W_OK) != 0) {
        return "no permission to mount on " + mountpoint + " (it must be writable by you)";
    }
    int device = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (device < 0 && (errno == ENOENT || errno == ENODEV || errno == ENXIO)) {
        return "there is no /dev/fuse: load the kernel's fuse module (modprobe fuse), or give a container the device";
    }
    if (device < 0 && geteuid() == 0) return std::string("cannot open /dev/fuse: ") + std::strerror(errno);
    if (device < 0 && access("/usr/bin/fusermount3", X_OK) != 0) {
        return "no permission to open /dev/fuse, and no fusermount3 to mount for you (install fuse3)";
    }
    if (device >= 0) close(device);
    return std::string();
}

}  // namespace

int cfemu::RunMount(const std::string& root, const std::string& mountpoint) {
    std::string refusal = MountCheck(root, mountpoint);
    if (!refusal.empty()) return MountRefuse(refusal);
    g_mount.uid = geteuid();
    g_mount.gid = getegid();

    // A daemon killed without unmounting leaves nothing stale: fusermount3 watches it and unmounts then.
    std::string options = "fsname=cfemu:" + g_mount.base + ",subtype=cfemu,default_permissions,auto_unmount,max_read=" +
                          std::to_string(kTransferSize);
    std::vector<std::string> words = {"cfemu", "-o", options};
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
    fuse* session = fuse_new(&args, &kMountOperations, sizeof(kMountOperations), nullptr);
    fuse_opt_free_args(&args);  // libfuse copies the arguments it adds to
    if (session == nullptr) return MountRefuse("the FUSE session could not be set up (see the line above)");
    if (fuse_mount(session, g_mount.mountpoint.c_str()) != 0) {
        fuse_destroy(session);
        return MountRefuse("mounting on " + mountpoint + " failed (see the line above)");
    }
    if (fuse_set_signal_handlers(fuse_get_session(session)) != 0) {
        fuse_unmount(session);
        fuse_destroy(session);
        return MountRefuse("the signal handlers could not be installed");
    }
    std::fprintf(stderr, "cfemu mount: serving %s at %s (Ctrl+C, SIGTERM or fusermount3 -u %s ends it)\n",
                 g_mount.base.c_str(), g_mount.mountpoint.c_str(), g_mount.mountpoint.c_str());
    fuse_loop_config* loop = fuse_loop_cfg_create();
    fuse_loop_cfg_set_clone_fd(loop, 0);
    fuse_loop_cfg_set_idle_threads(loop, 10);
    int status = fuse_loop_mt(session, loop);
    fuse_loop_cfg_destroy(loop);
    fuse_remove_signal_handlers(fuse_get_session(session));
    fuse_unmount(session);
    // Programs that still hold files of a detached mount get no more of them; their handles close here.
    std::vector<MountFile*> left;
    {
        std::lock_guard<std::mutex> lock(g_mount.filesMutex);
        left.assign(g_mount.files.begin(), g_mount.files.end());
    }
    for (MountFile* file : left) MountClose(file);
    fuse_destroy(session);
    std::fprintf(stderr, "cfemu mount: unmounted %s\n", g_mount.mountpoint.c_str());
    // libfuse reports the signal that ended the loop; an end by Ctrl+C, SIGTERM, SIGHUP or unmount is a clean one.
    return status == 0 || status == SIGINT || status == SIGTERM || status == SIGHUP ? 0 : 1;
}
