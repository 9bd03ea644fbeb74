// standin_internal.h - pieces the Win32 stand-in's source files share with each other and with its tests.
// Not seen by the program: it only includes platform/win32.h.
#pragma once

#include "platform/posix/filter/cloud_filter.h"
#include "platform/posix/win32/posix_handle.h"

#include <sys/stat.h>

#include <string>
#include <vector>

namespace posix {

// Sets the thread's last error from errno. ENOENT becomes ERROR_PATH_NOT_FOUND instead of
// ERROR_FILE_NOT_FOUND when the directory that would hold `posixPath` does not exist, as Windows reports it.
void SetLastErrorFromErrno(int error, const std::string& posixPath = std::string());

// The Windows path the program passed, as an absolute POSIX path (relative paths are taken from the
// current directory), which is what the emulated filter and the handles keep.
std::string AbsolutePosixPath(const std::wstring& windowsPath);
std::string AbsolutePosixPath(const wchar_t* windowsPath);

// The handle a HANDLE points to when it is of the given kind, else null (and ERROR_INVALID_HANDLE set).
Handle* HandleOf(HANDLE object, HandleKind kind);

// Access rights the program never names but other callers of CreateFileW (cfemu, tests) may pass.
constexpr DWORD kFileReadData = 0x0001u;
constexpr DWORD kFileWriteData = 0x0002u;
constexpr DWORD kFileAppendData = 0x0004u;
constexpr DWORD kFileExecute = 0x0020u;
constexpr DWORD kDeleteAccess = 0x00010000u;
constexpr DWORD kGenericExecute = 0x20000000u;
constexpr DWORD kGenericAll = 0x10000000u;

// Whether an access mask reaches a file's data for writing or for reading (file_io.cpp and file_handles.cpp).
inline bool WantsWrite(DWORD access) { return (access & (GENERIC_WRITE | kGenericAll | kFileWriteData | kFileAppendData)) != 0; }
inline bool WantsRead(DWORD access) { return (access & (GENERIC_READ | kGenericAll | kFileReadData)) != 0; }

// File handles as the Win32 calls and the C runtime's streams share them. OpenFileHandle opens `posixPath`
// with open(2) flags (O_CLOEXEC is added) and marks placeholders; the read and write go through the
// filter's hydration; CloseFileHandle closes, notifies the filter and frees. All set the last error.
// `shareMode` is enforced against every other handle of any process (ERROR_SHARING_VIOLATION).
Handle* OpenFileHandle(const std::string& posixPath, int openFlags, unsigned mode, DWORD access, DWORD shareMode);
bool ReadHandle(Handle& handle, void* buffer, size_t toRead, size_t* got, const long long* offset);
// Empties an open file; a placeholder is hydrated first and then counts as written. Sets the last error.
bool TruncateOpenFile(Handle& handle);
bool WriteHandle(Handle& handle, const void* buffer, size_t toWrite, size_t* written, const long long* offset);
void CloseFileHandle(Handle* handle);

// Share modes (share_modes.cpp). TakeShareLocks records the handle's access and share mode on its file, or
// returns ERROR_SHARING_VIOLATION when they conflict with another handle's. OtherHandlesOpen tells whether any
// other handle, of any access, is open on the file. CheckShareForPath asks whether an operation needing
// `access` (a delete or rename needs kDeleteAccess) may run while the file's present handles stay open.
// TakeShareLocks returns kRetryOpen (never seen by the program) when a rename replaced the file between the open(2)
// and the locks: the caller opens the name again.
DWORD TakeShareLocks(Handle& handle, DWORD access, DWORD shareMode);
bool OtherHandlesOpen(const Handle& handle);
// A program that bypasses the stand-in holds no share locks, but Windows would refuse an open that does not share
// writing while that program writes (as every writer of this process does too). For a handle that reads or may
// delete and denies writing: ERROR_SHARING_VIOLATION while any descriptor has the file open for writing.
DWORD CheckOutsideWriters(const Handle& handle, DWORD access, DWORD shareMode);
DWORD CheckShareForPath(const std::string& posixPath, DWORD access);
constexpr DWORD kRetryOpen = 1237u;  // ERROR_RETRY
// Before a rename replaces `posixPath`: ERROR_ACCESS_DENIED while any handle, of any access or share mode, has
// the file open; ERROR_FILE_NOT_FOUND when there is none; else ERROR_SUCCESS, with *mark (or -1 where the file
// keeps no locks) holding off new opens of the file until it is closed, after the rename.
DWORD MarkForReplace(const std::string& posixPath, int* mark);

// FILETIME of a tick count, and the ticks of a FILETIME.
FILETIME FileTimeOfTicks(ULONGLONG ticks);
ULONGLONG TicksOfFileTime(const FILETIME& time);

// Times and attributes as Windows reports them for a file whose stat is `st` (lstat for a symbolic link).
// Creation time: the filter's stored time for a placeholder, else the birth time when the file system
// keeps one, else the last-write time. `fd` may be -1, then `posixPath` is used.
// A placeholder's state where the caller has read it already (`placeholder` false: not one), else null.
ULONGLONG CreationTicks(const std::string& posixPath, int fd, const struct stat& st);
struct KnownState {
    bool placeholder = false;
    cfemu::PlaceholderState state;
};
DWORD AttributesOfStat(const std::string& posixPath, const struct stat& st, const KnownState* known = nullptr);
// The reparse tag a listing reports in dwReserved0: IO_REPARSE_TAG_SYMLINK for a symbolic link, kPlaceholderTag for a
// placeholder, 0 for anything else. A placeholder gets a variant of the cloud tag, not the bare IO_REPARSE_TAG_CLOUD,
// so code that compares with the bare tag instead of asking IsReparseTagNameSurrogate fails here as it may on Windows.
constexpr DWORD kPlaceholderTag = IO_REPARSE_TAG_CLOUD_6;
DWORD ReparseTagOf(const struct stat& st, const KnownState& known);

// Fills the attributes, the three times and the size that WIN32_FILE_ATTRIBUTE_DATA and WIN32_FIND_DATAW share.
// A placeholder's record is read once for its attributes, its creation time and its reparse tag (a listing pays it
// per entry); returned for the caller's use. With `fd` (not -1) the open file is asked, whatever its path leads to now.
template <typename FileData>
KnownState FillFileData(FileData* data, const std::string& posixPath, const struct stat& st, int fd = -1) {
    KnownState known;
    known.placeholder = (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) &&
                        (fd >= 0 ? cfemu::ReadState(fd, &known.state) : cfemu::ReadStateAt(posixPath, &known.state));
    data->dwFileAttributes = AttributesOfStat(posixPath, st, &known);
    data->ftCreationTime = FileTimeOfTicks(known.placeholder ? known.state.creationTicks : CreationTicks(posixPath, fd, st));
    data->ftLastAccessTime = FileTimeOfTicks(FileTimeTicksFromTimespec(st.st_atim.tv_sec, st.st_atim.tv_nsec));
    data->ftLastWriteTime = FileTimeOfTicks(FileTimeTicksFromTimespec(st.st_mtim.tv_sec, st.st_mtim.tv_nsec));
    ULONGLONG size = S_ISDIR(st.st_mode) ? 0 : static_cast<ULONGLONG>(st.st_size);
    data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
    return known;
}

// Splits a command line by the rules of CommandLineToArgvW and the Windows C runtime.
std::vector<std::wstring> SplitCommandLine(const std::wstring& commandLine);

}  // namespace posix
