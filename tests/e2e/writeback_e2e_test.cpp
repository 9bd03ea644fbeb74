// writeback_e2e_test.cpp - deletes and renames made by an application (cfemu) while `connect` runs: the engine
// inbox gets its records before the sync root changes, and every operation goes ahead.
#include "tests/support/processes.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <tuple>

#include "platform/win32.h"

namespace fs = std::filesystem;

namespace {

constexpr unsigned long long kBigSize = 64ull * 1024 * 1024;

// True while process `pid` holds a descriptor open on `path`.
bool HoldsOpen(int pid, const std::string& path) {
    std::error_code error;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error);
         !error && it != fs::directory_iterator(); it.increment(error)) {
        std::error_code linkError;
        if (fs::read_symlink(it->path(), linkError) == path) return true;
    }
    return false;
}

class WritebackE2e : public testing::Test {
protected:
    void SetUp() override {
        // A cache-reference placeholder a.txt at the top, a directory to move into, and the demo placeholder.
        ASSERT_EQ(RunProcess({VOSKE_PROGRAM, "register"}).exitCode, 0);
        WriteFileBytes(env.ProviderBase() + "/seed-manifest.tsv",
                       "d1\ti7\ta.txt\t12\ta.txt\nd1\tdir\tdir\\sub\t0\tsub\t1\n"
                       "d1\tbig\tbig.bin\t" + std::to_string(kBigSize) + "\tbig.bin\n");
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

// A close from another process is written back once: one copy, one record; the provider's own copy raises a
// close of its own, which it recognises and skips, so nothing more follows. While the provider copies a large
// file, an application may still open it to write and to read: the copy shares all access.
TEST_F(WritebackE2e, CloseFromAnotherProcessIsCopiedOnceAndTheCopyNeverBlocksTheFilesUsers) {
    std::string big(kBigSize, '\0');
    for (size_t i = 0; i < big.size(); i += 4096) big[i] = static_cast<char>('a' + (i / 4096) % 26);
    fs::create_directories(env.ProductDir() + "/Cache/d1/big");
    WriteFileBytes(env.ProductDir() + "/Cache/d1/big/big.bin", big);
    const std::string engineCopy = env.ProductDir() + "/Queue/CloudFiles/d1/big/big.bin";

    ProcessResult first = Cfemu({"append", Root("big.bin"), "1"});
    ASSERT_EQ(first.exitCode, 0) << first.err << ReadFileBytes(env.LogFile());
    // The provider now copies 64 MiB in its close callback; meanwhile another writer and a reader come.
    ASSERT_TRUE(WaitUntil([&] { return HoldsOpen(provider->Pid(), Root("big.bin")); }, 20000));
    ProcessResult second = Cfemu({"append", Root("big.bin"), "2"});
    EXPECT_EQ(second.exitCode, 0) << second.err;
    ProcessResult reader = Cfemu({"cat", Root("big.bin")});
    EXPECT_EQ(reader.exitCode, 0) << reader.err;
    EXPECT_EQ(reader.out.size(), kBigSize + 2);

    // Two closes of writers, and the reader's close: each copied once, each with its record.
    ASSERT_TRUE(WaitUntil([&] { return ListDirectory(Inbox()).size() == 3; }, 30000)) << ListDirectory(Inbox()).size();
    ASSERT_TRUE(WaitUntil([&] { return ReadFileBytes(engineCopy) == big + "12"; }, 30000));
    const auto quiet = [&] {
        std::vector<std::string> log = Log();
        return std::make_tuple(ListDirectory(Inbox()), ListDirectory(env.ProductDir() + "/Queue/CloudFiles/d1/big"),
                               std::count(log.begin(), log.end(), "[WRITEBACK] close callback entered"));
    };
    const auto settled = quiet();
    Sleep(1000);
    EXPECT_EQ(quiet(), settled);
    EXPECT_EQ(std::get<1>(settled), std::vector<std::string>{"big.bin"});  // no partial copy left behind
    std::vector<std::string> log = Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), "[WRITEBACK] WRITEBACK_ENGINE_QUEUE local copy only, no network"), 3);
    EXPECT_EQ(std::count(log.begin(), log.end(), "[WRITEBACK] WRITEBACK own close skipped"), 3);
    EXPECT_TRUE(ErrorLines(env.LogFile()).empty()) << ErrorLines(env.LogFile()).front();

    // The demonstration placeholder: one close, one staging copy, one journal line.
    ProcessResult demo = Cfemu({"append", Root("hello-from-engine.txt"), "!"});
    ASSERT_EQ(demo.exitCode, 0) << demo.err;
    const std::string journal = env.ProviderBase() + "/Queue/pending-spike.jsonl";
    ASSERT_TRUE(WaitUntil([&] { return ReadFileBytes(journal) == "write-back\r\n"; }, 20000));
    Sleep(1000);
    EXPECT_EQ(ReadFileBytes(journal), "write-back\r\n");
    EXPECT_EQ(ListDirectory(env.ProviderBase() + "/Queue/Staging"), std::vector<std::string>{"hello-from-engine.txt"});
    EXPECT_EQ(ReadFileBytes(env.ProviderBase() + "/Queue/Staging/hello-from-engine.txt").back(), '!');
}
