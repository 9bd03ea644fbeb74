// standin_process_test.cpp - command-line splitting, child processes (tests/helpers/standin_child), the program's
// own path, the user SID, console events, the Z: drive mapping, environment variables and UTF-8 text.
#include <csignal>
#include <cstring>
#include <filesystem>

#include "tests/platform/platform_fixture.h"

namespace platformtest {
namespace {

const std::string kChild = std::string(VOSKE_BINARY_DIR) + "/standin_child";

class StandinProcess : public PlatformTest {};

// Starts the child with a Windows command line; returns false when CreateProcessW fails.
bool Start(const std::wstring& arguments, PROCESS_INFORMATION* info, const wchar_t* directory = nullptr,
           const std::wstring& program = Win(kChild), bool quoted = true) {
    std::wstring commandLine = (quoted ? L"\"" + program + L"\"" : program) + L" " + arguments;
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

// Exit codes, a signal's 128 + N, a wait that times out while the child runs, the arguments, working directory
// and environment the child is given, and the errors for a program that is not there.
TEST_F(StandinProcess, ChildProcesses) {
    PROCESS_INFORMATION info{};
    for (DWORD code : {0u, 42u, 255u}) {
        ASSERT_TRUE(Start(L"exit " + std::to_wstring(code), &info, nullptr, Win(kChild), false));
        EXPECT_EQ(ExitCodeOf(info), code);
    }
    ASSERT_TRUE(Start(L"sleep 600000", &info));
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 20), WAIT_TIMEOUT);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    ASSERT_EQ(kill(static_cast<pid_t>(info.dwProcessId), SIGKILL), 0);
    EXPECT_EQ(ExitCodeOf(info), 128u + SIGKILL);

    ASSERT_TRUE(SetEnvironmentVariableW(L"VOSKE_STANDIN_TEST", L"inherited"));
    ASSERT_TRUE(CreateDirectoryW(WinOf("work").c_str(), nullptr));
    // Backslashes count only before a quote (2n + 1 of them make a literal one), "" inside quotes is a quote.
    ASSERT_TRUE(Start(L"echo \"" + WinOf("args.txt") + L"\" plain \"two words\" a\\\\\\\"b \"\" \u00e9 a\\\\b " +
                          L"d\"e f\"g a\\\\\\\\\"b c\" \"x\"\"y\"",
                      &info, WinOf("work").c_str()));
    EXPECT_EQ(ExitCodeOf(info), 0u);
    EXPECT_EQ(ReadFileBytes(Posix("args.txt")), std::filesystem::canonical(Posix("work")).string() +
                                                    "\ninherited\n[plain]\n[two words]\n[a\\\"b]\n[]\n[\xc3\xa9]\n"
                                                    "[a\\\\b]\n[de fg]\n[a\\\\b c]\n[x\"y]\n");
    EXPECT_FALSE(Start(L"x", &info, nullptr, WinOf("no-such-program")));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(Start(L"x", &info, nullptr, WinOf("nodir/no-such-program")));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

// A handled event lets the child exit with 7; an unhandled one ends it by the signal. Both reach the handler.
TEST_F(StandinProcess, ConsoleControlEventsReachTheHandler) {
    const struct {
        const char* handled;
        int signal;
        const char* reported;
        int exitCode;
    } cases[] = {
        {"FALSE", SIGINT, "ready\nevent 0\n", 128 + SIGINT},
        {"TRUE", SIGINT, "ready\nevent 0\n", 7},
        {"FALSE", SIGTERM, "ready\nevent 2\n", 128 + SIGTERM},
        {"TRUE", SIGHUP, "ready\nevent 2\n", 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.handled) + " " + std::to_string(c.signal));
        BackgroundProcess child({kChild, "ctrl", c.handled});
        ASSERT_TRUE(WaitUntil([&] { return child.Out() == "ready\n"; }));
        child.Signal(c.signal);
        int exitCode = -1;
        ASSERT_TRUE(child.Wait(10000, &exitCode));
        EXPECT_EQ(child.Out(), c.reported);
        EXPECT_EQ(exitCode, c.exitCode);
    }
}

// The module's path with Windows' truncation, and the user's SID with the two-call size protocol.
TEST(StandinIdentity, ModuleFileNameAndUserSid) {
    std::wstring expected = Win(std::filesystem::read_symlink("/proc/self/exe").string());
    wchar_t buffer[4096];
    EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, 4096), expected.size());
    EXPECT_EQ(std::wstring(buffer), expected);
    EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, 5), 5u);  // cut to 4 characters and a NUL
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::wstring(buffer), expected.substr(0, 4));
    EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, static_cast<DWORD>(expected.size())), expected.size());
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    DWORD size = 0;
    EXPECT_FALSE(GetTokenInformation(token, TokenUser, nullptr, 0, &size));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    std::vector<BYTE> sid(size);
    EXPECT_FALSE(GetTokenInformation(token, TokenUser, sid.data(), size - 1, &size));
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, sid.data(), size, &size));
    LPWSTR text = nullptr;
    ASSERT_TRUE(ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(sid.data())->User.Sid, &text));
    EXPECT_EQ(std::wstring(text), L"S-1-22-1-" + std::to_wstring(getuid()));
    EXPECT_EQ(LocalFree(text), nullptr);
    EXPECT_TRUE(CloseHandle(token));
}

// Z: is the POSIX root, either case; other drives pass unmapped; a backslash inside a POSIX name travels as U+F05C.
TEST(StandinPaths, WindowsAndPosixPaths) {
    const std::pair<const wchar_t*, const char*> both[] = {
        {L"Z:\\home\\u\\x.txt", "/home/u/x.txt"},
        {L"Z:\\", "/"},
        {L"rel\\f", "rel/f"},
        {L"", ""},
        {L"Z:\\d\\\u00e9t\u00e9.txt", "/d/\xc3\xa9t\xc3\xa9.txt"},
        {L"Z:\\d\\a\uF05C..\uF05Cx", "/d/a\\..\\x"},
    };
    for (const auto& [windows, posixPath] : both) {
        EXPECT_EQ(posix::ToPosixPath(windows), posixPath);
        EXPECT_EQ(posix::ToWindowsPath(posixPath), windows);
    }
    const std::pair<const wchar_t*, const char*> toPosix[] = {
        {L"z:\\home\\u", "/home/u"}, {L"Z:", "/"}, {L"C:\\Users\\u", "C:/Users/u"}, {L"\\abs\\x", "/abs/x"}};
    for (const auto& [windows, posixPath] : toPosix) EXPECT_EQ(posix::ToPosixPath(windows), posixPath);
    const std::string here = std::filesystem::current_path().string();
    EXPECT_EQ(posix::AbsolutePosixPath(L".\\a\\b.txt"), (here == "/" ? "" : here) + "/a/b.txt");
}

// LOCALAPPDATA as set, else XDG_DATA_HOME, else HOME/.local/share; the directory a fallback names is made, for
// this user only. "@" stands for the test's directory.
TEST(StandinEnvironment, LocalAppDataFallbacksAndReturnValues) {
    TempLocalAppData env;  // puts LOCALAPPDATA, HOME and XDG_DATA_HOME back
    const struct {
        const char *localAppData, *xdg, *home;  // null: unset
        const wchar_t* expected;                // null: reported as not found
    } cases[] = {
        {"C:\\Users\\u\\AppData\\Local", "@/x", "@/h", L"C:\\Users\\u\\AppData\\Local"},
        {"@/home/u/lad", "@/x", "@/h", L"@\\home\\u\\lad"},
        {"", "@/x/data", "@/h", L"@\\x\\data"},
        {nullptr, "@/y/data", "@/h", L"@\\y\\data"},
        {nullptr, "", "@/home/u", L"@\\home\\u\\.local\\share"},
        {nullptr, nullptr, "@/home/v/", L"@\\home\\v\\.local\\share"},
        {"", "", "", nullptr},
        {nullptr, nullptr, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.localAppData ? c.localAppData : "(unset)");
        for (const auto& [name, value] :
             {std::pair{"LOCALAPPDATA", c.localAppData}, {"XDG_DATA_HOME", c.xdg}, {"HOME", c.home}}) {
            if (value == nullptr) unsetenv(name);
            if (value != nullptr) setenv(name, (value[0] == '@' ? env.Root() + (value + 1) : value).c_str(), 1);
        }
        wchar_t buffer[512];
        SetLastError(ERROR_SUCCESS);
        DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", buffer, 512);
        if (c.expected == nullptr) {
            EXPECT_EQ(length, 0u);
            EXPECT_EQ(GetLastError(), 203u);  // ERROR_ENVVAR_NOT_FOUND
            continue;
        }
        std::wstring expected = c.expected;
        if (expected[0] == L'@') expected.replace(0, 1, Win(env.Root()));
        EXPECT_EQ(std::wstring(buffer, length), expected);
        if (expected[0] != L'Z') continue;
        struct stat st {};
        const bool made = stat(posix::ToPosixPath(expected).c_str(), &st) == 0;
        const bool fallback = c.localAppData == nullptr || c.localAppData[0] == '\0';
        EXPECT_EQ(made, fallback);
        EXPECT_EQ(st.st_mode & 0777, made ? 0700u : 0u);
    }

    // The length without the NUL on success, the size with the NUL when the buffer is too small.
    ASSERT_TRUE(SetEnvironmentVariableW(L"VOSKE_STANDIN_TEST", L"abc\u00e9"));
    EXPECT_STREQ(std::getenv("VOSKE_STANDIN_TEST"), "abc\xc3\xa9");
    wchar_t buffer[8];
    for (const auto& [size, expected] : {std::pair{0u, 5u}, {4u, 5u}, {5u, 4u}, {8u, 4u}}) {
        wmemset(buffer, L'#', 8);
        EXPECT_EQ(GetEnvironmentVariableW(L"VOSKE_STANDIN_TEST", size == 0 ? nullptr : buffer, size), expected) << size;
        const size_t copied = expected < size ? 5 : 0;  // the value and its NUL
        EXPECT_EQ(std::wstring(buffer, copied), std::wstring(L"abc\u00e9", copied));
    }
    ASSERT_TRUE(SetEnvironmentVariableW(L"VOSKE_STANDIN_TEST", nullptr));
    EXPECT_EQ(std::getenv("VOSKE_STANDIN_TEST"), nullptr);
}

std::wstring Wide(std::initializer_list<unsigned> units) { return std::wstring(units.begin(), units.end()); }

// Both directions through the Win32 calls: invalid input becomes U+FFFD per bad unit, a count of -1 takes the NUL
// along, a short buffer or a bad argument fails with the Windows error.
TEST(StandinText, Utf8AndWideConversions) {
    const std::pair<std::string, std::wstring> decode[] = {
        {"abc", L"abc"},
        {"\xc3\xa9\xe2\x82\xac", L"\u00e9\u20ac"},
        {"\xf0\x9f\x98\x80", Wide({0x1F600})},
        {"a\377b", L"a\uFFFDb"},
        {"\342\202A", L"\uFFFDA"},                          // a truncated sequence is one replacement
        {"\xc0\xaf", L"\uFFFD\uFFFD"},                      // overlong form
        {"\xed\xa0\x80", L"\uFFFD\uFFFD\uFFFD"},            // encoded surrogate
        {"\xf4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},  // beyond U+10FFFF
    };
    for (const auto& [utf8, wide] : decode) {
        std::wstring out(16, L'\0');
        out.resize(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), 16));
        EXPECT_EQ(out, wide) << utf8;
        EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0),
                  static_cast<int>(wide.size()));
    }
    const std::pair<std::wstring, std::string> encode[] = {
        {L"a\u00e9\u20ac", "a\xc3\xa9\xe2\x82\xac"},
        {Wide({0x1F600}), "\xf0\x9f\x98\x80"},
        {Wide({0xD83D, 0xDE00}), "\xf0\x9f\x98\x80"},  // a surrogate pair
        {Wide({0xD800, 'x'}), "\xef\xbf\xbdx"},        // unpaired high surrogate
        {Wide({0xDC00}), "\xef\xbf\xbd"},
        {Wide({0x110000}), "\xef\xbf\xbd"},
    };
    for (const auto& [wide, utf8] : encode) {
        std::string out(16, '\0');
        const int count = static_cast<int>(wide.size());
        out.resize(WideCharToMultiByte(CP_UTF8, 0, wide.data(), count, out.data(), 16, nullptr, nullptr));
        EXPECT_EQ(out, utf8);
        EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide.data(), count, nullptr, 0, nullptr, nullptr),
                  static_cast<int>(utf8.size()));
    }
    wchar_t wide[3];
    char narrow[4];
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, "h\xc3\xa9", -1, wide, 3), 3);
    EXPECT_EQ(wide[2], L'\0');
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"h\u00e9", -1, narrow, 4, nullptr, nullptr), 4);
    EXPECT_EQ(std::memcmp(narrow, "h\xc3\xa9", 4), 0);

    BOOL usedDefault = FALSE;
    const std::pair<std::function<int()>, DWORD> failures[] = {
        {[&] { return MultiByteToWideChar(CP_UTF8, 0, "abc", 3, wide, 2); }, ERROR_INSUFFICIENT_BUFFER},
        {[&] { return MultiByteToWideChar(CP_UTF8, 0, "abc", 0, wide, 2); }, ERROR_INVALID_PARAMETER},
        {[&] { return WideCharToMultiByte(CP_UTF8, 0, L"a", 1, narrow, 2, "?", &usedDefault); },
         ERROR_INVALID_PARAMETER},  // no default character with UTF-8
        {[&] { return MultiByteToWideChar(CP_UTF8, 0x08, "\xff", 1, wide, 2); }, 1113u},  // MB_ERR_INVALID_CHARS
    };
    for (size_t i = 0; i < std::size(failures); ++i) {
        SetLastError(0);
        EXPECT_EQ(failures[i].first(), 0) << i;
        EXPECT_EQ(GetLastError(), failures[i].second) << i;
    }
}

}  // namespace
}  // namespace platformtest
