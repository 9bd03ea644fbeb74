// layout_test.cpp - the provider's paths, the identity string, the staging seed and the event log.
#include "app/event_log.h"
#include "layout/provider_paths.h"
#include "layout/sync_root_identity.h"
#include "tests/support/test_env.h"
#include "writeback/queue_records.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

TEST(ProviderPaths, JoinAndSyncRootRelativeTables) {
    const struct {
        const wchar_t* base;
        const wchar_t* leaf;
        const wchar_t* joined;
    } joins[] = {
        {L"", L"x", L"x"},           {L"C:\\a", L"x", L"C:\\a\\x"}, {L"C:\\a\\", L"x", L"C:\\a\\x"},
        {L"C:\\a/", L"x", L"C:\\a/x"}, {L"C:\\a", L"", L"C:\\a\\"},   {L"C:\\a", L"\\x", L"C:\\a\\\\x"},
    };
    for (const auto& row : joins) EXPECT_EQ(JoinPath(row.base, row.leaf), row.joined) << row.base << "|" << row.leaf;

    const std::wstring saved = ProviderPaths.syncRoot;
    ProviderPaths.syncRoot = L"C:\\R\\SyncRoot";
    const struct {
        const wchar_t* path;
        const wchar_t* relative;
    } relatives[] = {
        {L"C:\\R\\SyncRoot\\dir\\a.txt", L"dir/a.txt"}, {L"C:\\R\\SyncRoot\\d1\\d2\\a.txt", L"d1/d2/a.txt"},
        {L"c:\\r\\syncroot\\Dir\\A.txt", L"Dir/A.txt"},  {L"D:\\x\\y.txt", L"x/y.txt"},
        {L"C:\\R\\SyncRootOther\\a.txt", L"R/SyncRootOther/a.txt"}, {L"", L""},
    };
    for (const auto& row : relatives) EXPECT_EQ(SyncRootRelativePath(row.path), row.relative) << row.path;
    ProviderPaths.syncRoot = saved;

    const FILETIME t{0x89ABCDEFu, 0x01234567u};
    EXPECT_EQ(FileTimeToInt64(t), 0x0123456789ABCDEFLL);
    const std::wstring sid = L"S-1-22-1-" + std::to_wstring(getuid());
    EXPECT_EQ(CurrentUserSid(), sid);
    EXPECT_EQ(BuildSyncRootId(), L"VOSKECloudFiles!" + sid + L"!voskel");
}

TEST(ProviderPaths, FollowLocalAppDataAndCreateTheLayoutOnce) {
    TempLocalAppData env;
    // Paths derived from a Windows-form or missing LOCALAPPDATA are relative here: keep them in the temporary tree.
    const std::filesystem::path old = std::filesystem::current_path();
    std::filesystem::current_path(env.Root());
    const std::wstring local = L"C:\\Users\\u\\AppData\\Local\\nq.vo.tarn.voskel\\VOSKE";
    setenv("LOCALAPPDATA", "C:\\Users\\u\\AppData\\Local", 1);
    InitProviderPaths();
    EXPECT_EQ(ProviderPaths.syncRoot, local + L"\\CloudFiles\\SyncRoot");
    EXPECT_EQ(SeedManifestPath(), local + L"\\CloudFiles\\seed-manifest.tsv");
    EXPECT_EQ(ProductCachePath(L"d\\i\\f.bin"), local + L"\\Cache\\d\\i\\f.bin");
    EXPECT_EQ(ProductCachePath(L""), L"");

    // Unset, with no XDG or HOME fallback: relative paths, and no cache or manifest path.
    unsetenv("LOCALAPPDATA");
    unsetenv("XDG_DATA_HOME");
    unsetenv("HOME");
    InitProviderPaths();
    EXPECT_EQ(LocalAppDataDir(), L"");
    EXPECT_EQ(ProviderPaths.syncRoot, L"nq.vo.tarn.voskel\\VOSKE\\CloudFiles\\SyncRoot");
    EXPECT_EQ(ProductCachePath(L"x"), L"");
    EXPECT_EQ(SeedManifestPath(), L"");
    EXPECT_TRUE(FileExists(env.Root() + "/nq.vo.tarn.voskel/VOSKE/CloudFiles/Queue/Staging"));
    std::filesystem::current_path(old);
    std::filesystem::remove_all(env.Root() + "/nq.vo.tarn.voskel");

    // A POSIX LOCALAPPDATA is the Z: drive; a second start makes the same seven directories.
    setenv("LOCALAPPDATA", env.Root().c_str(), 1);
    InitProviderPaths();
    InitProviderPaths();
    EXPECT_EQ(ProviderPaths.syncRoot, WindowsPathOf(env.SyncRoot()));
    EXPECT_EQ(ProviderPaths.logFile, WindowsPathOf(env.LogFile()));
    EXPECT_EQ(ListDirectory(env.Root()), std::vector<std::string>{"nq.vo.tarn.voskel"});
    EXPECT_EQ(ListDirectory(env.ProductDir()), std::vector<std::string>{"CloudFiles"});
    EXPECT_EQ(ListDirectory(env.ProviderBase()), (std::vector<std::string>{"Queue", "Staging", "SyncRoot"}));
    EXPECT_EQ(ListDirectory(env.ProviderBase() + "/Queue"), std::vector<std::string>{"Staging"});

    // The staging seed replaces whatever is there with exactly its 93 bytes; without a directory it fails.
    const std::string seed = env.ProviderBase() + "/Staging/hello-from-engine.txt";
    WriteFileBytes(seed, std::string(500, 'x'));
    ASSERT_TRUE(WriteStagingSeed());
    EXPECT_EQ(ReadFileBytes(seed),
              "VOSKE Cloud Files spike\r\nHydrated from local staging (mock engine). NO network in callback.\r\n");
    std::filesystem::remove_all(env.ProviderBase() + "/Staging");
    EXPECT_FALSE(WriteStagingSeed());
    EXPECT_FALSE(FileExists(env.ProviderBase() + "/Staging"));
}

TEST(EventLog, OneLineOnStderrCrLfInTheFileCutAt1023BytesAndWidePathsAsUtf8) {
    TempLocalAppData env;
    // The program formats wide paths as UTF-8 itself: it runs in the C runtime's "C" locale, as on Windows.
    const std::string wide = "path=" + ToUtf8(L"C:\\Users\\J\u00f6rg\\\u65e5\u672c");
    testing::internal::CaptureStderr();
    LogEvent("SEED", "ok");
    LogEvent("ERROR", std::string(2000, 'm').c_str());
    LogEvent("REGISTER", wide.c_str());
    const std::string err = testing::internal::GetCapturedStderr();

    const std::string stamp = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} )";
    EXPECT_TRUE(std::regex_match(err.substr(0, err.find('\n') + 1), std::regex(stamp + R"(\[SEED\] ok\n)"))) << err;
    // The cut line has no line end, so the next line continues on the same text line of the file.
    const std::string file = ReadFileBytes(env.LogFile());
    ASSERT_GT(file.size(), 31u + 1023u);
    EXPECT_EQ(file.substr(0, 31), err.substr(0, 29) + "\r\n");
    EXPECT_EQ(file.substr(31 + 20, 8), "[ERROR] ");
    EXPECT_EQ(file.substr(31 + 28, 1023 - 28), std::string(1023 - 28, 'm'));
    EXPECT_TRUE(std::regex_match(file.substr(31 + 1023, 20), std::regex(stamp)));
    EXPECT_EQ(file.substr(31 + 1023 + 20), "[REGISTER] path=C:\\Users\\J\xc3\xb6rg\\\xe6\x97\xa5\xe6\x9c\xac\r\n");

    // Without a log path, or with one in a missing directory, the line still reaches stderr and no file is made.
    const std::wstring saved = ProviderPaths.logFile;
    testing::internal::CaptureStderr();
    ProviderPaths.logFile.clear();
    LogEvent("SEED", "no file");
    ProviderPaths.logFile = WindowsPathOf(env.Root() + "/missing-dir/provider.log");
    LogEvent("SEED", "still on stderr");
    const std::string quiet = testing::internal::GetCapturedStderr();
    ProviderPaths.logFile = saved;
    EXPECT_FALSE(FileExists(env.Root() + "/missing-dir"));
    EXPECT_NE(quiet.find("[SEED] no file\n"), std::string::npos);
    EXPECT_NE(quiet.find("[SEED] still on stderr\n"), std::string::npos);
}

TEST(EventLog, TwoProcessesAppendingAtOnceLoseNoLine) {
    TempLocalAppData env;
    constexpr int kLines = 3000;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    const char* who = child == 0 ? "child" : "parent";
    if (child == 0 && freopen("/dev/null", "w", stderr) == nullptr) _exit(1);
    if (child != 0) testing::internal::CaptureStderr();
    for (int i = 0; i < kLines; ++i) LogEvent("SEED", (std::string(who) + " " + std::to_string(i)).c_str());
    if (child == 0) _exit(0);
    testing::internal::GetCapturedStderr();
    int status = 0;
    waitpid(child, &status, 0);

    const std::vector<std::string> lines = LogMessages(env.LogFile());
    std::multiset<std::string> seen(lines.begin(), lines.end()), expected;
    for (int i = 0; i < kLines; ++i) {
        for (const std::string name : {"child ", "parent "}) expected.insert("[SEED] " + name + std::to_string(i));
    }
    EXPECT_TRUE(seen == expected);  // none lost, none cut, none twice
}
