// no_network_e2e_test.cpp - the program needs no network and opens no internet socket: tools/no-network.sh runs
// the self-test and the interactive chain in a network namespace without interfaces, under strace.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "tests/support/processes.h"
#include "tests/support/test_env.h"

namespace fs = std::filesystem;

namespace {

const std::string kScript =
    (fs::path(__FILE__).parent_path().parent_path().parent_path() / "tools/no-network.sh").string();

bool HasTool(const char* name) {
    return RunProcess({"/bin/sh", "-c", std::string("command -v ") + name}).exitCode == 0;
}

// Lines of an strace output that record a socket() or connect() call.
std::vector<std::string> Calls(const std::string& trace, const std::string& call) {
    std::vector<std::string> lines;
    std::istringstream in(trace);
    std::string line;
    while (std::getline(in, line)) {
        if (line.find(" " + call + "(") != std::string::npos) lines.push_back(line);
    }
    return lines;
}

std::string SkipReason() {
    if (geteuid() != 0) return "a network namespace (unshare -n) needs root; CI runs as root";
    if (!HasTool("unshare") || !HasTool("strace")) return "unshare and strace are needed (tools/test.sh installs them)";
    return std::string();
}

}  // namespace

TEST(NoNetwork, SelfTestAndInteractiveChainPassWithoutANetworkAndOpenOnlyLocalSockets) {
    if (!SkipReason().empty()) GTEST_SKIP() << SkipReason();
    TempLocalAppData env;
    const std::string trace = env.Root() + "/trace.txt";
    setenv("NO_NETWORK_TRACE", trace.c_str(), 1);
    ProcessResult run = RunProcess({"/bin/bash", kScript, VOSKE_PROGRAM, VOSKE_CFEMU}, 240000);
    unsetenv("NO_NETWORK_TRACE");
    std::printf("%s", run.out.c_str());
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("interfaces: lo; routes: 0\n"), std::string::npos) << run.out;
    for (const char* step : {"selftest", "register", "placeholder", "connect", "hydrate", "dehydrate",
                             "writeback-client", "cfemu cat", "unregister", "no ERROR line in either provider.log"}) {
        EXPECT_NE(run.out.find(std::string("ok ") + step + "\n"), std::string::npos) << step;
    }
    EXPECT_NE(run.out.find("NO NETWORK: proven"), std::string::npos);

    const std::string text = ReadFileBytes(trace);
    const std::vector<std::string> sockets = Calls(text, "socket");
    const std::vector<std::string> connects = Calls(text, "connect");
    EXPECT_FALSE(sockets.empty());
    EXPECT_FALSE(connects.empty());
    for (const std::string& line : sockets) EXPECT_NE(line.find("socket(AF_UNIX, "), std::string::npos) << line;
    for (const std::string& line : connects) {
        if (line.find("resumed>") == std::string::npos) {
            EXPECT_NE(line.find("{sa_family=AF_UNIX, "), std::string::npos) << line;
        }
    }
    EXPECT_EQ(text.find("AF_INET"), std::string::npos);
}

// The same trace does show an internet socket when one is made, even where no interface exists.
TEST(NoNetwork, TheTraceShowsAnInternetSocketWhenOneIsMade) {
    if (!SkipReason().empty()) GTEST_SKIP() << SkipReason();
    TempLocalAppData env;
    const std::string trace = env.Root() + "/trace.txt";
    ProcessResult run =
        RunProcess({"/usr/bin/env", "unshare", "-n", "--", "strace", "-f", "-qq", "-e", "trace=socket,connect", "-o",
                    trace, "/usr/bin/python3", "-c",
                    "import socket\ns = socket.socket(socket.AF_INET, socket.SOCK_STREAM)\ns.connect(('127.0.0.1', 9))"});
    EXPECT_NE(run.exitCode, 0);
    // The interpreter may open local sockets of its own first (a name service cache, for one), so any line of the
    // trace may be the one.
    const std::string text = ReadFileBytes(trace);
    const std::vector<std::string> sockets = Calls(text, "socket");
    ASSERT_FALSE(sockets.empty());
    bool internet = false;
    for (const std::string& line : sockets) internet = internet || line.find("socket(AF_INET, ") != std::string::npos;
    EXPECT_TRUE(internet) << text;
}
