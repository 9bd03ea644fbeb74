// cloud_files.cpp - the thirteen Cloud Files operations, forwarded to the one active backend.
// The platform's backend is the default; tests swap in a recording fake.
#include "syncroot/cloud_files.h"

#include <atomic>

namespace {
std::atomic<const CloudFilesBackend*> activeBackend{nullptr};

const CloudFilesBackend& Backend() {
    const CloudFilesBackend* backend = activeBackend.load(std::memory_order_acquire);
    return backend != nullptr ? *backend : PlatformCloudFilesBackend();
}
}  // namespace

const CloudFilesBackend* SetCloudFilesBackend(const CloudFilesBackend* backend) {
    return activeBackend.exchange(backend, std::memory_order_acq_rel);
}

HRESULT CfRegisterSyncRoot(LPCWSTR syncRootPath, const CF_SYNC_REGISTRATION* registration,
                           const CF_SYNC_POLICIES* policies, CF_REGISTER_FLAGS registerFlags) {
    return Backend().RegisterSyncRoot(syncRootPath, registration, policies, registerFlags);
}

HRESULT CfUnregisterSyncRoot(LPCWSTR syncRootPath) { return Backend().UnregisterSyncRoot(syncRootPath); }

HRESULT CfConnectSyncRoot(LPCWSTR syncRootPath, const CF_CALLBACK_REGISTRATION* callbackTable,
                          LPCVOID callbackContext, CF_CONNECT_FLAGS connectFlags, CF_CONNECTION_KEY* connectionKey) {
    return Backend().ConnectSyncRoot(syncRootPath, callbackTable, callbackContext, connectFlags, connectionKey);
}

HRESULT CfDisconnectSyncRoot(CF_CONNECTION_KEY connectionKey) { return Backend().DisconnectSyncRoot(connectionKey); }

HRESULT CfCreatePlaceholders(LPCWSTR baseDirectoryPath, CF_PLACEHOLDER_CREATE_INFO* placeholderArray,
                             DWORD placeholderCount, CF_CREATE_FLAGS createFlags, PDWORD entriesProcessed) {
    return Backend().CreatePlaceholders(baseDirectoryPath, placeholderArray, placeholderCount, createFlags,
                                        entriesProcessed);
}

HRESULT CfExecute(const CF_OPERATION_INFO* opInfo, CF_OPERATION_PARAMETERS* opParams) {
    return Backend().Execute(opInfo, opParams);
}

HRESULT CfHydratePlaceholder(HANDLE fileHandle, LARGE_INTEGER startingOffset, LARGE_INTEGER length,
                             CF_HYDRATE_FLAGS hydrateFlags, LPOVERLAPPED overlapped) {
    return Backend().HydratePlaceholder(fileHandle, startingOffset, length, hydrateFlags, overlapped);
}

HRESULT CfDehydratePlaceholder(HANDLE fileHandle, LARGE_INTEGER startingOffset, LARGE_INTEGER length,
                               CF_DEHYDRATE_FLAGS dehydrateFlags, LPOVERLAPPED overlapped) {
    return Backend().DehydratePlaceholder(fileHandle, startingOffset, length, dehydrateFlags, overlapped);
}

HRESULT CfGetPlaceholderInfo(HANDLE fileHandle, CF_PLACEHOLDER_INFO_CLASS infoClass, void* infoBuffer,
                             DWORD infoBufferLength, PDWORD returnedLength) {
    return Backend().GetPlaceholderInfo(fileHandle, infoClass, infoBuffer, infoBufferLength, returnedLength);
}

HRESULT CfSetInSyncState(HANDLE fileHandle, CF_IN_SYNC_STATE inSyncState, CF_SET_IN_SYNC_FLAGS inSyncFlags,
                         USN* inSyncUsn) {
    return Backend().SetInSyncState(fileHandle, inSyncState, inSyncFlags, inSyncUsn);
}

HRESULT CfConvertToPlaceholder(HANDLE fileHandle, LPCVOID fileIdentity, DWORD fileIdentityLength,
                               CF_CONVERT_FLAGS convertFlags, USN* convertUsn, LPOVERLAPPED overlapped) {
    return Backend().ConvertToPlaceholder(fileHandle, fileIdentity, fileIdentityLength, convertFlags, convertUsn,
                                          overlapped);
}

HRESULT CfUpdatePlaceholder(HANDLE fileHandle, const CF_FS_METADATA* fsMetadata, LPCVOID fileIdentity,
                            DWORD fileIdentityLength, const CF_FILE_RANGE* dehydrateRangeArray, DWORD dehydrateRangeCount,
                            CF_UPDATE_FLAGS updateFlags, USN* updateUsn, LPOVERLAPPED overlapped) {
    return Backend().UpdatePlaceholder(fileHandle, fsMetadata, fileIdentity, fileIdentityLength, dehydrateRangeArray,
                                       dehydrateRangeCount, updateFlags, updateUsn, overlapped);
}

HRESULT CfSetPinState(HANDLE fileHandle, CF_PIN_STATE pinState, CF_SET_PIN_FLAGS pinFlags, LPOVERLAPPED overlapped) {
    return Backend().SetPinState(fileHandle, pinState, pinFlags, overlapped);
}
