// bench_insync.cpp - what the close of an unchanged 1 GiB placeholder costs now that the platform's in-sync state
// decides it, beside reading the file's attributes, and beside the older last-write-time-and-size test.
#include "app/event_log.h"
#include "bench/bench_support.h"
#include "layout/provider_paths.h"
#include "placeholders/identity.h"
#include "placeholders/seeding.h"
#include "syncroot/cloud_files.h"
#include "syncroot/registration.h"
#include "writeback/close_writeback.h"

#include <cstddef>

namespace {

constexpr int kCalls = 2000;
constexpr long long kFileBytes = 1LL << 30;

template <typename Step>
double MicrosecondsPerCall(Step step) {
    bench::Clock::time_point start = bench::Clock::now();
    for (int i = 0; i < kCalls; ++i) step();
    return bench::MillisecondsSince(start) * 1000.0 / kCalls;
}

}  // namespace

int main() {
    const int reps = bench::Repetitions();
    std::fprintf(stderr, "bench_insync: %d repetitions of %d calls each way on a hydrated 1 GiB placeholder\n", reps,
                 kCalls);
    bench::TempTree home("insync");
    bench::ProgramTree tree{home.Path()};
    // The engine's manifest and its cache file, then the placeholder, hydrated once by a provider of its own.
    bench::RunVerb("register", home.Path());
    bench::WriteFileBytes(tree.Provider() + "/seed-manifest.tsv", "d1\tbig\tbig.bin\t1073741824\tbig.bin\n");
    bench::RunVerb("seed", home.Path());
    const std::string cache = home.Path() + "/nq.vo.tarn.voskel/VOSKE/Cache/d1/big/big.bin";
    bench::MakeDirectories(cache.substr(0, cache.find_last_of('/')));
    bench::WriteFileBytes(cache, "");
    if (truncate(cache.c_str(), kFileBytes) != 0) bench::Fail("cannot size the cache file");
    const std::string file = tree.SyncRoot() + "/big.bin";
    {
        // Not bench::Provider: that one unregisters as it ends, and the placeholder must stay one.
        bench::Child provider({bench::Program(), "connect"}, home.Path());
        if (!bench::WaitUntil([&] { return bench::ReadFileBytes(tree.LogFile()).find("[CONNECT] Waiting") !=
                                           std::string::npos; },
                              30000)) {
            bench::Fail("the provider did not connect");
        }
        bench::ChildResult read = bench::RunChild({bench::BuiltProgram("cfemu"), "cat", file}, home.Path());
        provider.Signal(SIGINT);
        provider.Wait();
        if (read.exitCode != 0) bench::Fail("cannot hydrate the placeholder:\n" + read.err);
    }

    // The provider logged the close of that read already.
    const int skippedBefore = bench::CountOccurrences(bench::ReadFileBytes(tree.LogFile()), "[WRITEBACK] unchanged close skipped");
    setenv("LOCALAPPDATA", home.Path().c_str(), 1);
    InitProviderPaths();
    const std::wstring path = ProviderPaths.syncRoot + L"\\big.bin";
    const std::wstring cachePath = ProductCachePath(L"d1\\big\\big.bin");
    const std::vector<BYTE> identity = EncodeIdentityBlob(L"cf\td1\tbig\tbig.bin");
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) bench::Fail("cannot open the placeholder");

    // The close callback's whole decision, as the platform's close of a reader starts it: open, state, cache file,
    // the "unchanged close skipped" line (standard error goes to /dev/null, as in the log benchmark).
    auto wholeClose = [&] { WriteBackPlaceholder(path, identity.data(), static_cast<DWORD>(identity.size())); };
    // The check alone, on the handle the callback holds anyway.
    auto inSyncCheck = [&] {
        CF_PLACEHOLDER_BASIC_INFO info = {};
        DWORD returned = 0;
        CfGetPlaceholderInfo(handle, CF_PLACEHOLDER_INFO_BASIC, &info, sizeof(info), &returned);
    };
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    auto attributes = [&] { GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data); };
    auto oldTest = [&] {
        GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
        GetFileAttributesExW(cachePath.c_str(), GetFileExInfoStandard, &data);
    };

    int savedError = dup(2);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    std::vector<double> closes, checks, reads, olds;
    for (int rep = 0; rep < reps; ++rep) {
        dup2(null, 2);
        if (rep % 2 == 0) {
            closes.push_back(MicrosecondsPerCall(wholeClose));
            checks.push_back(MicrosecondsPerCall(inSyncCheck));
            reads.push_back(MicrosecondsPerCall(attributes));
            olds.push_back(MicrosecondsPerCall(oldTest));
        } else {
            olds.push_back(MicrosecondsPerCall(oldTest));
            reads.push_back(MicrosecondsPerCall(attributes));
            checks.push_back(MicrosecondsPerCall(inSyncCheck));
            closes.push_back(MicrosecondsPerCall(wholeClose));
        }
        dup2(savedError, 2);
        bench::Note("rep " + std::to_string(rep + 1) + ": close " + bench::Format("%.2f", closes.back()) +
                    " us, in-sync check " + bench::Format("%.2f", checks.back()) + " us, attributes " +
                    bench::Format("%.2f", reads.back()) + " us, old test " + bench::Format("%.2f", olds.back()) +
                    " us");
    }
    CloseHandle(handle);
    dup2(null, 2);
    UnregisterProviderSyncRoot();
    dup2(savedError, 2);
    const std::string log = bench::ReadFileBytes(tree.LogFile());
    const int skipped = bench::CountOccurrences(log, "[WRITEBACK] unchanged close skipped") - skippedBefore;
    if (skipped != reps * kCalls) {
        bench::Fail("only " + std::to_string(skipped) + " of " + std::to_string(reps * kCalls) +
                    " closes of the unchanged placeholder were skipped");
    }

    const bench::Summary check = bench::Summarize(bench::Ratios(checks, reads));
    bench::PrintRow("in-sync check of a hydrated 1 GiB placeholder (`CfGetPlaceholderInfo` on the open handle)",
                    bench::Cell(bench::Summarize(checks), "%.2f", "us"),
                    "`GetFileAttributesExW` of it " + bench::Cell(bench::Summarize(reads), "%.2f", "us"),
                    bench::RatioCell(check), "<= 1x", bench::Met(check.median <= 1.0));
    bench::PrintRow("the older test it precedes (`GetFileAttributesExW` of the file and of its cache file)",
                    bench::Cell(bench::Summarize(olds), "%.2f", "us"),
                    "`GetFileAttributesExW` of it " + bench::Cell(bench::Summarize(reads), "%.2f", "us"),
                    bench::RatioCell(bench::Summarize(bench::Ratios(olds, reads))), "report only", "-");
    bench::PrintRow("unchanged close of it, the whole callback (open, state, cache file, log line)",
                    bench::Cell(bench::Summarize(closes), "%.2f", "us"),
                    "`GetFileAttributesExW` of it " + bench::Cell(bench::Summarize(reads), "%.2f", "us"),
                    bench::RatioCell(bench::Summarize(bench::Ratios(closes, reads))), "report only", "-");
    return 0;
}
