// mount_e2e_test.cpp - ordinary Linux programs on a `cfemu mount` of the root: bytes, records, the requesting process.
#include <fcntl.h>

#include <fstream>
#include <functional>

#include "layout/file_open.h"
#include "tests/e2e/e2e_fixture.h"

namespace e2e {
namespace {

class MountE2e : public MountTest {
  protected:
    void SetUp() override {
        MountTest::SetUp();
        if (!FuseAvailable()) GTEST_SKIP() << "needs /dev/fuse and fusermount3";
    }
};

// Start-up refusals; ordinary programs through the mount without a provider, with one, and when it is killed.
TEST_F(MountE2e, OrdinaryProgramsThroughTheMountBeforeDuringAndAfterAProvider) {
    // Sizes around the 4 KiB transfer unit and above the 4 MiB transfer piece.
    const std::vector<Seeded> files = {
        {"s0.bin", 0},       {"s1.bin", 1},         {"s4095.bin", 4095},         {"s4096.bin", 4096},
        {"s4097.bin", 4097}, {"s9m.bin", 9 * kMiB}, {"inner.bin", 9 * kMiB + 5}, {"edit.bin", 4097},
        {"gone.bin", 10},    {"moved.bin", 10},     {"big64.bin", 64 * kMiB},    {"big.bin", 256 * kMiB}};
    SeedFiles(files);
    const std::string big64 = CacheFile(D1("big64.bin")), notDir = Env().Root() + "/file";
    fs::rename(big64, big64 + ".later");  // the engine delivers it only after a provider's death
    WriteFileBytes(notDir, "f");
    fs::create_directory(Root("inside"));
    const std::string root = Env().SyncRoot(), product = Env().ProductDir(),
                      must = " (the mount point must be an empty directory)";
    const std::string refusals[][3] = {
        {product, mountpoint, product + " is neither a registered sync root nor a directory inside one"},
        {notDir, mountpoint, notDir + " is not a directory"},
        {root, notDir, notDir + " is not a directory" + must},
        {root, notDir + "x", notDir + "x: No such file or directory" + must},
        {root, product, product + " is not empty" + must},
        {root, Root("inside"), Root("inside") + " and " + root + " lie inside one another"}};
    for (const auto& [from, at, message] : refusals) {
        const ProcessResult run = Cfemu({"mount", from, at}, 20000);
        EXPECT_EQ(run.exitCode, 1) << at;
        EXPECT_EQ(run.err, "cfemu mount: " + message + "\n");
    }
    ASSERT_TRUE(StartMount()) << mount->Err();

    ExpectRefused(RunProcess({"/usr/bin/cat", Mounted("s4097.bin")}), "Input/output error");
    const std::regex complaint(R"(\ncfemu mount: read /s4097.bin \(pid \d+\): [^\n]*0x8007016A[^\n]* -> EIO\n)");
    EXPECT_TRUE(std::regex_search(mount->Err(), complaint)) << mount->Err();
    // A placeholder's pin state is the extended attribute user.voske.pin, set through the filter; no other name.
    const std::string pins =
        "import os, sys\np = sys.argv[1]\nget = lambda: os.getxattr(p, 'user.voske.pin').decode()\n"
        "out = [get(), ' '.join(os.listxattr(p)), str(os.listxattr(sys.argv[2]))]\n"
        "os.setxattr(p, 'user.voske.pin', b'pinned')\nout.append(get())\n"
        "for name, value in (('user.voske.pin', b'bogus'), ('user.x', b'x'), ('user.voske.pin', b'excluded')):\n"
        "    try: os.setxattr(p, name, value)\n    except OSError as e: out.append(e.strerror)\n"
        "print(','.join(out))";
    EXPECT_EQ(OutputOf(RunProcess({"/usr/bin/python3", "-c", pins, Mounted("s1.bin"), mountpoint})),
              "unspecified,user.voske.pin,[],pinned,Invalid argument,Operation not supported,Operation not permitted\n");
    EXPECT_EQ(Cfemu({"attrib", Root("s1.bin")}).out, " P   " + Root("s1.bin") + "\n");
    const std::string unpin = "import os, sys; os.setxattr(sys.argv[1], 'user.voske.pin', b'unspecified')";
    ASSERT_EQ(RunProcess({"/usr/bin/python3", "-c", unpin, Mounted("s1.bin")}).exitCode, 0);
    StartProvider();

    const std::string ls = OutputOf(RunProcess({"/usr/bin/ls", "-ln", mountpoint}));
    for (const Seeded& file : files) {
        EXPECT_TRUE(std::regex_search(ls, std::regex(" " + std::to_string(file.size) + " .* " + file.name + "\n")))
            << ls;
    }

    // Eight cats at once, three of them on one file, give the cache files' bytes; so does sha256sum.
    const char* readers[] = {"s0.bin",    "s1.bin",  "s4095.bin", "s4096.bin",
                             "s4097.bin", "s9m.bin", "s9m.bin",   "s9m.bin"};
    std::vector<std::unique_ptr<BackgroundProcess>> cats;
    std::vector<std::string> sumArgs = {"/usr/bin/sha256sum"};
    for (const char* name : readers) {
        cats.push_back(std::make_unique<BackgroundProcess>(std::vector<std::string>{"/usr/bin/cat", Mounted(name)}));
        sumArgs.insert(sumArgs.end(), {Mounted(name), CacheFile(D1(name))});
    }
    for (size_t i = 0; i < cats.size(); ++i) {
        EXPECT_EQ(ExitOf(*cats[i], 60000), 0) << readers[i] << " " << cats[i]->Err();
        EXPECT_TRUE(cats[i]->Out() == ReadFileBytes(CacheFile(D1(readers[i])))) << readers[i];
    }
    std::istringstream sums(RunProcess(sumArgs).out);
    for (std::string mounted, cache, name; sums >> mounted >> name >> cache >> name;) EXPECT_EQ(mounted, cache) << name;

    // A read across the end of a placeholder at an inner offset.
    EXPECT_FALSE(Hydrated("inner.bin"));
    const ProcessResult dd =
        RunProcess({"/usr/bin/dd", "if=" + Mounted("inner.bin"), "bs=1", "skip=9437183", "count=100", "status=none"});
    EXPECT_TRUE(OutputOf(dd) == ReadFileBytes(CacheFile(D1("inner.bin"))).substr(9437183));
    const std::string seekAndRead =
        "import sys; f = open(sys.argv[1], 'rb'); f.seek(5000001); "
        "sys.stdout.buffer.write(f.read(70000))";
    const ProcessResult python = RunProcess({"/usr/bin/python3", "-c", seekAndRead, Mounted("inner.bin")});
    EXPECT_TRUE(OutputOf(python) == ReadFileBytes(CacheFile(D1("inner.bin"))).substr(5000001, 70000));
    // A 256 MiB placeholder copied out of the mount is byte-exact.
    const std::string copy = Env().Root() + "/copy.bin";
    OutputOf(RunProcess({"/usr/bin/cp", Mounted("big.bin"), copy}, 300000));
    EXPECT_EQ(OutputOf(RunProcess({"/usr/bin/cmp", copy, CacheFile(D1("big.bin"))}, 300000)), "");
    fs::remove(copy);

    // An append through the mount is written back: the engine's copy and its modify record.
    ASSERT_EQ(RunProcess({"/bin/sh", "-c", "echo x >> \"$1\"", "sh", Mounted("edit.bin")}).exitCode, 0);
    const std::string engineCopy = Queue() + "/CloudFiles/" + D1("edit.bin");
    const std::string edited = ReadFileBytes(CacheFile(D1("edit.bin"))) + "x\n";
    EXPECT_TRUE(WaitUntil([&] { return ReadFileBytes(engineCopy) == edited && !Records("mod-").empty(); }, 20000));
    std::string json;
    for (char c : posix::WideToUtf8(posix::ToWindowsPath(engineCopy))) json += c == '\\' ? "\\\\" : std::string(1, c);
    const std::string record =
        "{\"type\":\"modify\",\"domainId\":\"d1\",\"itemId\":\"edit\",\"contentsPath\":\"" + json +
        "\",\"targetPath\":\"edit.bin\",\"isDir\":false,\"timestamp\":0,\"attempts\":0,\"urgent\":true}\n";
    EXPECT_EQ(Records("mod-"), std::vector<std::string>{record});

    // rm and mv return only after the provider acknowledged, their records held, published when no file took the
    // name within a few seconds.
    ASSERT_EQ(RunProcess({"/usr/bin/rm", Mounted("gone.bin")}).exitCode, 0);
    ASSERT_EQ(RunProcess({"/usr/bin/mv", Mounted("moved.bin"), Mounted("renamed.bin")}).exitCode, 0);
    EXPECT_EQ(RecordsWhenThere("delete-", 1), std::vector<std::string>{DeleteRecord("d1", "gone", "gone.bin")});
    EXPECT_EQ(RecordsWhenThere("modify-", 1), std::vector<std::string>{RenameRecord("moved", "renamed.bin", "moved.bin")});

    // big64.bin's fetch waits for the engine until the provider is killed.
    BackgroundProcess reader({"/usr/bin/cat", Mounted("big64.bin")});
    ASSERT_TRUE(WaitUntil([&] { return DownloadRecords().size() == 1; }, 20000));
    KillProvider();
    EXPECT_GT(ExitOf(reader, 1000), 0) << "the reader still waited one second after the provider's end";
    EXPECT_TRUE(reader.Out().empty() && !Hydrated("big64.bin")) << reader.Out().size() << " bytes";
    fs::rename(big64 + ".later", big64);
    StartProvider();
    EXPECT_TRUE(OutputOf(RunProcess({"/usr/bin/cat", Mounted("big64.bin")})) == ReadFileBytes(big64));
    EXPECT_TRUE(Errors().empty()) << Errors().front();
}

// Every ordinary way of writing leaves exactly the new bytes on the root and in the engine's copy; maps read and
// write; a dehydration or a write beside the mount is seen by the next open; git works in the mount.
TEST_F(MountE2e, EverydayWritesMapsStaleCachesAndGit) {
    const std::string other = Env().Root() + "/other.bin";
    WriteFileBytes(other, "copied over\n");
    using Edit = std::function<std::string(std::string)>;
    const struct {
        const char* name;
        std::string command;
        Edit expected;
    } rows[] = {
        {"over.bin", "printf new > \"$1\"", [](std::string) { return std::string("new"); }},
        {"append.bin", "printf tail >> \"$1\"", [](std::string s) { return s + "tail"; }},
        {"shorter.bin", "truncate -s 100 \"$1\"", [](std::string s) { return s.substr(0, 100); }},
        {"longer.bin", "truncate -s 6000 \"$1\"", [](std::string s) { return s + std::string(1000, '\0'); }},
        {"inner.bin", "printf AB | dd of=\"$1\" bs=1 seek=4095 conv=notrunc status=none",
         [](std::string s) { return s.replace(4095, 2, "AB"); }},
        {"copied.bin", "cp " + other + " \"$1\"", [](std::string) { return std::string("copied over\n"); }},
        {"mapped.bin",
         "python3 -c 'import mmap, sys; f = open(sys.argv[1], \"r+b\"); m = mmap.mmap(f.fileno(), 0); "
         "m[4090:4100] = b\"0123456789\"; m.close(); f.close()' \"$1\"",
         [](std::string s) { return s.replace(4090, 10, "0123456789"); }}};
    std::vector<Seeded> files = {{"read.bin", 5000}, {"held.bin", 5000}};
    for (const auto& row : rows) files.push_back({row.name, 5000});
    SeedFiles(files);
    StartProvider();
    ASSERT_TRUE(StartMount()) << mount->Err();
    for (size_t k = 0; k < std::size(rows); ++k) {
        const std::string expected = rows[k].expected(ReadFileBytes(CacheFile(D1(rows[k].name))));
        EXPECT_EQ(RunProcess({"/bin/sh", "-c", rows[k].command, "sh", Mounted(rows[k].name)}).exitCode, 0) << k;
        EXPECT_TRUE(ReadFileBytes(Root(rows[k].name)) == expected) << rows[k].name;
        EXPECT_TRUE(OutputOf(RunProcess({"/usr/bin/cat", Mounted(rows[k].name)})) == expected) << rows[k].name;
        const std::string engineCopy = Queue() + "/CloudFiles/" + D1(rows[k].name);
        EXPECT_TRUE(WaitUntil([&] { return ReadFileBytes(engineCopy) == expected; }, 20000)) << rows[k].name;
    }

    // Renaming a new file over one the program still holds open succeeds; the engine gets the new bytes once. An
    // unlinked temporary file works through its descriptor; a directory replaces an empty one, not a full one.
    const std::string python =
        "import mmap, os, sys, tempfile; os.chdir(sys.argv[1]); h = open('held.bin', 'rb'); old = h.read(); "
        "open('held.new', 'wb').write(b'saved'); os.rename('held.new', 'held.bin'); h.seek(0); print(h.read() == old); "
        "t = tempfile.TemporaryFile(dir='.'); t.write(b'x' * 5000); t.flush(); os.fchmod(t.fileno(), 0o600); "
        "os.utime(t.fileno(), (1, 2)); s = os.fstat(t.fileno()); print(s.st_size, s.st_nlink, s.st_mtime, "
        "mmap.mmap(t.fileno(), 0)[4998:], [n for n in os.listdir() if n.startswith('tmp')]); os.makedirs('a/s'); "
        "os.makedirs('e'); os.makedirs('n/x'); print(os.stat('a').st_nlink, os.stat('.').st_nlink); "
        "os.rename('a', 'e'); print(os.listdir('e'), end=' '); os.rename('e', 'n')";
    const ProcessResult run = RunProcess({"/usr/bin/python3", "-c", python, mountpoint});
    EXPECT_EQ(run.out, "True\n5000 0 2.0 b'xx' []\n3 5\n['s'] ") << run.err << mount->Err();
    EXPECT_NE(run.err.find("OSError: [Errno 39] Directory not empty: 'e' -> 'n'"), std::string::npos) << run.err;
    const auto heldRecords = [&] {
        const std::vector<std::string> all = Records("mod-");
        return std::count_if(all.begin(), all.end(), [](auto& r) { return r.find("\"itemId\":\"held\"") != r.npos; });
    };
    const std::string heldCopy = Queue() + "/CloudFiles/" + D1("held.bin");
    EXPECT_TRUE(WaitUntil([&] { return ReadFileBytes(heldCopy) == "saved" && InSyncIdentity("held.bin") != "-"; }, 20000));

    // A tree deeper than one Linux call reaches (61 folders of 99 bytes, made and walked by relative steps) works
    // through the mount as on a Linux disk; the provider, which is not long-path aware, reaches only what it may. A
    // file 22 folders down has a path too long to be a placeholder's identity (over 4 KiB): taken once (copy and
    // line), it stays a plain file. Both trees are removed by descriptors.
    const std::string deep =
        "import os, sys; os.chdir(sys.argv[1]); m = 'm' * 99; d = 'd' * 99\n"
        "os.makedirs('/'.join([m] * 22)); open('/'.join([m] * 22 + ['mid.txt']), 'w').write('half way')\n"
        "for i in range(61): os.mkdir(d); os.chdir(d)\n"
        "open('deep.txt', 'w').write('at the bottom'); s = os.stat('deep.txt'); os.rename('deep.txt', 'low.txt')\n"
        "print(open('low.txt').read(), s.st_size, os.listdir('.'), os.stat('.').st_nlink, os.stat('..').st_nlink)\n";
    const std::string journal = Env().ProviderBase() + "/Queue/pending-spike.jsonl";
    const std::string linesBefore = ReadFileBytes(journal);
    const ProcessResult deepRun = RunProcess({"/usr/bin/python3", "-c", deep, mountpoint});
    EXPECT_EQ(deepRun.out, "at the bottom 13 ['low.txt'] 2 3\n") << deepRun.err << mount->Err();
    std::string midPath;
    for (int i = 0; i < 22; ++i) midPath += std::string(99, 'm') + "/";
    const std::string stored = Queue() + "/LocalFiles/" + midPath + "mid.txt";
    EXPECT_TRUE(WaitUntil([&] { return ReadFileBytes(stored) == "half way"; }, 20000)) << InboxAndLog();
    EXPECT_TRUE(WaitUntil([&] { return ReadFileBytes(journal) == linesBefore + "write-back\r\n"; }, 5000));
    EXPECT_TRUE(WaitForLine("[WRITEBACK] WRITEBACK kept as a file that is no placeholder - its path (4416 bytes as "
                            "identity) is longer than an identity may be",
                            10000));
    EXPECT_EQ(InSyncIdentity(midPath + "mid.txt"), "-");
    const std::string remove =
        "import os, shutil, sys; os.chdir(sys.argv[1]); shutil.rmtree('d' * 99); "
        "shutil.rmtree('m' * 99)";
    const ProcessResult removed = RunProcess({"/usr/bin/python3", "-c", remove, mountpoint});
    EXPECT_EQ(removed.err, "") << mount->Err();
    EXPECT_FALSE(fs::exists(Root(std::string(99, 'd'))) || fs::exists(Root(std::string(99, 'm'))));

    // A shared read map of a dehydrated placeholder; after a dehydration the next open fetches again; a write
    // beside the mount shows at the next open, even one that keeps the file's size and last-write time.
    const std::string cached = ReadFileBytes(CacheFile(D1("read.bin")));
    const std::string readMap = "import mmap, sys; f = open(sys.argv[1], 'rb'); "
                                "sys.stdout.buffer.write(mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)[:])";
    EXPECT_TRUE(OutputOf(RunProcess({"/usr/bin/python3", "-c", readMap, Mounted("read.bin")})) == cached);
    HANDLE alone = OpenExistingRetryingSharing(WindowsPathOf(Root("read.bin")), GENERIC_READ | GENERIC_WRITE, 0);
    LARGE_INTEGER start{}, length{};
    length.QuadPart = CF_EOF;
    EXPECT_EQ(CfDehydratePlaceholder(alone, start, length, CF_DEHYDRATE_FLAG_NONE, nullptr), S_OK);
    CloseHandle(alone);
    ASSERT_FALSE(Hydrated("read.bin"));
    EXPECT_TRUE(OutputOf(RunProcess({"/usr/bin/cat", Mounted("read.bin")})) == cached);
    EXPECT_TRUE(Hydrated("read.bin")) << "the second read came from the kernel's pages, not through the filter";
    const fs::file_time_type written = fs::last_write_time(Root("read.bin"));
    std::fstream beside(Root("read.bin"), std::ios::in | std::ios::out | std::ios::binary);
    beside.write("BESIDE", 6);
    beside.close();
    fs::last_write_time(Root("read.bin"), written);
    EXPECT_TRUE(OutputOf(RunProcess({"/usr/bin/cat", Mounted("read.bin")})) == "BESIDE" + cached.substr(6));

    EXPECT_EQ(heldRecords(), 1);  // looked at again after the steps above: still the one record

    if (access("/usr/bin/git", X_OK) != 0) GTEST_SKIP() << "git is not installed: the repository part is skipped";
    const std::string script =
        "set -e; cd \"$1\"; git init -q repo; cd repo; echo one > a.txt; git add a.txt; "
        "git -c user.name=t -c user.email=t@t commit -qm one; git gc -q; git fsck; cd ..; rm -rf repo";
    const ProcessResult git = RunProcess({"/bin/sh", "-c", script, "sh", mountpoint}, 120000);
    EXPECT_EQ(git.exitCode, 0) << git.err << mount->Err();
    EXPECT_FALSE(fs::exists(Root("repo")));
}

// The provider is told of the program that asked, not of the daemon: its image path and process id. A read-only
// placeholder whose delete the provider refuses stays, read-only.
TEST_F(MountE2e, TheProviderSeesTheProgramOnTheMount) {
    RegisterAndSeed("d1\tseen\tseen.bin\t5000\tseen.bin\nd1\tro\tro.bin\t10\tro.bin\n");
    PutCacheFile("seen.bin", PatternBytes(5000, 5));
    ASSERT_EQ(chmod(Root("ro.bin").c_str(), 0444), 0);
    const std::string log = Env().Root() + "/provider.txt";
    provider = std::make_unique<BackgroundProcess>(
        std::vector<std::string>{std::string(VOSKE_BINARY_DIR) + "/filter_provider", Env().SyncRoot(), log, "--source",
                                 CacheFile(""), "--ack-delete", "0xC0000022"});
    ASSERT_TRUE(WaitUntil([&] { return ReadFileBytes(log).find("CONNECTED") != std::string::npos; }, 20000));
    ASSERT_TRUE(StartMount()) << mount->Err();
    BackgroundProcess reader({"/usr/bin/cat", Mounted("seen.bin")});
    EXPECT_TRUE(ExitOf(reader, 20000) == 0 && reader.Out() == PatternBytes(5000, 5)) << reader.Err();
    ASSERT_TRUE(WaitUntil([&] { return ReadFileBytes(log).find("CLOSE_COMPLETION") != std::string::npos; }, 10000));
    std::istringstream lines(ReadFileBytes(log));
    for (std::string line; std::getline(lines, line);) {
        if (line.find("FETCH_DATA") != std::string::npos || line.find("CLOSE_COMPLETION") != std::string::npos) {
            EXPECT_NE(line.find("pid=" + std::to_string(reader.Pid()) + " "), std::string::npos) << line;
        }
    }
    EXPECT_NE(ReadFileBytes(log).find("image=Z:\\usr\\bin\\cat"), std::string::npos) << ReadFileBytes(log);

    EXPECT_EQ(RunProcess({"/usr/bin/rm", "-f", Mounted("ro.bin")}).exitCode, 1);
    struct stat st{};
    EXPECT_TRUE(stat(Root("ro.bin").c_str(), &st) == 0 && (st.st_mode & 0222) == 0) << std::oct << st.st_mode;
    EXPECT_NE(ReadFileBytes(log).find("NOTIFY_DELETE"), std::string::npos) << ReadFileBytes(log);
}

}  // namespace
}  // namespace e2e
