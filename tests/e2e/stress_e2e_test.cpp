// stress_e2e_test.cpp - eight reader processes hydrate placeholders of 0 B to 9 MiB again and again while
// `connect` serves them; every byte is checked, no read fails and the provider's thread count comes back down.
// VOSKE_STRESS_LONG=1 runs 100 rounds (800 hydrations) instead of 25 (200).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>

#include "layout/file_open.h"
#include "platform/win32.h"
#include "syncroot/cloud_files.h"
#include "tests/helpers/stress_pattern.h"
#include "tests/support/processes.h"
#include "tests/support/test_env.h"

namespace fs = std::filesystem;

namespace {

constexpr int kReaders = 8;
constexpr unsigned long long kMiB = 1024 * 1024;

struct StressFile {
    std::string name;
    unsigned long long size;
};

// Four files every reader comes back to, and two of its own per reader: 0 B to 9 MiB, around the 4 KiB
// alignment and the provider's 4 MiB transfer pieces.
const StressFile kShared[] = {{"shared-9m.bin", 9 * kMiB},
                              {"shared-4m1.bin", 4 * kMiB + 1},
                              {"shared-1.bin", 1},
                              {"shared-12305.bin", 3 * 4096 + 17}};
const unsigned long long kOwnSizes[kReaders * 2] = {
    0,        4095,         4096,     4097,           65536,    100000,          kMiB - 1,    kMiB, 2 * kMiB + 5,
    3 * kMiB, 4 * kMiB - 1, 4 * kMiB, 5 * kMiB + 333, 6 * kMiB, 8 * kMiB + 4095, 9 * kMiB - 1};

int Rounds() {
    const char* longForm = std::getenv("VOSKE_STRESS_LONG");
    return longForm != nullptr && std::string(longForm) == "1" ? 100 : 25;
}

int ThreadCount(int pid) {
    std::error_code error;
    int count = 0;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error);
         !error && it != fs::directory_iterator(); it.increment(error)) {
        ++count;
    }
    return count;
}

void WritePatternFile(const std::string& path, unsigned long long size, unsigned long long seed) {
    std::string bytes(size, '\0');
    for (unsigned long long i = 0; i < size; ++i) bytes[i] = static_cast<char>(StressByte(seed, i));
    WriteFileBytes(path, bytes);
}

HRESULT Dehydrate(const std::string& path) {
    // Alone, as the dehydrate verb holds it; the provider may still hold it for a moment after a close.
    HANDLE file = OpenExistingRetryingSharing(WindowsPathOf(path), GENERIC_READ | GENERIC_WRITE, 0);
    if (file == INVALID_HANDLE_VALUE) return HRESULT_FROM_WIN32(GetLastError());
    LARGE_INTEGER start;
    start.QuadPart = 0;
    LARGE_INTEGER length;
    length.QuadPart = CF_EOF;
    HRESULT hr = CfDehydratePlaceholder(file, start, length, CF_DEHYDRATE_FLAG_NONE, nullptr);
    CloseHandle(file);
    return hr;
}

bool HasSanitizerReport(const std::string& text) {
    return text.find("Sanitizer") != std::string::npos || text.find("runtime error:") != std::string::npos;
}

}  // namespace

TEST(Stress, EightReadersHydrateAgainAndAgainAndEveryByteIsTheCacheFiles) {
    TempLocalAppData env;
    const int rounds = Rounds();
    ASSERT_EQ(RunProcess({VOSKE_PROGRAM, "register"}).exitCode, 0);

    // The test plays the engine: product-cache files and the manifest that lists them.
    struct Seeded {
        StressFile file;
        unsigned long long seed;
        std::string cachePath, placeholderPath;
    };
    std::vector<Seeded> files;
    for (const StressFile& shared : kShared) files.push_back({shared, 0, "", ""});
    for (int i = 0; i < kReaders * 2; ++i) {
        files.push_back(
            {{"own-" + std::to_string(i / 2) + "-" + std::to_string(i % 2) + ".bin", kOwnSizes[i]}, 0, "", ""});
    }
    std::string manifest;
    for (size_t k = 0; k < files.size(); ++k) {
        Seeded& f = files[k];
        f.seed = 1000 + k;
        const std::string item = "item" + std::to_string(k);
        f.cachePath = env.ProductDir() + "/Cache/stress/" + item + "/" + f.file.name;
        f.placeholderPath = env.SyncRoot() + "/" + f.file.name;
        fs::create_directories(fs::path(f.cachePath).parent_path());
        WritePatternFile(f.cachePath, f.file.size, f.seed);
        manifest +=
            "stress\t" + item + "\t" + f.file.name + "\t" + std::to_string(f.file.size) + "\t" + f.file.name + "\n";
    }
    WriteFileBytes(env.ProviderBase() + "/seed-manifest.tsv", manifest);
    ProcessResult seed = RunProcess({VOSKE_PROGRAM, "seed"});
    ASSERT_EQ(seed.exitCode, 0) << seed.err;
    // The engine's cache file carries the placeholder's last-write time, so a close after a read is an
    // unchanged close: the provider skips it instead of copying megabytes back into the queue.
    for (const Seeded& f : files) {
        struct stat st;
        ASSERT_EQ(stat(f.placeholderPath.c_str(), &st), 0) << f.placeholderPath;
        ASSERT_EQ(static_cast<unsigned long long>(st.st_size), f.file.size);
        timespec times[2] = {st.st_atim, st.st_mtim};
        ASSERT_EQ(utimensat(AT_FDCWD, f.cachePath.c_str(), times, 0), 0);
    }

    BackgroundProcess provider({VOSKE_PROGRAM, "connect"});
    ASSERT_TRUE(WaitForLogLine(env.LogFile(), "[CONNECT] Waiting", 30000)) << provider.Err();
    ASSERT_TRUE(WaitUntil(
        [&] {
            int summaries = 0;
            for (const std::string& line : LogMessages(env.LogFile())) {
                if (line.rfind("[SEED] manifest seen", 0) == 0) ++summaries;
            }
            return summaries == 2;  // the seed verb's and the connect loop's first pass
        },
        30000));
    const int threadsBefore = ThreadCount(provider.Pid());
    ASSERT_GT(threadsBefore, 0);

    // Every fourth round all readers read one shared file at once; two rounds later pairs of readers share one;
    // in between each reader reads one of its own two files.
    const std::string control = env.Root() + "/stress-control";
    fs::create_directories(control);
    std::vector<std::vector<size_t>> plan(kReaders);
    for (int i = 0; i < kReaders; ++i) {
        std::ofstream out(control + "/plan-" + std::to_string(i));
        for (int r = 0; r < rounds; ++r) {
            size_t k = r % 4 == 0   ? static_cast<size_t>((r / 4) % 4)
                       : r % 4 == 2 ? static_cast<size_t>(i % 4)
                                    : static_cast<size_t>(4 + 2 * i + (r % 4 == 1 ? 0 : 1));
            plan[i].push_back(k);
            out << files[k].placeholderPath << '\t' << files[k].file.size << '\t' << files[k].seed << '\n';
        }
    }
    std::vector<std::unique_ptr<BackgroundProcess>> readers;
    for (int i = 0; i < kReaders; ++i) {
        readers.push_back(std::make_unique<BackgroundProcess>(std::vector<std::string>{
            VOSKE_BINARY_DIR "/stress_reader", control, std::to_string(i), control + "/plan-" + std::to_string(i)}));
    }

    const auto countLines = [&](const std::string& prefix) {
        int count = 0;
        for (const std::string& line : LogMessages(env.LogFile())) {
            if (line.rfind(prefix, 0) == 0) ++count;
        }
        return count;
    };
    // A reader's close leaves the file as the engine delivered it; a dehydrating handle's close leaves no data.
    const auto skippedCloses = [&] {
        return countLines("[WRITEBACK] unchanged close skipped") + countLines("[WRITEBACK] WRITEBACK dehydrated close skipped");
    };
    int reads = 0, failures = 0, fetchesExpected = 0, closesExpected = 0, threadsPeak = threadsBefore;
    unsigned long long bytesVerified = 0, bytesFetchedExpected = 0;
    for (int r = 0; r < rounds; ++r) {
        WriteFileBytes(control + "/go-" + std::to_string(r), "go");
        const auto done = [&](int i) { return control + "/done-" + std::to_string(r) + "-" + std::to_string(i); };
        ASSERT_TRUE(WaitUntil(
            [&] {
                for (int i = 0; i < kReaders; ++i) {
                    if (!FileExists(done(i))) return false;
                }
                return true;
            },
            120000))
            << "round " << r << " did not finish";
        threadsPeak = std::max(threadsPeak, ThreadCount(provider.Pid()));
        std::set<size_t> hydrated;
        for (int i = 0; i < kReaders; ++i) {
            const std::string result = ReadFileBytes(done(i));
            const Seeded& f = files[plan[i][r]];
            ++reads;
            ++closesExpected;
            if (result == "ok " + std::to_string(f.file.size) + "\n") {
                bytesVerified += f.file.size;
            } else {
                ++failures;
                ADD_FAILURE() << "round " << r << " reader " << i << " " << f.file.name << ": " << result;
            }
            hydrated.insert(plan[i][r]);
        }
        // The readers' closes are handled before the data goes.
        EXPECT_TRUE(WaitUntil([&] { return skippedCloses() == closesExpected; }, 30000))
            << "round " << r << ": " << skippedCloses() << " of " << closesExpected << " closes";
        // Each file read in a round was fetched once, however many readers shared it; then it gives its data
        // back so that the next round fetches again. The dehydrating handle's close is announced too, and is
        // handled before the next round (a fetch's writes move the file's time until it completes, so a close
        // handled during the next round's fetch could be taken for a change).
        for (size_t k : hydrated) {
            ++fetchesExpected;
            ++closesExpected;
            bytesFetchedExpected += files[k].file.size;
            ASSERT_EQ(Dehydrate(files[k].placeholderPath), S_OK) << files[k].file.name;
        }
        EXPECT_TRUE(WaitUntil([&] { return skippedCloses() == closesExpected; }, 30000))
            << "round " << r << ": " << skippedCloses() << " of " << closesExpected << " closes";
    }
    for (auto& reader : readers) {
        int exitCode = -1;
        ASSERT_TRUE(reader->Wait(60000, &exitCode));
        EXPECT_EQ(exitCode, 0) << reader->Err();
        EXPECT_FALSE(HasSanitizerReport(reader->Err())) << reader->Err();
    }

    // Every close after a read or a dehydration reached the provider and was found unchanged or without data.
    EXPECT_EQ(skippedCloses(), closesExpected);
    int fetches = 0;
    unsigned long long bytesFetched = 0;
    for (const std::string& line : LogMessages(env.LogFile())) {
        unsigned long long bytes = 0;
        if (std::sscanf(line.c_str(), "[HYDRATE] HYDRATE_FROM_ENGINE_CACHE bytes=%llu hr=0x00000000", &bytes) == 1) {
            ++fetches;
            bytesFetched += bytes;
        }
    }
    EXPECT_EQ(countLines("[NO_NETWORK] FETCH_DATA entered"), fetchesExpected);
    EXPECT_EQ(fetches, fetchesExpected);
    EXPECT_EQ(bytesFetched, bytesFetchedExpected);
    EXPECT_TRUE(ErrorLines(env.LogFile()).empty()) << ErrorLines(env.LogFile()).front();

    // Callback threads started for the load end once it is over.
    int threadsAfter = ThreadCount(provider.Pid());
    EXPECT_TRUE(WaitUntil([&] { return (threadsAfter = ThreadCount(provider.Pid())) <= threadsBefore; }, 20000))
        << "threads before " << threadsBefore << ", peak " << threadsPeak << ", after " << threadsAfter;

    std::printf(
        "[stress] readers=%d rounds=%d reads=%d fetches=%d closes=%d bytes_verified=%llu "
        "bytes_fetched=%llu failures=%d provider_threads before=%d peak=%d after=%d\n",
        kReaders, rounds, reads, fetches, closesExpected, bytesVerified, bytesFetched, failures, threadsBefore,
        threadsPeak, threadsAfter);
    EXPECT_EQ(failures, 0);

    provider.Signal(SIGINT);
    EXPECT_TRUE(provider.Wait(20000));
    EXPECT_FALSE(HasSanitizerReport(provider.Err())) << provider.Err();
    RunProcess({VOSKE_PROGRAM, "unregister"});
}
