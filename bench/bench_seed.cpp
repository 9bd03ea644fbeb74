// bench_seed.cpp - `voske-cf-spike seed` over a manifest of 100,000 entries beside a plain loop making the same
// 100,000 files, the seeding process's peak resident memory, and what the item database takes on disk per item.
#include <memory>

#include "bench/bench_support.h"

namespace {

constexpr int kEntries = 100000;
// Identities of 44 bytes, as the demonstration placeholder's: "cf", "d1", a five-digit hex item id and the
// name "%05x.txt", TAB-joined, in UTF-16 with a NUL. With the 18-byte state the record is 62 bytes; the
// baseline writes an attribute of the same size.
constexpr size_t kIdentityBytes = 2 * (2 + 1 + 2 + 1 + 5 + 1 + 9 + 1);
constexpr size_t kMetadataBytes = 18 + kIdentityBytes;
constexpr long long kSize = 4096;

struct Seeded {
    double milliseconds = 0;
    double peakMiB = 0;
    double databaseBytes = -1;  // items.db and its write-ahead log once `seed` has ended; -1 when there is none
};

// The size of the item database the seed run left: the file and its write-ahead log (the log may be gone, when
// the last connection checkpointed it as it closed). -1 when the program keeps no item database.
double DatabaseBytes(const bench::ProgramTree& tree) {
    struct stat info {};
    const std::string database = tree.Provider() + "/items.db";
    if (stat(database.c_str(), &info) != 0) return -1;
    double bytes = static_cast<double>(info.st_size);
    if (stat((database + "-wal").c_str(), &info) == 0) bytes += static_cast<double>(info.st_size);
    return bytes;
}

// The trees are removed only after the last measurement (see `kept` in main).
using Kept = std::vector<std::unique_ptr<bench::TempTree>>;

Seeded RunSeedVerb(Kept& kept) {
    kept.push_back(std::make_unique<bench::TempTree>("seed"));
    const bench::TempTree& home = *kept.back();
    bench::ProgramTree tree{home.Path()};
    bench::RunVerb("register", home.Path());
    std::string manifest;
    manifest.reserve(static_cast<size_t>(kEntries) * 40);
    for (int k = 0; k < kEntries; ++k) {
        char line[96];
        std::snprintf(line, sizeof(line), "d1\t%05x\t%05x.txt\t%lld\t%05x.txt\n", k, k, kSize, k);
        manifest += line;
    }
    bench::WriteFileBytes(tree.Manifest(), manifest);
    bench::Settle(home.Path());

    bench::ChildResult seed = bench::RunChild({bench::Program(), "seed"}, home.Path());
    if (seed.exitCode != 0 ||
        seed.err.find("[SEED] manifest seen 100000 seeded 100000 (cap 100000, no network)") == std::string::npos) {
        bench::Fail("voske-cf-spike seed failed:\n" + seed.err);
    }
    Seeded result;
    result.milliseconds = seed.milliseconds;
    result.peakMiB = static_cast<double>(seed.maxRssKiB) / 1024.0;
    result.databaseBytes = DatabaseBytes(tree);
    return result;
}

double RunPlain(Kept& kept) {
    kept.push_back(std::make_unique<bench::TempTree>("plain"));
    const bench::TempTree& directory = *kept.back();
    bench::Settle(directory.Path());
    return bench::CreatePlainFiles(directory.Path(), kEntries, kMetadataBytes, kSize);
}

}  // namespace

int main() {
    const int reps = bench::Repetitions();
    std::fprintf(stderr, "bench_seed: %d repetitions of seeding 100,000 manifest entries and the plain loop\n", reps);
    std::vector<double> oursMs, plainMs, peaks, bytesPerItem;
    // Nothing is deleted while measuring: ext4 without a journal walks past every inode freed in the last
    // minute when it allocates one, and 100,000 files reach into many block groups, so one run's deletions
    // would slow the next run's creations.
    Kept kept;
    // Nor right after earlier benchmarks' deletions.
    bench::WaitForFreedInodesToAge();
    for (int rep = 0; rep < reps; ++rep) {
        Seeded ours;
        double plain = 0;
        // Alternate which goes first, so neither always follows the other.
        if (rep % 2 == 0) {
            ours = RunSeedVerb(kept);
            plain = RunPlain(kept);
        } else {
            plain = RunPlain(kept);
            ours = RunSeedVerb(kept);
        }
        oursMs.push_back(ours.milliseconds);
        plainMs.push_back(plain);
        peaks.push_back(ours.peakMiB);
        if (ours.databaseBytes >= 0) bytesPerItem.push_back(ours.databaseBytes / kEntries);
        bench::Note("rep " + std::to_string(rep + 1) + ": seed " + bench::Format("%.0f", ours.milliseconds) +
                    " ms (peak " + bench::Format("%.1f", ours.peakMiB) + " MiB, item database " +
                    (ours.databaseBytes >= 0 ? bench::Format("%.0f", ours.databaseBytes) + " bytes" : "none") +
                    "), plain " + bench::Format("%.0f", plain) + " ms");
    }
    bench::Summary ratio = bench::Summarize(bench::Ratios(oursMs, plainMs));
    bench::PrintRow("seeding a 100000-entry manifest (`seed`, the whole process)",
                    bench::Cell(bench::Summarize(oursMs), "%.0f", "ms"),
                    bench::Cell(bench::Summarize(plainMs), "%.0f", "ms"), bench::RatioCell(ratio), "<= 2x",
                    bench::Met(ratio.median <= 2.0));
    bench::Summary peak = bench::Summarize(peaks);
    bench::PrintRow("peak RSS of that `seed` process", bench::Cell(peak, "%.1f", "MiB"), "-", "-", "<= 64 MiB",
                    bench::Met(peak.max <= 64.0));
    // Every repetition seeds the same 100,000 entries into a database of its own, so the sizes should agree.
    if (bytesPerItem.empty()) {
        bench::PrintRow("item database bytes per item (items.db and items.db-wal after that `seed`)", "no item database",
                        "-", "-", "< 300", "-");
    } else {
        bench::Summary perItem = bench::Summarize(bytesPerItem);
        bench::PrintRow("item database bytes per item (items.db and items.db-wal after that `seed`)",
                        bench::Cell(perItem, "%.1f", "bytes"), "-", "-", "< 300", bench::Met(perItem.max < 300.0));
    }
    return 0;
}
