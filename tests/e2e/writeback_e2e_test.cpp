// writeback_e2e_test.cpp - deletes and renames made by an application (cfemu) while `connect` runs: the engine
// inbox gets its records before the sync root changes, and every operation goes ahead.
#include "tests/support/processes.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

class WritebackE2e : public testing::Test {
protected:
    void SetUp() override {
        // A cache-reference placeholder a.txt at the top, a directory to move into, and the demo placeholder.
        ASSERT_EQ(RunProcess({VOSKE_PROGRAM, "register"}).exitCode, 0);
        WriteFileBytes(env.ProviderBase() + "/seed-manifest.tsv",
                       "d1\ti7\ta.txt\t12\ta.txt\nd1\tdir\tdir\\sub\t0\tsub\t1\n");
        ASSERT_EQ(RunProcess({VOSKE_PROGRAM, "seed"}).exitCode, 0);
        ASSERT_EQ(RunProcess({VOSKE_PROGRAM, "placeholder"}).exitCode, 0);
        provider = std::make_unique<BackgroundProcess>(std::vector<std::string>{VOSKE_PROGRAM, "connect"});
        ASSERT_TRUE(WaitForLogLine(env.LogFile(), "[CONNECT] Waiting - open file in Explorer"));
    }
    void TearDown() override {
        if (provider) {
            provider->Signal(SIGINT);
            provider->Wait(10000);
        }
        RunProcess({VOSKE_PROGRAM, "unregister"});
    }
    ProcessResult Cfemu(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {VOSKE_CFEMU};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProcess(argv, 60000);
    }
    std::vector<std::string> Log() const { return LogMessages(env.LogFile()); }
    std::string Root(const std::string& relative) const { return env.SyncRoot() + "/" + relative; }
    std::string Inbox() const { return env.ProductDir() + "/Queue/cloud-files-inbox"; }
    // The one record whose name starts with `prefix`; fails the test when there is not exactly one.
    std::string OnlyRecord(const std::string& prefix, std::string* name = nullptr) const {
        std::vector<std::string> matches;
        for (const std::string& entry : ListDirectory(Inbox())) {
            if (entry.rfind(prefix, 0) == 0) matches.push_back(entry);
        }
        EXPECT_EQ(matches.size(), 1u) << prefix;
        if (matches.size() != 1) return std::string();
        if (name != nullptr) *name = matches[0];
        return ReadFileBytes(Inbox() + "/" + matches[0]);
    }
    // The record was complete before the sync root's directory entry changed.
    void ExpectWrittenBefore(const std::string& recordName, const std::string& directory) const {
        EXPECT_LE(fs::last_write_time(Inbox() + "/" + recordName), fs::last_write_time(directory)) << recordName;
    }

    TempLocalAppData env;
    std::unique_ptr<BackgroundProcess> provider;
};

}  // namespace

TEST_F(WritebackE2e, RenameInPlaceThenMoveThenDeleteOfACacheReference) {
    ProcessResult rename = Cfemu({"mv", Root("a.txt"), Root("b.txt")});
    ASSERT_EQ(rename.exitCode, 0) << rename.err;
    std::string renameName;
    EXPECT_EQ(OnlyRecord("modify-", &renameName),
              "{\"type\":\"modify\",\"domainId\":\"d1\",\"itemId\":\"i7\",\"isDir\":false,\"targetPath\":\"b.txt\","
              "\"previousPath\":\"a.txt\",\"timestamp\":0,\"attempts\":0}\n");
    EXPECT_TRUE(FileExists(Root("b.txt")));
    EXPECT_FALSE(FileExists(Root("a.txt")));
    ExpectWrittenBefore(renameName, env.SyncRoot());
    fs::remove(Inbox() + "/" + renameName);

    ProcessResult move = Cfemu({"mv", Root("b.txt"), Root("dir/sub/c.txt")});
    ASSERT_EQ(move.exitCode, 0) << move.err;
    EXPECT_EQ(OnlyRecord("modify-"),
              "{\"type\":\"modify\",\"domainId\":\"d1\",\"itemId\":\"i7\",\"isDir\":false,\"targetPath\":"
              "\"dir/sub/c.txt\",\"previousPath\":\"b.txt\",\"timestamp\":0,\"attempts\":0}\n");
    EXPECT_TRUE(FileExists(Root("dir/sub/c.txt")));

    ProcessResult remove = Cfemu({"rm", Root("dir/sub/c.txt")});
    ASSERT_EQ(remove.exitCode, 0) << remove.err;
    std::string deleteName;
    EXPECT_EQ(OnlyRecord("delete-", &deleteName),
              "{\"type\":\"delete\",\"domainId\":\"d1\",\"itemId\":\"i7\",\"isDir\":false,\"targetPath\":"
              "\"dir/sub/c.txt\",\"timestamp\":0,\"attempts\":0}\n");
    EXPECT_FALSE(FileExists(Root("dir/sub/c.txt")));
    ExpectWrittenBefore(deleteName, Root("dir/sub"));

    for (const std::string& line : Log()) {
        EXPECT_EQ(line.rfind("[ERROR]", 0), std::string::npos) << line;
    }
}

TEST_F(WritebackE2e, DemoPlaceholderIsRenamedAndDeletedWithoutARecord) {
    ProcessResult rename = Cfemu({"mv", Root("hello-from-engine.txt"), Root("dir/hello.txt")});
    ASSERT_EQ(rename.exitCode, 0) << rename.err;
    EXPECT_TRUE(FileExists(Root("dir/hello.txt")));
    ProcessResult remove = Cfemu({"rm", Root("dir/hello.txt")});
    ASSERT_EQ(remove.exitCode, 0) << remove.err;
    EXPECT_FALSE(FileExists(Root("dir/hello.txt")));

    EXPECT_TRUE(ListDirectory(Inbox()).empty());
    std::vector<std::string> log = Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), "[WRITEBACK] rename callback - local queue only, no network"), 1);
    EXPECT_EQ(std::count(log.begin(), log.end(), "[WRITEBACK] delete callback - local queue only, no network"), 1);
}
