// file_open.h - opening a file the program writes while other processes may hold it for a moment.
#pragma once

#include "platform/win32.h"

#include <string>

// CreateFileW of an existing file that tries again while the open fails with ERROR_SHARING_VIOLATION, for up to
// `retryMs` (another process's short copy or read). The last error is that of the last attempt.
HANDLE OpenExistingRetryingSharing(const std::wstring& path, DWORD access, DWORD shareMode, DWORD retryMs = 2000);

// Appends `text` to the file at `path` (created when missing) with one write through a handle opened for appending
// only, which the system keeps whole at the end of the file however many processes append at once. Each line feed
// becomes carriage return + line feed, as text mode writes it. With `durable`, the line is on the disk before it
// returns. False, with the last error set, when it fails.
bool AppendTextLines(const std::wstring& path, const char* text, bool durable = false);

// MoveFileExW with MOVEFILE_REPLACE_EXISTING and MOVEFILE_WRITE_THROUGH (it returns once the move is on the disk)
// that tries again, for up to `retryMs`, while the target is held open:
// Windows replaces only a closed file and answers ERROR_ACCESS_DENIED (or a sharing violation) while a reader holds
// the previous version. The last error is that of the last attempt.
bool ReplaceFileRetrying(const std::wstring& from, const std::wstring& to, DWORD retryMs = 2000);
