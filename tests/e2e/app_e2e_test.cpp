// app_e2e_test.cpp - the built program's front end as a separate process: usage, exit codes, the paths report.
#include "tests/support/processes.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <unistd.h>

namespace {

const char kUsage[] =
    "voske-cf-spike <command>\n"
    "  paths       Print sync root / staging paths\n"
    "  register    CfRegisterSyncRoot + seed staging\n"
    "  placeholder Create dehydrated placeholder from staging meta\n"
    "  seed        Placeholders for up to 32 files already in the product Cache\n"
    "  connect     CfConnectSyncRoot (blocks until Ctrl+C) - required for open-hydrate\n"
    "  hydrate     Explicit CfHydratePlaceholder (provider should be connected)\n"
    "  dehydrate   CfDehydratePlaceholder (keep identity)\n"
    "  unregister  CfUnregisterSyncRoot\n"
    "  selftest    register + placeholder + connect + hydrate + dehydrate (one process)\n"
    "  bench       10k placeholders, time a metadata enumerate, then unregister\n"
    "  demo        register + placeholder + connect (hydrate/dehydrate in another shell)\n";

}  // namespace

TEST(ProgramFrontEnd, UsageAndExitCodes) {
    TempLocalAppData env;
    const std::string fresh = env.Root() + "/fresh";
    std::filesystem::create_directory(fresh);
    setenv("LOCALAPPDATA", fresh.c_str(), 1);

    ProcessResult none = RunProcess({VOSKE_PROGRAM});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_EQ(none.out, kUsage);
    EXPECT_TRUE(ListDirectory(fresh).empty()) << "no verb must create nothing";

    for (const char* word : {"Paths", "help", "writeback", ""}) {
        ProcessResult result = RunProcess({VOSKE_PROGRAM, word});
        EXPECT_EQ(result.exitCode, 1) << word;
        EXPECT_EQ(result.out, kUsage) << word;
    }
    // Path set-up runs before the verb is matched, so even an unknown verb creates the seven directories.
    const std::string base = fresh + "/nq.vo.tarn.voskel/VOSKE/CloudFiles";
    EXPECT_EQ(ListDirectory(base), (std::vector<std::string>{"Queue", "Staging", "SyncRoot"}));
    EXPECT_EQ(ListDirectory(base + "/Queue"), std::vector<std::string>{"Staging"});
}

TEST(ProgramFrontEnd, PathsReportIgnoresFurtherArguments) {
    TempLocalAppData env;
    ProcessResult result = RunProcess({VOSKE_PROGRAM, "paths", "x", "y"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const std::wstring base = WindowsPathOf(env.ProviderBase());
    std::string b(base.begin(), base.end());
    EXPECT_EQ(result.out, "SyncRoot : " + b + "\\SyncRoot\n" + "Staging  : " + b + "\\Staging\n" + "Log      : " + b +
                              "\\provider.log\n" + "Identity : VOSKECloudFiles!S-1-22-1-" + std::to_string(getuid()) +
                              "!voskel\n");
    EXPECT_EQ(b.rfind("Z:\\", 0), 0u);
    EXPECT_TRUE(ErrorLines(env.LogFile()).empty());
}
