// standin_paths_test.cpp - the Z: drive mapping both ways, and how LOCALAPPDATA and other variables read.
// LOCALAPPDATA falls back to XDG_DATA_HOME, then HOME/.local/share, before it counts as unset.
#include "tests/platform/standin_fixture.h"

namespace {

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
TEST_F(StandinTest, LocalAppDataFallbacks) {
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
        auto put = [this](const char* name, const char* value) {
            if (value == nullptr) {
                unsetenv(name);
            } else {
                setenv(name, (value[0] == '@' ? root_ + (value + 1) : std::string(value)).c_str(), 1);
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
        if (expected[0] == L'@') expected.replace(0, 1, posix::ToWindowsPath(root_));
        EXPECT_EQ(value, expected) << (c.localAppData ? c.localAppData : "(unset)");
        if (expected[0] == L'Z') {
            const bool fallback = c.localAppData == nullptr || c.localAppData[0] == '\0';
            EXPECT_EQ(std::filesystem::is_directory(posix::ToPosixPath(value)), fallback) << c.expected;
        }
    }
}

TEST(StandinEnvironment, ReturnValuesFollowWindows) {
    SavedEnvironment saved;
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

}  // namespace
