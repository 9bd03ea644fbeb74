// limits_e2e_test.cpp - load never ends or stalls the provider: hundreds of fetches waiting for the engine under a
// limit on threads, waits that end with their reader or with Ctrl+C, and a pipe or directory where data should be.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "platform/posix/filter/callback_pool.h"
#include "tests/e2e/e2e_fixture.h"

namespace e2e {
namespace {

constexpr char kEndedByCancel[] = "[HYDRATE] cache miss wait ended - the fetch was cancelled";
constexpr char kEndedByStop[] = "[HYDRATE] cache miss wait ended - the provider stops";
// Ctrl+C must end the provider within a second; this deadline leaves room for a loaded machine.
constexpr int kStopDeadlineMs = 3000;

int ThreadCount(int pid) {
    std::error_code error;
    return static_cast<int>(std::distance(fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error), {}));
}

// A user id no process runs as (RLIMIT_NPROC counts every thread of the user), derived from this process's id so
// that tests running side by side take different ones.
uid_t UnusedUid() {
    std::set<uid_t> used;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        std::ifstream status(entry.path() / "status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("Uid:", 0) == 0) used.insert(static_cast<uid_t>(std::strtoul(line.c_str() + 4, nullptr, 10)));
        }
    }
    uid_t uid = 50000 + static_cast<uid_t>(getpid() % 10000);
    while (used.count(uid) != 0) ++uid;
    return uid;
}

std::string Name(int k) {
    char name[16];
    std::snprintf(name, sizeof(name), "w%03d.bin", k);
    return name;
}

class Limits : public ProgramTest {
  protected:
    // Registers and seeds `count` placeholders of domain d1 whose cache files the engine has not delivered yet.
    std::vector<Seeded> SeedWithoutCache(int count) {
        std::vector<Seeded> files;
        std::string manifest;
        for (int k = 0; k < count; ++k) {
            files.push_back({Name(k), 1000 + 37 * static_cast<size_t>(k)});
            manifest += "d1\t" + Item(files.back().name) + "\t" + files.back().name + "\t" +
                        std::to_string(files.back().size) + "\t" + files.back().name + "\n";
        }
        RegisterAndSeed(manifest);
        return files;
    }
    // As the engine delivers: each cache file whole, under its name at once (written beside it, then renamed).
    void Deliver(const std::vector<Seeded>& files) {
        for (size_t k = 0; k < files.size(); ++k) {
            PutCacheFile(D1(files[k].name) + ".part", PatternBytes(files[k].size, k));
            fs::rename(CacheFile(D1(files[k].name) + ".part"), CacheFile(D1(files[k].name)));
        }
    }
    // Ctrl+C ends the provider promptly, as the signal would.
    void ExpectQuickStop() {
        provider->Signal(SIGINT);
        EXPECT_EQ(ExitOf(*provider, kStopDeadlineMs), 128 + SIGINT) << provider->Err();
        EXPECT_FALSE(HasSanitizerReport(provider->Err())) << provider->Err();
        provider.reset();
    }
};

struct ThreadLimit {
    const char* name;
    int threads;  // RLIMIT_NPROC of the provider's own user: every thread it may have
};

void PrintTo(const ThreadLimit& limit, std::ostream* out) { *out << limit.threads << " threads"; }

class ThreadLimits : public Limits, public testing::WithParamInterface<ThreadLimit> {};

// 400 readers whose fetches wait for the engine, with the provider under a limit on its threads above the callback
// pool's bound (the pool alone keeps it below) and under one below it (the system refuses threads, and the callbacks
// wait for those it has): the provider never ends, and serves every reader its exact bytes once the engine delivers.
TEST_P(ThreadLimits, FourHundredFetchesWaitingForTheEngineAreServedWhenItDelivers) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "RLIMIT_NPROC counts every process of a user and binds no superuser: the provider needs a user "
                        "of its own, which only root can give it";
    }
    constexpr int kReaders = 400;
    const int limit = GetParam().threads;
    const std::vector<Seeded> files = SeedWithoutCache(kReaders);
    provider = std::make_unique<BackgroundProcess>(std::vector<std::string>{
        std::string(VOSKE_BINARY_DIR) + "/limited_run", "--threads", std::to_string(limit), "--uid",
        std::to_string(UnusedUid()), "--own", Env().Root(), "--", VOSKE_PROGRAM, "connect"});
    int exitCode = -1;
    ASSERT_TRUE(WaitUntil([&] { return CountLines("[CONNECT] Waiting") == 1 || provider->Wait(0, &exitCode); }, 30000))
        << provider->Err();
    if (exitCode == 125) GTEST_SKIP() << "the provider cannot run as a user of its own here: " << provider->Err();
    ASSERT_EQ(exitCode, -1) << provider->Err();
    const int pid = provider->Pid();
    const int baseline = ThreadCount(pid);  // with the pool's minimum of threads
    const int most = baseline - cfemu::kMinimumPoolThreads + cfemu::kMaximumPoolThreads;

    std::vector<std::unique_ptr<BackgroundProcess>> readers;
    for (const Seeded& file : files) readers.push_back(StartCat(file.name));
    // Every thread the pool may have waits for the engine: as many callbacks as the bound, or the limit reached.
    ASSERT_TRUE(WaitUntil([&] {
        return DownloadRecords().size() >= static_cast<size_t>(cfemu::kMaximumPoolThreads) || ThreadCount(pid) >= limit;
    }, 60000)) << DownloadRecords().size() << " downloads asked for, " << ThreadCount(pid) << " threads";
    const int threads = ThreadCount(pid);
    EXPECT_LE(threads, most) << "baseline " << baseline;
    if (limit < most) {
        EXPECT_EQ(threads, limit);  // threads were refused
    }
    EXPECT_FALSE(provider->Wait(0, &exitCode)) << exitCode << ": " << provider->Err();

    Deliver(files);
    for (size_t k = 0; k < files.size(); ++k) {
        const int readerExit = ExitOf(*readers[k], 120000);
        EXPECT_TRUE(readerExit == 0 && readers[k]->Out() == PatternBytes(files[k].size, k))
            << files[k].name << ": exit " << readerExit << ", " << readers[k]->Out().size() << " bytes: "
            << readers[k]->Err();
    }
    EXPECT_LE(ThreadCount(pid), most);
    EXPECT_EQ(CountLines("[HYDRATE] HYDRATE_FROM_ENGINE_CACHE"), kReaders);
    EXPECT_TRUE(Errors().empty()) << Errors().front();
    ExpectQuickStop();
}

INSTANTIATE_TEST_SUITE_P(Provider, ThreadLimits,
                         testing::Values(ThreadLimit{"AboveTheBound", 300}, ThreadLimit{"BelowTheBound", 32}),
                         [](const testing::TestParamInfo<ThreadLimit>& info) { return std::string(info.param.name); });

// Fetches waiting for the engine: a reader that is killed cancels its own fetch, whose wait ends at once (well before
// the engine's ten seconds), unanswered; Ctrl+C with the others waiting ends the provider within the deadline, and
// their readers fail with the provider's end.
TEST_F(Limits, WaitsForTheEngineEndWithTheirReaderAndWithCtrlC) {
    constexpr int kReaders = 20;
    const std::vector<Seeded> files = SeedWithoutCache(kReaders);
    StartProvider();
    std::vector<std::unique_ptr<BackgroundProcess>> readers;
    for (const Seeded& file : files) readers.push_back(StartCat(file.name));
    ASSERT_TRUE(WaitUntil([&] { return DownloadRecords().size() == kReaders; }, 30000)) << DownloadRecords().size();

    readers[0]->Signal(SIGKILL);
    EXPECT_EQ(ExitOf(*readers[0]), 128 + SIGKILL);
    EXPECT_TRUE(WaitForLine(kEndedByCancel, 5000));
    EXPECT_EQ(CountLines("[HYDRATE] CANCEL_FETCH_DATA"), 1);

    ExpectQuickStop();
    for (int k = 1; k < kReaders; ++k) {
        SCOPED_TRACE(files[k].name);
        const int exitCode = ExitOf(*readers[k], 10000);
        EXPECT_EQ(exitCode, 1);
        EXPECT_NE(readers[k]->Err().find("0x80070194"), std::string::npos) << readers[k]->Err();
        EXPECT_TRUE(readers[k]->Out().empty());
    }
    EXPECT_EQ(CountLines(kEndedByStop), kReaders - 1);
    EXPECT_EQ(CountLines(kEndedByCancel), 1);
    EXPECT_TRUE(Errors().empty()) << Errors().front();
}

// A pipe, a directory or an empty file where a cache file should be: each read fails at once with the failure status
// and one error line naming the file and what it is; the pipe is never opened; the provider serves on and stops
// promptly.
TEST_F(Limits, WhatIsNoFileInTheCacheIsRefusedAtOnceAndTheProviderServesOn) {
    const struct Row {
        const char* name;
        std::function<void(const std::string&)> make;
        const char* cause;
    } rows[] = {
        {"pipe.bin", [](const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); },
         "holds no data for the placeholder's 1000 bytes (an empty file, or a pipe)"},
        {"directory.bin", [](const std::string& path) { fs::create_directories(path); }, "is a directory"},
        {"empty.bin", [](const std::string& path) { WriteFileBytes(path, ""); },
         "holds no data for the placeholder's 1000 bytes (an empty file, or a pipe)"},
    };
    std::string manifest = "d1\tok\tok.bin\t5000\tok.bin\n";
    for (const Row& row : rows) manifest += "d1\t" + Item(row.name) + "\t" + row.name + "\t1000\t" + row.name + "\n";
    RegisterAndSeed(manifest);
    PutCacheFile(D1("ok.bin"), PatternBytes(5000, 4));
    for (const Row& row : rows) {
        fs::create_directories(fs::path(CacheFile(D1(row.name))).parent_path());
        row.make(CacheFile(D1(row.name)));
    }
    StartProvider();

    std::vector<std::string> errors;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ExpectRefused(Cfemu({"cat", Root(row.name)}, 5000), "0x80070185");
        errors.push_back("[ERROR] HYDRATE source is no file to read - refusing: " +
                         posix::WideToUtf8(WindowsPathOf(CacheFile(D1(row.name)))) + " " + row.cause);
        EXPECT_FALSE(Hydrated(row.name));
    }
    EXPECT_EQ(Errors(), errors);
    // Nobody holds the pipe open for reading: an open for writing that does not wait finds no reader.
    const int fd = open(CacheFile(D1("pipe.bin")).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_TRUE(fd < 0 && errno == ENXIO);
    if (fd >= 0) close(fd);
    EXPECT_TRUE(DownloadRecords().empty());

    EXPECT_TRUE(OutputOf(Cfemu({"cat", Root("ok.bin")})) == PatternBytes(5000, 4));
    ExpectQuickStop();
}

}  // namespace
}  // namespace e2e
