// bench_pins.cpp - "Always keep on this device" and "Free up space" with `voske-cf-spike connect` serving: a folder of
// 1,000 dehydrated placeholders of 1 MiB pinned with `cfemu attrib +P` until the provider reports all of them
// hydrated, against `cp -r` of their cache files; then unpinned (`-P +U`) until all their space is given back. The
// provider's peak threads and memory over the whole run.
#include "bench/bench_support.h"

namespace {

constexpr int kFiles = 1000;
constexpr long long kFileBytes = 1LL << 20;

long long BlocksBelow(const std::string& directory) {
    long long blocks = 0;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        struct stat st;
        if (stat(entry.path().c_str(), &st) == 0) blocks += st.st_blocks;
    }
    return blocks;
}

// A value of /proc/PID/status ("Threads", "VmHWM"), 0 when it cannot be read.
long StatusValue(pid_t pid, const std::string& key) {
    std::istringstream status(bench::ReadFileBytes("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(key + ":", 0) == 0) return std::atol(line.c_str() + key.size() + 1);
    }
    return 0;
}

// Files hydrated and dehydrated, summed over the provider's done lines after the first `skip` of them.
std::pair<int, int> DoneSince(const std::string& log, int skip) {
    const std::string needle = "[PIN] background work done - ";
    int seen = 0, hydrated = 0, dehydrated = 0;
    for (size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + needle.size())) {
        if (seen++ < skip) continue;
        unsigned long long ignored = 0;
        int h = 0, d = 0;
        if (std::sscanf(log.c_str() + at + needle.size(), "%d files hydrated (%llu bytes), %d dehydrated", &h, &ignored,
                        &d) == 3) {
            hydrated += h;
            dehydrated += d;
        }
    }
    return {hydrated, dehydrated};
}

}  // namespace

int main() {
    const int reps = bench::Repetitions();
    std::fprintf(stderr, "bench_pins: %d repetitions of pinning and unpinning %d placeholders of 1 MiB, and of cp -r\n",
                 reps, kFiles);
    bench::TempTree home("pins");
    bench::ProgramTree tree{home.Path()};
    bench::RunVerb("register", home.Path());
    std::string manifest;
    std::string bytes(static_cast<size_t>(kFileBytes), '\0');
    std::vector<std::pair<std::string, std::string>> cacheFiles;  // path, name
    for (int k = 0; k < kFiles; ++k) {
        const std::string number = std::to_string(k);
        const std::string item = std::string("i").append(number), name = std::string("f").append(number).append(".bin");
        for (size_t b = 0; b < bytes.size(); b += 4096) bytes[b] = static_cast<char>(k + b / 4096);
        bench::MakeDirectories(tree.Cache() + "/d1/" + item);
        cacheFiles.emplace_back(tree.Cache() + "/d1/" + item + "/" + name, name);
        bench::WriteFileBytes(cacheFiles.back().first, bytes);
        manifest += "d1\t" + item + "\tpins\\" + name + "\t" + std::to_string(kFileBytes) + "\t" + name + "\n";
    }
    bench::WriteFileBytes(tree.Manifest(), manifest);
    bench::RunVerb("seed", home.Path());
    // The cache files the baseline copies, gathered in one directory (links: no second copy of their bytes).
    const std::string gathered = home.Path() + "/gathered", copy = home.Path() + "/cp-copy";
    bench::MakeDirectories(gathered);
    for (const auto& [path, name] : cacheFiles) {
        if (link(path.c_str(), (gathered + "/" + name).c_str()) != 0) bench::Fail("cannot link " + name);
    }

    bench::Provider provider(tree);
    const std::string pins = tree.SyncRoot() + "/pins";
    const auto attrib = [&](const std::vector<std::string>& flags) {
        std::vector<std::string> argv = {bench::BuiltProgram("cfemu"), "attrib"};
        argv.insert(argv.end(), flags.begin(), flags.end());
        argv.push_back(pins);
        return bench::RunChild(argv, home.Path()).exitCode == 0;
    };
    // The folder seeding made becomes a placeholder once the provider's watcher has looked at it.
    if (!bench::WaitUntil([&] { return attrib({"-U"}); }, 30000)) bench::Fail("the folder never became a placeholder");
    long peakThreads = 0;
    // Until the provider's done lines since `skip` count every file (hydrated, or dehydrated), sampling its threads.
    const auto waitForFiles = [&](int skip, bool hydrating) {
        return bench::WaitUntil(
            [&] {
                peakThreads = std::max(peakThreads, StatusValue(provider.Pid(), "Threads"));
                const std::pair<int, int> done = DoneSince(bench::ReadFileBytes(tree.LogFile()), skip);
                return (hydrating ? done.first : done.second) >= kFiles;
            },
            300000);
    };
    const auto doneLines = [&] {
        return bench::CountOccurrences(bench::ReadFileBytes(tree.LogFile()), "[PIN] background work done - ");
    };

    std::vector<double> pinMs, unpinMs, cpMs;
    for (int rep = 0; rep < reps; ++rep) {
        const auto runCp = [&] {
            bench::Settle(home.Path());
            bench::ChildResult cp = bench::RunChild({"cp", "-r", gathered, copy}, "");
            if (cp.exitCode != 0) bench::Fail("cp -r failed: " + cp.err);
            cpMs.push_back(cp.milliseconds);
            bench::RemoveTree(copy);
        };
        if (rep % 2 == 1) runCp();
        bench::Settle(home.Path());
        const long long before = BlocksBelow(pins);
        int skip = doneLines();
        auto start = bench::Clock::now();
        if (!attrib({"+P", "-U"})) bench::Fail("attrib +P failed");
        if (!waitForFiles(skip, true)) bench::Fail("the pinned folder was not hydrated");
        pinMs.push_back(bench::MillisecondsSince(start));
        const long long hydrated = BlocksBelow(pins);
        if ((hydrated - before) * 512 < kFiles * kFileBytes * 9 / 10) bench::Fail("the hydrated files take no space");
        if (rep % 2 == 0) runCp();
        skip = doneLines();
        start = bench::Clock::now();
        if (!attrib({"-P", "+U"})) bench::Fail("attrib -P +U failed");
        if (!waitForFiles(skip, false)) bench::Fail("the unpinned folder was not dehydrated");
        unpinMs.push_back(bench::MillisecondsSince(start));
        if ((hydrated - BlocksBelow(pins)) * 512 < kFiles * kFileBytes * 9 / 10) bench::Fail("no space was given back");
        bench::Note("rep " + std::to_string(rep + 1) + ": pinned in " + bench::Format("%.0f", pinMs.back()) +
                    " ms, cp -r " + bench::Format("%.0f", cpMs.back()) + " ms, unpinned in " +
                    bench::Format("%.0f", unpinMs.back()) + " ms");
    }
    const long peakKiB = StatusValue(provider.Pid(), "VmHWM");
    const int errors = bench::CountOccurrences(bench::ReadFileBytes(tree.LogFile()), "[ERROR]");
    if (errors > 0) bench::Note("the provider logged " + std::to_string(errors) + " ERROR lines");

    const bench::Summary speed = bench::Summarize(bench::Ratios(cpMs, pinMs));
    bench::PrintRow("pinning a folder of 1,000 placeholders of 1 MiB until all are hydrated (`cfemu attrib +P` "
                    "until the provider's done line)",
                    bench::Cell(bench::Summarize(pinMs), "%.0f", "ms"),
                    "`cp -r` " + bench::Cell(bench::Summarize(cpMs), "%.0f", "ms"), bench::RatioCell(speed) + " speed",
                    ">= 0.5x", bench::Met(speed.median >= 0.5));
    bench::PrintRow("unpinning it until all their space is given back", bench::Cell(bench::Summarize(unpinMs), "%.0f", "ms"),
                    "-", "-", "report only", "-");
    bench::PrintRow("the provider's peak threads over the run", std::to_string(peakThreads), "-", "-", "report only", "-");
    bench::PrintRow("the provider's peak RSS over the run", bench::Format("%.1f", peakKiB / 1024.0) + " MiB", "-", "-",
                    "report only", "-");
    return 0;
}
