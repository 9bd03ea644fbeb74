// durability_e2e_test.cpp - what the disk may do under a running provider: a power cut right after saves (an ext4
// image on a loop device, shut down without flushing its journal, then mounted again) loses no change that was
// acknowledged and leaves no record pointing at an empty or partial copy; a disk that fills during a burst of
// changes loses none either: each failure is one ERROR line, and once there is room again every change reaches the
// engine exactly once while the same provider keeps serving.
#include <fcntl.h>
#include <linux/loop.h>
#include <sqlite3.h>
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

// A strict reader of one JSON text. Parse() is true when the text is exactly one JSON value (white space around it
// allowed); the string members of a top-level object are handed back with their escapes decoded.
class JsonText {
  public:
    explicit JsonText(const std::string& text) : text_(text) {}
    bool Parse(std::map<std::string, std::string>* strings) {
        Skip();
        if (!Value(0, strings)) return false;
        Skip();
        return at_ == text_.size();
    }

  private:
    bool Value(int depth, std::map<std::string, std::string>* strings) {
        if (depth > 32 || at_ >= text_.size()) return false;
        switch (text_[at_]) {
            case '{':
                return Object(depth, strings);
            case '[':
                return Array(depth);
            case '"': {
                std::string ignored;
                return String(&ignored);
            }
            default:
                break;
        }
        return Number() || Word("true") || Word("false") || Word("null");
    }
    bool Object(int depth, std::map<std::string, std::string>* strings) {
        ++at_;
        Skip();
        if (Eat('}')) return true;
        for (;;) {
            std::string key;
            Skip();
            if (at_ >= text_.size() || text_[at_] != '"' || !String(&key)) return false;
            Skip();
            if (!Eat(':')) return false;
            Skip();
            if (strings != nullptr && at_ < text_.size() && text_[at_] == '"') {
                std::string value;
                if (!String(&value)) return false;
                (*strings)[key] = value;
            } else if (!Value(depth + 1, nullptr)) {
                return false;
            }
            Skip();
            if (Eat('}')) return true;
            if (!Eat(',')) return false;
        }
    }
    bool Array(int depth) {
        ++at_;
        Skip();
        if (Eat(']')) return true;
        for (;;) {
            Skip();
            if (!Value(depth + 1, nullptr)) return false;
            Skip();
            if (Eat(']')) return true;
            if (!Eat(',')) return false;
        }
    }
    bool String(std::string* out) {
        ++at_;
        while (at_ < text_.size()) {
            const unsigned char c = static_cast<unsigned char>(text_[at_++]);
            if (c == '"') return true;
            if (c < 0x20) return false;
            if (c != '\\') {
                out->push_back(static_cast<char>(c));
                continue;
            }
            if (at_ >= text_.size()) return false;
            const char escape = text_[at_++];
            const std::string simple = "\"\\/bfnrt", meaning = "\"\\/\b\f\n\r\t";
            if (simple.find(escape) != std::string::npos) {
                out->push_back(meaning[simple.find(escape)]);
                continue;
            }
            if (escape != 'u' || at_ + 4 > text_.size()) return false;
            unsigned unit = 0;
            for (int i = 0; i < 4; ++i) {
                const char h = text_[at_++];
                if (!std::isxdigit(static_cast<unsigned char>(h))) return false;
                unit = unit * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(h)) ? h - '0'
                                                                                                     : (h | 0x20) - 'a' + 10);
            }
            if (unit < 0x80) {
                out->push_back(static_cast<char>(unit));
            } else if (unit < 0x800) {
                out->push_back(static_cast<char>(0xC0 | unit >> 6));
                out->push_back(static_cast<char>(0x80 | (unit & 0x3F)));
            } else {
                out->push_back(static_cast<char>(0xE0 | unit >> 12));
                out->push_back(static_cast<char>(0x80 | (unit >> 6 & 0x3F)));
                out->push_back(static_cast<char>(0x80 | (unit & 0x3F)));
            }
        }
        return false;
    }
    bool Number() {
        const size_t start = at_;
        const auto digits = [&] {
            const size_t from = at_;
            while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_]))) ++at_;
            return at_ > from;
        };
        Eat('-');
        if (Eat('0')) {
        } else if (!digits()) {
            at_ = start;
            return false;
        }
        if (Eat('.') && !digits()) return false;
        if (Eat('e') || Eat('E')) {
            if (!Eat('+')) Eat('-');
            if (!digits()) return false;
        }
        return true;
    }
    bool Word(const char* word) {
        const size_t length = std::strlen(word);
        if (text_.compare(at_, length, word) != 0) return false;
        at_ += length;
        return true;
    }
    bool Eat(char c) {
        if (at_ >= text_.size() || text_[at_] != c) return false;
        ++at_;
        return true;
    }
    void Skip() {
        while (at_ < text_.size() && std::strchr(" \t\r\n", text_[at_]) != nullptr) ++at_;
    }

    const std::string& text_;
    size_t at_ = 0;
};

// A record's Windows path ("Z:\dir\file") as the POSIX path it stands for; empty when it is no such path.
std::string PosixOfRecordPath(const std::string& windowsPath) {
    if (windowsPath.rfind("Z:\\", 0) != 0) return std::string();
    std::string posix = windowsPath.substr(2);
    std::replace(posix.begin(), posix.end(), '\\', '/');
    return posix;
}

// An ext4 file system in a sparse image file below `directory`, attached to a loop device and mounted at
// <directory>/mnt. The loop device is attached to clear itself: it goes with the unmount, or with the test process
// if that dies before the mount.
class Ext4Image {
  public:
    explicit Ext4Image(std::string directory) : directory_(std::move(directory)) {}
    ~Ext4Image() {
        if (mounted_ && umount2(Mountpoint().c_str(), 0) != 0) umount2(Mountpoint().c_str(), MNT_DETACH);
        std::error_code ignored;
        fs::remove_all(directory_, ignored);
    }
    Ext4Image(const Ext4Image&) = delete;
    Ext4Image& operator=(const Ext4Image&) = delete;

    std::string Mountpoint() const { return directory_ + "/mnt"; }
    bool Cut() const { return cut_; }

    // Makes the file system; empty when it worked, else why not.
    std::string Make(const std::string& mkfs, off_t bytes) {
        const std::string image = Image();
        const int fd = open(image.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) return Errno(image);
        const bool sized = ftruncate(fd, bytes) == 0;
        close(fd);
        if (!sized) return Errno("ftruncate " + image);
        const ProcessResult made = RunProcess({mkfs, "-q", "-F", "-b", "4096", "-I", "256", image}, 60000);
        if (made.exitCode != 0) return mkfs + " failed: " + made.err;
        fs::create_directories(Mountpoint());
        return std::string();
    }
    // Attaches the image to a free loop device and mounts it (replaying its journal); empty when it worked.
    std::string Mount() {
        int loop = -1;
        std::string device;
        const std::string attached = Attach(&loop, &device);
        if (!attached.empty()) return attached;
        const int rc = mount(device.c_str(), Mountpoint().c_str(), "ext4", 0, nullptr);
        const std::string why = rc == 0 ? std::string() : Errno("mount " + device + " ext4");
        close(loop);  // the mount holds the device now; without one it clears itself here
        mounted_ = rc == 0;
        cut_ = false;
        return why;
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
    // Unmounts; a moment's EBUSY (a killed process's files still closing) is waited out.
    std::string Unmount() {
        int error = 0;
        WaitUntil([&] {
            error = umount2(Mountpoint().c_str(), 0) == 0 ? 0 : errno;
            return error != EBUSY;
        }, 10000);
        if (error != 0) return "umount " + Mountpoint() + ": " + std::strerror(error);
        mounted_ = false;
        return std::string();
    }

  private:
    std::string Image() const { return directory_ + "/ext4.img"; }
    std::string Attach(int* loop, std::string* device) {
        const int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
        if (control < 0) return Errno("/dev/loop-control");
        const int backing = open(Image().c_str(), O_RDWR | O_CLOEXEC);
        std::string why = backing < 0 ? Errno(Image()) : "no free loop device";
        for (int attempt = 0; backing >= 0 && attempt < 20; ++attempt) {
            const int number = ioctl(control, LOOP_CTL_GET_FREE);
            if (number < 0) {
                why = Errno("LOOP_CTL_GET_FREE");
                break;
            }
            *device = "/dev/loop" + std::to_string(number);
            *loop = open(device->c_str(), O_RDWR | O_CLOEXEC);
            if (*loop < 0) {
                why = Errno(*device);
                continue;
            }
            loop_config config{};
            config.fd = static_cast<__u32>(backing);
            config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
            if (ioctl(*loop, LOOP_CONFIGURE, &config) == 0) break;
            why = Errno("LOOP_CONFIGURE " + *device);
            close(*loop);
            *loop = -1;
            if (errno != EBUSY) break;  // taken by another process meanwhile: ask for the next free one
        }
        if (backing >= 0) close(backing);
        close(control);
        return *loop >= 0 ? std::string() : why;
    }

    std::string directory_;
    bool mounted_ = false;
    bool cut_ = false;
};

std::string MkfsExt4() {
    for (const char* path : {"/usr/sbin/mkfs.ext4", "/sbin/mkfs.ext4"}) {
        if (access(path, X_OK) == 0) return path;
    }
    return std::string();
}

// What the durability tests share: where an item's copy and record go, and what a placeholder says of itself.
class DurabilityTest : public ProgramTest {
  protected:
    std::string EngineCopy(const std::string& name) const {
        return Queue() + "/CloudFiles/d1/" + Item(name) + "/" + name;
    }
    std::string Staged(const std::string& relative) const { return Env().ProviderBase() + "/Queue/Staging/" + relative; }
    std::string Stored(const std::string& relative) const { return Queue() + "/LocalFiles/" + relative; }
    std::string Journal() const { return Env().ProviderBase() + "/Queue/pending-spike.jsonl"; }
    std::string Scratch() const { return Env().Root() + "/scratch"; }
    // The exact record of a change of the root-level item `name`.
    std::string ModRecord(const std::string& name) const {
        std::string json;
        for (char c : posix::WideToUtf8(WindowsPathOf(EngineCopy(name)))) json += c == '\\' ? "\\\\" : std::string(1, c);
        return "{\"type\":\"modify\",\"domainId\":\"d1\",\"itemId\":\"" + Item(name) + "\",\"contentsPath\":\"" + json +
               "\",\"targetPath\":\"" + name + "\",\"isDir\":false,\"timestamp\":0,\"attempts\":0,\"urgent\":true}\n";
    }
    // The identity of the placeholder at `relative` as text when it is in sync, "-" when it is not (or is none).
    std::string InSyncIdentity(const std::string& relative) const {
        cfemu::PlaceholderState state{};
        if (!cfemu::ReadStateAt(Root(relative), &state) || (state.flags & cfemu::kStateInSync) == 0) return "-";
        std::vector<BYTE> identity;
        cfemu::ReadIdentityAt(Root(relative), &identity);
        std::string text;
        for (size_t i = 0; i + 1 < identity.size() && identity[i] != 0; i += 2) text += static_cast<char>(identity[i]);
        return text;
    }
    static std::string ItemIdentity(const std::string& name) { return "cf\td1\t" + Item(name) + "\t" + name; }
    static std::string PathIdentity(std::string relative) {
        std::replace(relative.begin(), relative.end(), '/', '\\');
        return relative;
    }
    // An editor's save: the new bytes written beside the root, then renamed over the item's placeholder.
    void SaveOver(const std::string& relative, const std::string& bytes) const {
        fs::create_directories(Scratch());
        WriteFileBytes(Scratch() + "/save.tmp", bytes);
        fs::rename(Scratch() + "/save.tmp", Root(relative));
    }
    // A file that appears in the root whole (written beside it, then moved in), so no copy can see it half made.
    void MoveIn(const std::string& relative, const std::string& bytes) const {
        fs::create_directories(Scratch());
        const std::string top = relative.substr(0, relative.find('/'));
        fs::create_directories(fs::path(Scratch() + "/" + relative).parent_path());
        WriteFileBytes(Scratch() + "/" + relative, bytes);
        fs::rename(Scratch() + "/" + top, Root(top));
    }
    // Every name below `directory` (recursively) that is a temporary name: a record's ".name.tmp" or a copy's
    // ".partial-".
    static std::vector<std::string> Unfinished(const std::string& directory) {
        std::vector<std::string> found;
        std::error_code error;
        for (auto it = fs::recursive_directory_iterator(directory, error); !error && it != fs::end(it); it.increment(error)) {
            const std::string name = it->path().filename().string();
            if (name.find(".partial-") != std::string::npos || (name[0] == '.' && name.size() > 4 &&
                                                                  name.compare(name.size() - 4, 4, ".tmp") == 0)) {
                found.push_back(it->path().string());
            }
        }
        return found;
    }
    // Inbox records by name, temporary names left out.
    std::map<std::string, std::string> InboxByName() const {
        std::map<std::string, std::string> records;
        for (const std::string& name : ListDirectory(Inbox())) {
            if (name[0] != '.') records[name] = ReadFileBytes(Inbox() + "/" + name);
        }
        return records;
    }
    // "ok" from SQLite's check of the whole database, or what it found. Opened for writing, as the provider's next
    // start opens it, so a write-ahead log left by a cut is taken in first.
    static std::string IntegrityOf(const std::string& path) {
        sqlite3* db = nullptr;
        std::string result = "not opened";
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
            sqlite3_stmt* statement = nullptr;
            result = "no answer";
            if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &statement, nullptr) == SQLITE_OK &&
                sqlite3_step(statement) == SQLITE_ROW) {
                result = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
            } else {
                result = sqlite3_errmsg(db);
            }
            sqlite3_finalize(statement);
        }
        sqlite3_close(db);
        return result;
    }
};

// The whole temporary LOCALAPPDATA on a 128 MiB ext4 file system of its own, which a test may cut as a power cut
// would and mount again.
class DurabilityPowerCut : public DurabilityTest {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "a loop device and a mount need root";
        if (access("/dev/loop-control", R_OK | W_OK) != 0) GTEST_SKIP() << Errno("no loop devices: /dev/loop-control");
        const std::string mkfs = MkfsExt4();
        if (mkfs.empty()) GTEST_SKIP() << "needs mkfs.ext4 (e2fsprogs)";
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
        } else if (change.how == Change::kSaveOver) {
            SaveOver(change.path, change.bytes);
            saved.push_back(change.bytes);
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
    for (const std::string& name : ListDirectory(Inbox())) {
        if (name[0] == '.') continue;
        SCOPED_TRACE(name);
        const std::string record = ReadFileBytes(Inbox() + "/" + name);
        std::map<std::string, std::string> members;
        EXPECT_TRUE(JsonText(record).Parse(&members)) << "no JSON: " << record;
        if (members["type"] != "modify" || members.count("contentsPath") == 0) continue;
        const std::string copy = PosixOfRecordPath(members["contentsPath"]);
        const std::string target = members["targetPath"];
        ASSERT_FALSE(copy.empty()) << record;
        ASSERT_EQ(acknowledged.count(target), 1u) << record;
        const std::vector<std::string>& saved = versions[target];
        const std::string held = ReadFileBytes(copy);
        EXPECT_TRUE(std::find(saved.begin() + static_cast<long>(acknowledged[target]), saved.end(), held) != saved.end())
            << copy << " holds " << held.size() << " bytes" << (FileExists(copy) ? "" : " (it is missing)")
            << ", the last acknowledged save " << saved[acknowledged[target]].size();
    }
    // Every record that was published before the last changes is there, whole.
    const std::map<std::string, std::string> after = InboxByName();
    for (const auto& [name, record] : inbox) {
        EXPECT_TRUE(after.count(name) == 1 && after.at(name) == record) << name << " lost or changed: " << record;
    }
    // Every acknowledged new file's copies were on the disk before it was acknowledged; the last one's copies, if
    // they were made at all, are whole.
    for (const std::string& path : created) {
        SCOPED_TRACE(path);
        const std::string& bytes = versions[path].back();
        EXPECT_TRUE(ReadFileBytes(Staged(path)) == bytes) << ReadFileBytes(Staged(path)).size() << " bytes staged";
        EXPECT_TRUE(ReadFileBytes(Stored(path)) == bytes) << ReadFileBytes(Stored(path)).size() << " bytes stored";
    }
    for (const std::string& copy : {Staged("n4.txt"), Stored("n4.txt")}) {
        EXPECT_TRUE(!FileExists(copy) || ReadFileBytes(copy) == versions["n4.txt"].back())
            << copy << " holds " << ReadFileBytes(copy).size() << " bytes";
    }
    // The journal holds the acknowledged lines, and at most the last file's line after them, whole.
    const std::string journalAfter = ReadFileBytes(Journal());
    EXPECT_TRUE(journalAfter == lines || journalAfter == lines + "write-back\r\n") << ::testing::PrintToString(journalAfter);
    EXPECT_EQ(IntegrityOf(Env().ProviderBase() + "/items.db"), "ok");
}

// The engine queue and the provider's own queue share a 4 MiB tmpfs that a ballast file fills, while the root, the
// item database and the log stay on the test's file system: the user's changes succeed, the provider's copies and
// records do not fit.
class DurabilityFullDisk : public DurabilityTest {
  protected:
    void SetUp() override {
        DurabilityTest::SetUp();
        disk_ = Env().Root() + "/queue-disk";
        fs::create_directories(disk_);
        if (geteuid() != 0 || mount("tmpfs", disk_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=4m") != 0) {
            GTEST_SKIP() << "mounting a small tmpfs for the queues needs root (" << std::strerror(errno) << ")";
        }
        mounts_.push_back(disk_);
        for (const auto& [below, at] : {std::pair<std::string, std::string>{"engine", Queue()},
                                        {"provider", Env().ProviderBase() + "/Queue"}}) {
            fs::create_directories(disk_ + "/" + below);
            fs::create_directories(at);
            ASSERT_EQ(mount((disk_ + "/" + below).c_str(), at.c_str(), nullptr, MS_BIND, nullptr), 0) << Errno(at);
            mounts_.push_back(at);
        }
    }
    void TearDown() override {
        if (provider) {
            provider->Signal(SIGINT);
            provider->Wait(20000);
            EXPECT_FALSE(HasSanitizerReport(provider->Err())) << provider->Err();
            provider.reset();
        }
        for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
        DurabilityTest::TearDown();
    }
    std::string Ballast() const { return disk_ + "/ballast"; }
    // Writes the ballast until the disk refuses a byte more, then gives `room` bytes of it back.
    void Fill(off_t room) const {
        const int fd = open(Ballast().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0) << Errno(Ballast());
        const std::string chunk(4096, 'b');
        for (;;) {
            const ssize_t put = write(fd, chunk.data(), chunk.size());
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) break;
        }
        const int error = errno;
        struct stat st {};
        fstat(fd, &st);
        const bool gaveBack = room == 0 || ftruncate(fd, st.st_size > room ? st.st_size - room : 0) == 0;
        close(fd);
        ASSERT_EQ(error, ENOSPC) << std::strerror(error);
        ASSERT_TRUE(gaveBack) << Errno("ftruncate");
    }
    static bool DiskFull(const std::string& line) {
        return line.find("gle=112") != std::string::npos || line.find("0x80070070") != std::string::npos;
    }
    std::vector<std::string> ErrorsNaming(const std::string& name) const {
        std::vector<std::string> found;
        for (const std::string& line : Errors()) {
            if (line.find(name) != std::string::npos) found.push_back(line);
        }
        return found;
    }

    std::string disk_;
    std::vector<std::string> mounts_;
};

// The disk fills during a burst of saves and new files: each failure is one ERROR line naming the file and the
// disk being full, a delete and a rename that cannot be recorded are refused, fetches go on, and once the ballast is
// gone every change reaches the engine exactly once, with its bytes, from the same provider.
TEST_F(DurabilityFullDisk, EveryChangeArrivesOnceWhenThereIsRoomAgain) {
    const std::vector<std::string> edited = {"e1.txt", "e2.txt", "e3.txt", "e4.txt"};
    SeedFiles({{"e1.txt", 2000}, {"e2.txt", 2001}, {"e3.txt", 2002}, {"e4.txt", 2003}, {"large.bin", 4096},
               {"x.txt", 10}, {"y.txt", 11}, {"r.txt", 5000}, {"s.txt", 6000}});
    StartProvider();
    const int pid = provider->Pid();

    // Full to the last byte while the provider is idle: a delete and a rename cannot be recorded, so both are
    // refused and the items stay; a fetch from the cache needs no room in the queues and goes on.
    Fill(0);
    const ProcessResult refusedDelete = Cfemu({"rm", Root("x.txt")});
    EXPECT_EQ(refusedDelete.exitCode, 1) << "a delete the engine would never hear of was let through";
    EXPECT_TRUE(FileExists(Root("x.txt")));
    const ProcessResult refusedRename = Cfemu({"mv", Root("y.txt"), Root("y2.txt")});
    EXPECT_EQ(refusedRename.exitCode, 1) << "a rename the engine would never hear of was let through";
    EXPECT_TRUE(FileExists(Root("y.txt")) && !FileExists(Root("y2.txt")));
    EXPECT_EQ(OutputOf(Cfemu({"cat", Root("r.txt")})), ReadFileBytes(CacheFile(D1("r.txt"))));
    EXPECT_EQ(ListDirectory(Inbox()), std::vector<std::string>{});

    // 16 KiB of room (four pages), then a burst: four appends, a 1 MiB save over an item, four small new files and
    // one of 600 KiB. The two large ones can never fit; the small ones need more than the room, and fit or not as
    // the copies beside them come and go.
    Fill(16 * 1024);
    std::map<std::string, std::string> saved;
    for (size_t k = 0; k < edited.size(); ++k) {
        const std::string& name = edited[k];
        saved[name] = PatternBytes(2000 + k, k) + "edit of " + name + "\n";
        OutputOf(Cfemu({"append", Root(name), "edit of " + name + "\n"}));
    }
    saved["large.bin"] = PatternBytes(kMiB, 200);
    SaveOver("large.bin", saved["large.bin"]);
    const std::vector<std::string> created = {"n1.txt", "n2.txt", "n3.txt", "n4.txt", "huge.bin"};
    for (size_t k = 0; k < created.size(); ++k) {
        saved[created[k]] = PatternBytes(created[k] == "huge.bin" ? 600 * 1024 : 1024 + k, 300 + k);
        MoveIn(created[k], saved[created[k]]);
    }
    // Each of the two fails, and fails again when it is tried again after its back-off, the disk still full.
    const auto failures = [&](const std::string& name) {
        const std::vector<std::string> lines = ErrorsNaming(name);
        return std::count_if(lines.begin(), lines.end(), DiskFull);
    };
    EXPECT_TRUE(WaitUntil([&] { return failures("large.bin") >= 2 && failures("huge.bin") >= 2; }, 30000))
        << "no two ERROR lines name each file that did not fit and the disk being full:\n"
        << ::testing::PrintToString(Errors());
    const auto smallFailed = [&] {
        for (const char* name : {"e1.txt", "e2.txt", "e3.txt", "e4.txt", "n1.txt", "n2.txt", "n3.txt", "n4.txt"}) {
            if (failures(name) > 0) return true;
        }
        return false;
    };
    EXPECT_TRUE(smallFailed()) << "the small changes all fitted in four pages?\n" << ::testing::PrintToString(Errors());
    EXPECT_FALSE(provider->Wait(0)) << "the provider ended while the disk was full\n" << provider->Err();

    // Room again: within the longest back-off and a little more, every change is taken.
    ASSERT_TRUE(fs::remove(Ballast()));
    const auto allTaken = [&] {
        for (const std::string& name : edited) {
            if (ReadFileBytes(EngineCopy(name)) != saved[name] || InSyncIdentity(name) != ItemIdentity(name)) return false;
        }
        if (ReadFileBytes(EngineCopy("large.bin")) != saved["large.bin"] ||
            InSyncIdentity("large.bin") != ItemIdentity("large.bin") || Records("mod-").size() < 5) {
            return false;
        }
        for (const std::string& name : created) {
            if (ReadFileBytes(Staged(name)) != saved[name] || ReadFileBytes(Stored(name)) != saved[name] ||
                InSyncIdentity(name) != PathIdentity(name)) {
                return false;
            }
        }
        return true;
    };
    EXPECT_TRUE(WaitUntil(allTaken, 90000)) << "not every change was taken within 90 s of the space coming back\n"
                                            << ReadFileBytes(Env().LogFile());

    // The refused delete and rename, made again, are recorded; the same provider still serves a fetch.
    EXPECT_EQ(Cfemu({"rm", Root("x.txt")}).exitCode, 0);
    EXPECT_EQ(Cfemu({"mv", Root("y.txt"), Root("y2.txt")}).exitCode, 0);
    EXPECT_EQ(OutputOf(Cfemu({"cat", Root("s.txt")})), ReadFileBytes(CacheFile(D1("s.txt"))));
    EXPECT_FALSE(provider->Wait(0)) << provider->Err();
    EXPECT_EQ(provider->Pid(), pid);
    EXPECT_EQ(kill(pid, 0), 0) << "the provider is gone";
    // A second of quiet: nothing is taken twice.
    const std::map<std::string, std::string> inbox = InboxByName();
    usleep(1000 * 1000);
    EXPECT_EQ(InboxByName(), inbox);

    // Exactly one record per change, each a copy of exactly the saved bytes, one staged copy and one journal line
    // per new file, and nothing unfinished anywhere in the queues.
    std::vector<std::string> mods = Records("mod-"), want;
    for (const char* name : {"e1.txt", "e2.txt", "e3.txt", "e4.txt", "large.bin"}) want.push_back(ModRecord(name));
    std::sort(mods.begin(), mods.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(mods, want);
    EXPECT_EQ(Records("delete-"), std::vector<std::string>{DeleteRecord("d1", "x", "x.txt")});
    EXPECT_EQ(Records("modify-"), std::vector<std::string>{RenameRecord("y", "y2.txt", "y.txt")});
    EXPECT_EQ(ListDirectory(Inbox()).size(), 7u) << ::testing::PrintToString(ListDirectory(Inbox()));
    for (const std::string& name : edited) EXPECT_EQ(ListDirectory(Queue() + "/CloudFiles/d1/" + Item(name)), std::vector<std::string>{name});
    EXPECT_EQ(ListDirectory(Queue() + "/CloudFiles/d1/large"), std::vector<std::string>{"large.bin"});
    std::vector<std::string> names = created;
    std::sort(names.begin(), names.end());
    EXPECT_EQ(ListDirectory(Env().ProviderBase() + "/Queue/Staging"), names);
    EXPECT_EQ(ListDirectory(Queue() + "/LocalFiles"), names);
    std::string lines;
    for (size_t k = 0; k < created.size(); ++k) lines += "write-back\r\n";
    EXPECT_EQ(ReadFileBytes(Journal()), lines);
    EXPECT_EQ(Unfinished(Queue()), std::vector<std::string>{});
    EXPECT_EQ(Unfinished(Env().ProviderBase() + "/Queue"), std::vector<std::string>{});

    // Each failure was one ERROR line naming its file and the disk being full; the refused delete and rename one
    // line each.
    std::vector<std::string> named = edited;
    named.insert(named.end(), {"large.bin", "x.txt", "y.txt"});
    named.insert(named.end(), created.begin(), created.end());
    for (const std::string& line : Errors()) {
        EXPECT_TRUE(DiskFull(line)) << "no disk-full cause: " << line;
        EXPECT_TRUE(std::any_of(named.begin(), named.end(), [&](const std::string& name) {
            return line.find(name) != std::string::npos;
        })) << "names no changed file: " << line;
    }
    EXPECT_EQ(ErrorsNaming("x.txt").size(), 1u) << ::testing::PrintToString(Errors());
    EXPECT_EQ(ErrorsNaming("y.txt").size(), 1u) << ::testing::PrintToString(Errors());
}

}  // namespace
}  // namespace e2e
