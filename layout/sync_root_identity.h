// sync_root_identity.h - the sync-root identity string and the staging seed file.
#pragma once

#include <string>

// The SID string of the user that owns the process token, or "UNKNOWN".
std::wstring CurrentUserSid();
// "VOSKECloudFiles!<sid>!voskel", computed anew on each call.
std::wstring BuildSyncRootId();
// Writes the 93-byte staging seed file "hello-from-engine.txt"; false when it cannot be created or written.
bool WriteStagingSeed();

// The exact content of the staging seed file.
extern const char kStagingSeedContent[];
constexpr unsigned kStagingSeedLength = 93;
