// filter_connection_test.cpp - this test process as the provider: its callbacks, CfExecute's checks, disconnection.
#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "platform/posix/filter/callback_pool.h"
#include "tests/platform/platform_fixture.h"

namespace platformtest {
namespace {

// What one callback received, and where it ran.
struct Seen {
    CF_CALLBACK_INFO info;
    CF_CALLBACK_PARAMETERS params;
    std::string path;
    std::vector<BYTE> rootIdentity;
    int pid;  // -1: no process info
    std::thread::id thread = std::this_thread::get_id();
    bool onCallbackThread = cfemu::OnCallbackThread();
};

// What the callbacks do is set before the connection; everything they receive is kept for the test to examine.
struct Recorder {
    std::mutex mutex;
    std::vector<Seen> fetches, cancels;
    std::string source;      // served as the contents of every fetched file
    std::string nestedRead;  // a placeholder the fetch callback of "outer" reads itself first
    std::string nestedResult;
    std::atomic<bool> answer{true};
    std::atomic<NTSTATUS> status{0};      // the completion status of the answer
    std::atomic<bool> wrongFirst{false};  // the fetch callback first answers wrongly, then rightly
    std::vector<HRESULT> wrongAnswers;    // what CfExecute said to the wrong answers
    // The fetch callback of "outer-N" waits until the gate opens, then reads "inner-N" itself, or the file
    // nestedTarget names for it.
    bool gateClosed = false;
    std::condition_variable gateOpened;
    std::map<std::string, std::string> nestedTarget;
    std::map<std::string, std::string> nestedByName;  // what each such read returned, by the outer file's path
};
Recorder* g_recorder = nullptr;

void Record(std::vector<Seen> Recorder::*list, const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params) {
    const BYTE* id = static_cast<const BYTE*>(info->SyncRootIdentity);
    Seen seen{*info, *params, posix::WideToUtf8(info->NormalizedPath),
              std::vector<BYTE>(id, id + info->SyncRootIdentityLength),
              info->ProcessInfo != nullptr ? int(info->ProcessInfo->ProcessId) : -1};
    std::lock_guard<std::mutex> lock(g_recorder->mutex);
    (g_recorder->*list).push_back(seen);
}

// An operation for the request `info` names, with `data` from `offset` on as the transfer (`length` < 0: all).
struct Op {
    ULONG paramSize = 40;
    CF_OPERATION_TYPE type = CF_OPERATION_TYPE_TRANSFER_DATA;
    LONGLONG keyDelta = 0;  // added to the request key
    ULONG structSize = sizeof(CF_OPERATION_INFO);
    LONGLONG offset = 0, length = -1;
    NTSTATUS status = 0;
};
HRESULT Answer(const CF_CALLBACK_INFO& info, const std::string& data, const Op& how = {}) {
    CF_OPERATION_INFO op{};
    op.StructSize = how.structSize;
    op.Type = how.type;
    op.ConnectionKey = info.ConnectionKey;
    op.TransferKey = info.TransferKey;
    op.RequestKey.QuadPart = info.RequestKey.QuadPart + how.keyDelta;
    CF_OPERATION_PARAMETERS params{};
    params.ParamSize = how.paramSize;
    params.TransferData.CompletionStatus = how.status;
    params.TransferData.Buffer = data.data() + how.offset;
    params.TransferData.Offset.QuadPart = how.offset;
    params.TransferData.Length.QuadPart = how.length >= 0 ? how.length : LONGLONG(data.size()) - how.offset;
    return CfExecute(&op, &params);
}

std::string ReadThroughStandIn(const std::string& path, DWORD* error = nullptr) {
    HANDLE file = Open(path, GENERIC_READ, FILE_SHARE_READ);
    std::string data(64 * 1024, '\0');
    DWORD got = 0;
    const DWORD result = ErrorOf(file != INVALID_HANDLE_VALUE && ReadFile(file, data.data(), 65536, &got, nullptr));
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (error != nullptr) *error = result;
    data.resize(got);
    return data;
}

void CALLBACK OnFetch(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params) {
    Record(&Recorder::fetches, info, params);
    Recorder& r = *g_recorder;
    if (!r.nestedRead.empty() && posix::WideToUtf8(info->NormalizedPath).find("outer") != std::string::npos) {
        DWORD error = ERROR_SUCCESS;
        std::string got = ReadThroughStandIn(r.nestedRead, &error);
        std::lock_guard<std::mutex> lock(r.mutex);
        r.nestedResult = error == ERROR_SUCCESS ? got : "error " + std::to_string(error);
    }
    std::string inner = PosixPathOf(L"Z:" + std::wstring(info->NormalizedPath));
    if (inner.rfind("outer-") != std::string::npos) {
        {
            std::unique_lock<std::mutex> lock(r.mutex);
            r.gateOpened.wait(lock, [&] { return !r.gateClosed; });
        }
        const std::string outer = inner;
        inner.replace(inner.rfind("outer-"), 6, "inner-");
        {
            std::lock_guard<std::mutex> lock(r.mutex);
            if (r.nestedTarget.count(outer) != 0) inner = r.nestedTarget[outer];
        }
        DWORD error = ERROR_SUCCESS;
        const std::string got = ReadThroughStandIn(inner, &error);
        std::lock_guard<std::mutex> lock(r.mutex);
        r.nestedByName[outer] = error == ERROR_SUCCESS ? got : "error " + std::to_string(error);
    }
    if (r.wrongFirst) {
        // ParamSize 48 and 16, a wrong request key; a good first piece, then three that break the 4 KiB rule: a
        // short middle piece, an unaligned offset, and an unaligned length one byte short of the end.
        const LONGLONG size = static_cast<LONGLONG>(r.source.size());
        std::vector<HRESULT> results = {Answer(*info, r.source, {.paramSize = 48}),
                                        Answer(*info, r.source, {.paramSize = 16}),
                                        Answer(*info, r.source, {.keyDelta = 1}),
                                        Answer(*info, r.source, {.length = 4096}),
                                        Answer(*info, r.source, {.offset = 4096, .length = 100}),
                                        Answer(*info, r.source, {.offset = 4097}),
                                        Answer(*info, r.source, {.offset = 4096, .length = size - 4097})};
        std::lock_guard<std::mutex> lock(r.mutex);
        r.wrongAnswers = results;
    }
    if (r.answer) Answer(*info, r.source, {.offset = r.wrongFirst ? 4096 : 0, .status = r.status});
}

void CALLBACK OnCancel(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params) {
    Record(&Recorder::cancels, info, params);
}

class ConnectionTest : public RegisteredRootTest {
  protected:
    void SetUp() override {
        RegisteredRootTest::SetUp();
        g_recorder = &recorder_;
    }
    void TearDown() override {
        if (connected_) CfDisconnectSyncRoot(key_);
        unsetenv("CFEMU_REQUEST_TIMEOUT_MS");
        RegisteredRootTest::TearDown();
    }

    void Connect(CF_CONNECT_FLAGS flags = CF_CONNECT_FLAG_REQUIRE_PROCESS_INFO |
                                          CF_CONNECT_FLAG_REQUIRE_FULL_FILE_PATH) {
        CF_CALLBACK_REGISTRATION table[] = {{CF_CALLBACK_TYPE_FETCH_DATA, OnFetch},
                                            {CF_CALLBACK_TYPE_CANCEL_FETCH_DATA, OnCancel},
                                            {CF_CALLBACK_TYPE_NONE, nullptr}};
        ASSERT_EQ(CfConnectSyncRoot(Win(root_).c_str(), table, &context_, flags, &key_), S_OK);
        connected_ = true;
    }
    void Disconnect() {
        ASSERT_EQ(CfDisconnectSyncRoot(key_), S_OK);
        connected_ = false;
    }

    // What the callbacks have recorded in `list`, once it holds `count` or the deadline has passed.
    std::vector<Seen> SeenIn(std::vector<Seen> Recorder::*list, size_t count = 0) {
        const auto enough = [&] {
            std::lock_guard<std::mutex> lock(recorder_.mutex);
            return (recorder_.*list).size() >= count;
        };
        WaitUntil(enough, 20000);
        std::lock_guard<std::mutex> lock(recorder_.mutex);
        return recorder_.*list;
    }

    Recorder recorder_;
    CF_CONNECTION_KEY key_{};
    bool connected_ = false;
    int context_ = 42;
};

// Who may connect where; operations wrong in one field each for a finished request (invalid, or canceled when only the
// request is gone); a disconnect releases a waiting reader; without the process-info flag callbacks have none.
TEST_F(ConnectionTest, ConnectStatusesWhatCfExecuteRefusesAndDisconnection) {
    CF_CALLBACK_REGISTRATION table[] = {{CF_CALLBACK_TYPE_NONE, nullptr}};
    CF_CONNECTION_KEY key{};
    EXPECT_EQ(CfConnectSyncRoot(Win(base_).c_str(), table, nullptr, 0, &key), Hr(0x80070186));

    for (const char* name : {"k.txt", "pending.txt", "late.txt"}) AddFile(name, "abc");
    recorder_.source = "abc";
    Connect();
    EXPECT_EQ(CfConnectSyncRoot(Win(root_).c_str(), table, nullptr, 0, &key), Hr(0x8007017A));
    EXPECT_EQ(RunProcess({std::string(VOSKE_BINARY_DIR) + "/filter_provider", root_, log_}, 20000).exitCode, 1);
    EXPECT_EQ(CountLines(log_, "CONNECT_FAILED hr=0x8007017A"), 1);
    // The connected provider itself may create placeholders and set their in-sync state (through a handle with
    // write-DAC access only, which changes neither data nor times); unregistering needs the connection gone.
    EXPECT_EQ(CreatePlaceholder(root_, PlaceholderSpec{L"own.txt", 1, L"own"}), S_OK);
    const struct stat created = StatOf(Path("own.txt"));
    HANDLE own = Open(Path("own.txt"), WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    for (CF_IN_SYNC_STATE state : {CF_IN_SYNC_STATE_NOT_IN_SYNC, CF_IN_SYNC_STATE_IN_SYNC}) {
        EXPECT_EQ(CfSetInSyncState(own, state, CF_SET_IN_SYNC_FLAG_NONE, nullptr), S_OK);
        EXPECT_EQ(StateOf(Path("own.txt")).flags & cfemu::kStateInSync, state == CF_IN_SYNC_STATE_IN_SYNC ? cfemu::kStateInSync : 0);
    }
    CloseHandle(own);
    const struct stat after = StatOf(Path("own.txt"));
    EXPECT_TRUE(after.st_mtim.tv_sec == created.st_mtim.tv_sec && after.st_mtim.tv_nsec == created.st_mtim.tv_nsec);
    EXPECT_TRUE(HoldsNoData(Path("own.txt")));
    EXPECT_EQ(CfUnregisterSyncRoot(Win(root_).c_str()), Hr(0x8007017C));

    ASSERT_EQ(ReadThroughStandIn(Path("k.txt")), "abc");
    CF_CALLBACK_INFO finished = SeenIn(&Recorder::fetches)[0].info;
    const HRESULT canceled = Hr(0x8007018E), bad = E_INVALIDARG;
    const CF_OPERATION_TYPE transfer = CF_OPERATION_TYPE_TRANSFER_DATA, ackDelete = CF_OPERATION_TYPE_ACK_DELETE,
                            ackRename = CF_OPERATION_TYPE_ACK_RENAME;  // an acknowledgement's parameters: 16 bytes
    const struct {
        ULONG structSize;
        CF_OPERATION_TYPE type;
        ULONG paramSize;
        HRESULT expected;
    } rows[] = {
        {47, transfer, 40, bad},       {48, transfer, 40, canceled}, {48, transfer, 48, bad},
        {48, ackDelete, 16, canceled}, {48, ackRename, 40, bad},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Answer(finished, "abc", {.paramSize = row.paramSize, .type = row.type, .structSize = row.structSize}),
                  row.expected)
            << row.structSize << " " << row.type << " " << row.paramSize;
    }
    finished.ConnectionKey.Internal += 1000;
    EXPECT_EQ(Answer(finished, "abc"), canceled);  // an unknown connection

    recorder_.answer = false;  // the next fetch stays unanswered until the disconnect
    DWORD pendingError = ERROR_SUCCESS, error = ERROR_SUCCESS;
    std::thread reader([&] { ReadThroughStandIn(Path("pending.txt"), &pendingError); });
    const Seen pending = SeenIn(&Recorder::fetches, 2).back();
    Disconnect();
    reader.join();
    EXPECT_EQ(pendingError, ERROR_CLOUD_FILE_PROVIDER_TERMINATED);
    EXPECT_FALSE(IsHydrated(Path("pending.txt")));
    EXPECT_EQ(Answer(pending.info, "abc"), canceled);
    EXPECT_EQ(ReadThroughStandIn(Path("late.txt"), &error), "");
    EXPECT_EQ(error, ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING);
    EXPECT_EQ(SeenIn(&Recorder::fetches).size(), 2u);

    recorder_.answer = true;
    Connect(CF_CONNECT_FLAG_NONE);
    ASSERT_EQ(ReadThroughStandIn(Path("late.txt")), "abc");
    EXPECT_EQ(SeenIn(&Recorder::fetches).back().pid, -1);
}

// A failure, success without any data, or no answer in time (then the provider is told of the cancel): the reader gets
// the mapped error only.
TEST_F(ConnectionTest, FailedAndUnansweredFetches) {
    recorder_.source = "contents";
    for (const char* name : {"failed.txt", "late.txt", "empty.txt"}) AddFile(name, recorder_.source);
    const auto readFails = [&](const char* name, DWORD expected) {
        DWORD error = ERROR_SUCCESS;
        EXPECT_EQ(ReadThroughStandIn(Path(name), &error), "") << name;
        EXPECT_EQ(error, expected) << name;
        EXPECT_FALSE(IsHydrated(Path(name))) << name;
        EXPECT_TRUE(HoldsNoData(Path(name))) << name;
    };
    StartProvider({"--squat", "0"});  // answers every request with success, transferring nothing
    readFails("empty.txt", 389);
    HANDLE file = Open(Path("empty.txt"), GENERIC_READ, FILE_SHARE_READ);
    EXPECT_EQ(CfHydratePlaceholder(file, {}, {.QuadPart = CF_EOF}, CF_HYDRATE_FLAG_NONE, nullptr), Hr(0x80070185));
    CloseHandle(file);
    EXPECT_TRUE(!IsHydrated(Path("empty.txt")) && HoldsNoData(Path("empty.txt")));
    EXPECT_EQ(CountLines(log_, "REQUEST kind=1 "), 2);  // both fetches reached it: the result is what was refused
    KillProvider();
    recorder_.status = static_cast<NTSTATUS>(0xC000CF12);  // as the program answers a fetch it cannot serve
    Connect();
    readFails("failed.txt", 389);  // ERROR_CLOUD_FILE_UNSUCCESSFUL
    Disconnect();
    setenv("CFEMU_REQUEST_TIMEOUT_MS", "300", 1);  // a short request timeout, for the request left unanswered
    recorder_.answer = false;
    Connect();
    readFails("late.txt", 426);  // ERROR_CLOUD_FILE_REQUEST_TIMEOUT
    const std::vector<Seen> cancels = SeenIn(&Recorder::cancels, 1);
    ASSERT_EQ(cancels.size(), 1u);
    EXPECT_EQ(cancels[0].path, VolumeRelative(Path("late.txt")));
    EXPECT_EQ(cancels[0].params.Cancel.Flags, CF_CALLBACK_CANCEL_FLAG_IO_TIMEOUT);
    EXPECT_EQ(cancels[0].params.Cancel.FetchData.Length.QuadPart, 8);
    EXPECT_EQ(cancels[0].info.TransferKey.QuadPart, SeenIn(&Recorder::fetches).back().info.TransferKey.QuadPart);
}

// The callback reads another placeholder itself, then answers wrongly (see OnFetch), then rightly, which completes.
TEST_F(ConnectionTest, CallbackInfoNestedFetchAndWrongAnswers) {
    recorder_.source = PatternBytes(3 * 4096 + 5);
    for (const char* name : {"outer.txt", "inner.txt"}) AddFile(name, recorder_.source);
    recorder_.nestedRead = Path("inner.txt");
    recorder_.wrongFirst = true;
    Connect();

    DWORD error = ERROR_SUCCESS;
    EXPECT_TRUE(ReadThroughStandIn(Path("outer.txt"), &error) == recorder_.source);
    EXPECT_EQ(error, ERROR_SUCCESS);
    std::vector<Seen> fetches = SeenIn(&Recorder::fetches);
    ASSERT_EQ(fetches.size(), 2u);
    {
        std::lock_guard<std::mutex> lock(recorder_.mutex);
        EXPECT_TRUE(recorder_.nestedResult == recorder_.source) << recorder_.nestedResult.substr(0, 20);
        const HRESULT bad = E_INVALIDARG;
        EXPECT_EQ(recorder_.wrongAnswers, (std::vector<HRESULT>{bad, bad, bad, S_OK, bad, bad, bad}));
    }
    EXPECT_NE(fetches[0].thread, fetches[1].thread);
    const Seen& fetch = fetches[0];
    EXPECT_EQ(fetch.path, VolumeRelative(Path("outer.txt")));
    EXPECT_EQ(fetch.info.StructSize, 152u);
    EXPECT_EQ(fetch.info.ConnectionKey.Internal, key_.Internal);
    EXPECT_EQ(fetch.info.CallbackContext, &context_);
    EXPECT_EQ(fetch.rootIdentity, Utf16Blob(L"root-id\tuser"));
    EXPECT_EQ(fetch.pid, getpid());
    // Callbacks never run on the requesting thread, and run where the filter raises no notifications.
    EXPECT_NE(fetch.thread, std::this_thread::get_id());
    EXPECT_TRUE(fetch.onCallbackThread);
}

// Every callback thread is taken by a fetch that reads another placeholder itself, with more fetches queued past the
// bound: the nested fetches go ahead of the queue on threads of their own, so every read completes with its bytes.
// Each of them reads a file whose fetch waits in the queue: those go first (else every thread would wait on the queue
// for good), and still reach the provider once.
TEST_F(ConnectionTest, AtMost64CallbacksRunAndNestedFetchesGoAheadOfTheQueue) {
    constexpr int kQueued = cfemu::kMaximumPoolThreads, kOuter = cfemu::kMaximumPoolThreads + kQueued;
    recorder_.source = PatternBytes(3 * 4096 + 7, 5);
    for (int k = 0; k < kOuter; ++k) {
        AddFile("outer-" + std::to_string(k) + ".txt", recorder_.source);
        AddFile("inner-" + std::to_string(k) + ".txt", recorder_.source);
    }
    recorder_.gateClosed = true;
    setenv("CFEMU_REQUEST_TIMEOUT_MS", "20000", 1);  // a fetch that never gets a thread fails instead of hanging
    Connect();
    std::vector<std::string> got(kOuter);
    std::vector<DWORD> errors(kOuter, ERROR_SUCCESS);
    std::vector<std::thread> readers;
    for (int k = 0; k < kOuter; ++k) {
        readers.emplace_back([&, k] { got[k] = ReadThroughStandIn(Path("outer-" + std::to_string(k) + ".txt"), &errors[k]); });
    }
    cfemu::ConnectionCounts counts;
    EXPECT_TRUE(WaitUntil([&] { return cfemu::ConnectionNow(key_, &counts) && counts.held == kOuter && counts.queued == kQueued; },
                          20000));
    EXPECT_EQ(counts.running, cfemu::kMaximumPoolThreads);
    EXPECT_EQ(counts.threads, cfemu::kMaximumPoolThreads);
    EXPECT_EQ(counts.readers, kOuter);
    {
        std::lock_guard<std::mutex> lock(recorder_.mutex);
        std::set<std::string> started, queued;
        for (const Seen& fetch : recorder_.fetches) started.insert(PosixPathOf(L"Z:" + posix::Utf8ToWide(fetch.path)));
        for (int k = 0; k < kOuter; ++k) {
            if (started.count(Path("outer-" + std::to_string(k) + ".txt")) == 0) {
                queued.insert(Path("outer-" + std::to_string(k) + ".txt"));
            }
        }
        EXPECT_EQ(queued.size(), size_t(kQueued));
        auto runningOuter = started.begin();
        for (auto target = queued.begin(); target != queued.end() && runningOuter != started.end(); ++target) {
            recorder_.nestedTarget[*runningOuter++] = *target;
        }
        recorder_.gateClosed = false;
    }
    recorder_.gateOpened.notify_all();
    for (std::thread& reader : readers) reader.join();
    for (int k = 0; k < kOuter; ++k) {
        EXPECT_EQ(errors[k], ERROR_SUCCESS) << k;
        EXPECT_TRUE(got[k] == recorder_.source) << k;
        std::lock_guard<std::mutex> lock(recorder_.mutex);
        const std::string& nested = recorder_.nestedByName[Path("outer-" + std::to_string(k) + ".txt")];
        EXPECT_TRUE(nested == recorder_.source) << k << ": " << nested.substr(0, 20);
    }
    EXPECT_EQ(SeenIn(&Recorder::fetches).size(), size_t(kOuter + kQueued));  // the queued ones read their inner file
}

// A reader that goes away (its process killed) while its fetch is held: with no reader left the fetch ends and the
// provider is told (CANCEL_FETCH_DATA, no flag, the fetch's key and length); its answer then comes too late and the
// file stays without data. A reader that shares the fetch keeps it going and gets the bytes.
TEST_F(ConnectionTest, AReaderThatGoesAwayCancelsItsFetchUnlessAnotherSharesIt) {
    const struct Row {
        const char* name;
        int readers;  // the first is killed
    } rows[] = {{"the only reader", 1}, {"one of two readers", 2}};
    recorder_.source = PatternBytes(2 * 4096 + 3, 8);
    for (const Row& row : rows) AddFile(std::string(row.name) + ".bin", recorder_.source);
    recorder_.answer = false;  // the test answers
    Connect();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string path = Path(std::string(row.name) + ".bin");
        const size_t fetchesBefore = SeenIn(&Recorder::fetches).size(), cancelsBefore = SeenIn(&Recorder::cancels).size();
        std::vector<std::unique_ptr<BackgroundProcess>> readers;
        cfemu::ConnectionCounts counts;
        for (int i = 0; i < row.readers; ++i) {
            readers.push_back(std::make_unique<BackgroundProcess>(std::vector<std::string>{VOSKE_CFEMU, "cat", path}));
            ASSERT_TRUE(WaitUntil([&] { return cfemu::ConnectionNow(key_, &counts) && counts.readers == i + 1; }, 20000));
        }
        const Seen fetch = SeenIn(&Recorder::fetches, fetchesBefore + 1).back();
        ASSERT_EQ(fetch.path, VolumeRelative(path));
        readers[0]->Signal(SIGKILL);
        int exitCode = 0;
        ASSERT_TRUE(readers[0]->Wait(20000, &exitCode));
        EXPECT_EQ(exitCode, 128 + SIGKILL);
        ASSERT_TRUE(WaitUntil([&] { return cfemu::ConnectionNow(key_, &counts) && counts.readers == row.readers - 1; },
                              20000));
        if (row.readers == 1) {
            const std::vector<Seen> cancels = SeenIn(&Recorder::cancels, cancelsBefore + 1);
            ASSERT_EQ(cancels.size(), cancelsBefore + 1);
            EXPECT_EQ(cancels.back().path, VolumeRelative(path));
            EXPECT_EQ(cancels.back().params.Cancel.Flags, CF_CALLBACK_CANCEL_FLAG_NONE);
            EXPECT_EQ(cancels.back().info.TransferKey.QuadPart, fetch.info.TransferKey.QuadPart);
            EXPECT_EQ(cancels.back().params.Cancel.FetchData.FileOffset.QuadPart, 0);
            EXPECT_EQ(cancels.back().params.Cancel.FetchData.Length.QuadPart, LONGLONG(recorder_.source.size()));
            EXPECT_EQ(counts.held, 0);
            EXPECT_EQ(Answer(fetch.info, recorder_.source), Hr(0x8007018E));
            EXPECT_FALSE(IsHydrated(path));
            EXPECT_TRUE(HoldsNoData(path));
        } else {
            EXPECT_EQ(counts.held, 1);  // still held for the other reader: no cancel
            EXPECT_EQ(Answer(fetch.info, recorder_.source), S_OK);
            ASSERT_TRUE(readers[1]->Wait(20000, &exitCode));
            EXPECT_EQ(exitCode, 0) << readers[1]->Err();
            EXPECT_TRUE(readers[1]->Out() == recorder_.source);
            EXPECT_TRUE(IsHydrated(path));
            EXPECT_EQ(SeenIn(&Recorder::cancels).size(), cancelsBefore);
        }
        EXPECT_EQ(SeenIn(&Recorder::fetches).size(), fetchesBefore + 1);
    }
}

}  // namespace
}  // namespace platformtest
