// known_items.cpp - the provider's picture of where the engine's items stand in the root, kept current by every
// notification and by the root watcher.
#include "writeback/known_items.h"

#include <chrono>
#include <map>
#include <mutex>

namespace {

struct KnownItems {
    std::mutex mutex;
    std::map<std::wstring, std::wstring> identityAt;  // relative path -> identity
    std::map<std::wstring, std::wstring> pathOf;      // identity -> relative path
    // Deletes recorded by a notification and by a replacing rename: identity, TAB, path -> when.
    std::map<std::wstring, std::chrono::steady_clock::time_point> deleted, replaced;
};

// Both announcements of one replacement come while the rename waits for its acknowledgements.
constexpr auto kSameReplacement = std::chrono::seconds(5);

KnownItems& Items() {
    static KnownItems items;
    return items;
}

bool StartsWith(const std::wstring& path, const std::wstring& prefix) {
    return path.compare(0, prefix.size(), prefix) == 0;
}

// Sorted paths that start with `directory` hold those at or below it, mixed with siblings such as "a b" or "a.txt"
// for "a": the walks below go over the whole run and pick.
bool AtOrBelow(const std::wstring& path, const std::wstring& directory) {
    if (directory.empty()) return true;  // the root
    return StartsWith(path, directory) && (path.size() == directory.size() || path[directory.size()] == L'\\');
}

void EraseAt(KnownItems& items, const std::wstring& relative) {
    auto at = items.identityAt.find(relative);
    if (at == items.identityAt.end()) return;
    items.pathOf.erase(at->second);
    items.identityAt.erase(at);
}

void Put(KnownItems& items, const std::wstring& relative, const std::wstring& identity) {
    EraseAt(items, relative);
    auto old = items.pathOf.find(identity);
    if (old != items.pathOf.end()) items.identityAt.erase(old->second);
    items.identityAt[relative] = identity;
    items.pathOf[identity] = relative;
}

}  // namespace

void ClearKnownItems() {
    KnownItems& items = Items();
    std::lock_guard<std::mutex> lock(items.mutex);
    items.identityAt.clear();
    items.pathOf.clear();
}

void NoteKnownItem(const std::wstring& relative, const std::wstring& identity) {
    KnownItems& items = Items();
    std::lock_guard<std::mutex> lock(items.mutex);
    Put(items, relative, identity);
}

void ForgetKnownItemsAt(const std::wstring& relative) {
    KnownItems& items = Items();
    std::lock_guard<std::mutex> lock(items.mutex);
    for (auto it = items.identityAt.lower_bound(relative); it != items.identityAt.end() && StartsWith(it->first, relative);) {
        if (!AtOrBelow(it->first, relative)) {
            ++it;
            continue;
        }
        items.pathOf.erase(it->second);
        it = items.identityAt.erase(it);
    }
}

void MoveKnownItems(const std::wstring& from, const std::wstring& to) {
    KnownItems& items = Items();
    std::lock_guard<std::mutex> lock(items.mutex);
    std::vector<std::pair<std::wstring, std::wstring>> moved;
    for (auto it = items.identityAt.lower_bound(from); it != items.identityAt.end() && StartsWith(it->first, from);) {
        if (!AtOrBelow(it->first, from)) {
            ++it;
            continue;
        }
        moved.emplace_back(to + it->first.substr(from.size()), it->second);
        items.pathOf.erase(it->second);
        it = items.identityAt.erase(it);
    }
    for (const auto& [path, identity] : moved) Put(items, path, identity);
}

std::wstring KnownIdentityAt(const std::wstring& relative) {
    KnownItems& items = Items();
    std::lock_guard<std::mutex> lock(items.mutex);
    auto it = items.identityAt.find(relative);
    return it == items.identityAt.end() ? std::wstring() : it->second;
}

std::wstring KnownPathOf(const std::wstring& identity) {
    KnownItems& items = Items();
    std::lock_guard<std::mutex> lock(items.mutex);
    auto it = items.pathOf.find(identity);
    return it == items.pathOf.end() ? std::wstring() : it->second;
}

std::vector<std::pair<std::wstring, std::wstring>> KnownItemsBelow(const std::wstring& relative) {
    KnownItems& items = Items();
    std::lock_guard<std::mutex> lock(items.mutex);
    std::vector<std::pair<std::wstring, std::wstring>> found;
    for (auto it = items.identityAt.lower_bound(relative); it != items.identityAt.end() && StartsWith(it->first, relative);
         ++it) {
        if (AtOrBelow(it->first, relative)) found.emplace_back(it->first, it->second);
    }
    return found;
}

bool ClaimDeleteRecord(const std::wstring& identity, const std::wstring& relative, bool byRename) {
    KnownItems& items = Items();
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
