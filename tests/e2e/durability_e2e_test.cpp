// durability_e2e_test.cpp - a power cut right after saves (an ext4 image on a loop device, shut down without flushing
// its journal, then mounted again) loses no change that was acknowledged and leaves no record pointing at an empty or
// partial copy.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "placeholders/identity.h"
#include "tests/e2e/e2e_fixture.h"

namespace e2e {
namespace {

// ext4's "going down" request and its flag that drops the journal's uncommitted transactions as a power cut does.
const unsigned long kExt4Shutdown = _IOR('X', 125, uint32_t);
constexpr uint32_t kShutdownNoLogFlush = 2;

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

// A record's Windows path ("Z:\dir\file") as the POSIX path it stands for; empty when it is no such path.
std::string PosixOfRecordPath(const std::string& windowsPath) {
    if (windowsPath.rfind("Z:\\", 0) != 0) return std::string();
    std::string posix = windowsPath.substr(2);
    std::replace(posix.begin(), posix.end(), '\\', '/');
    return posix;
}

// An ext4 file system in a sparse image file below `directory`, mounted at <directory>/mnt through a loop device that
// goes with the unmount.
class Ext4Image {
  public:
    explicit Ext4Image(std::string directory) : directory_(std::move(directory)) {}
    ~Ext4Image() {
        if (mounted_) RunProcess({"/bin/umount", "-l", Mountpoint()});
        std::error_code ignored;
        fs::remove_all(directory_, ignored);
    }
    Ext4Image(const Ext4Image&) = delete;
    Ext4Image& operator=(const Ext4Image&) = delete;

    std::string Mountpoint() const { return directory_ + "/mnt"; }
    bool Cut() const { return cut_; }

    // Makes the file system; empty when it worked, else why not.
    std::string Make(const std::string& mkfs, off_t bytes) {
        fs::create_directories(Mountpoint());
        WriteFileBytes(Image(), "");
        std::error_code error;
        fs::resize_file(Image(), static_cast<uintmax_t>(bytes), error);  // sparse
        if (error) return "sizing " + Image() + ": " + error.message();
        const ProcessResult made = RunProcess({mkfs, "-q", "-F", "-b", "4096", "-I", "256", Image()}, 60000);
        return made.exitCode == 0 ? std::string() : mkfs + " failed: " + made.err;
    }
    // Mounts the image through a loop device (replaying its journal); empty when it worked.
    std::string Mount() {
        const ProcessResult mounted = RunProcess({"/bin/mount", "-t", "ext4", "-o", "loop", Image(), Mountpoint()}, 60000);
        mounted_ = mounted.exitCode == 0;
        cut_ = false;
        return mounted_ ? std::string() : "mount -o loop: " + mounted.err;
    }
    // What a power cut leaves: every transaction the journal had not committed is dropped, no data is written.
    std::string PowerCut() {
        const int fd = open(Mountpoint().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return Errno(Mountpoint());
        uint32_t flags = kShutdownNoLogFlush;
        const int rc = ioctl(fd, kExt4Shutdown, &flags);
        const std::string why = rc == 0 ? std::string() : Errno("EXT4_IOC_SHUTDOWN");
        close(fd);
        cut_ = rc == 0;
        return why;
    }
    // Unmounts (the loop device goes with it); a moment's busy (a killed process's files still closing) is waited out.
    std::string Unmount() {
        ProcessResult unmounted;
        WaitUntil([&] { return (unmounted = RunProcess({"/bin/umount", Mountpoint()})).exitCode == 0; }, 10000);
        mounted_ = unmounted.exitCode != 0;
        return mounted_ ? "umount: " + unmounted.err : std::string();
    }

  private:
    std::string Image() const { return directory_ + "/ext4.img"; }

    std::string directory_;
    bool mounted_ = false;
    bool cut_ = false;
};

// The whole temporary LOCALAPPDATA on a 128 MiB ext4 file system of its own, which a test may cut as a power cut
// would and mount again.
class DurabilityPowerCut : public ProgramTest {
  protected:
    std::string EngineCopy(const std::string& name) const {
        return Queue() + "/CloudFiles/d1/" + Item(name) + "/" + name;
    }
    std::string Staged(const std::string& relative) const { return Env().ProviderBase() + "/Queue/Staging/" + relative; }
    std::string Stored(const std::string& relative) const { return Queue() + "/LocalFiles/" + relative; }
    std::string Journal() const { return Env().ProviderBase() + "/Queue/pending-spike.jsonl"; }
    std::string Scratch() const { return Env().Root() + "/scratch"; }
    static std::string ItemIdentity(const std::string& name) { return "cf\td1\t" + Item(name) + "\t" + name; }
    static std::string PathIdentity(std::string relative) {
        std::replace(relative.begin(), relative.end(), '/', '\\');
        return relative;
    }
    // A file that appears in the root whole (written beside it, then moved in), so no copy can see it half made: a
    // new file, or an editor's save over an item.
    void MoveIn(const std::string& relative, const std::string& bytes) const {
        fs::create_directories(Scratch());
        const std::string top = relative.substr(0, relative.find('/'));
        fs::create_directories(fs::path(Scratch() + "/" + relative).parent_path());
        WriteFileBytes(Scratch() + "/" + relative, bytes);
        fs::rename(Scratch() + "/" + top, Root(top));
    }
    // Inbox records by name, temporary names left out.
    std::map<std::string, std::string> InboxByName() const {
        std::map<std::string, std::string> records;
        for (const std::string& name : ListDirectory(Inbox())) {
            if (name[0] != '.') records[name] = ReadFileBytes(Inbox() + "/" + name);
        }
        return records;
    }
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "a loop device and a mount need root";
        if (access("/dev/loop-control", R_OK | W_OK) != 0) GTEST_SKIP() << Errno("no loop devices: /dev/loop-control");
        if (access("/bin/mount", X_OK) != 0) GTEST_SKIP() << "needs mount (util-linux)";
        const std::string mkfs = "/sbin/mkfs.ext4";
        if (access(mkfs.c_str(), X_OK) != 0) GTEST_SKIP() << "needs mkfs.ext4 (e2fsprogs)";
        const char* tmp = std::getenv("TMPDIR");
        const std::string outer = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
        std::string directory = outer + "/voske-ext4-XXXXXX";
        ASSERT_NE(mkdtemp(directory.data()), nullptr) << Errno(directory);
        image_ = std::make_unique<Ext4Image>(directory);
        const std::string made = image_->Make(mkfs, 128 * static_cast<off_t>(kMiB));
        ASSERT_EQ(made, "");
        const std::string mounted = image_->Mount();
        if (!mounted.empty()) GTEST_SKIP() << "no ext4 image could be mounted on a loop device: " << mounted;
        // The temporary LOCALAPPDATA is made inside the image; the processes' output files stay outside it.
        setenv("TMPDIR", image_->Mountpoint().c_str(), 1);
        struct Restore {
            std::string value;
            ~Restore() { setenv("TMPDIR", value.c_str(), 1); }
        } restore{outer};
        ProgramTest::SetUp();
        ready_ = true;
    }
    void TearDown() override {
        // A provider left on a file system that was cut and not mounted again cannot end cleanly.
        if (provider && image_ != nullptr && image_->Cut()) {
            provider->Signal(SIGKILL);
            provider->Wait(10000);
            provider.reset();
        }
        if (ready_) ProgramTest::TearDown();
        image_.reset();
    }
    // The cut, then what follows it: the processes die, the file system is unmounted and mounted again.
    void CutThePowerAndMountAgain() {
        ASSERT_EQ(image_->PowerCut(), "");
        if (provider) {
            provider->Signal(SIGKILL);
            ASSERT_TRUE(provider->Wait(10000));
            provider.reset();
        }
        ASSERT_EQ(image_->Unmount(), "");
        ASSERT_EQ(image_->Mount(), "");
    }

    std::unique_ptr<Ext4Image> image_;
    bool ready_ = false;
};

// Saves of every kind, each waited for until the provider acknowledged it (the item in sync again, the new file a
// placeholder in sync), then three more that are not waited for, and the power is cut at once. Mounted again, the
// file system must hold everything that was acknowledged, and every record the inbox holds must point at a copy with
// exactly the bytes of a save: the last acknowledged one or a later one, never an empty or partial copy.
TEST_F(DurabilityPowerCut, NothingAcknowledgedIsLostAndNoRecordPointsAtAnEmptyCopy) {
    const std::vector<Seeded> seeded = {{"a.txt", 1000}, {"b.txt", 70000}, {"c.txt", 5000}, {"d.bin", 300000},
                                        {"e.txt", 1}};
    SeedFiles(seeded);
    // Every version of each item and new file, in the order saved, and the index of the last acknowledged one.
    std::map<std::string, std::vector<std::string>> versions;
    std::map<std::string, size_t> acknowledged;
    for (size_t k = 0; k < seeded.size(); ++k) versions[seeded[k].name] = {PatternBytes(seeded[k].size, k)};
    StartProvider();

    struct Change {
        std::string path;
        enum { kAppend, kSaveOver, kNewFile } how;
        std::string bytes;  // what an append adds, or the whole file
    };
    const auto make = [&](const Change& change) {
        std::vector<std::string>& saved = versions[change.path];
        if (change.how == Change::kAppend) {
            OutputOf(Cfemu({"append", Root(change.path), change.bytes}));
            saved.push_back(saved.back() + change.bytes);
        } else {
            MoveIn(change.path, change.bytes);
            saved.push_back(change.bytes);
        }
    };
    const std::vector<Change> changes = {
        {"a.txt", Change::kAppend, "first edit of a\n"},
        {"c.txt", Change::kSaveOver, PatternBytes(9000, 100)},
        {"b.txt", Change::kAppend, "an edit of b\n"},
        {"d.bin", Change::kSaveOver, PatternBytes(200000, 101)},
        {"n1.txt", Change::kNewFile, PatternBytes(3000, 102)},
        {"a.txt", Change::kAppend, "second edit of a\n"},
        {"e.txt", Change::kSaveOver, PatternBytes(4097, 103)},
        {"nd/n2.bin", Change::kNewFile, PatternBytes(100000, 104)},
        {"d.bin", Change::kAppend, "an edit of d after its save\n"},
        {"n3.txt", Change::kNewFile, "ten bytes\n"},
    };
    size_t modRecords = 0;
    std::vector<std::string> created;
    for (const Change& change : changes) {
        SCOPED_TRACE(change.path);
        make(change);
        const std::string& bytes = versions[change.path].back();
        if (change.how == Change::kNewFile) {
            created.push_back(change.path);
            ASSERT_TRUE(WaitUntil([&] { return InSyncIdentity(change.path) == PathIdentity(change.path) &&
                                               ReadFileBytes(Staged(change.path)) == bytes &&
                                               ReadFileBytes(Stored(change.path)) == bytes; }, 30000))
                << "not acknowledged\n" << ReadFileBytes(Env().LogFile());
        } else {
            ++modRecords;
            ASSERT_TRUE(WaitUntil([&] { return Records("mod-").size() == modRecords &&
                                               InSyncIdentity(change.path) == ItemIdentity(change.path) &&
                                               ReadFileBytes(EngineCopy(change.path)) == bytes; }, 30000))
                << "not acknowledged\n" << ReadFileBytes(Env().LogFile());
        }
        acknowledged[change.path] = versions[change.path].size() - 1;
    }
    const std::map<std::string, std::string> inbox = InboxByName();
    const std::string journal = ReadFileBytes(Journal());
    std::string lines;
    for (size_t k = 0; k < created.size(); ++k) lines += "write-back\r\n";
    ASSERT_EQ(inbox.size(), modRecords);
    ASSERT_EQ(journal, lines);

    // Not waited for: whatever of them the provider did before the cut must be whole, the rest may be missing.
    for (const Change& change : {Change{"b.txt", Change::kAppend, "an edit of b at the cut\n"},
                                 Change{"c.txt", Change::kAppend, "an edit of c at the cut\n"},
                                 Change{"n4.txt", Change::kNewFile, PatternBytes(50000, 105)}}) {
        make(change);
    }
    CutThePowerAndMountAgain();

    // Every record in the inbox is JSON; a change's points at a copy holding exactly the bytes of a save no older
    // than the last acknowledged one.
    for (const ParsedRecord& record : ParseRecords(Inbox())) {
        SCOPED_TRACE(record.name);
        if (record.type != "modify" || record.contentsPath.empty()) continue;
        const std::string copy = PosixOfRecordPath(record.contentsPath);
        ASSERT_FALSE(copy.empty()) << record.contentsPath;
        ASSERT_EQ(acknowledged.count(record.targetPath), 1u) << record.targetPath;
        const std::vector<std::string>& saved = versions[record.targetPath];
        const size_t last = acknowledged[record.targetPath];
        const std::string held = ReadFileBytes(copy);
        EXPECT_TRUE(std::find(saved.begin() + static_cast<long>(last), saved.end(), held) != saved.end())
            << copy << " holds " << held.size() << " bytes" << (FileExists(copy) ? "" : " (it is missing)")
            << ", the last acknowledged save " << saved[last].size();
    }
    // Every record that was published before the last changes is there, whole.
    const std::map<std::string, std::string> after = InboxByName();
    for (const auto& [name, record] : inbox) {
        EXPECT_TRUE(after.count(name) == 1 && after.at(name) == record) << name << " lost or changed: " << record;
    }
    // Every acknowledged new file's copies were on the disk before it was acknowledged, and the item database knew it
    // as the user's (kind 3) with that version taken; the last one's copies, if they were made at all, are whole.
    for (const std::string& path : created) {
        SCOPED_TRACE(path);
        const std::string& bytes = versions[path].back();
        EXPECT_TRUE(ReadFileBytes(Staged(path)) == bytes) << ReadFileBytes(Staged(path)).size() << " bytes staged";
        EXPECT_TRUE(ReadFileBytes(Stored(path)) == bytes) << ReadFileBytes(Stored(path)).size() << " bytes stored";
        const std::string known = "SELECT kind || ' ' || size FROM items WHERE identity = '" + PathIdentity(path) + "'";
        EXPECT_EQ(SqliteAnswer(Env().ProviderBase() + "/items.db", known.c_str()), "3 " + std::to_string(bytes.size()));
    }
    for (const std::string& copy : {Staged("n4.txt"), Stored("n4.txt")}) {
        EXPECT_TRUE(!FileExists(copy) || ReadFileBytes(copy) == versions["n4.txt"].back())
            << copy << " holds " << ReadFileBytes(copy).size() << " bytes";
    }
    // The journal holds the acknowledged lines, and at most the last file's line after them, whole.
    const std::string journalAfter = ReadFileBytes(Journal());
    EXPECT_TRUE(journalAfter == lines || journalAfter == lines + "write-back\r\n") << ::testing::PrintToString(journalAfter);
    EXPECT_EQ(SqliteAnswer(Env().ProviderBase() + "/items.db", "PRAGMA integrity_check"), "ok");
}

}  // namespace
}  // namespace e2e
