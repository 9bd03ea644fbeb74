// standin_files_test.cpp - files through the stand-in: dispositions, Windows error codes, positional I/O, times,
// copies, FindFirstFileW listings and their order, share modes across processes, and the C runtime's streams.
#include <map>

#include "tests/platform/platform_fixture.h"

namespace platformtest {
namespace {

class StandinFiles : public PlatformTest {};

ULONGLONG Ticks(const FILETIME& t) { return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime; }

// The names FindFirstFileW and FindNextFileW give for `pattern`, in their order; `details` gets attributes and size.
using Details = std::pair<DWORD, DWORD>;
std::vector<std::string> List(const std::wstring& pattern, std::map<std::string, Details>* details = nullptr) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        names.push_back(posix::WideToUtf8(data.cFileName));
        if (details != nullptr) (*details)[names.back()] = {data.dwFileAttributes, data.nFileSizeLow};
    } while (FindNextFileW(find, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES) << posix::WideToUtf8(pattern);
    EXPECT_TRUE(FindClose(find));
    return names;
}

TEST_F(StandinFiles, CreateFileDispositions) {
    const std::string path = Posix("f.txt");
    const struct {
        DWORD disposition;
        DWORD missingError, presentError;             // the last error with no file and with one holding "old"
        const char *missingContent, *presentContent;  // what the file holds afterwards (null: it does not exist)
    } cases[] = {
        {CREATE_NEW, ERROR_SUCCESS, ERROR_FILE_EXISTS, "", "old"},
        {CREATE_ALWAYS, ERROR_SUCCESS, ERROR_ALREADY_EXISTS, "", ""},
        {OPEN_EXISTING, ERROR_FILE_NOT_FOUND, ERROR_SUCCESS, nullptr, "old"},
        {OPEN_ALWAYS, ERROR_SUCCESS, ERROR_ALREADY_EXISTS, "", "old"},
        {TRUNCATE_EXISTING, ERROR_FILE_NOT_FOUND, ERROR_SUCCESS, nullptr, ""},
        {9, ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER, nullptr, "old"},
    };
    for (const auto& c : cases) {
        for (bool exists : {false, true}) {
            SCOPED_TRACE(std::to_string(c.disposition) + (exists ? " present" : " missing"));
            unlink(path.c_str());
            if (exists) WriteFileBytes(path, "old");
            SetLastError(12345);
            HANDLE h = Open(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, c.disposition, FILE_ATTRIBUTE_NORMAL);
            const DWORD error = exists ? c.presentError : c.missingError;
            EXPECT_EQ(GetLastError(), error);
            EXPECT_EQ(h == INVALID_HANDLE_VALUE, error != ERROR_SUCCESS && error != ERROR_ALREADY_EXISTS);
            EXPECT_TRUE(h == INVALID_HANDLE_VALUE || CloseHandle(h));
            const char* content = exists ? c.presentContent : c.missingContent;
            EXPECT_EQ(FileExists(path) ? ReadFileBytes(path) : "(none)", content != nullptr ? content : "(none)");
        }
    }
}

TEST_F(StandinFiles, FailuresReportWindowsCodesAndChangeNothing) {
    ASSERT_EQ(mkdir(Posix("dir").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(Posix("full").c_str(), 0755), 0);
    WriteFileBytes(Posix("full/x"), "x");
    WriteFileBytes(Posix("a.txt"), "a");
    WriteFileBytes(Posix("b.txt"), "b");
    WriteFileBytes(Posix("ro.txt"), "r");
    ASSERT_EQ(chmod(Posix("ro.txt").c_str(), 0444), 0);
    auto open = [this](const char* name) {
        HANDLE h = Open(Posix(name), GENERIC_READ);
        return h != INVALID_HANDLE_VALUE && CloseHandle(h);
    };
    auto w = [this](const char* name) { return WinOf(name); };
    const std::pair<std::function<BOOL()>, DWORD> cases[] = {
        {[&] { return GetFileAttributesW(w("nope").c_str()) != INVALID_FILE_ATTRIBUTES; }, ERROR_FILE_NOT_FOUND},
        {[&] { return GetFileAttributesW(w("nodir/nope").c_str()) != INVALID_FILE_ATTRIBUTES; }, ERROR_PATH_NOT_FOUND},
        {[&] { return open("dir"); }, ERROR_ACCESS_DENIED},  // a directory needs backup semantics
        {[&] { return CreateDirectoryW(w("dir").c_str(), nullptr); }, ERROR_ALREADY_EXISTS},
        {[&] { return MoveFileW(w("a.txt").c_str(), w("b.txt").c_str()); }, ERROR_ALREADY_EXISTS},
        {[&] { return DeleteFileW(w("dir").c_str()); }, ERROR_ACCESS_DENIED},
        {[&] { return DeleteFileW(w("ro.txt").c_str()); }, ERROR_ACCESS_DENIED},
        {[&] { return RemoveDirectoryW(w("full").c_str()); }, ERROR_DIR_NOT_EMPTY},
        {[&] { return RemoveDirectoryW(w("a.txt").c_str()); }, ERROR_DIRECTORY},
        {[&] { return CopyFileW(w("a.txt").c_str(), w("b.txt").c_str(), TRUE); }, ERROR_FILE_EXISTS},
        {[&] { return !List(w("nodir/*")).empty(); }, ERROR_PATH_NOT_FOUND},
        {[&] { return !List(w("dir/*.none")).empty(); }, ERROR_FILE_NOT_FOUND},
        {[&] { return CloseHandle(INVALID_HANDLE_VALUE); }, ERROR_INVALID_HANDLE},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SetLastError(0);
        EXPECT_FALSE(cases[i].first()) << i;
        EXPECT_EQ(GetLastError(), cases[i].second) << i;
    }
    EXPECT_EQ(ReadFileBytes(Posix("a.txt")), "a");
    EXPECT_EQ(ReadFileBytes(Posix("b.txt")), "b");
    EXPECT_TRUE(FileExists(Posix("ro.txt")));
    errno = 0;
    EXPECT_EQ(_wfopen(WinOf("missing.txt").c_str(), L"r"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(_wfopen(WinOf("x.txt").c_str(), L"q"), nullptr);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(StandinFiles, ReadWriteAndPositionalIo) {
    HANDLE h = Open(Posix("io.bin"), GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(h, "0123456789", 10, &done, nullptr));
    EXPECT_EQ(done, 10u);
    OVERLAPPED at{};
    at.Offset = 2;
    ASSERT_TRUE(WriteFile(h, "ab", 2, &done, &at));
    ASSERT_TRUE(WriteFile(h, "X", 1, &done, nullptr));  // the pointer stands after the positional write
    EXPECT_EQ(ReadFileBytes(Posix("io.bin")), "01abX56789");
    LARGE_INTEGER size{};
    ASSERT_TRUE(GetFileSizeEx(h, &size));
    EXPECT_EQ(size.QuadPart, 10);

    char buffer[16] = {};
    at.Offset = 7;
    ASSERT_TRUE(ReadFile(h, buffer, 16, &done, &at));
    EXPECT_EQ(std::string(buffer, done), "789");
    at.Offset = 10;
    EXPECT_EQ(ErrorOf(ReadFile(h, buffer, 16, &done, &at)), ERROR_HANDLE_EOF);  // a positional read at the end
    EXPECT_EQ(done, 0u);
    const struct {
        LONG distance;
        DWORD method, expected, error;
    } seeks[] = {
        {3, FILE_BEGIN, 3, ERROR_SUCCESS},
        {2, FILE_CURRENT, 5, ERROR_SUCCESS},
        {-1, FILE_END, 9, ERROR_SUCCESS},
        {-20, FILE_CURRENT, INVALID_SET_FILE_POINTER, 131},  // ERROR_NEGATIVE_SEEK
        {0, 7, INVALID_SET_FILE_POINTER, ERROR_INVALID_PARAMETER},
    };
    for (const auto& s : seeks) {
        EXPECT_EQ(SetFilePointer(h, s.distance, nullptr, s.method), s.expected) << s.distance;
        EXPECT_EQ(GetLastError(), s.error) << s.distance;
    }
    ASSERT_TRUE(ReadFile(h, buffer, 16, &done, nullptr));
    EXPECT_EQ(std::string(buffer, done), "9");  // the failed seeks left the pointer at 9
    ASSERT_TRUE(ReadFile(h, buffer, 16, &done, nullptr));
    EXPECT_EQ(done, 0u);  // a plain read at the end succeeds with nothing
    LONG high = 1;        // 4 GiB + 5: the high part joins the low part
    EXPECT_EQ(SetFilePointer(h, 5, &high, FILE_BEGIN), 5u);
    EXPECT_EQ(high, 1);
    EXPECT_TRUE(CloseHandle(h));
    h = Open(Posix("io.bin"), GENERIC_READ);
    EXPECT_EQ(ErrorOf(WriteFile(h, "z", 1, &done, nullptr)), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CloseHandle(h));
}

// Times to the 100 ns tick (a directory's too, through backup semantics), the read-only attribute, and copies,
// moves and replaces that keep data and last-write time.
TEST_F(StandinFiles, TimesAttributesCopiesAndMoves) {
    std::string big(200000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 % 251);
    WriteFileBytes(Posix("t.bin"), big);
    ASSERT_TRUE(CreateDirectoryW(WinOf("d").c_str(), nullptr));
    // 2020-01-02 03:04:05.1234567 UTC and 2001-02-03 00:00:00.0000001 UTC.
    const ULONGLONG written = 132224078451234567ULL, accessed = 126256320000000001ULL;
    FILETIME lastWrite = posix::FileTimeOfTicks(written), lastAccess = posix::FileTimeOfTicks(accessed), zero{};
    for (const char* name : {"t.bin", "d"}) {
        HANDLE h = Open(Posix(name), GENERIC_WRITE, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << name;
        ASSERT_TRUE(SetFileTime(h, nullptr, &lastAccess, &lastWrite));
        ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &zero));  // zero leaves the time as it was
        FILETIME c{}, a{}, w{};
        ASSERT_TRUE(GetFileTime(h, &c, &a, &w));
        EXPECT_EQ(Ticks(w), written) << name;
        EXPECT_EQ(Ticks(a), accessed) << name;
        ASSERT_TRUE(CloseHandle(h));
    }
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExW(WinOf("t.bin").c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(Ticks(data.ftLastWriteTime), written);
    EXPECT_EQ(Ticks(data.ftLastAccessTime), accessed);
    EXPECT_NE(Ticks(data.ftCreationTime), 0u);
    EXPECT_EQ(data.nFileSizeLow, 200000u);
    EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(CompareFileTime(&data.ftLastAccessTime, &data.ftLastWriteTime), -1);
    EXPECT_EQ(StatOf(Posix("t.bin")).st_mtim.tv_sec, 1577934245);
    EXPECT_EQ(StatOf(Posix("t.bin")).st_mtim.tv_nsec, 123456700);
    ASSERT_TRUE(GetFileAttributesExW(WinOf("d").c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(Ticks(data.ftLastWriteTime), written);

    WriteFileBytes(Posix("dst.bin"), "longer old contents that must go");
    ASSERT_TRUE(CopyFileW(WinOf("t.bin").c_str(), WinOf("dst.bin").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(WinOf("t.bin").c_str(), WinOf("new.bin").c_str(), TRUE));
    for (const char* name : {"dst.bin", "new.bin"}) {
        EXPECT_TRUE(ReadFileBytes(Posix(name)) == big) << name;
        ASSERT_TRUE(GetFileAttributesExW(WinOf(name).c_str(), GetFileExInfoStandard, &data));
        EXPECT_EQ(Ticks(data.ftLastWriteTime), written) << name;
    }
    ASSERT_TRUE(MoveFileExW(WinOf("t.bin").c_str(), WinOf("dst.bin").c_str(), MOVEFILE_REPLACE_EXISTING));
    ASSERT_TRUE(MoveFileW(WinOf("dst.bin").c_str(), WinOf("moved.bin").c_str()));
    ASSERT_TRUE(MoveFileW(WinOf("d").c_str(), WinOf("e").c_str()));
    EXPECT_TRUE(ReadFileBytes(Posix("moved.bin")) == big);
    EXPECT_FALSE(FileExists(Posix("t.bin")));
    EXPECT_EQ(GetFileAttributesW(WinOf("e").c_str()), FILE_ATTRIBUTE_DIRECTORY);

    EXPECT_TRUE(CloseHandle(Open(Posix("ro.txt"), GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_READONLY)));
    EXPECT_EQ(GetFileAttributesW(WinOf("ro.txt").c_str()), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(StatOf(Posix("ro.txt")).st_mode & 0222, 0u);
}

// Listings sort case-folded, then by bytes, names outside ASCII last; links are listed as reparse points and never
// followed; a backslash inside a POSIX name stays inside that name, as U+F05C.
TEST_F(StandinFiles, FindListsInWindowsOrderWithLinksAndPatterns) {
    ASSERT_TRUE(CreateDirectoryW(WinOf("d").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(WinOf("d/sub").c_str(), nullptr));
    // Created in an order that is not the listing's.
    for (const char* name : {"~", "_z", "Z", "B1", "b", "a_", "aB", "Ab", "A"})
        WriteFileBytes(Posix("d/") + name, "xyz");
    WriteFileBytes(Posix("d/\xc3\xa9"), "");
    ASSERT_EQ(symlink("loop", Posix("d/loop").c_str()), 0);  // a link to itself can never be followed
    ASSERT_EQ(symlink("sub", Posix("d/tosub").c_str()), 0);
    // Upper-cased keys: A, AB twice (then by bytes), A_ ('_' after the letters), B, B1, ..., Z, _Z, ~; "é" last.
    const std::vector<std::string> all = {".",    "..",  "A",     "Ab", "aB", "a_", "b",       "B1",
                                          "loop", "sub", "tosub", "Z",  "_z", "~",  "\xc3\xa9"};
    const std::pair<const char*, std::vector<std::string>> patterns[] = {
        {"d\\*", all},
        {"d\\*.*", all},
        {"d\\A*", {"A", "Ab", "aB", "a_"}},
        {"d\\?", {".", "A", "b", "Z", "~", "\xc3\xa9"}},
        {"d\\b", {"b"}},
        {"d\\sub\\*", {".", ".."}},
    };
    for (const auto& [pattern, names] : patterns) {
        EXPECT_EQ(List(Win(env_->Root()) + L"\\" + posix::Utf8ToWide(pattern)), names) << pattern;
    }
    std::map<std::string, Details> seen;
    List(WinOf("d") + L"\\*", &seen);
    EXPECT_EQ(seen["Ab"], Details(FILE_ATTRIBUTE_NORMAL, 3));
    EXPECT_EQ(seen["sub"], Details(FILE_ATTRIBUTE_DIRECTORY, 0));
    EXPECT_EQ(seen["loop"], Details(FILE_ATTRIBUTE_REPARSE_POINT, 4));
    EXPECT_EQ(seen["tosub"], Details(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY, 3));
    EXPECT_EQ(GetFileAttributesW(WinOf("d/tosub").c_str()), FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY);
    // Removing the directory link removes the link, never what it points to.
    EXPECT_TRUE(RemoveDirectoryW(WinOf("d/tosub").c_str()));
    EXPECT_EQ(GetFileAttributesW(WinOf("d/sub").c_str()), FILE_ATTRIBUTE_DIRECTORY);

    // The root lists no dots.
    const std::vector<std::string> root = List(L"Z:\\*");
    EXPECT_EQ(std::count(root.begin(), root.end(), "."), 0);
    EXPECT_EQ(std::count(root.begin(), root.end(), "tmp"), 1);

    // What the program does with a listed name holding backslashes (join it, delete it) reaches that file and never
    // the path its backslashes would spell.
    ASSERT_TRUE(CreateDirectoryW(WinOf("d/sub/a").c_str(), nullptr));
    WriteFileBytes(Posix("d/victim"), "keep");
    WriteFileBytes(Posix("d/sub/a\\..\\..\\victim"), "odd");
    const std::vector<std::string> odd = List(WinOf("d/sub") + L"\\a\uF05C*");
    ASSERT_EQ(odd, std::vector<std::string>{"a\xef\x81\x9c..\xef\x81\x9c..\xef\x81\x9cvictim"});  // U+F05C in UTF-8
    EXPECT_TRUE(DeleteFileW((WinOf("d/sub") + L"\\" + posix::Utf8ToWide(odd[0])).c_str())) << GetLastError();
    EXPECT_FALSE(FileExists(Posix("d/sub/a\\..\\..\\victim")));
    EXPECT_EQ(ReadFileBytes(Posix("d/victim")), "keep");
}

// Text mode writes "\n" as "\r\n" and reads "\r\n" as "\n", also when the pair is split between two 8 KiB reads
// of the stream's buffer; binary mode keeps the bytes.
TEST_F(StandinFiles, TextModeStreams) {
    const struct {
        const wchar_t* mode;
        const char* before;  // null: no file beforehand
        const char* text;
        const char* onDisk;
    } writes[] = {
        {L"w", nullptr, "a\nb\n", "a\r\nb\r\n"}, {L"wt", "old", "x\n\ny", "x\r\n\r\ny"},
        {L"a", "a\r\n", "b\n", "a\r\nb\r\n"},    {L"ab", "a", "b\nc", "ab\nc"},
        {L"wb", "old", "a\nb\n", "a\nb\n"},      {L"w", nullptr, "\r\n", "\r\r\n"},  // only "\n" is translated
    };
    for (const auto& c : writes) {
        unlink(Posix("t.txt").c_str());
        if (c.before != nullptr) WriteFileBytes(Posix("t.txt"), c.before);
        FILE* f = _wfsopen(WinOf("t.txt").c_str(), c.mode, _SH_DENYNO);
        ASSERT_NE(f, nullptr);
        EXPECT_GE(fputs(c.text, f), 0);
        EXPECT_EQ(fclose(f), 0);
        EXPECT_EQ(ReadFileBytes(Posix("t.txt")), c.onDisk) << c.text;
    }
    std::vector<std::tuple<std::string, const wchar_t*, std::string>> reads = {
        {"x\r\ny\r\n\r\nz", L"r", "x\ny\n\nz"},
        {"a\rb\r\r\nc\r", L"r", "a\rb\r\nc\r"},
        {"x\r\ny", L"rb", "x\r\ny"},
    };
    for (size_t at = 8185; at <= 8195; ++at) {
        reads.emplace_back(std::string(at, 'q') + "\r\nz\r", L"rt", std::string(at, 'q') + "\nz\r");
    }
    for (const auto& [onDisk, mode, expected] : reads) {
        WriteFileBytes(Posix("r.txt"), onDisk);
        FILE* f = _wfopen(WinOf("r.txt").c_str(), mode);
        ASSERT_NE(f, nullptr);
        std::string read;
        char buffer[333];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, f)) > 0;) read.append(buffer, n);
        fclose(f);
        EXPECT_EQ(read, expected) << onDisk.size();
    }
}

DWORD Letters(const std::string& letters, DWORD r, DWORD w, DWORD d) {
    DWORD value = 0;
    for (char letter : letters) value |= letter == 'r' ? r : letter == 'w' ? w : letter == 'd' ? d : 0;
    return value;
}

// Share modes hold across processes as CreateFileW's do: the new handle's access against the share modes of
// those open, and its share mode against their access. A killed holder leaves nothing behind.
TEST_F(StandinFiles, ShareModesAreEnforcedAcrossProcesses) {
    const struct {
        const char *heldAccess, *heldShare, *access, *share;
        bool opens;
    } rows[] = {
        {"r", "r", "r", "rwd", true},  {"r", "r", "w", "rwd", false},  {"r", "rw", "w", "rwd", true},
        {"r", "rwd", "r", "r", true},  {"w", "rwd", "r", "r", false},  {"w", "rwd", "r", "rw", true},
        {"r", "-", "r", "rwd", false}, {"-", "-", "rw", "-", true},    {"d", "rw", "r", "rw", false},
        {"d", "rw", "r", "rwd", true}, {"r", "rw", "d", "rwd", false}, {"rw", "rwd", "rw", "rwd", true},
    };
    WriteFileBytes(Posix("held.txt"), "held");
    for (const auto& row : rows) {
        const std::string name =
            std::string(row.heldAccess) + "/" + row.heldShare + " then " + row.access + "/" + row.share;
        auto holder = Hold(Posix("held.txt"), row.heldAccess, row.heldShare);
        HANDLE file = Open(Posix("held.txt"), Letters(row.access, GENERIC_READ, GENERIC_WRITE, 0x00010000u),
                           Letters(row.share, FILE_SHARE_READ, FILE_SHARE_WRITE, FILE_SHARE_DELETE));
        EXPECT_EQ(file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS,
                  row.opens ? ERROR_SUCCESS : ERROR_SHARING_VIOLATION)
            << name;
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    }

    // Writers held open without sharing delete: no delete, no rename, no replacing, no copy of a file being
    // written; the C runtime's open fails too. Nothing is changed by the refused calls.
    WriteFileBytes(Posix("target.txt"), "target");
    auto writer = Hold(Posix("held.txt"), "w", "rw");
    EXPECT_EQ(ErrorOf(DeleteFileW(WinOf("held.txt").c_str())), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(ErrorOf(MoveFileExW(WinOf("held.txt").c_str(), WinOf("moved.txt").c_str(), 0)), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(ErrorOf(MoveFileExW(WinOf("target.txt").c_str(), WinOf("held.txt").c_str(), MOVEFILE_REPLACE_EXISTING)),
              ERROR_SHARING_VIOLATION);
    // CopyFileW shares reading and deleting only.
    EXPECT_EQ(ErrorOf(CopyFileW(WinOf("held.txt").c_str(), WinOf("copy.txt").c_str(), FALSE)), ERROR_SHARING_VIOLATION);
    errno = 0;
    EXPECT_EQ(_wfsopen(WinOf("held.txt").c_str(), L"rb", 0x10 /* _SH_DENYRW */), nullptr);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(ReadFileBytes(Posix("held.txt")), "held");
    EXPECT_EQ(ReadFileBytes(Posix("target.txt")), "target");
    EXPECT_FALSE(FileExists(Posix("copy.txt")));
    EXPECT_FALSE(FileExists(Posix("moved.txt")));
    writer.reset();  // killed: its locks go with it
    EXPECT_TRUE(CopyFileW(WinOf("held.txt").c_str(), WinOf("copy.txt").c_str(), FALSE));
    EXPECT_TRUE(DeleteFileW(WinOf("held.txt").c_str()));
}

}  // namespace
}  // namespace platformtest
