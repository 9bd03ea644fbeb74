// limited_run.cpp - runs a program under a limit on the threads of its user, as a user of its own:
//   limited_run --threads N --uid U [--own DIR] -- PROGRAM [ARGUMENTS...]
// The limit (RLIMIT_NPROC) counts every thread of the user and binds only unprivileged processes, so the program runs
// as the user U, which should have no other process, and with no capability left. --own hands DIR and all below it to
// U first. Exit code 125, with the reason on standard error, when any of this cannot be done; else the program's.
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr int kCannot = 125;

int Cannot(const char* what, int error) {
    std::fprintf(stderr, "limited_run: %s: %s\n", what, std::strerror(error));
    return kCannot;
}

// Gives `directory` and everything below it to `uid` (links themselves, never what they point to).
bool Own(const std::string& directory, uid_t uid, gid_t gid) {
    std::error_code error;
    if (lchown(directory.c_str(), uid, gid) != 0) return false;
    for (auto it = std::filesystem::recursive_directory_iterator(directory, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        if (lchown(it->path().c_str(), uid, gid) != 0) return false;
    }
    return !error;
}

}  // namespace

int main(int argc, char** argv) {
    long threads = -1;
    long uid = -1;
    std::vector<std::string> owned;
    int at = 1;
    for (; at + 1 < argc && std::strcmp(argv[at], "--") != 0; at += 2) {
        if (std::strcmp(argv[at], "--threads") == 0) {
            threads = std::strtol(argv[at + 1], nullptr, 10);
        } else if (std::strcmp(argv[at], "--uid") == 0) {
            uid = std::strtol(argv[at + 1], nullptr, 10);
        } else if (std::strcmp(argv[at], "--own") == 0) {
            owned.push_back(argv[at + 1]);
        } else {
            break;
        }
    }
    if (threads <= 0 || uid <= 0 || at + 1 >= argc || std::strcmp(argv[at], "--") != 0) {
        std::fputs("usage: limited_run --threads N --uid U [--own DIR] -- PROGRAM [ARGUMENTS...]\n", stderr);
        return 2;
    }
    const uid_t user = static_cast<uid_t>(uid);
    const gid_t group = static_cast<gid_t>(uid);
    for (const std::string& directory : owned) {
        if (!Own(directory, user, group)) return Cannot(directory.c_str(), errno);
    }
    const rlimit limit{static_cast<rlim_t>(threads), static_cast<rlim_t>(threads)};
    if (setrlimit(RLIMIT_NPROC, &limit) != 0) return Cannot("setrlimit(RLIMIT_NPROC)", errno);
    // Groups first, while still allowed to; the user last, which drops every capability.
    if (setgroups(0, nullptr) != 0) return Cannot("setgroups", errno);
    if (setgid(group) != 0) return Cannot("setgid", errno);
    if (setuid(user) != 0) return Cannot("setuid", errno);
    if (geteuid() == 0 || getuid() == 0) return Cannot("dropping root", EPERM);
    for (const std::string& directory : owned) {
        if (access(directory.c_str(), R_OK | W_OK | X_OK) != 0) return Cannot(directory.c_str(), errno);
    }
    execv(argv[at + 1], argv + at + 1);
    return Cannot(argv[at + 1], errno);
}
