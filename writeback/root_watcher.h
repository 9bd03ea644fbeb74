// root_watcher.h - the watch on the sync root for what the platform announces no callback for: new files and
// directories, files saved over a placeholder by a rename, and directories moved with placeholders inside.
#pragma once

// Starts the watch on a thread of its own, then looks over the whole root once (changes made while no provider
// ran). Call once the provider is connected; false when the root could not be watched (logged).
bool StartRootWatcher();
// Ends the watch and waits for its thread; a file being taken is finished first. Safe to call from any thread, at
// any time, more than once.
void StopRootWatcher();
