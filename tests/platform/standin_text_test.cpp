// standin_text_test.cpp - UTF-8 <-> wide conversion with the rules of MultiByteToWideChar/WideCharToMultiByte.
// Invalid input becomes U+FFFD, one per maximal ill-formed part; size queries and short buffers as on Windows.
#include "tests/platform/standin_fixture.h"

#include <cstring>

namespace {

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

struct FailureCase {
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
    const FailureCase expected[] = {
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
