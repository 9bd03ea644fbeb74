// standin_test.cpp - the Win32 stand-in: files, listings, share modes across processes, the C runtime's streams,
// child processes (tests/helpers/standin_child), the program's path, the SID, console events, the Z: drive,
// environment variables and UTF-8 text.
#include <csignal>
#include <cstring>
#include <filesystem>
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
    const std::string big = Pattern(200000);
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
    for (const char* name : {"~", "_z", "Z", "B1", "b", "a_", "AC", "aB", "Ab", "A"})
        WriteFileBytes(Posix("d/") + name, "xyz");
    WriteFileBytes(Posix("d/\xc3\xa9"), "");
    ASSERT_EQ(symlink("loop", Posix("d/loop").c_str()), 0);  // a link to itself can never be followed
    ASSERT_EQ(symlink("sub", Posix("d/tosub").c_str()), 0);
    // Upper-cased keys: A, AB twice (then by bytes), AC, A_ ('_' after the letters), B, B1, ..., Z, _Z, ~; "é" last.
    const std::vector<std::string> all = {".",  "..",   "A",   "Ab",    "aB", "AC", "a_", "b",
                                          "B1", "loop", "sub", "tosub", "Z",  "_z", "~",  "\xc3\xa9"};
    const std::pair<const char*, std::vector<std::string>> patterns[] = {
        {"d\\*", all},
        {"d\\*.*", all},
        {"d\\A*", {"A", "Ab", "aB", "AC", "a_"}},  // ASCII names only: the byte order would differ
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
        auto holder = Hold(Posix("held.txt"), row.heldAccess, row.heldShare);
        HANDLE file = Open(Posix("held.txt"), Letters(row.access, GENERIC_READ, GENERIC_WRITE, 0x00010000u),
                           Letters(row.share, FILE_SHARE_READ, FILE_SHARE_WRITE, FILE_SHARE_DELETE));
        EXPECT_EQ(ErrorOf(file != INVALID_HANDLE_VALUE), row.opens ? ERROR_SUCCESS : ERROR_SHARING_VIOLATION)
            << row.heldAccess << "/" << row.heldShare << " then " << row.access << "/" << row.share;
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
    EXPECT_FALSE(FileExists(Posix("copy.txt")) || FileExists(Posix("moved.txt")));
    writer.reset();  // killed: its locks go with it
    EXPECT_TRUE(CopyFileW(WinOf("held.txt").c_str(), WinOf("copy.txt").c_str(), FALSE));
    EXPECT_TRUE(DeleteFileW(WinOf("held.txt").c_str()));
}

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
    EXPECT_EQ(ErrorOf(Start(L"x", &info, nullptr, WinOf("no-such-program"))), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ErrorOf(Start(L"x", &info, nullptr, WinOf("nodir/no-such-program"))), ERROR_PATH_NOT_FOUND);
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
    EXPECT_EQ(ErrorOf(GetTokenInformation(token, TokenUser, nullptr, 0, &size)), ERROR_INSUFFICIENT_BUFFER);
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
        {"\xc0\xaf", L"\uFFFD\uFFFD"},                      // overlong forms of two
        {"\xe0\x80\xaf", L"\uFFFD\uFFFD\uFFFD"},            // and of three bytes
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
