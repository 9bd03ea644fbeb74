// limits_e2e_test.cpp - load never ends or stalls the provider: hundreds of fetches waiting for the engine under a
// limit on threads, and waits that end with their reader or with Ctrl+C. (What is no file in the cache: FetchSources.)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// A user id no process runs as (RLIMIT_NPROC counts every thread of the user), far above the accounts a system
// makes and derived from this process's id, so that tests running side by side take different ones.
uid_t UnusedUid() { return 60000 + static_cast<uid_t>(getpid() % 5000); }

class Limits : public ProgramTest {
  protected:
    // Registers and seeds `count` placeholders of domain d1 whose cache files the engine has not delivered yet.
    std::vector<Seeded> SeedWithoutCache(int count) {
        std::vector<Seeded> files;
        std::string manifest;
        for (int k = 0; k < count; ++k) {
            files.push_back({"w" + std::to_string(k) + ".bin", 1000 + 37 * static_cast<size_t>(k)});
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
    // The temporary tree handed to a user of its own, the limit set (it binds no superuser), then that user taken
    // (which drops every capability): util-linux's prlimit and setpriv. 125 when any of it cannot be done here.
    const std::string user = std::to_string(UnusedUid());
    provider = std::make_unique<BackgroundProcess>(std::vector<std::string>{
        "/bin/sh", "-c",
        "chown -R \"$1:$1\" \"$2\" && command -v prlimit >/dev/null && command -v setpriv >/dev/null || exit 125; "
        "exec prlimit --nproc=\"$3:$3\" setpriv --reuid=\"$1\" --regid=\"$1\" --clear-groups \"$4\" connect",
        "sh", user, Env().Root(), std::to_string(limit), VOSKE_PROGRAM});
    int exitCode = -1;
    ASSERT_TRUE(WaitUntil([&] { return CountLines("[CONNECT] Waiting") == 1 || provider->Wait(0, &exitCode); }, 30000))
        << provider->Err();
    if (exitCode == 125) GTEST_SKIP() << "the provider cannot run as a user of its own here: " << provider->Err();
    ASSERT_EQ(exitCode, -1) << provider->Err();
    const int pid = provider->Pid();
    const int baseline = ThreadCount(pid);  // with the pool's minimum of threads
    const int most = baseline - cfemu::kMinimumPoolThreads + cfemu::kMaximumPoolThreads;

    // The readers begin to read together, once all of them run: each first waits on a pipe this test holds open. Started
    // one by one, the first fetches could wait for the engine past its ten seconds while the last readers start.
    const std::string gate = Env().Root() + "/gate";
    ASSERT_EQ(mkfifo(gate.c_str(), 0600), 0);
    const int held = open(gate.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(held, 0);
    std::vector<std::unique_ptr<BackgroundProcess>> readers;
    for (const Seeded& file : files) {
        readers.push_back(std::make_unique<BackgroundProcess>(std::vector<std::string>{
            "/bin/sh", "-c", "read _ < \"$0\"; exec \"$1\" cat \"$2\"", gate, VOSKE_CFEMU, Root(file.name)}));
    }
    const auto waitingAtGate = [&](const BackgroundProcess& reader) {
        std::error_code error;
        for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(reader.Pid()) + "/fd", error)) {
            if (fs::read_symlink(fd.path(), error) == gate) return true;
        }
        return false;
    };
    ASSERT_TRUE(WaitUntil([&] {
        return std::all_of(readers.begin(), readers.end(), [&](const auto& reader) { return waitingAtGate(*reader); });
    }, 120000));
    close(held);  // every reader's read ends, and its fetch begins
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

}  // namespace
}  // namespace e2e
