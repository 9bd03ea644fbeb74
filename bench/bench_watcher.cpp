// bench_watcher.cpp - from a program's last write of a new file in the sync root to the staging copy and journal
// line the root watcher makes of it, for one file and for `tar x` of 1,000 files, with the provider's CPU time;
// beside the raw cost of the same work without a provider (the write alone, `tar x` into a plain directory).
#include <sys/stat.h>
#include <time.h>

#include "bench/bench_support.h"

namespace {

// CPU time of process `pid` so far, in milliseconds: all its threads, those that have ended (the watcher's
// short-lived takers) included, from the process's CPU-time clock.
double CpuMilliseconds(pid_t pid) {
    clockid_t clock;
    timespec used{};
    if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &used) != 0) bench::Fail("no CPU clock");
    return static_cast<double>(used.tv_sec) * 1e3 + static_cast<double>(used.tv_nsec) / 1e6;
}

int JournalLines(const bench::ProgramTree& tree) {
    return bench::CountOccurrences(bench::ReadFileBytes(tree.Provider() + "/Queue/pending-spike.jsonl"), "\n");
}

}  // namespace

int main() {
    const int reps = bench::Repetitions();
    std::fprintf(stderr, "bench_watcher: %d runs of one new file and of tar x of 1,000 files\n", reps);
    bench::TempTree home("watcher");
    bench::ProgramTree tree{home.Path()};
    bench::RunVerb("register", home.Path());
    const std::string source = bench::MakeTempDir("watcher-src"), plain = bench::MakeTempDir("watcher-plain");
    bench::MakeDirectories(source + "/t");
    for (int i = 0; i < 1000; ++i) {
        bench::WriteFileBytes(source + "/t/f" + std::to_string(i) + ".txt", std::string(100 + i, 'x'));
    }
    const std::string archive = source + "/t.tar";
    if (bench::RunChild({"tar", "-C", source, "-cf", archive, "t"}, "").exitCode != 0) bench::Fail("tar c failed");
    bench::Provider provider(tree);
    const std::string payload(4096, 'w');

    std::vector<double> one, oneRaw, many, manyRaw, oneCpu, manyCpu;
    for (int run = 0; run < reps; ++run) {
        // One file, written as any program writes it; the clock starts when its close returns. The watcher has
        // finished with the previous run's tree first (its directories are taken after their files' journal lines).
        usleep(1500 * 1000);
        const int lines = JournalLines(tree);
        const std::string name = "one-" + std::to_string(run) + ".txt";
        double cpu = CpuMilliseconds(provider.Pid());
        bench::Clock::time_point start = bench::Clock::now();
        bench::WriteFileBytes(tree.SyncRoot() + "/" + name, payload);
        oneRaw.push_back(bench::MillisecondsSince(start));
        const bench::Clock::time_point written = bench::Clock::now();
        if (!bench::WaitUntil([&] { return JournalLines(tree) > lines; }, 30000)) bench::Fail("one file not taken");
        one.push_back(bench::MillisecondsSince(written));
        if (bench::ReadFileBytes(tree.QueueStaging() + "/" + name) != payload) bench::Fail("wrong staging copy");
        oneCpu.push_back(CpuMilliseconds(provider.Pid()) - cpu);

        // tar x of 1,000 files, from its start to the last journal line; beside it the same into a plain directory.
        const std::string into = plain + "/" + std::to_string(run);
        bench::MakeDirectories(into);
        start = bench::Clock::now();
        if (bench::RunChild({"tar", "-C", into, "-xf", archive}, "").exitCode != 0) bench::Fail("tar x failed");
        manyRaw.push_back(bench::MillisecondsSince(start));
        const std::string target = tree.SyncRoot() + "/r" + std::to_string(run);
        bench::MakeDirectories(target);
        const int before = JournalLines(tree);
        cpu = CpuMilliseconds(provider.Pid());
        start = bench::Clock::now();
        if (bench::RunChild({"tar", "-C", target, "-xf", archive}, "").exitCode != 0) bench::Fail("tar x failed");
        if (!bench::WaitUntil([&] { return JournalLines(tree) >= before + 1000; }, 120000)) {
            bench::Fail("tar x not taken: " + std::to_string(JournalLines(tree) - before) + " of 1000");
        }
        many.push_back(bench::MillisecondsSince(start));
        manyCpu.push_back(CpuMilliseconds(provider.Pid()) - cpu);
    }
    // Idle, once the last run's directories are done with: a watcher that busy-waits shows here.
    usleep(3 * 1000 * 1000);
    const double idleCpu = CpuMilliseconds(provider.Pid());
    usleep(2 * 1000 * 1000);
    const double idle = CpuMilliseconds(provider.Pid()) - idleCpu;
    const int errors = bench::CountOccurrences(bench::ReadFileBytes(tree.LogFile()), "[ERROR]");
    if (errors > 0) bench::Note("the provider logged " + std::to_string(errors) + " ERROR lines");

    bench::PrintRow("new file in the root: its close until the staging copy and journal line (500 ms quiet included)",
                    bench::Cell(bench::Summarize(one), "%.1f", "ms"), bench::Cell(bench::Summarize(oneRaw), "%.2f", "ms"),
                    bench::RatioCell(bench::Summarize(bench::Ratios(one, oneRaw))), "report only", "-");
    bench::PrintRow("the provider's CPU time for that file", bench::Cell(bench::Summarize(oneCpu), "%.2f", "ms"), "-",
                    "-", "report only", "-");
    bench::PrintRow("`tar x` of 1,000 files into the root: its start until the 1,000th journal line",
                    bench::Cell(bench::Summarize(many), "%.0f", "ms"), bench::Cell(bench::Summarize(manyRaw), "%.0f", "ms"),
                    bench::RatioCell(bench::Summarize(bench::Ratios(many, manyRaw))), "report only", "-");
    bench::PrintRow("the provider's CPU time for those 1,000 files", bench::Cell(bench::Summarize(manyCpu), "%.0f", "ms"),
                    "-", "-", "report only", "-");
    bench::PrintRow("the provider's CPU time over 2 s with nothing changing (no busy wait)",
                    bench::Format("%.2f", idle) + " ms", "-", "-", "under 10 ms", bench::Met(idle <= 10.0));
    bench::RemoveTree(source);
    bench::RemoveTree(plain);
    return 0;
}
