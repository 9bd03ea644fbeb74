// bench_support.h - what every benchmark shares: temporary trees, child processes of the built program,
// repetition statistics and the table row each benchmark prints. Header only: each bench/*.cpp is one program.
#pragma once

#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace bench {

using Clock = std::chrono::steady_clock;

inline double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// How many interleaved repetitions to run: VOSKE_BENCH_REPS, at least 5.
inline int Repetitions() {
    const char* text = std::getenv("VOSKE_BENCH_REPS");
    int reps = text != nullptr ? std::atoi(text) : 7;
    return reps < 5 ? 5 : reps;
}

// Children not reaped yet; a failing benchmark ends them, since exit() runs no destructor of a local.
inline std::vector<pid_t>& LiveChildren() {
    static std::vector<pid_t> children;
    return children;
}

[[noreturn]] inline void Fail(const std::string& what) {
    std::fprintf(stderr, "bench: %s\n", what.c_str());
    for (pid_t pid : LiveChildren()) kill(pid, SIGKILL);
    std::exit(2);
}

inline void Note(const std::string& what) {
    std::fprintf(stderr, "  %s\n", what.c_str());
    std::fflush(stderr);
}

// ---- Statistics over the repetitions ----

struct Summary {
    double median = 0;
    double min = 0;
    double max = 0;
};

inline double Percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    // Nearest rank: the smallest value with at least `fraction` of the samples at or below it.
    size_t rank = static_cast<size_t>(fraction * static_cast<double>(values.size()) + 0.999999);
    if (rank == 0) rank = 1;
    if (rank > values.size()) rank = values.size();
    return values[rank - 1];
}

inline Summary Summarize(std::vector<double> values) {
    Summary summary;
    if (values.empty()) return summary;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    summary.median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    summary.min = values.front();
    summary.max = values.back();
    return summary;
}

inline std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof(text), format, value);
    return text;
}

// "412.3 ms (398.1..460.2)": the median and, in brackets, the range over the repetitions.
inline std::string Cell(const Summary& summary, const char* format, const char* unit) {
    return Format(format, summary.median) + " " + unit + " (" + Format(format, summary.min) + ".." +
           Format(format, summary.max) + ")";
}

// Ratios are taken per repetition (each pairs two runs made back to back), then summarised.
inline std::vector<double> Ratios(const std::vector<double>& ours, const std::vector<double>& baseline) {
    std::vector<double> ratios;
    for (size_t i = 0; i < ours.size() && i < baseline.size(); ++i) {
        if (baseline[i] > 0) ratios.push_back(ours[i] / baseline[i]);
    }
    return ratios;
}

inline std::string RatioCell(const Summary& ratio) {
    return Format("%.2f", ratio.median) + "x (" + Format("%.2f", ratio.min) + ".." + Format("%.2f", ratio.max) + ")";
}

// One line of the table that tools/bench.sh prints: measure | ours | baseline | ratio | target | met?
inline void PrintRow(const std::string& measure, const std::string& ours, const std::string& baseline,
                     const std::string& ratio, const std::string& target, const std::string& met) {
    std::printf("| %s | %s | %s | %s | %s | %s |\n", measure.c_str(), ours.c_str(), baseline.c_str(), ratio.c_str(),
                target.c_str(), met.c_str());
    std::fflush(stdout);
}

inline const char* Met(bool met) { return met ? "yes" : "NO"; }

// ---- Files and directories ----

// Commits what earlier runs left to the file system (their creations, deletions, freed blocks), so the next
// measured run does not pay for the previous one's journal. Never inside a measured interval.
inline void Settle(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    syncfs(fd);
    close(fd);
}

inline const std::string& SessionDir();

// Benchmarks that create many files start with this: ext4 without a journal will not reuse an inode freed in the
// last minute (once written out) and walks past every such inode of a block group on each creation, so a run
// right after a large deletion (the last benchmark's, or the previous run's) would be slowed by it.
// VOSKE_BENCH_NO_WAIT=1 skips the wait (a file system that does not do this, such as tmpfs).
inline void WaitForFreedInodesToAge() {
    Settle(SessionDir());
    if (std::getenv("VOSKE_BENCH_NO_WAIT") != nullptr) return;
    Note("waiting 65 s for inodes freed by earlier runs to age");
    std::this_thread::sleep_for(std::chrono::seconds(65));
}

// The directory the temporary trees go to (see MakeTempDir).
inline std::string BenchBase() {
    const char* base = std::getenv("VOSKE_BENCH_DIR");
    if (base == nullptr || *base == '\0') base = std::getenv("TMPDIR");
    if (base == nullptr || *base == '\0') base = "/tmp";
    return base;
}

inline void RemoveTree(const std::string& path);

// All temporary trees of this process live in one directory below VOSKE_BENCH_DIR (else TMPDIR, else /tmp), on
// the same disk for ours and the baseline, removed when the process ends (also through Fail). ext4 without a
// journal (as here) will not reuse an inode freed in the last minute and walks past every such inode of a block
// group on each creation, so a run right after another run's deletions would pay for them; marked as a top of a
// directory hierarchy (FS_TOPDIR_FL), each tree below it starts in a block group of its own. Elsewhere the flag
// is ignored.
class Session {
  public:
    Session() {
        std::string pattern = BenchBase() + "/voske-bench-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()) == nullptr) Fail("cannot create a directory below " + BenchBase());
        path_ = buffer.data();
        int fd = open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        int flags = 0;
        if (fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags |= FS_TOPDIR_FL;
            (void)ioctl(fd, FS_IOC_SETFLAGS, &flags);
        }
        if (fd >= 0) close(fd);
    }
    ~Session() { RemoveTree(path_); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

inline const std::string& SessionDir() {
    static const Session session;
    return session.Path();
}

// A fresh directory in this process's session directory.
inline std::string MakeTempDir(const char* tag) {
    std::string pattern = SessionDir() + "/" + tag + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) Fail("cannot create a directory below " + SessionDir());
    return buffer.data();
}

inline void RemoveTree(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

// Removes itself on every exit path, so an interrupted benchmark leaves nothing behind but what it was killed in.
class TempTree {
  public:
    explicit TempTree(const char* tag) : path_(MakeTempDir(tag)) {}
    ~TempTree() { RemoveTree(path_); }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

inline std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) Fail("cannot write " + path);
}

inline void MakeDirectories(const std::string& path) {
    std::error_code error;
    std::filesystem::create_directories(path, error);
    if (error) Fail("cannot create " + path + ": " + error.message());
}

// ---- The program's tree below a temporary LOCALAPPDATA ----

struct ProgramTree {
    std::string localAppData;
    std::string Product() const { return localAppData + "/nq.vo.tarn.voskel/VOSKE"; }
    std::string Cache() const { return Product() + "/Cache"; }
    std::string Provider() const { return Product() + "/CloudFiles"; }
    std::string SyncRoot() const { return Provider() + "/SyncRoot"; }
    std::string LogFile() const { return Provider() + "/provider.log"; }
    std::string Manifest() const { return Provider() + "/seed-manifest.tsv"; }
    std::string QueueStaging() const { return Provider() + "/Queue/Staging"; }
};

// The built programs sit beside the benchmarks in the build directory.
inline std::string BuiltProgram(const char* name) {
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    return self.substr(0, self.find_last_of('/') + 1) + name;
}

inline std::string Program() { return BuiltProgram("voske-cf-spike"); }

// ---- Child processes ----

struct ChildResult {
    int exitCode = -1;
    double milliseconds = 0;  // from the spawn until the child was reaped
    long maxRssKiB = 0;       // peak resident set size of the child
    std::string err;
};

class Child {
  public:
    // Starts `argv` with LOCALAPPDATA, HOME and XDG_DATA_HOME pointing at `localAppData` (when not empty);
    // standard output is discarded, standard error goes to a file the result carries.
    Child(const std::vector<std::string>& argv, const std::string& localAppData) {
        errPath_ = MakeTempDir("err") + "/stderr";
        std::vector<std::string> environment;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            std::string text = *entry;
            if (!localAppData.empty() && (text.rfind("LOCALAPPDATA=", 0) == 0 || text.rfind("HOME=", 0) == 0 ||
                                          text.rfind("XDG_DATA_HOME=", 0) == 0)) {
                continue;
            }
            environment.push_back(text);
        }
        if (!localAppData.empty()) {
            environment.push_back("LOCALAPPDATA=" + localAppData);
            environment.push_back("HOME=" + localAppData);
            environment.push_back("XDG_DATA_HOME=" + localAppData);
        }
        std::vector<char*> envp;
        for (std::string& text : environment) envp.push_back(text.data());
        envp.push_back(nullptr);
        std::vector<std::string> args = argv;
        std::vector<char*> argp;
        for (std::string& text : args) argp.push_back(text.data());
        argp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        start_ = Clock::now();
        // Searched in PATH, so system tools such as cp are started by name.
        int rc = posix_spawnp(&pid_, argp[0], &actions, nullptr, argp.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) Fail("cannot start " + argv[0]);
        LiveChildren().push_back(pid_);
    }

    ~Child() {
        if (!reaped_) {
            kill(pid_, SIGKILL);
            Wait();
        }
        RemoveTree(errPath_.substr(0, errPath_.find_last_of('/')));
    }

    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t Pid() const { return pid_; }
    void Signal(int signal) {
        if (!reaped_) kill(pid_, signal);
    }

    ChildResult Wait() {
        if (reaped_) return result_;
        int status = 0;
        rusage usage{};
        while (!reaped_) {
            pid_t got = wait4(pid_, &status, 0, &usage);
            if (got == pid_ || (got < 0 && errno != EINTR)) reaped_ = true;
        }
        std::vector<pid_t>& live = LiveChildren();
        live.erase(std::remove(live.begin(), live.end(), pid_), live.end());
        result_.milliseconds = MillisecondsSince(start_);
        result_.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result_.maxRssKiB = usage.ru_maxrss;
        result_.err = ReadFileBytes(errPath_);
        return result_;
    }

  private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    Clock::time_point start_;
    std::string errPath_;
    ChildResult result_;
};

inline ChildResult RunChild(const std::vector<std::string>& argv, const std::string& localAppData) {
    Child child(argv, localAppData);
    return child.Wait();
}

// Runs one verb of the program and stops the benchmark when it fails.
inline ChildResult RunVerb(const std::string& verb, const std::string& localAppData) {
    ChildResult result = RunChild({Program(), verb}, localAppData);
    if (result.exitCode != 0) Fail("voske-cf-spike " + verb + " failed:\n" + result.err);
    return result;
}

// Polls `condition` until it holds or `timeoutMs` passes; the benchmark's own waits, never part of a figure.
inline bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (condition()) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

inline int CountOccurrences(const std::string& text, const std::string& needle) {
    int count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++count;
    return count;
}

// `voske-cf-spike connect` in the background until the benchmark ends; it stops as Ctrl+C stops it.
class Provider {
  public:
    explicit Provider(const ProgramTree& tree) : tree_(tree), child_({Program(), "connect"}, tree.localAppData) {
        if (!WaitUntil([&] { return ReadFileBytes(tree_.LogFile()).find("[CONNECT] Waiting") != std::string::npos; },
                       30000)) {
            Fail("the provider did not connect");
        }
    }
    ~Provider() {
        child_.Signal(SIGINT);
        child_.Wait();
        RunChild({Program(), "unregister"}, tree_.localAppData);
    }
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;
    pid_t Pid() const { return child_.Pid(); }

  private:
    ProgramTree tree_;
    Child child_;
};

// ---- The raw baseline of placeholder creation ----

// What a plain C++ program needs at least to make the same files: create, size, one extended attribute of
// `attributeBytes` (a placeholder's state and identity together), times, close. Names are formatted as the
// program formats them. The attribute's name takes the same room as the filter's (ext4 keeps a small
// attribute inside the inode only while name and value fit together). Returns the milliseconds taken.
inline double CreatePlainFiles(const std::string& directory, int count, size_t attributeBytes, long long size) {
    std::vector<unsigned char> attribute(attributeBytes);
    timespec times[2];
    clock_gettime(CLOCK_REALTIME, &times[0]);
    times[1] = times[0];
    Clock::time_point start = Clock::now();
    int dir = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) Fail("cannot open " + directory);
    for (int i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof(name), "bench-%05d.txt", i);
        // Each file's attribute differs, as identities do (the file system may share identical ones).
        for (size_t b = 0; b < attribute.size(); ++b) attribute[b] = static_cast<unsigned char>(name[b % 14] + b + i);
        int fd = openat(dir, name, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
        if (fd < 0) Fail("baseline create failed in " + directory);
        if (ftruncate(fd, size) != 0 || fsetxattr(fd, "user.plain", attribute.data(), attribute.size(), 0) != 0 ||
            futimens(fd, times) != 0) {
            Fail("baseline metadata failed in " + directory + ": " + std::strerror(errno));
        }
        close(fd);
    }
    close(dir);
    return MillisecondsSince(start);
}

}  // namespace bench
