// e2e_fixture.h - a temporary LOCALAPPDATA, the program and cfemu as processes, and readers of what they leave.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <regex>
#include <set>
#include <sstream>

#include "placeholders/identity.h"
#include "platform/posix/filter/cloud_filter.h"
#include "platform/posix/win32/posix_handle.h"
#include "platform/win32.h"
#include "syncroot/cloud_files.h"
#include "tests/support/processes.h"
#include "tests/support/test_env.h"

namespace e2e {

namespace fs = std::filesystem;

constexpr size_t kMiB = 1024 * 1024;
constexpr char kSeed[] =
    "VOSKE Cloud Files spike\r\nHydrated from local staging (mock engine). NO network in callback.\r\n";

inline bool HasSanitizerReport(const std::string& text) {
    return text.find("Sanitizer") != std::string::npos || text.find("runtime error:") != std::string::npos;
}

inline std::string DeleteRecord(const std::string& domainId, const std::string& itemId, const std::string& target) {
    return "{\"type\":\"delete\",\"domainId\":\"" + domainId + "\",\"itemId\":\"" + itemId +
           "\",\"isDir\":false,\"targetPath\":\"" + target + "\",\"timestamp\":0,\"attempts\":0}\n";
}
inline std::string RenameRecord(const std::string& itemId, const std::string& target, const std::string& previous) {
    return "{\"type\":\"modify\",\"domainId\":\"d1\",\"itemId\":\"" + itemId + "\",\"isDir\":false,\"targetPath\":\"" +
           target + "\",\"previousPath\":\"" + previous + "\",\"timestamp\":0,\"attempts\":0}\n";
}

inline ProcessResult Verb(const char* verb, int timeoutMs = 120000) {
    return RunProcess({VOSKE_PROGRAM, verb}, timeoutMs);
}
inline ProcessResult Cfemu(std::vector<std::string> args, int timeoutMs = 60000) {
    args.insert(args.begin(), VOSKE_CFEMU);
    return RunProcess(args, timeoutMs);
}
inline std::string OutputOf(const ProcessResult& run, int exitCode = 0) {
    EXPECT_EQ(run.exitCode, exitCode) << run.err;
    return run.out;
}
// A read refused: exit code 1, no bytes, and `status` named on standard error.
inline void ExpectRefused(const ProcessResult& run, const std::string& status) {
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out.size() << " bytes";
    EXPECT_NE(run.err.find(status), std::string::npos) << run.err;
}
inline int ExitOf(BackgroundProcess& process, int timeoutMs = 30000) {
    int exitCode = -1;
    return process.Wait(timeoutMs, &exitCode) ? exitCode : -1;
}

// The first value SQLite answers to `sql` on the database file at `path` (opened for writing, as the provider opens
// it, so a write-ahead log left behind is taken in), or what went wrong: "ok" for PRAGMA integrity_check.
inline std::string SqliteAnswer(const std::string& path, const char* sql) {
    sqlite3* db = nullptr;
    std::string result = "not opened";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        const bool row = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW;
        const unsigned char* text = row ? sqlite3_column_text(statement, 0) : nullptr;
        result = text != nullptr ? reinterpret_cast<const char*>(text) : row ? "" : sqlite3_errmsg(db);
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return result;
}

// One inbox record as a JSON reader sees it: its file name and its string members (empty when absent).
struct ParsedRecord {
    std::string name, type, targetPath, previousPath, contentsPath;
};
// Every record file of `inbox` read by Python's strict JSON reader; a file that is no JSON fails the test.
inline std::vector<ParsedRecord> ParseRecords(const std::string& inbox) {
    const char* script =
        "import json, os, sys\n"
        "for name in sorted(n for n in os.listdir(sys.argv[1]) if not n.startswith('.')):\n"
        "    r = json.load(open(os.path.join(sys.argv[1], name), encoding='utf-8'))\n"
        "    fields = [name, r['type']] + [r.get(k) or '' for k in ('targetPath', 'previousPath', 'contentsPath')]\n"
        "    print(' '.join(f.encode('utf-8').hex() or '-' for f in fields))\n";
    const ProcessResult run = RunProcess({"/usr/bin/python3", "-c", script, inbox});
    EXPECT_EQ(run.exitCode, 0) << "a record is no JSON: " << run.err;
    std::vector<ParsedRecord> records;
    std::istringstream lines(run.out);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::vector<std::string> fields;
        for (std::string hex; words >> hex;) {
            std::string bytes;
            for (size_t i = 0; hex != "-" && i + 1 < hex.size(); i += 2) {
                bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
            }
            fields.push_back(bytes);
        }
        if (fields.size() == 5) records.push_back({fields[0], fields[1], fields[2], fields[3], fields[4]});
    }
    return records;
}

// A placeholder seeded in domain d1, its item id the name up to its first dot.
struct Seeded {
    std::string name;
    size_t size;
};

class ProgramTest : public testing::Test {
  protected:
    void SetUp() override { local_ = std::make_unique<TempLocalAppData>(); }
    // Unregisters, so the emulated filter keeps no registration of a removed directory.
    void TearDown() override {
        if (provider) {
            provider->Signal(SIGINT);
            provider->Wait(20000);
            EXPECT_FALSE(HasSanitizerReport(provider->Err())) << provider->Err();
            provider.reset();
        }
        RunProcess({VOSKE_PROGRAM, "unregister"});
        local_.reset();
    }
    const TempLocalAppData& Env() const { return *local_; }

    void RegisterAndSeed(const std::string& manifest) {
        ASSERT_EQ(Verb("register").exitCode, 0);
        WriteFileBytes(Env().ProviderBase() + "/seed-manifest.tsv", manifest);
        OutputOf(Verb("seed"));
    }
    // Registers and seeds `files`, each with a cache file (the k-th of pattern k) of the placeholder's time.
    void SeedFiles(const std::vector<Seeded>& files) {
        std::string manifest;
        for (const Seeded& file : files) {
            manifest += "d1\t" + Item(file.name) + "\t" + file.name + "\t" + std::to_string(file.size) + "\t" +
                        file.name + "\n";
        }
        RegisterAndSeed(manifest);
        for (size_t k = 0; k < files.size(); ++k) {
            PutCacheFile(D1(files[k].name), PatternBytes(files[k].size, k));
            fs::last_write_time(CacheFile(D1(files[k].name)), fs::last_write_time(Root(files[k].name)));
        }
    }
    static std::string Item(const std::string& name) { return name.substr(0, name.find('.')); }
    static std::string D1(const std::string& name) { return "d1/" + Item(name) + "/" + name; }

    // Starts `connect` and waits for its ready line (a new one when the log holds an earlier provider's).
    void StartProvider() {
        const int before = CountLines("[CONNECT] Waiting");
        provider = std::make_unique<BackgroundProcess>(std::vector<std::string>{VOSKE_PROGRAM, "connect"});
        ASSERT_TRUE(WaitUntil([&] { return CountLines("[CONNECT] Waiting") > before; }, 30000)) << provider->Err();
    }

    void KillProvider() {
        provider->Signal(SIGKILL);
        EXPECT_EQ(ExitOf(*provider, 10000), 128 + SIGKILL);
        provider.reset();
    }

    std::vector<std::string> Log() const { return LogMessages(Env().LogFile()); }
    std::vector<std::string> Errors() const { return Lines("[ERROR]"); }
    // The inbox's records and the provider's log, for the message of a failure.
    std::string InboxAndLog() const {
        std::string all;
        for (const std::string& name : ListDirectory(Inbox())) all += name + ": " + ReadFileBytes(Inbox() + "/" + name);
        for (const std::string& line : Log()) all += line + "\n";
        return all;
    }
    std::vector<std::string> Lines(const std::string& prefix) const {
        std::vector<std::string> log = Log(), found;
        std::copy_if(log.begin(), log.end(), std::back_inserter(found),
                     [&](auto& line) { return line.rfind(prefix, 0) == 0; });
        return found;
    }
    int CountLines(const std::string& prefix) const { return static_cast<int>(Lines(prefix).size()); }
    bool WaitForLine(const std::string& prefix, int timeoutMs) const {
        return WaitUntil([&] { return CountLines(prefix) > 0; }, timeoutMs);
    }
    std::string LastLine(const std::string& prefix) const { return Lines(prefix).empty() ? "" : Lines(prefix).back(); }
    std::string Root(const std::string& relative) const { return Env().SyncRoot() + "/" + relative; }
    std::string Queue() const { return Env().ProductDir() + "/Queue"; }
    std::string Inbox() const { return Queue() + "/cloud-files-inbox"; }
    // No delete or rename record is held back in the inbox (".held-" names), waiting to be published or dropped.
    bool NothingHeld() const {
        const std::vector<std::string> names = ListDirectory(Inbox());
        return std::none_of(names.begin(), names.end(), [](const std::string& n) { return n.rfind(".held-", 0) == 0; });
    }
    std::string CacheFile(const std::string& relative) const { return Env().ProductDir() + "/Cache/" + relative; }
    void PutCacheFile(const std::string& relative, const std::string& bytes) const {
        fs::create_directories(fs::path(CacheFile(relative)).parent_path());
        WriteFileBytes(CacheFile(relative), bytes);
    }
    // The identity of the placeholder at `relative` as text when it is in sync, "-" when it is not (or is none).
    std::string InSyncIdentity(const std::string& relative) const {
        cfemu::PlaceholderState state{};
        if (!cfemu::ReadStateAt(Root(relative), &state) || (state.flags & cfemu::kStateInSync) == 0) return "-";
        std::vector<BYTE> identity;
        cfemu::ReadIdentityAt(Root(relative), &identity);
        return posix::WideToUtf8(DecodeIdentityBlob(identity.data(), static_cast<DWORD>(identity.size())));
    }
    // Whether the placeholder at `relative` in the root holds its data; a failure when it is no placeholder.
    bool Hydrated(const std::string& relative) const {
        cfemu::PlaceholderState state{};
        EXPECT_TRUE(cfemu::ReadStateAt(Root(relative), &state)) << relative;
        return (state.flags & cfemu::kStateHydrated) != 0;
    }
    // The inbox records whose names start with `prefix`, by content; download records are named by a number.
    std::vector<std::string> Records(const std::string& prefix, bool downloads = false) const {
        std::vector<std::string> records;
        for (const std::string& name : ListDirectory(Inbox())) {
            if (downloads ? isdigit(static_cast<unsigned char>(name[0])) != 0 : name.rfind(prefix, 0) == 0) {
                records.push_back(ReadFileBytes(Inbox() + "/" + name));
            }
        }
        return records;
    }
    std::vector<std::string> DownloadRecords() const { return Records("", true); }
    // The records once `count` of them are there (a file's delete or rename waits a few seconds for a file that
    // may take its name), or what there is after 20 s.
    std::vector<std::string> RecordsWhenThere(const std::string& prefix, size_t count) const {
        WaitUntil([&] { return Records(prefix).size() >= count; }, 20000);
        return Records(prefix);
    }
    std::unique_ptr<BackgroundProcess> StartCat(const std::string& relative) const {
        return std::make_unique<BackgroundProcess>(std::vector<std::string>{VOSKE_CFEMU, "cat", Root(relative)});
    }
    void ClearInbox() const {
        for (const std::string& name : ListDirectory(Inbox())) fs::remove(Inbox() + "/" + name);
    }

    std::unique_ptr<BackgroundProcess> provider;

  private:
    std::unique_ptr<TempLocalAppData> local_;
};

// A `cfemu mount` of the sync root at <temporary root>/mnt.
class MountTest : public ProgramTest {
  protected:
    void SetUp() override {
        ProgramTest::SetUp();
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
        RunProcess({"/usr/bin/fusermount3", "-u", "-z", mountpoint});  // a failed daemon's
        ProgramTest::TearDown();
    }
    static bool FuseAvailable() {
        const int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
        if (fd >= 0) close(fd);
        return fd >= 0 && access("/usr/bin/fusermount3", X_OK) == 0;
    }
    // Starts the mount and waits until it serves; false where FUSE is missing or the daemon does not come up.
    bool StartMount() {
        if (!FuseAvailable()) return false;
        mount = std::make_unique<BackgroundProcess>(
            std::vector<std::string>{VOSKE_CFEMU, "mount", Env().SyncRoot(), mountpoint});
        return WaitUntil([&] { return mount->Err().find("cfemu mount: serving") != std::string::npos; }, 20000);
    }
    std::string Mounted(const std::string& name) const { return mountpoint + "/" + name; }

    std::string mountpoint;
    std::unique_ptr<BackgroundProcess> mount;
};

}  // namespace e2e
