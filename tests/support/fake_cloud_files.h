// fake_cloud_files.h - a recording fake of the eleven Cloud Files operations for unit tests.
#pragma once

#include "syncroot/cloud_files.h"

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct RecordedPlaceholder {
    std::wstring relativeFileName;
    CF_FS_METADATA fsMetadata{};
    std::vector<BYTE> identity;  // the blob bytes as passed
    DWORD identityLength = 0;
    CF_PLACEHOLDER_CREATE_FLAGS flags = 0;
};

struct RecordedCall {
    std::string op;             // "Register", "Unregister", "Connect", "Disconnect", "CreatePlaceholders",
                                // "Execute", "Hydrate", "Dehydrate", "GetPlaceholderInfo", "SetInSyncState",
                                // "Convert", "Update", "SetPinState"
    std::wstring path;          // sync-root or base directory path; for the last two the handle's file (Z:\...)
    CF_SYNC_REGISTRATION registration{};  // pointers inside are cleared; see the copies below
    std::wstring providerName, providerVersion;
    std::vector<BYTE> syncRootIdentity;
    CF_SYNC_POLICIES policies{};
    DWORD flags = 0;            // register, connect, create, hydrate/dehydrate, in-sync or pin flags; the info class
    std::vector<CF_CALLBACK_REGISTRATION> callbackTable;  // up to and including the NONE entry
    CF_CONNECTION_KEY connectionKey{};
    std::vector<RecordedPlaceholder> placeholders;
    DWORD placeholderCount = 0;
    bool entriesProcessedGiven = false;
    CF_OPERATION_INFO opInfo{};
    CF_OPERATION_PARAMETERS opParams{};
    std::vector<BYTE> transferBytes;  // TransferData.Buffer contents (Length bytes) when a buffer was given
    HANDLE handle = nullptr;
    LONGLONG offset = 0, length = 0;
    bool overlappedGiven = false;
    CF_IN_SYNC_STATE inSyncState = 0;  // SetInSyncState: the state asked for
    CF_PIN_STATE pinState = 0;         // SetPinState: the state asked for (its flags in `flags`)
    DWORD infoBufferLength = 0;        // GetPlaceholderInfo
    bool usnGiven = false;             // SetInSyncState, Convert: a USN pointer was passed
    std::vector<BYTE> identity;        // Convert: the identity blob as passed
    HRESULT returned = S_OK;
    int callNumber = 0;         // 1-based position among all calls of this fake
};

// Installs itself as the active backend for its lifetime; Connect hands out the key 0x5150. Thread-safe: callbacks
// may call CfExecute from several threads.
class FakeCloudFiles {
public:
    FakeCloudFiles();
    ~FakeCloudFiles();
    FakeCloudFiles(const FakeCloudFiles&) = delete;
    FakeCloudFiles& operator=(const FakeCloudFiles&) = delete;

    // The Nth call (1-based, counted over all operations) returns `status`.
    void FailCall(int callNumber, HRESULT status);
    // Every call of operation `op` returns `status` (until cleared with S_OK).
    void SetStatus(const std::string& op, HRESULT status);
    // Optional hook run inside each call after recording (for example to create the file a placeholder names).
    void SetHook(std::function<void(const RecordedCall&)> hook);
    // The InSyncState a successful GetPlaceholderInfo reports for the file at `path` (the Windows path, as
    // RecordedCall::path has it), or for every other file when `path` is empty (the default answer is IN_SYNC).
    // A successful SetInSyncState sets the answer of its file. A hook may change the answer of the call it runs in.
    void SetInSyncAnswer(CF_IN_SYNC_STATE state, const std::wstring& path = std::wstring());
    CF_IN_SYNC_STATE InSyncAnswer(const std::wstring& path) const;

    std::vector<RecordedCall> Calls() const;
    std::vector<RecordedCall> CallsOf(const std::string& op) const;

    // Implementation entry points (used by the backend table).
    HRESULT Record(RecordedCall call, CF_PLACEHOLDER_CREATE_INFO* array, PDWORD entriesProcessed,
                   CF_CONNECTION_KEY* keyOut);

private:
    mutable std::mutex mutex_;
    std::vector<RecordedCall> calls_;
    std::map<int, HRESULT> failCall_;
    std::map<std::string, HRESULT> statusByOp_;
    std::function<void(const RecordedCall&)> hook_;
    std::map<std::wstring, CF_IN_SYNC_STATE> inSyncByPath_;  // "" holds the default
    const CloudFilesBackend* previous_ = nullptr;
    FakeCloudFiles* previousFake_ = nullptr;  // an enclosing fake, active again when this one ends
};
