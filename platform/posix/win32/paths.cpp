// paths.cpp - the Z: drive of the stand-in: Windows paths in the program, POSIX paths at the system calls.
// "Z:\home\u\x" is "/home/u/x", as Wine presents the POSIX file system.
#include "platform/posix/win32/standin_internal.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>

namespace posix {

std::string ToPosixPath(const std::wstring& windowsPath) {
    std::wstring path = windowsPath;
    if (path.size() >= 2 && (path[0] == L'Z' || path[0] == L'z') && path[1] == L':') {
        // "Z:\x" and "Z:x" alike: the drive is the POSIX root, so "Z:" itself is "/".
        path.erase(0, 2);
        if (path.empty() || (path[0] != L'\\' && path[0] != L'/')) path.insert(path.begin(), L'/');
    }
    for (wchar_t& c : path) {
        if (c == L'\\') {
            c = L'/';
        } else if (c == kBackslashInName) {
            c = L'\\';
        }
    }
    return WideToUtf8(path);
}

std::wstring ToWindowsPath(const std::string& posixPath) {
    std::wstring path = Utf8ToWide(posixPath);
    for (wchar_t& c : path) {
        if (c == L'\\') {
            c = kBackslashInName;
        } else if (c == L'/') {
            c = L'\\';
        }
    }
    if (!posixPath.empty() && posixPath[0] == '/') path.insert(0, L"Z:");
    return path;
}

std::wstring NameToWindows(const std::string& posixName) {
    std::wstring name = Utf8ToWide(posixName);
    for (wchar_t& c : name) {
        if (c == L'\\') c = kBackslashInName;
    }
    return name;
}

std::string NameToPosix(const std::wstring& windowsName) {
    std::wstring name = windowsName;
    for (wchar_t& c : name) {
        if (c == kBackslashInName) c = L'\\';
    }
    return WideToUtf8(name);
}

namespace {
std::atomic<bool> g_longPaths{false};
}  // namespace

void AllowLongPaths(bool allow) { g_longPaths = allow; }

SysPath::SysPath(const std::string& path) : path_(path) {
    // Windows takes no path of more than 32,767 characters; neither does the stand-in (counted in bytes, the
    // stricter reading): the whole path goes to the call, which refuses it (ENAMETOOLONG).
    constexpr size_t kLongestWindowsPath = 32767;
    if (path_.size() < PATH_MAX || path_.size() > kLongestWindowsPath || !g_longPaths) return;
    // Parts of at most this many bytes, so that "/proc/self/fd/N/" and the rest stay below PATH_MAX.
    constexpr size_t kPart = 3072;
    size_t at = 0;
    const auto through = [this] {
        return directory_ < 0 ? std::string() : "/proc/self/fd/" + std::to_string(directory_) + "/";
    };
    while (path_.size() - at >= kPart) {
        const size_t slash = path_.rfind('/', at + kPart);
        if (slash == std::string::npos || slash <= at) return;  // a name longer than any allowed: ENAMETOOLONG
        const std::string part = path_.substr(at, slash - at);
        const int next = openat(directory_ < 0 ? AT_FDCWD : directory_, part.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (next < 0) {
            reached_ = through() + part + "/.";  // fails again, at this part, with its own error
            return;
        }
        if (directory_ >= 0) close(directory_);
        directory_ = next;
        at = slash + 1;
    }
    reached_ = through() + path_.substr(at);
}

SysPath::~SysPath() {
    // Ends after the call whose errno the caller reads next.
    const int error = errno;
    if (directory_ >= 0) close(directory_);
    errno = error;
}

std::string AbsolutePosixPath(const std::wstring& windowsPath) {
    std::string path = ToPosixPath(windowsPath);
    if (!path.empty() && path[0] == '/') return path;
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) return path;
    std::string absolute = cwd;
    if (absolute.back() != '/') absolute += '/';
    while (path.size() >= 2 && path[0] == '.' && path[1] == '/') path.erase(0, 2);
    if (path == ".") path.clear();
    absolute += path;
    if (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
    return absolute;
}

std::string AbsolutePosixPath(const wchar_t* windowsPath) {
    return AbsolutePosixPath(std::wstring(windowsPath != nullptr ? windowsPath : L""));
}

}  // namespace posix
