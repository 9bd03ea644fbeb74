// cloud_filter.cpp - the emulated Cloud Files filter: the POSIX backend of the eight operations and the hooks
// through which the Win32 stand-in's file calls reach it.
#include "platform/posix/filter_hooks.h"
#include "syncroot/cloud_files.h"

#include <sys/xattr.h>

namespace {

constexpr const char* kPlaceholderAttribute = "user.cfemu.ph";

HRESULT NotYet() { return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED); }

HRESULT RegisterSyncRoot(LPCWSTR, const CF_SYNC_REGISTRATION*, const CF_SYNC_POLICIES*, CF_REGISTER_FLAGS) {
    return NotYet();
}
HRESULT UnregisterSyncRoot(LPCWSTR) { return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT); }
HRESULT ConnectSyncRoot(LPCWSTR, const CF_CALLBACK_REGISTRATION*, LPCVOID, CF_CONNECT_FLAGS, CF_CONNECTION_KEY*) {
    return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT);
}
HRESULT DisconnectSyncRoot(CF_CONNECTION_KEY) { return E_INVALIDARG; }
HRESULT CreatePlaceholders(LPCWSTR, CF_PLACEHOLDER_CREATE_INFO*, DWORD, CF_CREATE_FLAGS, PDWORD) {
    return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT);
}
HRESULT Execute(const CF_OPERATION_INFO*, CF_OPERATION_PARAMETERS*) {
    return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_REQUEST_CANCELED);
}
HRESULT HydratePlaceholder(HANDLE, LARGE_INTEGER, LARGE_INTEGER, CF_HYDRATE_FLAGS, LPOVERLAPPED) {
    return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING);
}
HRESULT DehydratePlaceholder(HANDLE, LARGE_INTEGER, LARGE_INTEGER, CF_DEHYDRATE_FLAGS, LPOVERLAPPED) {
    return NotYet();
}

const CloudFilesBackend kBackend = {RegisterSyncRoot,   UnregisterSyncRoot, ConnectSyncRoot,    DisconnectSyncRoot,
                                    CreatePlaceholders, Execute,            HydratePlaceholder, DehydratePlaceholder};

}  // namespace

const CloudFilesBackend& PlatformCloudFilesBackend() { return kBackend; }

namespace cfemu {

bool IsPlaceholder(int fd) { return fgetxattr(fd, kPlaceholderAttribute, nullptr, 0) >= 0; }

DWORD EnsureHydrated(posix::Handle&) { return ERROR_SUCCESS; }
void NoteDataWritten(posix::Handle&) {}
void NotifyClosed(const std::string&) {}
DWORD BeforeDelete(const std::string&) { return ERROR_SUCCESS; }
DWORD BeforeRename(const std::string&, const std::string&) { return ERROR_SUCCESS; }
bool StoredCreationTime(const std::string&, ULONGLONG*) { return false; }
bool OnCallbackThread() { return false; }

}  // namespace cfemu
