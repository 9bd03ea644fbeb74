// faults_e2e_test.cpp - the provider under faults, as separate processes: killed mid-fetch, a full disk and
// unwritable queues under its records, hostile manifests, odd identities, cache link loops, a delete mid-fetch.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

#include "placeholders/identity.h"
#include "platform/posix/cloud_filter.h"
#include "platform/win32.h"
#include "syncroot/cloud_files.h"
#include "tests/e2e/e2e_fixture.h"

namespace e2e {
namespace {

// Every path below `root` except the sync root's own tree and the log: what a run must leave untouched.
std::set<std::string> TreeOutsideSyncRoot(const std::string& root, const std::string& syncRoot,
                                          const std::string& logFile) {
    std::set<std::string> paths;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::none, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        const std::string path = it->path().string();
        if (path == syncRoot) {
            it.disable_recursion_pending();
            continue;
        }
        if (path != logFile) paths.insert(path);
    }
    return paths;
}

class Faults : public ProgramTest {
  protected:
    // Sockets named after the root: the provider's listener and one accepted connection per waiting request.
    int ProviderSockets() const {
        std::string name = cfemu::SocketName(cfemu::CanonicalPath(Env().SyncRoot()));
        name[0] = '@';  // how the table shows an abstract name's leading NUL
        std::istringstream table(ReadFileBytes("/proc/net/unix"));
        int count = 0;
        for (std::string line; std::getline(table, line);) {
            count += line.size() >= name.size() && line.compare(line.size() - name.size(), name.size(), name) == 0;
        }
        return count;
    }
};

// A tmpfs, where an extended attribute may hold the 4096-byte identity that ext4 has no room for.
class FaultsOnTmpfs : public Faults {
  protected:
    std::string TemporaryBase() const override { return "/dev/shm"; }
};

// The provider dies while three readers wait on a 64 MiB fetch (held by a cache miss). Each reader must fail
// within a second with 0x80070194, the placeholder must stay dehydrated with no data, and a new provider must
// then hydrate it whole.
TEST_F(Faults, ProviderKilledInTheMiddleOfALargeFetch) {
    const size_t size = 64u * 1024 * 1024;
    RegisterAndSeed("eng\tbig\tbig.bin\t" + std::to_string(size) + "\tbig.bin\n");
    StartProvider();
    const std::string placeholder = Env().SyncRoot() + "/big.bin";
    struct stat st;
    ASSERT_EQ(stat(placeholder.c_str(), &st), 0);
    const blkcnt_t dehydratedBlocks = st.st_blocks;  // its metadata may take a block of its own

    std::vector<std::unique_ptr<BackgroundProcess>> readers;
    for (int i = 0; i < 3; ++i) {
        readers.push_back(
            std::make_unique<BackgroundProcess>(std::vector<std::string>{VOSKE_CFEMU, "cat", placeholder}));
    }
    ASSERT_TRUE(WaitUntil([&] { return DownloadRecords().size() == 1; }, 20000));
    ASSERT_TRUE(WaitUntil([&] { return ProviderSockets() >= 4; }, 20000)) << ProviderSockets();

    provider->Signal(SIGKILL);
    int providerExit = 0;
    ASSERT_TRUE(provider->Wait(10000, &providerExit));
    EXPECT_EQ(providerExit, 128 + SIGKILL);
    provider.reset();
    std::vector<int> exitCodes(readers.size(), -1);
    std::vector<bool> ended(readers.size(), false);
    const bool allFailedInTime = WaitUntil(
        [&] {
            for (size_t i = 0; i < readers.size(); ++i) {
                if (!ended[i]) ended[i] = readers[i]->Wait(0, &exitCodes[i]);
            }
            return std::find(ended.begin(), ended.end(), false) == ended.end();
        },
        1000);
    EXPECT_TRUE(allFailedInTime) << "a reader still waited one second after the provider's end";
    for (size_t i = 0; i < readers.size(); ++i) {
        BackgroundProcess* reader = readers[i].get();
        if (!ended[i]) {
            ASSERT_TRUE(reader->Wait(10000, &exitCodes[i]));
        }
        EXPECT_EQ(exitCodes[i], 1);
        EXPECT_TRUE(reader->Out().empty());
        EXPECT_NE(reader->Err().find("0x80070194"), std::string::npos) << reader->Err();
    }

    cfemu::PlaceholderState state;
    ASSERT_TRUE(cfemu::ReadStateAt(placeholder, &state));
    EXPECT_EQ(state.flags & cfemu::kStateHydrated, 0);
    ASSERT_EQ(stat(placeholder.c_str(), &st), 0);
    EXPECT_EQ(static_cast<size_t>(st.st_size), size);
    EXPECT_EQ(st.st_blocks, dehydratedBlocks) << "data blocks left in a dehydrated placeholder";

    // The engine delivers; a new provider serves the same placeholder whole.
    const std::string bytes = PatternBytes(size, 7);
    PutCacheFile("eng/big/big.bin", bytes);
    StartProvider();
    ProcessResult cat = Cfemu({"cat", placeholder}, 120000);
    EXPECT_EQ(cat.exitCode, 0) << cat.err;
    EXPECT_EQ(cat.out.size(), size);
    EXPECT_TRUE(cat.out == bytes) << "hydrated bytes differ from the cache file";
    ASSERT_TRUE(cfemu::ReadStateAt(placeholder, &state));
    EXPECT_NE(state.flags & cfemu::kStateHydrated, 0);
    EXPECT_TRUE(ErrorLines(Env().LogFile()).empty()) << ErrorLines(Env().LogFile()).front();
}

// The provider dies while it is transferring a 128 MiB file. The readers fail within a second with 0x80070194;
// the placeholder is not marked hydrated, so with no provider a read is refused rather than served from the
// part that arrived; a new provider fetches it again, whole.
TEST_F(Faults, ProviderKilledWhileTransferringALargeFile) {
    const size_t size = 128u * 1024 * 1024;
    RegisterAndSeed("eng\thuge\thuge.bin\t" + std::to_string(size) + "\thuge.bin\n");
    const std::string bytes = PatternBytes(size, 9);
    PutCacheFile("eng/huge/huge.bin", bytes);
    StartProvider();
    const std::string placeholder = Env().SyncRoot() + "/huge.bin";
    struct stat st;
    ASSERT_EQ(stat(placeholder.c_str(), &st), 0);
    const blkcnt_t dehydratedBlocks = st.st_blocks;

    BackgroundProcess reader({VOSKE_CFEMU, "cat", placeholder});
    // The first data blocks on disk show the transfer under way; no sleep between looks, so it is caught early.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (stat(placeholder.c_str(), &st) == 0 && st.st_blocks == dehydratedBlocks &&
           std::chrono::steady_clock::now() < deadline) {
    }
    ASSERT_GT(st.st_blocks, dehydratedBlocks) << "the transfer never started";
    provider->Signal(SIGKILL);
    ASSERT_TRUE(provider->Wait(10000));
    provider.reset();
    int exitCode = -1;
    EXPECT_TRUE(WaitUntil([&] { return reader.Wait(0, &exitCode); }, 1000))
        << "the reader still waited one second after the provider's end";
    ASSERT_TRUE(exitCode != -1 || reader.Wait(10000, &exitCode));
    EXPECT_EQ(exitCode, 1);
    EXPECT_NE(reader.Err().find("0x80070194"), std::string::npos) << reader.Err();

    cfemu::PlaceholderState state;
    ASSERT_TRUE(cfemu::ReadStateAt(placeholder, &state));
    EXPECT_EQ(state.flags & cfemu::kStateHydrated, 0);
    ProcessResult alone = Cfemu({"cat", placeholder});
    EXPECT_EQ(alone.exitCode, 1);
    EXPECT_TRUE(alone.out.empty());
    EXPECT_NE(alone.err.find("0x8007016A"), std::string::npos) << alone.err;

    StartProvider();
    ProcessResult cat = Cfemu({"cat", placeholder}, 120000);
    EXPECT_EQ(cat.exitCode, 0) << cat.err;
    EXPECT_EQ(cat.out.size(), size);
    EXPECT_TRUE(cat.out == bytes) << "hydrated bytes differ from the cache file";
    EXPECT_TRUE(ErrorLines(Env().LogFile()).empty()) << ErrorLines(Env().LogFile()).front();
}

// The engine queue is a 32 KiB file system that fills up while delete records are written. Every delete still
// goes ahead; no file ever stands under a record's final name unless it holds the whole record; a copy that
// no longer fits is logged as failed; and once the engine has made room records are written again.
TEST_F(Faults, DiskFillsUpWhileRecordsAreWritten) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs as the engine queue needs root; CI runs as root";
    std::string manifest;
    const int deletes = 30;
    for (int k = 0; k < deletes; ++k) {
        manifest +=
            "dom\ti" + std::to_string(k) + "\tf" + std::to_string(k) + ".txt\t10\tf" + std::to_string(k) + ".txt\n";
    }
    manifest += "dom\tig\tg.txt\t5\tg.txt\ndom\tih\th.txt\t5\th.txt\ndom\tim\tm.txt\t5\tm.txt\n";
    RegisterAndSeed(manifest);
    PutCacheFile("dom/ig/g.txt", "ggggg");

    fs::create_directories(Queue());
    if (mount("tmpfs", Queue().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=32k") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(errno) << ")";
    }
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{Queue()};
    StartProvider();

    std::set<std::string> expected;
    for (int k = 0; k < deletes; ++k) {
        // A named number: gcc 12 at -O3 takes "literal" + a temporary string for an overlapping copy (-Wrestrict).
        const std::string number = std::to_string(k);
        const std::string name = "f" + number + ".txt";
        ProcessResult rm = Cfemu({"rm", Env().SyncRoot() + "/" + name});
        EXPECT_EQ(rm.exitCode, 0) << name << ": " << rm.err;
        EXPECT_FALSE(FileExists(Env().SyncRoot() + "/" + name));
        expected.insert(DeleteRecord("dom", "i" + number, name));
    }
    EXPECT_EQ(CountLines("[WRITEBACK] delete callback - local queue only, no network"), deletes);
    const std::vector<std::string> names = ListDirectory(Inbox());
    EXPECT_GE(names.size(), 1u);
    EXPECT_LT(names.size(), static_cast<size_t>(deletes)) << "the queue never filled up";
    std::set<std::string> found;
    for (const std::string& name : names) {
        EXPECT_EQ(name.rfind("delete-", 0), 0u) << name;
        EXPECT_EQ(name.substr(name.size() - 5), ".json") << name;
        const std::string record = ReadFileBytes(Inbox() + "/" + name);
        EXPECT_EQ(expected.count(record), 1u) << name << " holds " << record;
        EXPECT_TRUE(found.insert(record).second) << "one delete recorded twice: " << record;
    }

    // A changed file cannot be copied into the full queue: one failure line, no copy, no record.
    ProcessResult append = Cfemu({"append", Env().SyncRoot() + "/g.txt", "more"});
    EXPECT_EQ(append.exitCode, 0) << append.err;
    ASSERT_TRUE(WaitForLogLine(Env().LogFile(), "[ERROR] WRITEBACK engine stage copy failed", 20000));
    EXPECT_FALSE(FileExists(Queue() + "/CloudFiles/dom/ig/g.txt"));
    EXPECT_EQ(ListDirectory(Inbox()), names);

    // A cache miss cannot leave its download record, yet the fetch still waits and completes on delivery.
    BackgroundProcess reader({VOSKE_CFEMU, "cat", Env().SyncRoot() + "/m.txt"});
    ASSERT_TRUE(WaitForLogLine(Env().LogFile(), "[HYDRATE] cache miss - queue local download, no socket", 20000));
    PutCacheFile("dom/im/m.txt", "mmmmm");
    int exitCode = -1;
    ASSERT_TRUE(reader.Wait(30000, &exitCode));
    EXPECT_EQ(exitCode, 0) << reader.Err();
    EXPECT_EQ(reader.Out(), "mmmmm");
    EXPECT_EQ(ListDirectory(Inbox()), names);
    // Its close counts as a possible change (the cache file's time differs), and that copy does not fit either.
    const std::string copyFailed = "[ERROR] WRITEBACK engine stage copy failed";
    EXPECT_TRUE(WaitUntil([&] { return CountLines(copyFailed) == 2; }, 20000));
    EXPECT_FALSE(FileExists(Queue() + "/CloudFiles/dom/im/m.txt"));

    // The engine takes the records away; the next delete is recorded whole.
    for (const std::string& name : names) fs::remove(Inbox() + "/" + name);
    EXPECT_EQ(Cfemu({"rm", Env().SyncRoot() + "/h.txt"}).exitCode, 0);
    const std::vector<std::string> after = ListDirectory(Inbox());
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(ReadFileBytes(Inbox() + "/" + after[0]), DeleteRecord("dom", "ih", "h.txt"));
    EXPECT_EQ(ErrorLines(Env().LogFile()), (std::vector<std::string>{copyFailed, copyFailed}));
}

// The engine inbox and write-back store cannot be written (a file stands in their place as root, who passes
// every permission check; read-only directories otherwise). Deletes and renames still go ahead, a failed copy
// is logged once, nothing is left behind in the queue, and the provider goes on serving.
TEST_F(Faults, RecordDirectoriesThatCannotBeWritten) {
    RegisterAndSeed(
        "dom\tia\ta.txt\t5\ta.txt\ndom\tib\tb.txt\t5\tb.txt\ndom\tig\tg.txt\t5\tg.txt\n"
        "dom\tik\tk.txt\t5\tk.txt\n");
    PutCacheFile("dom/ig/g.txt", "ggggg");
    PutCacheFile("dom/ik/k.txt", "kkkkk");
    const bool root = geteuid() == 0;
    fs::create_directories(Queue());
    if (root) {
        WriteFileBytes(Inbox(), "in the way\n");
        WriteFileBytes(Queue() + "/CloudFiles", "in the way\n");
    } else {
        fs::create_directories(Inbox());
        fs::create_directories(Queue() + "/CloudFiles");
        chmod(Inbox().c_str(), 0500);
        chmod((Queue() + "/CloudFiles").c_str(), 0500);
    }
    StartProvider();

    ProcessResult rm = Cfemu({"rm", Env().SyncRoot() + "/a.txt"});
    EXPECT_EQ(rm.exitCode, 0) << rm.err;
    EXPECT_FALSE(FileExists(Env().SyncRoot() + "/a.txt"));
    ProcessResult mv = Cfemu({"mv", Env().SyncRoot() + "/b.txt", Env().SyncRoot() + "/c.txt"});
    EXPECT_EQ(mv.exitCode, 0) << mv.err;
    EXPECT_TRUE(FileExists(Env().SyncRoot() + "/c.txt"));
    ProcessResult append = Cfemu({"append", Env().SyncRoot() + "/g.txt", "more"});
    EXPECT_EQ(append.exitCode, 0) << append.err;
    ASSERT_TRUE(WaitForLogLine(Env().LogFile(), "[ERROR] WRITEBACK engine stage copy failed", 20000));

    // A read counts as a possible change (the cache file's time differs from the placeholder's): its copy
    // fails the same way.
    ProcessResult cat = Cfemu({"cat", Env().SyncRoot() + "/k.txt"});
    EXPECT_EQ(cat.exitCode, 0) << cat.err;
    EXPECT_EQ(cat.out, "kkkkk");
    const std::string copyFailed = "[ERROR] WRITEBACK engine stage copy failed";
    EXPECT_TRUE(WaitUntil([&] { return CountLines(copyFailed) == 2; }, 20000));
    EXPECT_EQ(CountLines("[WRITEBACK] delete callback - local queue only, no network"), 1);
    EXPECT_EQ(CountLines("[WRITEBACK] rename callback - local queue only, no network"), 1);
    EXPECT_EQ(ListDirectory(Queue()), (std::vector<std::string>{"CloudFiles", "cloud-files-inbox"}));
    if (root) {
        EXPECT_EQ(ReadFileBytes(Inbox()), "in the way\n");
        EXPECT_EQ(ReadFileBytes(Queue() + "/CloudFiles"), "in the way\n");
    } else {
        EXPECT_TRUE(ListDirectory(Inbox()).empty());
        EXPECT_TRUE(ListDirectory(Queue() + "/CloudFiles").empty());
    }
    EXPECT_EQ(ErrorLines(Env().LogFile()), (std::vector<std::string>{copyFailed, copyFailed}));
}

// Hostile manifests: the seed run must end in bounded time with exit code 0 and its summary line, and create
// nothing outside the sync root.
TEST_F(Faults, ManifestsOfGarbageOfOneHugeLineAndOfTooManyLines) {
    // Garbage: bytes drawn from an alphabet rich in separators, dots, NULs and broken UTF-8.
    static const unsigned char kAlphabet[] = {'\t', '\t', '\t', '\t', '\t', '\n', '\n', '\r', '\\', '\\', '/',
                                              '.',  '\0', ':',  '1',  '-',  '9',  'a',  'b',  'c',  0xFF, 0xC3,
                                              0xA9, 0xE2, 0x80, ' ',  '"',  '*',  '?',  '<',  'z',  'q'};
    std::string garbage(4 * 1024 * 1024, '\0');
    uint64_t state = 88172645463325252ull;
    for (char& c : garbage) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        c = static_cast<char>(kAlphabet[state % sizeof(kAlphabet)]);
    }
    int garbageEntries = 0;
    for (size_t at = 0; at < garbage.size();) {
        size_t end = garbage.find('\n', at);
        if (end == std::string::npos) end = garbage.size();
        std::string line = garbage.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && std::count(line.begin(), line.end(), '\t') >= 4) ++garbageEntries;
        at = end + 1;
    }

    const size_t huge = 50u * 1024 * 1024;
    std::string components = "d\ti\t";
    while (components.size() < huge) components += "a\\";
    components += "\t1\tf.txt";
    const std::string hugeName = "d\ti\tp\t1\t" + std::string(huge, 'n') + "\n";

    // 200000 lines: every tenth too short to count; the 100000th entry is a file, the next one is past the cap.
    std::string many;
    int entries = 0;
    for (int line = 0; line < 200000; ++line) {
        if (line % 10 == 9) {
            many += "short\tline\n";
            continue;
        }
        ++entries;
        if (entries <= 3 || entries == 100000 || entries == 100001) {
            const std::string name = entries == 100000   ? "last.txt"
                                     : entries == 100001 ? "beyond.txt"
                                                         : "first" + std::to_string(entries) + ".txt";
            many += "d\ti" + std::to_string(entries) + "\tdir\\" + name + "\t3\t" + name + "\n";
        } else {
            many += "d\ti\t\t0\tx\t1\n";
        }
    }

    struct Row {
        const char* label;
        const std::string* manifest;
        std::string summaryPrefix;                 // the "[SEED] manifest seen ..." line starts with it
        std::vector<std::string> present, absent;  // below the sync root afterwards
    } rows[] = {
        {"garbage bytes", &garbage, "[SEED] manifest seen " + std::to_string(garbageEntries) + " seeded ", {}, {}},
        {"one 50 MiB line of two-byte path components",
         &components,
         "[SEED] manifest seen 1 seeded 0 (cap 100000, no network)",
         {"a"},
         {"f.txt"}},
        {"one 50 MiB line naming one file",
         &hugeName,
         "[SEED] manifest seen 1 seeded 0 (cap 100000, no network)",
         {},
         {"p"}},
        {"200000 lines",
         &many,
         "[SEED] manifest seen 100000 seeded 100000 (cap 100000, no network)",
         {"dir/first1.txt", "dir/first3.txt", "dir/last.txt"},
         {"dir/beyond.txt"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        TempLocalAppData local;
        ASSERT_EQ(Verb("register").exitCode, 0);
        WriteFileBytes(local.ProviderBase() + "/seed-manifest.tsv", *row.manifest);
        const std::set<std::string> before = TreeOutsideSyncRoot(local.Root(), local.SyncRoot(), local.LogFile());

        ProcessResult seed = Verb("seed", 240000);
        EXPECT_FALSE(seed.timedOut);
        EXPECT_EQ(seed.exitCode, 0);
        EXPECT_FALSE(HasSanitizerReport(seed.err)) << seed.err.substr(0, 4000);
        std::string summary;
        for (const std::string& line : LogMessages(local.LogFile())) {
            if (line.rfind("[SEED] manifest seen", 0) == 0) summary = line;
        }
        EXPECT_EQ(summary.rfind(row.summaryPrefix, 0), 0u) << summary;
        for (const std::string& line : ErrorLines(local.LogFile())) {
            EXPECT_EQ(line.rfind("[ERROR] SEED refused ", 0), 0u) << line;
        }
        EXPECT_EQ(TreeOutsideSyncRoot(local.Root(), local.SyncRoot(), local.LogFile()), before);
        for (const std::string& path : row.present) EXPECT_TRUE(FileExists(local.SyncRoot() + "/" + path)) << path;
        for (const std::string& path : row.absent) EXPECT_FALSE(FileExists(local.SyncRoot() + "/" + path)) << path;
        RunProcess({VOSKE_PROGRAM, "unregister"});
    }
}

// Identity blobs of odd length and of the 4096-byte maximum, made by another application before the provider
// connects: the provider decodes them by their whole UTF-16 units, serves what they name, refuses at once what
// names nothing, and records deletes with the ids they carry.
TEST_F(FaultsOnTmpfs, IdentityBlobsOfOddLengthAndOfFourKilobytes) {
    const auto utf16 = [](const std::wstring& text, bool withNul) {
        std::vector<BYTE> blob = EncodeIdentityBlob(text);
        if (!withNul) blob.resize(blob.size() - 2);
        return blob;
    };
    const std::wstring bigPrefix = L"cf\tbig\ti4096\tbig.bin\t";
    const std::string oddBytes = PatternBytes(5000, 11);
    const std::string bigBytes = PatternBytes(10000, 12);
    struct Row {
        const char* label;
        std::string name;
        std::vector<BYTE> blob;
        size_t size;
        std::string expected;  // the bytes a reader gets; empty: the read is refused
        std::string deleteRecord;
    } rows[] = {
        {"odd length, cache reference and NUL plus one byte", "odd.bin", utf16(L"cf\todd\ti1\todd.bin", true), 5000,
         oddBytes, DeleteRecord("odd", "i1", "odd.bin")},
        {"odd length, path identity without its NUL, plus one byte", "path.txt", utf16(L"hello-from-engine.txt", false),
         93, kSeed, ""},
        {"one byte", "one.txt", {0x41}, 93, kSeed, ""},
        {"4096 bytes, cache reference with a long fifth field", "big.bin",
         utf16(bigPrefix + std::wstring(2047 - bigPrefix.size(), L'p'), true), 10000, bigBytes,
         DeleteRecord("big", "i4096", "big.bin")},
        {"4096 bytes, one name too long for any file system", "long.bin", utf16(std::wstring(2047, L'n'), true), 10, "",
         ""},
    };
    rows[0].blob.push_back(0x41);
    rows[1].blob.push_back(0x41);
    ASSERT_EQ(rows[0].blob.size() % 2, 1u);
    ASSERT_EQ(rows[3].blob.size(), 4096u);
    ASSERT_EQ(rows[4].blob.size(), 4096u);

    ProcessResult registration = Verb("register");
    if (registration.exitCode != 0) {
        GTEST_SKIP() << "no sync root on " << TemporaryBase()
                     << " (a tmpfs with extended attributes): " << registration.err;
    }
    ASSERT_EQ(Verb("placeholder").exitCode, 0);  // writes the staging file the path identities name
    PutCacheFile("odd/i1/odd.bin", oddBytes);
    PutCacheFile("big/i4096/big.bin", bigBytes);
    for (Row& row : rows) {
        const std::wstring name = posix::Utf8ToWide(row.name);
        CF_PLACEHOLDER_CREATE_INFO entry = {};
        entry.RelativeFileName = name.c_str();
        entry.FsMetadata.BasicInfo.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        entry.FsMetadata.FileSize.QuadPart = static_cast<LONGLONG>(row.size);
        entry.FileIdentity = row.blob.data();
        entry.FileIdentityLength = static_cast<DWORD>(row.blob.size());
        entry.Flags = CF_PLACEHOLDER_CREATE_FLAG_MARK_IN_SYNC;
        DWORD processed = 0;
        ASSERT_EQ(
            CfCreatePlaceholders(WindowsPathOf(Env().SyncRoot()).c_str(), &entry, 1, CF_CREATE_FLAG_NONE, &processed),
            S_OK)
            << row.label;
    }
    StartProvider();

    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        ProcessResult cat = Cfemu({"cat", Env().SyncRoot() + "/" + row.name});
        if (row.expected.empty()) {
            EXPECT_EQ(cat.exitCode, 1);
            EXPECT_NE(cat.err.find("0x80070185"), std::string::npos) << cat.err;
        } else {
            EXPECT_EQ(cat.exitCode, 0) << cat.err;
            EXPECT_TRUE(cat.out == row.expected) << cat.out.size() << " bytes";
        }
    }
    std::set<std::string> expectedRecords;
    for (const Row& row : rows) {
        EXPECT_EQ(Cfemu({"rm", Env().SyncRoot() + "/" + row.name}).exitCode, 0) << row.label;
        if (!row.deleteRecord.empty()) expectedRecords.insert(row.deleteRecord);
    }
    std::set<std::string> records;
    for (const std::string& name : ListDirectory(Inbox())) {
        if (name.rfind("delete-", 0) == 0) records.insert(ReadFileBytes(Inbox() + "/" + name));
    }
    EXPECT_EQ(records, expectedRecords);
    EXPECT_TRUE(DownloadRecords().empty());
    EXPECT_EQ(ErrorLines(Env().LogFile()),
              std::vector<std::string>{"[ERROR] HYDRATE staging missing - refusing (no network fallback)"});
}

// Link loops in the product cache: a directory link to the cache itself, a link to its parent, two links to
// each other and one to itself. Seeding must end and follow no directory link; a link that leads nowhere is
// listed as the empty file the enumeration shows (as on Windows), and a read of it is refused at once.
TEST_F(Faults, ProductCacheHoldingLinkLoops) {
    ASSERT_EQ(Verb("register").exitCode, 0);
    const std::string cache = Env().ProductDir() + "/Cache";
    PutCacheFile("a.txt", "aaaaa");
    PutCacheFile("sub/b.txt", "bbb");
    fs::create_directory_symlink(".", cache + "/loop");
    fs::create_directory_symlink("..", cache + "/sub/up");
    fs::create_symlink("y", cache + "/x");
    fs::create_symlink("x", cache + "/y");
    fs::create_symlink("self", cache + "/self");
    const std::set<std::string> before = TreeOutsideSyncRoot(Env().Root(), Env().SyncRoot(), Env().LogFile());

    ProcessResult seed = Verb("seed", 60000);
    EXPECT_FALSE(seed.timedOut);
    EXPECT_EQ(seed.exitCode, 0) << seed.err;
    std::string summary;
    for (const std::string& line : LogMessages(Env().LogFile())) {
        if (line.rfind("[SEED] found", 0) == 0) summary = line;
    }
    EXPECT_EQ(summary, "[SEED] found 5 seeded 5 first_hr=0x00000000 (cap 32, no network)");
    EXPECT_EQ(ListDirectory(Env().SyncRoot()), (std::vector<std::string>{"a.txt", "self", "sub", "x", "y"}));
    EXPECT_EQ(ListDirectory(Env().SyncRoot() + "/sub"), std::vector<std::string>{"b.txt"});
    EXPECT_EQ(TreeOutsideSyncRoot(Env().Root(), Env().SyncRoot(), Env().LogFile()), before);

    StartProvider();
    ProcessResult cat = Cfemu({"cat", Env().SyncRoot() + "/a.txt"});
    EXPECT_EQ(cat.exitCode, 0) << cat.err;
    EXPECT_EQ(cat.out, "aaaaa");
    ProcessResult loop = Cfemu({"cat", Env().SyncRoot() + "/x"});
    EXPECT_EQ(loop.exitCode, 1);
    EXPECT_NE(loop.err.find("0x80070185"), std::string::npos) << loop.err;
    EXPECT_EQ(ErrorLines(Env().LogFile()),
              std::vector<std::string>{"[ERROR] HYDRATE staging missing - refusing (no network fallback)"});
}

// Another process deletes a placeholder while its fetch waits for the engine. The delete must not wait for the
// fetch: it is recorded and done at once. The reader, which holds the file open, still gets the data once the
// engine delivers it (as a read through a handle open on a file being deleted does), and the file stays gone.
TEST_F(Faults, PlaceholderDeletedWhileItsFetchWaits) {
    RegisterAndSeed("dom\tiw\tw.bin\t5000\tw.bin\n");
    StartProvider();
    const std::string placeholder = Env().SyncRoot() + "/w.bin";
    BackgroundProcess reader({VOSKE_CFEMU, "cat", placeholder});
    ASSERT_TRUE(WaitUntil([&] { return DownloadRecords().size() == 1; }, 20000));

    ProcessResult rm = Cfemu({"rm", placeholder});
    EXPECT_EQ(rm.exitCode, 0) << rm.err;
    EXPECT_FALSE(reader.Wait(0)) << "the reader ended before the engine delivered";
    EXPECT_FALSE(FileExists(placeholder));
    std::vector<std::string> deletes;
    for (const std::string& name : ListDirectory(Inbox())) {
        if (name.rfind("delete-", 0) == 0) deletes.push_back(ReadFileBytes(Inbox() + "/" + name));
    }
    EXPECT_EQ(deletes, std::vector<std::string>{DeleteRecord("dom", "iw", "w.bin")});

    const std::string bytes = PatternBytes(5000, 3);
    PutCacheFile("dom/iw/w.bin", bytes);
    int exitCode = -1;
    ASSERT_TRUE(reader.Wait(30000, &exitCode));
    EXPECT_EQ(exitCode, 0) << reader.Err();
    EXPECT_TRUE(reader.Out() == bytes) << reader.Out().size() << " bytes";
    EXPECT_FALSE(FileExists(placeholder));
    EXPECT_TRUE(ErrorLines(Env().LogFile()).empty()) << ErrorLines(Env().LogFile()).front();
}

}  // namespace
}  // namespace e2e
