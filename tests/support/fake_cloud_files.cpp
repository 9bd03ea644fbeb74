// fake_cloud_files.cpp - each operation deep-copies its arguments and answers with a scripted status (and in-sync state).
#include "tests/support/fake_cloud_files.h"

#include "platform/posix/win32/standin_internal.h"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <cstring>
#include <utility>

namespace {

// The fake that currently owns the backend table; the table's functions are plain pointers, so they find it here.
std::atomic<FakeCloudFiles*> activeFake{nullptr};

std::wstring CopyText(LPCWSTR text) { return text != nullptr ? std::wstring(text) : std::wstring(); }

std::vector<BYTE> CopyBytes(LPCVOID data, size_t length) {
    if (data == nullptr || length == 0) return {};
    const BYTE* bytes = static_cast<const BYTE*>(data);
    return std::vector<BYTE>(bytes, bytes + length);
}

HRESULT Dispatch(RecordedCall call, CF_PLACEHOLDER_CREATE_INFO* array = nullptr, PDWORD processed = nullptr,
                 CF_CONNECTION_KEY* keyOut = nullptr) {
    FakeCloudFiles* fake = activeFake.load(std::memory_order_acquire);
    if (fake == nullptr) return E_FAIL;
    return fake->Record(std::move(call), array, processed, keyOut);
}

RecordedCall Call(const char* op, LPCWSTR path = nullptr, DWORD flags = 0) {
    RecordedCall call;
    call.op = op;
    call.path = CopyText(path);
    call.flags = flags;
    return call;
}

HRESULT FakeRegister(LPCWSTR path, const CF_SYNC_REGISTRATION* registration, const CF_SYNC_POLICIES* policies,
                     CF_REGISTER_FLAGS flags) {
    RecordedCall call = Call("Register", path, flags);
    if (registration != nullptr) {
        call.providerName = CopyText(registration->ProviderName);
        call.providerVersion = CopyText(registration->ProviderVersion);
        call.syncRootIdentity = CopyBytes(registration->SyncRootIdentity, registration->SyncRootIdentityLength);
        // The pointers are cleared: the copies above outlive what they pointed to.
        call.registration = *registration;
        call.registration.ProviderName = call.registration.ProviderVersion = nullptr;
        call.registration.SyncRootIdentity = call.registration.FileIdentity = nullptr;
    }
    if (policies != nullptr) call.policies = *policies;
    return Dispatch(std::move(call));
}

HRESULT FakeUnregister(LPCWSTR path) { return Dispatch(Call("Unregister", path)); }

HRESULT FakeConnect(LPCWSTR path, const CF_CALLBACK_REGISTRATION* table, LPCVOID, CF_CONNECT_FLAGS flags,
                    CF_CONNECTION_KEY* keyOut) {
    RecordedCall call = Call("Connect", path, flags);
    // Copy up to and including the NONE terminator; the bound only guards against a table without one.
    for (size_t i = 0; table != nullptr && i < 64; ++i) {
        call.callbackTable.push_back(table[i]);
        if (table[i].Type == CF_CALLBACK_TYPE_NONE) break;
    }
    return Dispatch(std::move(call), nullptr, nullptr, keyOut);
}

HRESULT FakeDisconnect(CF_CONNECTION_KEY key) {
    RecordedCall call = Call("Disconnect");
    call.connectionKey = key;
    return Dispatch(std::move(call));
}

HRESULT FakeCreatePlaceholders(LPCWSTR base, CF_PLACEHOLDER_CREATE_INFO* array, DWORD count, CF_CREATE_FLAGS flags,
                               PDWORD processed) {
    RecordedCall call = Call("CreatePlaceholders", base, flags);
    call.placeholderCount = count;
    call.entriesProcessedGiven = processed != nullptr;
    for (DWORD i = 0; array != nullptr && i < count; ++i) {
        call.placeholders.push_back({CopyText(array[i].RelativeFileName), array[i].FsMetadata,
                                     CopyBytes(array[i].FileIdentity, array[i].FileIdentityLength),
                                     array[i].FileIdentityLength, array[i].Flags});
    }
    return Dispatch(std::move(call), array, processed);
}

HRESULT FakeExecute(const CF_OPERATION_INFO* opInfo, CF_OPERATION_PARAMETERS* opParams) {
    RecordedCall call = Call("Execute");
    if (opInfo != nullptr) {
        call.opInfo = *opInfo;
        call.opInfo.CorrelationVector = nullptr;
        call.opInfo.SyncStatus = nullptr;
    }
    const bool transfer = opInfo != nullptr && opInfo->Type == CF_OPERATION_TYPE_TRANSFER_DATA;
    if (opParams != nullptr) {
        call.opParams = *opParams;
        // The buffer is only read when data is delivered: a failure transfer may carry any pointer.
        if (transfer && opParams->TransferData.CompletionStatus >= 0 && opParams->TransferData.Length.QuadPart > 0) {
            call.transferBytes = CopyBytes(opParams->TransferData.Buffer,
                                           static_cast<size_t>(opParams->TransferData.Length.QuadPart));
        }
        if (transfer) call.opParams.TransferData.Buffer = nullptr;
    }
    return Dispatch(std::move(call));
}

template <const char* kOp>
HRESULT FakeHydrateOrDehydrate(HANDLE handle, LARGE_INTEGER offset, LARGE_INTEGER length, DWORD flags,
                               LPOVERLAPPED overlapped) {
    RecordedCall call = Call(kOp, nullptr, flags);
    call.handle = handle;
    call.offset = offset.QuadPart;
    call.length = length.QuadPart;
    call.overlappedGiven = overlapped != nullptr;
    return Dispatch(std::move(call));
}

constexpr char kHydrate[] = "Hydrate";
constexpr char kDehydrate[] = "Dehydrate";

// The Windows path of the file a stand-in handle is open on, so that answers can be scripted per file.
RecordedCall HandleCall(const char* op, HANDLE handle, DWORD flags) {
    RecordedCall call = Call(op, nullptr, flags);
    call.handle = handle;
    DWORD lastError = GetLastError();
    if (const posix::Handle* file = posix::HandleOf(handle, posix::HandleKind::File)) {
        call.path = posix::ToWindowsPath(file->path);
    }
    SetLastError(lastError);
    return call;
}

HRESULT FakeGetPlaceholderInfo(HANDLE handle, CF_PLACEHOLDER_INFO_CLASS infoClass, void* buffer, DWORD bufferLength,
                               PDWORD returnedLength) {
    RecordedCall call = HandleCall("GetPlaceholderInfo", handle, infoClass);
    call.infoBufferLength = bufferLength;
    const std::wstring path = call.path;
    HRESULT status = Dispatch(std::move(call));
    FakeCloudFiles* fake = activeFake.load(std::memory_order_acquire);
    // The fixed part only: the fake keeps no identities, so FileIdentityLength is 0.
    const DWORD fixed = static_cast<DWORD>(offsetof(CF_PLACEHOLDER_BASIC_INFO, FileIdentity));
    if (SUCCEEDED(status) && (buffer == nullptr || bufferLength < fixed)) {
        status = HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    }
    if (returnedLength != nullptr) *returnedLength = SUCCEEDED(status) ? fixed : 0;
    if (FAILED(status) || fake == nullptr) return status;
    CF_PLACEHOLDER_BASIC_INFO info{};
    info.InSyncState = fake->InSyncAnswer(path);
    std::memcpy(buffer, &info, fixed);
    return status;
}

HRESULT FakeSetInSyncState(HANDLE handle, CF_IN_SYNC_STATE state, CF_SET_IN_SYNC_FLAGS flags, USN* usn) {
    RecordedCall call = HandleCall("SetInSyncState", handle, flags);
    call.inSyncState = state;
    call.usnGiven = usn != nullptr;
    const std::wstring path = call.path;
    HRESULT status = Dispatch(std::move(call));
    FakeCloudFiles* fake = activeFake.load(std::memory_order_acquire);
    if (SUCCEEDED(status) && fake != nullptr && !path.empty()) fake->SetInSyncAnswer(state, path);
    return status;
}

HRESULT FakeConvertToPlaceholder(HANDLE handle, LPCVOID identity, DWORD identityLength, CF_CONVERT_FLAGS flags,
                                 USN* usn, LPOVERLAPPED overlapped) {
    RecordedCall call = HandleCall("Convert", handle, flags);
    call.identity = CopyBytes(identity, identityLength);
    call.usnGiven = usn != nullptr;
    call.overlappedGiven = overlapped != nullptr;
    return Dispatch(std::move(call));
}

HRESULT FakeUpdatePlaceholder(HANDLE handle, const CF_FS_METADATA* metadata, LPCVOID identity, DWORD identityLength,
                              const CF_FILE_RANGE* ranges, DWORD rangeCount, CF_UPDATE_FLAGS flags, USN* usn,
                              LPOVERLAPPED overlapped) {
    RecordedCall call = HandleCall("Update", handle, flags);
    call.identity = CopyBytes(identity, identityLength);
    call.usnGiven = usn != nullptr;
    call.overlappedGiven = overlapped != nullptr || metadata != nullptr || ranges != nullptr || rangeCount != 0;
    return Dispatch(std::move(call));
}

HRESULT FakeSetPinState(HANDLE handle, CF_PIN_STATE state, CF_SET_PIN_FLAGS flags, LPOVERLAPPED overlapped) {
    RecordedCall call = HandleCall("SetPinState", handle, flags);
    call.pinState = state;
    call.overlappedGiven = overlapped != nullptr;
    return Dispatch(std::move(call));
}

const CloudFilesBackend kFakeBackend = {FakeRegister,   FakeUnregister,         FakeConnect,
                                        FakeDisconnect, FakeCreatePlaceholders, FakeExecute,
                                        FakeHydrateOrDehydrate<kHydrate>, FakeHydrateOrDehydrate<kDehydrate>,
                                        FakeGetPlaceholderInfo, FakeSetInSyncState, FakeConvertToPlaceholder,
                                        FakeUpdatePlaceholder, FakeSetPinState};

}  // namespace

FakeCloudFiles::FakeCloudFiles() {
    previousFake_ = activeFake.exchange(this, std::memory_order_acq_rel);
    previous_ = SetCloudFilesBackend(&kFakeBackend);
}

FakeCloudFiles::~FakeCloudFiles() {
    SetCloudFilesBackend(previous_);
    activeFake.store(previousFake_, std::memory_order_release);
}

void FakeCloudFiles::FailCall(int callNumber, HRESULT status) {
    std::lock_guard<std::mutex> lock(mutex_);
    failCall_[callNumber] = status;
}

void FakeCloudFiles::SetStatus(const std::string& op, HRESULT status) {
    std::lock_guard<std::mutex> lock(mutex_);
    statusByOp_[op] = status;
}

void FakeCloudFiles::SetHook(std::function<void(const RecordedCall&)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    hook_ = std::move(hook);
}

void FakeCloudFiles::SetInSyncAnswer(CF_IN_SYNC_STATE state, const std::wstring& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    inSyncByPath_[path] = state;
}

CF_IN_SYNC_STATE FakeCloudFiles::InSyncAnswer(const std::wstring& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = inSyncByPath_.find(path);
    if (it == inSyncByPath_.end()) it = inSyncByPath_.find(std::wstring());
    return it != inSyncByPath_.end() ? it->second : CF_IN_SYNC_STATE_IN_SYNC;
}

std::vector<RecordedCall> FakeCloudFiles::Calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

std::vector<RecordedCall> FakeCloudFiles::CallsOf(const std::string& op) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<RecordedCall> result;
    std::copy_if(calls_.begin(), calls_.end(), std::back_inserter(result), [&](auto& c) { return c.op == op; });
    return result;
}

HRESULT FakeCloudFiles::Record(RecordedCall call, CF_PLACEHOLDER_CREATE_INFO* array, PDWORD entriesProcessed,
                               CF_CONNECTION_KEY* keyOut) {
    std::function<void(const RecordedCall&)> hook;
    RecordedCall copyForHook;
    HRESULT status = S_OK;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        call.callNumber = static_cast<int>(calls_.size()) + 1;
        if (auto it = failCall_.find(call.callNumber); it != failCall_.end()) {
            status = it->second;
        } else if (auto op = statusByOp_.find(call.op); op != statusByOp_.end()) {
            status = op->second;
        }

        if (call.op == "CreatePlaceholders") {
            // Every entry is attempted (as with CF_CREATE_FLAG_NONE) and gets the call's status.
            for (size_t i = 0; array != nullptr && i < call.placeholders.size(); ++i) {
                array[i].Result = status;
                array[i].CreateUsn = SUCCEEDED(status) ? static_cast<USN>(call.callNumber * 1000 + i) : 0;
            }
            if (entriesProcessed != nullptr) *entriesProcessed = call.placeholderCount;
        }

        if (call.op == "Connect" && keyOut != nullptr && SUCCEEDED(status)) keyOut->Internal = 0x5150;

        call.returned = status;
        calls_.push_back(call);
        hook = hook_;
        if (hook) copyForHook = call;
    }
    // Outside the lock, so a hook may query the fake or make further calls.
    if (hook) hook(copyForHook);
    return status;
}
