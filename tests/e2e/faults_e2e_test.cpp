// faults_e2e_test.cpp - deletes and deaths during fetches, full queues, hostile manifests, odd identities.
#include <sys/mount.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <thread>

#include "placeholders/create_info.h"
#include "placeholders/identity.h"
#include "tests/e2e/e2e_fixture.h"

namespace e2e {
namespace {

// Every path below the temporary LOCALAPPDATA except the sync root's tree and the log.
std::set<std::string> TreeOutsideSyncRoot(const TempLocalAppData& env) {
    std::set<std::string> paths;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(env.Root(), error); !error && it != fs::end(it);
         it.increment(error)) {
        if (it->path() == env.SyncRoot()) it.disable_recursion_pending();
        if (it->path() != env.SyncRoot() && it->path() != env.LogFile()) paths.insert(it->path());
    }
    return paths;
}

blkcnt_t BlocksOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_blocks : -1;
}

using Faults = ProgramTest;

// A placeholder deleted while its fetch waits is gone at once; a provider killed during a transfer fails its reader.
TEST_F(Faults, FetchesWaitingWhenThePlaceholderIsDeletedAndWhenTheProviderDies) {
    RegisterAndSeed("d1\tw\tw.bin\t5000\tw.bin\nd1\thuge\thuge.bin\t" + std::to_string(128 * kMiB) + "\thuge.bin\n");
    PutCacheFile(D1("huge.bin"), PatternBytes(128 * kMiB, 9));
    StartProvider();
    const auto deleted = StartCat("w.bin");
    ASSERT_TRUE(WaitUntil([&] { return DownloadRecords().size() == 1; }, 20000));
    EXPECT_EQ(DownloadRecords()[0],
              "{\"type\":\"download\",\"domainId\":\"d1\",\"itemId\":\"w\",\"contentsPath\":null,"
              "\"timestamp\":0,\"attempts\":0,\"urgent\":true}\n");
    OutputOf(Cfemu({"rm", Root("w.bin")}));
    EXPECT_FALSE(deleted->Wait(0)) << "the reader ended before the engine delivered";
    PutCacheFile(D1("w.bin"), PatternBytes(5000, 3));
    EXPECT_TRUE(ExitOf(*deleted) == 0 && deleted->Out() == PatternBytes(5000, 3)) << deleted->Err();
    EXPECT_EQ(RecordsWhenThere("delete-", 1), std::vector<std::string>{DeleteRecord("d1", "w", "w.bin")});
    EXPECT_FALSE(FileExists(Root("w.bin")));

    const blkcnt_t dehydratedBlocks = BlocksOf(Root("huge.bin"));  // its metadata may take a block of its own
    const auto reader = StartCat("huge.bin");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (BlocksOf(Root("huge.bin")) == dehydratedBlocks && std::chrono::steady_clock::now() < deadline) {
    }
    ASSERT_GT(BlocksOf(Root("huge.bin")), dehydratedBlocks) << "the transfer never started";
    KillProvider();
    EXPECT_EQ(ExitOf(*reader, 1000), 1) << "the reader still waited one second after the provider's end";
    EXPECT_NE(reader->Err().find("0x80070194"), std::string::npos) << reader->Err();
    EXPECT_FALSE(Hydrated("huge.bin"));
    ExpectRefused(Cfemu({"cat", Root("huge.bin")}), "0x8007016A");

    StartProvider();
    EXPECT_TRUE(OutputOf(Cfemu({"cat", Root("huge.bin")}, 120000)) == ReadFileBytes(CacheFile(D1("huge.bin"))));
    EXPECT_TRUE(Hydrated("huge.bin"));
    EXPECT_TRUE(Errors().empty()) << Errors().front();
}

// The engine queue is a full 32 KiB tmpfs. A delete or rename whose record cannot be written is refused (the file
// stays, the user's program sees the failure), a change whose copy does not fit is logged and taken once the space
// is back, while the provider runs; no record is lost, left partly written or written twice, and nothing comes back.
TEST_F(Faults, AnEngineQueueThatFillsUp) {
    std::vector<std::string> items = {"b", "h", "m"};
    for (int k = 0; k < 30; ++k) items.push_back("f" + std::to_string(k));
    std::string manifest;
    for (const std::string& item : items) manifest += "dom\ti" + item + "\t" + item + ".txt\t5\t" + item + ".txt\n";
    RegisterAndSeed(manifest);
    fs::create_directories(Queue());
    if (geteuid() != 0 || mount("tmpfs", Queue().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=32k") != 0) {
        GTEST_SKIP() << "mounting a small tmpfs as the engine queue needs root (" << std::strerror(errno) << ")";
    }
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{Queue()};
    StartProvider();
    const int pid = provider->Pid();

    std::set<std::string> expected;
    std::vector<std::string> refused;
    for (size_t k = 3; k < items.size(); ++k) {
        const std::string name = items[k] + ".txt";
        const ProcessResult rm = Cfemu({"rm", Root(name)});
        if (rm.exitCode == 0) {
            expected.insert(DeleteRecord("dom", "i" + items[k], name));
            EXPECT_FALSE(FileExists(Root(name))) << name;
        } else {
            refused.push_back(name);
            EXPECT_TRUE(FileExists(Root(name))) << name;
            EXPECT_NE(rm.err.find("ERROR_CLOUD_FILE_UNSUCCESSFUL"), std::string::npos) << rm.err;
        }
    }
    ASSERT_FALSE(refused.empty()) << "the queue never filled up";
    EXPECT_FALSE(expected.empty());
    // A file's delete or rename is held a few seconds, its record written but not yet published.
    const auto published = [&] { return WaitUntil([&] { return NothingHeld(); }, 20000); };
    ASSERT_TRUE(published());
    const auto recordsInInbox = [&] {
        std::multiset<std::string> found;
        for (const std::string& name : ListDirectory(Inbox())) {
            EXPECT_EQ(name.find(".tmp"), std::string::npos) << "a record left partly written: " << name;
            found.insert(ReadFileBytes(Inbox() + "/" + name));
        }
        return found;
    };
    EXPECT_EQ(recordsInInbox(), std::multiset<std::string>(expected.begin(), expected.end()));
    // A rename is refused the same way: the file keeps its name.
    EXPECT_NE(Cfemu({"mv", Root("b.txt"), Root("c.txt")}).exitCode, 0);
    EXPECT_TRUE(FileExists(Root("b.txt")) && !FileExists(Root("c.txt")));

    // A cache miss whose download request cannot be written is refused at once (the engine was never asked), and
    // says so; the next read serves what the engine delivered.
    const std::string notAsked = "[ERROR] HYDRATE download request of dom/im not written hr=0x80070070 - the disk is "
                                 "full - the read is refused, reading again asks again";
    ExpectRefused(Cfemu({"cat", Root("m.txt")}), "0x80070185");
    EXPECT_EQ(CountLines(notAsked), 1);
    PutCacheFile("dom/im/m.txt", "mmmmm");
    EXPECT_EQ(OutputOf(Cfemu({"cat", Root("m.txt")})), "mmmmm");
    // Reading it was no change. A burst of changes whose copies do not fit (ERROR_DISK_FULL): an append, an editor's
    // save over an item and a new file; each is logged naming its file, and tried again.
    OutputOf(Cfemu({"append", Root("m.txt"), "!"}));
    WriteFileBytes(Env().Root() + "/save.tmp", "saved h");
    fs::rename(Env().Root() + "/save.tmp", Root("h.txt"));
    WriteFileBytes(Root("new.txt"), "a new file");
    const std::string copyFailed = "[ERROR] WRITEBACK engine stage copy of m.txt failed gle=112 - tried again later";
    const std::vector<std::string> failures = {copyFailed,
                                               "[ERROR] WRITEBACK engine stage copy of h.txt failed gle=112 - tried again later",
                                               "[ERROR] WRITEBACK product copy of new.txt failed gle=112 - tried again later"};
    EXPECT_TRUE(WaitUntil([&] { return CountLines(failures[0]) >= 2 && CountLines(failures[1]) >= 2 &&
                                       CountLines(failures[2]) >= 2; }, 30000))
        << testing::PrintToString(Errors());
    EXPECT_FALSE(FileExists(Queue() + "/CloudFiles/dom/im/m.txt"));

    // The engine takes the records away: the change is taken by the provider still running, and the refused
    // operations, tried again, are recorded once each (the engine taking records whenever the queue fills again).
    std::multiset<std::string> taken;
    const auto engineTakes = [&] {
        for (const std::string& name : ListDirectory(Inbox())) {
            if (name[0] == '.') continue;  // not yet a record
            taken.insert(ReadFileBytes(Inbox() + "/" + name));
            fs::remove(Inbox() + "/" + name);
        }
    };
    engineTakes();
    taken.clear();
    ASSERT_TRUE(WaitUntil([&] { return Records("mod-").size() == 2 && InSyncIdentity("new.txt") == "new.txt"; },
                          60000))
        << testing::PrintToString(Errors());
    EXPECT_EQ(ReadFileBytes(Queue() + "/CloudFiles/dom/im/m.txt"), "mmmmm!");
    EXPECT_EQ(ReadFileBytes(Queue() + "/CloudFiles/dom/ih/h.txt"), "saved h");
    EXPECT_EQ(ReadFileBytes(Queue() + "/LocalFiles/new.txt"), "a new file");
    EXPECT_EQ(ReadFileBytes(Env().ProviderBase() + "/Queue/pending-spike.jsonl"), "write-back\r\n");
    const std::vector<std::string> mods = Records("mod-");
    std::multiset<std::string> wanted(mods.begin(), mods.end());
    refused.push_back("b.txt");
    for (const std::string& name : refused) {
        const bool rename = name == "b.txt";
        const std::vector<std::string> args = rename ? std::vector<std::string>{"mv", Root(name), Root("c.txt")}
                                                     : std::vector<std::string>{"rm", Root(name)};
        // Held records keep their space until published: the engine takes what is there until the change fits.
        for (int attempt = 0; Cfemu(args).exitCode != 0; ++attempt) {
            ASSERT_LT(attempt, 40) << name;
            engineTakes();
            usleep(250 * 1000);
        }
        wanted.insert(rename ? "{\"type\":\"modify\",\"domainId\":\"dom\",\"itemId\":\"ib\",\"isDir\":false,"
                               "\"targetPath\":\"c.txt\",\"previousPath\":\"b.txt\",\"timestamp\":0,\"attempts\":0}\n"
                             : DeleteRecord("dom", "i" + name.substr(0, name.find('.')), name));
    }
    ASSERT_TRUE(published());
    engineTakes();
    EXPECT_EQ(taken, wanted);
    EXPECT_EQ(provider->Pid(), pid);
    // Nothing the user deleted comes back at the next start.
    provider->Signal(SIGINT);
    ASSERT_TRUE(provider->Wait(20000));
    provider.reset();
    StartProvider();
    for (size_t k = 3; k < items.size(); ++k) EXPECT_FALSE(FileExists(Root(items[k] + ".txt"))) << items[k];
    for (const std::string& line : Errors()) {
        EXPECT_TRUE(std::count(failures.begin(), failures.end(), line) == 1 || line == notAsked ||
                    (line.find("record of ") != std::string::npos &&
                                           line.find("not written hr=0x80070070 - the operation is refused, the file "
                                                     "stays") != std::string::npos))
            << line;
    }
}

// The sync root itself removed or renamed behind the platform's back while connected: every item seems to go, yet
// the engine is told nothing; the provider stops with one line saying why, and the next connect says in words that
// the directory is no registered sync root.
TEST_F(Faults, TheSyncRootRemovedOrRenamedWhileConnected) {
    for (const bool rename : {false, true}) {
        SCOPED_TRACE(rename);
        SeedFiles({{"a.txt", 3}, {"b.txt", 4}});
        const int before = CountLines("[ERROR] WATCH the sync root was removed or renamed");
        StartProvider();
        const std::string aside = Env().Root() + "/root-aside";
        if (rename) {
            fs::rename(Env().SyncRoot(), aside);
        } else {
            // As `rm -rf` run again: the provider's seeding at its start may place a file between the listing and
            // the removal of the root (ENOTEMPTY).
            std::error_code error;
            fs::remove_all(Env().SyncRoot(), error);
            for (int attempt = 0; error && attempt < 100; ++attempt) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                fs::remove_all(Env().SyncRoot(), error);
            }
            ASSERT_FALSE(error) << error.message();
        }
        EXPECT_EQ(ExitOf(*provider, 20000), 1);
        provider.reset();
        EXPECT_EQ(CountLines("[ERROR] WATCH the sync root was removed or renamed"), before + 1);
        EXPECT_EQ(LastLine("[ERROR] WATCH"), "[ERROR] WATCH the sync root was removed or renamed - the provider stops, "
                                             "and no deletes are sent for its items");
        EXPECT_TRUE(ListDirectory(Inbox()).empty()) << InboxAndLog();
        const ProcessResult again = Verb("connect", 30000);
        EXPECT_EQ(again.exitCode, 1);
        EXPECT_EQ(LastLine("[ERROR] CfConnectSyncRoot"), "[ERROR] CfConnectSyncRoot failed hr=0x80070186 - the directory "
                                                         "is not a registered sync root (run register first)");
        EXPECT_TRUE(ListDirectory(Inbox()).empty());
        if (rename) fs::remove_all(aside);
        fs::remove_all(Env().SyncRoot());
    }
}

// Names no Windows program can make but a Linux program can: control characters, and up to the 255 bytes a name may
// hold. An append, a rename, a delete and a save of each reach the engine, and every record is JSON whose paths
// decode to the names.
TEST_F(Faults, OddNamesEveryRecordIsJsonAndEveryChangeArrives) {
    const std::string longName = std::string(246, 'L') + ".txt";
    const std::vector<std::string> names = {"c\x01.txt", "c\x1f\x0b.txt", longName};
    std::string manifest;
    for (size_t k = 0; k < names.size(); ++k) {
        manifest += "d1\ti" + std::to_string(k) + "\t" + names[k] + "\t3\t" + names[k] + "\n";
    }
    RegisterAndSeed(manifest);
    for (size_t k = 0; k < names.size(); ++k) PutCacheFile("d1/i" + std::to_string(k) + "/" + names[k], "old");
    StartProvider();
    for (size_t k = 0; k < names.size(); ++k) {
        SCOPED_TRACE(k);
        const std::string id = "i" + std::to_string(k);
        ASSERT_EQ(Cfemu({"append", Root(names[k]), "+"}).exitCode, 0);
        ASSERT_TRUE(WaitUntil([&] { return ReadFileBytes(Queue() + "/CloudFiles/d1/" + id + "/" + names[k]) == "old+"; },
                              20000));
        // A save: a new file renamed over the placeholder.
        WriteFileBytes(Root("save.tmp"), "saved " + id);
        fs::rename(Root("save.tmp"), Root(names[k]));
        // Taken, and the item's placeholder again (in sync, with its identity), before it is renamed.
        ASSERT_TRUE(WaitUntil(
            [&] {
                return ReadFileBytes(Queue() + "/CloudFiles/d1/" + id + "/" + names[k]) == "saved " + id &&
                       InSyncIdentity(names[k]) == "cf\td1\t" + id + "\t" + names[k];
            },
            20000));
    }
    // Renamed (250 bytes at most, still), then, once the renames are recorded, deleted.
    const auto renamed = [](const std::string& name) { return "r" + name.substr(0, name.size() - 1); };
    for (const std::string& name : names) ASSERT_EQ(Cfemu({"mv", Root(name), Root(renamed(name))}).exitCode, 0);
    ASSERT_EQ(RecordsWhenThere("modify-", names.size()).size(), names.size());
    for (const std::string& name : names) ASSERT_EQ(Cfemu({"rm", Root(renamed(name))}).exitCode, 0);
    // A file of the user's with a tab and a line feed in its name, taken by the engine, then deleted.
    const std::string odd = "t\tl\n.txt";
    WriteFileBytes(Root(odd), "mine");
    ASSERT_TRUE(WaitUntil([&] { return InSyncIdentity(odd) == odd; }, 20000));  // taken whole: copies, journal, conversion
    fs::remove(Queue() + "/LocalFiles/" + odd);
    ASSERT_EQ(Cfemu({"rm", Root(odd)}).exitCode, 0);
    ASSERT_EQ(RecordsWhenThere("delete-", names.size() + 1).size(), names.size() + 1);
    // Every record parses, and its paths are the names, whatever bytes they hold.
    std::multiset<std::string> parsed;
    for (const ParsedRecord& record : ParseRecords(Inbox())) {
        parsed.insert((record.contentsPath.empty() ? record.type : "mod") + "|" + record.targetPath + "|" +
                      record.previousPath);
    }
    std::multiset<std::string> expected = {"delete|" + odd + "|"};
    for (const std::string& name : names) {
        expected.insert({"mod|" + name + "|", "mod|" + name + "|", "modify|" + renamed(name) + "|" + name,
                         "delete|" + renamed(name) + "|"});
    }
    EXPECT_EQ(parsed, expected);
    EXPECT_EQ(Errors(), std::vector<std::string>{});
}

// Hostile manifests: the seed run ends with exit code 0 and its summary, creating nothing outside the root.
TEST_F(Faults, ManifestsOfGarbageAndOfOneHugeLine) {
    static const char kAlphabet[] = "\t\t\t\t\t\n\n\r\\\\/.\0:1-9abc\xFF\xC3\xA9\xE2\x80 \"*?<zq";
    std::string garbage = PatternBytes(4 * kMiB, 88);
    for (char& c : garbage) c = kAlphabet[static_cast<unsigned char>(c) % (sizeof(kAlphabet) - 1)];
    const size_t huge = 50 * kMiB;
    std::string components = "d\ti\t";
    while (components.size() < huge) components += "a\\";
    components += "\t1\tf.txt";
    const std::string hugeName = "d\ti\tp\t1\t" + std::string(huge, 'n') + "\n";

    const char* capped = "[SEED] manifest seen 1 seeded 0 (cap 100000, no network)";
    const struct {
        const std::string* manifest;
        const char *summary, *present, *absent;
    } rows[] = {
        {&components, capped, "a", "f.txt"}, {&hugeName, capped, "", "p"}, {&garbage, "[SEED] manifest seen ", "", ""}};
    ASSERT_EQ(Verb("register").exitCode, 0);
    // Seeding keeps its item database beside the root, from its first run on; nothing else outside the root.
    WriteFileBytes(Env().ProviderBase() + "/seed-manifest.tsv", "\n");
    ASSERT_EQ(Verb("seed").exitCode, 0);
    ASSERT_TRUE(FileExists(Env().ProviderBase() + "/items.db"));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.manifest->size());
        WriteFileBytes(Env().ProviderBase() + "/seed-manifest.tsv", *row.manifest);
        const std::set<std::string> before = TreeOutsideSyncRoot(Env());
        ProcessResult seed = Verb("seed", 240000);
        EXPECT_TRUE(seed.exitCode == 0 && !HasSanitizerReport(seed.err)) << seed.exitCode << seed.err.substr(0, 4000);
        EXPECT_EQ(LastLine("[SEED] manifest seen").rfind(row.summary, 0), 0u) << LastLine("[SEED] manifest");
        EXPECT_EQ(TreeOutsideSyncRoot(Env()), before);
        EXPECT_TRUE(*row.present == '\0' || FileExists(Root(row.present)));
        EXPECT_TRUE(*row.absent == '\0' || !FileExists(Root(row.absent)));
    }
    for (const std::string& line : Errors()) EXPECT_EQ(line.rfind("[ERROR] SEED refused ", 0), 0u) << line;
}

// On tmpfs an extended attribute may hold a 4096-byte identity.
class FaultsOnTmpfs : public ProgramTest {
  protected:
    void SetUp() override {
        const std::string saved = std::getenv("TMPDIR") != nullptr ? std::getenv("TMPDIR") : "/tmp";
        setenv("TMPDIR", "/dev/shm", 1);
        ProgramTest::SetUp();
        setenv("TMPDIR", saved.c_str(), 1);
    }
};

// Identity blobs of odd length and of 4096 bytes, made by another application: served by their whole UTF-16 units.
TEST_F(FaultsOnTmpfs, IdentityBlobsOfOddLengthAndOfFourKilobytes) {
    const auto utf16 = [](const std::wstring& text, bool withNul, bool oddByte) {
        std::vector<BYTE> blob = EncodeIdentityBlob(text);
        if (!withNul) blob.resize(blob.size() - 2);
        if (oddByte) blob.push_back(0x41);
        return blob;
    };
    const std::wstring bigPrefix = L"cf\tbig\ti4096\tbig.bin\t";
    const std::string oddBytes = PatternBytes(5000, 11), bigBytes = PatternBytes(10000, 12);
    struct Row {
        std::string name;
        std::vector<BYTE> blob;
        size_t size;
        std::string expected;  // the bytes a reader gets; empty: the read is refused
    } rows[] = {
        // A cache reference with two NULs plus one byte; a path identity without its NUL, plus one byte.
        {"odd.bin", utf16(std::wstring(L"cf\todd\ti1\todd.bin") + L'\0', true, true), 5000, oddBytes},
        {"path.txt", utf16(L"hello-from-engine.txt", false, true), 93, kSeed},
        // 4096 bytes: a cache reference with a long fifth field, and a name too long for any file system.
        {"big.bin", utf16(bigPrefix + std::wstring(2047 - bigPrefix.size(), L'p'), true, false), 10000, bigBytes},
        {"long.bin", utf16(std::wstring(2047, L'n'), true, false), 10, ""},
    };
    if (Verb("register").exitCode != 0) GTEST_SKIP() << "no sync root on /dev/shm (tmpfs with xattrs)";
    ASSERT_EQ(Verb("placeholder").exitCode, 0);  // the staging file the path identities name
    PutCacheFile("odd/i1/odd.bin", oddBytes);
    PutCacheFile("big/i4096/big.bin", bigBytes);
    const std::wstring root = WindowsPathOf(Env().SyncRoot());
    for (Row& row : rows) {
        const std::wstring name = posix::Utf8ToWide(row.name);
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        data.nFileSizeLow = static_cast<DWORD>(row.size);
        CF_PLACEHOLDER_CREATE_INFO entry = CreateInfoFromFile(name.c_str(), data, row.blob);
        DWORD processed = 0;
        ASSERT_EQ(CfCreatePlaceholders(root.c_str(), &entry, 1, CF_CREATE_FLAG_NONE, &processed), S_OK) << row.name;
    }
    StartProvider();

    for (const Row& row : rows) {
        const ProcessResult cat = Cfemu({"cat", Root(row.name)});
        EXPECT_TRUE(OutputOf(cat, row.expected.empty() ? 1 : 0) == row.expected) << row.name;
        if (row.expected.empty()) ExpectRefused(cat, "0x80070185");
        OutputOf(Cfemu({"rm", Root(row.name)}));
    }
    std::vector<std::string> records = RecordsWhenThere("delete-", 2);
    std::sort(records.begin(), records.end());
    EXPECT_EQ(records, (std::vector<std::string>{DeleteRecord("big", "i4096", "big.bin"),
                                                 DeleteRecord("odd", "i1", "odd.bin")}));
    EXPECT_EQ(Errors(), std::vector<std::string>{"[ERROR] HYDRATE staging missing - refusing (no network fallback)"});
}

}  // namespace
}  // namespace e2e
