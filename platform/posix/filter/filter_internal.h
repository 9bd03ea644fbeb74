// filter_internal.h - what the source files behind the eleven operations share with each other: error helpers, the
// path a descriptor is open on, the placeholder-management rule, the fetch, and the operations the table lists.
#pragma once

#include <cstdint>
#include <string>

#include "platform/posix/filter/cloud_filter.h"

namespace cfemu {

// ---- Shared helpers (filter_backend.cpp) ----
HRESULT HrFromErrno(int error);
bool NoAttributeSupport(int error);
// Tells on stderr that the file system under `path` keeps no extended attributes; ERROR_NOT_SUPPORTED.
HRESULT ReportNoAttributes(const std::string& path);
// The path a descriptor is open on now (it may have been renamed since it was opened), else `fallback`.
std::string CurrentPath(int fd, const std::string& fallback);
// False when a connected provider's process alone may create or update placeholders of `root` and this is not it.
bool ManagementAllowed(const std::string& root, const RootRecord& record,
                       CF_PLACEHOLDER_MANAGEMENT_POLICY unrestricted);

// ---- Requests to the provider (filter_hooks.cpp) ----
// Asks the provider of the root holding `path` for the whole file and waits.
DWORD Fetch(const std::string& path, uint32_t flags);

// ---- Registration and connection (sync_root_registration.cpp) ----
HRESULT RegisterSyncRoot(LPCWSTR syncRootPath, const CF_SYNC_REGISTRATION* registration,
                         const CF_SYNC_POLICIES* policies, CF_REGISTER_FLAGS registerFlags);
HRESULT UnregisterSyncRoot(LPCWSTR syncRootPath);
HRESULT ConnectSyncRoot(LPCWSTR syncRootPath, const CF_CALLBACK_REGISTRATION* callbackTable, LPCVOID callbackContext,
                        CF_CONNECT_FLAGS connectFlags, CF_CONNECTION_KEY* connectionKey);
HRESULT DisconnectSyncRoot(CF_CONNECTION_KEY connectionKey);

// ---- Placeholder creation (placeholder_creation.cpp) ----
// The HRESULT of a placeholder record that could not be written (metadata-too-large when it does not fit).
HRESULT CreationFailure(int error, const std::string& path);
HRESULT CreatePlaceholders(LPCWSTR baseDirectoryPath, CF_PLACEHOLDER_CREATE_INFO* placeholderArray,
                           DWORD placeholderCount, CF_CREATE_FLAGS createFlags, PDWORD entriesProcessed);

// ---- Through a handle on a placeholder (placeholder_operations.cpp) ----
HRESULT HydratePlaceholder(HANDLE fileHandle, LARGE_INTEGER startingOffset, LARGE_INTEGER length,
                           CF_HYDRATE_FLAGS hydrateFlags, LPOVERLAPPED overlapped);
HRESULT DehydratePlaceholder(HANDLE fileHandle, LARGE_INTEGER startingOffset, LARGE_INTEGER length,
                             CF_DEHYDRATE_FLAGS dehydrateFlags, LPOVERLAPPED overlapped);
HRESULT GetPlaceholderInfo(HANDLE fileHandle, CF_PLACEHOLDER_INFO_CLASS infoClass, void* infoBuffer,
                           DWORD infoBufferLength, PDWORD returnedLength);
HRESULT SetInSyncState(HANDLE fileHandle, CF_IN_SYNC_STATE inSyncState, CF_SET_IN_SYNC_FLAGS inSyncFlags,
                       USN* inSyncUsn);
HRESULT ConvertToPlaceholder(HANDLE fileHandle, LPCVOID fileIdentity, DWORD fileIdentityLength,
                             CF_CONVERT_FLAGS convertFlags, USN* convertUsn, LPOVERLAPPED overlapped);
HRESULT UpdatePlaceholder(HANDLE fileHandle, const CF_FS_METADATA* fsMetadata, LPCVOID fileIdentity,
                          DWORD fileIdentityLength, const CF_FILE_RANGE* dehydrateRangeArray, DWORD dehydrateRangeCount,
                          CF_UPDATE_FLAGS updateFlags, USN* updateUsn, LPOVERLAPPED overlapped);

}  // namespace cfemu
