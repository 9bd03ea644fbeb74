// watcher_e2e_test.cpp - changes no notification announces, made by ordinary programs on a `cfemu mount`: saves
// that rename a new file over a placeholder, new files and directories, a moved directory, a rename over a
// placeholder; each reaches the engine once, and the provider's own work adds nothing.

#include <map>

#include "tests/e2e/e2e_fixture.h"

namespace e2e {
namespace {

class WatcherE2e : public MountTest {
  protected:
    void SetUp() override {
        MountTest::SetUp();
        if (!FuseAvailable()) GTEST_SKIP() << "needs /dev/fuse and fusermount3";
        for (const char* tool : {"/usr/bin/rsync", "/usr/bin/git", "/usr/bin/tar"}) {
            if (access(tool, X_OK) != 0) GTEST_SKIP() << "needs " << tool;
        }
    }
    // Runs `script` with /bin/sh in the mount; $SRC names a directory outside it.
    void Shell(const std::string& script) const {
        const ProcessResult run = RunProcess({"/bin/sh", "-c", "cd \"$1\" && SRC=\"$2\" && " + script, "sh", mountpoint,
                                              Env().Root() + "/src"});
        ASSERT_EQ(run.exitCode, 0) << script << "\n" << run.err;
    }
    std::string Staged(const std::string& relative) const { return Env().ProviderBase() + "/Queue/Staging/" + relative; }
    std::string EngineCopy(const std::string& item) const { return Queue() + "/CloudFiles/d1/" + item + "/" + item + ".txt"; }
    std::string ModRecord(const std::string& item) const {
        std::string json;
        for (char c : posix::WideToUtf8(posix::ToWindowsPath(EngineCopy(item)))) json += c == '\\' ? "\\\\" : std::string(1, c);
        return "{\"type\":\"modify\",\"domainId\":\"d1\",\"itemId\":\"" + item + "\",\"contentsPath\":\"" + json +
               "\",\"targetPath\":\"" + item + ".txt\",\"isDir\":false,\"timestamp\":0,\"attempts\":0,\"urgent\":true}\n";
    }
    // Files in the engine's inbox and store and in staging: what a change adds.
    size_t Taken() const {
        size_t count = 0;
        for (const std::string& dir : {Inbox(), Queue() + "/CloudFiles", Env().ProviderBase() + "/Queue"}) {
            if (!fs::exists(dir)) continue;
            for (const auto& entry : fs::recursive_directory_iterator(dir)) count += entry.is_regular_file() ? 1 : 0;
        }
        return count;
    }
    // Nothing more is taken for a second once `done` holds: the provider's conversion, in-sync mark and hydration
    // reach the watcher too, and must find nothing to do.
    void ExpectTakenThenQuiet(const std::function<bool()>& done, const std::string& what) {
        ASSERT_TRUE(WaitUntil(done, 30000)) << what << "\n" << ReadFileBytes(Env().LogFile());
        const size_t taken = Taken();
        usleep(1000 * 1000);
        EXPECT_EQ(Taken(), taken) << what;
    }
};

TEST_F(WatcherE2e, SavesNewFilesMovesAndReplacementsReachTheEngineOnce) {
    std::string manifest;
    for (const char* item : {"sed", "py", "rsync", "cp", "xl", "wd", "inst", "mva", "mvb"}) {
        manifest += std::string("d1\t") + item + "\t" + item + ".txt\t4\t" + item + ".txt\n";
    }
    RegisterAndSeed(manifest + "d1\tin1\tdir\\in1.txt\t4\tin1.txt\nd1\tin2\tdir\\sub\\in2.txt\t4\tin2.txt\n"
                               "d1\tout\tgo\\out.txt\t4\tout.txt\n");
    for (const char* item : {"sed", "py", "rsync", "cp", "xl", "wd", "inst", "mva", "mvb", "in1", "in2", "out"}) {
        PutCacheFile(std::string("d1/") + item + "/" + item + ".txt", "old\n");
    }
    fs::create_directories(Env().Root() + "/src/tree/x/y");
    WriteFileBytes(Env().Root() + "/src/rs.txt", "rsync new\n");
    WriteFileBytes(Env().Root() + "/src/tree/x/1.txt", "tar one\n");
    WriteFileBytes(Env().Root() + "/src/tree/x/y/2.txt", "tar two\n");
    ASSERT_EQ(RunProcess({"/usr/bin/tar", "-C", Env().Root() + "/src/tree", "-cf", Env().Root() + "/src/t.tar", "x"}).exitCode, 0);
    WriteFileBytes(Root("before.txt"), "made while no provider ran\n");
    StartProvider();
    ASSERT_TRUE(StartMount()) << mount->Err();

    // Saves: three rename a new file over the item's placeholder, cp writes into it. Each gives one record with the
    // new bytes and leaves the item's placeholder, in sync; an append then gives a second record with both edits.
    const std::vector<std::pair<std::string, std::string>> saves = {
        {"sed", "sed -i s/old/sed/ sed.txt"},
        {"py", "python3 -c \"import os,tempfile; f,n=tempfile.mkstemp(dir='.'); os.write(f,b'py\\n'); os.close(f); "
               "os.replace(n,'py.txt')\""},
        {"rsync", "rsync \"$SRC/rs.txt\" rsync.txt"},
        {"cp", "cp \"$SRC/rs.txt\" cp.txt"},
        // The original deleted, or renamed away and deleted, and a new file given its name: the item stays.
        {"xl", "cp \"$SRC/rs.txt\" xl.tmp && rm xl.txt && mv xl.tmp xl.txt"},
        {"wd", "mv wd.txt '~wd.tmp' && cp \"$SRC/rs.txt\" wd.new && mv wd.new wd.txt && sleep 1 && rm '~wd.tmp'"},
        {"inst", "install -m 644 \"$SRC/rs.txt\" inst.txt"},
    };
    const std::map<std::string, std::string> saved = {{"sed", "sed\n"},      {"py", "py\n"},        {"rsync", "rsync new\n"},
                                                      {"cp", "rsync new\n"}, {"xl", "rsync new\n"}, {"wd", "rsync new\n"},
                                                      {"inst", "rsync new\n"}};
    std::vector<std::string> records;
    for (const auto& [item, script] : saves) {
        for (const std::string& append : {std::string(), std::string("more\n")}) {
            Shell(append.empty() ? script : "echo more >> " + item + ".txt");
            records.push_back(ModRecord(item));
            const std::string bytes = saved.at(item) + append;
            ExpectTakenThenQuiet([&] { return Records("mod-").size() == records.size() &&
                                              ReadFileBytes(EngineCopy(item)) == bytes &&
                                              InSyncIdentity(item + ".txt") == "cf\td1\t" + item + "\t" + item + ".txt"; },
                                 script + append);
            std::vector<std::string> got = Records("mod-");
            std::sort(got.begin(), got.end());
            std::vector<std::string> want = records;
            std::sort(want.begin(), want.end());
            EXPECT_EQ(got, want) << script;
            EXPECT_FALSE(fs::exists(Staged(item + ".txt"))) << script;
        }
    }

    // New files and directories: each file's bytes staged once, under its root-relative path, which is the identity
    // of the placeholder it becomes.
    const std::vector<std::pair<std::string, std::string>> created = {
        {"true", "before.txt"},
        {"cp \"$SRC/rs.txt\" new.txt", "new.txt"},
        {"mkdir nd && echo inner > nd/f.txt", "nd/f.txt"},
        {"tar -xf \"$SRC/t.tar\"", "x/1.txt x/y/2.txt"},
    };
    size_t files = 0;
    for (const auto& [script, paths] : created) {
        Shell(script);
        std::istringstream names(paths);
        std::vector<std::string> expected(std::istream_iterator<std::string>{names}, {});
        files += expected.size();
        ExpectTakenThenQuiet([&] {
            return std::all_of(expected.begin(), expected.end(), [&](const std::string& path) {
                std::string identity = path;
                std::replace(identity.begin(), identity.end(), '/', '\\');
                return ReadFileBytes(Staged(path)) == ReadFileBytes(Root(path)) && InSyncIdentity(path) == identity;
            });
        }, script);
        const std::string journal = ReadFileBytes(Env().ProviderBase() + "/Queue/pending-spike.jsonl");
        EXPECT_EQ(static_cast<size_t>(std::count(journal.begin(), journal.end(), '\n')), files) << script;
    }
    EXPECT_EQ(InSyncIdentity("nd"), "") << "a new directory becomes a placeholder without identity";
    Shell("git init -q g && cd g && echo tracked > f && git add f && git -c user.name=u -c user.email=u@h commit -qm m");
    ExpectTakenThenQuiet([&] {
        for (const auto& entry : fs::recursive_directory_iterator(Root("g"))) {
            const std::string relative = fs::relative(entry.path(), Env().SyncRoot()).string();
            std::string identity = relative;
            std::replace(identity.begin(), identity.end(), '/', '\\');
            if (entry.is_regular_file() && (ReadFileBytes(Staged(relative)) != ReadFileBytes(entry.path().string()) ||
                                             InSyncIdentity(relative) != identity)) {
                return false;
            }
        }
        return true;
    }, "git");
    Shell("git -C g log --oneline | grep -q ' m$'");

    // A moved directory: a rename record for each item below it. A rename over a placeholder: the replaced item's
    // delete beside the rename.
    Shell("mv dir moved");
    ExpectTakenThenQuiet([&] { return Records("modify-").size() == 2; }, "mv dir");
    Shell("mv mva.txt mvb.txt");
    ExpectTakenThenQuiet([&] { return Records("delete-").size() == 1 && Records("modify-").size() == 3; }, "mv over");
    std::vector<std::string> renames = Records("modify-");
    std::sort(renames.begin(), renames.end());
    // Every record carries one path form, forward slashes, whichever change source wrote it.
    std::vector<std::string> expected = {RenameRecord("in1", "moved/in1.txt", "dir/in1.txt"),
                                         RenameRecord("in2", "moved/sub/in2.txt", "dir/sub/in2.txt"),
                                         RenameRecord("mva", "mvb.txt", "mva.txt")};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(renames, expected);
    // A directory taken out of the root behind the platform's back (a rename on the raw root): its items went.
    fs::rename(Root("go"), Env().Root() + "/src/go");
    ExpectTakenThenQuiet([&] { return Records("delete-").size() == 2; }, "out of the root");
    std::vector<std::string> deletes = Records("delete-");
    std::sort(deletes.begin(), deletes.end());
    EXPECT_EQ(deletes, (std::vector<std::string>{DeleteRecord("d1", "mvb", "mvb.txt"), DeleteRecord("d1", "out", "go/out.txt")}));
    for (const std::string& name : ListDirectory(Inbox())) EXPECT_NE(name[0], '.') << name << " left in the inbox";
    EXPECT_EQ(Errors(), std::vector<std::string>{});
    // Ctrl+C ends the watch before the connection.
    provider->Signal(SIGINT);
    EXPECT_EQ(ExitOf(*provider, 20000), 128 + SIGINT);
    provider.reset();
    EXPECT_EQ(CountLines("[WATCH] watch ended"), 1);
}

// The files the user makes have a life of their own: a read is no change, their copies follow a rename and an edit,
// a delete withdraws what the engine has not taken and records the delete of what it has, and no path of the
// user's lands on an engine item's pending copy.
TEST_F(WatcherE2e, FilesOfTheUserFollowTheirRenamesAndDeletesAndKeepApartFromTheItems) {
    RegisterAndSeed("d1\techo\techo.txt\t4\techo.txt\n");
    PutCacheFile("d1/echo/echo.txt", "old\n");
    StartProvider();
    ASSERT_TRUE(StartMount()) << mount->Err();
    const std::string journal = Env().ProviderBase() + "/Queue/pending-spike.jsonl";
    const auto stored = [&](const std::string& relative) { return Queue() + "/LocalFiles/" + relative; };
    const auto lines = [&] {
        const std::string text = ReadFileBytes(journal);
        return std::count(text.begin(), text.end(), '\n');
    };

    // The item's change is pending when a file of the user's appears at the path of its copy in the engine's store.
    Shell("echo item edit >> echo.txt");
    ExpectTakenThenQuiet([&] { return ReadFileBytes(EngineCopy("echo")) == "old\nitem edit\n" &&
                                      InSyncIdentity("echo.txt") == "cf\td1\techo\techo.txt"; }, "item edit");
    Shell("mkdir -p d1/echo && echo not the item > d1/echo/echo.txt");
    ExpectTakenThenQuiet([&] { return ReadFileBytes(stored("d1/echo/echo.txt")) == "not the item\n" &&
                                      InSyncIdentity("d1/echo/echo.txt") == "d1\\echo\\echo.txt"; }, "user's echo");
    EXPECT_EQ(ReadFileBytes(EngineCopy("echo")), "old\nitem edit\n");
    EXPECT_EQ(ReadFileBytes(Staged("d1/echo/echo.txt")), "not the item\n");

    Shell("echo hi > u.txt");
    ExpectTakenThenQuiet([&] { return ReadFileBytes(stored("u.txt")) == "hi\n" && InSyncIdentity("u.txt") == "u.txt"; },
                         "new file");
    const auto made = lines();
    Shell("cat u.txt && cat u.txt >/dev/null && cat u.txt >/dev/null");
    usleep(1000 * 1000);
    EXPECT_EQ(lines(), made) << "a read is no change";
    Shell("mv u.txt v.txt");
    ExpectTakenThenQuiet([&] { return ReadFileBytes(stored("v.txt")) == "hi\n" && !fs::exists(stored("u.txt")); }, "mv");
    EXPECT_TRUE(fs::exists(Staged("v.txt")) && !fs::exists(Staged("u.txt")));
    Shell("echo more >> v.txt");
    ExpectTakenThenQuiet([&] { return ReadFileBytes(stored("v.txt")) == "hi\nmore\n" && InSyncIdentity("v.txt") == "u.txt"; },
                         "edit");
    EXPECT_EQ(ReadFileBytes(Staged("v.txt")), "hi\nmore\n");
    EXPECT_EQ(lines(), made + 1);
    Shell("rm v.txt");
    ExpectTakenThenQuiet([&] { return !fs::exists(stored("v.txt")) && !fs::exists(Staged("v.txt")); }, "rm");

    // A file of the user's renamed over an item is a save of the item: its bytes in the item's record, no delete, and
    // the file the item's placeholder again, in sync.
    Shell("echo new > new.txt");
    ExpectTakenThenQuiet([&] { return fs::exists(stored("new.txt")) && InSyncIdentity("new.txt") == "new.txt"; }, "new.txt");
    Shell("mv new.txt echo.txt");
    // Done once the file's own copies are withdrawn and the item's held delete is dropped too, which may come after
    // the item's record.
    ExpectTakenThenQuiet([&] { return Records("mod-").size() == 2 && ReadFileBytes(EngineCopy("echo")) == "new\n" &&
                                      InSyncIdentity("echo.txt") == "cf\td1\techo\techo.txt" &&
                                      !fs::exists(stored("new.txt")) && !fs::exists(Staged("new.txt")) && NothingHeld(); },
                         "mv over an item");
    EXPECT_TRUE(Records("delete-").empty());
    EXPECT_FALSE(fs::exists(stored("new.txt")) || fs::exists(Staged("new.txt")));
    Shell("echo again >> echo.txt");
    ExpectTakenThenQuiet([&] { return Records("mod-").size() == 3 && ReadFileBytes(EngineCopy("echo")) == "new\nagain\n"; },
                         "edit after the save");

    // Once the engine has taken a file's copy, its rename and delete reach it as records with empty ids.
    Shell("echo taken > t.txt");
    ExpectTakenThenQuiet([&] { return fs::exists(stored("t.txt")) && InSyncIdentity("t.txt") == "t.txt"; }, "t.txt");
    fs::remove(stored("t.txt"));
    Shell("mv t.txt w.txt && rm w.txt");
    ExpectTakenThenQuiet([&] { return Records("delete-").size() == 1; }, "rm taken");
    EXPECT_EQ(Records("modify-"), std::vector<std::string>{"{\"type\":\"modify\",\"domainId\":\"\",\"itemId\":\"\",\"isDir\":false,"
                                                          "\"targetPath\":\"w.txt\",\"previousPath\":\"t.txt\","
                                                          "\"timestamp\":0,\"attempts\":0}\n"});
    EXPECT_EQ(Records("delete-"), std::vector<std::string>{DeleteRecord("", "", "w.txt")});
    EXPECT_FALSE(fs::exists(Staged("t.txt")) || fs::exists(Staged("w.txt")));
    EXPECT_EQ(Records("mod-").size(), 3u);

    // A flood of changes to another file, never a quiet moment between them, does not starve a new file.
    Shell("echo early > early.txt; i=0; while [ $i -lt 20000 ]; do echo $i > stream.txt; test -f '" + stored("early.txt") +
          "' && exit 0; i=$((i + 1)); done; exit 1");
    EXPECT_EQ(Errors(), std::vector<std::string>{});
}

}  // namespace
}  // namespace e2e
