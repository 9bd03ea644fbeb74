// notifications.cpp - deletes and renames in the sync root: a queue record for the engine when the item is one
// of its cache references, then always the acknowledgement, so the platform carries the operation out.
#include "writeback/notifications.h"

#include "app/event_log.h"
#include "layout/provider_paths.h"
#include "placeholders/identity.h"
#include "syncroot/callback_reply.h"
#include "writeback/queue_records.h"

#include <cstring>

namespace {

std::wstring CallbackSourcePath(const CF_CALLBACK_INFO* info) {
    std::wstring path = info->VolumeDosName != nullptr ? info->VolumeDosName : L"";
    if (info->NormalizedPath != nullptr) path += info->NormalizedPath;
    return path;
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
    if (!undelete && ref.kind == PlaceholderRef::kCacheReference) {
        bool isDir = (params->Delete.Flags & CF_CALLBACK_DELETE_FLAG_IS_DIRECTORY) != 0;
        WriteQueueRecord("delete", ref.domainId, ref.itemId, isDir, SyncRootRelativePath(CallbackSourcePath(info)),
                         std::wstring());
    }
    // The record is on disk before the acknowledgement lets the platform delete the item.
    AckNotification(info, CF_OPERATION_TYPE_ACK_DELETE);
}

void CALLBACK OnNotifyRename(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params) {
    LogEvent("WRITEBACK", "rename callback - local queue only, no network");
    const PlaceholderRef ref = ClassifyIdentity(info->FileIdentity, info->FileIdentityLength);
    if (ref.kind == PlaceholderRef::kCacheReference) {
        bool isDir = (params->Rename.Flags & CF_CALLBACK_RENAME_FLAG_IS_DIRECTORY) != 0;
        std::wstring target = params->Rename.TargetPath != nullptr ? params->Rename.TargetPath : L"";
        // The platform gives the target relative to the volume root.
        if (!target.empty() && target[0] == L'\\' && info->VolumeDosName != nullptr) {
            target = std::wstring(info->VolumeDosName) + target;
        }
        WriteQueueRecord("modify", ref.domainId, ref.itemId, isDir, SyncRootRelativePath(target),
                         SyncRootRelativePath(CallbackSourcePath(info)));
    }
    AckNotification(info, CF_OPERATION_TYPE_ACK_RENAME);
}
