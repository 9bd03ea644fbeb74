// known_items.cpp - the provider's picture of where the items stand in the root: a view of the item database,
// kept current by every notification and by the root watcher, and in memory only the short-lived claims below.
#include "writeback/known_items.h"

#include "state/item_database.h"

#include <chrono>
#include <map>
#include <mutex>

namespace {

// Deletes recorded by a notification and by a replacing rename: identity, TAB, path -> when.
struct DeleteClaims {
    std::mutex mutex;
    std::map<std::wstring, std::chrono::steady_clock::time_point> deleted, replaced;
};

// Both announcements of one replacement come while the rename waits for its acknowledgements.
constexpr auto kSameReplacement = std::chrono::seconds(5);

DeleteClaims& Claims() {
    static DeleteClaims claims;
    return claims;
}

}  // namespace

void NoteKnownItem(const std::wstring& relative, const std::wstring& identity) {
    NoteItemAt(relative, identity, KindOfIdentity(identity));
}

void ForgetKnownItemsAt(const std::wstring& relative) { MarkItemsGone(relative); }

std::wstring KnownPathOf(const std::wstring& identity) {
    ItemRow row;
    return FindItem(identity, row) && row.present ? row.path : std::wstring();
}

bool ClaimDeleteRecord(const std::wstring& identity, const std::wstring& relative, bool byRename) {
    DeleteClaims& items = Claims();
    std::lock_guard<std::mutex> lock(items.mutex);
    const auto now = std::chrono::steady_clock::now();
    auto& other = byRename ? items.deleted : items.replaced;
    auto& mine = byRename ? items.replaced : items.deleted;
    for (auto* claims : {&other, &mine}) {
        std::erase_if(*claims, [&](const auto& claim) { return now - claim.second > kSameReplacement; });
    }
    const std::wstring key = identity + L"\t" + relative;
    if (other.erase(key) != 0) return false;
    mine[key] = now;
    return true;
}

void ReleaseDeleteClaim(const std::wstring& identity, const std::wstring& relative, bool byRename) {
    DeleteClaims& items = Claims();
    std::lock_guard<std::mutex> lock(items.mutex);
    (byRename ? items.replaced : items.deleted).erase(identity + L"\t" + relative);
}
