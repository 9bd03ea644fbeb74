// standin_process_test.cpp - command-line splitting, child processes, the program's own path, the user SID
// and console control events, with tests/helpers/standin_child as the child.
#include "tests/platform/standin_fixture.h"
#include "tests/support/processes.h"
#include "tests/support/test_env.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

namespace {

const std::string kChild = std::string(VOSKE_BINARY_DIR) + "/standin_child";

class StandinProcess : public StandinTest {};

struct SplitCase {
    const wchar_t* commandLine;
    std::vector<std::wstring> arguments;
};

TEST(StandinCommandLine, SplitsByWindowsRules) {
    const SplitCase cases[] = {
        {L"prog \"abc\" d e", {L"prog", L"abc", L"d", L"e"}},
        {L"prog a\\\\b d\"e f\"g h", {L"prog", L"a\\\\b", L"de fg", L"h"}},
        {L"prog a\\\\\\\"b c d", {L"prog", L"a\\\"b", L"c", L"d"}},
        {L"prog a\\\\\\\\\"b c\" d e", {L"prog", L"a\\\\b c", L"d", L"e"}},
        {L"prog a\"b\"\" c d", {L"prog", L"ab\" c d"}},
        {L"\"C:\\Program Files\\x.exe\" -v", {L"C:\\Program Files\\x.exe", L"-v"}},
        {L"C:\\dir\\x.exe\\ \"a b\"", {L"C:\\dir\\x.exe\\", L"a b"}},
        {L"prog  \t a   b\t", {L"prog", L"a", L"b"}},
        {L"prog \"\"", {L"prog", L""}},
        {L"prog \"open", {L"prog", L"open"}},
        {L"prog", {L"prog"}},
        {L"", {L""}},
    };
    for (const SplitCase& c : cases) {
        EXPECT_EQ(posix::SplitCommandLine(c.commandLine), c.arguments) << posix::WideToUtf8(c.commandLine);
    }
}

// Starts the child with a Windows command line; returns false when CreateProcessW fails.
bool Start(const std::wstring& arguments, PROCESS_INFORMATION* info, const wchar_t* directory = nullptr) {
    std::wstring commandLine = L"\"" + posix::ToWindowsPath(kChild) + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    return CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, directory, &startup,
                          info) != FALSE;
}

DWORD ExitCodeOf(PROCESS_INFORMATION& info) {
    EXPECT_EQ(WaitForSingleObject(info.hProcess, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return code;
}

TEST_F(StandinProcess, ExitCodesComeBack) {
    for (DWORD code : {0u, 1u, 42u, 255u}) {
        PROCESS_INFORMATION info{};
        ASSERT_TRUE(Start(L"exit " + std::to_wstring(code), &info));
        EXPECT_GT(info.dwProcessId, 0u);
        EXPECT_EQ(ExitCodeOf(info), code);
    }
}

TEST_F(StandinProcess, WaitTimesOutWhileRunningThenReportsTheSignal) {
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(Start(L"sleep 600000", &info));
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 20), WAIT_TIMEOUT);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    ASSERT_EQ(kill(static_cast<pid_t>(info.dwProcessId), SIGKILL), 0);
    EXPECT_EQ(ExitCodeOf(info), 128u + SIGKILL);  // a child ended by signal N reports 128 + N
}

TEST_F(StandinProcess, ArgumentsDirectoryAndEnvironmentReachTheChild) {
    SavedEnvironment saved;
    ASSERT_TRUE(SetEnvironmentVariableW(L"VOSKE_STANDIN_TEST", L"inherited"));
    ASSERT_TRUE(CreateDirectoryW(Win("work").c_str(), nullptr));
    PROCESS_INFORMATION info{};
    std::wstring out = Win("args.txt");
    ASSERT_TRUE(Start(L"echo \"" + out + L"\" plain \"two words\" a\\\\\\\"b \"\" \u00e9", &info));
    EXPECT_EQ(ExitCodeOf(info), 0u);
    EXPECT_EQ(ReadFileBytes(Posix("args.txt")), "[plain]\n[two words]\n[a\\\"b]\n[]\n[\xc3\xa9]\n");

    ASSERT_TRUE(Start(L"cwd \"" + Win("cwd.txt") + L"\"", &info, Win("work").c_str()));
    EXPECT_EQ(ExitCodeOf(info), 0u);
    char real[4096];
    ASSERT_NE(realpath(Posix("work").c_str(), real), nullptr);
    EXPECT_EQ(ReadFileBytes(Posix("cwd.txt")), std::string(real) + "\ninherited");
}

TEST_F(StandinProcess, MissingProgramFails) {
    PROCESS_INFORMATION info{};
    STARTUPINFOW startup{};
    std::wstring commandLine = L"\"" + Win("no-such-program") + L"\" x";
    EXPECT_FALSE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                &info));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    commandLine = L"\"" + Win("nodir/no-such-program") + L"\" x";
    EXPECT_FALSE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                &info));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST(StandinModule, FileNameAndTruncation) {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(n, 0);
    exe[n] = '\0';
    std::wstring expected = posix::ToWindowsPath(exe);
    ASSERT_EQ(expected.substr(0, 3), L"Z:\\");
    wchar_t buffer[4096];
    EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, 4096), expected.size());
    EXPECT_EQ(std::wstring(buffer), expected);
    // Too small: cut to size - 1 characters plus NUL, returns the size, ERROR_INSUFFICIENT_BUFFER.
    DWORD small = 5;
    EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, small), small);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::wstring(buffer), expected.substr(0, 4));
    EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, static_cast<DWORD>(expected.size())), expected.size());
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST(StandinSecurity, UserSidString) {
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    DWORD size = 0;
    EXPECT_FALSE(GetTokenInformation(token, TokenUser, nullptr, 0, &size));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    ASSERT_GT(size, sizeof(TOKEN_USER));
    std::vector<BYTE> buffer(size);
    EXPECT_FALSE(GetTokenInformation(token, TokenUser, buffer.data(), size - 1, &size));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, buffer.data(), size, &size));
    LPWSTR text = nullptr;
    ASSERT_TRUE(ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text));
    EXPECT_EQ(std::wstring(text), L"S-1-22-1-" + std::to_wstring(getuid()));
    EXPECT_EQ(LocalFree(text), nullptr);
    EXPECT_TRUE(CloseHandle(token));
    EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
}

struct CtrlCase {
    const char* handled;
    int signal;
    const char* marker;  // what the handler wrote
    bool signalled;      // the process ended by the signal (unhandled) rather than exiting with 7
};

TEST_F(StandinProcess, ConsoleControlEventsReachTheHandler) {
    const CtrlCase cases[] = {
        {"FALSE", SIGINT, "event 0", true},
        {"TRUE", SIGINT, "event 0", false},
        {"FALSE", SIGTERM, "event 2", true},
        {"TRUE", SIGHUP, "event 2", false},
    };
    for (const CtrlCase& c : cases) {
        std::string marker = Posix("marker"), ready = Posix("ready");
        unlink(marker.c_str());
        unlink(ready.c_str());
        BackgroundProcess child({kChild, "ctrl", marker, ready, c.handled});
        ASSERT_TRUE(WaitUntil([&] { return FileExists(ready); })) << c.signal;
        child.Signal(c.signal);
        int exitCode = -1;
        ASSERT_TRUE(child.Wait(10000, &exitCode)) << c.signal;
        EXPECT_EQ(ReadFileBytes(marker), c.marker) << c.signal << c.handled;
        EXPECT_EQ(exitCode, c.signalled ? 128 + c.signal : 7) << c.signal << c.handled;
    }
}

}  // namespace
