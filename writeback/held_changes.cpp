// held_changes.cpp - deletes and renames of engine items held for a moment, their records written but not yet
// published; see held_changes.h.
#include "writeback/held_changes.h"

#include "layout/provider_paths.h"
#include "placeholders/identity.h"
#include "state/item_database.h"
#include "writeback/queue_records.h"

#include <map>
#include <mutex>

namespace {

struct Held {
    std::mutex mutex;
    std::map<std::wstring, HeldChange> byIdentity;
};

Held& TheHeld() {
    static Held held;
    return held;
}

// Writes the held record of `change` and puts it in place of what was held for the item before.
bool Replace(HeldChange change, const char* consequence) {
    const std::vector<BYTE> blob = EncodeIdentityBlob(change.identity);
    const PlaceholderRef ref = ClassifyIdentity(blob.data(), static_cast<DWORD>(blob.size()));
    change.domainId = ref.domainId;
    change.itemId = ref.itemId;
    const bool rename = !change.to.empty();
    if (FAILED(HoldQueueRecord(rename ? "modify" : "delete", ref.domainId, ref.itemId,
                               RecordPath(rename ? change.to : change.from), rename ? RecordPath(change.from) : L"",
                               consequence, change.recordFile))) {
        return false;
    }
    change.until = std::chrono::steady_clock::now() + kHoldWindow;
    Held& held = TheHeld();
    std::lock_guard<std::mutex> lock(held.mutex);
    auto [at, inserted] = held.byIdentity.try_emplace(change.identity, change);
    if (!inserted) {
        DeleteFileW(at->second.recordFile.c_str());
        at->second = change;
    }
    return true;
}

}  // namespace

bool HoldDelete(const std::wstring& identity, const std::wstring& relative, const char* consequence) {
    HeldChange change;
    change.identity = identity;
    change.from = ItemKey(relative);
    HeldChange before;
    // Renamed, then deleted under the new name: to the engine, which never heard of the rename, the item went from
    // where it knows it.
    if (FindHeld(identity, before) && !before.to.empty() && before.to == change.from) change.from = before.from;
    return Replace(change, consequence);
}

bool HoldRename(const std::wstring& identity, const std::wstring& from, const std::wstring& to, const char* consequence) {
    HeldChange change;
    change.identity = identity;
    change.from = ItemKey(from);
    change.to = ItemKey(to);
    HeldChange before;
    if (FindHeld(identity, before) && !before.to.empty() && before.to == change.from) change.from = before.from;
    if (change.from == change.to) {  // back where the engine knows it: nothing to tell
        DropHeld(identity);
        return true;
    }
    return Replace(change, consequence);
}

bool FindHeld(const std::wstring& identity, HeldChange& found) {
    Held& held = TheHeld();
    std::lock_guard<std::mutex> lock(held.mutex);
    const auto at = held.byIdentity.find(identity);
    if (at == held.byIdentity.end()) return false;
    found = at->second;
    return true;
}

bool IsHeld(const std::wstring& identity) {
    HeldChange ignored;
    return FindHeld(identity, ignored);
}

bool PublishHeld(const std::wstring& identity) {
    Held& held = TheHeld();
    // Under the lock, so no new change for the item takes the record's place while it is published.
    std::lock_guard<std::mutex> lock(held.mutex);
    const auto at = held.byIdentity.find(identity);
    if (at == held.byIdentity.end()) return true;
    if (FAILED(PublishHeldRecord(at->second.recordFile, at->second.to.empty() ? "delete" : "modify"))) return false;
    held.byIdentity.erase(at);
    return true;
}

void DropHeld(const std::wstring& identity) {
    Held& held = TheHeld();
    std::lock_guard<std::mutex> lock(held.mutex);
    const auto at = held.byIdentity.find(identity);
    if (at == held.byIdentity.end()) return;
    DeleteFileW(at->second.recordFile.c_str());
    held.byIdentity.erase(at);
}
