// known_items.h - where the items stand in the sync root, as this provider last saw them (a view of the item
// database): what lets it name the item a save replaced and tell a moved item from a new one when the platform
// announced neither.
#pragma once

#include <string>
#include <vector>

// Root-relative paths (components joined by backslashes; a slash is read as one) and decoded identities. All of them
// are safe to call from any thread.
// The item `identity` now stands at `relative` (replacing what was known of either).
void NoteKnownItem(const std::wstring& relative, const std::wstring& identity);
// Forgets what stood at `relative` and, for a directory, below it.
void ForgetKnownItemsAt(const std::wstring& relative);
std::wstring KnownPathOf(const std::wstring& identity);

// Whether the delete of `identity` at `relative` is to be recorded, asked by the delete notification (byRename false)
// and by the rename that replaced the item (true). A platform that announces a replaced item both ways does so within
// one rename: the second of the two, arriving within seconds of the first, is told no, and the engine hears once.
bool ClaimDeleteRecord(const std::wstring& identity, const std::wstring& relative, bool byRename);
// Gives a claim back when its record could not be written, so the next attempt records it.
void ReleaseDeleteClaim(const std::wstring& identity, const std::wstring& relative, bool byRename);
