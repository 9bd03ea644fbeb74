// explicit_hydration.cpp - the hydrate and dehydrate verbs: drive the platform from the consumer's side, so a
// placeholder is filled (through whichever process is connected as the provider) or emptied on demand.
#include "hydration/explicit_hydration.h"

#include "app/event_log.h"
#include "layout/file_open.h"
#include "layout/provider_paths.h"
#include "syncroot/cloud_files.h"
#include "syncroot/status_words.h"

#include <cstdio>

namespace {

HANDLE OpenPlaceholder(const std::wstring& path, DWORD access) {
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

LARGE_INTEGER LargeInteger(LONGLONG value) {
    LARGE_INTEGER result;
    result.QuadPart = value;
    return result;
}

}  // namespace

HRESULT ExplicitHydrate(const std::wstring& name) {
    InitProviderPaths();
    HANDLE file = OpenPlaceholder(JoinPath(ProviderPaths.syncRoot, name), GENERIC_READ);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        char message[160];
        snprintf(message, sizeof(message), "Placeholder open failed gle=%lu (is connect running?)", DwArg(error));
        LogEvent("ERROR", message);
        return HRESULT_FROM_WIN32(error);
    }

    // Returns once the provider has answered the fetch or the platform has failed the request.
    HRESULT hr = CfHydratePlaceholder(file, LargeInteger(0), LargeInteger(CF_EOF), CF_HYDRATE_FLAG_NONE, nullptr);

    // One byte read back shows whether the data is really there; it does not change the result.
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    BYTE probe = 0;
    DWORD probeRead = 0;
    ReadFile(file, &probe, 1, &probeRead, nullptr);
    CloseHandle(file);

    char message[224];
    snprintf(message, sizeof(message), "CfHydratePlaceholder hr=0x%08lX probe_read=%lu%s%s", HrArg(hr), DwArg(probeRead),
             FAILED(hr) ? " - " : "", FAILED(hr) ? StatusInWords(hr) : "");
    LogEvent("HYDRATE", message);
    return hr;
}

HRESULT ExplicitDehydrate() {
    InitProviderPaths();
    // Without sharing: the platform must not have another handle read or write the file while its data goes.
    HANDLE file = OpenExistingRetryingSharing(JoinPath(ProviderPaths.syncRoot, L"hello-from-engine.txt"),
                                              GENERIC_READ | GENERIC_WRITE, 0);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        LogEvent("ERROR", "Dehydrate open failed");
        return HRESULT_FROM_WIN32(error);
    }

    // The placeholder and its identity stay, so the next read hydrates the same bytes again.
    HRESULT hr =
        CfDehydratePlaceholder(file, LargeInteger(0), LargeInteger(CF_EOF), CF_DEHYDRATE_FLAG_NONE, nullptr);
    CloseHandle(file);

    char message[192];
    snprintf(message, sizeof(message), "CfDehydratePlaceholder hr=0x%08lX (identity kept)%s%s", HrArg(hr),
             FAILED(hr) ? " - " : "", FAILED(hr) ? StatusInWords(hr) : "");
    LogEvent("DEHYDRATE", message);
    return hr;
}
