// bench_mount.cpp - `cfemu mount` beside raw baselines in the same run: `cat` of a 256 MiB placeholder through it,
// dehydrated against `cp` of its cache file and hydrated against `cat` on the root; `ls -l` of 2,000 and of 10,000.
#include <sys/stat.h>

#include "bench/bench_support.h"

namespace {

constexpr long long kBigBytes = 256LL * 1024 * 1024;
constexpr int kListed = 10000;
constexpr int kFewListed = 2000;

void WriteBlocks(const std::string& path) {
    std::vector<char> block(1 << 20);
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) bench::Fail("cannot write " + path);
    for (long long at = 0; at < kBigBytes; at += static_cast<long long>(block.size())) {
        for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i * 131 + (at >> 20)) & 0xFF);
        if (std::fwrite(block.data(), 1, block.size(), file) != block.size()) bench::Fail("cannot write " + path);
    }
    std::fclose(file);
}

bool SameBytes(const std::string& a, const std::string& b) {
    return bench::RunChild({"cmp", "-s", a, b}, "").exitCode == 0;
}

bool Mounted(const std::string& mountpoint) {
    struct stat inside, parent;
    return stat(mountpoint.c_str(), &inside) == 0 && stat((mountpoint + "/..").c_str(), &parent) == 0 &&
           inside.st_dev != parent.st_dev;
}

double MiBPerSecond(double milliseconds) { return (kBigBytes / 1048576.0) / (milliseconds / 1000.0); }

}  // namespace

int main() {
    const int reps = bench::Repetitions();
    std::fprintf(stderr, "bench_mount: %d repetitions of 256 MiB (cat through the mount and cp) and of ls -l of %d\n",
                 reps, kListed);
    bench::TempTree home("mount");
    bench::ProgramTree tree{home.Path()};
    bench::RunVerb("register", home.Path());

    // One 256 MiB placeholder per repetition, all served by one cache file, and 10,000 small ones to list.
    const std::string bigCache = tree.Cache() + "/d1/i1/big.bin";
    bench::MakeDirectories(tree.Cache() + "/d1/i1");
    WriteBlocks(bigCache);
    // Each placeholder has an identity of its own; their cache files are links to the one file.
    std::string manifest;
    for (int rep = -1; rep < reps; ++rep) {
        const std::string item = "i" + std::to_string(rep + 2), number = std::to_string(rep + 1);
        if (item != "i1") {
            bench::MakeDirectories(tree.Cache() + "/d1/" + item);
            const std::string linked = tree.Cache() + "/d1/" + item + "/big.bin";
            if (link(bigCache.c_str(), linked.c_str()) != 0) bench::Fail("cannot link " + linked);
        }
        manifest += "d1\t" + item + "\tr" + number + "\\big.bin\t" + std::to_string(kBigBytes) + "\tbig.bin\n";
    }
    for (int k = 0; k < kListed + kFewListed; ++k) {
        char name[32];
        std::snprintf(name, sizeof(name), "f%05d.bin", k);
        const std::string directory = k < kListed ? "list" : "few";
        manifest += "d1\tl" + std::to_string(k) + "\t" + directory + "\\" + name + "\t" + std::to_string(1000 + k) +
                    "\t" + name + "\n";
    }
    bench::WriteFileBytes(tree.Manifest(), manifest);
    bench::RunVerb("seed", home.Path());
    // The cache file gets the placeholders' last-write time, so a reader's close is an unchanged close and the
    // provider copies nothing back between two measurements.
    struct stat placeholder;
    if (stat((tree.SyncRoot() + "/r0/big.bin").c_str(), &placeholder) != 0) bench::Fail("no placeholder");
    timespec times[2] = {{0, UTIME_OMIT}, placeholder.st_mtim};
    utimensat(AT_FDCWD, bigCache.c_str(), times, 0);

    bench::Provider provider(tree);
    if (!bench::WaitUntil(
            [&] { return bench::CountOccurrences(bench::ReadFileBytes(tree.LogFile()), "[SEED] manifest seen") >= 2; },
            120000)) {
        bench::Fail("the provider's own seeding did not end");
    }
    const std::string mountpoint = home.Path() + "/mnt";
    bench::MakeDirectories(mountpoint);
    bench::Child mount({bench::BuiltProgram("cfemu"), "mount", tree.SyncRoot(), mountpoint}, home.Path());
    if (!bench::WaitUntil([&] { return Mounted(mountpoint); }, 30000)) bench::Fail("cfemu mount did not mount");

    std::vector<double> catMs, cpMs, againMs, rootCatMs, mountListMs, rootListMs, mountFewMs, rootFewMs;
    const std::string copy = home.Path() + "/cp-copy.bin";
    for (int rep = -1; rep < reps; ++rep) {
        const std::string relative = "/r" + std::to_string(rep + 1) + "/big.bin";
        auto runCat = [&] {
            bench::Settle(home.Path());
            bench::ChildResult cat = bench::RunChild({"cat", mountpoint + relative}, "");
            if (cat.exitCode != 0) bench::Fail("cat through the mount failed: " + cat.err);
            if (rep >= 0) catMs.push_back(cat.milliseconds);
            if (!SameBytes(tree.SyncRoot() + relative, bigCache)) bench::Fail("the placeholder differs from the cache");
        };
        // The hydrated file read again, through the mount and on the root, alternating which goes first.
        auto runAgain = [&] {
            for (int turn = 0; turn < 2; ++turn) {
                const bool mounted = (turn == 0) == (rep % 2 == 0);
                const std::string path = (mounted ? mountpoint : tree.SyncRoot()) + relative;
                bench::ChildResult cat = bench::RunChild({"cat", path}, "");
                if (cat.exitCode != 0) bench::Fail("cat of the hydrated file failed: " + cat.err);
                if (rep >= 0) (mounted ? againMs : rootCatMs).push_back(cat.milliseconds);
            }
            unlink((tree.SyncRoot() + relative).c_str());  // plain unlink: the space comes back at once
        };
        auto runCp = [&] {
            bench::Settle(home.Path());
            bench::ChildResult cp = bench::RunChild({"cp", bigCache, copy}, "");
            if (cp.exitCode != 0) bench::Fail("cp failed: " + cp.err);
            if (rep >= 0) cpMs.push_back(cp.milliseconds);
            unlink(copy.c_str());
        };
        auto runList = [&](const std::string& directory, std::vector<double>& into) {
            bench::ChildResult ls = bench::RunChild({"ls", "-l", directory}, "");
            if (ls.exitCode != 0) bench::Fail("ls -l " + directory + " failed: " + ls.err);
            if (rep >= 0) into.push_back(ls.milliseconds);
        };
        // Alternate which goes first, so neither always follows the other.
        if (rep % 2 == 0) {
            runCat();
            runCp();
            runList(mountpoint + "/list", mountListMs);
            runList(tree.SyncRoot() + "/list", rootListMs);
            runList(mountpoint + "/few", mountFewMs);
            runList(tree.SyncRoot() + "/few", rootFewMs);
        } else {
            runCp();
            runCat();
            runList(tree.SyncRoot() + "/list", rootListMs);
            runList(mountpoint + "/list", mountListMs);
            runList(tree.SyncRoot() + "/few", rootFewMs);
            runList(mountpoint + "/few", mountFewMs);
        }
        runAgain();
        if (rep >= 0) {
            bench::Note("rep " + std::to_string(rep + 1) + ": cat " + bench::Format("%.0f", catMs.back()) +
                        " ms, cp " + bench::Format("%.0f", cpMs.back()) + " ms; again " +
                        bench::Format("%.0f", againMs.back()) + " ms, on the root " +
                        bench::Format("%.0f", rootCatMs.back()) + " ms; ls -l " +
                        bench::Format("%.1f", mountListMs.back()) + " ms through the mount, " +
                        bench::Format("%.1f", rootListMs.back()) + " ms on the root");
        }
    }
    mount.Signal(SIGTERM);
    if (mount.Wait().exitCode != 0) bench::Fail("cfemu mount did not end cleanly");

    auto rates = [](const std::vector<double>& milliseconds) {
        std::vector<double> out;
        for (double ms : milliseconds) out.push_back(MiBPerSecond(ms));
        return out;
    };
    std::vector<double> catRate = rates(catMs), cpRate = rates(cpMs), againRate = rates(againMs),
                        rootCatRate = rates(rootCatMs);
    bench::Summary throughput = bench::Summarize(bench::Ratios(catRate, cpRate));
    bench::Summary again = bench::Summarize(bench::Ratios(againRate, rootCatRate));
    bench::Summary listing = bench::Summarize(bench::Ratios(mountListMs, rootListMs));
    bench::PrintRow("`cat` of a dehydrated 256 MiB placeholder through `cfemu mount` (hydration and read)",
                    bench::Cell(bench::Summarize(catRate), "%.0f", "MiB/s"),
                    "`cp` " + bench::Cell(bench::Summarize(cpRate), "%.0f", "MiB/s"), bench::RatioCell(throughput),
                    ">= 0.5x", bench::Met(throughput.median >= 0.5));
    bench::PrintRow("`cat` of the then hydrated placeholder through `cfemu mount`",
                    bench::Cell(bench::Summarize(againRate), "%.0f", "MiB/s"),
                    "`cat` on the root " + bench::Cell(bench::Summarize(rootCatRate), "%.0f", "MiB/s"),
                    bench::RatioCell(again), ">= 0.7x", bench::Met(again.median >= 0.7));
    bench::PrintRow("`ls -l` of 10,000 placeholders through `cfemu mount`",
                    bench::Cell(bench::Summarize(mountListMs), "%.1f", "ms"),
                    "on the root " + bench::Cell(bench::Summarize(rootListMs), "%.1f", "ms"), bench::RatioCell(listing),
                    "<= 3x", bench::Met(listing.median <= 3.0));
    bench::PrintRow("`ls -l` of 2,000 placeholders through `cfemu mount`",
                    bench::Cell(bench::Summarize(mountFewMs), "%.1f", "ms"),
                    "on the root " + bench::Cell(bench::Summarize(rootFewMs), "%.1f", "ms"),
                    bench::RatioCell(bench::Summarize(bench::Ratios(mountFewMs, rootFewMs))), "report only", "-");
    return 0;
}
