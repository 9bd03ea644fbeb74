// connection.h - connecting as the provider, the callback table, the console interrupt and the connect verb.
#pragma once

#include "syncroot/cloud_files.h"

HRESULT ConnectProvider();
BOOL WINAPI OnConsoleControl(DWORD controlType);
// One pass of the connect verb's manifest watch: when the seed manifest's last-write time differs from
// `lastSeen` (later or earlier), stores it there and re-seeds. Returns true when it re-seeded.
bool WatchSeedManifestOnce(FILETIME& lastSeen);
// Returns 1 when connecting fails; otherwise never returns.
int RunConnectVerb();
