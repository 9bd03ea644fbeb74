// processes.cpp - spawning, signalling and waiting for the programs under test.
#include "tests/support/processes.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "tests/support/test_env.h"

extern char** environ;

namespace {

std::string TempFile(const char* tag) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/voske-" + tag + "-XXXXXX";
    const int fd = mkstemp(pattern.data());
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    close(fd);
    return pattern;
}

int Spawn(const std::vector<std::string>& argv, const std::string& outPath, const std::string& errPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_TRUNC, 0600);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("posix_spawn failed for " + argv[0]);
    return pid;
}

int DecodeStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// Waits for pid with a deadline; true when it was reaped.
bool Reap(int pid, int timeoutMs, int* exitCode) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            if (exitCode != nullptr) *exitCode = DecodeStatus(status);
            return true;
        }
        if (r < 0 && errno != EINTR) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, int timeoutMs) {
    BackgroundProcess process(argv);
    ProcessResult result;
    if (!process.Wait(timeoutMs, &result.exitCode)) {
        process.Signal(SIGKILL);
        process.Wait(10000, &result.exitCode);
    }
    result.out = process.Out();
    result.err = process.Err();
    return result;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv)
    : outPath_(TempFile("out")), errPath_(TempFile("err")) {
    pid_ = Spawn(argv, outPath_, errPath_);
}

BackgroundProcess::~BackgroundProcess() {
    if (!reaped_) {
        kill(pid_, SIGKILL);
        Reap(pid_, 10000, nullptr);
    }
    unlink(outPath_.c_str());
    unlink(errPath_.c_str());
}

void BackgroundProcess::Signal(int signal) {
    if (!reaped_) kill(pid_, signal);
}

bool BackgroundProcess::Wait(int timeoutMs, int* exitCode) {
    if (reaped_) return true;
    reaped_ = Reap(pid_, timeoutMs, exitCode);
    return reaped_;
}

std::string BackgroundProcess::Out() const { return ReadFileBytes(outPath_); }
std::string BackgroundProcess::Err() const { return ReadFileBytes(errPath_); }

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}
