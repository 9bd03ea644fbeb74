// connect_walk.cpp - changes made while no provider was connected: when the provider connects, every placeholder
// the platform no longer calls in sync is written back, as if it had just been closed.
#include "writeback/connect_walk.h"

#include "app/event_log.h"
#include "layout/provider_paths.h"
#include "placeholders/root_walk.h"
#include "writeback/close_writeback.h"

#include <cstdio>

int WriteBackOutOfSyncPlaceholders() {
    InitProviderPaths();
    int found = 0;
    ForEachRootPlaceholder([&found](const RootPlaceholder& placeholder) {
        // A placeholder that holds no data has no change to give, in sync or not.
        if (placeholder.inSync || (placeholder.attributes & FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS) != 0) return;
        ++found;
        WriteBackPlaceholder(placeholder.path, placeholder.identity.empty() ? nullptr : placeholder.identity.data(),
                             static_cast<DWORD>(placeholder.identity.size()));
    });
    char message[128];
    snprintf(message, sizeof(message), "%d placeholders changed while no provider was connected", found);
    LogEvent("CONNECT", message);
    return found;
}
