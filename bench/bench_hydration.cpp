// bench_hydration.cpp - hydration across processes with `voske-cf-spike connect` serving: a 256 MiB placeholder
// read by another process against `cp` of the same cache file, and the latency of 1000 reads of 4 KiB files.
// Started with --read or --latency it is itself the reading process, an application of the emulated platform.
#include "bench/bench_support.h"
#include "platform/posix/win32/posix_handle.h"
#include "platform/win32.h"

namespace {

constexpr long long kBigBytes = 256LL * 1024 * 1024;
constexpr int kLatencyFiles = 1000;
constexpr long long kSmallBytes = 4096;
constexpr size_t kChunk = 1 << 20;

// ---- The reading process ----

// Reads the file as any application does, through CreateFileW and ReadFile. The first read of a dehydrated
// placeholder returns once the provider has fetched the whole file (the registered hydration policy is full),
// so the first MiB is the hydration; with `all` the reader goes on to the end. Exit code 0 when the expected
// number of bytes came.
int ReadPlaceholder(const std::string& posixPath, long long expected, bool all) {
    HANDLE file = CreateFileW(posix::ToWindowsPath(posixPath).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 3;
    std::vector<char> buffer(kChunk);
    long long total = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
            CloseHandle(file);
            return 4;
        }
        if (got == 0) break;
        total += got;
        if (!all) break;
    }
    CloseHandle(file);
    return total == (all ? expected : std::min<long long>(expected, static_cast<long long>(kChunk))) ? 0 : 5;
}

// Opens, reads and closes `count` dehydrated 4 KiB placeholders one after the other, timing each from the
// open to the close; the microseconds go to `out`, one per line.
int ReadSmallFiles(const std::string& directory, int first, int count, const std::string& out) {
    std::string samples;
    char buffer[kSmallBytes];
    for (int k = first; k < first + count; ++k) {
        char name[32];
        std::snprintf(name, sizeof(name), "/f%05d.bin", k);
        std::wstring path = posix::ToWindowsPath(directory + name);
        bench::Clock::time_point start = bench::Clock::now();
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return 3;
        DWORD got = 0;
        BOOL ok = ReadFile(file, buffer, sizeof(buffer), &got, nullptr);
        CloseHandle(file);
        double microseconds = bench::MillisecondsSince(start) * 1000.0;
        if (!ok || got != kSmallBytes) return 4;
        samples += bench::Format("%.1f", microseconds) + "\n";
    }
    bench::WriteFileBytes(out, samples);
    return 0;
}

// ---- The benchmark ----

// Bytes that depend on their offset, so a piece in the wrong place shows.
void WritePatternFile(const std::string& path, long long size) {
    std::vector<char> chunk(kChunk);
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) bench::Fail("cannot write " + path);
    for (long long at = 0; at < size; at += static_cast<long long>(chunk.size())) {
        for (size_t i = 0; i < chunk.size(); ++i) {
            chunk[i] = static_cast<char>((static_cast<long long>(i) * 31 + (at >> 20) * 7 + 1) & 0xFF);
        }
        size_t part = static_cast<size_t>(std::min<long long>(size - at, static_cast<long long>(chunk.size())));
        if (std::fwrite(chunk.data(), 1, part, file) != part) bench::Fail("cannot write " + path);
    }
    std::fclose(file);
}

bool SameBytes(const std::string& a, const std::string& b) {
    FILE* fa = std::fopen(a.c_str(), "rb");
    FILE* fb = std::fopen(b.c_str(), "rb");
    bool same = fa != nullptr && fb != nullptr;
    std::vector<char> ba(kChunk), bb(kChunk);
    while (same) {
        size_t ga = std::fread(ba.data(), 1, ba.size(), fa);
        size_t gb = std::fread(bb.data(), 1, bb.size(), fb);
        same = ga == gb && std::memcmp(ba.data(), bb.data(), ga) == 0;
        if (ga == 0) break;
    }
    if (fa != nullptr) std::fclose(fa);
    if (fb != nullptr) std::fclose(fb);
    return same;
}

// The engine delivers a cache file with the item's times; the placeholders have the manifest's (zero) times.
// Giving the cache files the placeholders' last-write time makes a reader's close an unchanged close, so the
// provider does not copy 256 MiB back into the engine's queue between two measurements.
void MatchLastWriteTime(const std::string& placeholder, const std::vector<std::string>& cacheFiles) {
    struct stat st;
    if (stat(placeholder.c_str(), &st) != 0) bench::Fail("no placeholder " + placeholder);
    timespec times[2] = {{0, UTIME_OMIT}, st.st_mtim};
    for (const std::string& file : cacheFiles) utimensat(AT_FDCWD, file.c_str(), times, 0);
}

double MiBPerSecond(double milliseconds) { return (kBigBytes / 1048576.0) / (milliseconds / 1000.0); }

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--read") == 0) {
        return ReadPlaceholder(argv[2], std::atoll(argv[3]), std::strcmp(argv[4], "all") == 0);
    }
    if (argc == 6 && std::strcmp(argv[1], "--latency") == 0) {
        return ReadSmallFiles(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), argv[5]);
    }

    const int reps = bench::Repetitions();
    std::fprintf(stderr, "bench_hydration: %d repetitions of 256 MiB (ours and cp) and of %d reads of 4 KiB\n", reps,
                 kLatencyFiles);
    bench::TempTree home("hydration");
    bench::ProgramTree tree{home.Path()};
    bench::RunVerb("register", home.Path());

    // The product cache and a manifest naming one 256 MiB placeholder per repetition (all served by the same
    // cache file) and 1000 placeholders of 4 KiB per repetition.
    const std::string bigCache = tree.Cache() + "/d1/i1/big.bin";
    bench::MakeDirectories(tree.Cache() + "/d1/i1");
    bench::MakeDirectories(tree.Cache() + "/d1/lat");
    WritePatternFile(bigCache, kBigBytes);
    std::vector<std::string> cacheFiles = {bigCache};
    std::string manifest;
    // Each placeholder has an identity of its own (seeding gives one identity to one placeholder only); their cache
    // files are links to the one file.
    auto addBig = [&](const std::string& item) {
        bench::MakeDirectories(tree.Cache() + "/d1/" + item);
        const std::string linked = tree.Cache() + "/d1/" + item + "/big.bin";
        if (link(bigCache.c_str(), linked.c_str()) != 0) bench::Fail("cannot link " + linked);
        manifest += "d1\t" + item + "\t" + item + "\\big.bin\t" + std::to_string(kBigBytes) + "\tbig.bin\n";
    };
    addBig("warm0");
    for (int rep = 0; rep < reps; ++rep) {
        for (const char* kind : {"first", "all"}) addBig(kind + std::to_string(rep));
    }
    const int smallFiles = reps * kLatencyFiles;
    std::string smallBytes(kSmallBytes, 's');
    for (int k = 0; k < smallFiles; ++k) {
        char name[32];
        std::snprintf(name, sizeof(name), "f%05d.bin", k);
        bench::WriteFileBytes(tree.Cache() + "/d1/lat/" + name, smallBytes);
        cacheFiles.push_back(tree.Cache() + "/d1/lat/" + name);
        manifest += std::string("d1\tlat\tlat\\") + name + "\t" + std::to_string(kSmallBytes) + "\t" + name + "\n";
    }
    bench::WriteFileBytes(tree.Manifest(), manifest);
    bench::RunVerb("seed", home.Path());
    MatchLastWriteTime(tree.SyncRoot() + "/first0/big.bin", cacheFiles);

    bench::Provider provider(tree);
    // The connect verb seeds again from the manifest as it starts; that run is over before anything is measured.
    if (!bench::WaitUntil(
            [&] { return bench::CountOccurrences(bench::ReadFileBytes(tree.LogFile()), "[SEED] manifest seen") >= 2; },
            120000)) {
        bench::Fail("the provider's own seeding did not end");
    }

    std::vector<double> firstMs, allMs, cpMs, warmMs;
    const std::string copy = home.Path() + "/cp-copy.bin";
    // Repetition -1 is the unmeasured warm-up of both: the first large write of a process tree pays for memory
    // the later ones find ready.
    for (int rep = -1; rep < reps; ++rep) {
        // Each run starts with the dirty pages of the previous one written out.
        auto runReader = [&](const char* kind, std::vector<double>& into) {
            const std::string placeholder = tree.SyncRoot() + "/" +
                                            (rep < 0 ? std::string("warm") : std::string(kind)) +
                                            std::to_string(rep < 0 ? 0 : rep) + "/big.bin";
            bench::Settle(home.Path());
            bench::ChildResult read = bench::RunChild(
                {bench::BuiltProgram("bench_hydration"), "--read", placeholder, std::to_string(kBigBytes), kind},
                home.Path());
            if (read.exitCode != 0) bench::Fail("the reader failed with " + std::to_string(read.exitCode));
            into.push_back(read.milliseconds);
            if (!SameBytes(placeholder, bigCache)) bench::Fail("the hydrated placeholder differs from the cache file");
            unlink(placeholder.c_str());  // plain unlink: the provider is not asked, the space comes back at once
        };
        auto runCp = [&](std::vector<double>& into) {
            bench::Settle(home.Path());
            bench::ChildResult cp = bench::RunChild({"cp", bigCache, copy}, "");
            if (cp.exitCode != 0) bench::Fail("cp failed: " + cp.err);
            into.push_back(cp.milliseconds);
            if (!SameBytes(copy, bigCache)) bench::Fail("cp made a different copy");
            unlink(copy.c_str());
        };
        if (rep < 0) {
            runReader("warm", warmMs);
            runCp(warmMs);
            continue;
        }
        // Alternate which goes first, so neither always follows the other.
        if (rep % 2 == 0) {
            runReader("first", firstMs);
            runCp(cpMs);
        } else {
            runCp(cpMs);
            runReader("first", firstMs);
        }
        runReader("all", allMs);
        bench::Note("rep " + std::to_string(rep + 1) + ": 256 MiB hydrated in " +
                    bench::Format("%.0f", firstMs.back()) + " ms (read to the end " +
                    bench::Format("%.0f", allMs.back()) + " ms), cp " + bench::Format("%.0f", cpMs.back()) + " ms");
    }

    std::vector<double> p50s, p99s;
    for (int rep = 0; rep < reps; ++rep) {
        bench::Settle(home.Path());
        const std::string out = home.Path() + "/latency.txt";
        bench::ChildResult read =
            bench::RunChild({bench::BuiltProgram("bench_hydration"), "--latency", tree.SyncRoot() + "/lat",
                             std::to_string(rep * kLatencyFiles), std::to_string(kLatencyFiles), out},
                            home.Path());
        if (read.exitCode != 0) bench::Fail("the latency reader failed with " + std::to_string(read.exitCode));
        std::vector<double> samples;
        std::istringstream lines(bench::ReadFileBytes(out));
        for (double microseconds; lines >> microseconds;) samples.push_back(microseconds / 1000.0);
        if (samples.size() != static_cast<size_t>(kLatencyFiles)) bench::Fail("the latency reader lost samples");
        p50s.push_back(bench::Percentile(samples, 0.50));
        p99s.push_back(bench::Percentile(samples, 0.99));
        bench::Note("rep " + std::to_string(rep + 1) + ": 4 KiB p50 " + bench::Format("%.3f", p50s.back()) +
                    " ms, p99 " + bench::Format("%.3f", p99s.back()) + " ms");
    }
    const std::string log = bench::ReadFileBytes(tree.LogFile());
    // Every small read was a hydration served by the provider, not a read of data already there.
    int served = bench::CountOccurrences(log, "HYDRATE_FROM_ENGINE_CACHE bytes=4096 hr=0x00000000");
    if (served != smallFiles) bench::Fail("the provider served " + std::to_string(served) + " small hydrations");
    int errors = bench::CountOccurrences(log, "[ERROR]");
    if (errors > 0) bench::Note("the provider logged " + std::to_string(errors) + " ERROR lines");

    auto rates = [](const std::vector<double>& milliseconds) {
        std::vector<double> out;
        for (double ms : milliseconds) out.push_back(MiBPerSecond(ms));
        return out;
    };
    std::vector<double> firstRate = rates(firstMs), allRate = rates(allMs), cpRate = rates(cpMs);
    bench::Summary throughput = bench::Summarize(bench::Ratios(firstRate, cpRate));
    bench::PrintRow(
        "hydration of a 256 MiB placeholder across processes (reader's first read until the whole file "
        "is fetched)",
        bench::Cell(bench::Summarize(firstRate), "%.0f", "MiB/s"),
        "`cp` " + bench::Cell(bench::Summarize(cpRate), "%.0f", "MiB/s"), bench::RatioCell(throughput), ">= 0.7x",
        bench::Met(throughput.median >= 0.7));
    bench::PrintRow("the same, the reader then reading all 256 MiB",
                    bench::Cell(bench::Summarize(allRate), "%.0f", "MiB/s"),
                    "`cp` " + bench::Cell(bench::Summarize(cpRate), "%.0f", "MiB/s"),
                    bench::RatioCell(bench::Summarize(bench::Ratios(allRate, cpRate))), "report only", "-");
    bench::Summary p50 = bench::Summarize(p50s), p99 = bench::Summarize(p99s);
    bench::PrintRow("4 KiB hydration latency across processes, p50 of 1000", bench::Cell(p50, "%.3f", "ms"), "-", "-",
                    "<= 1 ms", bench::Met(p50.median <= 1.0));
    bench::PrintRow("4 KiB hydration latency across processes, p99 of 1000", bench::Cell(p99, "%.3f", "ms"), "-", "-",
                    "<= 5 ms", bench::Met(p99.median <= 5.0));
    return 0;
}
