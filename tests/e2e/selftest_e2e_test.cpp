// selftest_e2e_test.cpp - the self-test and the bench: the chain, what they leave behind, a new account's data.

#include "tests/e2e/e2e_fixture.h"

namespace e2e {
namespace {

using SelfTest = ProgramTest;

// A file in the root's place fails the self-test; then it passes twice, the bench runs, and the self-test passes
// for a new account, leaving no root each time.
TEST_F(SelfTest, FailsWithoutItsRootPassesTwiceRunsTheBenchAndPassesForANewAccount) {
    const auto registered = [] { return Verb("unregister").err.find("Sync root already absent") == std::string::npos; };
    fs::remove_all(Env().SyncRoot());
    WriteFileBytes(Env().SyncRoot(), "not a directory");
    EXPECT_EQ(Verb("selftest").exitCode, 1);
    std::vector<std::string> errors = Errors();
    EXPECT_TRUE(errors.size() == 1 && errors[0].rfind("[ERROR] CfRegisterSyncRoot failed hr=0x", 0) == 0);
    EXPECT_FALSE(registered());

    fs::remove(Env().SyncRoot());
    OutputOf(Verb("selftest"));  // its chain's lines, in order:
    const std::vector<std::string> log = Log();
    auto at = log.begin();
    for (const char* needle :
         {"[REGISTER] Registered sync root: ", "[PLACEHOLDER] Created hello-from-engine.txt",
          "[CONNECT] Provider connected", "[NO_NETWORK] FETCH_DATA entered",
          "[HYDRATE] CfHydratePlaceholder hr=0x00000000 probe_read=1",
          "[DEHYDRATE] CfDehydratePlaceholder hr=0x00000000 (identity kept)", "[WRITEBACK] writeback-client exit=0",
          "[WRITEBACK] WRITEBACK_OK queue has local bytes", "[WRITEBACK] WRITEBACK_PRODUCT_OK",
          "[HYDRATE] HYDRATE_FROM_ENGINE_CACHE bytes=12 hr=0x00000000 (no network)",
          "[CONNECT] CfDisconnectSyncRoot hr=0x00000000", "[UNREGISTER] Sync root unregistered",
          "[SELFTEST] placeholder -> hydrate -> dehydrate -> write-back -> engine cache -> unregister OK (no "
          "network)"}) {
        at = std::find_if(at, log.end(),
                          [&](const std::string& line) { return line.find(needle) != std::string::npos; });
        ASSERT_NE(at, log.end()) << "missing, or out of order: " << needle;
        ++at;
    }
    EXPECT_FALSE(FileExists(CacheFile("engine-cache-probe.txt")));
    const std::string staged = ReadFileBytes(Env().ProviderBase() + "/Queue/Staging/hello-from-engine.txt");
    EXPECT_NE(staged.find("queued-local"), std::string::npos) << staged;
    EXPECT_FALSE(registered());
    {
        // A reader that will not let go of the product copy a failed run left: the check could read that copy's
        // marker instead of this run's, so the run fails.
        WriteFileBytes(Queue() + "/CloudFiles/hello-from-engine.txt", staged);
        BackgroundProcess holder({VOSKE_CFEMU, "hold", Queue() + "/CloudFiles/hello-from-engine.txt", "r", "r"});
        ASSERT_TRUE(WaitUntil([&] { return holder.Out().find("holding") != std::string::npos; }, 20000));
        EXPECT_EQ(Verb("selftest").exitCode, 1);
        holder.Signal(SIGTERM);
        ExitOf(holder);
        errors.push_back("[ERROR] WRITEBACK old copy not removed gle=32");
        EXPECT_FALSE(registered());
    }
    OutputOf(Verb("selftest"));
    EXPECT_EQ(ListDirectory(Env().SyncRoot()),
              (std::vector<std::string>{"engine-cache-probe.txt", "hello-from-engine.txt"}));
    // The bench needs an empty root and leaves it empty and unregistered.
    fs::remove_all(Env().SyncRoot());
    ASSERT_EQ(Verb("bench", 300000).exitCode, 0);
    EXPECT_TRUE(std::regex_match(LastLine("[BENCH]"),
                                 std::regex(R"(\[BENCH\] 10k placeholders create_ms=\d+\.\d )"
                                            R"(enum_ms=\d+\.\d seen=10000 \(metadata only, no hydrate\))")));
    EXPECT_TRUE(ListDirectory(Env().SyncRoot()).empty() && !registered());
    EXPECT_EQ(Errors(), errors);

    // A new account has no ~/.local/share: the self-test makes it and its missing parent (0700), HOME as it was.
    const std::string home = Env().Root() + "/home";
    ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
    ASSERT_EQ(chmod(home.c_str(), 0755), 0);
    setenv("HOME", home.c_str(), 1);
    unsetenv("LOCALAPPDATA");
    unsetenv("XDG_DATA_HOME");
    OutputOf(Verb("selftest"));
    const std::string provider = home + "/.local/share/nq.vo.tarn.voskel/VOSKE/CloudFiles";
    for (const auto& [path, mode] :
         {std::pair<std::string, mode_t>{home, 0755}, {home + "/.local", 0700}, {home + "/.local/share", 0700}}) {
        struct stat st {};
        EXPECT_TRUE(stat(path.c_str(), &st) == 0 && (st.st_mode & 07777) == mode)
            << path << " " << std::oct << st.st_mode;
    }
    EXPECT_EQ(LogMessages(provider + "/provider.log").back().rfind("[SELFTEST] placeholder -> hydrate", 0), 0u);

    // A user named José: the program starts in the C runtime's "C" locale, as on Windows, and its log lines and
    // paths report carry the whole path all the same, as UTF-8.
    const std::string jose = Env().Root() + "/Jos\xc3\xa9";
    fs::create_directories(jose);
    setenv("LOCALAPPDATA", jose.c_str(), 1);
    const std::string base = posix::WideToUtf8(WindowsPathOf(jose)) + "\\nq.vo.tarn.voskel\\VOSKE\\CloudFiles";
    EXPECT_EQ(OutputOf(Verb("selftest")).rfind("SyncRoot : " + base + "\\SyncRoot\nStaging  : " + base +
                                                   "\\Staging\nLog      : " + base + "\\provider.log\n",
                                               0),
              0u);
    const std::vector<std::string> jlog = LogMessages(jose + "/nq.vo.tarn.voskel/VOSKE/CloudFiles/provider.log");
    EXPECT_NE(std::find(jlog.begin(), jlog.end(),
                        "[REGISTER] Registered sync root: " + base + "\\SyncRoot id=VOSKECloudFiles!S-1-22-1-" +
                            std::to_string(getuid()) + "!voskel"),
              jlog.end());
}

}  // namespace
}  // namespace e2e
