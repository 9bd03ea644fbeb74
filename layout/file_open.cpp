// file_open.cpp - a sharing violation is usually over in a moment (a provider copying the file it was told was
// closed, a reader), so the program's own writers wait a little before they report one.
#include "layout/file_open.h"

#include <string>

namespace {

constexpr DWORD kRetryPauseMs = 25;

}  // namespace

HANDLE OpenExistingRetryingSharing(const std::wstring& path, DWORD access, DWORD shareMode, DWORD retryMs) {
    const ULONGLONG deadline = GetTickCount64() + retryMs;
    for (;;) {
        HANDLE file = CreateFileW(path.c_str(), access, shareMode, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION) return file;
        if (GetTickCount64() >= deadline) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return INVALID_HANDLE_VALUE;
        }
        Sleep(kRetryPauseMs);
    }
}

bool ReplaceFileRetrying(const std::wstring& from, const std::wstring& to, DWORD retryMs) {
    const ULONGLONG deadline = GetTickCount64() + retryMs;
    for (;;) {
        if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
        const DWORD error = GetLastError();
        if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) || GetTickCount64() >= deadline) {
            SetLastError(error);
            return false;
        }
        Sleep(kRetryPauseMs);
    }
}

bool AppendTextLines(const std::wstring& path, const char* text, bool durable) {
    std::string bytes;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '\n') bytes.push_back('\r');
        bytes.push_back(*p);
    }
    // FILE_APPEND_DATA without FILE_WRITE_DATA: every write lands at the end in one piece. The C runtime's "a" mode
    // seeks to the end and then writes, so two processes appending at once could overwrite each other's lines.
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                    (!durable || FlushFileBuffers(file));
    const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    CloseHandle(file);
    if (!ok) SetLastError(error);
    return ok && written == bytes.size();
}
