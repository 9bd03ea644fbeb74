// standin_test.cpp - the Win32 stand-in: files, listings, share modes, streams, processes, paths, environment, text.
#include <filesystem>
#include <fstream>
#include <map>
#include <tuple>

#include "tests/platform/platform_fixture.h"

namespace platformtest {
namespace {

class StandinFiles : public PlatformTest {};

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

// Listings sort case-folded, then by bytes, names outside ASCII last; links are listed as reparse points and never
// followed; a backslash inside a POSIX name stays inside that name, as U+F05C.
TEST_F(StandinFiles, FindListsInWindowsOrderWithLinks) {
    ASSERT_TRUE(CreateDirectoryW(WinOf("d").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(WinOf("d/sub").c_str(), nullptr));
    for (const char* name : {"~", "_z", "Z", "B1", "b", "a_", "AC", "aB", "Ab", "A"})
        WriteFileBytes(Posix("d/") + name, "xyz");
    ASSERT_EQ(symlink("loop", Posix("d/loop").c_str()), 0);  // a link to itself can never be followed
    ASSERT_EQ(symlink("sub", Posix("d/tosub").c_str()), 0);
    // Upper-cased keys: A, AB twice (then by bytes), AC, A_ ('_' after the letters), B, B1, ..., Z, _Z, ~.
    const std::vector<std::string> all = {".",  "..",   "A",   "Ab",    "aB", "AC", "a_", "b",
                                          "B1", "loop", "sub", "tosub", "Z",  "_z", "~"};
    std::map<std::string, Details> seen;
    EXPECT_EQ(List(WinOf("d") + L"\\*", &seen), all);
    EXPECT_EQ(seen["Ab"], Details(FILE_ATTRIBUTE_NORMAL, 3));
    EXPECT_EQ(seen["sub"], Details(FILE_ATTRIBUTE_DIRECTORY, 0));
    EXPECT_EQ(seen["loop"], Details(FILE_ATTRIBUTE_REPARSE_POINT, 4));
    EXPECT_EQ(seen["tosub"], Details(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY, 3));
    EXPECT_EQ(GetFileAttributesW(WinOf("d/tosub").c_str()), FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY);

    // A listed name holding backslashes, joined and deleted, reaches that file, not the path they would spell.
    ASSERT_TRUE(CreateDirectoryW(WinOf("d/sub/a").c_str(), nullptr));
    WriteFileBytes(Posix("d/victim"), "keep");
    WriteFileBytes(Posix("d/sub/a\\..\\..\\victim"), "odd");
    WriteFileBytes(Posix("d/sub/\xc3\xa9"), "");  // names outside ASCII by code point: last here
    const std::string odd = "a\xef\x81\x9c..\xef\x81\x9c..\xef\x81\x9cvictim";  // U+F05C in UTF-8
    ASSERT_EQ(List(WinOf("d/sub") + L"\\*"), (std::vector<std::string>{".", "..", "a", odd, "\xc3\xa9"}));
    // Case folds beyond ASCII as on NTFS, whatever the process's locale.
    EXPECT_EQ(List(WinOf("d/sub") + L"\\\u00c9*"), std::vector<std::string>{"\xc3\xa9"});
    EXPECT_TRUE(DeleteFileW((WinOf("d/sub") + L"\\" + posix::Utf8ToWide(odd)).c_str())) << GetLastError();
    EXPECT_FALSE(FileExists(Posix("d/sub/a\\..\\..\\victim")));
    EXPECT_EQ(ReadFileBytes(Posix("d/victim")), "keep");
}

// In a process with long paths, a path longer than one Linux call takes (PATH_MAX) reaches its file as on Windows:
// 45 folders of 120 bytes made, a file written, listed, renamed, read and removed by whole paths. A missing or
// plain-file part fails as it does near the top; the filter's canonical form of such a path follows links and "..".
// Without long paths, as for the provider, such a path is refused.
TEST_F(StandinFiles, PathsLongerThanOneLinuxCallTakesReachTheirFiles) {
    struct LongPaths {
        LongPaths() { posix::AllowLongPaths(true); }
        ~LongPaths() { posix::AllowLongPaths(false); }
    } longPaths;
    const std::string part(120, 'p');
    std::string deep = "deep";
    ASSERT_TRUE(CreateDirectoryW(WinOf(deep).c_str(), nullptr));
    for (int i = 0; i < 45; ++i) {
        deep += "/" + part;
        ASSERT_TRUE(CreateDirectoryW(WinOf(deep).c_str(), nullptr)) << i << " gle=" << GetLastError();
    }
    ASSERT_GT(Posix(deep).size(), 5400u);
    HANDLE file = Open(Posix(deep + "/f.txt"), GENERIC_WRITE, 0, CREATE_NEW);
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(file, "at the bottom", 13, &done, nullptr));
    ASSERT_TRUE(CloseHandle(file));
    EXPECT_EQ(List(WinOf(deep) + L"\\*"), (std::vector<std::string>{".", "..", "f.txt"}));
    ASSERT_TRUE(MoveFileExW(WinOf(deep + "/f.txt").c_str(), WinOf(deep + "/g.txt").c_str(), 0)) << GetLastError();
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExW(WinOf(deep + "/g.txt").c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(data.nFileSizeLow, 13u);
    file = Open(Posix(deep + "/g.txt"), GENERIC_READ, FILE_SHARE_READ);
    char bytes[32] = {};
    EXPECT_TRUE(ReadFile(file, bytes, sizeof bytes, &done, nullptr));
    EXPECT_EQ(std::string(bytes, done), "at the bottom");
    CloseHandle(file);

    const std::string middle = deep.substr(0, 4 + 30 * 121);  // "deep" and 30 parts
    WriteFileBytes(Posix(middle + "/plain"), "");
    const std::string rest = deep.substr(middle.size());
    const struct {
        std::string path;
        DWORD error;
    } failing[] = {
        {middle + "/gone" + rest + "/g.txt", ERROR_PATH_NOT_FOUND},
        {middle + "/plain" + rest + "/g.txt", ERROR_PATH_NOT_FOUND},
        {deep + "/none.txt", ERROR_FILE_NOT_FOUND},
        {deep + std::string(27500, '/') + "g.txt", ERROR_FILENAME_EXCED_RANGE},  // over Windows' 32,767
    };
    for (const auto& row : failing) {
        SetLastError(0);
        EXPECT_EQ(GetFileAttributesW(WinOf(row.path).c_str()), INVALID_FILE_ATTRIBUTES) << row.path.size();
        EXPECT_EQ(GetLastError(), row.error) << row.path.size();
    }
    posix::AllowLongPaths(false);
    EXPECT_EQ(GetFileAttributesW(WinOf(deep + "/g.txt").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    posix::AllowLongPaths(true);

    ASSERT_EQ(symlink(part.c_str(), Posix("deep/link").c_str()), 0);
    const std::string canonical = cfemu::CanonicalPath(Posix("deep")) + deep.substr(4);
    const std::string viaLink = Posix("deep/link") + deep.substr(4 + 121);
    EXPECT_EQ(cfemu::CanonicalPath(viaLink + "/../" + part + "/./g.txt"), canonical + "/g.txt");
    EXPECT_EQ(cfemu::CanonicalPath(viaLink + "/not-yet"), canonical + "/not-yet");
    EXPECT_EQ(cfemu::CanonicalPath(viaLink + "/gone/not-yet"), "");

    EXPECT_TRUE(DeleteFileW(WinOf(deep + "/g.txt").c_str()));
    EXPECT_TRUE(DeleteFileW(WinOf(middle + "/plain").c_str()));
    for (; deep != "deep"; deep.resize(deep.size() - 121))
        EXPECT_TRUE(RemoveDirectoryW(WinOf(deep).c_str())) << deep.size();
    EXPECT_EQ(List(WinOf("deep") + L"\\*"), (std::vector<std::string>{".", "..", "link"}));
}

// Text mode writes "\n" as "\r\n" and reads "\r\n" as "\n", also split between two 8 KiB buffers; binary keeps bytes.
TEST_F(StandinFiles, TextModeStreams) {
    // Mode, contents beforehand (null: no file), text written, bytes on disk.
    const std::tuple<const wchar_t*, const char*, const char*, const char*> writes[] = {
        {L"a", nullptr, "a\nb\n", "a\r\nb\r\n"},
        {L"a", "a\r\n", "b\r\n", "a\r\nb\r\r\n"},  // only "\n" is translated
        {L"wb", "old", "a\nb\n", "a\nb\n"},
    };
    for (const auto& [mode, before, text, onDisk] : writes) {
        unlink(Posix("t.txt").c_str());
        if (before != nullptr) WriteFileBytes(Posix("t.txt"), before);
        FILE* f = _wfsopen(WinOf("t.txt").c_str(), mode, _SH_DENYNO);
        ASSERT_NE(f, nullptr);
        EXPECT_GE(fputs(text, f), 0);
        EXPECT_EQ(fclose(f), 0);
        EXPECT_EQ(ReadFileBytes(Posix("t.txt")), onDisk) << text;
    }
    std::vector<std::tuple<std::string, const wchar_t*, std::string>> reads = {
        {"x\r\ny\r\n\r\nz", L"r", "x\ny\n\nz"},
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

// "a" is append access without write access.
DWORD Letters(const std::string& letters, DWORD r, DWORD w, DWORD d) {
    DWORD value = 0;
    for (char letter : letters)
        value |= letter == 'r' ? r : letter == 'w' ? w : letter == 'd' ? d : letter == 'a' ? FILE_APPEND_DATA : 0;
    return value;
}

// The open(2) flags of every descriptor process `pid` ("self" for this one) has on `path`.
std::vector<int> FlagsOfDescriptors(const std::string& pid, const std::string& path) {
    std::vector<int> flags;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + pid + "/fd", error)) {
        if (std::filesystem::read_symlink(entry.path(), error) != path) continue;
        std::ifstream info("/proc/" + pid + "/fdinfo/" + entry.path().filename().string());
        for (std::string key; info >> key;) {
            if (key == "flags:" && info >> std::oct >> flags.emplace_back()) break;
        }
    }
    return flags;
}

// Share modes hold across processes, both ways (access against share mode); a killed holder leaves nothing behind.
TEST_F(StandinFiles, ShareModesAreEnforcedAcrossProcesses) {
    const struct {
        const char *heldAccess, *heldShare, *access, *share;
        bool opens;
    } rows[] = {
        {"r", "r", "w", "rwd", false}, {"r", "rw", "w", "rwd", true}, {"r", "rwd", "r", "r", true},
        {"w", "rwd", "r", "r", false}, {"w", "rwd", "r", "rw", true}, {"-", "-", "rw", "-", true},
        {"d", "rw", "r", "rw", false}, {"d", "rw", "r", "rwd", true}, {"r", "rw", "d", "rwd", false},
        {"r", "r", "a", "rwd", false}, {"r", "rw", "a", "rwd", true},
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

    // A program that bypasses the stand-in and writes (here a shell's descriptor) is a writer that shares
    // everything: an open that denies writing fails while it holds the file, a copy too, and goes ahead after.
    {
        BackgroundProcess outside({"/bin/sh", "-c", "exec 3>>\"$0\"; exec sleep 600", Posix("held.txt")});
        const std::string pid = std::to_string(outside.Pid());
        ASSERT_TRUE(WaitUntil([&] { return !FlagsOfDescriptors(pid, Posix("held.txt")).empty(); }));
        for (const auto& [access, share, opens] : {std::tuple{"r", "r", false}, {"r", "rd", false}, {"d", "r", false},
                                                   {"r", "rw", true}, {"w", "rwd", true}, {"-", "-", true}}) {
            HANDLE file = Open(Posix("held.txt"), Letters(access, GENERIC_READ, GENERIC_WRITE, 0x00010000u),
                               Letters(share, FILE_SHARE_READ, FILE_SHARE_WRITE, FILE_SHARE_DELETE));
            EXPECT_EQ(ErrorOf(file != INVALID_HANDLE_VALUE), opens ? ERROR_SUCCESS : ERROR_SHARING_VIOLATION)
                << "outside writer, then " << access << "/" << share;
            if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        }
        EXPECT_EQ(ErrorOf(CopyFileW(WinOf("held.txt").c_str(), WinOf("copy.txt").c_str(), FALSE)),
                  ERROR_SHARING_VIOLATION);
    }
    HANDLE afterOutside = Open(Posix("held.txt"), GENERIC_READ, FILE_SHARE_READ);
    EXPECT_NE(afterOutside, INVALID_HANDLE_VALUE) << GetLastError();
    if (afterOutside != INVALID_HANDLE_VALUE) CloseHandle(afterOutside);

    // A writer without delete sharing: no delete, rename, replace or copy, and nothing changed by them.
    WriteFileBytes(Posix("target.txt"), "target");
    auto writer = Hold(Posix("held.txt"), "w", "rw");
    EXPECT_EQ(ErrorOf(DeleteFileW(WinOf("held.txt").c_str())), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(ErrorOf(MoveFileW(WinOf("held.txt").c_str(), WinOf("moved.txt").c_str())), ERROR_SHARING_VIOLATION);
    // CopyFileW shares reading and deleting only.
    EXPECT_EQ(ErrorOf(CopyFileW(WinOf("held.txt").c_str(), WinOf("copy.txt").c_str(), FALSE)), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(ReadFileBytes(Posix("held.txt")), "held");
    EXPECT_EQ(ReadFileBytes(Posix("target.txt")), "target");
    EXPECT_FALSE(FileExists(Posix("copy.txt")) || FileExists(Posix("moved.txt")));
    writer.reset();  // killed: its locks go with it
    EXPECT_TRUE(CopyFileW(WinOf("held.txt").c_str(), WinOf("copy.txt").c_str(), FALSE));
    EXPECT_TRUE(DeleteFileW(WinOf("held.txt").c_str()));
}

// Windows replaces only a target that no handle has open, of any access and share mode, this process's own included;
// the source needs only delete sharing. Nothing changes while the rename is refused. A rename by handle with POSIX
// semantics replaces an open target.
TEST_F(StandinFiles, ReplacingRenameNeedsAClosedTargetUnlessPosixSemantics) {
    const std::wstring source = WinOf("source.txt"), target = WinOf("target.txt");
    WriteFileBytes(Posix("source.txt"), "source");
    WriteFileBytes(Posix("target.txt"), "target");
    auto sourceHolder = Hold(Posix("source.txt"), "rw", "rwd");
    for (const auto& [access, share] : {std::pair{"rw", "rwd"}, {"-", "-"}}) {  // "-": attributes only
        auto holder = Hold(Posix("target.txt"), access, share);
        EXPECT_EQ(ErrorOf(MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)), ERROR_ACCESS_DENIED);
    }
    HANDLE own = Open(Posix("target.txt"), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_EQ(ErrorOf(MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)), ERROR_ACCESS_DENIED);
    EXPECT_EQ(ReadFileBytes(Posix("source.txt")) + ReadFileBytes(Posix("target.txt")), "sourcetarget");
    EXPECT_TRUE(CloseHandle(own));
    ASSERT_EQ(chmod(Posix("target.txt").c_str(), 0444), 0);  // nor a read-only target, closed or not
    EXPECT_EQ(ErrorOf(MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)), ERROR_ACCESS_DENIED);
    ASSERT_EQ(chmod(Posix("target.txt").c_str(), 0644), 0);
    EXPECT_TRUE(MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) << GetLastError();
    EXPECT_EQ(ReadFileBytes(Posix("target.txt")), "source");
    sourceHolder.reset();  // it holds the target now

    // An open that found the file before a replacing rename took its mark, and locks it after: it waits for the
    // rename and then holds the new file, so the next replace is refused instead of passing a stale handle.
    WriteFileBytes(Posix("source.txt"), "new");
    int mark = -1;
    ASSERT_EQ(posix::MarkForReplace(Posix("target.txt"), &mark), ERROR_SUCCESS);
    BackgroundProcess late({VOSKE_CFEMU, "hold", Posix("target.txt"), "r", "rwd"});
    const std::string latePid = std::to_string(late.Pid());
    ASSERT_TRUE(WaitUntil([&] { return !FlagsOfDescriptors(latePid, Posix("target.txt")).empty(); }));
    ASSERT_EQ(rename(Posix("source.txt").c_str(), Posix("target.txt").c_str()), 0);
    close(mark);
    ASSERT_TRUE(WaitUntil([&] { return late.Out().find("holding") != std::string::npos; })) << late.Err();
    WriteFileBytes(Posix("source.txt"), "newer");
    EXPECT_EQ(ErrorOf(MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)), ERROR_ACCESS_DENIED);

    // FileRenameInfoEx through a handle with delete access: with POSIX semantics a target held open (here by this
    // process and by `late`) is replaced and its handles keep the replaced file; without, MoveFileExW's refusal.
    const auto renameByHandle = [](HANDLE handle, const std::wstring& name, DWORD flags) {
        std::vector<unsigned char> buffer(offsetof(FILE_RENAME_INFO, FileName) + name.size() * sizeof(WCHAR));
        FILE_RENAME_INFO* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
        info->Flags = flags;
        info->FileNameLength = static_cast<DWORD>(name.size() * sizeof(WCHAR));
        name.copy(info->FileName, name.size());
        return ErrorOf(SetFileInformationByHandle(handle, FileRenameInfoEx, info, static_cast<DWORD>(buffer.size())));
    };
    constexpr DWORD kReplace = FILE_RENAME_FLAG_REPLACE_IF_EXISTS, kPosix = FILE_RENAME_FLAG_POSIX_SEMANTICS;
    std::filesystem::create_directory(Posix("dir"));
    HANDLE old = Open(Posix("target.txt"), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
    HANDLE reader = Open(Posix("source.txt"), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
    HANDLE mover = Open(Posix("source.txt"), DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE);
    ASSERT_EQ(chmod(Posix("target.txt").c_str(), 0444), 0);
    const struct {
        HANDLE handle;
        std::wstring name;
        DWORD flags, error;
    } refusals[] = {{reader, target, kReplace | kPosix, ERROR_ACCESS_DENIED},  // no delete access
                    {mover, target, 0, ERROR_ALREADY_EXISTS},
                    {mover, target, kReplace, ERROR_ACCESS_DENIED},          // held open, and read-only
                    {mover, target, kReplace | kPosix, ERROR_ACCESS_DENIED},  // read-only
                    {mover, WinOf("dir"), kReplace | kPosix | FILE_RENAME_FLAG_IGNORE_READONLY_ATTRIBUTE,
                     ERROR_ACCESS_DENIED},
                    {mover, target, kReplace | kPosix | 0x4u, ERROR_INVALID_PARAMETER}};  // a flag not emulated
    for (const auto& row : refusals) EXPECT_EQ(renameByHandle(row.handle, row.name, row.flags), row.error) << row.flags;
    EXPECT_EQ(ReadFileBytes(Posix("source.txt")) + ReadFileBytes(Posix("target.txt")), "newernew");
    EXPECT_EQ(renameByHandle(mover, target, kReplace | kPosix | FILE_RENAME_FLAG_IGNORE_READONLY_ATTRIBUTE), 0u);
    EXPECT_TRUE(ReadFileBytes(Posix("target.txt")) == "newer" && !std::filesystem::exists(Posix("source.txt")));
    char bytes[8];
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(old, bytes, sizeof(bytes), &got, nullptr) && std::string(bytes, got) == "new");
    for (HANDLE handle : {old, reader, mover}) CloseHandle(handle);
}

// The runtime's "a" seeks to the end before each write (no O_APPEND, so appenders can overwrite each other, as on
// Windows); append access without write access makes every write land at the end (O_APPEND).
TEST_F(StandinFiles, AppendingOpensAndTheirDescriptors) {
    const std::string path = Posix("append.txt");
    const struct {
        const wchar_t* mode;  // null: CreateFileW with `access`
        DWORD access;
        bool atEnd;
    } rows[] = {
        {L"a", 0, false},
        {L"ab", 0, false},
        {L"a+t", 0, false},
        {nullptr, FILE_APPEND_DATA | SYNCHRONIZE, true},
        {nullptr, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, true},
        {nullptr, FILE_APPEND_DATA | GENERIC_WRITE, false},
    };
    for (const auto& row : rows) {
        FILE* stream = row.mode != nullptr ? _wfsopen(Win(path).c_str(), row.mode, _SH_DENYNO) : nullptr;
        HANDLE file = row.mode == nullptr ? Open(path, row.access, FILE_SHARE_READ, OPEN_ALWAYS) : INVALID_HANDLE_VALUE;
        ASSERT_TRUE(stream != nullptr || file != INVALID_HANDLE_VALUE);
        int writers = 0;
        for (int flags : FlagsOfDescriptors("self", path)) {
            if ((flags & O_ACCMODE) == O_RDONLY) continue;  // a write-only handle's lock descriptor
            ++writers;
            EXPECT_EQ((flags & O_APPEND) != 0, row.atEnd) << row.access;
        }
        EXPECT_EQ(writers, 1);
        EXPECT_TRUE(stream != nullptr ? fclose(stream) == 0 : CloseHandle(file));
    }
}

const std::string kChild = std::string(VOSKE_BINARY_DIR) + "/standin_child";

class StandinProcess : public PlatformTest {};

// Started as the program starts, in the "C" locale: "%ls" of a name outside ASCII fails, as on Windows, while the
// argument itself arrives whole.
TEST_F(StandinProcess, EntryKeepsTheCLocaleAndNonAsciiArguments) {
    const ProcessResult child = RunProcess({kChild, "locale", "\xc3\xb1\xe6\x97\xa5.txt"});
    EXPECT_EQ(child.exitCode, 0) << child.err;
    EXPECT_EQ(child.out, "-1 \xc3\xb1\xe6\x97\xa5.txt\n");
}

// Z: is the POSIX root, either case; a backslash inside a POSIX name travels as U+F05C.
TEST(StandinPaths, WindowsAndPosixPaths) {
    const std::pair<const wchar_t*, const char*> both[] = {
        {L"Z:\\home\\u\\x.txt", "/home/u/x.txt"},
        {L"Z:\\", "/"},
        {L"Z:\\d\\\u00e9t\u00e9.txt", "/d/\xc3\xa9t\xc3\xa9.txt"},
        {L"Z:\\d\\a\uF05C..\uF05Cx", "/d/a\\..\\x"},
    };
    for (const auto& [windows, posixPath] : both) {
        EXPECT_EQ(posix::ToPosixPath(windows), posixPath);
        EXPECT_EQ(posix::ToWindowsPath(posixPath), windows);
    }
    EXPECT_EQ(posix::ToPosixPath(L"z:\\home\\u"), "/home/u");
}

// With LOCALAPPDATA unset or empty: XDG_DATA_HOME, else HOME/.local/share, made for this user only ("@": the test's
// directory). A set LOCALAPPDATA and none at all are the layout unit tests' cases.
TEST(StandinEnvironment, LocalAppDataFallbacks) {
    TempLocalAppData env;  // puts LOCALAPPDATA, HOME and XDG_DATA_HOME back
    const struct {
        const char *localAppData, *xdg, *home;  // null: unset
        const wchar_t* expected;
    } cases[] = {
        {"", "@/x/data", "@/h", L"@\\x\\data"},
        {nullptr, "", "@/home/u", L"@\\home\\u\\.local\\share"},
    };
    for (const auto& c : cases) {
        for (const auto& [name, value] :
             {std::pair{"LOCALAPPDATA", c.localAppData}, {"XDG_DATA_HOME", c.xdg}, {"HOME", c.home}}) {
            if (value == nullptr) unsetenv(name);
            if (value != nullptr) setenv(name, (value[0] == '@' ? env.Root() + (value + 1) : value).c_str(), 1);
        }
        // As the program asks: the size with the NUL first, then the value, whose length comes without the NUL.
        const DWORD needed = GetEnvironmentVariableW(L"LOCALAPPDATA", nullptr, 0);
        const std::wstring expected = Win(env.Root()) + (c.expected + 1);
        std::wstring value(needed, L'#');
        ASSERT_EQ(needed, expected.size() + 1) << c.xdg;
        EXPECT_EQ(GetEnvironmentVariableW(L"LOCALAPPDATA", value.data(), needed), expected.size());
        EXPECT_EQ(value, expected + L'\0');
        EXPECT_EQ(StatOf(posix::ToPosixPath(expected)).st_mode & 07777, 0700u) << c.xdg;
    }
}

// As the program calls them (size, then text): a character beyond 16 bits both ways; U+FFFD per bad unit.
TEST(StandinText, Utf8AndWideConversions) {
    const std::wstring mixed = L"a\u00e9\u20ac" + std::wstring(1, wchar_t(0x1F600));
    const std::pair<std::string, std::wstring> decode[] = {
        {"a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", mixed},
        {"a\377b", L"a\uFFFDb"},
        {"\342\202A", L"\uFFFDA"},  // a truncated sequence is one replacement
    };
    for (const auto& [utf8, wide] : decode) {
        const int count = static_cast<int>(utf8.size());
        std::wstring out(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), count, nullptr, 0), L'#');
        EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), count, out.data(), int(out.size())), int(wide.size()));
        EXPECT_EQ(out, wide) << utf8;
    }
    const std::pair<std::wstring, std::string> encode[] = {
        {mixed, decode[0].first}, {std::wstring(1, wchar_t(0xDC00)), "\xef\xbf\xbd"},  // an unpaired surrogate
    };
    for (const auto& [wide, utf8] : encode) {
        std::string out(WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr), '#');
        EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, out.data(), int(out.size()), nullptr, nullptr),
                  int(utf8.size() + 1));
        EXPECT_EQ(out, utf8 + '\0');
    }
}

}  // namespace
}  // namespace platformtest
