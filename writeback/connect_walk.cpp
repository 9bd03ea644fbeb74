// connect_walk.cpp - changes made while no provider was connected: when the provider connects, the root is
// compared with what the item database remembers, and each difference is recorded as if it had been seen live.
#include "writeback/connect_walk.h"

#include "app/event_log.h"
#include "layout/provider_paths.h"
#include "placeholders/identity.h"
#include "placeholders/root_walk.h"
#include "state/item_database.h"
#include "writeback/close_writeback.h"
#include "writeback/local_files.h"
#include "writeback/queue_records.h"

#include <cstdio>
#include <algorithm>
#include <map>

namespace {

// Copies land under a name with ".partial-" until they are whole; a provider killed during a copy leaves one behind.
// Only one provider serves the root, and this one has copied nothing yet, so every such file is a leftover.
int RemoveLeftoverCopies(const std::wstring& directory) {
    int removed = 0;
    WIN32_FIND_DATAW entry = {};
    HANDLE find = FindFirstFileW(JoinPath(directory, L"*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return 0;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = JoinPath(directory, name);
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            if (!IsLinkEntry(entry)) removed += RemoveLeftoverCopies(path);
        } else if (name.find(L".partial-") != std::wstring::npos && DeleteFileW(path.c_str())) {
            ++removed;
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return removed;
}

struct Found {
    std::wstring relative;
    bool isDir = false;
};

// The placeholders of the root by identity; where one identity stands twice, the place the database knows wins.
std::map<std::wstring, Found> PlaceholdersByIdentity(std::vector<RootPlaceholder>& outOfSync) {
    std::map<std::wstring, Found> byIdentity;
    ForEachRootPlaceholder([&](const RootPlaceholder& placeholder) {
        const PlaceholderRef ref =
            ClassifyIdentity(placeholder.identity.data(), static_cast<DWORD>(placeholder.identity.size()));
        // A placeholder that holds no data has no change to give, in sync or not.
        if (!placeholder.inSync && (placeholder.attributes & FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS) == 0) {
            outOfSync.push_back(placeholder);
        }
        if (ref.kind != PlaceholderRef::kCacheReference && ref.kind != PlaceholderRef::kRelativePath) return;
        auto [at, inserted] = byIdentity.emplace(ref.text, Found{placeholder.relative, false});
        ItemRow row;
        if (!inserted && FindItem(ref.text, row) && row.present && row.path == placeholder.relative) {
            at->second.relative = placeholder.relative;
        }
    });
    return byIdentity;
}

}  // namespace

int WriteBackOutOfSyncPlaceholders() {
    InitProviderPaths();
    const int leftovers = RemoveLeftoverCopies(JoinPath(ProviderPaths.queue, L"Staging")) +
                          RemoveLeftoverCopies(JoinPath(EngineQueuePath(), L"CloudFiles"));
    if (leftovers > 0) {
        char message[128];
        snprintf(message, sizeof(message), "removed %d unfinished copies left by a provider that was stopped", leftovers);
        LogEvent("CONNECT", message);
    }
    // Records a stopped provider held back are moot: the comparison below finds the change each stood for.
    const int held = RemoveHeldRecords();
    if (held > 0) {
        char message[128];
        snprintf(message, sizeof(message), "removed %d held records of a provider that was stopped - their changes are found below", held);
        LogEvent("CONNECT", message);
    }

    // Records of changes a stopped provider had noted as taken but not yet published: each waits for its file's
    // write-back below, which publishes it or, when the database never noted its version, removes it.
    const int taking = FindLeftTakingRecords();
    if (taking > 0) {
        char message[160];
        snprintf(message, sizeof(message), "found %d unpublished records of a provider that was stopped - each is published or removed with its file's change", taking);
        LogEvent("CONNECT", message);
    }

    OpenItemDatabase();
    std::vector<RootPlaceholder> outOfSync;
    const std::map<std::wstring, Found> inRoot = PlaceholdersByIdentity(outOfSync);
    std::map<std::wstring, std::wstring> identityAt;
    for (const auto& [identity, found] : inRoot) identityAt[found.relative] = identity;
    // Engine items first: a file of the user's found where an item stood replaced it, and is no file of its own.
    std::vector<ItemRow> rows = PresentItemsBelow(std::wstring());
    std::stable_partition(rows.begin(), rows.end(), [](const ItemRow& row) { return row.kind == ItemKind::kEngineItem; });
    // Path -> the identity of the item a file there replaced, and whether that file is a placeholder (of the user's).
    std::map<std::wstring, std::pair<std::wstring, bool>> replacements;
    int deleted = 0, renamed = 0;
    BeginItemBatch();
    for (const ItemRow& row : rows) {
        const auto at = inRoot.find(row.identity);
        if (at != inRoot.end() && at->second.relative == row.path) continue;
        const std::vector<BYTE> blob = EncodeIdentityBlob(row.identity);
        const PlaceholderRef ref = ClassifyIdentity(blob.data(), static_cast<DWORD>(blob.size()));
        const bool engineItem = ref.kind == PlaceholderRef::kCacheReference;
        const auto standing = identityAt.find(row.path);
        if (engineItem && at == inRoot.end() && standing != identityAt.end() &&
            KindOfIdentity(standing->second) != ItemKind::kEngineItem) {
            replacements[row.path] = {row.identity, true};
            continue;
        }
        // A file that is no placeholder where the item stood: a save that renamed a new file over it.
        const DWORD attributes = GetFileAttributesW(JoinPath(ProviderPaths.syncRoot, row.path).c_str());
        if (engineItem && at == inRoot.end() && standing == identityAt.end() && attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            replacements[row.path] = {row.identity, false};
            continue;
        }
        if (row.kind == ItemKind::kUserFile) {
            if (at != inRoot.end() && replacements.count(at->second.relative) != 0) {
                WithdrawUserFile(row);
            } else if (at != inRoot.end()) {
                MoveUserFile(row, at->second.relative);
                ++renamed;
            } else {
                WithdrawUserFile(row);
                ++deleted;
            }
            continue;
        }
        // A record that cannot be written (logged where it fails) leaves the item where the database has it: the
        // watcher's first look over the root finds the same difference and tries again until it is recorded.
        if (at != inRoot.end()) {
            if (engineItem && FAILED(WriteQueueRecord("modify", ref.domainId, ref.itemId, false,
                                                      RecordPath(at->second.relative), RecordPath(row.path)))) {
                continue;
            }
            NoteItemAt(at->second.relative, row.identity, row.kind);
            ++renamed;
        } else {
            if (engineItem &&
                FAILED(WriteQueueRecord("delete", ref.domainId, ref.itemId, false, RecordPath(row.path), std::wstring()))) {
                continue;
            }
            ItemRow gone = row;
            gone.present = false;
            PutItem(gone);
            ++deleted;
        }
    }
    // Placeholders the database does not know yet (seeded by a run that had none) are known from now on.
    for (const auto& [identity, found] : inRoot) {
        ItemRow row;
        if ((!FindItem(identity, row) || !row.present) && replacements.count(found.relative) == 0) {
            NoteItemAt(found.relative, identity, KindOfIdentity(identity));
        }
    }
    EndItemBatch();

    // A file of the user's renamed over an item while no provider ran: the item's save, as the watcher takes it live.
    for (const auto& [relative, replaced] : replacements) {
        WriteBackUnplacedFile(JoinPath(ProviderPaths.syncRoot, relative), EncodeIdentityBlob(replaced.first),
                              replaced.second);
    }
    std::vector<std::pair<std::wstring, std::wstring>> unsettled;  // items whose change may still need its record
    const auto note = [&](const std::vector<BYTE>& blob) {
        const PlaceholderRef ref = ClassifyIdentity(blob.data(), static_cast<DWORD>(blob.size()));
        if (ref.kind == PlaceholderRef::kCacheReference) unsettled.emplace_back(ref.domainId, ref.itemId);
    };
    for (const auto& [relative, replaced] : replacements) note(EncodeIdentityBlob(replaced.first));
    for (const RootPlaceholder& placeholder : outOfSync) {
        note(placeholder.identity);
        if (replacements.count(placeholder.relative) != 0) continue;
        WriteBackPlaceholder(placeholder.path, placeholder.identity.empty() ? nullptr : placeholder.identity.data(),
                             static_cast<DWORD>(placeholder.identity.size()));
    }
    // The rest belong to items that went, or that are in sync: nothing of theirs is left to record.
    const int stale = taking > 0 ? RemoveLeftTakingRecordsExcept(unsettled) : 0;
    if (stale > 0) {
        char message[128];
        snprintf(message, sizeof(message), "removed %d unpublished records whose items went or are in sync", stale);
        LogEvent("CONNECT", message);
    }
    char message[160];
    snprintf(message, sizeof(message), "%d deleted and %d moved while no provider was connected", deleted, renamed);
    LogEvent("CONNECT", message);
    int found = static_cast<int>(replacements.size());
    for (const RootPlaceholder& placeholder : outOfSync) found += replacements.count(placeholder.relative) == 0 ? 1 : 0;
    snprintf(message, sizeof(message), "%d placeholders changed while no provider was connected", found);
    LogEvent("CONNECT", message);
    return found;
}
