// share_modes.cpp - CreateFileW's share modes, enforced across every process that uses the stand-in.
// Each handle holds shared open-file-description locks on bytes far past any data: one per right it holds and
// one per right it denies. The locks vanish with the descriptor, so a killed process leaves nothing behind.
#include "platform/posix/standin_internal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace posix {
namespace {

// The lock bytes: [0] any handle open, [1..3] read, write, delete held, [4..6] read, write, delete denied.
constexpr off_t kLockBase = 0x7FFFFFFF00000000LL;
constexpr off_t kAnyHandle = 0;
constexpr off_t kHeld = 1;
constexpr off_t kDenied = 4;
constexpr off_t kLockBytes = 7;

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

bool OtherHandlesOpen(const Handle& handle) {
    return HeldElsewhere(handle.lockFd >= 0 ? handle.lockFd : handle.fd, kAnyHandle);
}

DWORD CheckShareForPath(const std::string& posixPath, DWORD access) {
    Handle probe;
    probe.fd = open(posixPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
    if (probe.fd < 0) return ERROR_SUCCESS;  // nothing to check against (or a link): the operation decides
    DWORD result = TakeShareLocks(probe, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    close(probe.fd);
    return result;
}

}  // namespace posix
