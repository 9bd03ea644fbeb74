// filter_hooks.cpp - the hooks through which the Win32 stand-in's file calls reach the filter, and the requests they
// send the connected provider: FETCH (CfHydratePlaceholder's too), DELETE and RENAME waited for, CLOSE not.
#include <sys/stat.h>

#include "platform/posix/filter/cloud_filter.h"
#include "platform/posix/filter/filter_hooks.h"
#include "platform/posix/filter/filter_internal.h"

namespace cfemu {

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

std::string ClosingPath(const posix::Handle& handle, bool* deleted) {
    struct stat st;
    *deleted = fstat(handle.fd, &st) == 0 && st.st_nlink == 0;
    return CurrentPath(handle.fd, handle.path);
}

void NotifyClosed(const std::string& posixPath, bool deleted) {
    std::string path = CanonicalPath(posixPath);
    std::string root;
    if (path.empty() || !FindSyncRoot(path, &root, nullptr)) return;
    struct stat st;
    if (!deleted && lstat(posix::SysPath(path).c_str(), &st) == 0 && !ReadStateAt(path, nullptr))
        return;  // no longer a placeholder
    Request request;
    request.kind = RequestKind::Close;
    request.flags = deleted ? CF_CALLBACK_CLOSE_COMPLETION_FLAG_DELETED : 0;
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
