// lifecycle_e2e_test.cpp - register, placeholder, seed, connect, demo, bench and unregister as separate runs
// of the built program against the emulated Cloud Files filter, checked through the log and the sync root.
#include "tests/support/processes.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <regex>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

class LifecycleE2e : public testing::Test {
protected:
    ProcessResult RunVerb(const char* verb) { return RunProcess({VOSKE_PROGRAM, verb}, 120000); }
    std::vector<std::string> Log() const { return LogMessages(env.LogFile()); }
    bool Logged(const std::string& line) const {
        for (const std::string& logged : Log()) {
            if (logged == line) return true;
        }
        return false;
    }
    std::string Manifest() const { return env.ProviderBase() + "/seed-manifest.tsv"; }
    // Unregisters at the end so the emulated filter keeps no registration of a removed directory.
    void TearDown() override { RunProcess({VOSKE_PROGRAM, "unregister"}); }

    TempLocalAppData env;
};

uintmax_t SizeOf(const std::string& path) {
    std::error_code error;
    return fs::file_size(path, error);
}

}  // namespace

TEST_F(LifecycleE2e, RegisterPlaceholderTwiceThenUnregisterTwice) {
    ProcessResult reg = RunVerb("register");
    ASSERT_EQ(reg.exitCode, 0) << reg.err;
    EXPECT_NE(reg.out.find("SyncRoot : Z:\\"), std::string::npos);
    ProcessResult first = RunVerb("placeholder");
    ASSERT_EQ(first.exitCode, 0) << first.err;
    EXPECT_EQ(SizeOf(env.SyncRoot() + "/hello-from-engine.txt"), 93u);
    EXPECT_TRUE(ErrorLines(env.LogFile()).empty());

    EXPECT_EQ(RunVerb("placeholder").exitCode, 1);
    EXPECT_EQ(ErrorLines(env.LogFile()),
              std::vector<std::string>{"[ERROR] CfCreatePlaceholders failed hr=0x800700B7 Result=0x800700B7 processed=1"});

    EXPECT_EQ(RunVerb("unregister").exitCode, 0);
    EXPECT_EQ(RunVerb("unregister").exitCode, 0);
    const auto log = Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "[UNREGISTER] Sync root unregistered");
    EXPECT_EQ(log.back(), "[UNREGISTER] Sync root already absent");
}

TEST_F(LifecycleE2e, SeedFromManifestThenFromCache) {
    ASSERT_EQ(RunVerb("register").exitCode, 0);
    WriteFileBytes(Manifest(), "dom\titem\tdocs\\sub\t0\t\t1\r\ndom\titem\tdocs\\a.txt\t12\ta.txt\r\n");
    ASSERT_EQ(RunVerb("seed").exitCode, 0);
    EXPECT_TRUE(Logged("[SEED] manifest seen 2 seeded 2 (cap 100000, no network)"));
    EXPECT_TRUE(fs::is_directory(env.SyncRoot() + "/docs/sub"));
    EXPECT_EQ(SizeOf(env.SyncRoot() + "/docs/a.txt"), 12u);

    fs::remove(Manifest());
    const std::string cache = env.ProductDir() + "/Cache";
    fs::create_directories(cache + "/a/b");
    WriteFileBytes(cache + "/a/b/c.txt", "cache bytes");
    ASSERT_EQ(RunVerb("seed").exitCode, 0);
    EXPECT_TRUE(Logged("[SEED] found 1 seeded 1 first_hr=0x00000000 (cap 32, no network)"));
    EXPECT_EQ(SizeOf(env.SyncRoot() + "/a/b/c.txt"), 11u);
    EXPECT_TRUE(ErrorLines(env.LogFile()).empty());
}

TEST_F(LifecycleE2e, ConnectBeforeRegisterFails) {
    ProcessResult result = RunVerb("connect");
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(ErrorLines(env.LogFile()), std::vector<std::string>{"[ERROR] CfConnectSyncRoot failed hr=0x80070186"});
    EXPECT_FALSE(Logged("[CONNECT] Waiting - open file in Explorer or run hydrate in another console"));
}

TEST_F(LifecycleE2e, ConsoleSignalsDisconnectAndEndTheProcess) {
    ASSERT_EQ(RunVerb("register").exitCode, 0);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        fs::remove(env.LogFile());
        BackgroundProcess connect({VOSKE_PROGRAM, "connect"});
        ASSERT_TRUE(WaitForLogLine(env.LogFile(), "[CONNECT] Waiting - open file in Explorer"));
        connect.Signal(signal);
        ASSERT_TRUE(connect.Wait(10000));
        EXPECT_TRUE(Logged("[CONNECT] CfDisconnectSyncRoot hr=0x00000000"));
        EXPECT_TRUE(ErrorLines(env.LogFile()).empty());
    }
}

TEST_F(LifecycleE2e, ManifestWrittenWhileConnectedIsSeeded) {
    ASSERT_EQ(RunVerb("register").exitCode, 0);
    BackgroundProcess connect({VOSKE_PROGRAM, "connect"});
    ASSERT_TRUE(WaitForLogLine(env.LogFile(), "[CONNECT] Waiting - open file in Explorer"));
    EXPECT_FALSE(Logged("[SEED] manifest seen 1 seeded 1 (cap 100000, no network)"));
    WriteFileBytes(Manifest(), "d\ti\t\t5\tlive.txt\n");
    // The loop looks once a second; the deadline leaves room for a loaded machine.
    ASSERT_TRUE(WaitForLogLine(env.LogFile(), "[SEED] manifest seen 1 seeded 1 (cap 100000, no network)", 10000));
    EXPECT_EQ(SizeOf(env.SyncRoot() + "/live.txt"), 5u);
    connect.Signal(SIGINT);
    EXPECT_TRUE(connect.Wait(10000));
}

TEST_F(LifecycleE2e, DemoStopsWhenThePlaceholderExists) {
    ASSERT_EQ(RunVerb("register").exitCode, 0);
    ASSERT_EQ(RunVerb("placeholder").exitCode, 0);
    ProcessResult demo = RunVerb("demo");
    EXPECT_FALSE(demo.timedOut);
    EXPECT_EQ(demo.exitCode, 1);
    EXPECT_NE(demo.out.find("Identity : VOSKECloudFiles!"), std::string::npos);
    for (const std::string& line : Log()) EXPECT_EQ(line.rfind("[DEMO]", 0), std::string::npos) << line;
    EXPECT_FALSE(Logged("[CONNECT] Provider connected - open placeholder in Explorer to hydrate"));
    EXPECT_EQ(ErrorLines(env.LogFile()).size(), 1u);
}

TEST_F(LifecycleE2e, BenchFromAnEmptyRoot) {
    ProcessResult bench = RunVerb("bench");
    ASSERT_EQ(bench.exitCode, 0) << bench.err;
    const std::regex benchLine(
        R"(\[BENCH\] 10k placeholders create_ms=\d+\.\d enum_ms=\d+\.\d seen=10000 \(metadata only, no hydrate\))");
    std::string found;
    for (const std::string& line : Log()) {
        if (std::regex_match(line, benchLine)) found = line;
    }
    ASSERT_FALSE(found.empty());
    std::cout << found << std::endl;  // the figures are worth seeing in the test output
    EXPECT_EQ(Log().back(), "[UNREGISTER] Sync root unregistered");
    EXPECT_TRUE(ErrorLines(env.LogFile()).empty());
    // Unregistering removed the dehydrated placeholders, and the root is no longer registered.
    EXPECT_TRUE(ListDirectory(env.SyncRoot()).empty());
    EXPECT_EQ(RunVerb("unregister").exitCode, 0);
    EXPECT_EQ(Log().back(), "[UNREGISTER] Sync root already absent");
}
