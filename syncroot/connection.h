// connection.h - connecting as the provider, the callback table, the console interrupt and the connect verb.
#pragma once

#include "syncroot/cloud_files.h"

HRESULT ConnectProvider();
BOOL WINAPI OnConsoleControl(DWORD controlType);
// Returns 1 when connecting fails; otherwise never returns.
int RunConnectVerb();
