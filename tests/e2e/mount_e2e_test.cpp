// mount_e2e_test.cpp - ordinary Linux programs on a `cfemu mount` of the root: bytes, records, the requesting process.
#include <fcntl.h>

#include "tests/e2e/e2e_fixture.h"

namespace e2e {
namespace {

class MountE2e : public ProgramTest {
  protected:
    void SetUp() override {
        ProgramTest::SetUp();
        const int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
        if (fd >= 0) close(fd);
        if (fd < 0 || access("/usr/bin/fusermount3", X_OK) != 0) GTEST_SKIP() << "needs /dev/fuse and fusermount3";
        mountpoint = Env().Root() + "/mnt";
        fs::create_directories(mountpoint);
    }
    void TearDown() override {
        if (mount) {
            mount->Signal(SIGTERM);
            EXPECT_EQ(ExitOf(*mount, 20000), 0) << mount->Err();
            EXPECT_NE(mount->Err().find("cfemu mount: unmounted"), std::string::npos) << mount->Err();
            mount.reset();
        }
        if (!mountpoint.empty()) RunProcess({"/usr/bin/fusermount3", "-u", "-z", mountpoint});  // a failed daemon's
        ProgramTest::TearDown();
    }
    void StartMount() {
        mount = std::make_unique<BackgroundProcess>(
            std::vector<std::string>{VOSKE_CFEMU, "mount", Env().SyncRoot(), mountpoint});
        ASSERT_TRUE(WaitUntil([&] { return mount->Err().find("cfemu mount: serving") != std::string::npos; }, 20000))
            << mount->Err();
    }
    std::string Mounted(const std::string& name) const { return mountpoint + "/" + name; }

    std::string mountpoint;
    std::unique_ptr<BackgroundProcess> mount;
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
    StartMount();

    ExpectRefused(RunProcess({"/usr/bin/cat", Mounted("s4097.bin")}), "Input/output error");
    const std::regex complaint(R"(\ncfemu mount: read /s4097.bin \(pid \d+\): [^\n]*0x8007016A[^\n]* -> EIO\n)");
    EXPECT_TRUE(std::regex_search(mount->Err(), complaint)) << mount->Err();
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

    // rm and mv return only after the provider acknowledged, so their records are there when they end.
    ASSERT_EQ(RunProcess({"/usr/bin/rm", Mounted("gone.bin")}).exitCode, 0);
    EXPECT_EQ(Records("delete-"), std::vector<std::string>{DeleteRecord("d1", "gone", "gone.bin")});
    ASSERT_EQ(RunProcess({"/usr/bin/mv", Mounted("moved.bin"), Mounted("renamed.bin")}).exitCode, 0);
    EXPECT_EQ(Records("modify-"), std::vector<std::string>{RenameRecord("moved", "renamed.bin", "moved.bin")});

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

// The provider is told of the program that asked, not of the daemon: its image path and process id.
TEST_F(MountE2e, TheProviderSeesTheProgramOnTheMount) {
    RegisterAndSeed("d1\tseen\tseen.bin\t5000\tseen.bin\n");
    PutCacheFile("seen.bin", PatternBytes(5000, 5));
    const std::string log = Env().Root() + "/provider.txt";
    provider = std::make_unique<BackgroundProcess>(std::vector<std::string>{
        std::string(VOSKE_BINARY_DIR) + "/filter_provider", Env().SyncRoot(), log, "--source", CacheFile("")});
    ASSERT_TRUE(WaitUntil([&] { return ReadFileBytes(log).find("CONNECTED") != std::string::npos; }, 20000));
    StartMount();
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
}

}  // namespace
}  // namespace e2e
