// filter_internal.h - what the source files behind the thirteen operations share with each other: error helpers, the
// path a descriptor is open on, the placeholder-management rule, the fetch, and the operations the table lists.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>

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

// ---- The operations the table lists, each with the signature of its member of CloudFilesBackend ----
// (A function type named through the table's pointer type declares the function: one signature, written once.)
template <auto Member>
using OperationOf = std::remove_pointer_t<std::remove_reference_t<decltype(std::declval<CloudFilesBackend>().*Member)>>;

// Registration and connection (sync_root_registration.cpp).
OperationOf<&CloudFilesBackend::RegisterSyncRoot> RegisterSyncRoot;
OperationOf<&CloudFilesBackend::UnregisterSyncRoot> UnregisterSyncRoot;
OperationOf<&CloudFilesBackend::ConnectSyncRoot> ConnectSyncRoot;
OperationOf<&CloudFilesBackend::DisconnectSyncRoot> DisconnectSyncRoot;

// Placeholder creation (placeholder_creation.cpp).
// The HRESULT of a placeholder record that could not be written (metadata-too-large when it does not fit).
HRESULT CreationFailure(int error, const std::string& path);
OperationOf<&CloudFilesBackend::CreatePlaceholders> CreatePlaceholders;

// Through a handle on a placeholder (placeholder_operations.cpp).
OperationOf<&CloudFilesBackend::HydratePlaceholder> HydratePlaceholder;
OperationOf<&CloudFilesBackend::DehydratePlaceholder> DehydratePlaceholder;
OperationOf<&CloudFilesBackend::GetPlaceholderInfo> GetPlaceholderInfo;
OperationOf<&CloudFilesBackend::SetInSyncState> SetInSyncState;
OperationOf<&CloudFilesBackend::ConvertToPlaceholder> ConvertToPlaceholder;
OperationOf<&CloudFilesBackend::UpdatePlaceholder> UpdatePlaceholder;

// Pin states (pin_states.cpp).
OperationOf<&CloudFilesBackend::SetPinState> SetPinState;
// The documented inheritance table: the state of a `child` moved below a directory of state `parent`.
CF_PIN_STATE PinOnMove(CF_PIN_STATE child, CF_PIN_STATE parent, bool directory);
// The state a new placeholder at `posixPath` takes from the directory that holds it.
CF_PIN_STATE InheritedPin(const std::string& posixPath, bool directory);

}  // namespace cfemu
