// filter_connection_test.cpp - this test process as the connected provider: what its callbacks receive, on
// which threads, CfExecute's checks, nested fetches from callbacks, a growing pool, and disconnection.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "tests/platform/filter_test_support.h"

namespace filtertest {
namespace {

struct Seen {
    CF_CALLBACK_TYPE type;
    CF_CALLBACK_INFO info;
    CF_CALLBACK_PARAMETERS params;
    std::string normalizedPath, volumeDosName, imagePath;
    std::vector<BYTE> identity, syncRootIdentity;
    std::thread::id thread;
    bool onCallbackThread;
    int processInfoPid;
};

// What the callbacks do is chosen per test; everything they receive is kept for the test to examine.
struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Seen> seen;
    std::string source;        // served as the contents of every fetched file
    std::string nestedRead;    // a placeholder the fetch callback reads itself first
    std::string nestedResult;  // what that read got
    int barrier = 0;           // fetch callbacks wait until this many run at once
    int running = 0;
    int maxRunning = 0;
    bool answer = true;
};

Recorder* g_recorder = nullptr;

void Record(CF_CALLBACK_TYPE type, const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params) {
    Seen seen{type, *info, *params, {}, {}, {}, {}, {}, std::this_thread::get_id(), cfemu::OnCallbackThread(), -1};
    seen.normalizedPath = posix::WideToUtf8(info->NormalizedPath);
    seen.volumeDosName = posix::WideToUtf8(info->VolumeDosName);
    const BYTE* identity = static_cast<const BYTE*>(info->FileIdentity);
    if (identity != nullptr) seen.identity.assign(identity, identity + info->FileIdentityLength);
    const BYTE* rootIdentity = static_cast<const BYTE*>(info->SyncRootIdentity);
    if (rootIdentity != nullptr)
        seen.syncRootIdentity.assign(rootIdentity, rootIdentity + info->SyncRootIdentityLength);
    if (info->ProcessInfo != nullptr) {
        seen.processInfoPid = static_cast<int>(info->ProcessInfo->ProcessId);
        seen.imagePath = posix::WideToUtf8(info->ProcessInfo->ImagePath);
    }
    std::lock_guard<std::mutex> lock(g_recorder->mutex);
    g_recorder->seen.push_back(seen);
    g_recorder->changed.notify_all();
}

HRESULT TransferAll(const CF_CALLBACK_INFO* info, const std::string& data) {
    CF_OPERATION_INFO op{};
    op.StructSize = sizeof(op);
    op.Type = CF_OPERATION_TYPE_TRANSFER_DATA;
    op.ConnectionKey = info->ConnectionKey;
    op.TransferKey = info->TransferKey;
    CF_OPERATION_PARAMETERS params{};
    params.ParamSize = sizeof(params);
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
        std::unique_lock<std::mutex> lock(g_recorder->mutex);
        ++g_recorder->running;
        g_recorder->maxRunning = std::max(g_recorder->maxRunning, g_recorder->running);
        g_recorder->changed.notify_all();
        g_recorder->changed.wait_for(lock, std::chrono::seconds(20),
                                     [] { return g_recorder->running >= g_recorder->barrier; });
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
    if (answer) TransferAll(info, source);
    std::lock_guard<std::mutex> lock(g_recorder->mutex);
    --g_recorder->running;
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

TEST_F(ConnectionTest, ConnectStatuses) {
    CF_CALLBACK_REGISTRATION table[] = {{CF_CALLBACK_TYPE_NONE, nullptr}};
    CF_CALLBACK_REGISTRATION nullCallback[] = {{CF_CALLBACK_TYPE_FETCH_DATA, nullptr},
                                               {CF_CALLBACK_TYPE_NONE, nullptr}};
    CF_CONNECTION_KEY key{};
    mkdir((root_ + "/sub").c_str(), 0755);

    EXPECT_EQ(CfConnectSyncRoot(Win(base_).c_str(), table, nullptr, 0, &key), static_cast<HRESULT>(0x80070186));
    EXPECT_EQ(CfConnectSyncRoot(Win(root_ + "/sub").c_str(), table, nullptr, 0, &key),
              static_cast<HRESULT>(0x80070186));
    EXPECT_EQ(CfConnectSyncRoot(Win(root_).c_str(), nullCallback, nullptr, 0, &key), E_INVALIDARG);
    CF_CONNECTION_KEY unknown{};
    unknown.Internal = 12345;
    EXPECT_EQ(CfDisconnectSyncRoot(unknown), E_INVALIDARG);

    Connect();
    EXPECT_EQ(CfConnectSyncRoot(Win(root_).c_str(), table, nullptr, 0, &key), static_cast<HRESULT>(0x8007017A));
    ProcessResult shown = Cfemu({"root", root_});
    EXPECT_NE(shown.out.find("connected: yes (pid " + std::to_string(getpid()) + ")"), std::string::npos) << shown.out;
    // The connected provider itself may create placeholders and unregistering needs the connection gone.
    PlaceholderSpec spec{L"own.txt", 1, L"own"};
    EXPECT_EQ(CreatePlaceholder(root_, spec), S_OK);
    EXPECT_EQ(CfUnregisterSyncRoot(Win(root_).c_str()), static_cast<HRESULT>(0x80070187));

    EXPECT_EQ(CfDisconnectSyncRoot(key_), S_OK);
    connected_ = false;
    EXPECT_EQ(CfDisconnectSyncRoot(key_), E_INVALIDARG);
    EXPECT_NE(Cfemu({"root", root_}).out.find("connected: no"), std::string::npos);
    // The root is free for a new connection.
    Connect();
}

TEST_F(ConnectionTest, CallbackInfoOfAFetchRequestedByThisProcess) {
    AddFile("info.txt", "12345678", L"cf\td\ti\tinfo.txt");
    recorder_.source = "12345678";
    Connect();

    DWORD error = ERROR_SUCCESS;
    std::string got = ReadThroughStandIn(Path("info.txt"), &error);

    ASSERT_EQ(error, ERROR_SUCCESS);
    EXPECT_EQ(got, "12345678");
    std::vector<Seen> fetches = SeenOf(CF_CALLBACK_TYPE_FETCH_DATA);
    ASSERT_EQ(fetches.size(), 1u);
    const Seen& fetch = fetches[0];
    EXPECT_EQ(fetch.info.StructSize, 152u);
    EXPECT_EQ(fetch.info.ConnectionKey.Internal, key_.Internal);
    EXPECT_EQ(fetch.info.CallbackContext, &context_);
    EXPECT_EQ(fetch.volumeDosName, "Z:");
    EXPECT_EQ(fetch.normalizedPath, VolumeRelative(Path("info.txt")));
    EXPECT_EQ(fetch.info.FileSize.QuadPart, 8);
    EXPECT_EQ(fetch.identity, Utf16Blob(L"cf\td\ti\tinfo.txt"));
    EXPECT_EQ(fetch.syncRootIdentity, Utf16Blob(L"root-id\tuser"));
    EXPECT_EQ(fetch.params.FetchData.RequiredFileOffset.QuadPart, 0);
    EXPECT_EQ(fetch.params.FetchData.RequiredLength.QuadPart, 8);
    EXPECT_EQ(fetch.params.FetchData.Flags, CF_CALLBACK_FETCH_DATA_FLAG_NONE);
    EXPECT_EQ(fetch.processInfoPid, getpid());
    EXPECT_EQ(fetch.imagePath.rfind("Z:\\", 0), 0u) << fetch.imagePath;
    // Callbacks never run on the requesting thread, and run where the filter raises no notifications.
    EXPECT_NE(fetch.thread, std::this_thread::get_id());
    EXPECT_TRUE(fetch.onCallbackThread);
    EXPECT_FALSE(cfemu::OnCallbackThread());
    ASSERT_TRUE(WaitForSeen(CF_CALLBACK_TYPE_NOTIFY_FILE_CLOSE_COMPLETION, 1));
    const Seen close = SeenOf(CF_CALLBACK_TYPE_NOTIFY_FILE_CLOSE_COMPLETION)[0];
    EXPECT_EQ(close.normalizedPath, VolumeRelative(Path("info.txt")));
    EXPECT_EQ(close.params.CloseCompletion.Flags, 0u);
    EXPECT_EQ(close.identity, Utf16Blob(L"cf\td\ti\tinfo.txt"));
}

TEST_F(ConnectionTest, WithoutProcessInfoFlagTheProcessInfoIsNull) {
    AddFile("np.txt", "x");
    recorder_.source = "x";
    Connect(CF_CONNECT_FLAG_NONE);
    DWORD error = ERROR_SUCCESS;
    ASSERT_EQ(ReadThroughStandIn(Path("np.txt"), &error), "x");
    ASSERT_EQ(SeenOf(CF_CALLBACK_TYPE_FETCH_DATA).size(), 1u);
    EXPECT_EQ(SeenOf(CF_CALLBACK_TYPE_FETCH_DATA)[0].processInfoPid, -1);
}

TEST_F(ConnectionTest, ExecuteChecksSizesTypesAndKeys) {
    AddFile("k.txt", "abc");
    recorder_.source = "abc";
    Connect();
    DWORD error = ERROR_SUCCESS;
    ASSERT_EQ(ReadThroughStandIn(Path("k.txt"), &error), "abc");
    CF_TRANSFER_KEY finished = SeenOf(CF_CALLBACK_TYPE_FETCH_DATA)[0].info.TransferKey;
    const HRESULT canceled = static_cast<HRESULT>(0x8007018E);
    struct Row {
        const char* name;
        ULONG structSize;
        CF_OPERATION_TYPE type;
        ULONG paramSize;
        bool knownConnection;
        HRESULT expected;
    };
    const Row rows[] = {
        {"struct size 47", 47, CF_OPERATION_TYPE_TRANSFER_DATA, 48, true, E_INVALIDARG},
        {"struct size 0", 0, CF_OPERATION_TYPE_TRANSFER_DATA, 48, true, E_INVALIDARG},
        {"transfer param size 39", 48, CF_OPERATION_TYPE_TRANSFER_DATA, 39, true, E_INVALIDARG},
        {"transfer param size 49", 48, CF_OPERATION_TYPE_TRANSFER_DATA, 49, true, E_INVALIDARG},
        {"transfer param size 40, finished key", 48, CF_OPERATION_TYPE_TRANSFER_DATA, 40, true, canceled},
        {"transfer param size 48, finished key", 48, CF_OPERATION_TYPE_TRANSFER_DATA, 48, true, canceled},
        {"ack delete param size 15", 48, CF_OPERATION_TYPE_ACK_DELETE, 15, true, E_INVALIDARG},
        {"ack delete param size 16", 48, CF_OPERATION_TYPE_ACK_DELETE, 16, true, canceled},
        {"ack rename param size 16", 48, CF_OPERATION_TYPE_ACK_RENAME, 16, true, canceled},
        {"retrieve data", 48, CF_OPERATION_TYPE_RETRIEVE_DATA, 48, true, E_INVALIDARG},
        {"unknown connection", 48, CF_OPERATION_TYPE_TRANSFER_DATA, 48, false, canceled},
    };
    std::string data(4096, 'd');
    for (const Row& row : rows) {
        CF_OPERATION_INFO op{};
        op.StructSize = row.structSize;
        op.Type = row.type;
        op.ConnectionKey.Internal = row.knownConnection ? key_.Internal : key_.Internal + 1000;
        op.TransferKey = finished;
        CF_OPERATION_PARAMETERS params{};
        params.ParamSize = row.paramSize;
        params.TransferData.Buffer = data.data();
        params.TransferData.Length.QuadPart = 3;
        EXPECT_EQ(CfExecute(&op, &params), row.expected) << row.name;
    }
}

TEST_F(ConnectionTest, FetchFromACallbackIsServedOnAnotherThreadAndRaisesNoCloseNotification) {
    AddFile("outer.txt", "OUTER!");
    AddFile("inner.txt", "OUTER!");
    recorder_.source = "OUTER!";
    recorder_.nestedRead = Path("inner.txt");
    Connect();

    DWORD error = ERROR_SUCCESS;
    std::string got = ReadThroughStandIn(Path("outer.txt"), &error);

    ASSERT_EQ(error, ERROR_SUCCESS);
    EXPECT_EQ(got, "OUTER!");
    {
        std::lock_guard<std::mutex> lock(recorder_.mutex);
        EXPECT_EQ(recorder_.nestedResult, "OUTER!");
    }
    std::vector<Seen> fetches = SeenOf(CF_CALLBACK_TYPE_FETCH_DATA);
    ASSERT_EQ(fetches.size(), 2u);
    EXPECT_NE(fetches[0].thread, fetches[1].thread);
    // Only this thread's own read of outer.txt is reported closed; the callback's read of inner.txt is not.
    ASSERT_TRUE(WaitForSeen(CF_CALLBACK_TYPE_NOTIFY_FILE_CLOSE_COMPLETION, 1));
    CfDisconnectSyncRoot(key_);
    connected_ = false;
    std::vector<Seen> closes = SeenOf(CF_CALLBACK_TYPE_NOTIFY_FILE_CLOSE_COMPLETION);
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].normalizedPath, VolumeRelative(Path("outer.txt")));
}

TEST_F(ConnectionTest, PoolRunsSixFetchesAtOnce) {
    const int kFiles = 6;
    for (int i = 0; i < kFiles; ++i) {
        // A named number: gcc 12 at -O3 takes "literal" + a temporary string for an overlapping copy (-Wrestrict).
        const std::string number = std::to_string(i);
        AddFile("p" + number + ".txt", "P");
    }
    recorder_.source = "P";
    recorder_.barrier = kFiles;
    Connect();
    std::vector<std::thread> readers;
    std::vector<std::string> results(kFiles);
    for (int i = 0; i < kFiles; ++i) {
        readers.emplace_back([&, i] {
            DWORD error = ERROR_SUCCESS;
            results[i] = ReadThroughStandIn(Path("p" + std::to_string(i) + ".txt"), &error);
        });
    }
    for (std::thread& reader : readers) reader.join();

    for (int i = 0; i < kFiles; ++i) EXPECT_EQ(results[i], "P") << i;
    std::lock_guard<std::mutex> lock(recorder_.mutex);
    EXPECT_EQ(recorder_.maxRunning, kFiles);
}

TEST_F(ConnectionTest, AfterDisconnectNoCallbackArrivesAndPendingReadersAreReleased) {
    AddFile("late.txt", "late");
    AddFile("pending.txt", "pending");
    recorder_.answer = false;  // the fetch stays unanswered until the disconnect
    Connect();
    DWORD pendingError = ERROR_SUCCESS;
    std::thread reader([&] { ReadThroughStandIn(Path("pending.txt"), &pendingError); });
    ASSERT_TRUE(WaitForSeen(CF_CALLBACK_TYPE_FETCH_DATA, 1));
    CF_TRANSFER_KEY pendingKey = SeenOf(CF_CALLBACK_TYPE_FETCH_DATA)[0].info.TransferKey;

    ASSERT_EQ(CfDisconnectSyncRoot(key_), S_OK);
    connected_ = false;
    reader.join();

    EXPECT_EQ(pendingError, ERROR_CLOUD_FILE_PROVIDER_TERMINATED);
    EXPECT_FALSE(IsHydrated(Path("pending.txt")));
    CF_OPERATION_INFO op{};
    op.StructSize = sizeof(op);
    op.Type = CF_OPERATION_TYPE_TRANSFER_DATA;
    op.ConnectionKey = key_;
    op.TransferKey = pendingKey;
    CF_OPERATION_PARAMETERS params{};
    params.ParamSize = sizeof(params);
    params.TransferData.Buffer = "pending";
    params.TransferData.Length.QuadPart = 7;
    EXPECT_EQ(CfExecute(&op, &params), static_cast<HRESULT>(0x8007018E));
    DWORD error = ERROR_SUCCESS;
    EXPECT_EQ(ReadThroughStandIn(Path("late.txt"), &error), "");
    EXPECT_EQ(error, ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING);
    EXPECT_EQ(SeenOf(CF_CALLBACK_TYPE_FETCH_DATA).size(), 1u);
}

}  // namespace
}  // namespace filtertest
