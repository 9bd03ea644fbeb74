// bench_placeholders.cpp - the bench verb's figures beside their raw baselines: 10,000 placeholders against a
// plain loop making the same files, and the verb's listing of the root against readdir + fstatat.
#include <dirent.h>

#include <memory>

#include "bench/bench_support.h"

namespace {

constexpr int kFiles = 10000;
// What the emulated filter keeps per placeholder: an 18-byte state record and the identity "bench-%05d.txt"
// in UTF-16 with its NUL (32 bytes). The baseline writes an attribute of the same size.
constexpr size_t kMetadataBytes = 18 + 32;

struct Figures {
    double createMs = 0;
    double enumMs = 0;
};

// Trees are removed only after the last measurement: ext4 without a journal walks past every inode freed in
// the last minute when it allocates one, so one run's deletions would slow the next run's creations. (The
// verb itself still deletes its placeholders as it unregisters.)
using Kept = std::vector<std::unique_ptr<bench::TempTree>>;

// One run of `voske-cf-spike bench` on a fresh LOCALAPPDATA; the figures are those of its BENCH line.
Figures RunBenchVerb(Kept& kept) {
    kept.push_back(std::make_unique<bench::TempTree>("verb"));
    const bench::TempTree& home = *kept.back();
    bench::Settle(home.Path());
    bench::ChildResult result = bench::RunChild({bench::Program(), "bench"}, home.Path());
    const std::string& log = result.err;
    size_t at = log.find("[BENCH] 10k placeholders create_ms=");
    Figures figures;
    int seen = 0;
    if (result.exitCode != 0 || at == std::string::npos ||
        std::sscanf(log.c_str() + at, "[BENCH] 10k placeholders create_ms=%lf enum_ms=%lf seen=%d", &figures.createMs,
                    &figures.enumMs, &seen) != 3 ||
        seen != kFiles) {
        bench::Fail("voske-cf-spike bench failed:\n" + log);
    }
    return figures;
}

// The plain listing: every name and its metadata, as a directory listing delivers them.
double ListPlain(const std::string& directory) {
    bench::Clock::time_point start = bench::Clock::now();
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) bench::Fail("cannot list " + directory);
    int seen = 0;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        struct stat st;
        if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) ++seen;
    }
    closedir(dir);
    double ms = bench::MillisecondsSince(start);
    if (seen != kFiles) bench::Fail("the plain listing saw " + std::to_string(seen) + " files");
    return ms;
}

Figures RunPlain(Kept& kept) {
    kept.push_back(std::make_unique<bench::TempTree>("plain"));
    const bench::TempTree& directory = *kept.back();
    bench::Settle(directory.Path());
    Figures figures;
    figures.createMs = bench::CreatePlainFiles(directory.Path(), kFiles, kMetadataBytes, 0);
    figures.enumMs = ListPlain(directory.Path());
    return figures;
}

std::vector<double> PerSecond(const std::vector<double>& milliseconds) {
    std::vector<double> rates;
    for (double ms : milliseconds) rates.push_back(ms > 0 ? kFiles * 1000.0 / ms : 0);
    return rates;
}

}  // namespace

int main() {
    const int reps = bench::Repetitions();
    std::fprintf(stderr, "bench_placeholders: %d repetitions of the bench verb and the plain loop\n", reps);
    std::vector<double> oursCreate, oursEnum, plainCreate, plainEnum;
    Kept kept;
    bench::WaitForFreedInodesToAge();
    for (int rep = 0; rep < reps; ++rep) {
        // Alternate which goes first, so neither always meets the file system right after the other.
        Figures ours, plain;
        if (rep % 2 == 0) {
            ours = RunBenchVerb(kept);
            plain = RunPlain(kept);
        } else {
            plain = RunPlain(kept);
            ours = RunBenchVerb(kept);
        }
        oursCreate.push_back(ours.createMs);
        oursEnum.push_back(ours.enumMs);
        plainCreate.push_back(plain.createMs);
        plainEnum.push_back(plain.enumMs);
        bench::Note("rep " + std::to_string(rep + 1) + ": create " + bench::Format("%.1f", ours.createMs) + " vs " +
                    bench::Format("%.1f", plain.createMs) + " ms, enum " + bench::Format("%.1f", ours.enumMs) + " vs " +
                    bench::Format("%.1f", plain.enumMs) + " ms");
    }

    bench::Summary createRatio = bench::Summarize(bench::Ratios(oursCreate, plainCreate));
    bench::PrintRow("`bench` verb: create_ms, 10k placeholders",
                    bench::Cell(bench::Summarize(oursCreate), "%.1f", "ms"),
                    bench::Cell(bench::Summarize(plainCreate), "%.1f", "ms"), bench::RatioCell(createRatio), "<= 1.3x",
                    bench::Met(createRatio.median <= 1.3));
    bench::Summary enumRatio = bench::Summarize(bench::Ratios(oursEnum, plainEnum));
    bench::PrintRow("`bench` verb: enum_ms, listing 10k", bench::Cell(bench::Summarize(oursEnum), "%.1f", "ms"),
                    bench::Cell(bench::Summarize(plainEnum), "%.1f", "ms"), bench::RatioCell(enumRatio), "<= 1.5x",
                    bench::Met(enumRatio.median <= 1.5));
    // The same runs as a rate; the ratio is ours over the baseline's, so higher is better here.
    std::vector<double> oursRate = PerSecond(oursCreate), plainRate = PerSecond(plainCreate);
    bench::PrintRow("`bench` verb: placeholders per second", bench::Cell(bench::Summarize(oursRate), "%.0f", "/s"),
                    bench::Cell(bench::Summarize(plainRate), "%.0f", "/s"),
                    bench::RatioCell(bench::Summarize(bench::Ratios(oursRate, plainRate))), "report only", "-");
    return 0;
}
