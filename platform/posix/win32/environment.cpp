// environment.cpp - environment variables with Windows' return-value rules, and LOCALAPPDATA for POSIX users.
// LOCALAPPDATA falls back to the XDG data directory, so the program's tree lands where Linux keeps user data.
#include "platform/posix/win32/standin_internal.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cwctype>
#include <mutex>

namespace {

constexpr DWORD kEnvVarNotFound = 203u;  // ERROR_ENVVAR_NOT_FOUND

bool IsLocalAppData(const std::wstring& name) {
    static const wchar_t kName[] = L"LOCALAPPDATA";
    if (name.size() != sizeof kName / sizeof kName[0] - 1) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        if (std::towupper(static_cast<wint_t>(name[i])) != static_cast<wint_t>(kName[i])) return false;
    }
    return true;
}

bool NonEmpty(const char* value) { return value != nullptr && value[0] != '\0'; }

// A value that is already a Windows path: a drive letter and colon, or a leading backslash.
bool IsWindowsForm(const std::string& value) {
    if (value.size() >= 2 && value[1] == ':' &&
        ((value[0] >= 'A' && value[0] <= 'Z') || (value[0] >= 'a' && value[0] <= 'z'))) {
        return true;
    }
    return !value.empty() && value[0] == '\\';
}

// Windows always has the local application-data directory; a new account, a container or a CI machine may not
// have the XDG data directory yet. The fallback is created with its missing parents, each with mode 0700 as the
// XDG base-directory rules ask; directories that exist keep their modes. A failure is left for the program's
// first use of the directory to report. The last path made is remembered, as every path the program builds
// asks for LOCALAPPDATA again.
void MakeDataDirectory(const std::string& path) {
    static std::mutex lock;
    static std::string made;
    std::lock_guard<std::mutex> guard(lock);
    if (path == made) return;
    const int savedErrno = errno;
    size_t slash = path.find('/', 1);
    for (;;) {
        const std::string step = path.substr(0, slash);
        if (mkdir(posix::SysPath(step).c_str(), 0700) != 0 && errno != EEXIST) break;
        if (slash == std::string::npos) {
            made = path;
            break;
        }
        slash = path.find('/', slash + 1);
    }
    errno = savedErrno;
}

// The value the program sees, or false when the variable counts as unset.
bool LookUp(const std::wstring& name, std::wstring* value) {
    if (IsLocalAppData(name)) {
        const char* set = std::getenv("LOCALAPPDATA");
        if (NonEmpty(set)) {
            std::string text = set;
            *value = IsWindowsForm(text) || text[0] != '/' ? posix::Utf8ToWide(text) : posix::ToWindowsPath(text);
            return true;
        }
        const char* xdg = std::getenv("XDG_DATA_HOME");
        if (NonEmpty(xdg)) {
            MakeDataDirectory(xdg);
            *value = posix::ToWindowsPath(xdg);
            return true;
        }
        const char* home = std::getenv("HOME");
        if (NonEmpty(home)) {
            std::string share = home;
            if (share.back() != '/') share += '/';
            share += ".local/share";
            MakeDataDirectory(share);
            *value = posix::ToWindowsPath(share);
            return true;
        }
        return false;
    }
    const char* set = std::getenv(posix::WideToUtf8(name).c_str());
    if (set == nullptr) return false;
    *value = posix::Utf8ToWide(set);
    return true;
}

}  // namespace

extern "C" DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size) {
    std::wstring value;
    if (name == nullptr || !LookUp(name, &value)) {
        SetLastError(kEnvVarNotFound);
        return 0;
    }
    // Success gives the length without the NUL; a short buffer gives the size needed with it.
    DWORD length = static_cast<DWORD>(value.size());
    if (buffer == nullptr || size <= length) return length + 1;
    value.copy(buffer, value.size());
    buffer[length] = L'\0';
    if (length == 0) SetLastError(ERROR_SUCCESS);  // tells an empty value from a failure
    return length;
}

extern "C" BOOL SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value) {
    if (name == nullptr || name[0] == L'\0' || std::wstring(name).find(L'=') != std::wstring::npos) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string narrowName = posix::WideToUtf8(name);
    int rc = value == nullptr ? unsetenv(narrowName.c_str())
                              : setenv(narrowName.c_str(), posix::WideToUtf8(value).c_str(), 1);
    if (rc != 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    return TRUE;
}
