// memory_e2e_test.cpp - what the provider remembers in its item database, across stops, kills and a lost database:
// changes made while it was away arrive once, nothing deleted comes back, and a damaged file is rebuilt.
#include "tests/e2e/e2e_fixture.h"


namespace e2e {
namespace {

class Memory : public ProgramTest {
  protected:
    std::string Database() const { return Env().ProviderBase() + "/items.db"; }
    void Stop() {
        provider->Signal(SIGINT);
        ASSERT_TRUE(provider->Wait(20000));
        provider.reset();
    }
    void Restart() {
        Stop();
        StartProvider();
    }
    // Moves everything the write-ahead log holds into the database file itself, as a clean close would.
    void Checkpoint(const std::string& path) const { SqliteAnswer(path, "PRAGMA wal_checkpoint(TRUNCATE)"); }
    static std::string IntegrityOf(const std::string& path) { return SqliteAnswer(path, "PRAGMA integrity_check"); }
};

TEST_F(Memory, ChangesMadeWhileNoProviderRanArriveOnceAndNothingDeletedComesBack) {
    SeedFiles({{"keep.txt", 10}, {"gone.txt", 11}, {"moved.txt", 12}, {"late.txt", 13}, {"saved.txt", 14},
               {"xl.txt", 15}, {"wd.txt", 16}});
    StartProvider();
    // Saves through the platform that delete or rename the original away and give a new file its name, the provider
    // killed within the moment the name waits: the next start takes each as the item's change, never as a delete.
    WriteFileBytes(Root("xl.tmp"), "excel\n");
    ASSERT_EQ(Cfemu({"rm", Root("xl.txt")}).exitCode, 0);
    fs::rename(Root("xl.tmp"), Root("xl.txt"));
    ASSERT_EQ(Cfemu({"mv", Root("wd.txt"), Root("~wd.tmp")}).exitCode, 0);
    WriteFileBytes(Root("wd.new"), "word\n");
    fs::rename(Root("wd.new"), Root("wd.txt"));
    ASSERT_EQ(Cfemu({"rm", Root("~wd.tmp")}).exitCode, 0);
    KillProvider();
    StartProvider();
    ASSERT_TRUE(WaitUntil([&] { return InSyncIdentity("xl.txt") == "cf\td1\txl\txl.txt" &&
                                       InSyncIdentity("wd.txt") == "cf\td1\twd\twd.txt"; }, 20000));
    usleep(4000 * 1000);  // past the moment a name waits
    EXPECT_EQ(Records("mod-").size(), 2u);
    EXPECT_EQ(ListDirectory(Inbox()).size(), 2u);
    EXPECT_EQ(ReadFileBytes(Queue() + "/CloudFiles/d1/xl/xl.txt") + ReadFileBytes(Queue() + "/CloudFiles/d1/wd/wd.txt"),
              "excel\nword\n");
    ClearInbox();
    WriteFileBytes(Root("mine.txt"), "the user's own\n");
    ASSERT_TRUE(WaitUntil([&] { return InSyncIdentity("mine.txt") == "mine.txt"; }, 20000));
    Stop();

    // On the raw root, with nobody to ask: a delete, a rename into a new directory, a file of the user's renamed over
    // an item (a save of it), and what a killed provider left.
    fs::rename(Root("mine.txt"), Root("keep.txt"));
    WriteFileBytes(Root("saved.txt.tmp"), "saved by an editor\n");
    fs::rename(Root("saved.txt.tmp"), Root("saved.txt"));
    fs::remove(Root("gone.txt"));
    fs::create_directories(Root("sub"));
    fs::rename(Root("moved.txt"), Root("sub/renamed.txt"));
    const std::string leftover = Env().ProviderBase() + "/Queue/Staging/a.txt.partial-77-0",
                      storeLeftover = Queue() + "/CloudFiles/d1/keep/keep.txt.partial-77-1";
    fs::create_directories(Queue() + "/CloudFiles/d1/keep");
    WriteFileBytes(leftover, "half");
    WriteFileBytes(storeLeftover, "half");
    // A change's record noted but not yet published when the provider stopped, of an item deleted since.
    const std::string unpublished = Inbox() + "/.taking-mod-5.77.0.tmp";
    fs::create_directories(Inbox());
    WriteFileBytes(unpublished, "{\"type\":\"modify\",\"domainId\":\"d1\",\"itemId\":\"gone\",\"contentsPath\":\"x\"}\n");
    StartProvider();
    EXPECT_EQ(Records("delete-"), std::vector<std::string>{DeleteRecord("d1", "gone", "gone.txt")});
    EXPECT_EQ(Records("modify-"), std::vector<std::string>{RenameRecord("moved", "sub/renamed.txt", "moved.txt")});
    EXPECT_EQ(Records("mod-").size(), 2u);
    EXPECT_EQ(ReadFileBytes(Queue() + "/CloudFiles/d1/keep/keep.txt"), "the user's own\n");
    EXPECT_EQ(ReadFileBytes(Queue() + "/CloudFiles/d1/saved/saved.txt"), "saved by an editor\n");
    EXPECT_FALSE(fs::exists(Queue() + "/LocalFiles/mine.txt"));
    EXPECT_EQ(InSyncIdentity("keep.txt"), "cf\td1\tkeep\tkeep.txt");
    EXPECT_EQ(InSyncIdentity("saved.txt"), "cf\td1\tsaved\tsaved.txt");
    EXPECT_EQ(LastLine("[CONNECT] 1 deleted"), "[CONNECT] 1 deleted and 1 moved while no provider was connected");
    EXPECT_EQ(LastLine("[CONNECT] removed 2"),
              "[CONNECT] removed 2 unfinished copies left by a provider that was stopped");
    EXPECT_FALSE(fs::exists(leftover) || fs::exists(storeLeftover) || fs::exists(unpublished));
    EXPECT_EQ(LastLine("[CONNECT] found"), "[CONNECT] found 1 unpublished records of a provider that was stopped - each "
                                           "is published or removed with its file's change");
    EXPECT_EQ(LastLine("[CONNECT] removed 1 unpublished"),
              "[CONNECT] removed 1 unpublished records whose items went or are in sync");
    // The manifest, read again at the start, places neither old name.
    ASSERT_TRUE(WaitForLine("[SEED] manifest held back 2 entries: 2 deleted or renamed here", 20000));
    EXPECT_FALSE(fs::exists(Root("gone.txt")) || fs::exists(Root("moved.txt")));

    // The engine takes the records; later starts add nothing, and the old manifest still brings back nothing.
    ClearInbox();
    const int quiet = CountLines("[CONNECT] 0 deleted and 0 moved while no provider was connected");
    Restart();
    Restart();
    EXPECT_TRUE(ListDirectory(Inbox()).empty());
    EXPECT_EQ(CountLines("[CONNECT] 0 deleted and 0 moved while no provider was connected"), quiet + 2);
    EXPECT_FALSE(fs::exists(Root("gone.txt")) || fs::exists(Root("moved.txt")));
    // A new manifest entry for the deleted item (the engine changed it) is placed again.
    WriteFileBytes(Env().ProviderBase() + "/seed-manifest.tsv", "d1\tgone\tgone.txt\t20\tgone.txt\n");
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(Root("gone.txt")); }, 20000));
    EXPECT_EQ(fs::file_size(Root("gone.txt")), 20u);
    // A folder moved out of the root and back within a second, behind the platform's back: nothing went.
    fs::rename(Root("sub"), Env().Root() + "/aside");
    usleep(800 * 1000);
    fs::rename(Env().Root() + "/aside", Root("sub"));
    usleep(4500 * 1000);
    EXPECT_TRUE(ListDirectory(Inbox()).empty());

    // A provider killed while it copies a large new file: the next start stages it whole, once, and no unfinished
    // copy is left anywhere.
    const std::string large = PatternBytes(200 * kMiB, 5);
    const std::string staged = Env().ProviderBase() + "/Queue/Staging/large.bin", stored = Queue() + "/LocalFiles/large.bin";
    const auto unfinished = [&] {
        std::vector<std::string> found;
        for (const std::string& dir : {Env().ProviderBase(), Queue()}) {
            for (const auto& entry : fs::recursive_directory_iterator(dir)) {
                if (entry.path().filename().string().find(".partial-") != std::string::npos) found.push_back(entry.path());
            }
        }
        return found;
    };
    const std::string journal = Env().ProviderBase() + "/Queue/pending-spike.jsonl";
    const std::string journalBefore = ReadFileBytes(journal);
    WriteFileBytes(Root("large.bin"), large);
    // Killed while the first of its two copies (staging, then the engine's) is under way.
    ASSERT_TRUE(WaitUntil([&] {
        for (const std::string& name : ListDirectory(Env().ProviderBase() + "/Queue/Staging")) {
            if (name.find(".partial-") != std::string::npos) return true;
        }
        return false;
    }, 30000)) << InboxAndLog();
    KillProvider();
    StartProvider();
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(stored) && fs::file_size(stored) == large.size(); }, 60000));
    ASSERT_TRUE(WaitUntil([&] { return InSyncIdentity("large.bin") == "large.bin"; }, 30000));  // taken whole
    EXPECT_TRUE(ReadFileBytes(staged) == large && ReadFileBytes(stored) == large);
    EXPECT_EQ(ReadFileBytes(journal), journalBefore + "write-back\r\n");
    EXPECT_EQ(unfinished(), std::vector<std::string>{});
    fs::remove(Root("large.bin"));
    ASSERT_TRUE(WaitUntil([&] { return !fs::exists(stored) && !fs::exists(staged); }, 30000));

    Stop();
    EXPECT_EQ(IntegrityOf(Database()), "ok");
    Checkpoint(Database());

    // A damaged database is reported in one line, kept aside, and made anew from the root: nothing comes back,
    // nothing is recorded twice, and a change made afterwards reaches the engine once.
    const std::string bytes = ReadFileBytes(Database());
    for (const std::string& damage : {bytes.substr(0, bytes.size() / 2) + std::string(4096, 'x'),
                                      std::string("garbage, not a database\n")}) {
        SCOPED_TRACE(damage.size());
        Checkpoint(Database());
        WriteFileBytes(Database(), damage);
        const int reported = CountLines("[ERROR] ITEMS item database ");
        StartProvider();
        EXPECT_EQ(CountLines("[ERROR] ITEMS item database "), reported + 1);
        EXPECT_NE(LastLine("[ERROR] ITEMS item database ").find("made anew from the root and the queues: 7 items"),
                  std::string::npos)
            << LastLine("[ERROR] ITEMS");
        EXPECT_EQ(IntegrityOf(Database()), "ok");
        EXPECT_TRUE(ListDirectory(Inbox()).empty());
        EXPECT_FALSE(fs::exists(Root("moved.txt")));
        Stop();
    }
    StartProvider();
    ASSERT_EQ(Cfemu({"rm", Root("late.txt")}).exitCode, 0);
    Restart();
    EXPECT_EQ(Records("delete-"), std::vector<std::string>{DeleteRecord("d1", "late", "late.txt")});
    EXPECT_FALSE(fs::exists(Root("late.txt")));
    size_t setAside = 0;
    for (const std::string& name : ListDirectory(Env().ProviderBase())) {
        if (name.rfind("items.db.set-aside-", 0) == 0 && name.find('-', 19) == std::string::npos) ++setAside;
    }
    EXPECT_EQ(setAside, 2u);
    for (const std::string& line : Errors()) EXPECT_EQ(line.rfind("[ERROR] ITEMS item database ", 0), 0u) << line;
}

}  // namespace
}  // namespace e2e
