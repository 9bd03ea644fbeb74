// pin_keeper.h - "Always keep on this device" and "Free up space": a placeholder whose pin state asks for its data
// (pinned, itself or through the nearest folder above it that says either) is hydrated, one that gives its data up
// (unpinned) is dehydrated once its last change has been taken and no program holds it open. No callback announces a
// pin change: the root watcher passes on what it sees, and at connect the whole root is brought in line. The work runs
// in the background, a few files at once.
#pragma once

#include "platform/win32.h"

#include <string>

// Files hydrated or dehydrated at once, at most.
constexpr int kPinWorkers = 8;

// Starts the workers and queues every placeholder of the root that is out of line with its pin state.
void StartPinKeeper();
// Ends the workers; what is queued is taken again at the next connect.
void StopPinKeeper();
// The watcher looked at `relative` (a placeholder file or directory with these attributes): queued when its pin state
// asks for work, and for a directory whose pin state changed, everything below it.
void NotePinState(const std::wstring& relative, DWORD attributes);
