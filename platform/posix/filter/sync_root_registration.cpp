// sync_root_registration.cpp - registering a sync root (its record on the directory; roots never nest), unregistering
// it (its placeholders released on the way out), and connecting or disconnecting its provider.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cwchar>

#include "platform/posix/filter/cloud_filter.h"
#include "platform/posix/filter/filter_internal.h"
#include "platform/posix/win32/standin_internal.h"

namespace cfemu {
namespace {

constexpr size_t kMaxProviderStringLength = 255;
constexpr DWORD kMaxSyncRootIdentityLength = 64 * 1024;

bool IsDirectory(const std::string& path) {
    struct stat st;
    return lstat(posix::SysPath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// True when a directory below `directory` (not following links) carries a registration.
bool RootBelow(const std::string& directory) {
    DIR* dir = opendir(posix::SysPath(directory).c_str());
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
    DIR* dir = opendir(posix::SysPath(directory).c_str());
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
        if (lstat(posix::SysPath(child).c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) ReleasePlaceholders(child);
        PlaceholderState state;
        if (!ReadStateAt(child, &state)) continue;
        if (S_ISREG(st.st_mode) && (state.flags & kStateHydrated) == 0) {
            unlink(posix::SysPath(child).c_str());  // holds no data: nothing of the user's is lost
            continue;
        }
        lremovexattr(posix::SysPath(child).c_str(), kIdentityAttribute);
        lremovexattr(posix::SysPath(child).c_str(), kStateAttribute);
    }
}

}  // namespace

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
    if (stat(posix::SysPath(absolute).c_str(), &st) != 0) {
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
    if (setxattr(posix::SysPath(root).c_str(), kRootAttribute, encoded.data(), encoded.size(), 0) != 0) {
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
    if (lremovexattr(posix::SysPath(root).c_str(), kRootAttribute) != 0) return HrFromErrno(errno);
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

}  // namespace cfemu
