// standin_files_test.cpp - files and directories through the stand-in: dispositions, Windows error codes,
// positional I/O, file times, copies and FindFirstFileW listings, all on real files in a temporary directory.
#include "tests/platform/standin_fixture.h"
#include "tests/support/processes.h"
#include "tests/support/test_env.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <functional>
#include <memory>

namespace {

class StandinFiles : public StandinTest {};

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
        HANDLE h = CreateFileW(Win("f.txt").c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
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
        HANDLE h = CreateFileW(Win(name).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, flags, nullptr);
        if (h == INVALID_HANDLE_VALUE) return false;
        CloseHandle(h);
        return true;
    };
    WIN32_FIND_DATAW data;
    const ErrorCase cases[] = {
        {"attributes of a missing file", [&] { return GetFileAttributesW(Win("nope").c_str()) != INVALID_FILE_ATTRIBUTES; },
         ERROR_FILE_NOT_FOUND},
        {"attributes below a missing directory",
         [&] { return GetFileAttributesW(Win("nodir/nope").c_str()) != INVALID_FILE_ATTRIBUTES; }, ERROR_PATH_NOT_FOUND},
        {"open below a missing directory", [&] { return open("nodir/f", 0); }, ERROR_PATH_NOT_FOUND},
        {"open a directory without backup semantics", [&] { return open("dir", 0); }, ERROR_ACCESS_DENIED},
        {"create an existing directory", [&] { return CreateDirectoryW(Win("dir").c_str(), nullptr) != FALSE; },
         ERROR_ALREADY_EXISTS},
        {"create a directory in a missing one",
         [&] { return CreateDirectoryW(Win("nodir/sub").c_str(), nullptr) != FALSE; }, ERROR_PATH_NOT_FOUND},
        {"move onto an existing file", [&] { return MoveFileW(Win("a.txt").c_str(), Win("b.txt").c_str()) != FALSE; },
         ERROR_ALREADY_EXISTS},
        {"move a missing file", [&] { return MoveFileW(Win("nope").c_str(), Win("c.txt").c_str()) != FALSE; },
         ERROR_FILE_NOT_FOUND},
        {"delete a directory", [&] { return DeleteFileW(Win("dir").c_str()) != FALSE; }, ERROR_ACCESS_DENIED},
        {"delete a read-only file", [&] { return DeleteFileW(Win("ro.txt").c_str()) != FALSE; }, ERROR_ACCESS_DENIED},
        {"delete a missing file", [&] { return DeleteFileW(Win("nope").c_str()) != FALSE; }, ERROR_FILE_NOT_FOUND},
        {"remove a full directory", [&] { return RemoveDirectoryW(Win("full").c_str()) != FALSE; }, ERROR_DIR_NOT_EMPTY},
        {"remove a file as a directory", [&] { return RemoveDirectoryW(Win("a.txt").c_str()) != FALSE; },
         ERROR_DIRECTORY},
        {"copy onto an existing file", [&] { return CopyFileW(Win("a.txt").c_str(), Win("b.txt").c_str(), TRUE) != FALSE; },
         ERROR_FILE_EXISTS},
        {"copy a missing file", [&] { return CopyFileW(Win("nope").c_str(), Win("c.txt").c_str(), FALSE) != FALSE; },
         ERROR_FILE_NOT_FOUND},
        {"list a missing directory",
         [&] {
             HANDLE f = FindFirstFileW(Win("nodir/*").c_str(), &data);
             return f != INVALID_HANDLE_VALUE && FindClose(f);
         },
         ERROR_PATH_NOT_FOUND},
        {"list with no match",
         [&] {
             HANDLE f = FindFirstFileW(Win("dir/*.none").c_str(), &data);
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

TEST(StandinErrors, ErrnoTable) {
    const std::pair<int, DWORD> rows[] = {
        {ENOENT, 2},  {EACCES, 5},   {EPERM, 5},         {EEXIST, 183}, {ENOSPC, 112}, {ENOTDIR, 3},
        {EISDIR, 5},  {ENOTEMPTY, 145}, {EBADF, 6},      {EINVAL, 87},  {ENAMETOOLONG, 206}, {EMFILE, 4},
        {ENOMEM, 8},  {EROFS, 19},   {EBUSY, 170},       {ELOOP, 1921}, {ENOTSUP, 50}, {EXDEV, 17},
        {EIO, 31},    {EPIPE, 31},   {ECONNREFUSED, 31},
    };
    for (const auto& [error, win32] : rows) EXPECT_EQ(posix::Win32ErrorFromErrno(error), win32) << error;
}

TEST_F(StandinFiles, MovesAndReplaces) {
    WriteFileBytes(Posix("a.txt"), "a");
    WriteFileBytes(Posix("b.txt"), "b");
    ASSERT_TRUE(MoveFileExW(Win("a.txt").c_str(), Win("b.txt").c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_FALSE(FileExists(Posix("a.txt")));
    EXPECT_EQ(ReadFileBytes(Posix("b.txt")), "a");
    ASSERT_TRUE(MoveFileW(Win("b.txt").c_str(), Win("c.txt").c_str()));
    EXPECT_EQ(ReadFileBytes(Posix("c.txt")), "a");
    ASSERT_TRUE(CreateDirectoryW(Win("d").c_str(), nullptr));
    ASSERT_TRUE(MoveFileW(Win("d").c_str(), Win("e").c_str()));
    EXPECT_EQ(GetFileAttributesW(Win("e").c_str()), FILE_ATTRIBUTE_DIRECTORY);
    ASSERT_TRUE(RemoveDirectoryW(Win("e").c_str()));
    ASSERT_TRUE(DeleteFileW(Win("c.txt").c_str()));
    EXPECT_EQ(ListDirectory(root_), std::vector<std::string>{});
}

TEST_F(StandinFiles, ReadWriteAndPositionalIo) {
    HANDLE h = CreateFileW(Win("io.bin").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
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

    HANDLE reader = CreateFileW(Win("io.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(WriteFile(reader, "z", 1, &done, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CloseHandle(reader));
}

ULONGLONG Ticks(const FILETIME& t) { return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime; }

TEST_F(StandinFiles, FileTimesRoundTrip) {
    WriteFileBytes(Posix("t.txt"), "12345");
    HANDLE h = CreateFileW(Win("t.txt").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
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
    ASSERT_TRUE(GetFileAttributesExW(Win("t.txt").c_str(), GetFileExInfoStandard, &data));
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
    ASSERT_TRUE(CreateDirectoryW(Win("d").c_str(), nullptr));
    HANDLE h = CreateFileW(Win("d").c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FILETIME when = posix::FileTimeOfTicks(132224078450000000ULL);
    EXPECT_TRUE(SetFileTime(h, nullptr, nullptr, &when));
    EXPECT_TRUE(CloseHandle(h));
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExW(Win("d").c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(Ticks(data.ftLastWriteTime), 132224078450000000ULL);
}

TEST_F(StandinFiles, CopyKeepsDataAndLastWriteTime) {
    std::string big(200000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 % 251);
    WriteFileBytes(Posix("src.bin"), big);
    HANDLE h = CreateFileW(Win("src.bin").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FILETIME when = posix::FileTimeOfTicks(130000000000000000ULL);
    ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &when));
    ASSERT_TRUE(CloseHandle(h));
    WriteFileBytes(Posix("dst.bin"), "longer old contents that must go");
    ASSERT_TRUE(CopyFileW(Win("src.bin").c_str(), Win("dst.bin").c_str(), FALSE));
    EXPECT_EQ(ReadFileBytes(Posix("dst.bin")), big);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExW(Win("dst.bin").c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(Ticks(data.ftLastWriteTime), 130000000000000000ULL);
    ASSERT_TRUE(CopyFileW(Win("src.bin").c_str(), Win("new.bin").c_str(), TRUE));
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
    ASSERT_TRUE(CreateDirectoryW(Win("d").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(Win("d/sub").c_str(), nullptr));
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
        std::vector<Listed> listed = List(posix::ToWindowsPath(root_) + L"\\" + posix::Utf8ToWide(c.pattern), &end);
        std::vector<std::string> names;
        for (const Listed& item : listed) names.push_back(item.name);
        EXPECT_EQ(names, c.names) << c.pattern;
        EXPECT_EQ(end, ERROR_NO_MORE_FILES) << c.pattern;
    }
    DWORD end = 0;
    std::vector<Listed> listed = List(Win("d") + L"\\*", &end);
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
    EXPECT_EQ(GetFileAttributesW(Win("d/loop").c_str()), FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_EQ(GetFileAttributesW(Win("d/tosub").c_str()), FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY);
    // Removing the directory link removes the link, never what it points to.
    EXPECT_TRUE(RemoveDirectoryW(Win("d/tosub").c_str()));
    EXPECT_EQ(GetFileAttributesW(Win("d/sub").c_str()), FILE_ATTRIBUTE_DIRECTORY);
}

// A POSIX name holding backslashes is listed as one name, and what the program does with that name (join it to
// the directory, delete it) reaches that file and never the path its backslashes would spell.
TEST_F(StandinFiles, BackslashInAPosixNameStaysInsideTheName) {
    ASSERT_TRUE(CreateDirectoryW(Win("d").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(Win("d/a").c_str(), nullptr));
    WriteFileBytes(Posix("victim"), "keep");
    WriteFileBytes(Posix("d/a\\..\\..\\victim"), "odd");

    DWORD end = 0;
    std::vector<Listed> listed = List(Win("d") + L"\\*", &end);
    ASSERT_EQ(listed.size(), 4u);
    EXPECT_EQ(listed[3].name, "a\xef\x81\x9c..\xef\x81\x9c..\xef\x81\x9cvictim");  // U+F05C in UTF-8
    const std::wstring odd = Win("d") + L"\\a\uF05C..\uF05C..\uF05Cvictim";
    EXPECT_EQ(GetFileAttributesW(odd.c_str()), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(List(Win("d") + L"\\a\uF05C*", &end).size(), 1u);

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
    EXPECT_EQ(GetFileAttributesW(Win("r.txt").c_str()), FILE_ATTRIBUTE_READONLY);
    HANDLE h = CreateFileW(Win("new.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_READONLY,
                           nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(GetFileAttributesW(Win("new.txt").c_str()), FILE_ATTRIBUTE_READONLY);
}

}  // namespace

namespace {

// `cfemu hold` keeps a handle open in another process, as any application would.
std::unique_ptr<BackgroundProcess> Hold(const std::string& path, const std::string& access, const std::string& share) {
    auto holder = std::make_unique<BackgroundProcess>(std::vector<std::string>{VOSKE_CFEMU, "hold", path, access, share});
    EXPECT_TRUE(WaitUntil([&] { return holder->Out().find("holding") != std::string::npos; }, 20000)) << holder->Err();
    return holder;
}

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
        HANDLE file = CreateFileW(Win("held.txt").c_str(), Rights(row.access), Share(row.share), nullptr, OPEN_EXISTING,
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
    EXPECT_FALSE(DeleteFileW(Win("held.txt").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(MoveFileExW(Win("held.txt").c_str(), Win("moved.txt").c_str(), 0));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(MoveFileExW(Win("target.txt").c_str(), Win("held.txt").c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(CopyFileW(Win("held.txt").c_str(), Win("copy.txt").c_str(), FALSE));  // shares read + delete only
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    errno = 0;
    EXPECT_EQ(_wfsopen(Win("held.txt").c_str(), L"rb", 0x10 /* _SH_DENYRW */), nullptr);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(ReadFileBytes(Posix("held.txt")), "held");
    EXPECT_EQ(ReadFileBytes(Posix("target.txt")), "target");
    EXPECT_FALSE(std::filesystem::exists(Posix("copy.txt")));
    EXPECT_FALSE(std::filesystem::exists(Posix("moved.txt")));
    writer->Signal(SIGKILL);
    ASSERT_TRUE(writer->Wait(10000));
    EXPECT_TRUE(CopyFileW(Win("held.txt").c_str(), Win("copy.txt").c_str(), FALSE));
    EXPECT_TRUE(DeleteFileW(Win("held.txt").c_str()));
}
