// connection.cpp - connecting as the provider with the callback table, the console interrupt handler,
// and the connect verb's wait loop that re-seeds whenever the seed manifest changes.
#include "syncroot/connection.h"

#include "app/event_log.h"
#include "hydration/fetch_data.h"
#include "hydration/pin_keeper.h"
#include "layout/provider_paths.h"
#include "placeholders/seeding.h"
#include "state/item_database.h"
#include "syncroot/registration.h"
#include "syncroot/status_words.h"
#include "writeback/close_writeback.h"
#include "writeback/connect_walk.h"
#include "writeback/notifications.h"
#include "writeback/root_watcher.h"

#include <cstdio>
#include <string>

HRESULT ConnectProvider() {
    InitProviderPaths();

    // The platform copies the table during the call, so a local one is enough.
    const CF_CALLBACK_REGISTRATION callbackTable[] = {
        {CF_CALLBACK_TYPE_FETCH_DATA, OnFetchData},
        {CF_CALLBACK_TYPE_CANCEL_FETCH_DATA, OnCancelFetchData},
        {CF_CALLBACK_TYPE_NOTIFY_FILE_CLOSE_COMPLETION, OnNotifyFileCloseCompletion},
        {CF_CALLBACK_TYPE_NOTIFY_DELETE, OnNotifyDelete},
        {CF_CALLBACK_TYPE_NOTIFY_RENAME, OnNotifyRename},
        {CF_CALLBACK_TYPE_NONE, nullptr},
    };

    HRESULT hr = CfConnectSyncRoot(ProviderPaths.syncRoot.c_str(), callbackTable, nullptr,
                                   CF_CONNECT_FLAG_REQUIRE_PROCESS_INFO | CF_CONNECT_FLAG_REQUIRE_FULL_FILE_PATH,
                                   &ProviderConnectionKey);
    if (FAILED(hr)) {
        char message[128];
        snprintf(message, sizeof(message), "CfConnectSyncRoot failed hr=0x%08lX - %s", HrArg(hr), StatusInWords(hr));
        LogEvent("ERROR", message);
        return hr;
    }
    ProviderConnected.store(true);
    LogEvent("CONNECT", "Provider connected - open placeholder in Explorer to hydrate");
    return S_OK;
}

BOOL WINAPI OnConsoleControl(DWORD controlType) {
    (void)controlType;
    DisconnectProvider();
    // FALSE passes the event on to the default handler, which ends the process.
    return FALSE;
}

bool WatchSeedManifestOnce(FILETIME& lastSeen) {
    const std::wstring manifest = SeedManifestPath();
    if (manifest.empty()) return false;
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(manifest.c_str(), GetFileExInfoStandard, &data)) return false;
    // Any difference counts: a manifest put back with an older time is a new manifest too.
    if (CompareFileTime(&data.ftLastWriteTime, &lastSeen) == 0) return false;
    lastSeen = data.ftLastWriteTime;
    SeedFromManifest();
    return true;
}

int RunConnectVerb() {
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    // Without its memory the provider could neither tell what changed while it was away nor keep a deleted item
    // from coming back: it does not serve the root without it (the failure is logged where it happens).
    if (FAILED(OpenItemDatabase())) return 1;
    if (FAILED(ConnectProvider())) return 1;
    // Changes made while no provider ran reached no callback: they are taken now, once. The watcher's first look
    // over the root takes the files that are no placeholders.
    WriteBackOutOfSyncPlaceholders();
    StartRootWatcher();
    StartPinKeeper();
    LogEvent("CONNECT", "Waiting - open file in Explorer or run hydrate in another console");

    FILETIME lastSeen = {0, 0};
    for (;;) {
        if (SyncRootGone()) {
            DisconnectProvider();
            return 1;
        }
        WatchSeedManifestOnce(lastSeen);
        Sleep(1000);
    }
}
