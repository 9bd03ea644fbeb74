// event_log_test.cpp - the log line's exact bytes on each sink, the 1023-byte cut, and concurrent appenders.
#include "app/event_log.h"
#include "layout/provider_paths.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <clocale>
#include <regex>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

TEST(EventLog, OneLineOnStderrCrLfInTheFileCutAt1023BytesAndWidePathsAsUtf8) {
    TempLocalAppData env;
    setlocale(LC_CTYPE, "C.UTF-8");
    char wide[128];
    snprintf(wide, sizeof(wide), "path=%ls", L"C:\\Users\\J\u00f6rg\\\u65e5\u672c");
    testing::internal::CaptureStderr();
    LogEvent("SEED", "ok");
    LogEvent("ERROR", std::string(2000, 'm').c_str());
    LogEvent("REGISTER", wide);
    const std::string err = testing::internal::GetCapturedStderr();

    const std::string stamp = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} )";
    EXPECT_TRUE(std::regex_match(err.substr(0, err.find('\n') + 1), std::regex(stamp + R"(\[SEED\] ok\n)"))) << err;
    // The cut line has no line end, so the next line continues on the same text line of the file.
    const std::string file = ReadFileBytes(env.LogFile());
    ASSERT_GT(file.size(), 31u + 1023u);
    EXPECT_EQ(file.substr(0, 31), err.substr(0, 29) + "\r\n");
    EXPECT_EQ(file.substr(31 + 20, 8), "[ERROR] ");
    EXPECT_EQ(file.substr(31 + 28, 1023 - 28), std::string(1023 - 28, 'm'));
    EXPECT_TRUE(std::regex_match(file.substr(31 + 1023, 20), std::regex(stamp)));
    EXPECT_EQ(file.substr(31 + 1023 + 20), "[REGISTER] path=C:\\Users\\J\xc3\xb6rg\\\xe6\x97\xa5\xe6\x9c\xac\r\n");

    // Without a log path, or with one in a missing directory, the line still reaches stderr and no file is made.
    const std::wstring saved = ProviderPaths.logFile;
    testing::internal::CaptureStderr();
    ProviderPaths.logFile.clear();
    LogEvent("SEED", "no file");
    ProviderPaths.logFile = WindowsPathOf(env.Root() + "/missing-dir/provider.log");
    LogEvent("SEED", "still on stderr");
    const std::string quiet = testing::internal::GetCapturedStderr();
    ProviderPaths.logFile = saved;
    EXPECT_FALSE(FileExists(env.Root() + "/missing-dir"));
    EXPECT_NE(quiet.find("[SEED] no file\n"), std::string::npos);
    EXPECT_NE(quiet.find("[SEED] still on stderr\n"), std::string::npos);
}

TEST(EventLog, TwoProcessesAppendingAtOnceLoseNoLine) {
    TempLocalAppData env;
    constexpr int kLines = 300;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    const char* who = child == 0 ? "child" : "parent";
    if (child == 0) {
        FILE* quiet = freopen("/dev/null", "w", stderr);
        (void)quiet;
    } else {
        testing::internal::CaptureStderr();
    }
    for (int i = 0; i < kLines; ++i) LogEvent("SEED", (std::string(who) + " " + std::to_string(i)).c_str());
    if (child == 0) _exit(0);
    testing::internal::GetCapturedStderr();
    int status = 0;
    waitpid(child, &status, 0);

    std::set<std::string> seen;
    for (const auto& line : LogMessages(env.LogFile())) seen.insert(line);
    EXPECT_EQ(seen.size(), 2u * kLines);
    for (int i = 0; i < kLines; ++i) {
        EXPECT_TRUE(seen.count("[SEED] child " + std::to_string(i))) << i;
        EXPECT_TRUE(seen.count("[SEED] parent " + std::to_string(i))) << i;
    }
}
