// bench_event_log.cpp - one LogEvent line (format, standard error, open provider.log, append, close) beside
// one write(2) of a line of the same length to a file that stays open.
#include "app/event_log.h"
#include "bench/bench_support.h"
#include "layout/provider_paths.h"

namespace {

constexpr int kLines = 2000;
const char kMessage[] = "HYDRATE_FROM_ENGINE_CACHE bytes=4096 hr=0x00000000 (no network)";

double LogLines() {
    bench::Clock::time_point start = bench::Clock::now();
    for (int i = 0; i < kLines; ++i) LogEvent("HYDRATE", kMessage);
    return bench::MillisecondsSince(start) * 1000.0 / kLines;
}

double WriteLines(const std::string& path) {
    // The same bytes a LogEvent line puts into the file: the stamp, the category, the message and CR LF.
    const std::string line = std::string("2026-12-06 12:00:00 [HYDRATE] ") + kMessage + "\r\n";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) bench::Fail("cannot open " + path);
    bench::Clock::time_point start = bench::Clock::now();
    for (int i = 0; i < kLines; ++i) {
        if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) bench::Fail("write failed");
    }
    double perLine = bench::MillisecondsSince(start) * 1000.0 / kLines;
    close(fd);
    return perLine;
}

}  // namespace

int main() {
    const int reps = bench::Repetitions();
    std::fprintf(stderr, "bench_event_log: %d repetitions of %d lines each way\n", reps, kLines);
    bench::TempTree home("event-log");
    setenv("LOCALAPPDATA", home.Path().c_str(), 1);
    InitProviderPaths();
    const std::string logFile = bench::ProgramTree{home.Path()}.LogFile();
    const std::string plainFile = home.Path() + "/plain.log";

    // LogEvent writes each line to standard error too; here that goes to /dev/null, so the figure is the
    // event log's own cost and not a terminal's.
    int savedError = dup(2);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    std::vector<double> ours, plain;
    for (int rep = 0; rep < reps; ++rep) {
        dup2(null, 2);
        if (rep % 2 == 0) {
            ours.push_back(LogLines());
            plain.push_back(WriteLines(plainFile));
        } else {
            plain.push_back(WriteLines(plainFile));
            ours.push_back(LogLines());
        }
        dup2(savedError, 2);
        bench::Note("rep " + std::to_string(rep + 1) + ": LogEvent " + bench::Format("%.2f", ours.back()) +
                    " us per line, write " + bench::Format("%.2f", plain.back()) + " us");
    }
    close(null);
    close(savedError);
    if (bench::CountOccurrences(bench::ReadFileBytes(logFile), "\r\n") != reps * kLines) {
        bench::Fail("provider.log does not hold every line");
    }
    bench::PrintRow("`LogEvent` per line (open, append, close)", bench::Cell(bench::Summarize(ours), "%.2f", "us"),
                    "one `write` to an open file " + bench::Cell(bench::Summarize(plain), "%.2f", "us"),
                    bench::RatioCell(bench::Summarize(bench::Ratios(ours, plain))), "report only", "-");
    return 0;
}
