// changes_e2e_test.cpp - which closes are changes: reads are not, a change is taken once, also one made while no
// provider ran, and what the user deleted or renamed stays so when the provider starts again and re-seeds.
#include <fcntl.h>

#include <map>

#include "tests/e2e/e2e_fixture.h"

namespace e2e {
namespace {

using ChangesE2e = ProgramTest;

const char kUnchanged[] = "[WRITEBACK] unchanged close skipped";
const char kTaken[] = "[WRITEBACK] WRITEBACK in sync again";

// Lines that end a close callback, whatever it decided: a copy's queue line comes before its in-sync mark, which
// WaitSettled waits for where a change is expected.
const char* const kCloseEnds[] = {"[WRITEBACK] WRITEBACK own close skipped", kUnchanged,
                                  "[WRITEBACK] WRITEBACK dehydrated close skipped",
                                  "[WRITEBACK] WRITEBACK_QUEUED local copy only, no network",
                                  "[WRITEBACK] WRITEBACK_ENGINE_QUEUE local copy only, no network", "[ERROR] "};

// Every placeholder identity below `directory`, with the relative paths holding it.
void CollectIdentities(const std::string& directory, std::map<std::string, std::vector<std::string>>& found,
                       const std::string& relative = "") {
    for (const std::string& name : ListDirectory(directory)) {
        const std::string path = directory + "/" + name, child = relative + name;
        std::vector<BYTE> identity;
        if (fs::is_symlink(path)) continue;
        if (fs::is_directory(path)) {
            CollectIdentities(path, found, child + "/");
        } else if (cfemu::ReadIdentityAt(path, &identity)) {
            found[std::string(identity.begin(), identity.end())].push_back(child);
        }
    }
}

class Changes : public ChangesE2e {
  protected:
    // The provider has logged `line` at least `atLeast` times, and has finished every close it was told of.
    bool Settled(const char* line, int atLeast) const {
        int ended = 0;
        for (const char* end : kCloseEnds) ended += CountLines(end);
        // The walk at connect takes changes with the same lines, but without a close.
        for (const std::string& walk : Lines("[CONNECT] ")) {
            if (walk.find(" placeholders changed while") != std::string::npos) ended -= std::stoi(walk.substr(10));
        }
        return CountLines(line) >= atLeast && ended == CountLines("[WRITEBACK] close callback entered");
    }
    void WaitSettled(const char* line, int atLeast) {
        ASSERT_TRUE(WaitUntil([&] { return Settled(line, atLeast); }, 30000)) << ReadFileBytes(Env().LogFile());
    }
    std::vector<std::string> ModRecords() const { return Records("mod-"); }
    std::string Store(const std::string& relative) const { return Queue() + "/CloudFiles/" + relative; }
    void ExpectOneIdentityEach() const {
        std::map<std::string, std::vector<std::string>> identities;
        CollectIdentities(Env().SyncRoot(), identities);
        for (const auto& [identity, paths] : identities) EXPECT_EQ(paths.size(), 1u) << paths.front();
    }
};

// Reads through cfemu and, where FUSE is at hand, through ordinary programs on a mount; then one append, a read of
// it, a delete and a rename across a restart, an append while no provider runs, and a cache-seeded file below a
// directory.
TEST_F(Changes, ReadsAreNotChangesAndNoChangeIsLostOrTakenTwice) {
    ASSERT_EQ(Verb("register").exitCode, 0);
    // Cache seeding, with no manifest yet: a file below a directory of the cache gets the identity "sub\inner.txt".
    PutCacheFile("sub/inner.txt", "inner");
    OutputOf(Verb("seed"));
    // The engine's manifest, and its cache files written now: their times are not the placeholders' (zero).
    const std::string manifest = "d1\ta\ta.txt\t5\ta.txt\nd1\tb\tb.txt\t6\tb.txt\nd1\tc\tdir\\c.txt\t7\tc.txt\n"
                                 "d1\tgone\tgone.txt\t4\tgone.txt\nd1\tmoved\tmoved.txt\t5\tmoved.txt\n";
    WriteFileBytes(Env().ProviderBase() + "/seed-manifest.tsv", manifest);
    OutputOf(Verb("seed"));
    for (const auto& [relative, bytes] : std::vector<std::pair<std::string, std::string>>{
             {"d1/a/a.txt", "aaaaa"}, {"d1/b/b.txt", "bbbbbb"}, {"d1/c/c.txt", "ccccccc"}, {"d1/gone/gone.txt", "gone"},
             {"d1/moved/moved.txt", "moved"}}) {
        PutCacheFile(relative, bytes);
    }
    StartProvider();
    EXPECT_EQ(LastLine("[CONNECT] 0"), "[CONNECT] 0 placeholders changed while no provider was connected");

    for (const char* name : {"a.txt", "b.txt", "dir/c.txt", "gone.txt", "moved.txt", "a.txt"}) {
        EXPECT_FALSE(OutputOf(Cfemu({"cat", Root(name)})).empty());
    }
    WaitSettled(kUnchanged, 6);
    const int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd >= 0) close(fd);
    if (fd >= 0 && access("/usr/bin/fusermount3", X_OK) == 0) {
        const std::string mountpoint = Env().Root() + "/mnt";
        fs::create_directories(mountpoint);
        BackgroundProcess mount({VOSKE_CFEMU, "mount", Env().SyncRoot(), mountpoint});
        ASSERT_TRUE(WaitUntil([&] { return mount.Err().find("cfemu mount: serving") != std::string::npos; }, 20000));
        const int before = CountLines(kUnchanged);
        EXPECT_EQ(OutputOf(RunProcess({"/usr/bin/cat", mountpoint + "/b.txt"})), "bbbbbb");
        EXPECT_NE(OutputOf(RunProcess({"/usr/bin/grep", "-r", "c", mountpoint})).find("ccccccc"), std::string::npos);
        EXPECT_EQ(RunProcess({"/usr/bin/tar", "cf", Env().Root() + "/all.tar", "-C", mountpoint, "."}).exitCode, 0);
        // cat's one file, then grep's and tar's five manifest files each.
        WaitSettled(kUnchanged, before + 11);
        mount.Signal(SIGTERM);
        EXPECT_EQ(ExitOf(mount, 20000), 0) << mount.Err();
    }
    // Nothing for the engine, and nothing staged: a read of the cache-seeded file is no change either.
    EXPECT_TRUE(ListDirectory(Inbox()).empty());
    EXPECT_FALSE(fs::exists(Store("d1")));
    EXPECT_FALSE(fs::exists(Env().ProviderBase() + "/Queue/pending-spike.jsonl"));
    EXPECT_FALSE(fs::exists(Store("sub")));

    // One append is one record with the new bytes; reading the file again adds none.
    const int taken = CountLines(kTaken);
    OutputOf(Cfemu({"append", Root("a.txt"), "+1"}));
    WaitSettled(kTaken, taken + 1);
    const int unchanged = CountLines(kUnchanged);
    OutputOf(Cfemu({"cat", Root("a.txt")}));
    WaitSettled(kUnchanged, unchanged + 1);
    EXPECT_EQ(ModRecords().size(), 1u);
    EXPECT_EQ(ReadFileBytes(Store("d1/a/a.txt")), "aaaaa+1");

    // A delete and a rename whose records the engine has not taken: the manifest re-read at the next start brings
    // neither back, and no identity is held twice.
    OutputOf(Cfemu({"rm", Root("gone.txt")}));
    OutputOf(Cfemu({"mv", Root("moved.txt"), Root("dir/renamed.txt")}));
    provider->Signal(SIGINT);
    ASSERT_TRUE(provider->Wait(20000));
    provider.reset();
    // While no provider runs, an append to a hydrated placeholder below a directory (converted: a reparse point, as
    // the provider sees it) reaches nobody; a link to the root beside it is not followed, by the walk at connect nor
    // by the watcher's first look, which converts a directory made meanwhile in the converted one.
    ASSERT_TRUE(cfemu::ReadStateAt(Root("dir"), nullptr));
    OutputOf(Cfemu({"append", Root("dir/c.txt"), "+2"}));
    fs::create_directory_symlink(".", Root("loop"));
    fs::create_directory(Root("dir/sub"));
    StartProvider();
    EXPECT_TRUE(WaitUntil([&] { return cfemu::ReadStateAt(Root("dir/sub"), nullptr); }, 20000));
    EXPECT_TRUE(WaitForLine("[SEED] manifest held back 2 entries: 2 deleted or renamed here, their records not yet "
                            "taken by the engine; 0 whose identity another placeholder holds",
                            20000));
    EXPECT_FALSE(fs::exists(Root("gone.txt")) || fs::exists(Root("moved.txt")));
    ExpectOneIdentityEach();
    EXPECT_EQ(LastLine("[CONNECT] 1"), "[CONNECT] 1 placeholders changed while no provider was connected");
    EXPECT_EQ(ReadFileBytes(Store("d1/c/c.txt")), "ccccccc+2");
    EXPECT_EQ(ModRecords().size(), 2u);
    // Taken once: the next start finds nothing.
    provider->Signal(SIGINT);
    ASSERT_TRUE(provider->Wait(20000));
    provider.reset();
    StartProvider();
    EXPECT_EQ(LastLine("[CONNECT] 0"), "[CONNECT] 0 placeholders changed while no provider was connected");

    // The cache-seeded file below a directory is written back like any other.
    const int takenBefore = CountLines(kTaken);
    OutputOf(Cfemu({"append", Root("sub/inner.txt"), "!"}));
    WaitSettled(kTaken, takenBefore + 1);
    EXPECT_EQ(ReadFileBytes(Env().ProviderBase() + "/Queue/Staging/sub/inner.txt"), "inner!");
    EXPECT_EQ(ReadFileBytes(Store("sub/inner.txt")), "inner!");
    EXPECT_EQ(ModRecords().size(), 2u);

    // Once the engine has taken the records, its old manifest still brings back nothing the user deleted (the item
    // database remembers it while the entry is the one that placed it), nor a second placeholder for the renamed
    // item's identity.
    ClearInbox();
    fs::last_write_time(Env().ProviderBase() + "/seed-manifest.tsv", fs::file_time_type::clock::now());
    EXPECT_TRUE(WaitForLine("[SEED] manifest held back 2 entries: 1 deleted or renamed here, their records not yet "
                            "taken by the engine; 1 whose identity another placeholder holds",
                            20000));
    EXPECT_FALSE(fs::exists(Root("gone.txt")) || fs::exists(Root("moved.txt")));
    ExpectOneIdentityEach();
    EXPECT_TRUE(Errors().empty()) << Errors().front();
}

}  // namespace
}  // namespace e2e
