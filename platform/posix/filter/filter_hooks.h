// filter_hooks.h - where the Win32 stand-in's file calls meet the emulated Cloud Files filter.
// The stand-in calls these at the moments the Windows filter would step in; the filter implements them.
#pragma once

#include "platform/posix/win32/posix_handle.h"

#include <cstdint>
#include <string>

namespace cfemu {

// True when the file open on `fd` is a placeholder of the emulated filter.
bool IsPlaceholder(int fd);

// Before data is read or written through a handle on a placeholder: when it is dehydrated, ask the connected
// provider for the whole file and wait. Returns ERROR_SUCCESS or the Win32 error the reader must see
// (for example ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING). On a callback thread the fetch is served as a nested
// request on another platform thread.
DWORD EnsureHydrated(posix::Handle& handle);

// After data was written through a handle on a placeholder: clears its in-sync mark.
void NoteDataWritten(posix::Handle& handle);

// After SetFileTime set the last-write time (a pointer given, neither 0 nor -1) through a handle on a placeholder:
// clears its in-sync mark when the root's InSync policy tracks the last-write time.
void NoteLastWriteTimeSet(posix::Handle& handle);

// Before close(2) of a handle whose close is announced: the file's present path (renamed since it was opened, the
// new one) and whether it is deleted (its last name gone, as when a POSIX rename replaced it).
std::string ClosingPath(const posix::Handle& handle, bool* deleted);
// A handle on a placeholder opened with read, write or delete access has been closed (after close(2)).
// Sends NOTIFY_FILE_CLOSE_COMPLETION to the connected provider without waiting, from callback threads too; a file
// deleted meanwhile is announced with CF_CALLBACK_CLOSE_COMPLETION_FLAG_DELETED, never under a name that another
// file took since.
void NotifyClosed(const std::string& posixPath, bool deleted);

// Before deleting or renaming a placeholder: NOTIFY_DELETE / NOTIFY_RENAME to the connected provider and wait
// for its acknowledgement. Returns ERROR_SUCCESS to go ahead, else the Win32 error of the refusal.
// Paths that are not placeholders return ERROR_SUCCESS at once; calls on callback threads ask like any other.
DWORD BeforeDelete(const std::string& posixPath);
DWORD BeforeRename(const std::string& fromPosixPath, const std::string& toPosixPath);

// Times kept by the filter where POSIX cannot store them (creation and change time of a placeholder).
// Returns false for a file that is not a placeholder; then the stand-in uses what stat gives.
bool StoredCreationTime(const std::string& posixPath, ULONGLONG* creationTicks);

// SetFileAttributesW, before anything else is changed: FILE_ATTRIBUTE_PINNED / FILE_ATTRIBUTE_UNPINNED in `attributes`
// set the pin state of the placeholder at `posixPath`, neither clears it. ERROR_SUCCESS, or the Win32 error the call
// fails with (ERROR_INVALID_PARAMETER for both bits, ERROR_NOT_A_CLOUD_FILE for either on a file no placeholder).
DWORD SetPinFromAttributes(const std::string& posixPath, DWORD attributes);

// After a rename of `fromPosixPath` to `toPosixPath`: a placeholder moved into another directory has its pin state
// re-evaluated by the documented table (a file moved into a pinned directory is pinned).
void AfterMove(const std::string& fromPosixPath, const std::string& toPosixPath);

// True on a thread the emulated filter runs callbacks on.
bool OnCallbackThread();

}  // namespace cfemu
