// held_changes.h - the moment an engine item's name waits after the item left it (deleted, or renamed away), so a
// save that replaces a file (write a new one, delete or rename the original away, give the new one its name) keeps
// the item: a file that takes the name within the window is the item's change, and the record of the delete or
// rename is dropped. Otherwise the record, held written and flushed, reaches the engine when the window ends.
//
// The item database keeps the item at the name it left until the decision, so a provider stopped within the window
// finds the difference at its next start and records the one change that happened (the save, the delete or the
// rename); held records left behind are removed then.
#pragma once

#include "platform/win32.h"

#include <chrono>
#include <string>

// How long a name waits: longer than a save's steps take, and the watcher's own look at a name that went.
constexpr std::chrono::seconds kHoldWindow{3};

struct HeldChange {
    std::wstring identity;    // the item's
    std::wstring domainId, itemId;
    std::wstring from;        // the root-relative name the item left
    std::wstring to;          // where it was renamed; empty for a delete
    std::wstring recordFile;  // its record, held in the inbox
    std::chrono::steady_clock::time_point until;
};

// Holds the delete of the engine item `identity` at `relative`, or its rename from `from` to `to`, replacing a change
// held for it before (a rename then a delete of the new name is the delete of the first; a rename back is nothing).
// False when the record could not be written (logged): the operation is to be refused.
bool HoldDelete(const std::wstring& identity, const std::wstring& relative, const char* consequence);
bool HoldRename(const std::wstring& identity, const std::wstring& from, const std::wstring& to, const char* consequence);

// The change held for `identity`, if any.
bool FindHeld(const std::wstring& identity, HeldChange& held);
bool IsHeld(const std::wstring& identity);
// Publishes the held record and forgets the change; false (logged) when the record could not be published.
bool PublishHeld(const std::wstring& identity);
// Forgets the change and removes its record: a file took the name, and the item's change says it all.
void DropHeld(const std::wstring& identity);
