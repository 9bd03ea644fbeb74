// paths.cpp - the Z: drive of the stand-in: Windows paths in the program, POSIX paths at the system calls.
// "Z:\home\u\x" is "/home/u/x", as Wine presents the POSIX file system.
#include "platform/posix/win32/standin_internal.h"

#include <unistd.h>


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
