// demo_placeholder.cpp - the demonstration placeholder "hello-from-engine.txt" at the top of the sync root,
// with the size and times of the staging file of the same name and a path identity equal to its name.
#include "placeholders/demo_placeholder.h"

#include "app/event_log.h"
#include "layout/provider_paths.h"
#include "layout/sync_root_identity.h"
#include "placeholders/create_info.h"
#include "placeholders/identity.h"
#include "syncroot/cloud_files.h"

#include <cstdio>
#include <string>
#include <vector>

HRESULT CreateDemoPlaceholder() {
    InitProviderPaths();
    WriteStagingSeed();

    const std::wstring name = L"hello-from-engine.txt";
    const std::wstring stagingFile = JoinPath(ProviderPaths.staging, name);
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(stagingFile.c_str(), GetFileExInfoStandard, &data)) {
        LogEvent("ERROR", "Staging file missing - mock engine must feed Staging first");
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }

    const std::vector<BYTE> identity = EncodeIdentityBlob(name);
    CF_PLACEHOLDER_CREATE_INFO entry = CreateInfoFromFile(name.c_str(), data, identity);

    DWORD processed = 0;
    HRESULT hr = CfCreatePlaceholders(ProviderPaths.syncRoot.c_str(), &entry, 1, CF_CREATE_FLAG_NONE, &processed);
    if (FAILED(hr)) {
        char message[256];
        snprintf(message, sizeof(message), "CfCreatePlaceholders failed hr=0x%08lX Result=0x%08lX processed=%lu",
                 HrArg(hr), HrArg(entry.Result), DwArg(processed));
        LogEvent("ERROR", message);
        return hr;
    }
    LogEvent("PLACEHOLDER", "Created hello-from-engine.txt (cloud glyph expected in Explorer)");
    return S_OK;
}
