// cfemu_main.cpp - cfemu, the emulated platform's command-line tool: acts on a sync root as any application would.
// Reads, appends, deletes, renames and lists through the Win32 stand-in, shows and sets attributes, shows a root's
// registration, holds a file open and mounts a root.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/cfemu/cfemu.h"
#include "platform/posix/filter/cloud_filter.h"
#include "platform/win32.h"

namespace {

const char kUsage[] =
    "usage: cfemu COMMAND ARGUMENTS\n"
    "  cat PATH           write the file's bytes to standard output (a dehydrated placeholder is fetched\n"
    "                     from the connected provider first)\n"
    "  append PATH TEXT   append TEXT to the file (created when missing)\n"
    "  rm PATH            delete a file or an empty directory\n"
    "  mv FROM TO         rename or move a file or directory (the target must not exist)\n"
    "  ls DIR             one line per entry: name, size, placeholder or regular, hydrated or not,\n"
    "                     in sync or not, identity (tabs shown as \\t), Windows attributes and reparse tag\n"
    "                     (hex; - for no tag)\n"
    "  attrib [+R|-R|+P|-P|+U|-U]... [/S [/D]] PATH\n"
    "                     without a change, one line per file: its letters (R read-only, P pinned: always keep\n"
    "                     on this device, U unpinned: free up space), two spaces and its path; with changes,\n"
    "                     sets them as Windows' attrib does (SetFileAttributesW); /S: the files below the\n"
    "                     directory PATH instead, /D: with the directories, PATH among them\n"
    "  root DIR           the registration of the sync root holding DIR and whether a provider is connected\n"
    "  hold PATH ACCESS SHARE\n"
    "                     open the file as an application would and keep it open until Ctrl+C or SIGTERM;\n"
    "                     ACCESS and SHARE are letters of r (read), w (write), d (delete), or - for none\n"
    "  mount ROOT MOUNTPOINT\n"
    "                     shows ROOT (a sync root or a directory in one) at MOUNTPOINT (an empty directory) to\n"
    "                     every program, through FUSE; runs until Ctrl+C, SIGTERM or fusermount3 -u MOUNTPOINT\n";

struct ErrorText {
    DWORD code;
    const char* name;
    const char* text;
};

const ErrorText kErrors[] = {
    {ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND", "file not found"},
    {ERROR_PATH_NOT_FOUND, "ERROR_PATH_NOT_FOUND", "path not found"},
    {ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED", "access denied"},
    {ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE", "invalid handle"},
    {ERROR_SHARING_VIOLATION, "ERROR_SHARING_VIOLATION", "file in use by another process"},
    {ERROR_NOT_SUPPORTED, "ERROR_NOT_SUPPORTED", "not supported"},
    {ERROR_FILE_EXISTS, "ERROR_FILE_EXISTS", "file exists"},
    {ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER", "invalid parameter"},
    {ERROR_DIR_NOT_EMPTY, "ERROR_DIR_NOT_EMPTY", "directory not empty"},
    {ERROR_ALREADY_EXISTS, "ERROR_ALREADY_EXISTS", "already exists"},
    {ERROR_DIRECTORY, "ERROR_DIRECTORY", "not a directory"},
    {ERROR_DISK_FULL, "ERROR_DISK_FULL", "disk full"},
    {364, "ERROR_CLOUD_FILE_METADATA_TOO_LARGE", "cloud file metadata too large"},
    {ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING, "ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING",
     "cloud file provider is not running"},
    {376, "ERROR_NOT_A_CLOUD_FILE", "not a cloud file"},
    {ERROR_CLOUD_FILE_NOT_IN_SYNC, "ERROR_CLOUD_FILE_NOT_IN_SYNC", "cloud file is not in sync"},
    {ERROR_CLOUD_FILE_ALREADY_CONNECTED, "ERROR_CLOUD_FILE_ALREADY_CONNECTED",
     "sync root already has a connected provider"},
    {ERROR_CLOUD_FILE_NOT_SUPPORTED, "ERROR_CLOUD_FILE_NOT_SUPPORTED", "not supported by the cloud provider"},
    {ERROR_CLOUD_FILE_INVALID_REQUEST, "ERROR_CLOUD_FILE_INVALID_REQUEST", "invalid cloud file request"},
    {ERROR_CLOUD_FILE_CONNECTED_PROVIDER_ONLY, "ERROR_CLOUD_FILE_CONNECTED_PROVIDER_ONLY",
     "only the connected cloud provider may do this"},
    {ERROR_CLOUD_FILE_AUTHENTICATION_FAILED, "ERROR_CLOUD_FILE_AUTHENTICATION_FAILED",
     "cloud provider authentication failed"},
    {ERROR_CLOUD_FILE_UNSUCCESSFUL, "ERROR_CLOUD_FILE_UNSUCCESSFUL", "cloud operation unsuccessful"},
    {ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT, "ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT", "not under a sync root"},
    {ERROR_CLOUD_FILE_IN_USE, "ERROR_CLOUD_FILE_IN_USE", "cloud file in use"},
    {395, "ERROR_CLOUD_FILE_ACCESS_DENIED", "cloud file access denied"},
    {ERROR_CLOUD_FILE_REQUEST_CANCELED, "ERROR_CLOUD_FILE_REQUEST_CANCELED", "cloud request canceled"},
    {ERROR_CLOUD_FILE_PROVIDER_TERMINATED, "ERROR_CLOUD_FILE_PROVIDER_TERMINATED", "cloud file provider terminated"},
    {ERROR_CLOUD_FILE_REQUEST_TIMEOUT, "ERROR_CLOUD_FILE_REQUEST_TIMEOUT", "cloud request timed out"},
    {ERROR_CLOUD_FILE_PINNED, "ERROR_CLOUD_FILE_PINNED", "cloud file is pinned"},
    {434, "ERROR_CLOUD_FILE_DEHYDRATION_DISALLOWED", "dehydration disallowed"},
};

int Fail(const char* command, const std::string& path, DWORD code) {
    std::fprintf(stderr, "cfemu %s %s: %s\n", command, path.c_str(), cfemu::DescribeWin32Error(code).c_str());
    return 1;
}

int Usage() {
    std::fputs(kUsage, stderr);
    return 1;
}

std::string Absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    std::vector<char> cwd(4096);
    if (getcwd(cwd.data(), cwd.size()) == nullptr) return path;
    std::string base = cwd.data();
    return base == "/" ? "/" + path : base + "/" + path;
}

std::wstring Windows(const std::string& path) { return posix::ToWindowsPath(Absolute(path)); }

// The identity blob as the text the provider wrote (UTF-16LE with its NUL), tabs and control characters escaped.
std::string ShowIdentity(const std::vector<BYTE>& blob) {
    std::wstring text;
    for (size_t i = 0; i + 1 < blob.size(); i += 2) text.push_back(static_cast<wchar_t>(blob[i] | (blob[i + 1] << 8)));
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    // Join surrogate pairs so the UTF-8 form shows the character.
    std::wstring joined;
    for (size_t i = 0; i < text.size(); ++i) {
        wchar_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            joined.push_back(static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00)));
            ++i;
        } else {
            joined.push_back(unit);
        }
    }
    std::string shown;
    for (char c : posix::WideToUtf8(joined)) {
        if (c == '\t') {
            shown += "\\t";
        } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\x%02X", static_cast<unsigned>(static_cast<unsigned char>(c)));
            shown += escaped;
        } else {
            shown += c;
        }
    }
    return shown;
}

int Cat(const std::string& path) {
    HANDLE file =
        CreateFileW(Windows(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return Fail("cat", path, GetLastError());
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
            DWORD error = GetLastError();
            CloseHandle(file);
            return Fail("cat", path, error);
        }
        if (got == 0) break;
        std::fwrite(buffer.data(), 1, got, stdout);
    }
    CloseHandle(file);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

int Append(const std::string& path, const std::string& text) {
    HANDLE file =
        CreateFileW(Windows(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return Fail("append", path, GetLastError());
    DWORD written = 0;
    BOOL ok = SetFilePointer(file, 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER &&
              WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
              written == text.size();
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    CloseHandle(file);
    return ok ? 0 : Fail("append", path, error);
}

int Remove(const std::string& path) {
    std::wstring windows = Windows(path);
    DWORD attributes = GetFileAttributesW(windows.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return Fail("rm", path, GetLastError());
    BOOL ok =
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? RemoveDirectoryW(windows.c_str()) : DeleteFileW(windows.c_str());
    return ok ? 0 : Fail("rm", path, GetLastError());
}

int Move(const std::string& from, const std::string& to) {
    if (!MoveFileExW(Windows(from).c_str(), Windows(to).c_str(), 0)) return Fail("mv", from, GetLastError());
    return 0;
}

int List(const std::string& directory) {
    std::string absolute = Absolute(directory);
    std::wstring pattern = posix::ToWindowsPath(absolute) + L"\\*";
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND &&
            GetFileAttributesW(posix::ToWindowsPath(absolute).c_str()) != INVALID_FILE_ATTRIBUTES) {
            return 0;  // an empty directory
        }
        return Fail("ls", directory, error);
    }
    std::vector<std::string> lines;
    do {
        std::string name = posix::NameToPosix(data.cFileName);
        if (name == "." || name == "..") continue;
        bool isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        unsigned long long size = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        std::string path = (absolute == "/" ? "" : absolute) + "/" + name;
        cfemu::PlaceholderState state;
        std::string line = name + (isDirectory ? "/" : "") + "\t" + std::to_string(size) + "\t";
        if (cfemu::ReadStateAt(path, &state)) {
            std::vector<BYTE> identity;
            cfemu::ReadIdentityAt(path, &identity);
            line += "placeholder\t";
            line += (state.flags & cfemu::kStateHydrated) != 0 ? "hydrated\t" : "dehydrated\t";
            line += (state.flags & cfemu::kStateInSync) != 0 ? "in-sync\t" : "not-in-sync\t";
            line += identity.empty() ? "-" : ShowIdentity(identity);
        } else {
            line += "regular\t-\t-\t-";
        }
        char attributes[40];
        std::snprintf(attributes, sizeof(attributes), "\t0x%08X\t", static_cast<unsigned>(data.dwFileAttributes));
        line += attributes;
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && data.dwReserved0 != 0) {
            std::snprintf(attributes, sizeof(attributes), "0x%08X", static_cast<unsigned>(data.dwReserved0));
            line += attributes;
        } else {
            line += "-";
        }
        lines.push_back(line);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    std::sort(lines.begin(), lines.end());
    for (const std::string& line : lines) std::printf("%s\n", line.c_str());
    return 0;
}

// "rwd" letters to access rights or share modes; false for any other letter.
bool ParseRights(const std::string& letters, DWORD read, DWORD write, DWORD remove, DWORD* rights) {
    *rights = 0;
    if (letters == "-") return true;
    for (char letter : letters) {
        if (letter == 'r') {
            *rights |= read;
        } else if (letter == 'w') {
            *rights |= write;
        } else if (letter == 'd') {
            *rights |= remove;
        } else {
            return false;
        }
    }
    return !letters.empty();
}

// Holds a handle the way an application keeps a file open, so others meet its share mode (and, on a
// placeholder, the provider hears of its close when it ends).
int Hold(const std::string& path, const std::string& accessLetters, const std::string& shareLetters) {
    DWORD access = 0, share = 0;
    if (!ParseRights(accessLetters, GENERIC_READ, GENERIC_WRITE, 0x00010000u /* DELETE */, &access) ||
        !ParseRights(shareLetters, FILE_SHARE_READ, FILE_SHARE_WRITE, FILE_SHARE_DELETE, &share)) {
        return Usage();
    }
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigprocmask(SIG_BLOCK, &stops, nullptr);
    HANDLE file = CreateFileW(Windows(path).c_str(), access == 0 ? FILE_READ_ATTRIBUTES : access, share, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return Fail("hold", path, GetLastError());
    std::printf("holding %s\n", path.c_str());
    std::fflush(stdout);
    int received = 0;
    sigwait(&stops, &received);
    CloseHandle(file);
    return 0;
}

int Root(const std::string& directory) {
    std::string path = cfemu::CanonicalPath(Absolute(directory));
    std::string root;
    cfemu::RootRecord record;
    if (path.empty() || !cfemu::FindSyncRoot(path, &root, &record)) {
        return Fail("root", directory, ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT);
    }
    const GUID& id = record.providerId;
    const CF_SYNC_POLICIES& policies = record.policies;
    int pid = -1;
    bool connected = cfemu::ProbeProvider(root, &pid);
    std::printf("root: %s\n", root.c_str());
    std::printf("provider: %s\n", record.providerName.c_str());
    std::printf("version: %s\n", record.providerVersion.c_str());
    std::printf("id: {%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}\n", static_cast<unsigned>(id.Data1), id.Data2,
                id.Data3, id.Data4[0], id.Data4[1], id.Data4[2], id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6],
                id.Data4[7]);
    std::printf("identity: %s\n", ShowIdentity(record.syncRootIdentity).c_str());
    std::printf("hydration: %u modifier 0x%X\n", policies.Hydration.Primary, policies.Hydration.Modifier);
    std::printf("population: %u modifier 0x%X\n", policies.Population.Primary, policies.Population.Modifier);
    std::printf("in-sync: 0x%X\n", static_cast<unsigned>(policies.InSync));
    std::printf("hardlink: 0x%X\n", static_cast<unsigned>(policies.HardLink));
    std::printf("placeholder-management: 0x%X\n", static_cast<unsigned>(policies.PlaceholderManagement));
    std::printf("register-flags: 0x%X\n", static_cast<unsigned>(record.registerFlags));
    if (connected) {
        std::printf("connected: yes (pid %d)\n", pid);
    } else {
        std::printf("connected: no\n");
    }
    return 0;
}

}  // namespace

std::string cfemu::DescribeWin32Error(DWORD code) {
    const char* name = "ERROR";
    const char* text = "failed";
    for (const ErrorText& row : kErrors) {
        if (row.code == code) {
            name = row.name;
            text = row.text;
        }
    }
    char line[160];
    std::snprintf(line, sizeof(line), "0x%08X %s (%s, error %u)", static_cast<unsigned>(HRESULT_FROM_WIN32(code)),
                  text, name, static_cast<unsigned>(code));
    return line;
}

int main(int argc, char** argv) {
    // Paths as long as Windows allows: the mount serves Linux programs that go deeper than one Linux call reaches.
    posix::AllowLongPaths(true);
    if (argc < 2) return Usage();
    std::string command = argv[1];
    if (command == "cat" && argc == 3) return Cat(argv[2]);
    if (command == "append" && argc == 4) return Append(argv[2], argv[3]);
    if (command == "rm" && argc == 3) return Remove(argv[2]);
    if (command == "mv" && argc == 4) return Move(argv[2], argv[3]);
    if (command == "ls" && argc == 3) return List(argv[2]);
    if (command == "attrib" && argc >= 3) return cfemu::RunAttrib(argc - 2, argv + 2);
    if (command == "root" && argc == 3) return Root(argv[2]);
    if (command == "hold" && argc == 5) return Hold(argv[2], argv[3], argv[4]);
    if (command == "mount" && argc == 4) return cfemu::RunMount(argv[2], argv[3]);
    return Usage();
}
