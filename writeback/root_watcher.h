// root_watcher.h - the watch on the sync root for what the platform announces no callback for: new files and
// directories, files saved over a placeholder by a rename, and directories moved with placeholders inside.
#pragma once

#include <string>

// Starts the watch on a thread of its own, then looks over the whole root once (changes made while no provider
// ran). Call once the provider is connected; false when the root could not be watched (logged).
bool StartRootWatcher();
// Ends the watch and waits for its thread; a file being taken is finished first. Safe to call from any thread, at
// any time, more than once.
void StopRootWatcher();
// Asks the watcher to look at `relative` (root-relative) again after a pause that doubles with every failure, up to
// a minute: a change whose write-back failed is taken once it can be. Safe to call from any thread; nothing is done
// while no watch runs.
void LookAgainLater(const std::wstring& relative);
// True once the watch found the sync root removed or renamed (logged once): the provider is to stop, telling the
// engine nothing of the items that seem gone.
bool SyncRootGone();
