// close_writeback.h - copying a closed file out of the sync root into the queues.
#pragma once

#include "syncroot/cloud_files.h"

#include <string>
#include <vector>

void CALLBACK OnNotifyFileCloseCompletion(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params);
// Takes the change of the placeholder at `path` (a full Windows path) with the given identity blob, as its close
// would: copied and recorded for the engine unless unchanged, then marked in sync. The walk at connect uses it too.
// False when a step failed (logged): the placeholder stays out of sync, to be tried again.
bool WriteBackPlaceholder(const std::wstring& path, LPCVOID identity, DWORD identityLength);

// A file in the root that is no placeholder (new, or saved over a placeholder by renaming a new file onto it), once
// its writer is done: copied and recorded as a changed close with `identity` would be (an item's cache reference,
// or the file's root-relative path), then converted into a placeholder with that identity, in sync.
enum class UnplacedFileResult {
    kTaken,   // written back (or found unchanged) and, unless it changed meanwhile, converted
    kBusy,    // a program still holds it open for writing: try again later
    kGone,    // no longer there, or a placeholder by now
    kFailed,  // could not be opened or examined, or a step of its write-back failed (logged): try again later
};
// With `replacing`, the file is a placeholder of another identity that stands where the item stood (a file of the
// user's renamed over it): taken the same way, then updated to the item's identity, in sync.
UnplacedFileResult WriteBackUnplacedFile(const std::wstring& path, const std::vector<BYTE>& identity,
                                         bool replacing = false);
