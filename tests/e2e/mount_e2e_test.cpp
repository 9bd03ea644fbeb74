// mount_e2e_test.cpp - `cfemu mount` with ordinary Linux programs (cat, sha256sum, dd, python3, cp, sh, rm, mv, ls)
// on the mount while `connect` serves the root: bytes, records, failures without a provider, refusals at start-up.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "platform/posix/posix_handle.h"
#include "tests/e2e/e2e_fixture.h"

namespace e2e {
namespace {

constexpr size_t kMiB = 1024 * 1024;

bool FuseUsable() {
    int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    close(fd);
    return access("/usr/bin/fusermount3", X_OK) == 0;
}

// Runs a shell line with positional arguments, so paths need no quoting.
ProcessResult Shell(const std::string& line, const std::vector<std::string>& args, int timeoutMs = 120000) {
    std::vector<std::string> argv = {"/bin/sh", "-c", line, "sh"};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProcess(argv, timeoutMs);
}

std::string JsonPath(const std::string& posixPath) {
    std::string json;
    for (char c : posix::WideToUtf8(posix::ToWindowsPath(posixPath))) json += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return json;
}

struct Seeded {
    const char* name;
    size_t size;
};

// Placeholders of sizes around the 4 KiB transfer unit and one above 4 MiB, each served from its own cache file.
const Seeded kFiles[] = {{"s0.bin", 0},       {"s1.bin", 1},           {"s4095.bin", 4095},   {"s4096.bin", 4096},
                         {"s4097.bin", 4097}, {"s9m.bin", 9 * kMiB},   {"inner.bin", 9 * kMiB + 5},
                         {"edit.bin", 4097},  {"gone.bin", 10},        {"moved.bin", 10}};

class MountE2e : public ProgramTest {
  protected:
    void SetUp() override {
        ProgramTest::SetUp();
        if (!FuseUsable()) GTEST_SKIP() << "needs FUSE: /dev/fuse cannot be opened here (or fusermount3 is missing)";
        mountpoint = Env().Root() + "/mnt";
        fs::create_directories(mountpoint);
        ASSERT_EQ(RunProcess({VOSKE_PROGRAM, "register"}).exitCode, 0);
    }
    void TearDown() override {
        if (mount) {
            mount->Signal(SIGTERM);
            int exitCode = -1;
            EXPECT_TRUE(mount->Wait(20000, &exitCode));
            EXPECT_EQ(exitCode, 0) << mount->Err();
            EXPECT_NE(mount->Err().find("cfemu mount: unmounted"), std::string::npos) << mount->Err();
            mount.reset();
        }
        if (!mountpoint.empty()) RunProcess({"/usr/bin/fusermount3", "-u", "-z", mountpoint});  // a failed daemon's
        ProgramTest::TearDown();
    }

    // Seeds the placeholders of `files` with cache files of the offset pattern whose times are the placeholders',
    // so a reader's close is an unchanged close and only real changes are written back.
    void Seed(const std::vector<Seeded>& files, bool withCache = true) {
        std::string manifest;
        for (const Seeded& file : files) {
            manifest += "d1\t" + Item(file.name) + "\t" + file.name + "\t" + std::to_string(file.size) + "\t" +
                        file.name + "\n";
            if (!withCache) continue;
            fs::create_directories(fs::path(Cache(file.name)).parent_path());
            WriteFileBytes(Cache(file.name), PatternBytes(file.size, file.size));
        }
        WriteFileBytes(Env().ProviderBase() + "/seed-manifest.tsv", manifest);
        ProcessResult seed = RunProcess({VOSKE_PROGRAM, "seed"});
        ASSERT_EQ(seed.exitCode, 0) << seed.err;
        for (const Seeded& file : files) {
            if (withCache) fs::last_write_time(Cache(file.name), fs::last_write_time(Root(file.name)));
        }
    }
    void StartMount() {
        mount = std::make_unique<BackgroundProcess>(
            std::vector<std::string>{VOSKE_CFEMU, "mount", Env().SyncRoot(), mountpoint});
        ASSERT_TRUE(WaitUntil([&] { return mount->Err().find("cfemu mount: serving") != std::string::npos; }, 20000))
            << mount->Err();
    }
    // What the daemon said besides its start line: each line names a failed operation and its Win32 status.
    std::vector<std::string> MountComplaints() const {
        std::vector<std::string> lines;
        std::istringstream in(mount->Err());
        for (std::string line; std::getline(in, line);) {
            if (line.find("cfemu mount: serving") == std::string::npos) lines.push_back(line);
        }
        return lines;
    }
    static std::string Item(const std::string& name) { return name.substr(0, name.find('.')); }
    std::string Cache(const std::string& name) const {
        return Env().ProductDir() + "/Cache/d1/" + Item(name) + "/" + name;
    }
    std::string Mounted(const std::string& name) const { return mountpoint + "/" + name; }
    bool Dehydrated(const std::string& name) const {
        std::istringstream in(RunProcess({VOSKE_CFEMU, "ls", Env().SyncRoot()}).out);
        for (std::string line; std::getline(in, line);) {
            if (line.rfind(name + "\t", 0) == 0) return line.find("\tplaceholder\tdehydrated\t") != std::string::npos;
        }
        return false;
    }

    std::string mountpoint;
    std::unique_ptr<BackgroundProcess> mount;
};

TEST_F(MountE2e, OrdinaryProgramsReadWriteDeleteAndRenameThroughTheMount) {
    Seed(std::vector<Seeded>(std::begin(kFiles), std::end(kFiles)));
    StartProvider();
    StartMount();

    // Every placeholder is listed with its full size before anything is hydrated.
    ProcessResult ls = RunProcess({"/usr/bin/ls", "-ln", "--time-style=+%s", mountpoint});
    ASSERT_EQ(ls.exitCode, 0) << ls.err;
    std::map<std::string, std::string> listed;
    std::istringstream lines(ls.out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string mode, links, uid, gid, size, time, name;
        if (fields >> mode >> links >> uid >> gid >> size >> time >> name) listed[name] = mode + " " + size;
    }
    EXPECT_EQ(listed.size(), std::size(kFiles)) << ls.out;
    for (const Seeded& file : kFiles) EXPECT_EQ(listed[file.name], "-rw-r--r-- " + std::to_string(file.size));

    // cat and sha256sum give the cache files' bytes.
    for (const Seeded& file : {kFiles[0], kFiles[1], kFiles[2], kFiles[3], kFiles[4], kFiles[5]}) {
        SCOPED_TRACE(file.name);
        ProcessResult cat = RunProcess({"/usr/bin/cat", Mounted(file.name)});
        EXPECT_EQ(cat.exitCode, 0) << cat.err;
        EXPECT_TRUE(cat.out == ReadFileBytes(Cache(file.name))) << "cat gave " << cat.out.size() << " bytes";
        ProcessResult sums = RunProcess({"/usr/bin/sha256sum", Mounted(file.name), Cache(file.name)});
        std::istringstream in(sums.out);
        std::string mountedSum, name, cacheSum;
        in >> mountedSum >> name >> cacheSum;
        EXPECT_EQ(mountedSum, cacheSum) << sums.out;
    }

    // Reads at inner offsets of a placeholder that the first of them hydrates.
    const std::string inner = ReadFileBytes(Cache("inner.bin"));
    struct Slice {
        std::vector<std::string> argv;
        size_t offset, length;
    };
    const std::string script = "import sys; f = open(sys.argv[1], 'rb'); f.seek(int(sys.argv[2])); "
                               "sys.stdout.buffer.write(f.read(int(sys.argv[3])))";
    const Slice slices[] = {
        {{"/usr/bin/dd", "if=" + Mounted("inner.bin"), "bs=4096", "skip=1000", "count=3", "status=none"}, 4096000, 12288},
        {{"/usr/bin/dd", "if=" + Mounted("inner.bin"), "bs=1", "skip=9437183", "count=100", "status=none"}, 9437183, 6},
        {{"/usr/bin/dd", "if=" + Mounted("inner.bin"), "bs=4097", "skip=1", "count=1", "status=none"}, 4097, 4097},
        {{"/usr/bin/python3", "-c", script, Mounted("inner.bin"), "5000001", "70000"}, 5000001, 70000},
    };
    EXPECT_TRUE(Dehydrated("inner.bin"));
    for (const Slice& slice : slices) {
        SCOPED_TRACE(slice.argv[0] + " " + slice.argv[slice.argv.size() - 2]);
        ProcessResult read = RunProcess(slice.argv);
        EXPECT_EQ(read.exitCode, 0) << read.err;
        EXPECT_TRUE(read.out == inner.substr(slice.offset, slice.length)) << read.out.size() << " bytes";
    }

    // An append through the mount is written back: the engine's copy and its modify record.
    ProcessResult append = Shell("echo x >> \"$1\"", {Mounted("edit.bin")});
    ASSERT_EQ(append.exitCode, 0) << append.err;
    const std::string copy = Env().ProductDir() + "/Queue/CloudFiles/d1/edit/edit.bin";
    const std::string edited = ReadFileBytes(Cache("edit.bin")) + "x\n";
    EXPECT_TRUE(WaitUntil([&] { return ReadFileBytes(copy) == edited && !Records("mod-").empty(); }, 20000));
    EXPECT_EQ(Records("mod-"), std::vector<std::string>{"{\"type\":\"modify\",\"domainId\":\"d1\",\"itemId\":\"edit\","
                                                        "\"contentsPath\":\"" + JsonPath(copy) +
                                                        "\",\"targetPath\":\"edit.bin\",\"isDir\":false,\"timestamp\":"
                                                        "0,\"attempts\":0,\"urgent\":true}\n"});
    EXPECT_EQ(ReadFileBytes(Root("edit.bin")), edited);

    // rm and mv return only after the provider acknowledged, so their records are there when they end.
    ASSERT_EQ(RunProcess({"/usr/bin/rm", Mounted("gone.bin")}).exitCode, 0);
    EXPECT_EQ(Records("delete-"), std::vector<std::string>{"{\"type\":\"delete\",\"domainId\":\"d1\",\"itemId\":"
                                                           "\"gone\",\"isDir\":false,\"targetPath\":\"gone.bin\","
                                                           "\"timestamp\":0,\"attempts\":0}\n"});
    EXPECT_FALSE(FileExists(Root("gone.bin")));
    ASSERT_EQ(RunProcess({"/usr/bin/mv", Mounted("moved.bin"), Mounted("renamed.bin")}).exitCode, 0);
    EXPECT_EQ(Records("modify-"),
              std::vector<std::string>{"{\"type\":\"modify\",\"domainId\":\"d1\",\"itemId\":\"moved\",\"isDir\":false,"
                                       "\"targetPath\":\"renamed.bin\",\"previousPath\":\"moved.bin\",\"timestamp\":0,"
                                       "\"attempts\":0}\n"});
    EXPECT_TRUE(FileExists(Root("renamed.bin")));

    EXPECT_TRUE(MountComplaints().empty()) << mount->Err();
    EXPECT_TRUE(ErrorLines(Env().LogFile()).empty());
}

TEST_F(MountE2e, CopyOfA256MiBPlaceholderOutOfTheMountIsByteExact) {
    // A 256 MiB cache file made of 1 MiB blocks that each carry their index, written without building it in memory.
    const size_t size = 256 * kMiB;
    fs::create_directories(fs::path(Cache("big.bin")).parent_path());
    {
        std::ofstream out(Cache("big.bin"), std::ios::binary);
        std::string block = PatternBytes(kMiB, 7);
        for (size_t at = 0; at < size; at += kMiB) {
            std::memcpy(block.data(), &at, sizeof(at));
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
    }
    Seed({{"big.bin", size}}, false);
    fs::last_write_time(Cache("big.bin"), fs::last_write_time(Root("big.bin")));
    StartProvider();
    StartMount();
    const std::string copy = Env().Root() + "/copy.bin";
    ProcessResult cp = RunProcess({"/usr/bin/cp", Mounted("big.bin"), copy}, 300000);
    ASSERT_EQ(cp.exitCode, 0) << cp.err;
    ProcessResult cmp = RunProcess({"/usr/bin/cmp", copy, Cache("big.bin")}, 300000);
    EXPECT_EQ(cmp.exitCode, 0) << cmp.out << cmp.err;
    EXPECT_TRUE(MountComplaints().empty()) << mount->Err();
}

// Without a provider a read fails and gives no bytes; a provider killed while a reader waits on its 64 MiB fetch
// fails the reader within a second and leaves the placeholder dehydrated, and the next provider serves it.
TEST_F(MountE2e, ReadsFailWithoutAProviderAndWhenTheProviderDies) {
    const size_t size = 64 * kMiB;
    Seed({{"s4097.bin", 4097}, {"big.bin", size}}, false);
    StartMount();

    ProcessResult alone = RunProcess({"/usr/bin/cat", Mounted("s4097.bin")});
    EXPECT_NE(alone.exitCode, 0);
    EXPECT_TRUE(alone.out.empty()) << alone.out.size() << " bytes";
    EXPECT_NE(alone.err.find("Input/output error"), std::string::npos) << alone.err;
    ASSERT_EQ(MountComplaints().size(), 1u) << mount->Err();
    EXPECT_NE(MountComplaints()[0].find("read /s4097.bin"), std::string::npos) << MountComplaints()[0];
    EXPECT_NE(MountComplaints()[0].find("0x8007016A"), std::string::npos) << MountComplaints()[0];

    // big.bin has no cache file: the provider asks the engine and holds the fetch until the test kills it.
    StartProvider();
    BackgroundProcess reader({"/usr/bin/cat", Mounted("big.bin")});
    ASSERT_TRUE(WaitUntil([&] { return ListDirectory(Inbox()).size() == 1; }, 20000));
    provider->Signal(SIGKILL);
    ASSERT_TRUE(provider->Wait(10000));
    provider.reset();
    int exitCode = -1;
    EXPECT_TRUE(reader.Wait(1000, &exitCode)) << "the reader still waited one second after the provider's end";
    ASSERT_TRUE(reader.Wait(10000, &exitCode));
    EXPECT_NE(exitCode, 0);
    EXPECT_TRUE(reader.Out().empty()) << reader.Out().size() << " bytes";
    EXPECT_NE(mount->Err().find("read /big.bin"), std::string::npos) << mount->Err();
    EXPECT_TRUE(Dehydrated("big.bin"));

    const std::string bytes = PatternBytes(size, 64);
    fs::create_directories(fs::path(Cache("big.bin")).parent_path());
    WriteFileBytes(Cache("big.bin"), bytes);
    StartProvider();
    ProcessResult served = RunProcess({"/usr/bin/cat", Mounted("big.bin")});
    EXPECT_EQ(served.exitCode, 0) << served.err;
    EXPECT_TRUE(served.out == bytes) << served.out.size() << " bytes";
}

TEST_F(MountE2e, EightParallelReadersOfDistinctAndSharedPlaceholders) {
    const std::vector<Seeded> files = {{"s1.bin", 1}, {"s4096.bin", 4096}, {"s4097.bin", 4097}, {"s9m.bin", 9 * kMiB},
                                       {"t9m.bin", 9 * kMiB + 1}};
    Seed(files);
    StartProvider();
    StartMount();
    const char* readers[] = {"s9m.bin", "s9m.bin", "s9m.bin", "s4097.bin", "s4097.bin", "s1.bin", "s4096.bin",
                             "t9m.bin"};
    std::vector<std::unique_ptr<BackgroundProcess>> cats;
    for (const char* name : readers) {
        cats.push_back(std::make_unique<BackgroundProcess>(std::vector<std::string>{"/usr/bin/cat", Mounted(name)}));
    }
    for (size_t i = 0; i < cats.size(); ++i) {
        SCOPED_TRACE(readers[i]);
        int exitCode = -1;
        ASSERT_TRUE(cats[i]->Wait(60000, &exitCode));
        EXPECT_EQ(exitCode, 0) << cats[i]->Err();
        EXPECT_TRUE(cats[i]->Out() == ReadFileBytes(Cache(readers[i]))) << cats[i]->Out().size() << " bytes";
    }
    EXPECT_TRUE(MountComplaints().empty()) << mount->Err();
}

// The provider is told of the program that asked, not of the daemon: its image path and process id.
TEST_F(MountE2e, TheProviderSeesTheProgramOnTheMount) {
    const std::string source = Env().Root() + "/source";
    const std::string log = Env().Root() + "/provider.txt";
    fs::create_directories(source);
    WriteFileBytes(source + "/seen.bin", PatternBytes(5000, 5));
    provider = std::make_unique<BackgroundProcess>(std::vector<std::string>{
        std::string(VOSKE_BINARY_DIR) + "/filter_provider", Env().SyncRoot(), log, "--source", source, "--create",
        "seen.bin=5000"});
    ASSERT_TRUE(WaitUntil([&] { return ReadFileBytes(log).find("CONNECTED") != std::string::npos; }, 20000));
    StartMount();
    BackgroundProcess reader({"/usr/bin/cat", Mounted("seen.bin")});
    int exitCode = -1;
    ASSERT_TRUE(reader.Wait(20000, &exitCode));
    EXPECT_EQ(exitCode, 0) << reader.Err();
    EXPECT_TRUE(reader.Out() == PatternBytes(5000, 5));
    const std::string pid = "pid=" + std::to_string(reader.Pid()) + " ";
    ASSERT_TRUE(WaitUntil([&] { return ReadFileBytes(log).find("CLOSE_COMPLETION") != std::string::npos; }, 10000));
    std::istringstream lines(ReadFileBytes(log));
    for (std::string line; std::getline(lines, line);) {
        if (line.find("FETCH_DATA") == std::string::npos && line.find("CLOSE_COMPLETION") == std::string::npos) {
            continue;
        }
        EXPECT_NE(line.find(pid), std::string::npos) << line;
    }
    EXPECT_NE(ReadFileBytes(log).find("image=Z:\\usr\\bin\\cat"), std::string::npos) << ReadFileBytes(log);
}

// Each start-up refusal is one line naming what to fix, and exit code 1; nothing is mounted.
using MountRefusals = ProgramTest;

TEST_F(MountRefusals, EachProblemIsOneClearLine) {
    ASSERT_EQ(RunProcess({VOSKE_PROGRAM, "register"}).exitCode, 0);
    const std::string empty = Env().Root() + "/empty", full = Env().Root() + "/full", plain = Env().Root() + "/plain";
    fs::create_directories(empty);
    fs::create_directories(full + "/x");
    fs::create_directories(plain);
    fs::create_directories(Env().SyncRoot() + "/inside");
    WriteFileBytes(Env().Root() + "/file", "f");
    struct Row {
        std::string root, mountpoint, expected;
    };
    const Row rows[] = {
        {plain, empty, plain + " is neither a registered sync root nor a directory inside one"},
        {Env().Root() + "/missing", empty, Env().Root() + "/missing is not a directory"},
        {Env().SyncRoot(), full, full + " is not empty (the mount point must be an empty directory)"},
        {Env().SyncRoot(), Env().Root() + "/file", Env().Root() + "/file is not a directory"},
        {Env().SyncRoot(), Env().Root() + "/nowhere", Env().Root() + "/nowhere: No such file or directory"},
        {Env().SyncRoot(), Env().SyncRoot() + "/inside", "lie inside one another"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.root + " at " + row.mountpoint);
        ProcessResult run = RunProcess({VOSKE_CFEMU, "mount", row.root, row.mountpoint}, 20000);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_NE(run.err.find(row.expected), std::string::npos) << run.err;
    }
    // A mount whose daemon is gone answers every look with ENOTCONN; making one by hand needs the superuser.
    if (geteuid() != 0 || !FuseUsable()) GTEST_SKIP() << "the stale-mount case needs root and /dev/fuse";
    int device = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    ASSERT_GE(device, 0);
    const std::string options = "fd=" + std::to_string(device) + ",rootmode=40000,user_id=0,group_id=0";
    ASSERT_EQ(::mount("stale", empty.c_str(), "fuse", MS_NOSUID | MS_NODEV, options.c_str()), 0) << strerror(errno);
    close(device);
    ProcessResult stale = RunProcess({VOSKE_CFEMU, "mount", Env().SyncRoot(), empty}, 20000);
    umount2(empty.c_str(), MNT_DETACH);
    EXPECT_EQ(stale.exitCode, 1);
    EXPECT_EQ(stale.err, "cfemu mount: " + empty + " is left mounted by a daemon that has ended; unmount it first: "
                         "fusermount3 -u " + empty + "\n");
}

}  // namespace
}  // namespace e2e
