// hydration_e2e_test.cpp - hydration across processes: `connect` serving, `hydrate`/`dehydrate` and cfemu
// reading as applications do, and the engine's part played by the test through the inbox and the cache.
#include "tests/support/processes.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

const char kSeed[] = "VOSKE Cloud Files spike\r\nHydrated from local staging (mock engine). NO network in callback.\r\n";

class HydrationE2e : public testing::Test {
protected:
    ProcessResult Run(const char* verb) { return RunProcess({VOSKE_PROGRAM, verb}, 120000); }
    std::vector<std::string> Log() const { return LogMessages(env.LogFile()); }
    std::string LastLine(const std::string& prefix) const {
        std::string found;
        for (const std::string& line : Log()) {
            if (line.rfind(prefix, 0) == 0) found = line;
        }
        return found;
    }
    std::string Inbox() const { return env.ProductDir() + "/Queue/cloud-files-inbox"; }
    // Download records are the inbox files named by a bare number; a close after the read may add "mod-" records.
    std::vector<std::string> DownloadRecords() const {
        std::vector<std::string> names;
        for (const std::string& name : ListDirectory(Inbox())) {
            if (!name.empty() && isdigit(static_cast<unsigned char>(name[0]))) names.push_back(name);
        }
        return names;
    }
    void StartProvider() {
        provider = std::make_unique<BackgroundProcess>(std::vector<std::string>{VOSKE_PROGRAM, "connect"});
        ASSERT_TRUE(WaitForLogLine(env.LogFile(), "[CONNECT] Waiting - open file in Explorer"));
    }
    void TearDown() override {
        if (provider) {
            provider->Signal(SIGINT);
            provider->Wait(10000);
            provider.reset();
        }
        RunProcess({VOSKE_PROGRAM, "unregister"});
    }

    TempLocalAppData env;
    std::unique_ptr<BackgroundProcess> provider;
};

}  // namespace

TEST_F(HydrationE2e, HydrateFromASecondProcessThenDehydrateAndHydrateAgain) {
    ASSERT_EQ(Run("register").exitCode, 0);
    ASSERT_EQ(Run("placeholder").exitCode, 0);
    StartProvider();
    const std::string placeholder = env.SyncRoot() + "/hello-from-engine.txt";

    ProcessResult hydrate = Run("hydrate");
    EXPECT_EQ(hydrate.exitCode, 0) << hydrate.err;
    EXPECT_EQ(LastLine("[HYDRATE] CfHydratePlaceholder"), "[HYDRATE] CfHydratePlaceholder hr=0x00000000 probe_read=1");
    EXPECT_EQ(LastLine("[HYDRATE] HYDRATE_FROM"), "[HYDRATE] HYDRATE_FROM_STAGING bytes=93 hr=0x00000000 (no network)");
    EXPECT_EQ(ReadFileBytes(placeholder), kSeed);

    ProcessResult dehydrate = Run("dehydrate");
    EXPECT_EQ(dehydrate.exitCode, 0) << dehydrate.err;
    EXPECT_EQ(LastLine("[DEHYDRATE]"), "[DEHYDRATE] CfDehydratePlaceholder hr=0x00000000 (identity kept)");

    // The identity survived: an application's read hydrates the same bytes again.
    ProcessResult cat = RunProcess({VOSKE_CFEMU, "cat", placeholder}, 60000);
    EXPECT_EQ(cat.exitCode, 0) << cat.err;
    EXPECT_EQ(cat.out, kSeed);
    EXPECT_EQ(Run("hydrate").exitCode, 0);
    EXPECT_TRUE(ErrorLines(env.LogFile()).empty());
}

TEST_F(HydrationE2e, HydrateWithoutAProviderOrAPlaceholderFails) {
    ProcessResult early = Run("hydrate");
    EXPECT_EQ(early.exitCode, 1);
    EXPECT_EQ(ErrorLines(env.LogFile()),
              std::vector<std::string>{"[ERROR] Placeholder open failed gle=2 (is connect running?)"});

    ASSERT_EQ(Run("register").exitCode, 0);
    ASSERT_EQ(Run("placeholder").exitCode, 0);
    ProcessResult alone = Run("hydrate");
    EXPECT_EQ(alone.exitCode, 1);
    EXPECT_EQ(LastLine("[HYDRATE] CfHydratePlaceholder"), "[HYDRATE] CfHydratePlaceholder hr=0x8007016A probe_read=0");
}

TEST_F(HydrationE2e, CacheMissAsksTheEngineOnceAndCompletesWhenItDelivers) {
    ASSERT_EQ(Run("register").exitCode, 0);
    WriteFileBytes(env.ProviderBase() + "/seed-manifest.tsv", "d1\ti7\ta.txt\t5000\ta.txt\n");
    ASSERT_EQ(Run("seed").exitCode, 0);
    StartProvider();

    BackgroundProcess reader({VOSKE_CFEMU, "cat", env.SyncRoot() + "/a.txt"});
    ASSERT_TRUE(WaitUntil([&] { return !DownloadRecords().empty(); }, 10000));
    std::vector<std::string> records = DownloadRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(ReadFileBytes(Inbox() + "/" + records[0]),
              "{\"type\":\"download\",\"domainId\":\"d1\",\"itemId\":\"i7\",\"contentsPath\":null,\"timestamp\":0,"
              "\"attempts\":0,\"urgent\":true}\n");

    // The test plays the engine: the downloaded file lands in the product cache.
    std::string bytes(5000, 'x');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>('a' + i % 26);
    fs::create_directories(env.ProductDir() + "/Cache/d1/i7");
    WriteFileBytes(env.ProductDir() + "/Cache/d1/i7/a.txt.part", bytes);
    fs::rename(env.ProductDir() + "/Cache/d1/i7/a.txt.part", env.ProductDir() + "/Cache/d1/i7/a.txt");

    int exitCode = -1;
    ASSERT_TRUE(reader.Wait(30000, &exitCode));
    EXPECT_EQ(exitCode, 0) << reader.Err();
    EXPECT_EQ(reader.Out(), bytes);
    EXPECT_EQ(DownloadRecords().size(), 1u);
    EXPECT_EQ(LastLine("[HYDRATE] HYDRATE_FROM"), "[HYDRATE] HYDRATE_FROM_ENGINE_CACHE bytes=5000 hr=0x00000000 (no network)");
    EXPECT_TRUE(ErrorLines(env.LogFile()).empty());
}

TEST_F(HydrationE2e, CacheMissFailsTheReadWhenTheEngineNeverDelivers) {
    ASSERT_EQ(Run("register").exitCode, 0);
    WriteFileBytes(env.ProviderBase() + "/seed-manifest.tsv", "d1\ti7\ta.txt\t5000\ta.txt\n");
    ASSERT_EQ(Run("seed").exitCode, 0);
    StartProvider();

    ProcessResult cat = RunProcess({VOSKE_CFEMU, "cat", env.SyncRoot() + "/a.txt"}, 60000);
    EXPECT_FALSE(cat.timedOut);
    EXPECT_NE(cat.exitCode, 0);
    EXPECT_TRUE(cat.out.empty());
    // STATUS_CLOUD_FILE_UNSUCCESSFUL reaches the reader as ERROR_CLOUD_FILE_UNSUCCESSFUL (389).
    EXPECT_NE(cat.err.find("ERROR_CLOUD_FILE_UNSUCCESSFUL"), std::string::npos) << cat.err;
    EXPECT_EQ(DownloadRecords().size(), 1u);
    EXPECT_EQ(ErrorLines(env.LogFile()),
              std::vector<std::string>{"[ERROR] HYDRATE staging missing - refusing (no network fallback)"});
}

// A manifest entry without a domain id is read from <cache>\<item>\<name> and its delete reaches the engine; a
// cache file shorter than its placeholder fails the read at once rather than when the platform gives up.
TEST_F(HydrationE2e, EmptyDomainIdIsServedAndAShortCacheFileFailsTheReadAtOnce) {
    ASSERT_EQ(Run("register").exitCode, 0);
    WriteFileBytes(env.ProviderBase() + "/seed-manifest.tsv", "\tI1\ta.txt\t12\ta.txt\nd1\ti7\tshort.txt\t100\tshort.txt\n");
    fs::create_directories(env.ProductDir() + "/Cache/I1");
    fs::create_directories(env.ProductDir() + "/Cache/d1/i7");
    WriteFileBytes(env.ProductDir() + "/Cache/I1/a.txt", "twelve bytes");
    WriteFileBytes(env.ProductDir() + "/Cache/d1/i7/short.txt", "five!");
    ASSERT_EQ(Run("seed").exitCode, 0);
    StartProvider();

    ProcessResult cat = RunProcess({VOSKE_CFEMU, "cat", env.SyncRoot() + "/a.txt"}, 60000);
    EXPECT_EQ(cat.exitCode, 0) << cat.err;
    EXPECT_EQ(cat.out, "twelve bytes");

    ProcessResult rm = RunProcess({VOSKE_CFEMU, "rm", env.SyncRoot() + "/a.txt"}, 60000);
    EXPECT_EQ(rm.exitCode, 0) << rm.err;
    std::vector<std::string> deletes;
    for (const std::string& name : ListDirectory(Inbox())) {
        if (name.rfind("delete-", 0) == 0) deletes.push_back(ReadFileBytes(Inbox() + "/" + name));
    }
    EXPECT_EQ(deletes, std::vector<std::string>{"{\"type\":\"delete\",\"domainId\":\"\",\"itemId\":\"I1\",\"isDir\":false,"
                                                "\"targetPath\":\"a.txt\",\"timestamp\":0,\"attempts\":0}\n"});

    // The platform would wait a minute for the missing 95 bytes; the provider refuses them instead.
    ProcessResult shortCat = RunProcess({VOSKE_CFEMU, "cat", env.SyncRoot() + "/short.txt"}, 60000);
    EXPECT_FALSE(shortCat.timedOut);
    EXPECT_EQ(shortCat.exitCode, 1);
    EXPECT_TRUE(shortCat.out.empty());
    EXPECT_NE(shortCat.err.find("ERROR_CLOUD_FILE_UNSUCCESSFUL"), std::string::npos) << shortCat.err;
    EXPECT_TRUE(DownloadRecords().empty());
}
