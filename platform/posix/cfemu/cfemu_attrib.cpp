// cfemu_attrib.cpp - `cfemu attrib`: shows and sets the attributes a Windows user sees with attrib, read-only and the
// pin states ("Always keep on this device" is +P, "Free up space" -P +U), through GetFileAttributesW and
// SetFileAttributesW of the stand-in, so the emulated filter applies its rules and a watcher hears of the change.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/posix/cfemu/cfemu.h"
#include "platform/posix/win32/posix_handle.h"

namespace cfemu {
namespace {

constexpr DWORD kShown = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_PINNED | FILE_ATTRIBUTE_UNPINNED;

struct Target {
    std::string path;  // POSIX, absolute
    bool directory = false;
};

// PATH itself, or with `below` what is under the directory PATH: files, and with `directories` the directories too
// (PATH first), each directory before what it holds.
bool Collect(const std::string& path, bool below, bool directories, std::vector<Target>* targets, DWORD* error) {
    const DWORD attributes = GetFileAttributesW(posix::ToWindowsPath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        *error = GetLastError();
        return false;
    }
    const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!below || !directory || directories) targets->push_back({path, directory});
    if (!below || !directory) return true;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((posix::ToWindowsPath(path) + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return *error == ERROR_FILE_NOT_FOUND;  // an empty directory
    }
    std::vector<std::pair<std::string, bool>> names;
    do {
        const std::string name = posix::NameToPosix(data.cFileName);
        if (name == "." || name == "..") continue;
        // A symbolic link is not followed; a placeholder directory (a reparse point too) is entered.
        if (data.dwReserved0 != IO_REPARSE_TAG_SYMLINK)
            names.push_back({name, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
    } while (FindNextFileW(find, &data));
    FindClose(find);
    std::sort(names.begin(), names.end());
    for (const auto& [name, isDirectory] : names) {
        const std::string child = (path == "/" ? "" : path) + "/" + name;
        if (isDirectory) {
            if (!Collect(child, true, directories, targets, error)) return false;
        } else {
            targets->push_back({child, false});
        }
    }
    return true;
}

}  // namespace

int RunAttrib(int argc, char** argv) {
    DWORD set = 0, clear = 0;
    bool below = false, directories = false, bad = false;
    std::string path;
    for (int k = 0; k < argc; ++k) {
        const std::string word = argv[k];
        const char sign = word.size() == 2 ? word[0] : '\0';
        const char letter = word.size() == 2 ? static_cast<char>(word[1] & ~0x20) : '\0';
        const DWORD bit = letter == 'R'   ? FILE_ATTRIBUTE_READONLY
                          : letter == 'P' ? FILE_ATTRIBUTE_PINNED
                          : letter == 'U' ? FILE_ATTRIBUTE_UNPINNED
                                          : 0;
        if ((sign == '+' || sign == '-') && bit != 0) {
            (sign == '+' ? set : clear) |= bit;
            (sign == '+' ? clear : set) &= ~bit;
        } else if (word == "/S" || word == "/s") {
            below = true;
        } else if (word == "/D" || word == "/d") {
            directories = true;
        } else if (path.empty() && !word.empty()) {
            path = word;
        } else {
            bad = true;
        }
    }
    if (bad || path.empty() || (directories && !below)) {
        std::fputs("usage: cfemu attrib [+R|-R|+P|-P|+U|-U]... [/S [/D]] PATH\n", stderr);
        return 1;
    }
    if (path[0] != '/') {
        char cwd[4096];
        if (getcwd(cwd, sizeof(cwd)) != nullptr) path = std::string(cwd) + (std::string(cwd) == "/" ? "" : "/") + path;
    }
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    std::vector<Target> targets;
    DWORD error = ERROR_SUCCESS;
    if (!Collect(path, below, directories, &targets, &error)) {
        std::fprintf(stderr, "cfemu attrib %s: %s\n", path.c_str(), DescribeWin32Error(error).c_str());
        return 1;
    }
    int status = 0;
    for (const Target& target : targets) {
        const std::wstring name = posix::ToWindowsPath(target.path);
        const DWORD attributes = GetFileAttributesW(name.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            std::fprintf(stderr, "cfemu attrib %s: %s\n", target.path.c_str(),
                         DescribeWin32Error(GetLastError()).c_str());
            status = 1;
            continue;
        }
        if (set == 0 && clear == 0) {
            std::printf("%c%c%c  %s\n", (attributes & FILE_ATTRIBUTE_READONLY) != 0 ? 'R' : ' ',
                        (attributes & FILE_ATTRIBUTE_PINNED) != 0 ? 'P' : ' ',
                        (attributes & FILE_ATTRIBUTE_UNPINNED) != 0 ? 'U' : ' ', target.path.c_str());
            continue;
        }
        const DWORD wanted = ((attributes & kShown) | set) & ~clear;
        if (!SetFileAttributesW(name.c_str(), wanted != 0 ? wanted : FILE_ATTRIBUTE_NORMAL)) {
            std::fprintf(stderr, "cfemu attrib %s: %s\n", target.path.c_str(),
                         DescribeWin32Error(GetLastError()).c_str());
            status = 1;
        }
    }
    return status;
}

}  // namespace cfemu
