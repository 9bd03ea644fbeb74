// file_open.cpp - a sharing violation is usually over in a moment (a provider copying the file it was told was
// closed, a reader), so the program's own writers wait a little before they report one.
#include "layout/file_open.h"

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
