// notifications.cpp - deletes and renames in the sync root: a queue record for the engine when the item is one
// of its cache references, then always the acknowledgement, so the platform carries the operation out.
#include "writeback/notifications.h"

#include "app/event_log.h"
#include "layout/provider_paths.h"
#include "placeholders/identity.h"
#include "placeholders/root_walk.h"
#include "state/item_database.h"
#include "syncroot/callback_reply.h"
#include "writeback/known_items.h"
#include "writeback/local_files.h"
#include "writeback/queue_records.h"

#include <cstring>
#include <cwctype>

namespace {

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
void RecordReplacedTarget(const std::wstring& source, const std::wstring& target) {
    if (target.empty() || SameIgnoringCase(source, target)) return;  // a change of case only replaces nothing
    RootPlaceholder entry;
    entry.path = target;
    entry.attributes = GetFileAttributesW(target.c_str());
    if (entry.attributes == INVALID_FILE_ATTRIBUTES || !ReadRootEntry(entry)) return;
    const PlaceholderRef replaced = ClassifyIdentity(entry.identity.data(), static_cast<DWORD>(entry.identity.size()));
    ItemRow row;
    if (replaced.kind == PlaceholderRef::kRelativePath && FindItem(replaced.text, row) && row.present &&
        row.kind == ItemKind::kUserFile) {
        WithdrawUserFile(row);
        return;
    }
    if (replaced.kind != PlaceholderRef::kCacheReference ||
        !ClaimDeleteRecord(replaced.text, SyncRootRelativePath(target), true)) {
        return;
    }
    const bool isDir = (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    WriteQueueRecord("delete", replaced.domainId, replaced.itemId, isDir, SyncRootRelativePath(target), std::wstring());
    LogEvent("WRITEBACK", "rename replaced a placeholder - its delete recorded");
}

// A directory moved out of the root takes its items with it: the engine is told each of them went. The directory's
// own rename has its record already.
void RecordItemsMovedOut(const std::wstring& sourceRelative) {
    for (const ItemRow& row : PresentItemsBelow(sourceRelative)) {
        if (row.kind == ItemKind::kUserFile) {
            WithdrawUserFile(row);
            continue;
        }
        const std::vector<BYTE> blob = EncodeIdentityBlob(row.identity);
        const PlaceholderRef ref = ClassifyIdentity(blob.data(), static_cast<DWORD>(blob.size()));
        if (ref.kind != PlaceholderRef::kCacheReference || SyncRootRelativePath(JoinPath(ProviderPaths.syncRoot, row.path)) == sourceRelative) {
            continue;
        }
        WriteQueueRecord("delete", ref.domainId, ref.itemId, false,
                         SyncRootRelativePath(JoinPath(ProviderPaths.syncRoot, row.path)), std::wstring());
        LogEvent("WRITEBACK", "moved out of the root with its directory - delete recorded");
    }
}

// The database's record of a file of the user's with this identity, if it is one.
bool UsersFile(const PlaceholderRef& ref, ItemRow& row) {
    return ref.kind == PlaceholderRef::kRelativePath && FindItem(ref.text, row) && row.present &&
           row.kind == ItemKind::kUserFile;
}

}  // namespace

void AckNotification(const CF_CALLBACK_INFO* info, CF_OPERATION_TYPE operationType) {
    CF_OPERATION_PARAMETERS params;
    memset(&params, 0, sizeof(params));
    // AckDelete and AckRename share one layout: flags none, success.
    if (operationType == CF_OPERATION_TYPE_ACK_RENAME) {
        params.AckRename.Flags = CF_OPERATION_ACK_RENAME_FLAG_NONE;
        params.AckRename.CompletionStatus = STATUS_SUCCESS;
    } else {
        params.AckDelete.Flags = CF_OPERATION_ACK_DELETE_FLAG_NONE;
        params.AckDelete.CompletionStatus = STATUS_SUCCESS;
    }
    ReplyToCallback(info, operationType, params);
}

void CALLBACK OnNotifyDelete(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params) {
    LogEvent("WRITEBACK", "delete callback - local queue only, no network");
    // Only a cache reference the engine could act on gets a record. The same notification announces an
    // undelete: the item stays, so the engine must not be told it went.
    const PlaceholderRef ref = ClassifyIdentity(info->FileIdentity, info->FileIdentityLength);
    const bool undelete = (params->Delete.Flags & CF_CALLBACK_DELETE_FLAG_IS_UNDELETE) != 0;
    if (!undelete && ref.kind == PlaceholderRef::kCacheReference &&
        ClaimDeleteRecord(ref.text, SyncRootRelativePath(CallbackSourcePath(info)), false)) {
        bool isDir = (params->Delete.Flags & CF_CALLBACK_DELETE_FLAG_IS_DIRECTORY) != 0;
        WriteQueueRecord("delete", ref.domainId, ref.itemId, isDir, SyncRootRelativePath(CallbackSourcePath(info)),
                         std::wstring());
    }
    ItemRow row;
    if (!undelete && UsersFile(ref, row)) WithdrawUserFile(row);
    if (!undelete) ForgetKnownItemsAt(SyncRootRelativePath(CallbackSourcePath(info)));
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
    if (ref.kind == PlaceholderRef::kCacheReference) {
        WriteQueueRecord("modify", ref.domainId, ref.itemId, isDir, SyncRootRelativePath(target),
                         SyncRootRelativePath(source));
    }
    // Items below a renamed directory keep their identities; the root watcher records their new paths.
    const std::wstring targetRelative = RelativeInsideRoot(target);
    ItemRow row, replaced;
    const bool usersFile = !isDir && UsersFile(ref, row);
    // A file of the user's renamed over an engine item is a save of that item (`mv new.txt item.txt`): no delete
    // for the item; once the file stands there the root watcher takes it as the item's change, under its identity.
    const bool overItem = usersFile && !targetRelative.empty() && FindItemAt(targetRelative, replaced) &&
                          replaced.kind == ItemKind::kEngineItem;
    if (!overItem) RecordReplacedTarget(source, target);
    if (usersFile) {
        if (targetRelative.empty()) {
            WithdrawUserFile(row);
        } else if (overItem) {
            LogEvent("WRITEBACK", "a file of the user's renamed over an item - left to the root watcher as its save");
        } else {
            MoveUserFile(row, targetRelative);
        }
    }
    if (!isDir && ref.kind == PlaceholderRef::kCacheReference && !targetRelative.empty()) {
        NoteKnownItem(targetRelative, ref.text);
    } else if (targetRelative.empty()) {
        if (isDir) RecordItemsMovedOut(SyncRootRelativePath(source));
        ForgetKnownItemsAt(SyncRootRelativePath(source));
    }
    AckNotification(info, CF_OPERATION_TYPE_ACK_RENAME);
}
