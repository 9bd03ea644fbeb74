// item_database.h - what the provider remembers of every item it placed or took, across runs: one SQLite file
// below the provider's directory. Callers ask in the program's words; only item_database.cpp knows the schema.
#pragma once

#include "platform/win32.h"

#include <string>
#include <vector>

enum class ItemKind : int {
    kEngineItem = 1,  // a placeholder of the engine's (a cache-reference identity)
    kEngineFile = 2,  // a placeholder the provider placed under a path identity (cache seeding, the demonstration)
    kUserFile = 3,    // a file the user made in the root, taken under a path identity
};
// The kind an identity itself tells: a cache reference is an engine item, any other identity an engine file
// unless the database knows better.
ItemKind KindOfIdentity(const std::wstring& identity);

// One item. Paths are relative to the sync root, components joined by backslashes (a forward slash given to any
// call below is taken as a backslash).
struct ItemRow {
    std::wstring identity;  // the decoded identity text; the item's key
    std::wstring path;      // where it stands, or stood last
    ItemKind kind = ItemKind::kEngineItem;
    bool present = true;    // false: the engine has been told it went (deleted or moved out of the root)
    LONGLONG size = -1;     // the version last taken (copied and recorded): size and last-write time; -1 for none
    LONGLONG lastWrite = 0;
    LONGLONG seedSize = -1;  // the manifest entry's size when seeding placed it; -1 when seeding did not
    std::wstring seedPath;   // and the path that entry gave
};

// "items.db" in the provider's directory.
std::wstring ItemDatabasePath();
// Opens the database once per process (later calls return the first outcome). A missing, damaged or newer-version
// file is reported in one line, kept aside when it exists, and the database is made anew from the placeholders the
// root holds. Fails only when no database can be made at all.
HRESULT OpenItemDatabase();

// A root-relative path in the one form the database keeps: backslashes, no trailing separator.
std::wstring ItemKey(const std::wstring& relative);

// Lookups. The calls below return nothing, or do nothing, while the database is not open.
bool FindItem(const std::wstring& identity, ItemRow& row);
// The present item standing at `relative`.
bool FindItemAt(const std::wstring& relative, ItemRow& row);
// Present items at or below `relative` (every present item for the empty path); with `ignoringCase`, the path
// matched as the file system matches names, without regard to (ASCII) case.
std::vector<ItemRow> PresentItemsBelow(const std::wstring& relative, bool ignoringCase = false);

// Changes, each one transaction (or part of the batch below).
// The item stands at row.path now; any other present item recorded at that path is no longer there.
void PutItem(const ItemRow& row);
// `identity` stands at `relative`; an item already known keeps its kind, version and seeding, a new one has `kind`.
void NoteItemAt(const std::wstring& relative, const std::wstring& identity, ItemKind kind);
// The present items at or below `relative` went; the engine has been told.
void MarkItemsGone(const std::wstring& relative);
// Forgets the item entirely (a file of the user's whose copies were withdrawn before the engine took them).
void ForgetItem(const std::wstring& identity);
// The item's version (size, last-write time) has been copied and recorded.
void NoteVersionTaken(const std::wstring& identity, LONGLONG size, LONGLONG lastWrite);

// Many changes as one transaction: seeding 100,000 entries, or the comparison at connect.
void BeginItemBatch();
void EndItemBatch();
