// posix_handle.h - what a HANDLE of the POSIX stand-in points to, and the path mapping at its boundary.
// Shared by the Win32 stand-in and the emulated Cloud Files filter; not seen by the program.
#pragma once

#include "platform/win32.h"

#include <string>

namespace posix {

enum class HandleKind { File, Find, Process, Token, PseudoProcess };

struct Handle {
    HandleKind kind = HandleKind::File;
    int fd = -1;                  // File: the open descriptor
    int lockFd = -1;              // File: a readable descriptor holding the share locks of a write-only handle
    std::string path;             // File: POSIX path it was opened by (absolute)
    DWORD access = 0;             // File: GENERIC_READ / GENERIC_WRITE as requested
    bool placeholder = false;     // File: the file carried the emulated filter's placeholder mark at open
    bool appendOnly = false;      // File: O_APPEND, for FILE_APPEND_DATA without write access: writes land at the end
    int pid = -1;                 // Process: child pid
    bool exited = false;          // Process: reaped
    int exitCode = 0;             // Process: exit code once reaped
    void* find = nullptr;         // Find: the stand-in's enumeration state
    bool overlapped = false;      // File: a directory opened with FILE_FLAG_OVERLAPPED
    void* watch = nullptr;        // File: a directory's change watch, made by its first ReadDirectoryChangesW
};

// Frees a directory handle's change watch (its inotify descriptor and watches); CloseHandle calls it. No thread
// may still wait on the handle: the caller cancels and waits first, as on Windows.
void FreeDirectoryWatch(Handle& handle);

// Windows path (as the program holds it) to POSIX path: "Z:\" prefix (either case) to "/", every backslash
// to "/"; relative paths stay relative.
std::string ToPosixPath(const std::wstring& windowsPath);
// POSIX path to the program's Windows form: an absolute path becomes "Z:\..." with backslashes.
std::wstring ToWindowsPath(const std::string& posixPath);
// One name, without separators, between the two forms. A POSIX name may hold a backslash, which no Windows name
// can: read as a separator it would split the name, and "a\..\..\x" would lead out of its directory. It travels
// as U+F05C (a private-use character, as Wine maps it) and turns back into a backslash on the way down; the
// path conversions above do the same for every component.
constexpr wchar_t kBackslashInName = 0xF05C;
std::wstring NameToWindows(const std::string& posixName);
std::string NameToPosix(const std::wstring& windowsName);

// Long paths for this process, as a Windows program gets them by declaring itself long-path aware: paths of up to
// 32,767 characters instead of the Linux call's limit (PATH_MAX, 4,096 bytes, ENAMETOOLONG beyond). cfemu declares
// it (a Linux program on the mount may go as deep as that); the provider does not, and keeps the Linux call's limit
// (Windows would hold it to 260 characters).
void AllowLongPaths(bool allow);

// A path as one POSIX call takes it. A path shorter than PATH_MAX, or any path in a process without long paths, is
// passed as it is. A longer one is reached a part at a time through directory descriptors and passed as
// "/proc/self/fd/N/rest", which the kernel resolves through the open directory. A part that cannot be reached fails
// the call with that part's error (ENOENT, ENOTDIR, EACCES), as the whole path would. It lives for one call:
// `lstat(SysPath(path).c_str(), &st)`; `path` must outlive it, as it does in that form.
class SysPath {
  public:
    explicit SysPath(const std::string& path);
    ~SysPath();
    SysPath(const SysPath&) = delete;
    SysPath& operator=(const SysPath&) = delete;
    const char* c_str() const { return reached_.empty() ? path_.c_str() : reached_.c_str(); }

  private:
    const std::string& path_;
    std::string reached_;
    int directory_ = -1;
};

// UTF-8 <-> wchar_t (UTF-32) without locale; invalid input becomes U+FFFD.
std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);

// errno to Win32 error code, one table for the whole stand-in.
DWORD Win32ErrorFromErrno(int error);

// FILETIME ticks (100 ns since 1601-01-01 UTC) <-> POSIX timespec seconds/nanoseconds.
ULONGLONG FileTimeTicksFromTimespec(long long seconds, long nanoseconds);
void TimespecFromFileTimeTicks(ULONGLONG ticks, long long* seconds, long* nanoseconds);

}  // namespace posix
