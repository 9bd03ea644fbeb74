// program_e2e_test.cpp - the verbs as separate processes, and what a running `connect` does for other processes.
#include "tests/e2e/e2e_fixture.h"

namespace e2e {
namespace {

using ProgramE2e = ProgramTest;

bool HoldsOpen(int pid, const std::string& path) {
    std::error_code error;
    const fs::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd", error);
    return std::any_of(begin(fds), end(fds), [&](auto& fd) { return fs::read_symlink(fd.path(), error) == path; });
}

// The front end; connect ended by each console signal; the verbs and reads of other processes while it serves.
TEST_F(ProgramE2e, TheFrontEndThenConnectServingTheVerbsAndReadsOfOtherProcesses) {
    EXPECT_EQ(OutputOf(Verb("Paths"), 1).rfind("voske-cf-spike <command>\n  paths       Print sync root", 0), 0u);
    const std::string paths = OutputOf(RunProcess({VOSKE_PROGRAM, "paths", "x", "y"}));  // extra words ignored
    const std::string b = posix::WideToUtf8(WindowsPathOf(Env().ProviderBase()));
    EXPECT_EQ(paths, "SyncRoot : " + b + "\\SyncRoot\nStaging  : " + b + "\\Staging\nLog      : " + b +
                         "\\provider.log\nIdentity : VOSKECloudFiles!S-1-22-1-" + std::to_string(getuid()) +
                         "!voskel\n");

    std::vector<std::string> errors = {"[ERROR] CfConnectSyncRoot failed hr=0x80070186 - the directory is not a registered sync "
                                       "root (run register first)"};
    EXPECT_EQ(Verb("connect").exitCode, 1);

    ASSERT_EQ(Verb("register").exitCode, 0);
    ASSERT_EQ(Verb("placeholder").exitCode, 0);
    EXPECT_NE(OutputOf(Verb("demo"), 1).find("Identity : VOSKECloudFiles!"), std::string::npos);
    EXPECT_EQ(CountLines("[DEMO]") + CountLines("[CONNECT]"), 0);
    errors.push_back("[ERROR] CfCreatePlaceholders failed hr=0x800700B7 Result=0x800700B7 processed=1");

    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        const int disconnects = CountLines("[CONNECT] CfDisconnectSyncRoot hr=0x00000000");
        StartProvider();
        if (signal == SIGINT) {
            WriteFileBytes(
                Env().ProviderBase() + "/seed-manifest.tsv",
                "\tI1\tb.txt\t12\tb.txt\nd1\ti8\tshort.txt\t100\tshort.txt\nd1\ti9\tnever.txt\t10\tnever.txt\n");
            ASSERT_TRUE(WaitForLine("[SEED] manifest seen 3 seeded 3 (cap 100000, no network)", 10000));
            EXPECT_EQ(fs::file_size(Root("b.txt")), 12u);
        }
        provider->Signal(signal);
        ASSERT_TRUE(provider->Wait(10000));
        provider.reset();
        EXPECT_EQ(CountLines("[CONNECT] CfDisconnectSyncRoot hr=0x00000000"), disconnects + 1);
    }
    PutCacheFile("I1/b.txt", "twelve bytes");
    PutCacheFile("d1/i8/short.txt", "five!");
    const std::string hello = Root("hello-from-engine.txt");
    const std::string stagingCopy = Env().ProviderBase() + "/Queue/Staging/hello-from-engine.txt",
                      productCopy = Queue() + "/CloudFiles/hello-from-engine.txt";
    StartProvider();
    OutputOf(Verb("hydrate"));
    EXPECT_EQ(LastLine("[HYDRATE] CfHydratePlaceholder"), "[HYDRATE] CfHydratePlaceholder hr=0x00000000 probe_read=1");
    EXPECT_TRUE(WaitForLine("[HYDRATE] HYDRATE_FROM", 20000));
    EXPECT_EQ(LastLine("[HYDRATE] HYDRATE_FROM"), "[HYDRATE] HYDRATE_FROM_STAGING bytes=93 hr=0x00000000 (no network)");
    EXPECT_EQ(ReadFileBytes(hello), kSeed);
    // Another process's read of the demonstration file is no change: nothing is staged for it.
    EXPECT_TRUE(WaitForLine("[WRITEBACK] unchanged close skipped", 20000));
    EXPECT_FALSE(FileExists(stagingCopy));
    EXPECT_EQ(CountLines("[WRITEBACK] WRITEBACK_QUEUED"), 0);
    // The verbs wait out another process's handle for a moment; the dehydrating verb even one that shares writing.
    const auto briefly = [&](const char* verb, const char* holderShares) {
        BackgroundProcess holder({VOSKE_CFEMU, "hold", hello, "r", holderShares});
        EXPECT_TRUE(WaitUntil([&] { return holder.Out().find("holding") != std::string::npos; }, 20000));
        BackgroundProcess writer({VOSKE_PROGRAM, verb});
        Sleep(300);
        holder.Signal(SIGTERM);
        EXPECT_EQ(ExitOf(writer, 20000), 0) << verb << " " << writer.Err();
    };
    briefly("dehydrate", "rw");
    EXPECT_EQ(LastLine("[DEHYDRATE]"), "[DEHYDRATE] CfDehydratePlaceholder hr=0x00000000 (identity kept)");
    EXPECT_TRUE(WaitForLine("[WRITEBACK] WRITEBACK dehydrated close skipped", 20000));
    EXPECT_FALSE(Hydrated("hello-from-engine.txt"));
    EXPECT_EQ(OutputOf(Cfemu({"cat", hello})), kSeed);
    briefly("writeback-client", "r");
    const std::string marked = kSeed + std::string("queued-local");
    EXPECT_TRUE(
        WaitUntil([&] { return ReadFileBytes(stagingCopy) == marked && ReadFileBytes(productCopy) == marked; }, 5000));

    EXPECT_EQ(OutputOf(Cfemu({"cat", Root("b.txt")})), "twelve bytes");
    OutputOf(Cfemu({"rm", Root("b.txt")}));
    EXPECT_EQ(RecordsWhenThere("delete-", 1), std::vector<std::string>{DeleteRecord("", "I1", "b.txt")});

    for (const char* name : {"short.txt", "never.txt"}) {
        ExpectRefused(Cfemu({"cat", Root(name)}), "ERROR_CLOUD_FILE_UNSUCCESSFUL");
    }
    EXPECT_EQ(DownloadRecords().size(), 1u);
    errors.push_back("[ERROR] HYDRATE staging missing - refusing (no network fallback)");
    EXPECT_EQ(Errors(), errors);
}

// A close from another process is written back once, and the copy of a large file blocks none of its users.
TEST_F(ProgramE2e, RecordsAndWriteBackOfChangesFromOtherProcesses) {
    const size_t bigSize = 64 * kMiB;
    RegisterAndSeed("d1\ti7\ta.txt\t12\ta.txt\nd1\tdir\tdir\\sub\t0\tsub\t1\nd1\tbig\tbig.bin\t" +
                    std::to_string(bigSize) + "\tbig.bin\nd1\tox\tout\\x.txt\t1\tx.txt\nd1\toy\tout\\deep\\er\\y.txt\t1\ty.txt\n");
    ASSERT_EQ(Verb("placeholder").exitCode, 0);
    StartProvider();

    const std::string big = PatternBytes(bigSize, 1);
    PutCacheFile("d1/big/big.bin", big);
    const std::string engineCopy = Queue() + "/CloudFiles/d1/big/big.bin";
    // A reader of the engine's previous copy: Windows replaces only a closed file, so the provider's copy waits for
    // it, holding the placeholder open for reading, while another writer comes.
    fs::create_directories(Queue() + "/CloudFiles/d1/big");
    WriteFileBytes(engineCopy, "previous");
    auto reader = std::make_unique<BackgroundProcess>(std::vector<std::string>{VOSKE_CFEMU, "hold", engineCopy, "r", "rwd"});
    ASSERT_TRUE(WaitUntil([&] { return reader->Out().find("holding") != std::string::npos; }, 20000));
    OutputOf(Cfemu({"append", Root("big.bin"), "1"}));
    ASSERT_TRUE(WaitUntil([&] { return HoldsOpen(provider->Pid(), Root("big.bin")); }, 20000));
    OutputOf(Cfemu({"append", Root("big.bin"), "2"}));
    reader->Signal(SIGTERM);
    ExitOf(*reader);
    // The first copy landed and saw the file change meanwhile; the second, taken after it, has the last bytes.
    ASSERT_TRUE(WaitUntil([&] { return Records("mod-").size() == 2; }, 30000)) << ListDirectory(Inbox()).size();
    ASSERT_TRUE(WaitUntil([&] { return ReadFileBytes(engineCopy) == big + "12"; }, 30000));
    EXPECT_EQ(CountLines("[WRITEBACK] WRITEBACK changed while copied - left out of sync"), 1);
    // Reading it afterwards is no change.
    EXPECT_EQ(OutputOf(Cfemu({"cat", Root("big.bin")})).size(), bigSize + 2);
    ASSERT_EQ(Cfemu({"append", Root("hello-from-engine.txt"), "!"}).exitCode, 0);
    const std::string journal = Env().ProviderBase() + "/Queue/pending-spike.jsonl";
    ASSERT_TRUE(WaitUntil([&] { return ReadFileBytes(journal) == "write-back\r\n"; }, 20000));
    // Its own handle on each closed file (both appends, the read, the staging file) raises a close it skips.
    ASSERT_TRUE(WaitUntil([&] { return CountLines("[WRITEBACK] WRITEBACK own close skipped") == 4; }, 20000));
    EXPECT_EQ(ListDirectory(Queue() + "/CloudFiles/d1/big"), std::vector<std::string>{"big.bin"});  // no partial copy
    EXPECT_EQ(CountLines("[WRITEBACK] WRITEBACK_ENGINE_QUEUE local copy only, no network"), 2);
    EXPECT_EQ(ReadFileBytes(Env().ProviderBase() + "/Queue/Staging/hello-from-engine.txt").back(), '!');
    ClearInbox();

    // A folder moved out of the root takes its items with it: one delete each, however deep, and only once.
    ASSERT_EQ(Cfemu({"mv", Root("out"), Env().Root() + "/outside"}).exitCode, 0);
    const std::vector<std::string> movedOut = {DeleteRecord("d1", "ox", "out/x.txt"),
                                               DeleteRecord("d1", "oy", "out/deep/er/y.txt")};
    const auto deletes = [&] {
        std::vector<std::string> found = Records("delete-");
        std::sort(found.begin(), found.end());
        return found;
    };
    EXPECT_EQ(deletes(), movedOut);
    ClearInbox();
    ASSERT_EQ(Cfemu({"mv", Root("a.txt"), Root("dir/sub/c.txt")}).exitCode, 0);
    EXPECT_EQ(RecordsWhenThere("modify-", 1), std::vector<std::string>{RenameRecord("i7", "dir/sub/c.txt", "a.txt")});
    ASSERT_EQ(Cfemu({"rm", Root("dir/sub/c.txt")}).exitCode, 0);  // found at its new path
    EXPECT_EQ(RecordsWhenThere("delete-", 1), std::vector<std::string>{DeleteRecord("d1", "i7", "dir/sub/c.txt")});
    // Renamed and deleted at once: the engine, which never heard of the rename, is told the item went from where it
    // knows it.
    ClearInbox();
    ASSERT_EQ(Cfemu({"mv", Root("big.bin"), Root("big2.bin")}).exitCode, 0);
    ASSERT_EQ(Cfemu({"rm", Root("big2.bin")}).exitCode, 0);
    EXPECT_EQ(RecordsWhenThere("delete-", 1), std::vector<std::string>{DeleteRecord("d1", "big", "big.bin")});
    usleep(4000 * 1000);  // past the watcher's window for what left the root
    EXPECT_EQ(deletes(), std::vector<std::string>{DeleteRecord("d1", "big", "big.bin")});
    EXPECT_TRUE(Records("modify-").empty());

    EXPECT_TRUE(Errors().empty()) << Errors().front();
}

}  // namespace
}  // namespace e2e
