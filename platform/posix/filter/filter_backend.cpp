// filter_backend.cpp - the emulated Cloud Files filter as the program reaches it: the table of the thirteen
// operations (PlatformCloudFilesBackend), and the small helpers shared by the files that implement them.
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
// - Pin states (pin_states.cpp): kept in the placeholder's record, shown as FILE_ATTRIBUTE_PINNED / UNPINNED, set by
//   CfSetPinState and SetFileAttributesW, taken by a new placeholder from its directory by the documented table; a
//   pinned placeholder refuses dehydration (ERROR_CLOUD_FILE_PINNED).
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/posix/filter/cloud_filter.h"
#include "platform/posix/filter/filter_internal.h"

namespace cfemu {

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

// While a provider is connected, only its process may create or update placeholders, unless the root's
// registration lifts that for the operation (`unrestricted` is the policy bit that would).
bool ManagementAllowed(const std::string& root, const RootRecord& record, CF_PLACEHOLDER_MANAGEMENT_POLICY unrestricted) {
    if ((record.policies.PlaceholderManagement & unrestricted) != 0) return true;
    return ConnectedHere(root) || !ProbeProvider(root, nullptr);
}

namespace {

// ---- The thirteen operations ----

HRESULT Execute(const CF_OPERATION_INFO* opInfo, CF_OPERATION_PARAMETERS* opParams) {
    return ExecuteOperation(opInfo, opParams);
}

const CloudFilesBackend kBackend = {RegisterSyncRoot,   UnregisterSyncRoot,   ConnectSyncRoot,    DisconnectSyncRoot,
                                    CreatePlaceholders, Execute,              HydratePlaceholder, DehydratePlaceholder,
                                    GetPlaceholderInfo, SetInSyncState,       ConvertToPlaceholder,
                                    UpdatePlaceholder,  SetPinState};

}  // namespace

}  // namespace cfemu

const CloudFilesBackend& PlatformCloudFilesBackend() { return cfemu::kBackend; }
