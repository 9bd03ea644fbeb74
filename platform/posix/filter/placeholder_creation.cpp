// placeholder_creation.cpp - CfCreatePlaceholders: each entry checked, then made as a directory or as a sparse file
// that is created unnamed and linked under its name only once its record and times are on it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cwchar>

#include "platform/posix/filter/cloud_filter.h"
#include "platform/posix/filter/filter_internal.h"
#include "platform/posix/win32/standin_internal.h"

namespace cfemu {
namespace {

timespec TimespecOfTicks(LONGLONG ticks) {
    long long seconds = 0;
    long nanoseconds = 0;
    posix::TimespecFromFileTimeTicks(ticks < 0 ? 0 : static_cast<ULONGLONG>(ticks), &seconds, &nanoseconds);
    timespec time;
    time.tv_sec = static_cast<time_t>(seconds);
    time.tv_nsec = nanoseconds;
    return time;
}

bool ValidPlaceholderName(LPCWSTR name) {
    if (name == nullptr || name[0] == L'\0') return false;
    if (std::wcscmp(name, L".") == 0 || std::wcscmp(name, L"..") == 0) return false;
    return std::wcspbrk(name, L"\\/") == nullptr;
}

// Writes identity and state onto a new placeholder open on `fd`; 0 or the errno of the failure.
int MarkPlaceholder(int fd, const CF_PLACEHOLDER_CREATE_INFO& entry, const PlaceholderState& state) {
    return WritePlaceholderRecord(fd, state, static_cast<const BYTE*>(entry.FileIdentity), entry.FileIdentityLength);
}

}  // namespace

// A file system that cannot hold the identity beside the state (ext4 keeps all attributes of a file in one
// 4 KiB block, so an identity near 4096 bytes does not fit) reports the platform's metadata-too-large.
HRESULT CreationFailure(int error, const std::string& path) {
    if (NoAttributeSupport(error)) return ReportNoAttributes(path);
    if (error == ENOSPC || error == E2BIG) return HRESULT_FROM_WIN32(kErrorCloudFileMetadataTooLarge);
    return HrFromErrno(error);
}

namespace {

HRESULT CreateDirectoryPlaceholder(const std::string& path, const CF_PLACEHOLDER_CREATE_INFO& entry,
                                   const PlaceholderState& state, const timespec times[2], USN* usn) {
    if (mkdir(posix::SysPath(path).c_str(), 0777) != 0) {
        return errno == EEXIST ? HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS) : HrFromErrno(errno);
    }
    int fd = open(posix::SysPath(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int error = fd < 0 ? errno : MarkPlaceholder(fd, entry, state);
    if (error == 0 && futimens(fd, times) != 0) error = errno;
    struct stat st;
    if (error == 0 && fstat(fd, &st) == 0) *usn = static_cast<USN>(st.st_ino);
    if (fd >= 0) close(fd);
    if (error == 0) return S_OK;
    rmdir(posix::SysPath(path).c_str());
    return CreationFailure(error, path);
}

// Gives the unnamed file open on `fd` its name in the directory open on `directoryFd`; 0 or the errno. Linking
// the descriptor itself needs Linux 6.10 (or the right to search any directory); elsewhere the file is reached
// through /proc, which costs a path walk more per placeholder.
int LinkUnnamedFile(int fd, int directoryFd, const std::string& name) {
    static std::atomic<bool> descriptorLinkRefused{false};
    if (!descriptorLinkRefused.load(std::memory_order_relaxed)) {
        if (linkat(fd, "", directoryFd, name.c_str(), AT_EMPTY_PATH) == 0) return 0;
        if (errno != ENOENT && errno != EPERM && errno != EINVAL) return errno;
        descriptorLinkRefused.store(true, std::memory_order_relaxed);
    }
    char link[64];
    std::snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, link, directoryFd, name.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
}

// `directoryFd` is the base directory, opened once per batch, so no entry walks the whole path again.
HRESULT CreateFilePlaceholder(int directoryFd, const std::string& name, const std::string& path,
                              const CF_PLACEHOLDER_CREATE_INFO& entry, const PlaceholderState& state,
                              const timespec times[2], USN* usn) {
    // An unnamed file, linked under its name once complete; file systems without O_TMPFILE get the name at once.
    bool unnamed = true;
    int fd = openat(directoryFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd < 0) {
        unnamed = false;
        fd = openat(directoryFd, name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
        if (fd < 0) return errno == EEXIST ? HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS) : HrFromErrno(errno);
    }
    int error = 0;
    // The new file is empty already: only a placeholder with a size needs the truncation.
    if (entry.FsMetadata.FileSize.QuadPart > 0 && ftruncate(fd, entry.FsMetadata.FileSize.QuadPart) != 0) {
        error = errno;
    }
    if (error == 0) error = MarkPlaceholder(fd, entry, state);
    if (error == 0 && futimens(fd, times) != 0) error = errno;
    if (error == 0 && unnamed) {
        int linkError = LinkUnnamedFile(fd, directoryFd, name);
        if (linkError != 0) {
            close(fd);
            return linkError == EEXIST ? HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS) : HrFromErrno(linkError);
        }
    }
    struct stat st;
    if (error == 0 && fstat(fd, &st) == 0) *usn = static_cast<USN>(st.st_ino);
    close(fd);
    if (error == 0) return S_OK;
    if (!unnamed) unlinkat(directoryFd, name.c_str(), 0);
    return CreationFailure(error, path);
}

HRESULT CreateOnePlaceholder(const std::string& directory, int directoryFd, CF_PLACEHOLDER_CREATE_INFO& entry) {
    if (!ValidPlaceholderName(entry.RelativeFileName)) return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_INVALID_REQUEST);
    if (entry.FileIdentityLength > CF_PLACEHOLDER_MAX_FILE_IDENTITY_LENGTH ||
        (entry.FileIdentityLength > 0 && entry.FileIdentity == nullptr)) {
        return E_INVALIDARG;
    }
    bool isDirectory = (entry.FsMetadata.BasicInfo.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!isDirectory && entry.FsMetadata.FileSize.QuadPart < 0) return E_INVALIDARG;
    const std::string name = posix::NameToPosix(entry.RelativeFileName);
    const std::string path = directory + "/" + name;

    PlaceholderState state;
    state.pin = InheritedPin(path, isDirectory);  // from its directory, by the documented table
    if (isDirectory) state.flags |= kStateDirectory | kStateHydrated;
    if ((entry.Flags & CF_PLACEHOLDER_CREATE_FLAG_MARK_IN_SYNC) != 0) state.flags |= kStateInSync;
    if ((entry.Flags & CF_PLACEHOLDER_CREATE_FLAG_ALWAYS_FULL) != 0) state.flags |= kStateAlwaysFull;
    // Zero times are taken literally (1601-01-01), as on Windows at creation.
    const FILE_BASIC_INFO& basic = entry.FsMetadata.BasicInfo;
    state.creationTicks = basic.CreationTime.QuadPart < 0 ? 0 : static_cast<ULONGLONG>(basic.CreationTime.QuadPart);
    state.changeTicks = basic.ChangeTime.QuadPart < 0 ? 0 : static_cast<ULONGLONG>(basic.ChangeTime.QuadPart);
    timespec times[2] = {TimespecOfTicks(basic.LastAccessTime.QuadPart), TimespecOfTicks(basic.LastWriteTime.QuadPart)};

    if ((entry.Flags & CF_PLACEHOLDER_CREATE_FLAG_SUPERSEDE) != 0) {
        struct stat st;
        if (lstat(posix::SysPath(path).c_str(), &st) == 0 &&
            (S_ISDIR(st.st_mode) ? rmdir(posix::SysPath(path).c_str()) : unlink(posix::SysPath(path).c_str())) != 0) {
            return HrFromErrno(errno);
        }
    }
    USN usn = 0;
    HRESULT hr = isDirectory ? CreateDirectoryPlaceholder(path, entry, state, times, &usn)
                             : CreateFilePlaceholder(directoryFd, name, path, entry, state, times, &usn);
    if (SUCCEEDED(hr)) entry.CreateUsn = usn;
    return hr;
}

}  // namespace

HRESULT CreatePlaceholders(LPCWSTR baseDirectoryPath, CF_PLACEHOLDER_CREATE_INFO* placeholderArray,
                           DWORD placeholderCount, CF_CREATE_FLAGS createFlags, PDWORD entriesProcessed) {
    if (entriesProcessed != nullptr) *entriesProcessed = 0;
    if (baseDirectoryPath == nullptr || (placeholderArray == nullptr && placeholderCount > 0)) return E_INVALIDARG;
    std::string absolute = posix::AbsolutePosixPath(baseDirectoryPath);
    // Opened once for all entries; its canonical path is what the kernel resolved on the way (one readlink
    // where realpath reads every component of the path again, which seeding pays for each single entry).
    int directoryFd = open(posix::SysPath(absolute).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (directoryFd < 0) {
        // Only a failure looks closer, to tell a missing path from one that is not a directory.
        int openError = errno;
        struct stat st;
        if (stat(posix::SysPath(absolute).c_str(), &st) != 0) {
            return errno == ENOENT ? HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND) : HrFromErrno(errno);
        }
        if (!S_ISDIR(st.st_mode)) return HRESULT_FROM_WIN32(ERROR_DIRECTORY);
        return HrFromErrno(openError);
    }
    std::string directory = CurrentPath(directoryFd, absolute);
    std::string root;
    RootRecord record;
    HRESULT refusal = S_OK;
    if (!FindSyncRoot(directory, &root, &record)) {
        refusal = HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT);
    } else if (!ManagementAllowed(root, record, CF_PLACEHOLDER_MANAGEMENT_POLICY_CREATE_UNRESTRICTED)) {
        refusal = HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_CONNECTED_PROVIDER_ONLY);
    }
    if (FAILED(refusal)) {
        close(directoryFd);
        return refusal;
    }
    HRESULT first = S_OK;
    for (DWORD i = 0; i < placeholderCount; ++i) {
        CF_PLACEHOLDER_CREATE_INFO& entry = placeholderArray[i];
        entry.Result = CreateOnePlaceholder(directory, directoryFd, entry);
        if (entriesProcessed != nullptr) *entriesProcessed = i + 1;  // failed entries count as processed
        if (FAILED(entry.Result) && SUCCEEDED(first)) {
            first = entry.Result;
            if ((createFlags & CF_CREATE_FLAG_STOP_ON_ERROR) != 0) break;
        }
    }
    close(directoryFd);
    return first;
}

}  // namespace cfemu
