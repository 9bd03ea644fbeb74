// hydration_fetch_test.cpp - the fetch-data and cancel callbacks and the hydrate/dehydrate verbs, against the
// recording fake of the platform and real source files in a temporary LOCALAPPDATA.
#include "hydration/explicit_hydration.h"
#include "hydration/fetch_data.h"
#include "layout/provider_paths.h"
#include "placeholders/identity.h"
#include "tests/support/fake_cloud_files.h"
#include "tests/support/processes.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

namespace {

namespace fs = std::filesystem;

constexpr NTSTATUS kUnsuccessful = static_cast<NTSTATUS>(0xC000CF12);
constexpr LONGLONG kMiB = 1024 * 1024;

// Bytes whose value depends on their offset, so a transfer from the wrong place cannot pass.
std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 4096) & 0xFF);
    return bytes;
}

void WriteFile(const std::string& path, const std::string& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    WriteFileBytes(path, bytes);
}

// A fetch request as the platform would hand it over: identity blob, keys and the required range.
struct Fetch {
    std::vector<BYTE> blob;
    CF_CALLBACK_INFO info{};
    CF_CALLBACK_PARAMETERS params{};

    Fetch(std::optional<std::wstring> identity, LONGLONG offset, LONGLONG length) {
        if (identity) blob = EncodeIdentityBlob(*identity);
        info.StructSize = sizeof(info);
        info.ConnectionKey.Internal = 0x7711;
        info.TransferKey.QuadPart = 0x5522;
        info.RequestKey.QuadPart = 0x3344;
        info.FileIdentity = blob.empty() ? nullptr : blob.data();
        info.FileIdentityLength = static_cast<DWORD>(blob.size());
        params.ParamSize = sizeof(params);
        params.FetchData.RequiredFileOffset.QuadPart = offset;
        params.FetchData.RequiredLength.QuadPart = length;
    }
    void Run() { OnFetchData(&info, &params); }
};

struct Transfer {
    NTSTATUS status;
    LONGLONG offset;
    LONGLONG length;
    std::string bytes;
};

std::vector<Transfer> Transfers(const FakeCloudFiles& fake) {
    std::vector<Transfer> transfers;
    for (const RecordedCall& call : fake.CallsOf("Execute")) {
        EXPECT_EQ(call.opInfo.StructSize, 48u);
        EXPECT_EQ(call.opInfo.Type, CF_OPERATION_TYPE_TRANSFER_DATA);
        EXPECT_EQ(call.opInfo.ConnectionKey.Internal, 0x7711);
        EXPECT_EQ(call.opInfo.TransferKey.QuadPart, 0x5522);
        EXPECT_EQ(call.opInfo.RequestKey.QuadPart, 0x3344);
        EXPECT_EQ(call.opParams.ParamSize, 40u);  // offset 8 + TransferData
        EXPECT_EQ(call.opParams.TransferData.Flags, CF_OPERATION_TRANSFER_DATA_FLAG_NONE);
        transfers.push_back({call.opParams.TransferData.CompletionStatus, call.opParams.TransferData.Offset.QuadPart,
                             call.opParams.TransferData.Length.QuadPart,
                             std::string(call.transferBytes.begin(), call.transferBytes.end())});
    }
    return transfers;
}

std::string StagingFile(const TempLocalAppData& env, const std::string& name) {
    return env.ProviderBase() + "/Staging/" + name;
}
std::string CacheFile(const TempLocalAppData& env, const std::string& relative) {
    return env.ProductDir() + "/Cache/" + relative;
}
std::string Inbox(const TempLocalAppData& env) { return env.ProductDir() + "/Queue/cloud-files-inbox"; }

}  // namespace

TEST(FetchData, ServesTheRightSourceWithItsLabel) {
    struct Row {
        const char* name;
        std::wstring identity;
        std::string stagingFile;  // written when not empty
        std::string cacheFile;    // written when not empty
        bool servedFromCache;
    } rows[] = {
        {"demo from staging", L"hello-from-engine.txt", "hello-from-engine.txt", "", false},
        {"demo, cache file wins", L"hello-from-engine.txt", "hello-from-engine.txt", "hello-from-engine.txt", true},
        {"empty identity", L"", "hello-from-engine.txt", "", false},
        {"path identity in the cache", L"d1\\i1\\x.bin", "", "d1/i1/x.bin", true},
        {"path identity in staging", L"d1\\i1\\x.bin", "d1/i1/x.bin", "", false},
        {"cache reference", L"cf\td1\ti1\tx.bin", "", "d1/i1/x.bin", true},
        // An empty id adds no level, as it does when the manifest entry is seeded.
        {"cache reference, empty domain", L"cf\t\ti1\tx.bin", "", "i1/x.bin", true},
        {"cache reference, empty ids", L"cf\t\t\tx.bin", "", "x.bin", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempLocalAppData env;
        FakeCloudFiles fake;
        const std::string stagingBytes = "staging:" + Pattern(85);
        const std::string cacheBytes = "cache:" + Pattern(200);
        if (!row.stagingFile.empty()) WriteFile(StagingFile(env, row.stagingFile), stagingBytes);
        if (!row.cacheFile.empty()) WriteFile(CacheFile(env, row.cacheFile), cacheBytes);

        Fetch fetch(row.identity, 0, 4096);
        fetch.Run();

        const std::string& expected = row.servedFromCache ? cacheBytes : stagingBytes;
        std::vector<Transfer> transfers = Transfers(fake);
        ASSERT_EQ(transfers.size(), 1u);
        EXPECT_EQ(transfers[0].status, 0);
        EXPECT_EQ(transfers[0].offset, 0);
        EXPECT_EQ(transfers[0].length, static_cast<LONGLONG>(expected.size()));
        EXPECT_EQ(transfers[0].bytes, expected);
        std::string result = std::string("[HYDRATE] ") +
                             (row.servedFromCache ? "HYDRATE_FROM_ENGINE_CACHE" : "HYDRATE_FROM_STAGING") +
                             " bytes=" + std::to_string(expected.size()) + " hr=0x00000000 (no network)";
        EXPECT_EQ(LogMessages(env.LogFile()),
                  (std::vector<std::string>{"[NO_NETWORK] FETCH_DATA entered - sockets forbidden on this thread",
                                            result}));
        EXPECT_FALSE(FileExists(Inbox(env)));
    }
}

TEST(FetchData, CutsAndRefusesRangesAgainstTheSourceSize) {
    struct Row {
        size_t size;
        LONGLONG offset, length;
        NTSTATUS status;
        LONGLONG sentOffset, sentLength;
    } rows[] = {
        {93, 0, 93, 0, 0, 93},
        {10, 0, 4096, 0, 0, 10},                         // past the end: cut
        {5000, 4096, 8192, 0, 4096, 904},                // cut from an inner offset
        {10, 10, 4096, 0, 10, 0},                        // offset == size: a zero-byte transfer
        {0, 0, 0, 0, 0, 0},                              // empty source
        {10, 4096, 4096, kUnsuccessful, 4096, 4096},     // offset beyond: still answered
        {4 * kMiB, 0, 4 * kMiB, 0, 0, 4 * kMiB},         // the largest single piece
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.size << " @" << row.offset << "+" << row.length);
        TempLocalAppData env;
        FakeCloudFiles fake;
        const std::string source = Pattern(row.size);
        WriteFile(StagingFile(env, "f.bin"), source);

        Fetch fetch(L"f.bin", row.offset, row.length);
        fetch.Run();

        std::vector<Transfer> transfers = Transfers(fake);
        ASSERT_EQ(transfers.size(), 1u);
        EXPECT_EQ(transfers[0].status, row.status);
        EXPECT_EQ(transfers[0].offset, row.sentOffset);
        EXPECT_EQ(transfers[0].length, row.sentLength);
        std::vector<std::string> log = LogMessages(env.LogFile());
        if (row.status == 0) {
            EXPECT_EQ(transfers[0].bytes, source.substr(static_cast<size_t>(row.sentOffset),
                                                        static_cast<size_t>(row.sentLength)));
            ASSERT_EQ(log.size(), 2u);
            EXPECT_EQ(log[1], "[HYDRATE] HYDRATE_FROM_STAGING bytes=" + std::to_string(row.sentLength) +
                                  " hr=0x00000000 (no network)");
        } else {
            EXPECT_EQ(log.size(), 1u);  // the refusal of an offset beyond the end adds no line
        }
    }
}

TEST(FetchData, LargeRangeGoesInAlignedFourMiBPieces) {
    TempLocalAppData env;
    FakeCloudFiles fake;
    const std::string source = Pattern(static_cast<size_t>(9 * kMiB + 1));
    WriteFile(StagingFile(env, "big.bin"), source);

    Fetch fetch(L"big.bin", 0, 9 * kMiB + 1);
    fetch.Run();

    std::vector<Transfer> transfers = Transfers(fake);
    ASSERT_EQ(transfers.size(), 3u);
    const LONGLONG offsets[] = {0, 4 * kMiB, 8 * kMiB};
    const LONGLONG lengths[] = {4 * kMiB, 4 * kMiB, kMiB + 1};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(transfers[i].status, 0);
        EXPECT_EQ(transfers[i].offset, offsets[i]);
        EXPECT_EQ(transfers[i].length, lengths[i]);
        EXPECT_EQ(transfers[i].offset % 4096, 0);
        EXPECT_TRUE(transfers[i].bytes == source.substr(static_cast<size_t>(offsets[i]), static_cast<size_t>(lengths[i])))
            << "piece " << i;
    }
    EXPECT_EQ(LogMessages(env.LogFile()).back(), "[HYDRATE] HYDRATE_FROM_STAGING bytes=9437185 hr=0x00000000 (no network)");
}

TEST(FetchData, StopsPiecesAtTheFirstFailedTransferAndRefusesTheRest) {
    TempLocalAppData env;
    FakeCloudFiles fake;
    fake.FailCall(2, static_cast<HRESULT>(0x80070057));
    WriteFile(StagingFile(env, "big.bin"), Pattern(static_cast<size_t>(9 * kMiB)));

    Fetch fetch(L"big.bin", 0, 9 * kMiB);
    fetch.Run();

    // The refused second piece is answered with the failure, so the reader does not wait for it.
    std::vector<Transfer> transfers = Transfers(fake);
    ASSERT_EQ(transfers.size(), 3u);
    EXPECT_EQ(transfers[1].status, 0);
    EXPECT_EQ(transfers[2].status, kUnsuccessful);
    EXPECT_EQ(transfers[2].offset, 4 * kMiB);
    EXPECT_EQ(transfers[2].length, 5 * kMiB);
    EXPECT_EQ(LogMessages(env.LogFile()).back(), "[HYDRATE] HYDRATE_FROM_STAGING bytes=8388608 hr=0x80070057 (no network)");
}

TEST(FetchData, SourceShorterThanThePlaceholderIsServedThenTheRestRefused) {
    struct Row {
        size_t source;
        LONGLONG placeholder, offset, length;
        LONGLONG refusedOffset, refusedLength;  // refusedLength 0: nothing refused
    } rows[] = {
        {5, 100, 0, 4096, 5, 4091},                 // unaligned end: the platform would refuse the piece itself
        {8192, 16384, 0, 16384, 8192, 8192},        // aligned: the first half would be taken, the rest never came
        {5000, 9000, 4096, 4904, 5000, 4000},       // from an inner offset
        {93, 93, 0, 4096, 0, 0},                    // the source is the placeholder's size: nothing to refuse
        {10, 100, 0, 8, 0, 0},                      // the request ends inside the source
        {200, 100, 0, 4096, 0, 0},                  // a longer source is no fault
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.source << " of " << row.placeholder << " @" << row.offset);
        TempLocalAppData env;
        FakeCloudFiles fake;
        WriteFile(StagingFile(env, "f.bin"), Pattern(row.source));

        Fetch fetch(L"f.bin", row.offset, row.length);
        fetch.info.FileSize.QuadPart = row.placeholder;
        fetch.Run();

        std::vector<Transfer> transfers = Transfers(fake);
        ASSERT_EQ(transfers.size(), row.refusedLength == 0 ? 1u : 2u);
        EXPECT_EQ(transfers[0].status, 0);
        std::vector<std::string> log = LogMessages(env.LogFile());
        if (row.refusedLength == 0) {
            EXPECT_TRUE(ErrorLines(env.LogFile()).empty());
            continue;
        }
        EXPECT_EQ(transfers[1].status, kUnsuccessful);
        EXPECT_EQ(transfers[1].offset, row.refusedOffset);
        EXPECT_EQ(transfers[1].length, row.refusedLength);
        ASSERT_EQ(log.size(), 3u);
        EXPECT_EQ(log[1], "[ERROR] HYDRATE source ends before the placeholder - rest refused");
        EXPECT_EQ(log[2].rfind("[HYDRATE] HYDRATE_FROM_STAGING bytes=", 0), 0u) << log[2];
    }
}

TEST(FetchData, MissingSourcesAreRefusedWithTheUnsuccessfulStatus) {
    struct Row {
        const char* name;
        std::wstring identity;
        bool cacheMiss;  // the source path lies in a product cache
    } rows[] = {
        {"bench name, in neither place", L"bench-00001.txt", false},
        {"path identity naming a product cache path", L"sub\\VOSKE\\Cache\\gone.bin", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempLocalAppData env;
        FakeCloudFiles fake;

        Fetch fetch(row.identity, 0, 4096);
        fetch.Run();

        std::vector<Transfer> transfers = Transfers(fake);
        ASSERT_EQ(transfers.size(), 1u);
        EXPECT_EQ(transfers[0].status, kUnsuccessful);
        EXPECT_EQ(transfers[0].offset, 0);
        EXPECT_EQ(transfers[0].length, 4096);
        std::vector<std::string> expected = {"[NO_NETWORK] FETCH_DATA entered - sockets forbidden on this thread"};
        if (row.cacheMiss) expected.push_back("[HYDRATE] cache miss - queue local download, no socket");
        expected.push_back("[ERROR] HYDRATE staging missing - refusing (no network fallback)");
        EXPECT_EQ(LogMessages(env.LogFile()), expected);
        // A path identity is not something the engine can download: no record.
        EXPECT_TRUE(ListDirectory(Inbox(env)).empty());
    }
}

TEST(FetchData, CacheMissQueuesOneDownloadAndCompletesWhenTheEngineDelivers) {
    TempLocalAppData env;
    FakeCloudFiles fake;
    const std::string cacheBytes = Pattern(5000);

    // Plays the engine: waits for the download record, then fills the cache.
    std::thread engine([&] {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(8);
        while (ListDirectory(Inbox(env)).empty() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        WriteFile(CacheFile(env, "d1/i7/x.bin"), cacheBytes);
    });
    Fetch fetch(std::wstring(L"cf\td1\ti7\tx.bin"), 0, 8192);
    fetch.Run();
    engine.join();

    std::vector<std::string> records = ListDirectory(Inbox(env));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].find_first_not_of("0123456789"), records[0].size() - 5);
    EXPECT_EQ(records[0].substr(records[0].size() - 5), ".json");
    EXPECT_EQ(ReadFileBytes(Inbox(env) + "/" + records[0]),
              "{\"type\":\"download\",\"domainId\":\"d1\",\"itemId\":\"i7\",\"contentsPath\":null,\"timestamp\":0,"
              "\"attempts\":0,\"urgent\":true}\n");

    std::vector<Transfer> transfers = Transfers(fake);
    ASSERT_EQ(transfers.size(), 1u);
    EXPECT_EQ(transfers[0].status, 0);
    EXPECT_EQ(transfers[0].bytes, cacheBytes);
    EXPECT_EQ(LogMessages(env.LogFile()),
              (std::vector<std::string>{"[NO_NETWORK] FETCH_DATA entered - sockets forbidden on this thread",
                                        "[HYDRATE] cache miss - queue local download, no socket",
                                        "[HYDRATE] HYDRATE_FROM_ENGINE_CACHE bytes=5000 hr=0x00000000 (no network)"}));
}

TEST(FetchData, FailedReadIsAnsweredWithTheFailureTransfer) {
    TempLocalAppData env;
    // The source is itself a dehydrated placeholder of the emulated platform with no provider connected, so it
    // opens and has a size, but every read of it fails.
    const CloudFilesBackend& platform = PlatformCloudFilesBackend();
    const std::wstring staging = ProviderPaths.staging;
    const std::vector<BYTE> rootIdentity = EncodeIdentityBlob(L"staging-as-root");
    CF_SYNC_REGISTRATION registration{};
    registration.StructSize = sizeof(registration);
    registration.ProviderName = L"test";
    registration.ProviderVersion = L"1";
    registration.SyncRootIdentity = rootIdentity.data();
    registration.SyncRootIdentityLength = static_cast<DWORD>(rootIdentity.size());
    CF_SYNC_POLICIES policies{};
    policies.StructSize = sizeof(policies);
    policies.Hydration.Primary = CF_HYDRATION_POLICY_FULL;
    ASSERT_EQ(platform.RegisterSyncRoot(staging.c_str(), &registration, &policies, CF_REGISTER_FLAG_NONE), S_OK);
    const std::vector<BYTE> fileIdentity = EncodeIdentityBlob(L"unreadable.bin");
    CF_PLACEHOLDER_CREATE_INFO entry{};
    entry.RelativeFileName = L"unreadable.bin";
    entry.FsMetadata.FileSize.QuadPart = 8192;
    entry.FsMetadata.BasicInfo.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    entry.FileIdentity = fileIdentity.data();
    entry.FileIdentityLength = static_cast<DWORD>(fileIdentity.size());
    DWORD processed = 0;
    ASSERT_EQ(platform.CreatePlaceholders(staging.c_str(), &entry, 1, CF_CREATE_FLAG_NONE, &processed), S_OK);

    {
        FakeCloudFiles fake;
        Fetch fetch(std::wstring(L"unreadable.bin"), 0, 8192);
        fetch.Run();

        std::vector<Transfer> transfers = Transfers(fake);
        ASSERT_EQ(transfers.size(), 1u);
        EXPECT_EQ(transfers[0].status, kUnsuccessful);
        EXPECT_EQ(transfers[0].offset, 0);
        EXPECT_EQ(transfers[0].length, 8192);
        EXPECT_EQ(LogMessages(env.LogFile()),
                  (std::vector<std::string>{"[NO_NETWORK] FETCH_DATA entered - sockets forbidden on this thread",
                                            "[ERROR] ReadFile staging failed"}));
    }
    EXPECT_EQ(platform.UnregisterSyncRoot(staging.c_str()), S_OK);
}

TEST(FetchData, UnsafeIdentitiesAreRefusedWithoutTouchingAnyFile) {
    const std::wstring identities[] = {
        L"cf\t..\ti\tx.bin", L"cf\td\t..\tx.bin", L"cf\td\ti\t..",   L"cf\td\ti\tCON",  L"cf\td\ti\t",
        L"cf\td\ta\\b\tx",   L"cf\td\ti\tC:x",    L"cf\td/e\ti\tx",  L"..\\secret.txt",  L"a\\..\\..\\secret.txt",
        L"\\secret.txt",     L"C:\\secret.txt",   L".\\secret.txt",
    };
    for (const std::wstring& identity : identities) {
        SCOPED_TRACE(testing::Message() << "identity #" << (&identity - identities));
        TempLocalAppData env;
        FakeCloudFiles fake;
        WriteFile(env.Root() + "/secret.txt", "do not serve");

        Fetch fetch(identity, 0, 4096);
        fetch.Run();

        std::vector<Transfer> transfers = Transfers(fake);
        ASSERT_EQ(transfers.size(), 1u);
        EXPECT_EQ(transfers[0].status, kUnsuccessful);
        EXPECT_EQ(transfers[0].length, 4096);
        EXPECT_EQ(LogMessages(env.LogFile()),
                  (std::vector<std::string>{"[NO_NETWORK] FETCH_DATA entered - sockets forbidden on this thread",
                                            "[ERROR] HYDRATE unsafe identity - refusing"}));
        EXPECT_FALSE(FileExists(Inbox(env)));
    }
}

TEST(FetchData, CancelOnlyLogs) {
    TempLocalAppData env;
    FakeCloudFiles fake;
    Fetch fetch(std::wstring(L"hello-from-engine.txt"), 0, 4096);
    OnCancelFetchData(&fetch.info, &fetch.params);
    EXPECT_EQ(fake.CallCount(), 0u);
    EXPECT_EQ(LogMessages(env.LogFile()), std::vector<std::string>{"[HYDRATE] CANCEL_FETCH_DATA"});
}

TEST(ExplicitHydration, HydrateOpensCallsAndProbes) {
    struct Row {
        bool placeholderExists;
        HRESULT platformStatus;
        HRESULT expected;
        std::string line;
    } rows[] = {
        {true, S_OK, S_OK, "[HYDRATE] CfHydratePlaceholder hr=0x00000000 probe_read=1"},
        {true, static_cast<HRESULT>(0x8007016A), static_cast<HRESULT>(0x8007016A),
         "[HYDRATE] CfHydratePlaceholder hr=0x8007016A probe_read=1"},
        {false, S_OK, static_cast<HRESULT>(0x80070002),
         "[ERROR] Placeholder open failed gle=2 (is connect running?)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        TempLocalAppData env;
        FakeCloudFiles fake;
        fake.SetStatus("Hydrate", row.platformStatus);
        if (row.placeholderExists) WriteFile(env.SyncRoot() + "/hello-from-engine.txt", "VOSKE");

        EXPECT_EQ(ExplicitHydrate(L"hello-from-engine.txt"), row.expected);

        std::vector<RecordedCall> calls = fake.CallsOf("Hydrate");
        ASSERT_EQ(calls.size(), row.placeholderExists ? 1u : 0u);
        if (row.placeholderExists) {
            EXPECT_EQ(calls[0].offset, 0);
            EXPECT_EQ(calls[0].length, -1);
            EXPECT_EQ(calls[0].flags, CF_HYDRATE_FLAG_NONE);
            EXPECT_FALSE(calls[0].overlappedGiven);
        }
        EXPECT_EQ(LogMessages(env.LogFile()), std::vector<std::string>{row.line});
    }
}

TEST(ExplicitHydration, DehydrateKeepsTheIdentityAndReportsTheStatus) {
    struct Row {
        bool placeholderExists;
        HRESULT platformStatus;
        HRESULT expected;
        std::string line;
    } rows[] = {
        {true, S_OK, S_OK, "[DEHYDRATE] CfDehydratePlaceholder hr=0x00000000 (identity kept)"},
        {true, static_cast<HRESULT>(0x80070179), static_cast<HRESULT>(0x80070179),
         "[DEHYDRATE] CfDehydratePlaceholder hr=0x80070179 (identity kept)"},
        {false, S_OK, static_cast<HRESULT>(0x80070002), "[ERROR] Dehydrate open failed"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        TempLocalAppData env;
        FakeCloudFiles fake;
        fake.SetStatus("Dehydrate", row.platformStatus);
        if (row.placeholderExists) WriteFile(env.SyncRoot() + "/hello-from-engine.txt", "VOSKE");

        EXPECT_EQ(ExplicitDehydrate(), row.expected);

        std::vector<RecordedCall> calls = fake.CallsOf("Dehydrate");
        ASSERT_EQ(calls.size(), row.placeholderExists ? 1u : 0u);
        if (row.placeholderExists) {
            EXPECT_EQ(calls[0].offset, 0);
            EXPECT_EQ(calls[0].length, -1);
            EXPECT_EQ(calls[0].flags, CF_DEHYDRATE_FLAG_NONE);
        }
        EXPECT_EQ(LogMessages(env.LogFile()), std::vector<std::string>{row.line});
    }
}
