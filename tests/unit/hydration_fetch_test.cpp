// hydration_fetch_test.cpp - the fetch-data and cancel callbacks and the hydrate/dehydrate verbs.
#include "hydration/explicit_hydration.h"
#include "hydration/fetch_data.h"
#include "tests/unit/unit_fixture.h"

namespace {

constexpr NTSTATUS kUnsuccessful = static_cast<NTSTATUS>(0xC000CF12);
constexpr LONGLONG kMiB = 1024 * 1024;
const char kEntered[] = "[NO_NETWORK] FETCH_DATA entered - sockets forbidden on this thread";
const char kShort[] = "[ERROR] HYDRATE source ends before the placeholder - rest refused";
const char kMissing[] = "[ERROR] HYDRATE staging missing - refusing (no network fallback)";
const char kUnsafe[] = "[ERROR] HYDRATE unsafe identity - refusing";

struct Sent {
    NTSTATUS status;
    LONGLONG offset, length;
};

std::string Served(unsigned long long bytes, bool cache = false, const char* hr = "0x00000000") {
    return std::string("[HYDRATE] ") + (cache ? "HYDRATE_FROM_ENGINE_CACHE" : "HYDRATE_FROM_STAGING") +
           " bytes=" + std::to_string(bytes) + " hr=" + hr + " (no network)";
}

// Runs one fetch and checks every transfer it sent: exact ParamSize 40, the echoed keys, and for data the bytes
// of `source` at that offset.
void RunFetch(const FakeCloudFiles& fake, Request& fetch, LONGLONG offset, LONGLONG length, const std::vector<Sent>& sent,
              const std::string& source) {
    fetch.params.FetchData.RequiredFileOffset.QuadPart = offset;
    fetch.params.FetchData.RequiredLength.QuadPart = length;
    OnFetchData(&fetch.info, &fetch.params);
    const std::vector<RecordedCall> calls = fake.CallsOf("Execute");
    ASSERT_EQ(calls.size(), sent.size());
    for (size_t i = 0; i < calls.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "transfer " << i);
        const CF_OPERATION_PARAMETERS& params = calls[i].opParams;
        ExpectEchoedKeys(calls[i], CF_OPERATION_TYPE_TRANSFER_DATA);
        EXPECT_EQ(params.ParamSize, 40u);  // offset 8 + TransferData
        EXPECT_EQ(params.TransferData.Flags, CF_OPERATION_TRANSFER_DATA_FLAG_NONE);
        EXPECT_EQ(params.TransferData.CompletionStatus, sent[i].status);
        EXPECT_EQ(params.TransferData.Offset.QuadPart, sent[i].offset);
        EXPECT_EQ(params.TransferData.Length.QuadPart, sent[i].length);
        if (sent[i].status == 0) {
            EXPECT_TRUE(std::string(calls[i].transferBytes.begin(), calls[i].transferBytes.end()) ==
                        source.substr(static_cast<size_t>(sent[i].offset), static_cast<size_t>(sent[i].length)));
        }
    }
}

}  // namespace

TEST(FetchData, ServesRangesFromTheRightSourceAndRefusesWhatItCannot) {
    const HRESULT invalid = static_cast<HRESULT>(0x80070057);
    struct Row {
        const char* name;
        std::optional<std::wstring> identity;
        std::string staging, cache;  // files written with `size` pattern bytes, when named
        size_t size;
        LONGLONG placeholder, offset, length;
        std::vector<Sent> sent;
        std::vector<std::string> log;  // after the entry line
        int failCall = 0;              // this call of the platform answers E_INVALIDARG
    } rows[] = {
        {"demo from staging", L"hello-from-engine.txt", "hello-from-engine.txt", "", 93, 93, 0, 4096, {{0, 0, 93}},
         {Served(93)}},
        {"demo, the cache file wins", L"hello-from-engine.txt", "hello-from-engine.txt", "hello-from-engine.txt", 93,
         0, 0, 4096, {{0, 0, 93}}, {Served(93, true)}},
        {"no identity", std::nullopt, "hello-from-engine.txt", "", 93, 0, 0, 4096, {{0, 0, 93}}, {Served(93)}},
        {"path identity in the cache", L"d1\\i1\\x.bin", "", "d1/i1/x.bin", 200, 0, 0, 4096, {{0, 0, 200}},
         {Served(200, true)}},
        {"path identity in staging", L"d1\\i1\\x.bin", "d1/i1/x.bin", "", 200, 0, 0, 4096, {{0, 0, 200}},
         {Served(200)}},
        {"cache reference", L"cf\td1\ti1\tx.bin", "", "d1/i1/x.bin", 200, 0, 0, 4096, {{0, 0, 200}},
         {Served(200, true)}},
        // An empty id adds no level, as it does when the manifest entry is seeded.
        {"cache reference, empty ids", L"cf\t\t\tx.bin", "", "x.bin", 5, 0, 0, 4096, {{0, 0, 5}}, {Served(5, true)}},
        {"cut at the source's end", L"f.bin", "f.bin", "", 10, 0, 0, 4096, {{0, 0, 10}}, {Served(10)}},
        {"cut from an inner offset", L"f.bin", "f.bin", "", 5000, 0, 4096, 8192, {{0, 4096, 904}}, {Served(904)}},
        {"offset at the end: zero bytes", L"f.bin", "f.bin", "", 10, 0, 10, 4096, {{0, 10, 0}}, {Served(0)}},
        {"empty source", L"f.bin", "f.bin", "", 0, 0, 0, 0, {{0, 0, 0}}, {Served(0)}},
        {"offset beyond the end", L"f.bin", "f.bin", "", 10, 0, 4096, 4096, {{kUnsuccessful, 4096, 4096}}, {}},
        {"the largest single piece", L"f.bin", "f.bin", "", 4 * kMiB, 0, 0, 4 * kMiB, {{0, 0, 4 * kMiB}},
         {Served(4 * kMiB)}},
        {"aligned 4 MiB pieces", L"f.bin", "f.bin", "", 9 * kMiB + 1, 0, 0, 9 * kMiB + 1,
         {{0, 0, 4 * kMiB}, {0, 4 * kMiB, 4 * kMiB}, {0, 8 * kMiB, kMiB + 1}}, {Served(9 * kMiB + 1)}},
        // The refused second piece is answered with the failure, so the reader does not wait for it.
        {"a refused piece ends the transfers", L"f.bin", "f.bin", "", 9 * kMiB, 0, 0, 9 * kMiB,
         {{0, 0, 4 * kMiB}, {0, 4 * kMiB, 4 * kMiB}, {kUnsuccessful, 4 * kMiB, 5 * kMiB}},
         {Served(8 * kMiB, false, "0x80070057")}, 2},
        // A source shorter than the placeholder: what it has is served, the rest refused at once.
        {"short, unaligned end", L"f.bin", "f.bin", "", 5, 100, 0, 4096, {{0, 0, 5}, {kUnsuccessful, 5, 4091}},
         {kShort, Served(5)}},
        {"short, aligned end", L"f.bin", "f.bin", "", 8192, 16384, 0, 16384,
         {{0, 0, 8192}, {kUnsuccessful, 8192, 8192}}, {kShort, Served(8192)}},
        {"short, inner offset", L"f.bin", "f.bin", "", 5000, 9000, 4096, 4904,
         {{0, 4096, 904}, {kUnsuccessful, 5000, 4000}}, {kShort, Served(904)}},
        {"request ends inside a short source", L"f.bin", "f.bin", "", 10, 100, 0, 8, {{0, 0, 8}}, {Served(8)}},
        {"a longer source is no fault", L"f.bin", "f.bin", "", 200, 100, 0, 4096, {{0, 0, 200}}, {Served(200)}},
        {"in neither place", L"bench-00001.txt", "", "", 0, 0, 0, 4096, {{kUnsuccessful, 0, 4096}}, {kMissing}},
        // A path identity is not something the engine can download: no record.
        {"path identity naming a product cache path", L"sub\\VOSKE\\Cache\\gone.bin", "", "", 0, 0, 0, 4096,
         {{kUnsuccessful, 0, 4096}}, {"[HYDRATE] cache miss - queue local download, no socket", kMissing}},
        // Unsafe identities are refused before any file is looked at, even one that is there.
        {"device as cache file name", L"cf\td\ti\tCON", "", "d/i/CON", 5, 0, 0, 4096, {{kUnsuccessful, 0, 4096}},
         {kUnsafe}},
        {"unsafe id", L"cf\t..\ti\tx.bin", "", "", 0, 0, 0, 4096, {{kUnsuccessful, 0, 4096}}, {kUnsafe}},
        {"path leaving staging", L"..\\secret.txt", "", "", 0, 0, 0, 4096, {{kUnsuccessful, 0, 4096}}, {kUnsafe}},
    };
    for (Row& row : rows) {
        SCOPED_TRACE(row.name);
        Scene scene;
        if (row.failCall != 0) scene.fake.FailCall(row.failCall, invalid);
        const std::string source = PatternBytes(row.size);
        if (!row.staging.empty()) Put(scene.Staging() + "/" + row.staging, source);
        if (!row.cache.empty()) Put(scene.Cache() + "/" + row.cache, source);
        Request fetch(row.identity);
        fetch.info.FileSize.QuadPart = row.placeholder;
        RunFetch(scene.fake, fetch, row.offset, row.length, row.sent, source);
        row.log.insert(row.log.begin(), kEntered);
        EXPECT_EQ(scene.Log(), row.log);
        // No record; a refused identity does not even make the queue's directories.
        EXPECT_TRUE(ListDirectory(scene.Inbox()).empty());
        if (row.log.back() == kUnsafe) {
            EXPECT_FALSE(FileExists(scene.env.ProductDir() + "/Queue"));
        }
    }
}

TEST(FetchData, FailedReadIsAnsweredWithTheFailureTransferAndACancelOnlyLogged) {
    TempLocalAppData env;
    // The source is itself a dehydrated placeholder of the emulated platform with no provider connected, so it
    // opens and has a size, but every read of it fails.
    const std::wstring staging = ProviderPaths.staging;
    CreatePlatformPlaceholder(staging, L"unreadable.bin", 8192, L"unreadable.bin");
    {
        FakeCloudFiles fake;
        Request fetch(std::wstring(L"unreadable.bin"));
        RunFetch(fake, fetch, 0, 8192, {{kUnsuccessful, 0, 8192}}, "");
        // A cancel is only logged: the platform is not called again.
        OnCancelFetchData(&fetch.info, &fetch.params);
        EXPECT_EQ(fake.Calls().size(), 1u);
        EXPECT_EQ(LogMessages(env.LogFile()), (std::vector<std::string>{kEntered, "[ERROR] ReadFile staging failed",
                                                                        "[HYDRATE] CANCEL_FETCH_DATA"}));
    }
    EXPECT_EQ(PlatformCloudFilesBackend().UnregisterSyncRoot(staging.c_str()), S_OK);
}

TEST(ExplicitHydration, OpensCallsTheWholeFileAndReportsTheStatus) {
    // Without the placeholder the open fails (ERROR_FILE_NOT_FOUND) and the platform is not asked.
    struct Row {
        bool dehydrate, placeholderExists;
        HRESULT status;
        std::string line;
    } rows[] = {
        {false, true, S_OK, "[HYDRATE] CfHydratePlaceholder hr=0x00000000 probe_read=1"},
        {false, true, static_cast<HRESULT>(0x8007016A),
         "[HYDRATE] CfHydratePlaceholder hr=0x8007016A probe_read=1 - no provider is connected to the sync root (run "
         "connect first)"},
        {false, false, S_OK, "[ERROR] Placeholder open failed gle=2 (is connect running?)"},
        {true, true, S_OK, "[DEHYDRATE] CfDehydratePlaceholder hr=0x00000000 (identity kept)"},
        {true, true, static_cast<HRESULT>(0x80070179),
         "[DEHYDRATE] CfDehydratePlaceholder hr=0x80070179 (identity kept) - the placeholder holds a change not yet "
         "written back"},
        {true, false, S_OK, "[ERROR] Dehydrate open failed"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        Scene scene;
        const char* op = row.dehydrate ? "Dehydrate" : "Hydrate";
        scene.fake.SetStatus(op, row.status);
        if (row.placeholderExists) Put(scene.env.SyncRoot() + "/hello-from-engine.txt", "VOSKE");
        EXPECT_EQ(row.dehydrate ? ExplicitDehydrate() : ExplicitHydrate(L"hello-from-engine.txt"),
                  row.placeholderExists ? row.status : static_cast<HRESULT>(0x80070002));
        const std::vector<RecordedCall> calls = scene.fake.CallsOf(op);
        ASSERT_EQ(calls.size(), row.placeholderExists ? 1u : 0u);
        for (const RecordedCall& call : calls) {
            EXPECT_EQ(call.offset, 0);
            EXPECT_EQ(call.length, -1);
            EXPECT_EQ(call.flags, 0u);
            EXPECT_FALSE(call.overlappedGiven);
        }
        EXPECT_EQ(scene.Log(), std::vector<std::string>{row.line});
    }
}
