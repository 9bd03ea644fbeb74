// connect_walk.cpp - changes made while no provider was connected: when the provider connects, every placeholder
// the platform no longer calls in sync is written back, as if it had just been closed.
#include "writeback/connect_walk.h"

#include "app/event_log.h"
#include "layout/provider_paths.h"
#include "syncroot/cloud_files.h"
#include "writeback/close_writeback.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// The placeholder's in-sync state and identity, read through a handle opened for attributes only: such a handle
// is no data access, so it neither hydrates the file nor reaches the provider as a close. False for a file that is
// not a placeholder or cannot be opened.
bool ReadPlaceholderState(const std::wstring& path, bool& inSync, std::vector<BYTE>& identity) {
    HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    std::vector<BYTE> buffer(offsetof(CF_PLACEHOLDER_BASIC_INFO, FileIdentity) + CF_PLACEHOLDER_MAX_FILE_IDENTITY_LENGTH);
    DWORD returned = 0;
    const HRESULT hr = CfGetPlaceholderInfo(file, CF_PLACEHOLDER_INFO_BASIC, buffer.data(),
                                            static_cast<DWORD>(buffer.size()), &returned);
    CloseHandle(file);
    if (FAILED(hr)) return false;
    CF_PLACEHOLDER_BASIC_INFO info = {};
    memcpy(&info, buffer.data(), offsetof(CF_PLACEHOLDER_BASIC_INFO, FileIdentity));
    inSync = info.InSyncState == CF_IN_SYNC_STATE_IN_SYNC;
    const size_t length = info.FileIdentityLength <= CF_PLACEHOLDER_MAX_FILE_IDENTITY_LENGTH
                              ? static_cast<size_t>(info.FileIdentityLength)
                              : static_cast<size_t>(CF_PLACEHOLDER_MAX_FILE_IDENTITY_LENGTH);
    const BYTE* start = buffer.data() + offsetof(CF_PLACEHOLDER_BASIC_INFO, FileIdentity);
    identity.assign(start, start + length);
    return true;
}

void WalkDirectory(const std::wstring& directory, int& found) {
    WIN32_FIND_DATAW entry = {};
    HANDLE find = FindFirstFileW(JoinPath(directory, L"*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = JoinPath(directory, name);
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            // A linked directory may lead back up the tree.
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) WalkDirectory(path, found);
            continue;
        }
        // A placeholder that holds no data has no change to give, in sync or not.
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS) != 0) continue;
        bool inSync = true;
        std::vector<BYTE> identity;
        if (!ReadPlaceholderState(path, inSync, identity) || inSync) continue;
        ++found;
        WriteBackPlaceholder(path, identity.empty() ? nullptr : identity.data(), static_cast<DWORD>(identity.size()));
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

}  // namespace

int WriteBackOutOfSyncPlaceholders() {
    InitProviderPaths();
    int found = 0;
    WalkDirectory(ProviderPaths.syncRoot, found);
    char message[128];
    snprintf(message, sizeof(message), "%d placeholders changed while no provider was connected", found);
    LogEvent("CONNECT", message);
    return found;
}
