// root_walk.cpp - a walk of the sync root that asks the platform about each file: the walk at connect looks for
// changes made while no provider ran, re-seeding for the identities the root holds already.
#include "placeholders/root_walk.h"

#include "layout/provider_paths.h"
#include "syncroot/cloud_files.h"

#include <cstddef>
#include <cstring>

namespace {

// The state and identity of the placeholder at `path`; false for a file that is no placeholder or cannot be opened.
bool ReadPlaceholder(RootPlaceholder& placeholder, std::vector<BYTE>& buffer) {
    // A directory opens only with backup semantics.
    const DWORD flags = (placeholder.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FILE_FLAG_BACKUP_SEMANTICS
                                                                                 : FILE_ATTRIBUTE_NORMAL;
    HANDLE file = CreateFileW(placeholder.path.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, flags,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD returned = 0;
    const HRESULT hr = CfGetPlaceholderInfo(file, CF_PLACEHOLDER_INFO_BASIC, buffer.data(),
                                            static_cast<DWORD>(buffer.size()), &returned);
    CloseHandle(file);
    if (FAILED(hr)) return false;
    CF_PLACEHOLDER_BASIC_INFO info = {};
    memcpy(&info, buffer.data(), offsetof(CF_PLACEHOLDER_BASIC_INFO, FileIdentity));
    placeholder.inSync = info.InSyncState == CF_IN_SYNC_STATE_IN_SYNC;
    const size_t length = info.FileIdentityLength <= CF_PLACEHOLDER_MAX_FILE_IDENTITY_LENGTH
                              ? static_cast<size_t>(info.FileIdentityLength)
                              : static_cast<size_t>(CF_PLACEHOLDER_MAX_FILE_IDENTITY_LENGTH);
    const BYTE* start = buffer.data() + offsetof(CF_PLACEHOLDER_BASIC_INFO, FileIdentity);
    placeholder.identity.assign(start, start + length);
    return true;
}

void WalkDirectory(const std::wstring& directory, const std::wstring& relative, std::vector<BYTE>& buffer,
                   const std::function<void(const RootPlaceholder&)>& visit, bool everything) {
    WIN32_FIND_DATAW entry = {};
    HANDLE find = FindFirstFileW(JoinPath(directory, L"*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        RootPlaceholder placeholder;
        placeholder.path = JoinPath(directory, name);
        placeholder.relative = relative.empty() ? name : relative + L"\\" + name;
        placeholder.attributes = entry.dwFileAttributes;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            // A linked directory may lead back up the tree; a converted one is a reparse point too, and is entered.
            if (IsLinkEntry(entry)) continue;
            if (everything) {
                placeholder.placeholder = ReadPlaceholder(placeholder, buffer);
                visit(placeholder);
            }
            WalkDirectory(placeholder.path, placeholder.relative, buffer, visit, everything);
            continue;
        }
        placeholder.placeholder = ReadPlaceholder(placeholder, buffer);
        if (placeholder.placeholder || everything) visit(placeholder);
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

}  // namespace

void ForEachRootPlaceholder(const std::function<void(const RootPlaceholder&)>& visit) {
    // One buffer for every file: the fixed part and the longest identity.
    std::vector<BYTE> buffer(offsetof(CF_PLACEHOLDER_BASIC_INFO, FileIdentity) + CF_PLACEHOLDER_MAX_FILE_IDENTITY_LENGTH);
    WalkDirectory(ProviderPaths.syncRoot, std::wstring(), buffer, visit, false);
}

void ForEachRootEntry(const std::wstring& relative, const std::function<void(const RootPlaceholder&)>& visit) {
    std::vector<BYTE> buffer(offsetof(CF_PLACEHOLDER_BASIC_INFO, FileIdentity) + CF_PLACEHOLDER_MAX_FILE_IDENTITY_LENGTH);
    const std::wstring start = relative.empty() ? ProviderPaths.syncRoot : JoinPath(ProviderPaths.syncRoot, relative);
    WalkDirectory(start, relative, buffer, visit, true);
}

bool ReadRootEntry(RootPlaceholder& entry) {
    std::vector<BYTE> buffer(offsetof(CF_PLACEHOLDER_BASIC_INFO, FileIdentity) + CF_PLACEHOLDER_MAX_FILE_IDENTITY_LENGTH);
    entry.placeholder = ReadPlaceholder(entry, buffer);
    return entry.placeholder;
}

bool IsLinkEntry(const WIN32_FIND_DATAW& entry) {
    return (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsReparseTagNameSurrogate(entry.dwReserved0);
}

bool IsLinkAt(const std::wstring& path, DWORD attributes) {
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return false;
    // A name without wildcards lists that one entry, with its tag.
    WIN32_FIND_DATAW entry = {};
    HANDLE find = FindFirstFileW(path.c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return false;
    FindClose(find);
    return IsLinkEntry(entry);
}
