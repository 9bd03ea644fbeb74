// selftest.cpp - the whole provider chain in one process: register, placeholder, connect, hydrate, dehydrate,
// hydrate, write-back through a child process, engine-cache probe, then disconnect and unregister.
#include "selftest/selftest.h"

#include "app/event_log.h"
#include "hydration/explicit_hydration.h"
#include "layout/provider_paths.h"
#include "placeholders/demo_placeholder.h"
#include "placeholders/create_info.h"
#include "placeholders/identity.h"
#include "syncroot/cloud_files.h"
#include "syncroot/connection.h"
#include "syncroot/registration.h"

#include <cstdio>
#include <vector>

namespace {

const wchar_t kProbeName[] = L"engine-cache-probe.txt";
const char kProbeContent[] = "engine-cache";

// Steps 6 to 10: each runs only when the one before it succeeded.
HRESULT RunConnectedSteps() {
    HRESULT status = ExplicitHydrate(L"hello-from-engine.txt");
    if (SUCCEEDED(status)) status = ExplicitDehydrate();
    if (SUCCEEDED(status)) status = ExplicitHydrate(L"hello-from-engine.txt");
    if (SUCCEEDED(status)) status = VerifyWriteBack();
    if (SUCCEEDED(status)) status = ProbeEngineCache();
    return status;
}

}  // namespace

void ClearSyncRootFiles() {
    WIN32_FIND_DATAW entry{};
    HANDLE find = FindFirstFileW(JoinPath(ProviderPaths.syncRoot, L"*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        // Skips ".", ".." and every dot-file; subdirectories stay, as DeleteFileW does not remove them.
        if (entry.cFileName[0] != L'.') DeleteFileW(JoinPath(ProviderPaths.syncRoot, entry.cFileName).c_str());
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

HRESULT ProbeEngineCache() {
    const std::wstring probePath = ProductCachePath(kProbeName);
    if (probePath.empty()) return E_FAIL;

    const std::wstring idDir = JoinPath(LocalAppDataDir(), L"nq.vo.tarn.voskel");
    const std::wstring productDir = JoinPath(idDir, L"VOSKE");
    CreateDirectoryW(idDir.c_str(), nullptr);
    CreateDirectoryW(productDir.c_str(), nullptr);
    CreateDirectoryW(JoinPath(productDir, L"Cache").c_str(), nullptr);

    FILE* probe = _wfopen(probePath.c_str(), L"wb");
    if (probe == nullptr) return E_FAIL;
    fwrite(kProbeContent, 1, sizeof(kProbeContent) - 1, probe);
    bool failed = fflush(probe) != 0 || ferror(probe) != 0;
    fclose(probe);
    if (failed) return E_FAIL;

    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(probePath.c_str(), GetFileExInfoStandard, &data)) return kHrFileNotFound;

    const std::vector<BYTE> identity = EncodeIdentityBlob(kProbeName);
    CF_PLACEHOLDER_CREATE_INFO entry = CreateInfoFromFile(kProbeName, data, identity);
    DWORD processed = 0;
    HRESULT status = CfCreatePlaceholders(ProviderPaths.syncRoot.c_str(), &entry, 1, CF_CREATE_FLAG_NONE, &processed);
    if (FAILED(status)) return status;

    return ExplicitHydrate(kProbeName);
}

HRESULT RunSelfTest() {
    UnregisterProviderSyncRoot();
    ClearSyncRootFiles();

    HRESULT status = RegisterProviderSyncRoot();
    if (FAILED(status)) return status;

    status = CreateDemoPlaceholder();
    if (FAILED(status)) {
        UnregisterProviderSyncRoot();
        return status;
    }

    status = ConnectProvider();
    if (FAILED(status)) return status;

    const HRESULT stepsStatus = RunConnectedSteps();

    // Whatever the connected steps gave, the run ends disconnected, without the probe and unregistered.
    DisconnectProvider();
    DeleteFileW(ProductCachePath(kProbeName).c_str());
    const HRESULT unregisterStatus = UnregisterProviderSyncRoot();

    if (FAILED(stepsStatus)) return stepsStatus;
    if (FAILED(unregisterStatus)) return unregisterStatus;
    LogEvent("SELFTEST", "placeholder -> hydrate -> dehydrate -> write-back -> engine cache -> unregister OK (no network)");
    return S_OK;
}
