// cldapi_backend.cpp - the Windows backend of the Cloud Files operations: the thirteen exports of cldapi.dll,
// bound at first use from the system directory only. A missing DLL or export fails every call with its error.
#include "platform/windows/system_exports.h"
#include "syncroot/cloud_files.h"

namespace {

using RegisterFn = HRESULT(WINAPI*)(LPCWSTR, const CF_SYNC_REGISTRATION*, const CF_SYNC_POLICIES*, CF_REGISTER_FLAGS);
using UnregisterFn = HRESULT(WINAPI*)(LPCWSTR);
using ConnectFn = HRESULT(WINAPI*)(LPCWSTR, const CF_CALLBACK_REGISTRATION*, LPCVOID, CF_CONNECT_FLAGS,
                                   CF_CONNECTION_KEY*);
using DisconnectFn = HRESULT(WINAPI*)(CF_CONNECTION_KEY);
using CreatePlaceholdersFn = HRESULT(WINAPI*)(LPCWSTR, CF_PLACEHOLDER_CREATE_INFO*, DWORD, CF_CREATE_FLAGS, PDWORD);
using ExecuteFn = HRESULT(WINAPI*)(const CF_OPERATION_INFO*, CF_OPERATION_PARAMETERS*);
using HydrateFn = HRESULT(WINAPI*)(HANDLE, LARGE_INTEGER, LARGE_INTEGER, CF_HYDRATE_FLAGS, LPOVERLAPPED);
using DehydrateFn = HRESULT(WINAPI*)(HANDLE, LARGE_INTEGER, LARGE_INTEGER, CF_DEHYDRATE_FLAGS, LPOVERLAPPED);
using GetPlaceholderInfoFn = HRESULT(WINAPI*)(HANDLE, CF_PLACEHOLDER_INFO_CLASS, void*, DWORD, PDWORD);
using SetInSyncStateFn = HRESULT(WINAPI*)(HANDLE, CF_IN_SYNC_STATE, CF_SET_IN_SYNC_FLAGS, USN*);
using ConvertFn = HRESULT(WINAPI*)(HANDLE, LPCVOID, DWORD, CF_CONVERT_FLAGS, USN*, LPOVERLAPPED);
using UpdateFn = HRESULT(WINAPI*)(HANDLE, const CF_FS_METADATA*, LPCVOID, DWORD, const CF_FILE_RANGE*, DWORD,
                                  CF_UPDATE_FLAGS, USN*, LPOVERLAPPED);
using SetPinFn = HRESULT(WINAPI*)(HANDLE, CF_PIN_STATE, CF_SET_PIN_FLAGS, LPOVERLAPPED);

struct Binding {
    HRESULT status = S_OK;  // failure of the load or of any lookup; every call returns it
    RegisterFn registerSyncRoot = nullptr;
    UnregisterFn unregisterSyncRoot = nullptr;
    ConnectFn connectSyncRoot = nullptr;
    DisconnectFn disconnectSyncRoot = nullptr;
    CreatePlaceholdersFn createPlaceholders = nullptr;
    ExecuteFn execute = nullptr;
    HydrateFn hydratePlaceholder = nullptr;
    DehydrateFn dehydratePlaceholder = nullptr;
    GetPlaceholderInfoFn getPlaceholderInfo = nullptr;
    SetInSyncStateFn setInSyncState = nullptr;
    ConvertFn convertToPlaceholder = nullptr;
    UpdateFn updatePlaceholder = nullptr;
    SetPinFn setPinState = nullptr;
};

Binding binding;
INIT_ONCE bindOnce = INIT_ONCE_STATIC_INIT;

template <typename Fn>
bool Lookup(HMODULE module, const char* name, Fn& target) {
    if (BindExport(module, name, target)) return true;
    binding.status = HRESULT_FROM_WIN32(GetLastError());
    return false;
}

BOOL CALLBACK BindCldApi(PINIT_ONCE, PVOID, PVOID*) {
    // Only the system directory: a cldapi.dll planted next to the program or in the working directory is ignored.
    HMODULE module = LoadLibraryExW(L"cldapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) {
        binding.status = HRESULT_FROM_WIN32(GetLastError());
        return TRUE;
    }
    if (Lookup(module, "CfRegisterSyncRoot", binding.registerSyncRoot) &&
        Lookup(module, "CfUnregisterSyncRoot", binding.unregisterSyncRoot) &&
        Lookup(module, "CfConnectSyncRoot", binding.connectSyncRoot) &&
        Lookup(module, "CfDisconnectSyncRoot", binding.disconnectSyncRoot) &&
        Lookup(module, "CfCreatePlaceholders", binding.createPlaceholders) &&
        Lookup(module, "CfExecute", binding.execute) &&
        Lookup(module, "CfHydratePlaceholder", binding.hydratePlaceholder) &&
        Lookup(module, "CfDehydratePlaceholder", binding.dehydratePlaceholder) &&
        Lookup(module, "CfGetPlaceholderInfo", binding.getPlaceholderInfo) &&
        Lookup(module, "CfSetInSyncState", binding.setInSyncState) &&
        Lookup(module, "CfConvertToPlaceholder", binding.convertToPlaceholder) &&
        Lookup(module, "CfUpdatePlaceholder", binding.updatePlaceholder) &&
        Lookup(module, "CfSetPinState", binding.setPinState)) {
        binding.status = S_OK;
    }
    return TRUE;
}

const Binding& Bound() {
    InitOnceExecuteOnce(&bindOnce, BindCldApi, nullptr, nullptr);
    return binding;
}

HRESULT Register(LPCWSTR path, const CF_SYNC_REGISTRATION* registration, const CF_SYNC_POLICIES* policies,
                 CF_REGISTER_FLAGS flags) {
    const Binding& b = Bound();
    return FAILED(b.status) ? b.status : b.registerSyncRoot(path, registration, policies, flags);
}

HRESULT Unregister(LPCWSTR path) {
    const Binding& b = Bound();
    return FAILED(b.status) ? b.status : b.unregisterSyncRoot(path);
}

HRESULT Connect(LPCWSTR path, const CF_CALLBACK_REGISTRATION* table, LPCVOID context, CF_CONNECT_FLAGS flags,
                CF_CONNECTION_KEY* key) {
    const Binding& b = Bound();
    return FAILED(b.status) ? b.status : b.connectSyncRoot(path, table, context, flags, key);
}

HRESULT Disconnect(CF_CONNECTION_KEY key) {
    const Binding& b = Bound();
    return FAILED(b.status) ? b.status : b.disconnectSyncRoot(key);
}

HRESULT CreatePlaceholders(LPCWSTR base, CF_PLACEHOLDER_CREATE_INFO* array, DWORD count, CF_CREATE_FLAGS flags,
                           PDWORD processed) {
    const Binding& b = Bound();
    return FAILED(b.status) ? b.status : b.createPlaceholders(base, array, count, flags, processed);
}

HRESULT Execute(const CF_OPERATION_INFO* info, CF_OPERATION_PARAMETERS* params) {
    const Binding& b = Bound();
    return FAILED(b.status) ? b.status : b.execute(info, params);
}

HRESULT Hydrate(HANDLE file, LARGE_INTEGER offset, LARGE_INTEGER length, CF_HYDRATE_FLAGS flags, LPOVERLAPPED ov) {
    const Binding& b = Bound();
    return FAILED(b.status) ? b.status : b.hydratePlaceholder(file, offset, length, flags, ov);
}

HRESULT Dehydrate(HANDLE file, LARGE_INTEGER offset, LARGE_INTEGER length, CF_DEHYDRATE_FLAGS flags,
                  LPOVERLAPPED ov) {
    const Binding& b = Bound();
    return FAILED(b.status) ? b.status : b.dehydratePlaceholder(file, offset, length, flags, ov);
}

HRESULT GetPlaceholderInfo(HANDLE file, CF_PLACEHOLDER_INFO_CLASS infoClass, void* buffer, DWORD bufferLength,
                           PDWORD returnedLength) {
    const Binding& b = Bound();
    return FAILED(b.status) ? b.status : b.getPlaceholderInfo(file, infoClass, buffer, bufferLength, returnedLength);
}

HRESULT SetInSyncState(HANDLE file, CF_IN_SYNC_STATE state, CF_SET_IN_SYNC_FLAGS flags, USN* usn) {
    const Binding& b = Bound();
    return FAILED(b.status) ? b.status : b.setInSyncState(file, state, flags, usn);
}

HRESULT ConvertToPlaceholder(HANDLE file, LPCVOID identity, DWORD identityLength, CF_CONVERT_FLAGS flags, USN* usn,
                             LPOVERLAPPED ov) {
    const Binding& b = Bound();
    return FAILED(b.status) ? b.status : b.convertToPlaceholder(file, identity, identityLength, flags, usn, ov);
}

HRESULT UpdatePlaceholder(HANDLE file, const CF_FS_METADATA* metadata, LPCVOID identity, DWORD identityLength,
                          const CF_FILE_RANGE* ranges, DWORD rangeCount, CF_UPDATE_FLAGS flags, USN* usn, LPOVERLAPPED ov) {
    const Binding& b = Bound();
    return FAILED(b.status) ? b.status
                            : b.updatePlaceholder(file, metadata, identity, identityLength, ranges, rangeCount, flags, usn, ov);
}

HRESULT SetPinState(HANDLE file, CF_PIN_STATE state, CF_SET_PIN_FLAGS flags, LPOVERLAPPED ov) {
    const Binding& b = Bound();
    return FAILED(b.status) ? b.status : b.setPinState(file, state, flags, ov);
}

const CloudFilesBackend kCldApiBackend = {Register,  Unregister,         Connect,        Disconnect,
                                          CreatePlaceholders, Execute, Hydrate,     Dehydrate,
                                          GetPlaceholderInfo, SetInSyncState, ConvertToPlaceholder, UpdatePlaceholder,
                                          SetPinState};

}  // namespace

const CloudFilesBackend& PlatformCloudFilesBackend() { return kCldApiBackend; }
