// root_walk.h - every placeholder of the sync root, with the state and identity the platform keeps for it.
#pragma once

#include "platform/win32.h"

#include <functional>
#include <string>
#include <vector>

struct RootPlaceholder {
    std::wstring path;           // the full path
    std::wstring relative;       // below the sync root, components joined by backslashes
    DWORD attributes = 0;        // as the listing gave them
    bool placeholder = false;    // the platform calls it a placeholder
    bool inSync = false;         // the platform's in-sync state
    std::vector<BYTE> identity;  // the identity blob
};

// Calls `visit` for each placeholder file below the sync root (linked directories are not followed). Each is read
// through a handle opened for attributes only, which neither hydrates it nor reaches the provider as a close.
void ForEachRootPlaceholder(const std::function<void(const RootPlaceholder&)>& visit);
// Calls `visit` for every file and directory below `relative` (a directory below the root; empty for the root
// itself), placeholder or not, each directory before what it holds.
void ForEachRootEntry(const std::wstring& relative, const std::function<void(const RootPlaceholder&)>& visit);
// Fills in placeholder, inSync and identity of `entry`, whose path and attributes are set; returns placeholder.
bool ReadRootEntry(RootPlaceholder& entry);

// Whether a listed entry is a link (a name surrogate: a symbolic link, a mount point), which a walk must not follow.
// Having the reparse attribute says nothing: the provider's own process sees every placeholder as a reparse point,
// with a cloud tag, which is no name surrogate.
bool IsLinkEntry(const WIN32_FIND_DATAW& entry);
// The same for the entry at `path` whose attributes are `attributes` (INVALID_FILE_ATTRIBUTES: not known yet); only a
// reparse point costs a look at its tag. False for a path that is gone.
bool IsLinkAt(const std::wstring& path, DWORD attributes = INVALID_FILE_ATTRIBUTES);
