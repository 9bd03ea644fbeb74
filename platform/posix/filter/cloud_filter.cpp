// cloud_filter.cpp - the emulated Cloud Files filter: the POSIX backend of the eleven operations and the hooks
// through which the Win32 stand-in's file calls reach it.
//
// How it keeps the platform's contract on Linux:
// - Registration: the extended attribute user.cfemu.root on the sync-root directory holds provider name and
//   version, provider id, identity blob, policies and flags. Registering a registered root again without
//   CF_REGISTER_FLAG_UPDATE (even with the same values), a root inside or above another root, and unregistering
//   while a provider is connected give ERROR_CLOUD_FILE_INVALID_REQUEST. A file system without extended attributes
//   gives ERROR_NOT_SUPPORTED before anything is written.
// - In sync: set at creation by MARK_IN_SYNC and by the connected provider's CfSetInSyncState; cleared by any write
//   of data through the stand-in and, under the InSync policy TRACK_FILE_LAST_WRITE_TIME, by setting the last-write
//   time; hydration and dehydration keep it.
// - Placeholder: a sparse regular file of its full size (or a directory) with one attribute, user.cfemu.ph:
//   18 bytes of state (hydrated, in sync, directory, always-full; creation and change time, which POSIX cannot
//   set) followed by the identity blob (earlier builds kept the identity apart, in user.cfemu.id). Access and
//   last-write time are the file's own, set with futimens; a time before 1901 is clamped by ext4 to 1901-12-13
//   (tmpfs keeps it). A new placeholder is made as an unnamed file and linked under its name only when
//   complete, so no process sees it half made.
// - Connection: the provider binds an abstract Unix socket named after the canonical root path (hashed when
//   long); binding is what makes it the only provider, across processes, and the name disappears with the
//   process. Any process (the provider itself too) sends one request per connection and blocks on the answer:
//   FETCH for a read, write or explicit hydration of a dehydrated placeholder, DELETE and RENAME before
//   those operations, CLOSE (not waited for). The provider's listener thread holds each request until
//   CfExecute answers it; callbacks run on a pool of at least four threads that grows whenever all are busy.
//   A provider that dies closes the sockets of every waiting request, which the waiters see as
//   ERROR_CLOUD_FILE_PROVIDER_TERMINATED; data of a fetch is written by the provider's process and the
//   placeholder is marked hydrated only when the whole file has arrived.
// - Timeout: 60 s per request (CFEMU_REQUEST_TIMEOUT_MS in the provider's environment shortens it for tests);
//   any valid CfExecute restarts the clock of all requests of that connection.
// - Disconnect: the socket name is released first, callbacks not yet started are dropped, held requests fail
//   with ERROR_CLOUD_FILE_PROVIDER_TERMINATED, and callbacks already running are waited for (at most the
//   request timeout), so none is running or starts once CfDisconnectSyncRoot has returned.
// - File operations made on callback threads raise the same notifications as anyone's (a provider that copies a
//   placeholder in its close callback hears of that copy's close too); their reads of dehydrated placeholders
//   are fetched as nested requests, on another pool thread.
// - Stricter than Windows where Windows would fail the program or is unverified: CfExecute takes only the exact
//   ParamSize of the member it uses, CfDehydratePlaceholder refuses while any other handle is open, and
//   CfConvertToPlaceholder refuses a file that is a placeholder already.
#include "platform/posix/filter/cloud_filter.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "platform/posix/filter/filter_hooks.h"
#include "platform/posix/win32/standin_internal.h"

namespace cfemu {
namespace {

constexpr size_t kMaxProviderStringLength = 255;
constexpr DWORD kMaxSyncRootIdentityLength = 64 * 1024;

HRESULT HrFromWin32(DWORD code) { return code == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(code); }
HRESULT HrFromErrno(int error) { return HRESULT_FROM_WIN32(posix::Win32ErrorFromErrno(error)); }

bool NoAttributeSupport(int error) { return error == ENOTSUP || error == EOPNOTSUPP; }

HRESULT ReportNoAttributes(const std::string& path) {
    std::fprintf(stderr,
                 "cfemu: %s: the file system keeps no extended attributes, so it cannot hold a sync root "
                 "or placeholders\n",
                 path.c_str());
    return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
}

// The path a descriptor is open on now (it may have been renamed since it was opened), else `fallback`.
std::string CurrentPath(int fd, const std::string& fallback) {
    char link[64];
    char target[4096];
    std::snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    ssize_t size = readlink(link, target, sizeof(target) - 1);
    if (size > 0 && target[0] == '/') {
        std::string path(target, static_cast<size_t>(size));
        static const std::string kDeleted = " (deleted)";
        if (path.size() <= kDeleted.size() ||
            path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) != 0) {
            return path;
        }
    }
    return CanonicalPath(fallback);
}

timespec TimespecOfTicks(LONGLONG ticks) {
    long long seconds = 0;
    long nanoseconds = 0;
    posix::TimespecFromFileTimeTicks(ticks < 0 ? 0 : static_cast<ULONGLONG>(ticks), &seconds, &nanoseconds);
    timespec time;
    time.tv_sec = static_cast<time_t>(seconds);
    time.tv_nsec = nanoseconds;
    return time;
}

bool IsDirectory(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// True when a directory below `directory` (not following links) carries a registration.
bool RootBelow(const std::string& directory) {
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) return false;
    bool found = false;
    while (!found) {
        dirent* entry = readdir(dir);
        if (entry == nullptr) break;
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        std::string child = directory + "/" + entry->d_name;
        bool isDirectory = entry->d_type == DT_DIR || (entry->d_type == DT_UNKNOWN && IsDirectory(child));
        if (!isDirectory) continue;
        found = ReadRootRecord(child, nullptr) || RootBelow(child);
    }
    closedir(dir);
    return found;
}

// Unregistration's walk: dehydrated placeholder files go, hydrated ones and directories become ordinary.
void ReleasePlaceholders(const std::string& directory) {
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) return;
    std::vector<std::string> children;
    while (dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            children.push_back(directory + "/" + entry->d_name);
        }
    }
    closedir(dir);
    for (const std::string& child : children) {
        struct stat st;
        if (lstat(child.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) ReleasePlaceholders(child);
        PlaceholderState state;
        if (!ReadStateAt(child, &state)) continue;
        if (S_ISREG(st.st_mode) && (state.flags & kStateHydrated) == 0) {
            unlink(child.c_str());  // holds no data: nothing of the user's is lost
            continue;
        }
        lremovexattr(child.c_str(), kIdentityAttribute);
        lremovexattr(child.c_str(), kStateAttribute);
    }
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

// A file system that cannot hold the identity beside the state (ext4 keeps all attributes of a file in one
// 4 KiB block, so an identity near 4096 bytes does not fit) reports the platform's metadata-too-large.
HRESULT CreationFailure(int error, const std::string& path) {
    if (NoAttributeSupport(error)) return ReportNoAttributes(path);
    if (error == ENOSPC || error == E2BIG) return HRESULT_FROM_WIN32(kErrorCloudFileMetadataTooLarge);
    return HrFromErrno(error);
}

HRESULT CreateDirectoryPlaceholder(const std::string& path, const CF_PLACEHOLDER_CREATE_INFO& entry,
                                   const PlaceholderState& state, const timespec times[2], USN* usn) {
    if (mkdir(path.c_str(), 0777) != 0) {
        return errno == EEXIST ? HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS) : HrFromErrno(errno);
    }
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int error = fd < 0 ? errno : MarkPlaceholder(fd, entry, state);
    if (error == 0 && futimens(fd, times) != 0) error = errno;
    struct stat st;
    if (error == 0 && fstat(fd, &st) == 0) *usn = static_cast<USN>(st.st_ino);
    if (fd >= 0) close(fd);
    if (error == 0) return S_OK;
    rmdir(path.c_str());
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
        if (lstat(path.c_str(), &st) == 0 && (S_ISDIR(st.st_mode) ? rmdir(path.c_str()) : unlink(path.c_str())) != 0) {
            return HrFromErrno(errno);
        }
    }
    USN usn = 0;
    HRESULT hr = isDirectory ? CreateDirectoryPlaceholder(path, entry, state, times, &usn)
                             : CreateFilePlaceholder(directoryFd, name, path, entry, state, times, &usn);
    if (SUCCEEDED(hr)) entry.CreateUsn = usn;
    return hr;
}

posix::Handle* FileHandle(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
    posix::Handle* file = posix::HandleOf(handle, posix::HandleKind::File);
    return file != nullptr && file->fd >= 0 ? file : nullptr;
}

// While a provider is connected, only its process may create or update placeholders, unless the root's
// registration lifts that for the operation (`unrestricted` is the policy bit that would).
bool ManagementAllowed(const std::string& root, const RootRecord& record, CF_PLACEHOLDER_MANAGEMENT_POLICY unrestricted) {
    if ((record.policies.PlaceholderManagement & unrestricted) != 0) return true;
    return ConnectedHere(root) || !ProbeProvider(root, nullptr);
}

// Asks the provider of the root holding `path` for the whole file and waits.
DWORD Fetch(const std::string& path, uint32_t flags) {
    std::string root;
    if (!FindSyncRoot(path, &root, nullptr)) return ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT;
    Request request;
    request.kind = RequestKind::Fetch;
    request.flags = flags;
    request.path = path;
    DWORD code = SendToProvider(root, request, true);
    // A provider that answers success without having transferred the file would leave the placeholder's empty
    // blocks to be read as data: that answer counts as a failed transfer.
    PlaceholderState state;
    if (code == ERROR_SUCCESS && ReadStateAt(path, &state) && (state.flags & (kStateHydrated | kStateDirectory)) == 0) {
        return ERROR_CLOUD_FILE_UNSUCCESSFUL;
    }
    return code;
}

// ---- The eleven operations ----

HRESULT RegisterSyncRoot(LPCWSTR syncRootPath, const CF_SYNC_REGISTRATION* registration,
                         const CF_SYNC_POLICIES* policies, CF_REGISTER_FLAGS registerFlags) {
    if (syncRootPath == nullptr || registration == nullptr || policies == nullptr) return E_INVALIDARG;
    if (registration->StructSize != sizeof(CF_SYNC_REGISTRATION)) return E_INVALIDARG;
    if (policies->StructSize != sizeof(CF_SYNC_POLICIES) &&
        policies->StructSize != offsetof(CF_SYNC_POLICIES, PlaceholderManagement)) {
        return E_INVALIDARG;
    }
    if (registration->ProviderName == nullptr || registration->ProviderVersion == nullptr ||
        std::wcslen(registration->ProviderName) > kMaxProviderStringLength ||
        std::wcslen(registration->ProviderVersion) > kMaxProviderStringLength) {
        return E_INVALIDARG;
    }
    if (registration->SyncRootIdentityLength > kMaxSyncRootIdentityLength ||
        (registration->SyncRootIdentityLength > 0 && registration->SyncRootIdentity == nullptr) ||
        registration->FileIdentityLength > CF_PLACEHOLDER_MAX_FILE_IDENTITY_LENGTH ||
        (registration->FileIdentityLength > 0 && registration->FileIdentity == nullptr)) {
        return E_INVALIDARG;
    }
    std::string absolute = posix::AbsolutePosixPath(syncRootPath);
    struct stat st;
    if (stat(absolute.c_str(), &st) != 0) {
        return errno == ENOENT ? HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) : HrFromErrno(errno);
    }
    if (!S_ISDIR(st.st_mode)) return HRESULT_FROM_WIN32(ERROR_DIRECTORY);
    std::string root = CanonicalPath(absolute);

    RootRecord record;
    record.providerName = posix::WideToUtf8(registration->ProviderName);
    record.providerVersion = posix::WideToUtf8(registration->ProviderVersion);
    record.providerId = registration->ProviderId;
    std::memcpy(&record.policies, policies, policies->StructSize);
    record.policies.StructSize = sizeof(CF_SYNC_POLICIES);
    record.registerFlags = registerFlags & ~CF_REGISTER_FLAG_UPDATE;
    const BYTE* identity = static_cast<const BYTE*>(registration->SyncRootIdentity);
    record.syncRootIdentity.assign(identity, identity + registration->SyncRootIdentityLength);
    const BYTE* fileIdentity = static_cast<const BYTE*>(registration->FileIdentity);
    record.fileIdentity.assign(fileIdentity, fileIdentity + registration->FileIdentityLength);
    std::vector<BYTE> encoded = EncodeRootRecord(record);

    RootRecord existing;
    if (ReadRootRecord(root, &existing)) {
        // A registered root is registered again only as an update, even with the values it has.
        if ((registerFlags & CF_REGISTER_FLAG_UPDATE) == 0) return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_INVALID_REQUEST);
        if (EncodeRootRecord(existing) == encoded) return S_OK;
    } else {
        // Roots never nest: neither inside another root nor above one.
        std::string parent = root == "/" ? std::string() : root.substr(0, std::max<size_t>(root.find_last_of('/'), 1));
        if ((!parent.empty() && FindSyncRoot(parent, nullptr, nullptr)) || RootBelow(root)) {
            return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_INVALID_REQUEST);
        }
    }
    if (setxattr(root.c_str(), kRootAttribute, encoded.data(), encoded.size(), 0) != 0) {
        return NoAttributeSupport(errno) ? ReportNoAttributes(root) : HrFromErrno(errno);
    }
    return S_OK;
}

HRESULT UnregisterSyncRoot(LPCWSTR syncRootPath) {
    if (syncRootPath == nullptr) return E_INVALIDARG;
    std::string root = CanonicalPath(posix::AbsolutePosixPath(syncRootPath));
    if (root.empty() || !ReadRootRecord(root, nullptr)) return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT);
    // The documented refusal while a provider (this process or another) is connected.
    if (ConnectedHere(root) || ProbeProvider(root, nullptr)) return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_INVALID_REQUEST);
    ReleasePlaceholders(root);
    if (lremovexattr(root.c_str(), kRootAttribute) != 0) return HrFromErrno(errno);
    return S_OK;
}

HRESULT ConnectSyncRoot(LPCWSTR syncRootPath, const CF_CALLBACK_REGISTRATION* callbackTable, LPCVOID callbackContext,
                        CF_CONNECT_FLAGS connectFlags, CF_CONNECTION_KEY* connectionKey) {
    if (syncRootPath == nullptr || callbackTable == nullptr || connectionKey == nullptr) return E_INVALIDARG;
    std::string root = CanonicalPath(posix::AbsolutePosixPath(syncRootPath));
    RootRecord record;
    if (root.empty() || !ReadRootRecord(root, &record)) return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT);
    return ConnectRoot(root, record, callbackTable, callbackContext, connectFlags, connectionKey);
}

HRESULT DisconnectSyncRoot(CF_CONNECTION_KEY connectionKey) { return DisconnectRoot(connectionKey); }

HRESULT CreatePlaceholders(LPCWSTR baseDirectoryPath, CF_PLACEHOLDER_CREATE_INFO* placeholderArray,
                           DWORD placeholderCount, CF_CREATE_FLAGS createFlags, PDWORD entriesProcessed) {
    if (entriesProcessed != nullptr) *entriesProcessed = 0;
    if (baseDirectoryPath == nullptr || (placeholderArray == nullptr && placeholderCount > 0)) return E_INVALIDARG;
    std::string absolute = posix::AbsolutePosixPath(baseDirectoryPath);
    // Opened once for all entries; its canonical path is what the kernel resolved on the way (one readlink
    // where realpath reads every component of the path again, which seeding pays for each single entry).
    int directoryFd = open(absolute.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (directoryFd < 0) {
        // Only a failure looks closer, to tell a missing path from one that is not a directory.
        int openError = errno;
        struct stat st;
        if (stat(absolute.c_str(), &st) != 0) {
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

HRESULT Execute(const CF_OPERATION_INFO* opInfo, CF_OPERATION_PARAMETERS* opParams) {
    return ExecuteOperation(opInfo, opParams);
}

HRESULT HydratePlaceholder(HANDLE fileHandle, LARGE_INTEGER startingOffset, LARGE_INTEGER length,
                           CF_HYDRATE_FLAGS hydrateFlags, LPOVERLAPPED overlapped) {
    (void)overlapped;  // handles of the stand-in are synchronous: the call always completes before returning
    posix::Handle* file = FileHandle(fileHandle);
    if (file == nullptr) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
    if (hydrateFlags != CF_HYDRATE_FLAG_NONE || startingOffset.QuadPart < 0 || length.QuadPart < CF_EOF) {
        return E_INVALIDARG;
    }
    PlaceholderState state;
    if (!ReadState(file->fd, &state)) return HRESULT_FROM_WIN32(kErrorNotACloudFile);
    if ((state.flags & (kStateHydrated | kStateDirectory)) != 0) return S_OK;
    // The registered policy is full hydration: whatever range is asked, the whole file is fetched.
    return HrFromWin32(Fetch(CurrentPath(file->fd, file->path), CF_CALLBACK_FETCH_DATA_FLAG_EXPLICIT_HYDRATION));
}

HRESULT DehydratePlaceholder(HANDLE fileHandle, LARGE_INTEGER startingOffset, LARGE_INTEGER length,
                             CF_DEHYDRATE_FLAGS dehydrateFlags, LPOVERLAPPED overlapped) {
    (void)overlapped;
    posix::Handle* file = FileHandle(fileHandle);
    if (file == nullptr) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
    if ((dehydrateFlags & ~CF_DEHYDRATE_FLAG_BACKGROUND) != 0 || startingOffset.QuadPart < 0 ||
        length.QuadPart < CF_EOF) {
        return E_INVALIDARG;
    }
    PlaceholderState state;
    if (!ReadState(file->fd, &state)) return HRESULT_FROM_WIN32(kErrorNotACloudFile);
    if ((state.flags & kStateDirectory) != 0) return E_INVALIDARG;
    std::string root;
    RootRecord record;
    if (!FindSyncRoot(CurrentPath(file->fd, file->path), &root, &record)) {
        return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT);
    }
    if (!ManagementAllowed(root, record, CF_PLACEHOLDER_MANAGEMENT_POLICY_UPDATE_UNRESTRICTED)) {
        return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_CONNECTED_PROVIDER_ONLY);
    }
    // Windows leaves it to the caller to hold the file alone, and may corrupt data when it does not; here a
    // dehydration beside any other open handle is refused, so the caller proves it opened without sharing.
    if (posix::OtherHandlesOpen(*file)) return HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION);
    if ((state.flags & kStateAlwaysFull) != 0) return HRESULT_FROM_WIN32(kErrorCloudFileDehydrationDisallowed);
    if ((state.flags & kStateInSync) == 0) return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_NOT_IN_SYNC);
    if ((file->access & GENERIC_WRITE) == 0) return HRESULT_FROM_WIN32(kErrorCloudFileAccessDenied);
    if ((state.flags & kStateHydrated) == 0) return S_OK;
    struct stat st;
    if (fstat(file->fd, &st) != 0) return HrFromErrno(errno);
    // The mark goes first: a process that ends between the two steps leaves a placeholder that is fetched
    // again, never one marked hydrated whose data has gone.
    state.flags &= static_cast<uint8_t>(~kStateHydrated);
    if (int error = WriteState(file->fd, state); error != 0) return HrFromErrno(error);
    int dropped = DropData(file->fd, st.st_size);
    if (dropped != 0) {
        state.flags |= kStateHydrated;
        (void)WriteState(file->fd, state);  // the data is still there
        return HrFromErrno(dropped);
    }
    timespec times[2] = {st.st_atim, st.st_mtim};
    (void)futimens(file->fd, times);  // dehydration never changes the placeholder's times
    return S_OK;
}

// Rights a handle holds through its access mask: generic rights stand for the specific ones they map to on files.
constexpr DWORD kWriteDac = 0x00040000u;
constexpr DWORD kReadAttributesRights = FILE_READ_ATTRIBUTES | GENERIC_READ | posix::kGenericExecute | posix::kGenericAll;
constexpr DWORD kSetInSyncRights = posix::kFileWriteData | kWriteDac | GENERIC_WRITE | posix::kGenericAll;

HRESULT GetPlaceholderInfo(HANDLE fileHandle, CF_PLACEHOLDER_INFO_CLASS infoClass, void* infoBuffer,
                           DWORD infoBufferLength, PDWORD returnedLength) {
    if (returnedLength != nullptr) *returnedLength = 0;
    posix::Handle* file = FileHandle(fileHandle);
    if (file == nullptr) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
    if (infoClass != CF_PLACEHOLDER_INFO_BASIC || infoBuffer == nullptr) return E_INVALIDARG;
    // The documented need is read-attributes access: a handle opened with none (or write-only) is refused.
    if ((file->access & kReadAttributesRights) == 0) return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    std::string root;
    if (!FindSyncRoot(CurrentPath(file->fd, file->path), &root, nullptr)) {
        return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT);
    }
    PlaceholderState state;
    if (!ReadState(file->fd, &state)) return HRESULT_FROM_WIN32(kErrorNotACloudFile);
    const DWORD fixed = static_cast<DWORD>(offsetof(CF_PLACEHOLDER_BASIC_INFO, FileIdentity));
    if (infoBufferLength < fixed) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    std::vector<BYTE> identity;
    (void)ReadIdentity(file->fd, &identity);
    struct stat st, rootSt;
    if (fstat(file->fd, &st) != 0 || stat(root.c_str(), &rootSt) != 0) return HrFromErrno(errno);
    CF_PLACEHOLDER_BASIC_INFO info{};
    info.PinState = CF_PIN_STATE_UNSPECIFIED;
    info.InSyncState = (state.flags & kStateInSync) != 0 ? CF_IN_SYNC_STATE_IN_SYNC : CF_IN_SYNC_STATE_NOT_IN_SYNC;
    info.FileId.QuadPart = static_cast<LONGLONG>(st.st_ino);
    info.SyncRootFileId.QuadPart = static_cast<LONGLONG>(rootSt.st_ino);
    // What does not fit is left out, and FileIdentityLength counts only what was copied: the full length is never
    // told, so a caller cannot size a second call from it (what Windows reports there is unverified).
    const DWORD copied = static_cast<DWORD>(std::min<size_t>(identity.size(), infoBufferLength - fixed));
    info.FileIdentityLength = copied;
    std::memcpy(infoBuffer, &info, fixed);
    if (copied > 0) std::memcpy(static_cast<BYTE*>(infoBuffer) + fixed, identity.data(), copied);
    if (returnedLength != nullptr) *returnedLength = fixed + copied;
    return copied < identity.size() ? HRESULT_FROM_WIN32(kErrorMoreData) : S_OK;
}

HRESULT SetInSyncState(HANDLE fileHandle, CF_IN_SYNC_STATE inSyncState, CF_SET_IN_SYNC_FLAGS inSyncFlags,
                       USN* inSyncUsn) {
    posix::Handle* file = FileHandle(fileHandle);
    if (file == nullptr) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
    if (inSyncState > CF_IN_SYNC_STATE_IN_SYNC || inSyncFlags != CF_SET_IN_SYNC_FLAG_NONE) return E_INVALIDARG;
    // The handle itself must carry write-data or write-DAC access (the stricter reading of the documentation).
    if ((file->access & kSetInSyncRights) == 0) return HRESULT_FROM_WIN32(kErrorCloudFileAccessDenied);
    std::string root;
    if (!FindSyncRoot(CurrentPath(file->fd, file->path), &root, nullptr)) {
        return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT);
    }
    PlaceholderState state;
    if (!ReadState(file->fd, &state)) return HRESULT_FROM_WIN32(kErrorNotACloudFile);
    // Public reports have Windows fail every call that passes a USN; so does this one.
    if (inSyncUsn != nullptr) return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_NOT_IN_SYNC);
    // Only the provider says its copy matches: the process holding the root's connection, whatever the policy.
    if (!ConnectedHere(root)) return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_CONNECTED_PROVIDER_ONLY);
    const uint8_t flags = inSyncState == CF_IN_SYNC_STATE_IN_SYNC
                              ? static_cast<uint8_t>(state.flags | kStateInSync)
                              : static_cast<uint8_t>(state.flags & ~kStateInSync);
    if (flags == state.flags) return S_OK;
    state.flags = flags;
    // Only the record changes: neither the data nor the times of the file.
    if (int error = WriteState(file->fd, state); error != 0) return HrFromErrno(error);
    return S_OK;
}

constexpr CF_CONVERT_FLAGS kConvertFlags = CF_CONVERT_FLAG_MARK_IN_SYNC | CF_CONVERT_FLAG_DEHYDRATE |
                                         CF_CONVERT_FLAG_ENABLE_ON_DEMAND_POPULATION | CF_CONVERT_FLAG_ALWAYS_FULL |
                                         CF_CONVERT_FLAG_FORCE_CONVERT_TO_CLOUD_FILE;

// A file or directory below a root becomes a placeholder with its data, size and times as they are. Stricter than
// the documentation where it is silent: a file that already is a placeholder is refused (an update is
// CfUpdatePlaceholder's work), and so is an OVERLAPPED (this emulation completes every call at once).
HRESULT ConvertToPlaceholder(HANDLE fileHandle, LPCVOID fileIdentity, DWORD fileIdentityLength,
                             CF_CONVERT_FLAGS convertFlags, USN* convertUsn, LPOVERLAPPED overlapped) {
    posix::Handle* file = FileHandle(fileHandle);
    if (file == nullptr) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
    struct stat st;
    if (fstat(file->fd, &st) != 0) return HrFromErrno(errno);
    const bool directory = S_ISDIR(st.st_mode);
    if ((convertFlags & ~kConvertFlags) != 0 || overlapped != nullptr ||
        fileIdentityLength > CF_PLACEHOLDER_MAX_FILE_IDENTITY_LENGTH ||
        (fileIdentityLength > 0 && fileIdentity == nullptr) || (!directory && fileIdentityLength == 0) ||
        (directory && (convertFlags & (CF_CONVERT_FLAG_DEHYDRATE | CF_CONVERT_FLAG_ALWAYS_FULL)) != 0) ||
        (!directory && (convertFlags & CF_CONVERT_FLAG_ENABLE_ON_DEMAND_POPULATION) != 0) ||
        (!directory && !S_ISREG(st.st_mode))) {
        return E_INVALIDARG;
    }
    if ((file->access & kSetInSyncRights) == 0) return HRESULT_FROM_WIN32(kErrorCloudFileAccessDenied);
    const std::string path = CurrentPath(file->fd, file->path);
    std::string root;
    RootRecord record;
    if (!FindSyncRoot(path, &root, &record) || path == root) {
        return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT);
    }
    if (!ManagementAllowed(root, record, CF_PLACEHOLDER_MANAGEMENT_POLICY_CONVERT_TO_UNRESTRICTED)) {
        return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_CONNECTED_PROVIDER_ONLY);
    }
    if (ReadState(file->fd, nullptr)) return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_INVALID_REQUEST);
    const bool dehydrate = (convertFlags & CF_CONVERT_FLAG_DEHYDRATE) != 0;
    // As for CfDehydratePlaceholder, the data may only go when the caller holds the file alone.
    if (dehydrate && posix::OtherHandlesOpen(*file)) return HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION);
    PlaceholderState state;
    state.flags = kStateHydrated;
    if (directory) state.flags |= kStateDirectory;
    if ((convertFlags & CF_CONVERT_FLAG_MARK_IN_SYNC) != 0) state.flags |= kStateInSync;
    if ((convertFlags & CF_CONVERT_FLAG_ALWAYS_FULL) != 0) state.flags |= kStateAlwaysFull;
    state.creationTicks = posix::CreationTicks(path, file->fd, st);
    state.changeTicks = posix::FileTimeTicksFromTimespec(st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
    const BYTE* identity = static_cast<const BYTE*>(fileIdentity);
    if (int error = WritePlaceholderRecord(file->fd, state, identity, fileIdentityLength); error != 0) {
        return CreationFailure(error, path);
    }
    if (dehydrate && st.st_size > 0) {
        // Marked first, as a dehydration does: an interrupted drop leaves a file fetched again, never zeros.
        state.flags &= static_cast<uint8_t>(~kStateHydrated);
        if (int error = WriteState(file->fd, state); error != 0) return HrFromErrno(error);
        if (int error = DropData(file->fd, st.st_size); error != 0) return HrFromErrno(error);
        timespec times[2] = {st.st_atim, st.st_mtim};
        (void)futimens(file->fd, times);
    }
    if (convertUsn != nullptr) *convertUsn = static_cast<USN>(st.st_ino);
    return S_OK;
}

const CloudFilesBackend kBackend = {RegisterSyncRoot,   UnregisterSyncRoot,   ConnectSyncRoot,    DisconnectSyncRoot,
                                    CreatePlaceholders, Execute,              HydratePlaceholder, DehydratePlaceholder,
                                    GetPlaceholderInfo, SetInSyncState,       ConvertToPlaceholder};

}  // namespace

// ---- Hooks of the Win32 stand-in ----

bool IsPlaceholder(int fd) { return ReadState(fd, nullptr); }

DWORD EnsureHydrated(posix::Handle& handle) {
    PlaceholderState state;
    if (handle.fd < 0 || !ReadState(handle.fd, &state)) return ERROR_SUCCESS;
    if ((state.flags & (kStateHydrated | kStateDirectory)) != 0) return ERROR_SUCCESS;
    DWORD code = Fetch(CurrentPath(handle.fd, handle.path), CF_CALLBACK_FETCH_DATA_FLAG_NONE);
    // Checked again on the open file itself, which a rename during the fetch does not move away.
    if (code == ERROR_SUCCESS && ReadState(handle.fd, &state) && (state.flags & kStateHydrated) == 0) {
        return ERROR_CLOUD_FILE_UNSUCCESSFUL;
    }
    return code;
}

void NoteDataWritten(posix::Handle& handle) {
    PlaceholderState state;
    if (handle.fd < 0 || !ReadState(handle.fd, &state) || (state.flags & kStateInSync) == 0) return;
    state.flags &= static_cast<uint8_t>(~kStateInSync);
    (void)WriteState(handle.fd, state);
}

void NoteLastWriteTimeSet(posix::Handle& handle) {
    PlaceholderState state;
    if (handle.fd < 0 || !ReadState(handle.fd, &state) || (state.flags & kStateInSync) == 0) return;
    RootRecord record;
    if (!FindSyncRoot(CurrentPath(handle.fd, handle.path), nullptr, &record) ||
        (record.policies.InSync & CF_INSYNC_POLICY_TRACK_FILE_LAST_WRITE_TIME) == 0) {
        return;
    }
    state.flags &= static_cast<uint8_t>(~kStateInSync);
    (void)WriteState(handle.fd, state);
}

void NotifyClosed(const std::string& posixPath) {
    std::string path = CanonicalPath(posixPath);
    std::string root;
    if (path.empty() || !FindSyncRoot(path, &root, nullptr)) return;
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && !ReadStateAt(path, nullptr)) return;  // no longer a placeholder
    Request request;
    request.kind = RequestKind::Close;
    request.path = path;
    (void)SendToProvider(root, request, false);
}

DWORD BeforeDelete(const std::string& posixPath) {
    std::string path = CanonicalPath(posixPath);
    PlaceholderState state;
    std::string root;
    if (path.empty() || !ReadStateAt(path, &state) || !FindSyncRoot(path, &root, nullptr)) return ERROR_SUCCESS;
    Request request;
    request.kind = RequestKind::Delete;
    request.flags = (state.flags & kStateDirectory) != 0 ? CF_CALLBACK_DELETE_FLAG_IS_DIRECTORY : 0;
    request.path = path;
    DWORD code = SendToProvider(root, request, true);
    // With no provider there is nobody to ask, and a placeholder may be deleted as any file.
    return code == ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING ? ERROR_SUCCESS : code;
}

DWORD BeforeRename(const std::string& fromPosixPath, const std::string& toPosixPath) {
    std::string path = CanonicalPath(fromPosixPath);
    PlaceholderState state;
    std::string root;
    if (path.empty() || !ReadStateAt(path, &state) || !FindSyncRoot(path, &root, nullptr)) return ERROR_SUCCESS;
    Request request;
    request.kind = RequestKind::Rename;
    request.path = path;
    request.target = CanonicalPath(toPosixPath);
    if (request.target.empty()) request.target = toPosixPath;
    std::string targetRoot;
    request.flags = CF_CALLBACK_RENAME_FLAG_SOURCE_IN_SCOPE;
    if (FindSyncRoot(request.target, &targetRoot, nullptr) && targetRoot == root) {
        request.flags |= CF_CALLBACK_RENAME_FLAG_TARGET_IN_SCOPE;
    }
    if ((state.flags & kStateDirectory) != 0) request.flags |= CF_CALLBACK_RENAME_FLAG_IS_DIRECTORY;
    DWORD code = SendToProvider(root, request, true);
    return code == ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING ? ERROR_SUCCESS : code;
}

bool StoredCreationTime(const std::string& posixPath, ULONGLONG* creationTicks) {
    PlaceholderState state;
    if (!ReadStateAt(posixPath, &state)) return false;
    if (creationTicks != nullptr) *creationTicks = state.creationTicks;
    return true;
}

}  // namespace cfemu

const CloudFilesBackend& PlatformCloudFilesBackend() { return cfemu::kBackend; }
