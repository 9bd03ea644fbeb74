// file_open.h - opening a file the program writes while other processes may hold it for a moment.
#pragma once

#include "platform/win32.h"

#include <string>

// CreateFileW of an existing file that tries again while the open fails with ERROR_SHARING_VIOLATION, for up to
// `retryMs` (another process's short copy or read). The last error is that of the last attempt.
HANDLE OpenExistingRetryingSharing(const std::wstring& path, DWORD access, DWORD shareMode, DWORD retryMs = 2000);
