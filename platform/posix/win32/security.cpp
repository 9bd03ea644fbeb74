// security.cpp - the process token and the user's SID: a POSIX user is S-1-22-1-<uid>.
// The SID is built in the binary layout Windows uses, so its string form comes out of the usual rules.
#include "platform/posix/win32/standin_internal.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

namespace {

// Binary SID: revision, sub-authority count, 48-bit big-endian authority, 32-bit sub-authorities.
struct UnixUserSid {
    BYTE revision;
    BYTE subAuthorityCount;
    BYTE authority[6];
    DWORD subAuthority[2];
};

posix::Handle g_currentProcess = [] {
    posix::Handle handle;
    handle.kind = posix::HandleKind::PseudoProcess;
    return handle;
}();

}  // namespace

extern "C" HANDLE GetCurrentProcess(void) { return &g_currentProcess; }

extern "C" DWORD GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }

extern "C" BOOL OpenProcessToken(HANDLE process, DWORD desiredAccess, PHANDLE token) {
    (void)desiredAccess;
    if (token == nullptr || posix::HandleOf(process, posix::HandleKind::PseudoProcess) == nullptr) {
        SetLastError(token == nullptr ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    posix::Handle* handle = new posix::Handle;
    handle->kind = posix::HandleKind::Token;
    handle->pid = static_cast<int>(getpid());
    *token = handle;
    return TRUE;
}

extern "C" BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID info, DWORD length,
                                    PDWORD returnLength) {
    if (posix::HandleOf(token, posix::HandleKind::Token) == nullptr) return FALSE;
    if (infoClass != TokenUser || returnLength == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The SID follows the TOKEN_USER in the caller's buffer, as Windows lays it out.
    constexpr DWORD kNeeded = static_cast<DWORD>(sizeof(TOKEN_USER) + sizeof(UnixUserSid));
    *returnLength = kNeeded;
    if (info == nullptr || length < kNeeded) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    TOKEN_USER* user = static_cast<TOKEN_USER*>(info);
    UnixUserSid* sid = reinterpret_cast<UnixUserSid*>(static_cast<BYTE*>(info) + sizeof(TOKEN_USER));
    *sid = UnixUserSid{1, 2, {0, 0, 0, 0, 0, 22}, {1, static_cast<DWORD>(getuid())}};
    user->User.Sid = sid;
    user->User.Attributes = 0;
    return TRUE;
}

extern "C" BOOL ConvertSidToStringSidW(PSID sid, LPWSTR* stringSid) {
    if (sid == nullptr || stringSid == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    if (bytes[0] != 1 || bytes[1] > 15) {
        SetLastError(ERROR_INVALID_PARAMETER);  // not a SID of revision 1
        return FALSE;
    }
    unsigned long long authority = 0;
    for (int i = 0; i < 6; ++i) authority = (authority << 8) | bytes[2 + i];
    std::wstring text = L"S-1-" + std::to_wstring(authority);
    for (int i = 0; i < bytes[1]; ++i) {
        DWORD part;
        std::memcpy(&part, bytes + 8 + 4 * i, sizeof part);
        text += L"-" + std::to_wstring(part);
    }
    // Freed with LocalFree, which is free() here.
    wchar_t* copy = static_cast<wchar_t*>(std::malloc((text.size() + 1) * sizeof(wchar_t)));
    if (copy == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    std::wmemcpy(copy, text.c_str(), text.size() + 1);
    *stringSid = copy;
    return TRUE;
}

extern "C" HLOCAL LocalFree(HLOCAL memory) {
    std::free(memory);
    return nullptr;
}
