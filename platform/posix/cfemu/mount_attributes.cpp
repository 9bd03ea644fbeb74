// mount_attributes.cpp - the mount's attributes: a file's stat as Windows tells it, the changes to its mode, owner,
// size and times, the volume's statistics, and the rules for which of the kernel's cached pages stay valid.
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/cfemu/mount_internal.h"

namespace cfemu {

namespace {

constexpr DWORD kFileWriteAttributes = 0x0100u;  // FILE_WRITE_ATTRIBUTES: an open that moves no data
// How many paths the daemon remembers what it last opened at, for the kernel's cached pages.
constexpr size_t kSeenPaths = 100000;

timespec MountTimespec(const FILETIME& time) {
    long long seconds = 0;
    long nanoseconds = 0;
    posix::TimespecFromFileTimeTicks(posix::TicksOfFileTime(time), &seconds, &nanoseconds);
    timespec converted{};
    converted.tv_sec = static_cast<time_t>(seconds);
    converted.tv_nsec = nanoseconds;
    return converted;
}

}  // namespace

// What Windows tells of a file in POSIX terms: no owners and no modes beyond the read-only attribute.
void MountFillStat(struct stat* st, DWORD attributes, ULONGLONG size, const FILETIME& access, const FILETIME& write,
                   nlink_t links) {
    std::memset(st, 0, sizeof(*st));
    bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    mode_t permissions = directory ? 0755 : 0644;
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) permissions &= static_cast<mode_t>(~0222);
    st->st_mode = (directory ? S_IFDIR : S_IFREG) | permissions;
    st->st_nlink = links;
    st->st_uid = g_mount.uid;
    st->st_gid = g_mount.gid;
    st->st_size = directory ? 0 : static_cast<off_t>(size);
    st->st_blocks = static_cast<blkcnt_t>((size + 511) / 512);
    st->st_blksize = kTransferSize;
    st->st_atim = MountTimespec(access);
    st->st_mtim = MountTimespec(write);
    st->st_ctim = st->st_mtim;  // Windows' change time is not among what a listing reports
}

// A directory's links as Linux counts them: 2 and one for each directory in it (its ".."). Windows has no such
// count; the root's file system keeps it (ext4, xfs, tmpfs), and where it does not (btrfs says 1) the
// directory is listed.
nlink_t MountDirectoryLinks(const std::string& path) {
    struct stat st;
    const std::string root = g_mount.base + (path == "/" ? std::string() : path);
    if (lstat(posix::SysPath(root).c_str(), &st) == 0 && st.st_nlink >= 2) return st.st_nlink;
    nlink_t links = 2;
    WIN32_FIND_DATAW data{};
    HANDLE find = FindFirstFileW((posix::ToWindowsPath(root) + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return links;
    do {
        const std::wstring name = data.cFileName;
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && name != L"." && name != L"..") ++links;
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return links;
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

int MountGetattr(const char* path, struct stat* st, fuse_file_info* info) {
    if (path == nullptr || MountHidden(path)) {
        return MountOnOpenFile(path, info, [&](MountFile* file) {
            LARGE_INTEGER size{};
            FILETIME access{}, write{};
            if (!GetFileSizeEx(file->handle, &size) || !GetFileTime(file->handle, nullptr, &access, &write)) {
                return MountFail("getattr", file->path, GetLastError());
            }
            // A hidden name's file has no name left on the root (libfuse lowers what getattr says, not setattr's).
            MountFillStat(st, FILE_ATTRIBUTE_NORMAL, static_cast<ULONGLONG>(size.QuadPart), access, write,
                          path != nullptr ? 0 : 1);
            return 0;
        });
    }
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(MountWindowsPath(path).c_str(), GetFileExInfoStandard, &data)) {
        return MountFail("getattr", path, GetLastError());
    }
    ULONGLONG size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    const bool directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    MountFillStat(st, data.dwFileAttributes, size, data.ftLastAccessTime, data.ftLastWriteTime,
                  directory ? MountDirectoryLinks(path) : 1);
    return 0;
}

// Windows files have no mode bits but the read-only attribute, which a mode without write permission sets, as on
// vfat. Editors set the mode of every file they save, so a mode that changes nothing must succeed.
int MountChmod(const char* path, mode_t mode, fuse_file_info* info) {
    if (path == nullptr || MountHidden(path)) {  // an unlinked open file keeps its mode
        return MountOnOpenFile(path, info, [](MountFile*) { return 0; });
    }
    MountActingFor acting(MountCaller());
    // The pin state stays as it is: a save that sets the mode is no "Free up space".
    const std::wstring name = MountWindowsPath(path);
    const DWORD current = GetFileAttributesW(name.c_str());
    if (current == INVALID_FILE_ATTRIBUTES) return MountFail("chmod", path, GetLastError());
    DWORD attributes = current & (FILE_ATTRIBUTE_PINNED | FILE_ATTRIBUTE_UNPINNED);
    if ((mode & 0222) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
    if (!SetFileAttributesW(name.c_str(), attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL)) {
        return MountFail("chmod", path, GetLastError());
    }
    return 0;
}

// Nor have they owners: every entry is the daemon's user's, and only a change to that owner succeeds.
int MountChown(const char*, uid_t uid, gid_t gid, fuse_file_info*) {
    bool same = (uid == static_cast<uid_t>(-1) || uid == g_mount.uid) && (gid == static_cast<gid_t>(-1) || gid == g_mount.gid);
    return same ? 0 : -EPERM;
}

namespace {

DWORD MountSetEnd(HANDLE handle, off_t size) {
    LONG high = static_cast<LONG>(static_cast<ULONGLONG>(size) >> 32);
    bool ok = !(SetFilePointer(handle, static_cast<LONG>(size & 0xFFFFFFFF), &high, FILE_BEGIN) ==
                    INVALID_SET_FILE_POINTER &&
                GetLastError() != ERROR_SUCCESS) &&
              SetEndOfFile(handle);
    return ok ? ERROR_SUCCESS : GetLastError();
}

DWORD MountSetTimes(HANDLE handle, const timespec times[2]) {
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
    return SetFileTime(handle, nullptr, chosen[0], chosen[1]) ? ERROR_SUCCESS : GetLastError();
}

}  // namespace

int MountTruncate(const char* path, off_t size, fuse_file_info* info) {
    if (info != nullptr || MountHidden(path)) {
        return MountOnOpenFile(path, info, [&](MountFile* file) {
            MountActingFor acting(file->opener);
            const DWORD error = MountSetEnd(file->handle, size);
            return error == ERROR_SUCCESS ? 0 : MountFail("truncate", file->path, error);
        });
    }
    MountActingFor acting(MountCaller());
    HANDLE handle = CreateFileW(MountWindowsPath(path).c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return MountFail("truncate", path, GetLastError());
    const DWORD error = MountSetEnd(handle, size);
    CloseHandle(handle);
    return error == ERROR_SUCCESS ? 0 : MountFail("truncate", path, error);
}

int MountStatfs(const char*, struct statvfs* st) {
    // The volume under the root: there is no Win32 call for it in the stand-in, and the filter has no part in it.
    return statvfs(g_mount.base.c_str(), st) == 0 ? 0 : -errno;
}

int MountUtimens(const char* path, const timespec times[2], fuse_file_info* info) {
    if (info != nullptr || MountHidden(path)) {
        return MountOnOpenFile(path, info, [&](MountFile* file) {
            const DWORD error = MountSetTimes(file->handle, times);
            return error == ERROR_SUCCESS ? 0 : MountFail("utimens", file->path, error);
        });
    }
    HANDLE handle = CreateFileW(MountWindowsPath(path).c_str(), kFileWriteAttributes, kShareAll, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return MountFail("utimens", path, GetLastError());
    const DWORD error = MountSetTimes(handle, times);
    CloseHandle(handle);
    return error == ERROR_SUCCESS ? 0 : MountFail("utimens", path, error);
}

}  // namespace cfemu
