// filter_connection_test.cpp - this test process as the connected provider: what its callbacks receive, on
// which threads, CfExecute's checks, nested fetches from callbacks, and disconnection.
#include <algorithm>
#include <mutex>
#include <thread>

#include "tests/platform/platform_fixture.h"

namespace platformtest {
namespace {

struct Seen {
    CF_CALLBACK_TYPE type;
    CF_CALLBACK_INFO info;
    CF_CALLBACK_PARAMETERS params;
    std::string normalizedPath;
    std::vector<BYTE> syncRootIdentity;
    std::thread::id thread;
    bool onCallbackThread;
    int processInfoPid;
};

// What the callbacks do is chosen per test; everything they receive is kept for the test to examine.
struct Recorder {
    std::mutex mutex;
    std::vector<Seen> seen;
    std::string source;        // served as the contents of every fetched file
    std::string nestedRead;    // a placeholder the fetch callback reads itself first
    std::string nestedResult;  // what that read got
    bool answer = true;
    bool wrongFirst = false;             // the fetch callback first answers wrongly, then rightly
    std::vector<HRESULT> wrongAnswers;   // what CfExecute said to the wrong answers
};

Recorder* g_recorder = nullptr;

void Record(CF_CALLBACK_TYPE type, const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params) {
    Seen seen{type, *info, *params, posix::WideToUtf8(info->NormalizedPath), {}, std::this_thread::get_id(),
              cfemu::OnCallbackThread(), info->ProcessInfo != nullptr ? int(info->ProcessInfo->ProcessId) : -1};
    const BYTE* rootIdentity = static_cast<const BYTE*>(info->SyncRootIdentity);
    if (rootIdentity != nullptr) seen.syncRootIdentity.assign(rootIdentity, rootIdentity + info->SyncRootIdentityLength);
    std::lock_guard<std::mutex> lock(g_recorder->mutex);
    g_recorder->seen.push_back(seen);
}

HRESULT TransferAll(const CF_CALLBACK_INFO* info, const std::string& data, ULONG paramSize = 40,
                    LONGLONG requestKeyDelta = 0) {
    CF_OPERATION_INFO op{};
    op.StructSize = sizeof(op);
    op.Type = CF_OPERATION_TYPE_TRANSFER_DATA;
    op.ConnectionKey = info->ConnectionKey;
    op.TransferKey = info->TransferKey;
    op.RequestKey.QuadPart = info->RequestKey.QuadPart + requestKeyDelta;
    CF_OPERATION_PARAMETERS params{};
    params.ParamSize = paramSize;
    params.TransferData.Buffer = data.data();
    params.TransferData.Offset.QuadPart = 0;
    params.TransferData.Length.QuadPart = static_cast<LONGLONG>(data.size());
    return CfExecute(&op, &params);
}

std::string ReadThroughStandIn(const std::string& path, DWORD* error) {
    HANDLE file = CreateFileW(Win(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return std::string();
    }
    std::string data(64 * 1024, '\0');
    DWORD got = 0;
    *error =
        ReadFile(file, data.data(), static_cast<DWORD>(data.size()), &got, nullptr) ? ERROR_SUCCESS : GetLastError();
    CloseHandle(file);
    data.resize(got);
    return data;
}

void CALLBACK OnFetch(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params) {
    Record(CF_CALLBACK_TYPE_FETCH_DATA, info, params);
    std::string source, nested;
    bool answer;
    {
        std::lock_guard<std::mutex> lock(g_recorder->mutex);
        source = g_recorder->source;
        nested = g_recorder->nestedRead;
        answer = g_recorder->answer;
    }
    if (!nested.empty() && posix::WideToUtf8(info->NormalizedPath).find("outer") != std::string::npos) {
        DWORD error = ERROR_SUCCESS;
        std::string got = ReadThroughStandIn(nested, &error);
        std::lock_guard<std::mutex> lock(g_recorder->mutex);
        g_recorder->nestedResult = error == ERROR_SUCCESS ? got : "error " + std::to_string(error);
    }
    if (g_recorder->wrongFirst) {
        // The whole structure's size, a neighbour's size, a request key that is not the callback's: each refused,
        // and none of them ends the request, which the right answer still completes.
        std::vector<HRESULT> results = {TransferAll(info, source, 48), TransferAll(info, source, 16),
                                        TransferAll(info, source, 40, 1)};
        std::lock_guard<std::mutex> lock(g_recorder->mutex);
        g_recorder->wrongAnswers = results;
    }
    if (answer) TransferAll(info, source);
}

void CALLBACK OnClose(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params) {
    Record(CF_CALLBACK_TYPE_NOTIFY_FILE_CLOSE_COMPLETION, info, params);
}

class ConnectionTest : public RegisteredRootTest {
  protected:
    void SetUp() override {
        RegisteredRootTest::SetUp();
        g_recorder = &recorder_;
    }
    void TearDown() override {
        if (connected_) CfDisconnectSyncRoot(key_);
        RegisteredRootTest::TearDown();
    }

    void Connect(CF_CONNECT_FLAGS flags = CF_CONNECT_FLAG_REQUIRE_PROCESS_INFO |
                                          CF_CONNECT_FLAG_REQUIRE_FULL_FILE_PATH) {
        CF_CALLBACK_REGISTRATION table[] = {{CF_CALLBACK_TYPE_FETCH_DATA, OnFetch},
                                            {CF_CALLBACK_TYPE_NOTIFY_FILE_CLOSE_COMPLETION, OnClose},
                                            {CF_CALLBACK_TYPE_NONE, nullptr}};
        ASSERT_EQ(CfConnectSyncRoot(Win(root_).c_str(), table, &context_, flags, &key_), S_OK);
        connected_ = true;
    }

    std::vector<Seen> SeenOf(CF_CALLBACK_TYPE type) {
        std::lock_guard<std::mutex> lock(recorder_.mutex);
        std::vector<Seen> result;
        for (const Seen& seen : recorder_.seen) {
            if (seen.type == type) result.push_back(seen);
        }
        return result;
    }

    bool WaitForSeen(CF_CALLBACK_TYPE type, size_t count) {
        return WaitUntil([&] { return SeenOf(type).size() >= count; }, 20000);
    }

    Recorder recorder_;
    CF_CONNECTION_KEY key_{};
    bool connected_ = false;
    int context_ = 42;
};

TEST_F(ConnectionTest, ConnectStatusesAndWhatCfExecuteRefuses) {
    CF_CALLBACK_REGISTRATION table[] = {{CF_CALLBACK_TYPE_NONE, nullptr}};
    CF_CALLBACK_REGISTRATION nullCallback[] = {{CF_CALLBACK_TYPE_FETCH_DATA, nullptr},
                                               {CF_CALLBACK_TYPE_NONE, nullptr}};
    CF_CONNECTION_KEY key{}, unknown{};
    unknown.Internal = 12345;
    mkdir((root_ + "/sub").c_str(), 0755);
    EXPECT_EQ(CfConnectSyncRoot(Win(base_).c_str(), table, nullptr, 0, &key), Hr(0x80070186));
    EXPECT_EQ(CfConnectSyncRoot(Win(root_ + "/sub").c_str(), table, nullptr, 0, &key), Hr(0x80070186));
    EXPECT_EQ(CfConnectSyncRoot(Win(root_).c_str(), nullCallback, nullptr, 0, &key), E_INVALIDARG);
    EXPECT_EQ(CfDisconnectSyncRoot(unknown), E_INVALIDARG);

    AddFile("k.txt", "abc");
    recorder_.source = "abc";
    Connect();
    EXPECT_EQ(CfConnectSyncRoot(Win(root_).c_str(), table, nullptr, 0, &key), Hr(0x8007017A));
    ProcessResult other = RunProcess({std::string(VOSKE_BINARY_DIR) + "/filter_provider", root_, log_}, 20000);
    EXPECT_EQ(other.exitCode, 1);
    EXPECT_EQ(CountLines(log_, "CONNECT_FAILED hr=0x8007017A"), 1);
    EXPECT_NE(Cfemu({"root", root_}).out.find("connected: yes (pid " + std::to_string(getpid()) + ")"),
              std::string::npos);
    // The connected provider itself may create placeholders; unregistering needs the connection gone.
    EXPECT_EQ(CreatePlaceholder(root_, PlaceholderSpec{L"own.txt", 1, L"own"}), S_OK);
    EXPECT_EQ(CfUnregisterSyncRoot(Win(root_).c_str()), Hr(0x80070187));

    // A finished request's key, then operations wrong in every field: refused as invalid, or as canceled when
    // only the request is gone.
    DWORD error = ERROR_SUCCESS;
    ASSERT_EQ(ReadThroughStandIn(Path("k.txt"), &error), "abc");
    CF_TRANSFER_KEY finished = SeenOf(CF_CALLBACK_TYPE_FETCH_DATA)[0].info.TransferKey;
    const HRESULT canceled = Hr(0x8007018E);
    const struct {
        ULONG structSize;
        CF_OPERATION_TYPE type;
        ULONG paramSize;
        bool knownConnection;
        HRESULT expected;
    } rows[] = {
        {47, CF_OPERATION_TYPE_TRANSFER_DATA, 48, true, E_INVALIDARG},
        {0, CF_OPERATION_TYPE_TRANSFER_DATA, 48, true, E_INVALIDARG},
        {48, CF_OPERATION_TYPE_TRANSFER_DATA, 39, true, E_INVALIDARG},
        {48, CF_OPERATION_TYPE_TRANSFER_DATA, 49, true, E_INVALIDARG},
        {48, CF_OPERATION_TYPE_TRANSFER_DATA, 40, true, canceled},
        {48, CF_OPERATION_TYPE_TRANSFER_DATA, 48, true, E_INVALIDARG},
        {48, CF_OPERATION_TYPE_ACK_DELETE, 15, true, E_INVALIDARG},
        {48, CF_OPERATION_TYPE_ACK_DELETE, 16, true, canceled},
        {48, CF_OPERATION_TYPE_ACK_DELETE, 48, true, E_INVALIDARG},
        {48, CF_OPERATION_TYPE_ACK_RENAME, 16, true, canceled},
        {48, CF_OPERATION_TYPE_ACK_RENAME, 40, true, E_INVALIDARG},
        {48, CF_OPERATION_TYPE_RETRIEVE_DATA, 48, true, E_INVALIDARG},
        {48, CF_OPERATION_TYPE_TRANSFER_DATA, 40, false, canceled},
    };
    std::string data(4096, 'd');
    for (size_t i = 0; i < std::size(rows); ++i) {
        CF_OPERATION_INFO op{};
        op.StructSize = rows[i].structSize;
        op.Type = rows[i].type;
        op.ConnectionKey.Internal = rows[i].knownConnection ? key_.Internal : key_.Internal + 1000;
        op.TransferKey = finished;
        CF_OPERATION_PARAMETERS params{};
        params.ParamSize = rows[i].paramSize;
        params.TransferData.Buffer = data.data();
        params.TransferData.Length.QuadPart = 3;
        EXPECT_EQ(CfExecute(&op, &params), rows[i].expected) << i;
    }

    EXPECT_EQ(CfDisconnectSyncRoot(key_), S_OK);
    connected_ = false;
    EXPECT_EQ(CfDisconnectSyncRoot(key_), E_INVALIDARG);
    EXPECT_NE(Cfemu({"root", root_}).out.find("connected: no"), std::string::npos);
    // The root is free for a new connection; without the process-info flag a callback has no process info.
    AddFile("np.txt", "abc");
    Connect(CF_CONNECT_FLAG_NONE);
    ASSERT_EQ(ReadThroughStandIn(Path("np.txt"), &error), "abc");
    EXPECT_EQ(SeenOf(CF_CALLBACK_TYPE_FETCH_DATA).back().processInfoPid, -1);
}

// The callback reads another placeholder itself (served on another thread, its close announced too), and first
// answers with the whole structure's ParamSize (48), an acknowledgement's (16) and a request key that is not its
// own: each refused, none ending the request, which the right answer still completes.
TEST_F(ConnectionTest, CallbackInfoNestedFetchAndWrongAnswers) {
    AddFile("outer.txt", "OUTER!", L"cf\td\ti\touter.txt");
    AddFile("inner.txt", "OUTER!");
    recorder_.source = "OUTER!";
    recorder_.nestedRead = Path("inner.txt");
    recorder_.wrongFirst = true;
    Connect();

    DWORD error = ERROR_SUCCESS;
    std::string got = ReadThroughStandIn(Path("outer.txt"), &error);

    ASSERT_EQ(error, ERROR_SUCCESS);
    EXPECT_EQ(got, "OUTER!");
    std::vector<Seen> fetches = SeenOf(CF_CALLBACK_TYPE_FETCH_DATA);
    ASSERT_EQ(fetches.size(), 2u);
    {
        std::lock_guard<std::mutex> lock(recorder_.mutex);
        EXPECT_EQ(recorder_.nestedResult, "OUTER!");
        EXPECT_EQ(recorder_.wrongAnswers, (std::vector<HRESULT>{E_INVALIDARG, E_INVALIDARG, E_INVALIDARG}));
    }
    EXPECT_NE(fetches[0].thread, fetches[1].thread);
    const Seen& fetch = fetches[0];
    EXPECT_EQ(fetch.normalizedPath, VolumeRelative(Path("outer.txt")));
    EXPECT_EQ(fetch.info.StructSize, 152u);
    EXPECT_EQ(fetch.info.ConnectionKey.Internal, key_.Internal);
    EXPECT_EQ(fetch.info.CallbackContext, &context_);
    EXPECT_NE(fetch.info.RequestKey.QuadPart, 0);
    EXPECT_EQ(fetch.syncRootIdentity, Utf16Blob(L"root-id\tuser"));
    EXPECT_EQ(fetch.processInfoPid, getpid());
    // Callbacks never run on the requesting thread, and run where the filter raises no notifications.
    EXPECT_NE(fetch.thread, std::this_thread::get_id());
    EXPECT_TRUE(fetch.onCallbackThread);
    EXPECT_FALSE(cfemu::OnCallbackThread());
    // Both reads are announced closed, the callback's own read of inner.txt too, each naming this process.
    ASSERT_TRUE(WaitForSeen(CF_CALLBACK_TYPE_NOTIFY_FILE_CLOSE_COMPLETION, 2));
    CfDisconnectSyncRoot(key_);
    connected_ = false;
    std::vector<Seen> closes = SeenOf(CF_CALLBACK_TYPE_NOTIFY_FILE_CLOSE_COMPLETION);
    ASSERT_EQ(closes.size(), 2u);
    std::sort(closes.begin(), closes.end(),
              [](const Seen& a, const Seen& b) { return a.normalizedPath < b.normalizedPath; });
    EXPECT_EQ(closes[0].normalizedPath, VolumeRelative(Path("inner.txt")));
    EXPECT_EQ(closes[1].normalizedPath, VolumeRelative(Path("outer.txt")));
    for (const Seen& close : closes) EXPECT_EQ(close.processInfoPid, getpid());
}

// After a disconnect a pending reader is released, the pending request can no longer be answered and no
// callback arrives.
TEST_F(ConnectionTest, DisconnectReleasesPendingReaders) {
    AddFile("late.txt", "late");
    AddFile("pending.txt", "pending");
    recorder_.answer = false;  // the fetch stays unanswered until the disconnect
    Connect();
    DWORD pendingError = ERROR_SUCCESS;
    std::thread reader([&] { ReadThroughStandIn(Path("pending.txt"), &pendingError); });
    ASSERT_TRUE(WaitForSeen(CF_CALLBACK_TYPE_FETCH_DATA, 1));
    const Seen pending = SeenOf(CF_CALLBACK_TYPE_FETCH_DATA).back();

    ASSERT_EQ(CfDisconnectSyncRoot(key_), S_OK);
    connected_ = false;
    reader.join();

    EXPECT_EQ(pendingError, ERROR_CLOUD_FILE_PROVIDER_TERMINATED);
    EXPECT_FALSE(IsHydrated(Path("pending.txt")));
    EXPECT_EQ(TransferAll(&pending.info, "pending"), Hr(0x8007018E));
    DWORD error = ERROR_SUCCESS;
    EXPECT_EQ(ReadThroughStandIn(Path("late.txt"), &error), "");
    EXPECT_EQ(error, ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING);
    EXPECT_EQ(SeenOf(CF_CALLBACK_TYPE_FETCH_DATA).size(), 1u);
}

}  // namespace
}  // namespace platformtest
