// mount_internal.h - what the files of the FUSE view share: the daemon's state, one open file, helpers, operations.
// Each FUSE operation becomes the Win32 call an application makes on the root, so the emulated filter's rules apply.
#pragma once

#define FUSE_USE_VERSION 312
#include <fuse.h>

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/filter/cloud_filter.h"
#include "platform/posix/win32/standin_internal.h"

namespace cfemu {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Writes travel in pieces of up to 1 MiB (reads in the kernel's read-ahead pieces), and programs are told so through
// st_blksize: a 256 MiB copy then makes 256 calls instead of 2048.
constexpr unsigned kTransferSize = 1u << 20;

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
    // libfuse keeps an open file that is unlinked, or replaced by a rename, under a hidden name (".fuse_hidden...")
    // until its last release; the root holds it no more, so what comes for that name is served through the file's
    // open handles. Each hidden name with the file (device, inode) it stands for; guarded by `hiddenMutex`.
    std::mutex hiddenMutex;
    std::map<std::string, std::pair<dev_t, ino_t>> hidden;
};

extern MountState g_mount;  // defined in cfemu_mount.cpp

// The requests the filter sends during one operation name this process as the requester, as on Windows, where
// the provider sees the application and never the file system.
class MountActingFor {
  public:
    explicit MountActingFor(int pid) { cfemu::SetActingProcess(pid); }
    ~MountActingFor() { cfemu::SetActingProcess(0); }
    MountActingFor(const MountActingFor&) = delete;
    MountActingFor& operator=(const MountActingFor&) = delete;
};

// mount_win32.cpp: the errno of a Win32 status, the calling process, a mount path's Windows path, an open's record.
int MountFail(const char* operation, const std::string& path, DWORD code);
int MountCaller();
std::wstring MountWindowsPath(const char* path);
MountFile* MountFileOf(const fuse_file_info* info);
// The request this thread serves (the kernel's opcode), for the rename that libfuse makes to hide an open file.
bool MountServingUnlink();
// Whether `path` is a hidden name of an open file (see MountState::hidden). An operation on an open file that has
// no name on the root acts through `info`'s own open, else through any open of the file a hidden `path` stands
// for, passed to `act` with the open files locked (no release closes it meanwhile): what `act` returns, or
// -ENOENT when there is no such open.
bool MountHidden(const char* path);
int MountOnOpenFile(const char* path, fuse_file_info* info, const std::function<int(MountFile*)>& act);

// mount_attributes.cpp: attributes as Windows tells them, the kernel's cached pages, and the attribute operations.
void MountFillStat(struct stat* st, DWORD attributes, ULONGLONG size, const FILETIME& access, const FILETIME& write,
                   nlink_t links = 1);
nlink_t MountDirectoryLinks(const std::string& path);
bool MountKeepCache(const std::string& path, HANDLE handle, bool* dehydrated);
void MountForget(const std::string& path);
// mount_pins.cpp: the pin state as the extended attribute user.voske.pin; every other name is ENOTSUP.
int MountGetxattr(const char* path, const char* name, char* value, size_t size);
int MountSetxattr(const char* path, const char* name, const char* value, size_t size, int flags);
int MountListxattr(const char* path, char* list, size_t size);
int MountGetattr(const char* path, struct stat* st, fuse_file_info* info);
int MountChmod(const char* path, mode_t mode, fuse_file_info* info);
int MountChown(const char*, uid_t uid, gid_t gid, fuse_file_info*);
int MountTruncate(const char* path, off_t size, fuse_file_info* info);
int MountStatfs(const char*, struct statvfs* st);
int MountUtimens(const char* path, const timespec times[2], fuse_file_info* info);

// mount_files.cpp: the operations on a file's data, from open to release.
int MountOpen(const char* path, fuse_file_info* info);
int MountCreate(const char* path, mode_t mode, fuse_file_info* info);
int MountReadBuf(const char*, fuse_bufvec** out, size_t size, off_t offset, fuse_file_info* info);
int MountWrite(const char*, const char* buffer, size_t size, off_t offset, fuse_file_info* info);
void MountClose(MountFile* file);
int MountRelease(const char*, fuse_file_info* info);
int MountFsync(const char*, int, fuse_file_info* info);

// mount_names.cpp: the operations on names: directories made and removed, deletes, renames and listings.
int MountMkdir(const char* path, mode_t);
int MountUnlink(const char* path);
int MountRmdir(const char* path);
int MountRename(const char* from, const char* to, unsigned int flags);
int MountOpendir(const char*, fuse_file_info* info);
int MountReaddir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t offset, fuse_file_info* info,
                 fuse_readdir_flags flags);
int MountReleasedir(const char*, fuse_file_info* info);

}  // namespace cfemu
