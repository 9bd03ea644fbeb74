// local_files.h - the copies of files without a cache reference, and what happens to them when the user renames or
// deletes such a file: the copies follow, or are withdrawn, or the engine is told.
#pragma once

#include "state/item_database.h"

#include <string>

// Where the file known by `name` (a root-relative path for a file of the user's, else its identity) is copied: the
// provider's queue staging directory, and the engine's copy. A file the user made goes below the engine queue's
// "LocalFiles", apart from the store of the engine's items ("CloudFiles"), so no path of the user's can land on
// an item's pending copy.
struct LocalCopies {
    std::wstring staged;
    std::wstring stored;     // empty without a local application-data directory
    std::wstring storeBase;  // the directory `stored` lies below
};
LocalCopies LocalCopiesOf(const std::wstring& name, bool usersFile);
// Makes the directories of `relative`'s parent below `base`, one level at a time; `relative` must be a safe path.
void CreateParentDirectories(const std::wstring& base, const std::wstring& relative);

// A file of the user's went (deleted, or moved out of the root): copies the engine has not taken are withdrawn;
// once it took them (its copy is gone from LocalFiles), a delete record with empty ids and the file's path tells it.
// False (the item kept) when that record could not be written.
bool WithdrawUserFile(const ItemRow& row, const char* consequence = "tried again later");
// A file of the user's now stands at `relative`: its copies move with it, or, once the engine took them, a rename
// record with empty ids tells it.
// False (the item left where it was known) when that record could not be written.
bool MoveUserFile(const ItemRow& row, const std::wstring& relative, const char* consequence = "tried again later");
