// layout_test.cpp - the provider's paths, the identity string and the staging seed file.
#include "layout/provider_paths.h"
#include "layout/sync_root_identity.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <unistd.h>

namespace {

// Runs a body with the current directory inside the test's temporary directory, because paths derived from a
// Windows-form or missing LOCALAPPDATA are relative on Linux and must not land in the source tree.
class ScopedCwd {
public:
    explicit ScopedCwd(const std::string& dir) : old_(std::filesystem::current_path()) { std::filesystem::current_path(dir); }
    ~ScopedCwd() { std::filesystem::current_path(old_); }

private:
    std::filesystem::path old_;
};

}  // namespace

TEST(JoinPath, FollowsTheSeparatorRule) {
    struct Row {
        const wchar_t* base;
        const wchar_t* leaf;
        const wchar_t* expected;
    } rows[] = {
        {L"", L"x", L"x"},           {L"C:\\a", L"x", L"C:\\a\\x"}, {L"C:\\a\\", L"x", L"C:\\a\\x"},
        {L"C:\\a/", L"x", L"C:\\a/x"}, {L"C:\\a", L"", L"C:\\a\\"},   {L"C:\\a", L"\\x", L"C:\\a\\\\x"},
    };
    for (const auto& row : rows) EXPECT_EQ(JoinPath(row.base, row.leaf), row.expected) << row.base << "|" << row.leaf;
}

TEST(ProviderPaths, FollowLocalAppData) {
    TempLocalAppData env;
    ScopedCwd cwd(env.Root());

    setenv("LOCALAPPDATA", "C:\\Users\\u\\AppData\\Local", 1);
    InitProviderPaths();
    EXPECT_EQ(ProviderPaths.syncRoot, L"C:\\Users\\u\\AppData\\Local\\nq.vo.tarn.voskel\\VOSKE\\CloudFiles\\SyncRoot");
    EXPECT_EQ(SeedManifestPath(), L"C:\\Users\\u\\AppData\\Local\\nq.vo.tarn.voskel\\VOSKE\\CloudFiles\\seed-manifest.tsv");
    EXPECT_EQ(ProductCachePath(L"d\\i\\f.bin"), L"C:\\Users\\u\\AppData\\Local\\nq.vo.tarn.voskel\\VOSKE\\Cache\\d\\i\\f.bin");
    EXPECT_EQ(ProductCachePath(L""), L"");

    // A POSIX LOCALAPPDATA appears to the program on the Z: drive.
    setenv("LOCALAPPDATA", env.Root().c_str(), 1);
    InitProviderPaths();
    EXPECT_EQ(ProviderPaths.syncRoot, WindowsPathOf(env.SyncRoot()));
    EXPECT_EQ(ProviderPaths.logFile, WindowsPathOf(env.LogFile()));
    EXPECT_EQ(ProviderPaths.syncRoot.rfind(L"Z:\\", 0), 0u);

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

    // Unset LOCALAPPDATA falls back to the XDG data directory.
    setenv("XDG_DATA_HOME", (env.Root() + "/xdg").c_str(), 1);
    EXPECT_EQ(LocalAppDataDir(), WindowsPathOf(env.Root() + "/xdg"));
}

TEST(ProviderPaths, InitTwiceKeepsValuesAndCreatesSevenDirectories) {
    TempLocalAppData env;
    InitProviderPaths();
    const ProviderPathSet first = ProviderPaths;
    InitProviderPaths();
    EXPECT_EQ(ProviderPaths.syncRoot, first.syncRoot);
    EXPECT_EQ(ProviderPaths.staging, first.staging);
    EXPECT_EQ(ProviderPaths.queue, first.queue);
    EXPECT_EQ(ProviderPaths.logFile, first.logFile);
    EXPECT_EQ(ListDirectory(env.Root()), std::vector<std::string>{"nq.vo.tarn.voskel"});
    EXPECT_EQ(ListDirectory(env.ProductDir()), std::vector<std::string>{"CloudFiles"});
    EXPECT_EQ(ListDirectory(env.ProviderBase()), (std::vector<std::string>{"Queue", "Staging", "SyncRoot"}));
    EXPECT_EQ(ListDirectory(env.ProviderBase() + "/Queue"), std::vector<std::string>{"Staging"});
}

TEST(SyncRootRelativePath, KeepsSubdirectoriesBelowTheRoot) {
    const std::wstring saved = ProviderPaths.syncRoot;
    ProviderPaths.syncRoot = L"C:\\R\\SyncRoot";
    struct Row {
        const wchar_t* path;
        const wchar_t* expected;
    } rows[] = {
        {L"C:\\R\\SyncRoot\\a.txt", L"a.txt"},
        {L"C:\\R\\SyncRoot\\dir\\a.txt", L"dir/a.txt"},
        {L"C:\\R\\SyncRoot\\d1\\d2\\a.txt", L"d1/d2/a.txt"},
        {L"c:\\R\\SyncRoot\\a.txt", L"a.txt"},
        {L"C:\\r\\syncroot\\Dir\\A.txt", L"Dir/A.txt"},
        {L"D:\\x\\y.txt", L"x/y.txt"},
        {L"C:\\R\\SyncRootOther\\a.txt", L"R/SyncRootOther/a.txt"},
        {L"", L""},
    };
    for (const auto& row : rows) EXPECT_EQ(SyncRootRelativePath(row.path), row.expected) << row.path;
    ProviderPaths.syncRoot = saved;
}

TEST(FileTimeToInt64, JoinsTheHalves) {
    FILETIME t{0x89ABCDEFu, 0x01234567u};
    EXPECT_EQ(FileTimeToInt64(t), 0x0123456789ABCDEFLL);
}

TEST(SyncRootIdentity, NamesTheUnixUser) {
    const std::wstring expectedSid = L"S-1-22-1-" + std::to_wstring(getuid());
    EXPECT_EQ(CurrentUserSid(), expectedSid);
    EXPECT_EQ(BuildSyncRootId(), L"VOSKECloudFiles!" + expectedSid + L"!voskel");
}

TEST(StagingSeed, IsExactlyTheNinetyThreeBytes) {
    TempLocalAppData env;
    const std::string seed = env.ProviderBase() + "/Staging/hello-from-engine.txt";
    WriteFileBytes(seed, std::string(500, 'x'));
    ASSERT_TRUE(WriteStagingSeed());
    EXPECT_EQ(ReadFileBytes(seed),
              "VOSKE Cloud Files spike\r\nHydrated from local staging (mock engine). NO network in callback.\r\n");
    EXPECT_EQ(ReadFileBytes(seed).size(), 93u);

    std::filesystem::remove_all(env.ProviderBase() + "/Staging");
    EXPECT_FALSE(WriteStagingSeed());
    EXPECT_FALSE(FileExists(env.ProviderBase() + "/Staging"));
}
