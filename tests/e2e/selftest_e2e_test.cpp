// selftest_e2e_test.cpp - the self-test and the interactive chain, each verb a separate process of the built
// program against the emulated filter; every run must leave no unexpected "ERROR" line in the log.
#include "platform/posix/posix_handle.h"
#include "tests/support/processes.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include "platform/win32.h"

#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>

namespace {

ProcessResult RunVerb(const char* verb, int timeoutMs = 120000) { return RunProcess({VOSKE_PROGRAM, verb}, timeoutMs); }

// True when `needles` occur in the log in this order (each after the one before).
::testing::AssertionResult LogHasInOrder(const std::string& logPath, const std::vector<std::string>& needles) {
    const std::vector<std::string> lines = LogMessages(logPath);
    size_t at = 0;
    for (const auto& needle : needles) {
        while (at < lines.size() && lines[at].find(needle) == std::string::npos) ++at;
        if (at == lines.size()) return ::testing::AssertionFailure() << "missing, or out of order: " << needle;
        ++at;
    }
    return ::testing::AssertionSuccess();
}

bool RootIsRegistered() {
    ProcessResult result = RunVerb("unregister");
    return result.err.find("Sync root already absent") == std::string::npos;
}

struct Layout {
    explicit Layout(const TempLocalAppData& env)
        : stagingCopy(env.ProviderBase() + "/Queue/Staging/hello-from-engine.txt"),
          productCopy(env.ProductDir() + "/Queue/CloudFiles/hello-from-engine.txt"),
          probe(env.ProductDir() + "/Cache/engine-cache-probe.txt") {}
    std::string stagingCopy, productCopy, probe;
};

}  // namespace

TEST(SelfTest, RunsTheWholeChainAndLeavesNothingRegistered) {
    TempLocalAppData env;
    Layout files(env);
    ProcessResult result = RunVerb("selftest");
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(LogHasInOrder(env.LogFile(),
                              {"[REGISTER] Registered sync root: ", "[PLACEHOLDER] Created hello-from-engine.txt",
                               "[CONNECT] Provider connected", "[NO_NETWORK] FETCH_DATA entered",
                               "[HYDRATE] CfHydratePlaceholder hr=0x00000000 probe_read=1",
                               "[DEHYDRATE] CfDehydratePlaceholder hr=0x00000000 (identity kept)",
                               "[WRITEBACK] writeback-client exit=0", "[WRITEBACK] WRITEBACK_OK queue has local bytes",
                               "[WRITEBACK] WRITEBACK_PRODUCT_OK",
                               "[HYDRATE] HYDRATE_FROM_ENGINE_CACHE bytes=12 hr=0x00000000 (no network)",
                               "[CONNECT] CfDisconnectSyncRoot hr=0x00000000", "[UNREGISTER] Sync root unregistered",
                               "[SELFTEST] placeholder -> hydrate -> dehydrate -> write-back -> engine cache -> "
                               "unregister OK (no network)"}));
    // The callback logs its result after the transfer, and the transfer releases the reader, so the two
    // processes' lines of one hydration may come in either order.
    EXPECT_TRUE(LogHasInOrder(env.LogFile(), {"[CONNECT] Provider connected",
                                              "[HYDRATE] HYDRATE_FROM_STAGING bytes=93 hr=0x00000000 (no network)"}));
    EXPECT_TRUE(ErrorLines(env.LogFile()).empty()) << ErrorLines(env.LogFile()).front();
    EXPECT_NE(result.out.find("SyncRoot : Z:\\"), std::string::npos);
    EXPECT_NE(result.out.find("Identity : VOSKECloudFiles!S-1-22-1-"), std::string::npos);

    EXPECT_FALSE(FileExists(files.probe));
    // The check reads the product copy and removes it. A closing process does not wait for the provider, so the
    // write-back of an earlier close (the hydrate step's read) can copy the file after the child has written to
    // it and pass the check; the child's own write-back then lands after the removal. A copy left behind is that
    // one, and holds the marker.
    if (FileExists(files.productCopy)) {
        EXPECT_NE(ReadFileBytes(files.productCopy).find("queued-local"), std::string::npos);
    }
    const std::string staged = ReadFileBytes(files.stagingCopy);
    EXPECT_NE(staged.find("queued-local"), std::string::npos) << staged;
    EXPECT_FALSE(RootIsRegistered());
}

TEST(SelfTest, PassesTwiceInARowAndAfterBench) {
    TempLocalAppData env;
    ASSERT_EQ(RunVerb("selftest").exitCode, 0);
    ASSERT_EQ(RunVerb("selftest").exitCode, 0);
    // The self-test leaves its two files in the root, so the bench starts from a root it empties first.
    std::filesystem::remove_all(env.SyncRoot());
    std::filesystem::create_directory(env.SyncRoot());
    ProcessResult bench = RunVerb("bench", 300000);
    ASSERT_EQ(bench.exitCode, 0) << bench.err;
    // The bench leaves 10,000 placeholders (ordinary files once unregistered); the self-test clears them.
    ProcessResult third = RunVerb("selftest");
    EXPECT_EQ(third.exitCode, 0) << third.err;
    EXPECT_EQ(ListDirectory(env.SyncRoot()), (std::vector<std::string>{"engine-cache-probe.txt",
                                                                        "hello-from-engine.txt"}));
    EXPECT_TRUE(ErrorLines(env.LogFile()).empty()) << ErrorLines(env.LogFile()).front();
}

TEST(SelfTest, FailsAtRegistrationWhenTheRootIsNotADirectory) {
    TempLocalAppData env;
    std::filesystem::remove_all(env.SyncRoot());
    WriteFileBytes(env.SyncRoot(), "not a directory");
    ProcessResult result = RunVerb("selftest");
    EXPECT_EQ(result.exitCode, 1);
    const std::vector<std::string> errors = ErrorLines(env.LogFile());
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("[ERROR] CfRegisterSyncRoot failed hr=0x", 0), 0u) << errors[0];
    EXPECT_EQ(LogMessages(env.LogFile()).back().find("[CONNECT]"), std::string::npos);
    EXPECT_FALSE(WaitForLogLine(env.LogFile(), "Provider connected", 0));
    EXPECT_FALSE(RootIsRegistered());
}

// A new account has no ~/.local/share yet. The data directory the stand-in falls back to is made with its missing
// parents (0700, existing ones untouched); a LOCALAPPDATA the user set is never made, and its absence fails the run.
TEST(SelfTest, MakesOnlyTheDataDirectoryItFallsBackTo) {
    struct Case {
        const char* localAppData;  // below the temporary root; null: unset
        const char* xdgDataHome;   // likewise
        std::string dataDir;       // where the tree must land; it and its parent are made unless LOCALAPPDATA is set
        int exitCode;
    };
    const Case cases[] = {
        {nullptr, nullptr, "home/.local/share", 0},
        {nullptr, "xdg/data", "xdg/data", 0},
        {"missing", nullptr, "missing", 1},
    };
    const auto modeOf = [](const std::string& path) {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0u;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dataDir);
        TempLocalAppData env;
        const std::string home = env.Root() + "/home";
        ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
        ASSERT_EQ(chmod(home.c_str(), 0755), 0);
        setenv("HOME", home.c_str(), 1);
        for (const auto& [name, value] :
             {std::pair{"LOCALAPPDATA", c.localAppData}, {"XDG_DATA_HOME", c.xdgDataHome}}) {
            if (value == nullptr) unsetenv(name);
            if (value != nullptr) setenv(name, (env.Root() + "/" + value).c_str(), 1);
        }
        ProcessResult result = RunVerb("selftest");
        EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
        const std::string data = env.Root() + "/" + c.dataDir, provider = data + "/nq.vo.tarn.voskel/VOSKE/CloudFiles";
        const std::string syncRootLine = "SyncRoot : " + posix::WideToUtf8(WindowsPathOf(provider + "/SyncRoot"));
        EXPECT_EQ(result.out.rfind(syncRootLine + "\n", 0), 0u) << result.out;
        EXPECT_EQ(modeOf(home), 0755u);
        EXPECT_EQ(FileExists(home + "/.local"), c.dataDir.rfind("home/", 0) == 0);
        if (c.exitCode == 0) {
            EXPECT_EQ(modeOf(data), 0700u);
            EXPECT_EQ(modeOf(data.substr(0, data.rfind('/'))), 0700u);
            EXPECT_TRUE(LogHasInOrder(provider + "/provider.log", {"[UNREGISTER] Sync root unregistered",
                                                                  "[SELFTEST] placeholder -> hydrate"}));
        } else {
            EXPECT_NE(result.err.find("[ERROR] CfRegisterSyncRoot failed hr=0x80070002"), std::string::npos);
            EXPECT_FALSE(FileExists(data));
        }
    }
}

TEST(InteractiveChain, ConnectServesHydrateDehydrateAndWriteBackFromOtherProcesses) {
    TempLocalAppData env;
    Layout files(env);
    ASSERT_EQ(RunVerb("register").exitCode, 0);
    ASSERT_EQ(RunVerb("placeholder").exitCode, 0);

    // Without a provider the dehydrated placeholder cannot be written, and no process is told of a close.
    EXPECT_EQ(RunVerb("writeback-client").exitCode, 1);
    EXPECT_FALSE(FileExists(files.stagingCopy));
    EXPECT_FALSE(FileExists(files.productCopy));

    BackgroundProcess provider({VOSKE_PROGRAM, "connect"});
    ASSERT_TRUE(WaitForLogLine(env.LogFile(), "[CONNECT] Waiting - open file in Explorer", 20000)) << provider.Err();

    ProcessResult hydrate = RunVerb("hydrate");
    EXPECT_EQ(hydrate.exitCode, 0) << hydrate.err;
    EXPECT_NE(hydrate.err.find("CfHydratePlaceholder hr=0x00000000 probe_read=1"), std::string::npos) << hydrate.err;
    // The hydrating handle's close is written back first: a copy still to come would read the file back in.
    EXPECT_TRUE(WaitForLogLine(env.LogFile(), "[WRITEBACK] WRITEBACK_QUEUED local copy only, no network", 20000));
    // The verbs that write wait out another process's handle for a moment instead of failing at once: an
    // application holding the file (for reading, sharing only reading) lets go while dehydrate and the
    // write-back client try again.
    const std::string placeholder = env.SyncRoot() + "/hello-from-engine.txt";
    const auto briefly = [&](const char* verb) {
        BackgroundProcess holder({VOSKE_CFEMU, "hold", placeholder, "r", "r"});
        EXPECT_TRUE(WaitUntil([&] { return holder.Out().find("holding") != std::string::npos; }, 20000));
        BackgroundProcess writer({VOSKE_PROGRAM, verb});
        Sleep(300);
        holder.Signal(SIGTERM);
        int exitCode = -1;
        EXPECT_TRUE(writer.Wait(20000, &exitCode)) << verb;
        EXPECT_EQ(exitCode, 0) << verb << " " << writer.Err();
    };
    briefly("dehydrate");
    // Dehydrated from another process (the registration allows it); the close of the dehydrating handle holds no
    // data and is not copied, so the file stays without its data until the next read.
    EXPECT_TRUE(WaitForLogLine(env.LogFile(), "[WRITEBACK] WRITEBACK dehydrated close skipped", 20000));
    EXPECT_NE(RunProcess({VOSKE_CFEMU, "ls", env.SyncRoot()}).out.find("hello-from-engine.txt\t93\tplaceholder\tdehydrated"),
              std::string::npos);
    EXPECT_EQ(RunVerb("hydrate").exitCode, 0);
    briefly("writeback-client");

    const auto holdsMarker = [](const std::string& path) {
        return ReadFileBytes(path).find("queued-local") != std::string::npos;
    };
    EXPECT_TRUE(WaitUntil([&] { return holdsMarker(files.stagingCopy); }, 5000));
    EXPECT_TRUE(WaitUntil([&] { return holdsMarker(files.productCopy); }, 5000));

    provider.Signal(SIGINT);
    int exitCode = 0;
    ASSERT_TRUE(provider.Wait(10000, &exitCode));
    EXPECT_TRUE(LogHasInOrder(env.LogFile(), {"[CONNECT] Waiting", "[CONNECT] CfDisconnectSyncRoot hr=0x00000000"}));
    EXPECT_TRUE(ErrorLines(env.LogFile()).empty()) << ErrorLines(env.LogFile()).front();
    EXPECT_EQ(RunVerb("unregister").exitCode, 0);
}
