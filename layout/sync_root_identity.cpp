// sync_root_identity.cpp - the sync-root identity string of the current user, and the staging seed file
// that stands in for a file the engine has already fetched.
#include "layout/sync_root_identity.h"

#include "layout/provider_paths.h"
#include "platform/win32.h"

#include <vector>

const char kStagingSeedContent[] =
    "VOSKE Cloud Files spike\r\n"
    "Hydrated from local staging (mock engine). NO network in callback.\r\n";
static_assert(sizeof(kStagingSeedContent) - 1 == kStagingSeedLength, "staging seed is 93 bytes");

std::wstring CurrentUserSid() {
    const std::wstring unknown = L"UNKNOWN";
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return unknown;

    DWORD needed = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &needed);  // learns the size; fails by design
    std::vector<BYTE> buffer(needed == 0 ? 1 : needed, 0);
    BOOL queried = GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &needed);
    CloseHandle(token);
    if (!queried) return unknown;

    const TOKEN_USER* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(user->User.Sid, &text)) return unknown;
    std::wstring sid = text;
    LocalFree(text);
    return sid;
}

std::wstring BuildSyncRootId() { return std::wstring(L"VOSKECloudFiles") + L"!" + CurrentUserSid() + L"!" + L"voskel"; }

bool WriteStagingSeed() {
    const std::wstring path = JoinPath(ProviderPaths.staging, L"hello-from-engine.txt");
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, kStagingSeedContent, kStagingSeedLength, &written, nullptr);
    CloseHandle(file);
    return ok != FALSE;
}
