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

TEST(EventLog, WritesOneLineToStderrAndCrLfToTheFile) {
    TempLocalAppData env;
    testing::internal::CaptureStderr();
    LogEvent("SEED", "ok");
    const std::string err = testing::internal::GetCapturedStderr();

    const std::regex stderrLine(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} \[SEED\] ok\n)");
    EXPECT_TRUE(std::regex_match(err, stderrLine)) << err;
    const std::string file = ReadFileBytes(env.LogFile());
    EXPECT_EQ(file, err.substr(0, err.size() - 1) + "\r\n");
}

TEST(EventLog, CutsLongLinesAt1023BytesWithoutLineEnd) {
    TempLocalAppData env;
    testing::internal::CaptureStderr();
    LogEvent("ERROR", std::string(2000, 'm').c_str());
    LogEvent("SEED", "next");
    testing::internal::GetCapturedStderr();
    const std::string file = ReadFileBytes(env.LogFile());
    // The cut line has no line end, so the next line continues on the same text line of the file.
    ASSERT_GT(file.size(), 1023u);
    EXPECT_EQ(file.substr(20, 8), "[ERROR] ");
    EXPECT_EQ(file.substr(28, 1023 - 28), std::string(1023 - 28, 'm'));
    EXPECT_TRUE(std::regex_match(file.substr(1023), std::regex(R"(\d{4}-.{14} \[SEED\] next\r\n)")));
}

TEST(EventLog, WithoutLogPathOrDirectoryWritesNoFile) {
    TempLocalAppData env;
    const std::wstring saved = ProviderPaths.logFile;
    testing::internal::CaptureStderr();
    ProviderPaths.logFile.clear();
    LogEvent("SEED", "no file");
    ProviderPaths.logFile = WindowsPathOf(env.Root() + "/missing-dir/provider.log");
    LogEvent("SEED", "still on stderr");
    const std::string err = testing::internal::GetCapturedStderr();
    ProviderPaths.logFile = saved;
    EXPECT_FALSE(FileExists(env.LogFile()));
    EXPECT_FALSE(FileExists(env.Root() + "/missing-dir"));
    EXPECT_NE(err.find("[SEED] no file\n"), std::string::npos);
    EXPECT_NE(err.find("[SEED] still on stderr\n"), std::string::npos);
}

TEST(EventLog, WidePathsAreWrittenAsUtf8) {
    TempLocalAppData env;
    setlocale(LC_CTYPE, "C.UTF-8");
    char message[128];
    snprintf(message, sizeof(message), "path=%ls", L"C:\\Users\\J\u00f6rg\\\u65e5\u672c");
    testing::internal::CaptureStderr();
    LogEvent("REGISTER", message);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(LogMessages(env.LogFile()).back(), "[REGISTER] path=C:\\Users\\J\xc3\xb6rg\\\xe6\x97\xa5\xe6\x9c\xac");
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
