// standin_process_test.cpp - command-line splitting, child processes, the program's own path, the user SID, console
// events (tests/helpers/standin_child as the child), the Z: drive mapping, environment variables and UTF-8 text.
#include "tests/platform/platform_fixture.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

namespace {

const std::string kChild = std::string(VOSKE_BINARY_DIR) + "/standin_child";

class StandinProcess : public platformtest::PlatformTest {};

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
    ASSERT_TRUE(SetEnvironmentVariableW(L"VOSKE_STANDIN_TEST", L"inherited"));
    ASSERT_TRUE(CreateDirectoryW(WinOf("work").c_str(), nullptr));
    PROCESS_INFORMATION info{};
    std::wstring out = WinOf("args.txt");
    ASSERT_TRUE(Start(L"echo \"" + out + L"\" plain \"two words\" a\\\\\\\"b \"\" \u00e9", &info));
    EXPECT_EQ(ExitCodeOf(info), 0u);
    EXPECT_EQ(ReadFileBytes(Posix("args.txt")), "[plain]\n[two words]\n[a\\\"b]\n[]\n[\xc3\xa9]\n");

    ASSERT_TRUE(Start(L"cwd \"" + WinOf("cwd.txt") + L"\"", &info, WinOf("work").c_str()));
    EXPECT_EQ(ExitCodeOf(info), 0u);
    char real[4096];
    ASSERT_NE(realpath(Posix("work").c_str(), real), nullptr);
    EXPECT_EQ(ReadFileBytes(Posix("cwd.txt")), std::string(real) + "\ninherited");
}

TEST_F(StandinProcess, MissingProgramFails) {
    PROCESS_INFORMATION info{};
    STARTUPINFOW startup{};
    std::wstring commandLine = L"\"" + WinOf("no-such-program") + L"\" x";
    EXPECT_FALSE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                &info));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    commandLine = L"\"" + WinOf("nodir/no-such-program") + L"\" x";
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

struct ToPosixCase {
    const wchar_t* windows;
    const char* posix;
};

TEST(StandinPaths, WindowsToPosix) {
    const ToPosixCase cases[] = {
        {L"Z:\\home\\u\\x.txt", "/home/u/x.txt"},
        {L"z:\\home\\u", "/home/u"},
        {L"Z:\\", "/"},
        {L"Z:", "/"},
        {L"rel\\dir\\f", "rel/dir/f"},
        {L"f.txt", "f.txt"},
        {L"", ""},
        {L"C:\\Users\\u", "C:/Users/u"},  // other drives are not mapped and fail at the system call
        {L"\\abs\\x", "/abs/x"},
        {L"Z:\\d\\\u00e9t\u00e9.txt", "/d/\xc3\xa9t\xc3\xa9.txt"},
        // A backslash inside a POSIX name travels as U+F05C and comes back as that byte.
        {L"Z:\\d\\a\uF05C..\uF05Cx", "/d/a\\..\\x"},
    };
    for (const ToPosixCase& c : cases) {
        EXPECT_EQ(posix::ToPosixPath(c.windows), c.posix) << c.posix;
    }
}

TEST(StandinPaths, PosixToWindows) {
    const ToPosixCase cases[] = {
        {L"Z:\\home\\u\\x.txt", "/home/u/x.txt"},
        {L"Z:\\", "/"},
        {L"rel\\f", "rel/f"},
        {L"", ""},
        {L"Z:\\d\\\u00e9t\u00e9.txt", "/d/\xc3\xa9t\xc3\xa9.txt"},
        {L"Z:\\d\\a\uF05C..\uF05Cx", "/d/a\\..\\x"},
        {L"\uF05C", "\\"},
    };
    for (const ToPosixCase& c : cases) {
        EXPECT_EQ(posix::ToWindowsPath(c.posix), c.windows) << c.posix;
    }
}

// Null stands for an unset variable.
struct LocalAppDataCase {
    const char* localAppData;
    const char* xdg;
    const char* home;
    const wchar_t* expected;  // null: reported as not found
};

std::wstring ReadVariable(const wchar_t* name, DWORD* error) {
    wchar_t buffer[512];
    SetLastError(ERROR_SUCCESS);
    DWORD length = GetEnvironmentVariableW(name, buffer, 512);
    *error = GetLastError();
    if (length == 0) return std::wstring();
    return std::wstring(buffer, length);
}

// "@" stands for the test's directory. The directory a fallback names is made; a LOCALAPPDATA that is set never is.
TEST(StandinEnvironment, LocalAppDataFallbacks) {
    TempLocalAppData env;  // puts LOCALAPPDATA, HOME and XDG_DATA_HOME back
    const LocalAppDataCase cases[] = {
        {"C:\\Users\\u\\AppData\\Local", "@/x", "@/h", L"C:\\Users\\u\\AppData\\Local"},
        {"c:\\lower", nullptr, nullptr, L"c:\\lower"},
        {"\\\\server\\share", nullptr, nullptr, L"\\\\server\\share"},
        {"@/home/u/lad", "@/x", "@/h", L"@\\home\\u\\lad"},
        {"", "@/x/data", "@/h", L"@\\x\\data"},
        {nullptr, "@/y/data", "@/h", L"@\\y\\data"},
        {nullptr, "", "@/home/u", L"@\\home\\u\\.local\\share"},
        {nullptr, nullptr, "@/home/v/", L"@\\home\\v\\.local\\share"},
        {"", "", "", nullptr},
        {nullptr, nullptr, nullptr, nullptr},
    };
    for (const LocalAppDataCase& c : cases) {
        auto put = [&env](const char* name, const char* value) {
            if (value == nullptr) {
                unsetenv(name);
            } else {
                setenv(name, (value[0] == '@' ? env.Root() + (value + 1) : std::string(value)).c_str(), 1);
            }
        };
        put("LOCALAPPDATA", c.localAppData);
        put("XDG_DATA_HOME", c.xdg);
        put("HOME", c.home);
        DWORD error = 0;
        std::wstring value = ReadVariable(L"LOCALAPPDATA", &error);
        if (c.expected == nullptr) {
            EXPECT_EQ(value, L"");
            EXPECT_EQ(error, 203u);  // ERROR_ENVVAR_NOT_FOUND
            continue;
        }
        std::wstring expected = c.expected;
        if (expected[0] == L'@') expected.replace(0, 1, posix::ToWindowsPath(env.Root()));
        EXPECT_EQ(value, expected) << (c.localAppData ? c.localAppData : "(unset)");
        if (expected[0] == L'Z') {
            const bool fallback = c.localAppData == nullptr || c.localAppData[0] == '\0';
            EXPECT_EQ(std::filesystem::is_directory(posix::ToPosixPath(value)), fallback) << c.expected;
        }
    }
}

TEST(StandinEnvironment, ReturnValuesFollowWindows) {
    TempLocalAppData saved;  // puts LOCALAPPDATA, HOME and XDG_DATA_HOME back
    ASSERT_TRUE(SetEnvironmentVariableW(L"VOSKE_STANDIN_TEST", L"abc\u00e9"));
    EXPECT_STREQ(std::getenv("VOSKE_STANDIN_TEST"), "abc\xc3\xa9");
    wchar_t buffer[8];
    struct Row {
        DWORD size;
        DWORD expected;  // length without NUL on success, size with NUL when too small
    };
    const Row rows[] = {{0, 5}, {4, 5}, {5, 4}, {8, 4}};
    for (const Row& row : rows) {
        wmemset(buffer, L'#', 8);
        EXPECT_EQ(GetEnvironmentVariableW(L"VOSKE_STANDIN_TEST", row.size == 0 ? nullptr : buffer, row.size),
                  row.expected)
            << row.size;
        if (row.expected < row.size) {
            EXPECT_EQ(std::wstring(buffer), L"abc\u00e9");
        }
    }
    ASSERT_TRUE(SetEnvironmentVariableW(L"VOSKE_STANDIN_TEST", nullptr));
    EXPECT_EQ(std::getenv("VOSKE_STANDIN_TEST"), nullptr);
    EXPECT_EQ(GetEnvironmentVariableW(L"VOSKE_STANDIN_TEST", buffer, 8), 0u);
    EXPECT_EQ(GetLastError(), 203u);
}

TEST(StandinEnvironment, AbsolutePathOfRelativeNames) {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    std::string here = cwd;
    EXPECT_EQ(posix::AbsolutePosixPath(L"a\\b.txt"), (here == "/" ? "" : here) + "/a/b.txt");
    EXPECT_EQ(posix::AbsolutePosixPath(L".\\a"), (here == "/" ? "" : here) + "/a");
    EXPECT_EQ(posix::AbsolutePosixPath(L"Z:\\x\\y"), "/x/y");
}


struct DecodeCase {
    std::string utf8;
    std::wstring wide;
};

TEST(StandinText, Utf8ToWideTable) {
    const DecodeCase cases[] = {
        {"", L""},
        {"abc", L"abc"},
        {"\xc3\xa9", L"\u00e9"},
        {"\xe2\x82\xac", L"\u20ac"},
        {"\xf0\x9f\x98\x80", std::wstring(1, static_cast<wchar_t>(0x1F600))},
        {"a\xff" "b", L"a\uFFFDb"},                       // a byte that never starts a character
        {"\xc3", L"\uFFFD"},                               // truncated at the end
        {"\xe2\x82" "A", L"\uFFFDA"},                       // truncated sequence is one replacement
        {"\xc0\xaf", L"\uFFFD\uFFFD"},                     // overlong form
        {"\xed\xa0\x80", L"\uFFFD\uFFFD\uFFFD"},           // encoded surrogate
        {"\xf4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"}, // beyond U+10FFFF
        {"\x80", L"\uFFFD"},
    };
    for (const DecodeCase& c : cases) {
        EXPECT_EQ(posix::Utf8ToWide(c.utf8), c.wide) << c.utf8;
        if (!c.utf8.empty()) {
            int needed = MultiByteToWideChar(CP_UTF8, 0, c.utf8.data(), static_cast<int>(c.utf8.size()), nullptr, 0);
            ASSERT_EQ(needed, static_cast<int>(c.wide.size())) << c.utf8;
            std::wstring out(static_cast<size_t>(needed), L'\0');
            EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, c.utf8.data(), static_cast<int>(c.utf8.size()), out.data(), needed),
                      needed);
            EXPECT_EQ(out, c.wide);
        }
    }
}

struct EncodeCase {
    std::wstring wide;
    std::string utf8;
};

TEST(StandinText, WideToUtf8Table) {
    const EncodeCase cases[] = {
        {L"", ""},
        {L"abc", "abc"},
        {L"\u00e9", "\xc3\xa9"},
        {L"\u20ac", "\xe2\x82\xac"},
        {std::wstring(1, static_cast<wchar_t>(0x1F600)), "\xf0\x9f\x98\x80"},
        {std::wstring(1, static_cast<wchar_t>(0xD800)) + L"x", "\xef\xbf\xbdx"},  // unpaired high surrogate
        {std::wstring(1, static_cast<wchar_t>(0xDC00)), "\xef\xbf\xbd"},          // unpaired low surrogate
        {std::wstring{static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00)}, "\xf0\x9f\x98\x80"},  // a pair
        {std::wstring(1, static_cast<wchar_t>(0x110000)), "\xef\xbf\xbd"},
    };
    for (const EncodeCase& c : cases) {
        EXPECT_EQ(posix::WideToUtf8(c.wide), c.utf8) << c.utf8;
        if (!c.wide.empty()) {
            int needed = WideCharToMultiByte(CP_UTF8, 0, c.wide.data(), static_cast<int>(c.wide.size()), nullptr, 0,
                                             nullptr, nullptr);
            ASSERT_EQ(needed, static_cast<int>(c.utf8.size())) << c.utf8;
            std::string out(static_cast<size_t>(needed), '\0');
            EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, c.wide.data(), static_cast<int>(c.wide.size()), out.data(),
                                          needed, nullptr, nullptr),
                      needed);
            EXPECT_EQ(out, c.utf8);
        }
    }
}

TEST(StandinText, CountMinusOneIncludesTheTerminator) {
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "h\xc3\xa9", -1, nullptr, 0), 3);
    wchar_t wide[3];
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, "h\xc3\xa9", -1, wide, 3), 3);
    EXPECT_EQ(wide[2], L'\0');
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"h\u00e9", -1, nullptr, 0, nullptr, nullptr), 4);
    char narrow[4];
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"h\u00e9", -1, narrow, 4, nullptr, nullptr), 4);
    EXPECT_EQ(std::memcmp(narrow, "h\xc3\xa9", 4), 0);
}

struct TextFailureCase {
    const char* what;
    int result;
    DWORD error;
};

TEST(StandinText, FailuresSetTheWindowsError) {
    wchar_t wide[2];
    char narrow[2];
    BOOL usedDefault = FALSE;
    auto call = [](auto f) {
        SetLastError(0);
        int result = f();
        return std::make_pair(result, GetLastError());
    };
    const std::pair<const char*, std::pair<int, DWORD>> rows[] = {
        {"short wide buffer", call([&] { return MultiByteToWideChar(CP_UTF8, 0, "abc", 3, wide, 2); })},
        {"short narrow buffer",
         call([&] { return WideCharToMultiByte(CP_UTF8, 0, L"\u00e9", 1, narrow, 1, nullptr, nullptr); })},
        {"zero input count", call([&] { return MultiByteToWideChar(CP_UTF8, 0, "abc", 0, wide, 2); })},
        {"null input", call([&] { return MultiByteToWideChar(CP_UTF8, 0, nullptr, 3, wide, 2); })},
        {"default char with UTF-8",
         call([&] { return WideCharToMultiByte(CP_UTF8, 0, L"a", 1, narrow, 2, "?", &usedDefault); })},
        {"strict invalid input", call([&] { return MultiByteToWideChar(CP_UTF8, 0x08, "\xff", 1, wide, 2); })},
    };
    const TextFailureCase expected[] = {
        {"short wide buffer", 0, ERROR_INSUFFICIENT_BUFFER}, {"short narrow buffer", 0, ERROR_INSUFFICIENT_BUFFER},
        {"zero input count", 0, ERROR_INVALID_PARAMETER},    {"null input", 0, ERROR_INVALID_PARAMETER},
        {"default char with UTF-8", 0, ERROR_INVALID_PARAMETER}, {"strict invalid input", 0, 1113u},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_EQ(rows[i].second.first, expected[i].result) << expected[i].what;
        EXPECT_EQ(rows[i].second.second, expected[i].error) << expected[i].what;
    }
}

}  // namespace
