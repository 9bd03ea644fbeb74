// share_modes.cpp - CreateFileW's share modes, enforced across every process that uses the stand-in.
// Each handle holds shared open-file-description locks on bytes far past any data: one per right it holds and
// one per right it denies. The locks vanish with the descriptor, so a killed process leaves nothing behind.
#include "platform/posix/win32/standin_internal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <thread>

namespace posix {
namespace {

// The lock bytes: [0] any handle open, [1..3] read, write, delete held, [4..6] read, write, delete denied,
// [7] a rename about to replace the file.
constexpr off_t kLockBase = 0x7FFFFFFF00000000LL;
constexpr off_t kAnyHandle = 0;
constexpr off_t kHeld = 1;
constexpr off_t kDenied = 4;
constexpr off_t kReplacing = 7;
constexpr off_t kLockBytes = 8;
// A replacing rename holds its mark for one rename(2); an open waits this long at most for it.
constexpr auto kReplaceWait = std::chrono::seconds(10);

constexpr DWORD kRightRead = 0, kRightWrite = 1, kRightDelete = 2;
constexpr DWORD kShareBits[3] = {FILE_SHARE_READ, FILE_SHARE_WRITE, FILE_SHARE_DELETE};

bool Lock(int fd, int command, short type, off_t byte, off_t length = 1) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = kLockBase + byte;
    lock.l_len = length;
    int rc;
    do {
        rc = fcntl(fd, command, &lock);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 && (command != F_OFD_GETLK || lock.l_type == F_UNLCK);
}

// True when a descriptor other than `fd`'s own open file description holds the byte.
bool HeldElsewhere(int fd, off_t byte) { return !Lock(fd, F_OFD_GETLK, F_WRLCK, byte); }

// The rights Windows checks share modes for; attribute-only access takes part in no check.
void RightsOf(DWORD access, bool rights[3]) {
    rights[kRightRead] = (access & (GENERIC_READ | kGenericExecute | kGenericAll | kFileReadData | kFileExecute)) != 0;
    rights[kRightWrite] = (access & (GENERIC_WRITE | kGenericAll | kFileWriteData | kFileAppendData)) != 0;
    rights[kRightDelete] = (access & (kDeleteAccess | kGenericAll)) != 0;
}

// An open took its byte; a replacing rename may have begun before that. Waits for such a rename to end and then
// asks for a fresh open when it replaced the file the descriptor found, so no handle outlives its name unseen.
DWORD AfterReplacingRenames(const Handle& handle, int lockFd) {
    auto deadline = std::chrono::steady_clock::now() + kReplaceWait;
    while (HeldElsewhere(lockFd, kReplacing)) {
        if (std::chrono::steady_clock::now() > deadline) return ERROR_SHARING_VIOLATION;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    struct stat opened, named;
    if (handle.path.empty() || fstat(handle.fd, &opened) != 0 ||
        stat(posix::SysPath(handle.path).c_str(), &named) != 0) {
        return ERROR_SUCCESS;
    }
    return opened.st_dev == named.st_dev && opened.st_ino == named.st_ino ? ERROR_SUCCESS : kRetryOpen;
}

}  // namespace

DWORD TakeShareLocks(Handle& handle, DWORD access, DWORD shareMode) {
    int flags = fcntl(handle.fd, F_GETFL);
    int fd = handle.fd;
    // A read lock needs a descriptor open for reading; a write-only handle gets a second one for its locks.
    if (flags >= 0 && (flags & O_ACCMODE) == O_WRONLY) {
        char self[64];
        std::snprintf(self, sizeof(self), "/proc/self/fd/%d", handle.fd);
        handle.lockFd = open(self, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        // A file its owner cannot read (mode 0200) keeps no locks: such a handle is as POSIX always was.
        if (handle.lockFd < 0) return ERROR_SUCCESS;
        fd = handle.lockFd;
    }
    bool rights[3];
    RightsOf(access, rights);
    bool anyRight = rights[0] || rights[1] || rights[2];
    // Taken first, checked after: two opens that conflict at the same moment may both fail, never both succeed.
    bool taken = Lock(fd, F_OFD_SETLK, F_RDLCK, kAnyHandle);
    for (DWORD right = 0; right < 3 && taken && anyRight; ++right) {
        if (rights[right]) taken = Lock(fd, F_OFD_SETLK, F_RDLCK, kHeld + right);
        if (taken && (shareMode & kShareBits[right]) == 0) taken = Lock(fd, F_OFD_SETLK, F_RDLCK, kDenied + right);
    }
    // A file system without byte-range locks cannot enforce sharing; the open goes ahead as on POSIX.
    if (!taken) {
        Lock(fd, F_OFD_SETLK, F_UNLCK, 0, kLockBytes);
        return ERROR_SUCCESS;
    }
    DWORD renamed = AfterReplacingRenames(handle, fd);
    if (renamed != ERROR_SUCCESS) {
        Lock(fd, F_OFD_SETLK, F_UNLCK, 0, kLockBytes);
        return renamed;
    }
    bool conflict = false;
    for (DWORD right = 0; right < 3 && !conflict && anyRight; ++right) {
        // The new handle's access against what others deny, and what it denies against what others hold.
        if (rights[right] && HeldElsewhere(fd, kDenied + right)) conflict = true;
        if ((shareMode & kShareBits[right]) == 0 && HeldElsewhere(fd, kHeld + right)) conflict = true;
    }
    if (!conflict) return ERROR_SUCCESS;
    Lock(fd, F_OFD_SETLK, F_UNLCK, 0, kLockBytes);
    return ERROR_SHARING_VIOLATION;
}

DWORD CheckOutsideWriters(const Handle& handle, DWORD access, DWORD shareMode) {
    bool rights[3];
    RightsOf(access, rights);
    const int flags = fcntl(handle.fd, F_GETFL);
    // Only a handle whose own descriptor reads (a read lease needs one) and that shares no writing asks.
    if ((shareMode & FILE_SHARE_WRITE) != 0 || !(rights[kRightRead] || rights[kRightDelete]) || flags < 0 ||
        (flags & O_ACCMODE) != O_RDONLY) {
        return ERROR_SUCCESS;
    }
    // The kernel grants a read lease only while no descriptor anywhere has the file open for writing. The lease is
    // let go at once; a writer opening in between waits those microseconds. Its break would signal this process:
    // with SIGURG, which is ignored unless handled, not with SIGIO, which ends a process.
    if (fcntl(handle.fd, F_SETSIG, SIGURG) != 0) return ERROR_SUCCESS;
    if (fcntl(handle.fd, F_SETLEASE, F_RDLCK) == 0) {
        fcntl(handle.fd, F_SETLEASE, F_UNLCK);
        return ERROR_SUCCESS;
    }
    // EAGAIN: a writer holds it. Anything else (a file of another owner, a file system without leases): no answer,
    // and the open goes ahead as it did before.
    return errno == EAGAIN ? ERROR_SHARING_VIOLATION : ERROR_SUCCESS;
}

bool OtherHandlesOpen(const Handle& handle) {
    return HeldElsewhere(handle.lockFd >= 0 ? handle.lockFd : handle.fd, kAnyHandle);
}

DWORD CheckShareForPath(const std::string& posixPath, DWORD access) {
    DWORD result = kRetryOpen;
    for (int attempt = 0; attempt < 8 && result == kRetryOpen; ++attempt) {
        Handle probe;
        probe.path = posixPath;
        probe.fd = open(posix::SysPath(posixPath).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
        if (probe.fd < 0) return ERROR_SUCCESS;  // nothing to check against (or a link): the operation decides
        result = TakeShareLocks(probe, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
        close(probe.fd);
    }
    return result == kRetryOpen ? ERROR_SHARING_VIOLATION : result;
}

DWORD MarkForReplace(const std::string& posixPath, int* mark) {
    *mark = -1;
    int fd = open(posix::SysPath(posixPath).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
    if (fd < 0) return errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;  // a link is replaced, not opened
    // Marked first, checked after, the mirror of an open: a rename and an open that meet never both go ahead.
    if (!Lock(fd, F_OFD_SETLK, F_RDLCK, kReplacing)) {
        close(fd);
        return ERROR_SUCCESS;  // a file system without byte-range locks: nothing to check, as for share modes
    }
    if (HeldElsewhere(fd, kAnyHandle)) {
        close(fd);
        return ERROR_ACCESS_DENIED;
    }
    *mark = fd;
    return ERROR_SUCCESS;
}

}  // namespace posix
