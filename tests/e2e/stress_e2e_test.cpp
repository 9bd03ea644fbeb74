// stress_e2e_test.cpp - eight readers hydrate placeholders again and again; VOSKE_STRESS_LONG=1 runs 100 rounds.
#include "layout/file_open.h"
#include "tests/e2e/e2e_fixture.h"

namespace e2e {
namespace {

constexpr int kReaders = 8;

int ThreadCount(int pid) {
    std::error_code error;
    return std::distance(fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error), {});
}

HRESULT Dehydrate(const std::string& path) {
    // Alone, as the dehydrate verb holds it, waiting out the provider's own handle after a close (on a loaded machine
    // under the sanitizers, longer than the program's 2 s).
    HANDLE file = OpenExistingRetryingSharing(WindowsPathOf(path), GENERIC_READ | GENERIC_WRITE, 0, 30000);
    if (file == INVALID_HANDLE_VALUE) return HRESULT_FROM_WIN32(GetLastError());
    LARGE_INTEGER start{}, length{};
    length.QuadPart = CF_EOF;
    const HRESULT hr = CfDehydratePlaceholder(file, start, length, CF_DEHYDRATE_FLAG_NONE, nullptr);
    CloseHandle(file);
    return hr;
}

using Stress = ProgramTest;

TEST_F(Stress, EightReadersHydrateAgainAndAgainAndEveryByteIsTheCacheFiles) {
    const char* longForm = std::getenv("VOSKE_STRESS_LONG");
    const int rounds = longForm != nullptr && std::string(longForm) == "1" ? 100 : 25;
    // Four files every reader shares, then two of each reader's own, around the 4 KiB unit and 4 MiB pieces.
    const size_t sizes[4 + kReaders * 2] = {
        9 * kMiB,        4 * kMiB + 1, 1,    3 * 4096 + 17, 0,        4095,         4096,     4097,           65536,
        100000,          kMiB - 1,     kMiB, 2 * kMiB + 5,  3 * kMiB, 4 * kMiB - 1, 4 * kMiB, 5 * kMiB + 333, 6 * kMiB,
        8 * kMiB + 4095, 9 * kMiB - 1};
    std::vector<Seeded> files;
    for (size_t size : sizes) files.push_back({std::to_string(files.size()) + ".bin", size});
    SeedFiles(files);
    StartProvider();
    ASSERT_TRUE(WaitUntil([&] { return CountLines("[SEED] manifest seen") == 2; }, 30000));  // seed's and connect's
    const int threadsBefore = ThreadCount(provider->Pid());

    // Every fourth round all readers share one file, two rounds later pairs share one, else each reads its own.
    const auto fileOf = [](int i, int r) -> size_t {
        return r % 4 == 0 ? (r / 4) % 4 : r % 4 == 2 ? i % 4 : 4 + 2 * i + (r % 4 == 1 ? 0 : 1);
    };
    // A reader's close leaves the file as the engine delivered it; a dehydrating handle's close leaves no data.
    const auto skippedCloses = [&] {
        return CountLines("[WRITEBACK] unchanged close skipped") +
               CountLines("[WRITEBACK] WRITEBACK dehydrated close skipped");
    };
    int fetchesExpected = 0, closesExpected = 0;
    const auto closesHandled = [&] { return WaitUntil([&] { return skippedCloses() == closesExpected; }, 30000); };
    for (int r = 0; r < rounds; ++r) {
        std::vector<std::unique_ptr<BackgroundProcess>> readers;
        std::set<size_t> hydrated;
        for (int i = 0; i < kReaders; ++i) {
            hydrated.insert(fileOf(i, r));
            readers.push_back(StartCat(files[fileOf(i, r)].name));
        }
        for (int i = 0; i < kReaders; ++i) {
            const std::string want = ReadFileBytes(CacheFile(D1(files[fileOf(i, r)].name)));
            const int exitCode = ExitOf(*readers[i], 120000);
            EXPECT_TRUE(exitCode == 0 && readers[i]->Out() == want && !HasSanitizerReport(readers[i]->Err()))
                << "round " << r << " reader " << i << ": exit " << exitCode << ", " << readers[i]->Out().size()
                << " of " << want.size() << " bytes: " << readers[i]->Err();
        }
        closesExpected += kReaders;
        EXPECT_TRUE(closesHandled()) << "round " << r << ": " << skippedCloses() << " of " << closesExpected;
        // Each file read was fetched once; its data goes, the dehydrating close handled before the next round's fetch.
        for (size_t k : hydrated) {
            ++fetchesExpected;
            ++closesExpected;
            ASSERT_EQ(Dehydrate(Root(files[k].name)), S_OK) << files[k].name;
        }
        EXPECT_TRUE(closesHandled()) << "round " << r << ": " << skippedCloses() << " of " << closesExpected;
    }

    EXPECT_EQ(CountLines("[NO_NETWORK] FETCH_DATA entered"), fetchesExpected);
    EXPECT_TRUE(Errors().empty()) << Errors().front();

    EXPECT_TRUE(WaitUntil([&] { return ThreadCount(provider->Pid()) <= threadsBefore; }, 20000))
        << "threads before " << threadsBefore << ", after " << ThreadCount(provider->Pid());
}

}  // namespace
}  // namespace e2e
