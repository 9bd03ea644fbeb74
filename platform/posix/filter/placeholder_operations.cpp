// placeholder_operations.cpp - what is done to a placeholder through a handle on it: hydration and dehydration,
// its basic info, its in-sync state, the conversion of an ordinary file or directory into one, and its update.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <vector>

#include "platform/posix/filter/cloud_filter.h"
#include "platform/posix/filter/filter_internal.h"
#include "platform/posix/win32/standin_internal.h"

namespace cfemu {
namespace {

HRESULT HrFromWin32(DWORD code) { return code == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(code); }

posix::Handle* FileHandle(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
    posix::Handle* file = posix::HandleOf(handle, posix::HandleKind::File);
    return file != nullptr && file->fd >= 0 ? file : nullptr;
}

// Rights a handle holds through its access mask: generic rights stand for the specific ones they map to on files.
constexpr DWORD kWriteDac = 0x00040000u;
constexpr DWORD kReadAttributesRights = FILE_READ_ATTRIBUTES | GENERIC_READ | posix::kGenericExecute | posix::kGenericAll;
constexpr DWORD kSetInSyncRights = posix::kFileWriteData | kWriteDac | GENERIC_WRITE | posix::kGenericAll;

constexpr CF_CONVERT_FLAGS kConvertFlags = CF_CONVERT_FLAG_MARK_IN_SYNC | CF_CONVERT_FLAG_DEHYDRATE |
                                         CF_CONVERT_FLAG_ENABLE_ON_DEMAND_POPULATION | CF_CONVERT_FLAG_ALWAYS_FULL |
                                         CF_CONVERT_FLAG_FORCE_CONVERT_TO_CLOUD_FILE;

}  // namespace

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
    if (state.pin == CF_PIN_STATE_PINNED) return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_PINNED);
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
    if (fstat(file->fd, &st) != 0 || stat(posix::SysPath(root).c_str(), &rootSt) != 0) return HrFromErrno(errno);
    CF_PLACEHOLDER_BASIC_INFO info{};
    info.PinState = state.pin;
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
    // The new placeholder takes its directory's pin state; a pinned one keeps its data (the stricter reading: the
    // documentation says nothing of DEHYDRATE under a pinned directory).
    state.pin = InheritedPin(path, directory);
    if (dehydrate && state.pin == CF_PIN_STATE_PINNED) return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_PINNED);
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

}  // namespace cfemu

namespace cfemu {

// What this emulation changes of a placeholder: its identity and its in-sync state. Everything else the call can do
// (new metadata, dehydrated ranges, on-demand population) is refused rather than ignored, so a program that comes to
// rely on it fails here first; so is an OVERLAPPED, and a USN (Windows is reported to fail calls given one).
HRESULT UpdatePlaceholder(HANDLE fileHandle, const CF_FS_METADATA* fsMetadata, LPCVOID fileIdentity,
                          DWORD fileIdentityLength, const CF_FILE_RANGE* dehydrateRangeArray, DWORD dehydrateRangeCount,
                          CF_UPDATE_FLAGS updateFlags, USN* updateUsn, LPOVERLAPPED overlapped) {
    posix::Handle* file = FileHandle(fileHandle);
    if (file == nullptr) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
    constexpr CF_UPDATE_FLAGS kEmulated = CF_UPDATE_FLAG_MARK_IN_SYNC | CF_UPDATE_FLAG_CLEAR_IN_SYNC;
    if ((updateFlags & ~kEmulated) != 0 || updateFlags == kEmulated || fsMetadata != nullptr ||
        dehydrateRangeArray != nullptr || dehydrateRangeCount != 0 || overlapped != nullptr ||
        fileIdentityLength > CF_PLACEHOLDER_MAX_FILE_IDENTITY_LENGTH || (fileIdentityLength > 0 && fileIdentity == nullptr)) {
        return E_INVALIDARG;
    }
    if ((file->access & kSetInSyncRights) == 0) return HRESULT_FROM_WIN32(kErrorCloudFileAccessDenied);
    const std::string path = CurrentPath(file->fd, file->path);
    std::string root;
    RootRecord record;
    if (!FindSyncRoot(path, &root, &record)) return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT);
    PlaceholderState state;
    if (!ReadState(file->fd, &state)) return HRESULT_FROM_WIN32(kErrorNotACloudFile);
    if (!ManagementAllowed(root, record, CF_PLACEHOLDER_MANAGEMENT_POLICY_UPDATE_UNRESTRICTED)) {
        return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_CONNECTED_PROVIDER_ONLY);
    }
    if (updateUsn != nullptr) return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_NOT_IN_SYNC);
    if ((updateFlags & CF_UPDATE_FLAG_MARK_IN_SYNC) != 0) state.flags |= kStateInSync;
    if ((updateFlags & CF_UPDATE_FLAG_CLEAR_IN_SYNC) != 0) state.flags &= static_cast<uint8_t>(~kStateInSync);
    // A null identity keeps the one the placeholder has (removing it is a flag this emulation refuses).
    std::vector<BYTE> identity;
    if (fileIdentity != nullptr) {
        const BYTE* bytes = static_cast<const BYTE*>(fileIdentity);
        identity.assign(bytes, bytes + fileIdentityLength);
    } else if (!ReadIdentity(file->fd, &identity)) {
        return HRESULT_FROM_WIN32(kErrorNotACloudFile);
    }
    // Only the record changes: neither the data nor the times of the file.
    if (int error = WritePlaceholderRecord(file->fd, state, identity.data(), identity.size()); error != 0) {
        return HrFromErrno(error);
    }
    return S_OK;
}

}  // namespace cfemu
