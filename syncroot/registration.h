// registration.h - registering, unregistering and disconnecting the provider's sync root.
#pragma once

#include "syncroot/cloud_files.h"

#include <atomic>

// Connection state of this process. The key is meaningful only while the flag is set.
extern CF_CONNECTION_KEY ProviderConnectionKey;
extern std::atomic<bool> ProviderConnected;

HRESULT RegisterProviderSyncRoot();
HRESULT DisconnectProvider();
HRESULT UnregisterProviderSyncRoot();
