// standin_files_test.cpp - files through the stand-in: dispositions, Windows error codes, positional I/O, times,
// copies, FindFirstFileW listings and their order, share modes across processes, and the C runtime's streams.
#include "tests/platform/platform_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <csignal>
#include <functional>
#include <memory>

using platformtest::Hold;

namespace {

class StandinFiles : public platformtest::PlatformTest {};

struct DispositionCase {
    const char* what;
    DWORD disposition;
    bool exists;         // "old" is in the file beforehand
    bool succeeds;
    DWORD lastError;     // after the call, success or not
    const char* content; // what the file holds afterwards (null: it does not exist)
};

TEST_F(StandinFiles, CreateFileDispositions) {
    const DispositionCase cases[] = {
        {"create new, missing", CREATE_NEW, false, true, ERROR_SUCCESS, ""},
        {"create new, present", CREATE_NEW, true, false, ERROR_FILE_EXISTS, "old"},
        {"create always, missing", CREATE_ALWAYS, false, true, ERROR_SUCCESS, ""},
        {"create always, present", CREATE_ALWAYS, true, true, ERROR_ALREADY_EXISTS, ""},
        {"open existing, missing", OPEN_EXISTING, false, false, ERROR_FILE_NOT_FOUND, nullptr},
        {"open existing, present", OPEN_EXISTING, true, true, ERROR_SUCCESS, "old"},
        {"open always, missing", OPEN_ALWAYS, false, true, ERROR_SUCCESS, ""},
        {"open always, present", OPEN_ALWAYS, true, true, ERROR_ALREADY_EXISTS, "old"},
        {"truncate existing, missing", TRUNCATE_EXISTING, false, false, ERROR_FILE_NOT_FOUND, nullptr},
        {"truncate existing, present", TRUNCATE_EXISTING, true, true, ERROR_SUCCESS, ""},
        {"bad disposition", 9, true, false, ERROR_INVALID_PARAMETER, "old"},
    };
    for (const DispositionCase& c : cases) {
        std::string path = Posix("f.txt");
        unlink(path.c_str());
        if (c.exists) WriteFileBytes(path, "old");
        SetLastError(12345);
        HANDLE h = CreateFileW(WinOf("f.txt").c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               c.disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD error = GetLastError();
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.succeeds) << c.what;
        EXPECT_EQ(error, c.lastError) << c.what;
        if (h != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(h));
        }
        EXPECT_EQ(FileExists(path), c.content != nullptr) << c.what;
        if (c.content != nullptr) {
            EXPECT_EQ(ReadFileBytes(path), c.content) << c.what;
        }
    }
}

struct ErrorCase {
    const char* what;
    std::function<bool()> call;  // true when the call succeeded
    DWORD error;
};

TEST_F(StandinFiles, FailuresReportWindowsCodes) {
    ASSERT_EQ(mkdir(Posix("dir").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(Posix("full").c_str(), 0755), 0);
    WriteFileBytes(Posix("full/x"), "x");
    WriteFileBytes(Posix("a.txt"), "a");
    WriteFileBytes(Posix("b.txt"), "b");
    WriteFileBytes(Posix("ro.txt"), "r");
    ASSERT_EQ(chmod(Posix("ro.txt").c_str(), 0444), 0);
    auto open = [this](const char* name, DWORD flags) {
        HANDLE h = CreateFileW(WinOf(name).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, flags, nullptr);
        if (h == INVALID_HANDLE_VALUE) return false;
        CloseHandle(h);
        return true;
    };
    WIN32_FIND_DATAW data;
    const ErrorCase cases[] = {
        {"attributes of a missing file", [&] { return GetFileAttributesW(WinOf("nope").c_str()) != INVALID_FILE_ATTRIBUTES; },
         ERROR_FILE_NOT_FOUND},
        {"attributes below a missing directory",
         [&] { return GetFileAttributesW(WinOf("nodir/nope").c_str()) != INVALID_FILE_ATTRIBUTES; }, ERROR_PATH_NOT_FOUND},
        {"open below a missing directory", [&] { return open("nodir/f", 0); }, ERROR_PATH_NOT_FOUND},
        {"open a directory without backup semantics", [&] { return open("dir", 0); }, ERROR_ACCESS_DENIED},
        {"create an existing directory", [&] { return CreateDirectoryW(WinOf("dir").c_str(), nullptr) != FALSE; },
         ERROR_ALREADY_EXISTS},
        {"create a directory in a missing one",
         [&] { return CreateDirectoryW(WinOf("nodir/sub").c_str(), nullptr) != FALSE; }, ERROR_PATH_NOT_FOUND},
        {"move onto an existing file", [&] { return MoveFileW(WinOf("a.txt").c_str(), WinOf("b.txt").c_str()) != FALSE; },
         ERROR_ALREADY_EXISTS},
        {"move a missing file", [&] { return MoveFileW(WinOf("nope").c_str(), WinOf("c.txt").c_str()) != FALSE; },
         ERROR_FILE_NOT_FOUND},
        {"delete a directory", [&] { return DeleteFileW(WinOf("dir").c_str()) != FALSE; }, ERROR_ACCESS_DENIED},
        {"delete a read-only file", [&] { return DeleteFileW(WinOf("ro.txt").c_str()) != FALSE; }, ERROR_ACCESS_DENIED},
        {"delete a missing file", [&] { return DeleteFileW(WinOf("nope").c_str()) != FALSE; }, ERROR_FILE_NOT_FOUND},
        {"remove a full directory", [&] { return RemoveDirectoryW(WinOf("full").c_str()) != FALSE; }, ERROR_DIR_NOT_EMPTY},
        {"remove a file as a directory", [&] { return RemoveDirectoryW(WinOf("a.txt").c_str()) != FALSE; },
         ERROR_DIRECTORY},
        {"copy onto an existing file", [&] { return CopyFileW(WinOf("a.txt").c_str(), WinOf("b.txt").c_str(), TRUE) != FALSE; },
         ERROR_FILE_EXISTS},
        {"copy a missing file", [&] { return CopyFileW(WinOf("nope").c_str(), WinOf("c.txt").c_str(), FALSE) != FALSE; },
         ERROR_FILE_NOT_FOUND},
        {"list a missing directory",
         [&] {
             HANDLE f = FindFirstFileW(WinOf("nodir/*").c_str(), &data);
             return f != INVALID_HANDLE_VALUE && FindClose(f);
         },
         ERROR_PATH_NOT_FOUND},
        {"list with no match",
         [&] {
             HANDLE f = FindFirstFileW(WinOf("dir/*.none").c_str(), &data);
             return f != INVALID_HANDLE_VALUE && FindClose(f);
         },
         ERROR_FILE_NOT_FOUND},
        {"close an invalid handle", [&] { return CloseHandle(INVALID_HANDLE_VALUE) != FALSE; }, ERROR_INVALID_HANDLE},
    };
    for (const ErrorCase& c : cases) {
        SetLastError(0);
        EXPECT_FALSE(c.call()) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    // Refused operations left everything in place.
    EXPECT_EQ(ReadFileBytes(Posix("a.txt")), "a");
    EXPECT_EQ(ReadFileBytes(Posix("b.txt")), "b");
    EXPECT_TRUE(FileExists(Posix("ro.txt")));
    EXPECT_FALSE(FileExists(Posix("c.txt")));
}

TEST_F(StandinFiles, MovesAndReplaces) {
    WriteFileBytes(Posix("a.txt"), "a");
    WriteFileBytes(Posix("b.txt"), "b");
    ASSERT_TRUE(MoveFileExW(WinOf("a.txt").c_str(), WinOf("b.txt").c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_FALSE(FileExists(Posix("a.txt")));
    EXPECT_EQ(ReadFileBytes(Posix("b.txt")), "a");
    ASSERT_TRUE(MoveFileW(WinOf("b.txt").c_str(), WinOf("c.txt").c_str()));
    EXPECT_EQ(ReadFileBytes(Posix("c.txt")), "a");
    ASSERT_TRUE(CreateDirectoryW(WinOf("d").c_str(), nullptr));
    ASSERT_TRUE(MoveFileW(WinOf("d").c_str(), WinOf("e").c_str()));
    EXPECT_EQ(GetFileAttributesW(WinOf("e").c_str()), FILE_ATTRIBUTE_DIRECTORY);
    ASSERT_TRUE(RemoveDirectoryW(WinOf("e").c_str()));
    ASSERT_TRUE(DeleteFileW(WinOf("c.txt").c_str()));
    EXPECT_EQ(ListDirectory(env_->Root()), std::vector<std::string>{"nq.vo.tarn.voskel"});  // the product folder
}

TEST_F(StandinFiles, ReadWriteAndPositionalIo) {
    HANDLE h = CreateFileW(WinOf("io.bin").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(h, "0123456789", 10, &done, nullptr));
    EXPECT_EQ(done, 10u);
    OVERLAPPED at{};
    at.Offset = 2;
    ASSERT_TRUE(WriteFile(h, "ab", 2, &done, &at));
    // The file pointer now stands after the positional write.
    ASSERT_TRUE(WriteFile(h, "X", 1, &done, nullptr));
    EXPECT_EQ(ReadFileBytes(Posix("io.bin")), "01abX56789");
    LARGE_INTEGER size{};
    ASSERT_TRUE(GetFileSizeEx(h, &size));
    EXPECT_EQ(size.QuadPart, 10);

    char buffer[16] = {};
    at.Offset = 7;
    ASSERT_TRUE(ReadFile(h, buffer, 16, &done, &at));
    EXPECT_EQ(std::string(buffer, done), "789");
    at.Offset = 10;
    EXPECT_FALSE(ReadFile(h, buffer, 16, &done, &at));  // positional read at the end
    EXPECT_EQ(GetLastError(), ERROR_HANDLE_EOF);
    EXPECT_EQ(done, 0u);

    struct SeekCase {
        LONG distance;
        DWORD method;
        DWORD expected;
        DWORD error;
    };
    const SeekCase seeks[] = {
        {3, FILE_BEGIN, 3, ERROR_SUCCESS},  {2, FILE_CURRENT, 5, ERROR_SUCCESS},
        {-1, FILE_END, 9, ERROR_SUCCESS},   {-20, FILE_CURRENT, INVALID_SET_FILE_POINTER, 131},
        {0, 7, INVALID_SET_FILE_POINTER, ERROR_INVALID_PARAMETER},
    };
    for (const SeekCase& s : seeks) {
        EXPECT_EQ(SetFilePointer(h, s.distance, nullptr, s.method), s.expected) << s.distance;
        EXPECT_EQ(GetLastError(), s.error) << s.distance;
    }
    ASSERT_TRUE(ReadFile(h, buffer, 16, &done, nullptr));
    EXPECT_EQ(std::string(buffer, done), "9");  // the failed seeks left the pointer at 9
    ASSERT_TRUE(ReadFile(h, buffer, 16, &done, nullptr));
    EXPECT_EQ(done, 0u);  // a plain read at the end succeeds with nothing

    LONG high = 1;  // 4 GiB + 5: the high part joins the low part
    EXPECT_EQ(SetFilePointer(h, 5, &high, FILE_BEGIN), 5u);
    EXPECT_EQ(high, 1);
    EXPECT_TRUE(FlushFileBuffers(h));
    EXPECT_TRUE(CloseHandle(h));

    HANDLE reader = CreateFileW(WinOf("io.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(WriteFile(reader, "z", 1, &done, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CloseHandle(reader));
}

ULONGLONG Ticks(const FILETIME& t) { return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime; }

TEST_F(StandinFiles, FileTimesRoundTrip) {
    WriteFileBytes(Posix("t.txt"), "12345");
    HANDLE h = CreateFileW(WinOf("t.txt").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    // 2020-01-02 03:04:05.1234567 UTC and 2001-02-03 00:00:00.0000001 UTC.
    const ULONGLONG written = 132224078451234567ULL, accessed = 126256320000000001ULL;
    FILETIME lastWrite = posix::FileTimeOfTicks(written), lastAccess = posix::FileTimeOfTicks(accessed);
    ASSERT_TRUE(SetFileTime(h, nullptr, &lastAccess, &lastWrite));
    FILETIME c{}, a{}, w{};
    ASSERT_TRUE(GetFileTime(h, &c, &a, &w));
    EXPECT_EQ(Ticks(w), written);
    EXPECT_EQ(Ticks(a), accessed);
    FILETIME zero{};
    ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &zero));  // zero leaves the time as it was
    ASSERT_TRUE(CloseHandle(h));

    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExW(WinOf("t.txt").c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(Ticks(data.ftLastWriteTime), written);
    EXPECT_EQ(Ticks(data.ftLastAccessTime), accessed);
    EXPECT_NE(Ticks(data.ftCreationTime), 0u);
    EXPECT_EQ(data.nFileSizeLow, 5u);
    EXPECT_EQ(data.nFileSizeHigh, 0u);
    EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(CompareFileTime(&data.ftLastWriteTime, &lastWrite), 0);
    EXPECT_EQ(CompareFileTime(&data.ftLastAccessTime, &data.ftLastWriteTime), -1);
    EXPECT_EQ(CompareFileTime(&data.ftLastWriteTime, &data.ftLastAccessTime), 1);

    struct stat st;
    ASSERT_EQ(stat(Posix("t.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1577934245);
    EXPECT_EQ(st.st_mtim.tv_nsec, 123456700);
}

TEST_F(StandinFiles, DirectoryHandleNeedsBackupSemantics) {
    ASSERT_TRUE(CreateDirectoryW(WinOf("d").c_str(), nullptr));
    HANDLE h = CreateFileW(WinOf("d").c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FILETIME when = posix::FileTimeOfTicks(132224078450000000ULL);
    EXPECT_TRUE(SetFileTime(h, nullptr, nullptr, &when));
    EXPECT_TRUE(CloseHandle(h));
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExW(WinOf("d").c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(Ticks(data.ftLastWriteTime), 132224078450000000ULL);
}

TEST_F(StandinFiles, CopyKeepsDataAndLastWriteTime) {
    std::string big(200000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 % 251);
    WriteFileBytes(Posix("src.bin"), big);
    HANDLE h = CreateFileW(WinOf("src.bin").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FILETIME when = posix::FileTimeOfTicks(130000000000000000ULL);
    ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &when));
    ASSERT_TRUE(CloseHandle(h));
    WriteFileBytes(Posix("dst.bin"), "longer old contents that must go");
    ASSERT_TRUE(CopyFileW(WinOf("src.bin").c_str(), WinOf("dst.bin").c_str(), FALSE));
    EXPECT_EQ(ReadFileBytes(Posix("dst.bin")), big);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExW(WinOf("dst.bin").c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(Ticks(data.ftLastWriteTime), 130000000000000000ULL);
    ASSERT_TRUE(CopyFileW(WinOf("src.bin").c_str(), WinOf("new.bin").c_str(), TRUE));
    EXPECT_EQ(ReadFileBytes(Posix("new.bin")), big);
}

struct Listed {
    std::string name;
    DWORD attributes;
    DWORD size;
};

std::vector<Listed> List(const std::wstring& pattern, DWORD* endError) {
    std::vector<Listed> out;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        *endError = GetLastError();
        return out;
    }
    do {
        out.push_back({posix::WideToUtf8(data.cFileName), data.dwFileAttributes, data.nFileSizeLow});
    } while (FindNextFileW(find, &data));
    *endError = GetLastError();
    EXPECT_TRUE(FindClose(find));
    return out;
}

TEST_F(StandinFiles, FindListsDotsLinksAndMatches) {
    ASSERT_TRUE(CreateDirectoryW(WinOf("d").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(WinOf("d/sub").c_str(), nullptr));
    WriteFileBytes(Posix("d/b.txt"), "bbb");
    WriteFileBytes(Posix("d/A.txt"), "a");
    WriteFileBytes(Posix("d/\xc3\xa9.dat"), "");
    ASSERT_EQ(symlink("loop", Posix("d/loop").c_str()), 0);  // a link to itself can never be followed
    ASSERT_EQ(symlink("sub", Posix("d/tosub").c_str()), 0);
    struct Case {
        const char* pattern;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {"d\\*", {".", "..", "A.txt", "b.txt", "loop", "sub", "tosub", "\xc3\xa9.dat"}},
        {"d\\*.*", {".", "..", "A.txt", "b.txt", "loop", "sub", "tosub", "\xc3\xa9.dat"}},
        {"d\\*.TXT", {"A.txt", "b.txt"}},
        {"d\\?.txt", {"A.txt", "b.txt"}},
        {"d\\b.txt", {"b.txt"}},
        {"d\\sub\\*", {".", ".."}},
    };
    for (const Case& c : cases) {
        DWORD end = 0;
        std::vector<Listed> listed = List(platformtest::Win(env_->Root()) + L"\\" + posix::Utf8ToWide(c.pattern), &end);
        std::vector<std::string> names;
        for (const Listed& item : listed) names.push_back(item.name);
        EXPECT_EQ(names, c.names) << c.pattern;
        EXPECT_EQ(end, ERROR_NO_MORE_FILES) << c.pattern;
    }
    DWORD end = 0;
    std::vector<Listed> listed = List(WinOf("d") + L"\\*", &end);
    const std::vector<std::pair<std::string, std::pair<DWORD, DWORD>>> expected = {
        {".", {FILE_ATTRIBUTE_DIRECTORY, 0}},
        {"..", {FILE_ATTRIBUTE_DIRECTORY, 0}},
        {"A.txt", {FILE_ATTRIBUTE_NORMAL, 1}},
        {"b.txt", {FILE_ATTRIBUTE_NORMAL, 3}},
        {"loop", {FILE_ATTRIBUTE_REPARSE_POINT, 4}},
        {"sub", {FILE_ATTRIBUTE_DIRECTORY, 0}},
        {"tosub", {FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY, 3}},
        {"\xc3\xa9.dat", {FILE_ATTRIBUTE_NORMAL, 0}},
    };
    ASSERT_EQ(listed.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(listed[i].name, expected[i].first);
        EXPECT_EQ(listed[i].attributes, expected[i].second.first) << expected[i].first;
        EXPECT_EQ(listed[i].size, expected[i].second.second) << expected[i].first;
    }
    EXPECT_EQ(GetFileAttributesW(WinOf("d/loop").c_str()), FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_EQ(GetFileAttributesW(WinOf("d/tosub").c_str()), FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY);
    // Removing the directory link removes the link, never what it points to.
    EXPECT_TRUE(RemoveDirectoryW(WinOf("d/tosub").c_str()));
    EXPECT_EQ(GetFileAttributesW(WinOf("d/sub").c_str()), FILE_ATTRIBUTE_DIRECTORY);
}

// A POSIX name holding backslashes is listed as one name, and what the program does with that name (join it to
// the directory, delete it) reaches that file and never the path its backslashes would spell.
TEST_F(StandinFiles, BackslashInAPosixNameStaysInsideTheName) {
    ASSERT_TRUE(CreateDirectoryW(WinOf("d").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(WinOf("d/a").c_str(), nullptr));
    WriteFileBytes(Posix("victim"), "keep");
    WriteFileBytes(Posix("d/a\\..\\..\\victim"), "odd");

    DWORD end = 0;
    std::vector<Listed> listed = List(WinOf("d") + L"\\*", &end);
    ASSERT_EQ(listed.size(), 4u);
    EXPECT_EQ(listed[3].name, "a\xef\x81\x9c..\xef\x81\x9c..\xef\x81\x9cvictim");  // U+F05C in UTF-8
    const std::wstring odd = WinOf("d") + L"\\a\uF05C..\uF05C..\uF05Cvictim";
    EXPECT_EQ(GetFileAttributesW(odd.c_str()), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(List(WinOf("d") + L"\\a\uF05C*", &end).size(), 1u);

    EXPECT_TRUE(DeleteFileW(odd.c_str())) << GetLastError();
    EXPECT_FALSE(FileExists(Posix("d/a\\..\\..\\victim")));
    EXPECT_EQ(ReadFileBytes(Posix("victim")), "keep");
}

TEST_F(StandinFiles, RootListingHasNoDots) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(L"Z:\\*", &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    bool sawDots = false, sawTmp = false;
    do {
        std::wstring name = data.cFileName;
        sawDots = sawDots || name == L"." || name == L"..";
        sawTmp = sawTmp || name == L"tmp";
    } while (FindNextFileW(find, &data));
    FindClose(find);
    EXPECT_FALSE(sawDots);
    EXPECT_TRUE(sawTmp);
}

TEST_F(StandinFiles, ReadOnlyAttribute) {
    WriteFileBytes(Posix("r.txt"), "r");
    ASSERT_EQ(chmod(Posix("r.txt").c_str(), 0444), 0);
    EXPECT_EQ(GetFileAttributesW(WinOf("r.txt").c_str()), FILE_ATTRIBUTE_READONLY);
    HANDLE h = CreateFileW(WinOf("new.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_READONLY,
                           nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(GetFileAttributesW(WinOf("new.txt").c_str()), FILE_ATTRIBUTE_READONLY);
}

std::vector<std::string> ListNames(const std::wstring& pattern) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        names.push_back(posix::WideToUtf8(data.cFileName));
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
}

TEST_F(StandinFiles, CaseFoldedThenByBytesWithAndWithoutOtherThanAsciiNames) {
    // Upper-cased keys: A, AB (twice, then by bytes: "Ab" before "aB"), A_ ('_' after the letters), B, B1, Z,
    // _Z, ~; a name outside ASCII ("é", upper-cased U+00C9) after all of them.
    const std::vector<std::string> ascii = {"A", "Ab", "aB", "a_", "b", "B1", "Z", "_z", "~"};
    struct Row {
        const char* directory;
        bool withAccent;
    };
    const Row rows[] = {{"ascii", false}, {"mixed", true}};
    for (const Row& row : rows) {
        ASSERT_TRUE(CreateDirectoryW(WinOf(row.directory).c_str(), nullptr)) << row.directory;
        // Created in reverse, so the listing's order is never the order of creation.
        for (auto name = ascii.rbegin(); name != ascii.rend(); ++name) {
            WriteFileBytes(Posix(std::string(row.directory) + "/" + *name), "x");
        }
        if (row.withAccent) WriteFileBytes(Posix(std::string(row.directory) + "/\xc3\xa9"), "x");

        std::vector<std::string> expected = {".", ".."};
        expected.insert(expected.end(), ascii.begin(), ascii.end());
        if (row.withAccent) expected.push_back("\xc3\xa9");
        EXPECT_EQ(ListNames(WinOf(row.directory) + L"\\*"), expected) << row.directory;
    }
}


struct WriteCase {
    const wchar_t* mode;
    const char* before;  // null: no file beforehand
    const char* text;
    std::string onDisk;
};

TEST_F(StandinFiles, TextModeWritesCrLf) {
    const WriteCase cases[] = {
        {L"w", nullptr, "a\nb\n", std::string("a\r\nb\r\n")},
        {L"wt", "old", "x\n\ny", std::string("x\r\n\r\ny")},
        {L"a", "a\r\n", "b\n", std::string("a\r\nb\r\n")},
        {L"ab", "a", "b\nc", std::string("ab\nc")},
        {L"wb", "old", "a\nb\n", std::string("a\nb\n")},
        {L"w", nullptr, "", std::string("")},
        {L"w", nullptr, "\r\n", std::string("\r\r\n")},  // as the Windows runtime: only "\n" is translated
    };
    for (const WriteCase& c : cases) {
        std::string path = Posix("t.txt");
        unlink(path.c_str());
        if (c.before != nullptr) WriteFileBytes(path, c.before);
        FILE* f = _wfsopen(WinOf("t.txt").c_str(), c.mode, _SH_DENYNO);
        ASSERT_NE(f, nullptr);
        EXPECT_GE(fputs(c.text, f), 0);
        EXPECT_EQ(fclose(f), 0);
        EXPECT_EQ(ReadFileBytes(path), c.onDisk) << c.text;
    }
}

struct ReadCase {
    std::string onDisk;
    const wchar_t* mode;
    std::string read;
};

TEST_F(StandinFiles, TextModeReadsCrLfAsLf) {
    std::vector<ReadCase> cases = {
        {"x\r\ny\r\n\r\nz", L"r", "x\ny\n\nz"},
        {"a\rb\r\r\nc\r", L"r", "a\rb\r\nc\r"},
        {"x\r\ny", L"rb", "x\r\ny"},
        {std::string(10000, 'q') + "\r\n" + std::string(10000, 'r') + "\r\n", L"rt",
         std::string(10000, 'q') + "\n" + std::string(10000, 'r') + "\n"},
    };
    // A "\r\n" split between two reads of the stream's 8 KiB buffer still becomes one "\n".
    for (size_t at = 8185; at <= 8195; ++at) {
        cases.push_back({std::string(at, 'q') + "\r\nz\r", L"r", std::string(at, 'q') + "\nz\r"});
    }
    for (const ReadCase& c : cases) {
        WriteFileBytes(Posix("r.txt"), c.onDisk);
        FILE* f = _wfopen(WinOf("r.txt").c_str(), c.mode);
        ASSERT_NE(f, nullptr);
        std::string read;
        char buffer[333];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) read.append(buffer, n);
        fclose(f);
        EXPECT_EQ(read, c.read) << c.onDisk.size();
    }
}

TEST_F(StandinFiles, OpenFailures) {
    errno = 0;
    EXPECT_EQ(_wfopen(WinOf("missing.txt").c_str(), L"r"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(_wfopen(WinOf("nodir/x.txt").c_str(), L"a"), nullptr);
    EXPECT_EQ(_wfopen(WinOf("x.txt").c_str(), L"q"), nullptr);
    EXPECT_EQ(errno, EINVAL);
}

// The line a writer appends in round `i`: its own letter, a length between 1 and 1000, and a line end.
std::string LineOf(char letter, int i) { return std::string(static_cast<size_t>(i * 37 % 1000 + 1), letter); }

TEST_F(StandinFiles, TwoProcessesAppendWholeLines) {
    const int kLines = 300;
    std::wstring path = WinOf("shared.log");
    pid_t children[2];
    for (int child = 0; child < 2; ++child) {
        char letter = child == 0 ? 'A' : 'B';
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // One open, write and close per line, as the event log does.
            for (int i = 0; i < kLines; ++i) {
                FILE* f = _wfsopen(path.c_str(), L"a", _SH_DENYNO);
                if (f == nullptr) _exit(2);
                fprintf(f, "%s\n", LineOf(letter, i).c_str());
                if (fclose(f) != 0) _exit(3);
            }
            _exit(0);
        }
        children[child] = pid;
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    std::string bytes = ReadFileBytes(Posix("shared.log"));
    std::map<char, std::multiset<size_t>> seen;
    size_t start = 0, lines = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find("\r\n", start);
        ASSERT_NE(end, std::string::npos) << "unterminated line";
        std::string line = bytes.substr(start, end - start);
        ASSERT_FALSE(line.empty());
        ASSERT_EQ(line.find_first_not_of(line[0]), std::string::npos) << "interleaved line at " << start;
        seen[line[0]].insert(line.size());
        start = end + 2;
        ++lines;
    }
    EXPECT_EQ(lines, 2u * kLines);
    for (char letter : {'A', 'B'}) {
        std::multiset<size_t> expected;
        for (int i = 0; i < kLines; ++i) expected.insert(LineOf(letter, i).size());
        EXPECT_EQ(seen[letter], expected) << letter;
    }
}

}  // namespace

namespace {

DWORD Rights(const std::string& letters) {
    DWORD rights = 0;
    for (char letter : letters) rights |= letter == 'r' ? GENERIC_READ : letter == 'w' ? GENERIC_WRITE : 0x00010000u;
    return rights;
}

DWORD Share(const std::string& letters) {
    DWORD share = 0;
    for (char letter : letters) share |= letter == 'r' ? FILE_SHARE_READ : letter == 'w' ? FILE_SHARE_WRITE : FILE_SHARE_DELETE;
    return share;
}

}  // namespace

// Share modes hold across processes as CreateFileW's do: the new handle's access against the share modes of
// those open, and its share mode against their access. A killed holder leaves nothing behind.
TEST_F(StandinFiles, ShareModesAreEnforcedAcrossProcesses) {
    struct Row {
        const char* heldAccess;
        const char* heldShare;
        const char* access;
        const char* share;
        bool opens;
    } rows[] = {
        {"r", "r", "r", "rwd", true},    {"r", "r", "w", "rwd", false},  {"r", "rw", "w", "rwd", true},
        {"r", "rwd", "r", "r", true},    {"w", "rwd", "r", "r", false},  {"w", "rwd", "r", "rw", true},
        {"r", "-", "r", "rwd", false},   {"-", "-", "rw", "-", true},    {"d", "rw", "r", "rw", false},
        {"d", "rw", "r", "rwd", true},   {"r", "rw", "d", "rwd", false}, {"rw", "rwd", "rw", "rwd", true},
    };
    WriteFileBytes(Posix("held.txt"), "held");
    for (const Row& row : rows) {
        const std::string name = std::string(row.heldAccess) + "/" + row.heldShare + " then " + row.access + "/" + row.share;
        auto holder = Hold(Posix("held.txt"), row.heldAccess, row.heldShare);
        HANDLE file = CreateFileW(WinOf("held.txt").c_str(), Rights(row.access), Share(row.share), nullptr, OPEN_EXISTING,
                                  0, nullptr);
        const DWORD error = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
        EXPECT_EQ(error, row.opens ? ERROR_SUCCESS : ERROR_SHARING_VIOLATION) << name;
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        holder->Signal(SIGTERM);
        ASSERT_TRUE(holder->Wait(10000)) << name;
    }

    // Writers held open without sharing delete: no delete, no rename, no replacing, no copy of a file being
    // written; the C runtime's open fails too. Nothing is changed by the refused calls.
    WriteFileBytes(Posix("target.txt"), "target");
    auto writer = Hold(Posix("held.txt"), "w", "rw");
    EXPECT_FALSE(DeleteFileW(WinOf("held.txt").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(MoveFileExW(WinOf("held.txt").c_str(), WinOf("moved.txt").c_str(), 0));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(MoveFileExW(WinOf("target.txt").c_str(), WinOf("held.txt").c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(CopyFileW(WinOf("held.txt").c_str(), WinOf("copy.txt").c_str(), FALSE));  // shares read + delete only
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    errno = 0;
    EXPECT_EQ(_wfsopen(WinOf("held.txt").c_str(), L"rb", 0x10 /* _SH_DENYRW */), nullptr);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(ReadFileBytes(Posix("held.txt")), "held");
    EXPECT_EQ(ReadFileBytes(Posix("target.txt")), "target");
    EXPECT_FALSE(std::filesystem::exists(Posix("copy.txt")));
    EXPECT_FALSE(std::filesystem::exists(Posix("moved.txt")));
    writer->Signal(SIGKILL);
    ASSERT_TRUE(writer->Wait(10000));
    EXPECT_TRUE(CopyFileW(WinOf("held.txt").c_str(), WinOf("copy.txt").c_str(), FALSE));
    EXPECT_TRUE(DeleteFileW(WinOf("held.txt").c_str()));
}
