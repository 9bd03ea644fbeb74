// no_network_e2e_test.cpp - tools/no-network.sh runs the self-test and the interactive chain without a network.

#include "tests/e2e/e2e_fixture.h"

namespace e2e {
namespace {

using NoNetwork = ProgramTest;

TEST_F(NoNetwork, SelfTestAndInteractiveChainPassWithoutANetworkAndOpenOnlyLocalSockets) {
    if (geteuid() != 0) GTEST_SKIP() << "a network namespace (unshare -n) needs root; CI runs as root";
    if (RunProcess({"/bin/sh", "-c", "command -v unshare && command -v strace"}).exitCode != 0) {
        GTEST_SKIP() << "unshare and strace are needed (tools/test.sh installs them)";
    }
    const std::string trace = Env().Root() + "/trace.txt";
    const std::string script = (fs::path(__FILE__).parent_path().parent_path().parent_path() / "tools/no-network.sh");
    setenv("NO_NETWORK_TRACE", trace.c_str(), 1);
    ProcessResult run = RunProcess({"/bin/bash", script, VOSKE_PROGRAM, VOSKE_CFEMU}, 240000);
    unsetenv("NO_NETWORK_TRACE");
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    const std::string steps =
        "interfaces: lo; routes: 0\nok selftest\nok register\nok placeholder\nok connect\nok hydrate\nok dehydrate\n"
        "ok hydrate\nok writeback-client\nok cfemu cat\nok unregister\nok no ERROR line in either provider.log\n";
    EXPECT_EQ(run.out.rfind(steps, 0), 0u) << run.out;
    EXPECT_NE(run.out.find("NO NETWORK: proven"), std::string::npos);

    // The trace shows the program's sockets and connections, and every socket is a local one.
    const std::string text = ReadFileBytes(trace);
    EXPECT_NE(text.find(" socket(AF_UNIX, "), std::string::npos);
    EXPECT_NE(text.find(" connect("), std::string::npos);
    EXPECT_FALSE(std::regex_search(text, std::regex(" socket\\((?!AF_UNIX, )"))) << text;
}

}  // namespace
}  // namespace e2e
