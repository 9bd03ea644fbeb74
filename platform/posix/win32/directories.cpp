// directories.cpp - creating and removing directories, and FindFirstFileW enumeration.
// Listings come sorted as NTFS returns them, "." and ".." first except at the root.
#include "platform/posix/filter/filter_hooks.h"
#include "platform/posix/win32/standin_internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cwctype>
#include <locale.h>
#include <wctype.h>

namespace {

struct FindState {
    std::string directory;           // POSIX directory being listed
    int directoryFd = -1;            // the same, opened once, so an entry's stat walks no path
    std::vector<std::string> names;  // matching entries, in the order they are returned
    size_t next = 0;
    ~FindState() {
        if (directoryFd >= 0) close(directoryFd);
    }
};

// NTFS folds case by its own table, whatever the program's locale: the stand-in folds through a UTF-8 locale of its
// own, so a program left in the "C" locale (as every program starts) still matches and orders names outside ASCII.
wint_t FoldCase(wchar_t c) {
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return utf8 != static_cast<locale_t>(nullptr) ? towupper_l(static_cast<wint_t>(c), utf8)
                                                  : std::towupper(static_cast<wint_t>(c));
}

// Windows matches names without regard to case; '*' is any run, '?' one character.
bool MatchPattern(const wchar_t* pattern, const wchar_t* name) {
    if (*pattern == L'\0') return *name == L'\0';
    if (*pattern == L'*') {
        while (*pattern == L'*') ++pattern;
        if (*pattern == L'\0') return true;
        for (const wchar_t* rest = name;; ++rest) {
            if (MatchPattern(pattern, rest)) return true;
            if (*rest == L'\0') return false;
        }
    }
    if (*name == L'\0') return false;
    if (*pattern != L'?' && FoldCase(*pattern) != FoldCase(*name)) {
        return false;
    }
    return MatchPattern(pattern + 1, name + 1);
}

bool MatchesAll(const std::wstring& pattern) { return pattern == L"*" || pattern == L"*.*"; }

std::wstring UpperOf(const std::string& name) {
    std::wstring wide = posix::Utf8ToWide(name);
    for (wchar_t& c : wide) c = static_cast<wchar_t>(FoldCase(c));
    return wide;
}

// Orders names without regard to case, then by their bytes. ASCII-only listings (the usual case) compare
// upper-cased bytes, which orders them exactly as the wide upper-cased keys do, at a fraction of the cost.
void SortAsNtfs(std::vector<std::string>& names) {
    bool ascii = std::all_of(names.begin(), names.end(), [](const std::string& name) {
        return std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    });
    if (ascii) {
        std::vector<std::pair<std::string, std::string>> keyed;
        keyed.reserve(names.size());
        for (std::string& name : names) {
            std::string upper = name;
            for (char& c : upper) {
                if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
            }
            keyed.emplace_back(std::move(upper), std::move(name));
        }
        std::sort(keyed.begin(), keyed.end());
        for (size_t i = 0; i < keyed.size(); ++i) names[i] = std::move(keyed[i].second);
        return;
    }
    std::vector<std::pair<std::wstring, std::string>> keyed;
    keyed.reserve(names.size());
    for (std::string& name : names) keyed.emplace_back(UpperOf(name), std::move(name));
    std::sort(keyed.begin(), keyed.end());
    for (size_t i = 0; i < keyed.size(); ++i) names[i] = std::move(keyed[i].second);
}

// Fills one result; false when the entry has gone since the listing was read.
bool FillFindData(const FindState& state, const std::string& name, LPWIN32_FIND_DATAW data) {
    const std::string& directory = state.directory;
    std::string full = directory == "/" ? "/" + name : directory + "/" + name;
    struct stat st;
    int rc = state.directoryFd >= 0 ? fstatat(state.directoryFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW)
                                    : lstat(posix::SysPath(full).c_str(), &st);
    if (rc != 0) return false;
    *data = WIN32_FIND_DATAW{};
    data->dwReserved0 = posix::ReparseTagOf(st, posix::FillFileData(data, full, st));
    std::wstring wide = posix::NameToWindows(name);
    size_t length = std::min(wide.size(), static_cast<size_t>(MAX_PATH - 1));
    std::copy(wide.begin(), wide.begin() + static_cast<std::ptrdiff_t>(length), data->cFileName);
    data->cFileName[length] = L'\0';
    return true;
}

bool NextFound(FindState& state, LPWIN32_FIND_DATAW data) {
    while (state.next < state.names.size()) {
        if (FillFindData(state, state.names[state.next++], data)) return true;
    }
    return false;
}

}  // namespace

extern "C" BOOL CreateDirectoryW(LPCWSTR pathName, LPSECURITY_ATTRIBUTES security) {
    (void)security;
    std::string path = posix::AbsolutePosixPath(pathName);
    if (mkdir(posix::SysPath(path).c_str(), 0777) != 0) {
        // A missing parent is a missing path to Windows, never a missing file.
        if (errno == ENOENT) {
            SetLastError(ERROR_PATH_NOT_FOUND);
        } else {
            posix::SetLastErrorFromErrno(errno, path);
        }
        return FALSE;
    }
    return TRUE;
}

namespace {

bool IsEmptyDirectory(const std::string& path) {
    DIR* dir = opendir(posix::SysPath(path).c_str());
    if (dir == nullptr) return true;  // rmdir reports the real error
    bool empty = true;
    while (dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
            empty = false;
            break;
        }
    }
    closedir(dir);
    return empty;
}

}  // namespace

extern "C" BOOL RemoveDirectoryW(LPCWSTR pathName) {
    std::string path = posix::AbsolutePosixPath(pathName);
    struct stat st, target;
    if (lstat(posix::SysPath(path).c_str(), &st) != 0) {
        posix::SetLastErrorFromErrno(errno, path);
        return FALSE;
    }
    // A symbolic link to a directory is removed as the link, as Windows removes a directory link.
    if (S_ISLNK(st.st_mode)) {
        if (stat(posix::SysPath(path).c_str(), &target) != 0 || !S_ISDIR(target.st_mode)) {
            SetLastError(ERROR_DIRECTORY);
            return FALSE;
        }
        if (unlink(posix::SysPath(path).c_str()) != 0) {
            posix::SetLastErrorFromErrno(errno, path);
            return FALSE;
        }
        return TRUE;
    }
    if (!S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_DIRECTORY);
        return FALSE;
    }
    // A directory that cannot go anyway is refused before the provider is asked, so no delete is announced
    // that never happens; a directory placeholder is then held until the provider acknowledges.
    if (!IsEmptyDirectory(path)) {
        SetLastError(ERROR_DIR_NOT_EMPTY);
        return FALSE;
    }
    if (DWORD refusal = cfemu::BeforeDelete(path); refusal != ERROR_SUCCESS) {
        SetLastError(refusal);
        return FALSE;
    }
    if (rmdir(posix::SysPath(path).c_str()) != 0) {
        posix::SetLastErrorFromErrno(errno, path);
        return FALSE;
    }
    return TRUE;
}

extern "C" HANDLE FindFirstFileW(LPCWSTR fileName, LPWIN32_FIND_DATAW findData) {
    std::wstring query = fileName != nullptr ? fileName : L"";
    size_t separator = query.find_last_of(L"\\/");
    std::wstring pattern = separator == std::wstring::npos ? query : query.substr(separator + 1);
    std::wstring directoryPart = separator == std::wstring::npos ? std::wstring(L".") : query.substr(0, separator + 1);
    if (pattern.empty()) {
        // "dir\" names nothing to list, as on Windows.
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::string directory = posix::AbsolutePosixPath(directoryPart);
    while (directory.size() > 1 && directory.back() == '/') directory.pop_back();

    FindState* state = new FindState;
    state->directory = directory;
    state->directoryFd = open(posix::SysPath(directory).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (pattern.find_first_of(L"*?") == std::wstring::npos) {
        state->names.push_back(posix::NameToPosix(pattern));  // a plain name finds that one entry
    } else {
        DIR* dir = opendir(posix::SysPath(directory).c_str());
        if (dir == nullptr) {
            // A listing of a directory that is not there reports the path, not the file, as missing.
            int error = errno;
            delete state;
            SetLastError(error == ENOENT ? ERROR_PATH_NOT_FOUND : posix::Win32ErrorFromErrno(error));
            return INVALID_HANDLE_VALUE;
        }
        bool all = MatchesAll(pattern);
        std::vector<std::string> names;
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name == "." || name == "..") continue;
            if (all || MatchPattern(pattern.c_str(), posix::NameToWindows(name).c_str())) names.push_back(name);
        }
        closedir(dir);
        if (directory != "/") {
            for (const wchar_t* dots : {L".", L".."}) {
                if (all || MatchPattern(pattern.c_str(), dots)) state->names.push_back(posix::WideToUtf8(dots));
            }
        }
        SortAsNtfs(names);
        for (std::string& name : names) state->names.push_back(std::move(name));
    }
    if (!NextFound(*state, findData)) {
        struct stat st;
        DWORD error = stat(posix::SysPath(directory).c_str(), &st) == 0 ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
        delete state;
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    posix::Handle* handle = new posix::Handle;
    handle->kind = posix::HandleKind::Find;
    handle->find = state;
    return handle;
}

extern "C" BOOL FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW findData) {
    posix::Handle* handle = posix::HandleOf(find, posix::HandleKind::Find);
    if (handle == nullptr) return FALSE;
    if (!NextFound(*static_cast<FindState*>(handle->find), findData)) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    return TRUE;
}

extern "C" BOOL FindClose(HANDLE find) {
    posix::Handle* handle = posix::HandleOf(find, posix::HandleKind::Find);
    if (handle == nullptr) return FALSE;
    delete static_cast<FindState*>(handle->find);
    delete handle;
    return TRUE;
}
