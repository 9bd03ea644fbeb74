// notifications.cpp - deletes and renames in the sync root: a queue record for the engine when the item is one
// of its cache references, then always the acknowledgement, so the platform carries the operation out.
#include "writeback/notifications.h"

#include "app/event_log.h"
#include "layout/provider_paths.h"
#include "placeholders/identity.h"
#include "placeholders/root_walk.h"
#include "state/item_database.h"
#include "syncroot/callback_reply.h"
#include "writeback/held_changes.h"
#include "writeback/known_items.h"
#include "writeback/local_files.h"
#include "writeback/queue_records.h"

#include <cstring>
#include <cwctype>

namespace {

// What a record that cannot be written means for a delete or rename: it does not happen.
const char kRefused[] = "the operation is refused, the file stays";

std::wstring CallbackSourcePath(const CF_CALLBACK_INFO* info) {
    std::wstring path = info->VolumeDosName != nullptr ? info->VolumeDosName : L"";
    if (info->NormalizedPath != nullptr) path += info->NormalizedPath;
    return path;
}

bool SameIgnoringCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::towlower(static_cast<wint_t>(a[i])) != std::towlower(static_cast<wint_t>(b[i]))) return false;
    }
    return true;
}

// The root-relative path of `path`, or empty when it lies outside the sync root.
std::wstring RelativeInsideRoot(const std::wstring& path) {
    std::wstring root = ProviderPaths.syncRoot;
    if (!root.empty() && root.back() != L'\\') root += L'\\';
    if (root.size() <= 1 || path.size() <= root.size() || !SameIgnoringCase(path.substr(0, root.size()), root)) {
        return std::wstring();
    }
    return path.substr(root.size());
}

// A rename onto an existing placeholder replaces it, and the platform announces nothing for the replaced one (if a
// build does, its delete notification finds the record written and adds none): the engine is told its item went.
// False when that could not be recorded.
bool RecordReplacedTarget(const std::wstring& source, const std::wstring& target) {
    if (target.empty() || SameIgnoringCase(source, target)) return true;  // a change of case only replaces nothing
    RootPlaceholder entry;
    entry.path = target;
    entry.attributes = GetFileAttributesW(target.c_str());
    if (entry.attributes == INVALID_FILE_ATTRIBUTES || !ReadRootEntry(entry)) return true;
    const PlaceholderRef replaced = ClassifyIdentity(entry.identity.data(), static_cast<DWORD>(entry.identity.size()));
    ItemRow row;
    if (replaced.kind == PlaceholderRef::kRelativePath && FindItem(replaced.text, row) && row.present &&
        row.kind == ItemKind::kUserFile) {
        return WithdrawUserFile(row, kRefused);
    }
    const std::wstring relative = SyncRootRelativePath(target);
    if (replaced.kind != PlaceholderRef::kCacheReference || !ClaimDeleteRecord(replaced.text, relative, true)) {
        return true;
    }
    const bool isDir = (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (FAILED(WriteQueueRecord("delete", replaced.domainId, replaced.itemId, isDir, relative, std::wstring(), kRefused))) {
        ReleaseDeleteClaim(replaced.text, relative, true);
        return false;
    }
    LogEvent("WRITEBACK", "rename replaced a placeholder - its delete recorded");
    return true;
}

// A directory moved out of the root takes its items with it: the engine is told each of them went. The directory's
// own rename has its record already. False when one of them could not be recorded.
bool RecordItemsMovedOut(const std::wstring& sourceRelative) {
    bool recorded = true;
    for (const ItemRow& row : PresentItemsBelow(sourceRelative)) {
        if (row.kind == ItemKind::kUserFile) {
            recorded = WithdrawUserFile(row, kRefused) && recorded;
            continue;
        }
        const std::vector<BYTE> blob = EncodeIdentityBlob(row.identity);
        const PlaceholderRef ref = ClassifyIdentity(blob.data(), static_cast<DWORD>(blob.size()));
        const std::wstring relative = SyncRootRelativePath(JoinPath(ProviderPaths.syncRoot, row.path));
        if (ref.kind != PlaceholderRef::kCacheReference || relative == sourceRelative) continue;
        if (FAILED(WriteQueueRecord("delete", ref.domainId, ref.itemId, false, relative, std::wstring(), kRefused))) {
            recorded = false;
            continue;
        }
        LogEvent("WRITEBACK", "moved out of the root with its directory - delete recorded");
    }
    return recorded;
}

// Refuses the operation (its record's failure is logged): the user's program sees it fail, and nothing is lost.
void Refuse(const CF_CALLBACK_INFO* info, CF_OPERATION_TYPE operationType) {
    AckNotification(info, operationType, STATUS_CLOUD_FILE_UNSUCCESSFUL);
}

// True when the item `identity` stands, a placeholder with its identity, at a place the database knows other than
// `relative`: what goes at `relative` is a copy of it (the original a save renamed away, after the new file took the
// item's name), and the engine's item stays.
bool StandsElsewhere(const std::wstring& identity, const std::wstring& relative) {
    ItemRow row;
    if (!FindItem(identity, row) || !row.present || ItemKey(row.path) == ItemKey(relative)) return false;
    RootPlaceholder entry;
    entry.path = JoinPath(ProviderPaths.syncRoot, row.path);
    entry.attributes = GetFileAttributesW(entry.path.c_str());
    return entry.attributes != INVALID_FILE_ATTRIBUTES && ReadRootEntry(entry) &&
           DecodeIdentityBlob(entry.identity.data(), static_cast<DWORD>(entry.identity.size())) == identity;
}

// The database's record of a file of the user's with this identity, if it is one.
bool UsersFile(const PlaceholderRef& ref, ItemRow& row) {
    return ref.kind == PlaceholderRef::kRelativePath && FindItem(ref.text, row) && row.present &&
           row.kind == ItemKind::kUserFile;
}

}  // namespace

void AckNotification(const CF_CALLBACK_INFO* info, CF_OPERATION_TYPE operationType, NTSTATUS status) {
    CF_OPERATION_PARAMETERS params;
    memset(&params, 0, sizeof(params));
    // AckDelete and AckRename share one layout: flags none, and the status the operation ends with.
    if (operationType == CF_OPERATION_TYPE_ACK_RENAME) {
        params.AckRename.Flags = CF_OPERATION_ACK_RENAME_FLAG_NONE;
        params.AckRename.CompletionStatus = status;
    } else {
        params.AckDelete.Flags = CF_OPERATION_ACK_DELETE_FLAG_NONE;
        params.AckDelete.CompletionStatus = status;
    }
    ReplyToCallback(info, operationType, params);
}

void CALLBACK OnNotifyDelete(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params) {
    LogEvent("WRITEBACK", "delete callback - local queue only, no network");
    // Only a cache reference the engine could act on gets a record. The same notification announces an
    // undelete: the item stays, so the engine must not be told it went.
    const PlaceholderRef ref = ClassifyIdentity(info->FileIdentity, info->FileIdentityLength);
    const bool undelete = (params->Delete.Flags & CF_CALLBACK_DELETE_FLAG_IS_UNDELETE) != 0;
    const std::wstring relative = SyncRootRelativePath(CallbackSourcePath(info));
    const bool isDir = (params->Delete.Flags & CF_CALLBACK_DELETE_FLAG_IS_DIRECTORY) != 0;
    if (!undelete && ref.kind == PlaceholderRef::kCacheReference && !isDir) {
        // A file's delete waits a moment, its record held: a file that takes the name meanwhile is the item's save.
        // The item stays known at its name until then, for the watcher (or the next start) to decide.
        if (!StandsElsewhere(ref.text, relative) && ClaimDeleteRecord(ref.text, relative, false) &&
            !HoldDelete(ref.text, relative, kRefused)) {
            ReleaseDeleteClaim(ref.text, relative, false);
            Refuse(info, CF_OPERATION_TYPE_ACK_DELETE);
            return;
        }
        AckNotification(info, CF_OPERATION_TYPE_ACK_DELETE);
        return;
    }
    if (!undelete && ref.kind == PlaceholderRef::kCacheReference && ClaimDeleteRecord(ref.text, relative, false)) {
        if (FAILED(WriteQueueRecord("delete", ref.domainId, ref.itemId, isDir, relative, std::wstring(), kRefused))) {
            // A delete the engine would never hear of is not let through: the file stays, and the user may try again.
            ReleaseDeleteClaim(ref.text, relative, false);
            Refuse(info, CF_OPERATION_TYPE_ACK_DELETE);
            return;
        }
    }
    ItemRow row;
    if (!undelete && UsersFile(ref, row) && !WithdrawUserFile(row, kRefused)) {
        Refuse(info, CF_OPERATION_TYPE_ACK_DELETE);
        return;
    }
    if (!undelete) ForgetKnownItemsAt(relative);
    // The record is on disk before the acknowledgement lets the platform delete the item.
    AckNotification(info, CF_OPERATION_TYPE_ACK_DELETE);
}

void CALLBACK OnNotifyRename(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params) {
    LogEvent("WRITEBACK", "rename callback - local queue only, no network");
    const PlaceholderRef ref = ClassifyIdentity(info->FileIdentity, info->FileIdentityLength);
    std::wstring target = params->Rename.TargetPath != nullptr ? params->Rename.TargetPath : L"";
    // The platform gives the target relative to the volume root.
    if (!target.empty() && target[0] == L'\\' && info->VolumeDosName != nullptr) {
        target = std::wstring(info->VolumeDosName) + target;
    }
    const std::wstring source = CallbackSourcePath(info);
    const bool isDir = (params->Rename.Flags & CF_CALLBACK_RENAME_FLAG_IS_DIRECTORY) != 0;
    // Items below a renamed directory keep their identities; the root watcher records their new paths.
    const std::wstring targetRelative = RelativeInsideRoot(target);
    ItemRow row, replaced;
    const bool usersFile = !isDir && UsersFile(ref, row);
    // A file of the user's renamed over an engine item is a save of that item (`mv new.txt item.txt`): no delete
    // for the item; once the file stands there the root watcher takes it as the item's change, under its identity.
    const bool overItem = usersFile && !targetRelative.empty() && FindItemAt(targetRelative, replaced) &&
                          replaced.kind == ItemKind::kEngineItem;
    // Every record the rename needs is written before it may go ahead; one that cannot be written refuses it.
    bool recorded = true;
    // A file renamed within the root waits a moment as a delete does (a save renames the original away); a rename
    // out of the root, or of a directory, is recorded at once.
    const bool held = ref.kind == PlaceholderRef::kCacheReference && !isDir && !targetRelative.empty();
    if (held) {
        recorded = HoldRename(ref.text, SyncRootRelativePath(source), targetRelative, kRefused);
    } else if (ref.kind == PlaceholderRef::kCacheReference) {
        // The engine knows the item where it was before a rename it has not heard of yet.
        HeldChange before;
        const bool renamedBefore = !isDir && FindHeld(ref.text, before) && !before.to.empty();
        recorded = SUCCEEDED(WriteQueueRecord("modify", ref.domainId, ref.itemId, isDir, SyncRootRelativePath(target),
                                              renamedBefore ? SyncRootRelativePath(JoinPath(ProviderPaths.syncRoot, before.from))
                                                            : SyncRootRelativePath(source),
                                              kRefused));
        if (recorded && renamedBefore) DropHeld(ref.text);
    }
    if (recorded && !overItem) recorded = RecordReplacedTarget(source, target);
    if (recorded && usersFile) {
        if (targetRelative.empty()) {
            recorded = WithdrawUserFile(row, kRefused);
        } else if (overItem) {
            LogEvent("WRITEBACK", "a file of the user's renamed over an item - left to the root watcher as its save");
        } else {
            recorded = MoveUserFile(row, targetRelative, kRefused);
        }
    }
    if (recorded && isDir && targetRelative.empty()) recorded = RecordItemsMovedOut(SyncRootRelativePath(source));
    if (!recorded) {
        Refuse(info, CF_OPERATION_TYPE_ACK_RENAME);
        return;
    }
    // A held rename leaves the item known where it was until the window ends: the watcher then records it.
    if (targetRelative.empty()) ForgetKnownItemsAt(SyncRootRelativePath(source));
    AckNotification(info, CF_OPERATION_TYPE_ACK_RENAME);
}
