// processes.h - running the built programs as real separate processes from a test, with deadlines.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct ProcessResult {
    // Exit status, or 128 + signal number when killed by a signal; a run that outlives its time is killed.
    int exitCode = -1;
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs argv[0] with the given arguments in the current environment and waits at most timeoutMs.
ProcessResult RunProcess(const std::vector<std::string>& argv, int timeoutMs = 60000);

// A process that runs beside the test (for example `connect`), with its output collected in files.
class BackgroundProcess {
  public:
    explicit BackgroundProcess(const std::vector<std::string>& argv);
    ~BackgroundProcess();  // kills and reaps the process if it is still running
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    int Pid() const { return pid_; }
    void Signal(int signal);
    // Waits for the end; returns false on timeout. The exit code follows ProcessResult's rule.
    bool Wait(int timeoutMs, int* exitCode = nullptr);
    std::string Out() const;
    std::string Err() const;

  private:
    int pid_ = -1;
    bool reaped_ = false;
    std::string outPath_, errPath_;
};

// Polls `condition` every 10 ms until it holds or the deadline passes; returns its last value.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 10000);
