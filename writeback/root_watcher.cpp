// root_watcher.cpp - one thread reads the sync root's change notifications and, once a changed path has been
// quiet for a moment, looks at what stands there now: a file that is no placeholder is written back and converted
// into one; a placeholder found where the provider did not know it was moved without a notification (its directory
// moved) and gets its rename record. Acting on the state, not on the events, makes every order and form in which a
// platform may report the same change come out the same, and the provider's own work (hydration, conversion, the
// in-sync mark) finds nothing to do.
#include "writeback/root_watcher.h"

#include "app/event_log.h"
#include "hydration/pin_keeper.h"
#include "layout/provider_paths.h"
#include "placeholders/identity.h"
#include "placeholders/root_walk.h"
#include "writeback/close_writeback.h"
#include "writeback/held_changes.h"
#include "writeback/known_items.h"
#include "writeback/local_files.h"
#include "writeback/queue_records.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// How long a path must go without a change before it is looked at: long enough for a save's write, rename and
// attribute steps to land together, short enough that a change reaches the engine at once to a person.
constexpr auto kQuiet = std::chrono::milliseconds(500);
// How long an item may be gone from its place before the engine is told it went: a folder moved out of the root and
// back (an undo, a tool that moves a tree aside while it works) within this window is no delete. Until the delete is
// recorded the item stays present in the item database, so a provider stopped within the window leaves the decision
// to the comparison at the next start, which sees the root as it is then.
constexpr auto kLeaveWindow = std::chrono::seconds(3);
constexpr DWORD kBufferBytes = 64 * 1024;
// Attributes too: a pin state set by the user (no callback announces one) is seen as an attribute change.
constexpr DWORD kNotifyFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME | FILE_NOTIFY_CHANGE_ATTRIBUTES |
                                FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE;

struct Watch {
    std::mutex mutex;  // guards thread and directory against a second start or stop
    BY_HANDLE_FILE_INFORMATION root = {};  // the root as the watch opened it: its volume and file index
    std::atomic<bool> rootGone{false};      // the root was removed or renamed: nothing more is taken
    std::mutex retryMutex;           // guards retryAsked
    std::vector<std::wstring> retryAsked;  // paths other threads asked to look at again
    std::thread thread;
    HANDLE directory = INVALID_HANDLE_VALUE;
    OVERLAPPED overlapped = {};
    std::atomic<bool> stopping{false};
};

Watch& TheWatch() {
    static Watch watch;
    return watch;
}

// Whether the root's path still leads to the directory the watch opened. Removed (`rm -rf`) or renamed, its items
// all seem to go; the engine must not be told they were deleted: the provider stops instead.
bool RootStillThere(Watch& watch) {
    if (watch.rootGone.load()) return false;
    HANDLE directory = CreateFileW(ProviderPaths.syncRoot.c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION now = {};
    const bool same = directory != INVALID_HANDLE_VALUE && GetFileInformationByHandle(directory, &now) &&
                      now.dwVolumeSerialNumber == watch.root.dwVolumeSerialNumber &&
                      now.nFileIndexHigh == watch.root.nFileIndexHigh && now.nFileIndexLow == watch.root.nFileIndexLow;
    if (directory != INVALID_HANDLE_VALUE) CloseHandle(directory);
    if (!same && !watch.rootGone.exchange(true)) {
        LogEvent("ERROR", "WATCH the sync root was removed or renamed - the provider stops, and no deletes are sent "
                          "for its items");
    }
    return same;
}

// Paths waiting for their quiet moment, relative to the root; only the watcher thread touches them.
using Pending = std::map<std::wstring, Clock::time_point>;

struct Retry {
    Clock::time_point due;
    int attempts = 0;
};

struct Changes {
    Pending pending;
    Pending vacated;                // removed paths and old names, looked at after the new places
    std::set<std::wstring> arrived;  // paths that appeared (made, or the new name of a rename)
    std::map<std::wstring, Retry> retries;  // paths whose change could not be taken, with their back-off
    std::map<std::wstring, int> vacatedFailures;  // vacated paths whose records could not be written
};

// The pause before the next attempt: 1 s, doubling with each failure, at most a minute.
Clock::duration Backoff(int attempts) {
    const int doublings = attempts < 1 ? 0 : (attempts > 6 ? 6 : attempts - 1);
    return std::min<Clock::duration>(std::chrono::seconds(1) * (1 << doublings), std::chrono::seconds(60));
}

enum class Outcome {
    kDone,    // taken, or nothing to take
    kBusy,    // a writer still holds it: look again after the quiet time
    kFailed,  // a step failed (logged): look again after the back-off
};

void LogCount(const char* format, int count) {
    char message[160];
    snprintf(message, sizeof(message), format, count);
    LogEvent("WATCH", message);
}

// A notified path as the root's directories list it: a notification may carry a name in another case than the
// item's, or a short (8.3) alias, where the file system finds the same file. Each component that stands is replaced
// by its listed (long) name; from the first that does not, the rest stays as notified.
std::wstring OnDiskPath(const std::wstring& relative) {
    std::wstring found;
    size_t start = 0;
    while (start <= relative.size()) {
        size_t end = relative.find_first_of(L"\\/", start);
        if (end == std::wstring::npos) end = relative.size();
        const std::wstring name = relative.substr(start, end - start);
        if (!name.empty()) {
            WIN32_FIND_DATAW data = {};
            // A name with a wildcard (Linux allows them) would be a pattern to the lookup: it is kept as it is.
            HANDLE find = name.find_first_of(L"*?") != std::wstring::npos
                              ? INVALID_HANDLE_VALUE
                              : FindFirstFileW(JoinPath(ProviderPaths.syncRoot, JoinPath(found, name)).c_str(), &data);
            if (find == INVALID_HANDLE_VALUE) return JoinPath(found, relative.substr(start));
            FindClose(find);
            found = JoinPath(found, data.cFileName);
        }
        start = end + 1;
    }
    return found;
}

// A placeholder of a file of the user's standing where an engine item stood (renamed over it, as `mv new.txt
// item.txt` does) is a save of the item: its bytes reach the engine as the item's change, and it becomes the
// item's placeholder. False when a writer still holds it.
Outcome TakeReplacement(const RootPlaceholder& entry, const PlaceholderRef& ref, const ItemRow& item) {
    DropHeld(item.identity);  // a file took the item's name: what was held of its delete or rename is moot
    const UnplacedFileResult result = WriteBackUnplacedFile(entry.path, EncodeIdentityBlob(item.identity), true);
    if (result == UnplacedFileResult::kBusy) return Outcome::kBusy;
    if (result == UnplacedFileResult::kFailed) return Outcome::kFailed;
    ItemRow own;
    if (FindItem(ref.text, own) && own.kind == ItemKind::kUserFile && !WithdrawUserFile(own)) return Outcome::kFailed;
    if (result == UnplacedFileResult::kTaken) LogEvent("WATCH", "file of the user's renamed over an item taken as its save");
    return Outcome::kDone;
}

// A placeholder standing at `entry.relative`: learnt, or, when it is an item last seen elsewhere that is no longer
// there, recorded as renamed.
Outcome TakePlaceholder(const RootPlaceholder& entry) {
    const PlaceholderRef ref = ClassifyIdentity(entry.identity.data(), static_cast<DWORD>(entry.identity.size()));
    ItemRow row, standing;
    if (ref.kind == PlaceholderRef::kRelativePath && FindItemAt(entry.relative, standing) &&
        standing.kind == ItemKind::kEngineItem && standing.identity != ref.text) {
        return TakeReplacement(entry, ref, standing);
    }
    if (ref.kind == PlaceholderRef::kRelativePath && FindItem(ref.text, row) && row.kind == ItemKind::kUserFile &&
        row.present && row.path != entry.relative &&
        GetFileAttributesW(JoinPath(ProviderPaths.syncRoot, row.path).c_str()) == INVALID_FILE_ATTRIBUTES) {
        // A file of the user's moved with its directory: its copies follow.
        return MoveUserFile(row, entry.relative) ? Outcome::kDone : Outcome::kFailed;
    }
    if (ref.kind != PlaceholderRef::kCacheReference) return Outcome::kDone;
    const std::wstring known = KnownPathOf(ref.text);
    if (known == entry.relative) return Outcome::kDone;
    if (!known.empty() &&
        GetFileAttributesW(JoinPath(ProviderPaths.syncRoot, known).c_str()) == INVALID_FILE_ATTRIBUTES) {
        HeldChange held;
        if (FindHeld(ref.text, held)) {
            // Renamed here through the platform: its record waits while a file may still take the name it left.
            if (Clock::now() < held.until) return Outcome::kBusy;
            if (held.to == ItemKey(entry.relative)) {
                if (!PublishHeld(ref.text)) return Outcome::kFailed;
                LogEvent("WATCH", "renamed - its held rename recorded");
                NoteKnownItem(entry.relative, ref.text);
                return Outcome::kDone;
            }
            DropHeld(ref.text);  // moved on since, with its directory: the record below says where it is now
        }
        const bool isDir = (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (FAILED(WriteQueueRecord("modify", ref.domainId, ref.itemId, isDir, RecordPath(entry.relative),
                                    RecordPath(known)))) {
            return Outcome::kFailed;
        }
        LogEvent("WATCH", "moved with its directory - rename recorded");
    } else if (!known.empty()) {
        return Outcome::kDone;  // the item still stands where it was: a copy of it keeps no claim to the identity
    }
    NoteKnownItem(entry.relative, ref.text);
    return Outcome::kDone;
}

void ConvertDirectory(const RootPlaceholder& entry) {
    HANDLE directory = CreateFileW(entry.path.c_str(), FILE_READ_ATTRIBUTES | WRITE_DAC,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    HRESULT hr = directory == INVALID_HANDLE_VALUE
                     ? HRESULT_FROM_WIN32(GetLastError())
                     : CfConvertToPlaceholder(directory, nullptr, 0, CF_CONVERT_FLAG_MARK_IN_SYNC, nullptr, nullptr);
    if (directory != INVALID_HANDLE_VALUE) CloseHandle(directory);
    // One made a placeholder meanwhile is just as good.
    if (FAILED(hr) && hr != kHrCloudInvalidRequest) {
        char message[96];
        snprintf(message, sizeof(message), "WATCH directory not converted hr=0x%08lX", HrArg(hr));
        LogEvent("ERROR", message);
    }
}

// Looks at one file or directory. With `retrying`, a placeholder out of sync is a change whose write-back failed,
// and is taken now; otherwise its close takes it.
Outcome TakeEntry(const RootPlaceholder& entry, bool retrying = false) {
    if ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        if (!entry.placeholder) ConvertDirectory(entry);
        if (entry.placeholder) NotePinState(entry.relative, entry.attributes);
        return Outcome::kDone;
    }
    if (entry.placeholder) {
        if (retrying && !entry.inSync && (entry.attributes & FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS) == 0 &&
            !WriteBackPlaceholder(entry.path, entry.identity.empty() ? nullptr : entry.identity.data(),
                                  static_cast<DWORD>(entry.identity.size()))) {
            return Outcome::kFailed;
        }
        const Outcome outcome = TakePlaceholder(entry);
        // Its pin state may ask for its data to come or go.
        if (outcome == Outcome::kDone) NotePinState(entry.relative, entry.attributes);
        return outcome;
    }
    // A file that is no placeholder: at the place of a known item, a save replaced that item's placeholder.
    ItemRow standing;
    const bool known = FindItemAt(entry.relative, standing);
    const bool usersFile = !known || standing.kind == ItemKind::kUserFile;
    const std::wstring itemIdentity = known ? standing.identity : entry.relative;
    // A new file is the user's: known as such before it is taken, so its copies go where the user's files go (and a
    // second look, after a failure, finds it so).
    if (!known) NoteItemAt(entry.relative, itemIdentity, ItemKind::kUserFile);
    // A file that took the name of an item that left it is the item's save: what was held of the item's delete or
    // rename is moot from now on, whenever the save is taken.
    if (!usersFile) DropHeld(itemIdentity);
    const UnplacedFileResult result = WriteBackUnplacedFile(entry.path, EncodeIdentityBlob(itemIdentity));
    if (usersFile && result == UnplacedFileResult::kGone && GetFileAttributesW(entry.path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        ForgetItem(itemIdentity);
    }
    if (result == UnplacedFileResult::kTaken) {
        LogEvent("WATCH", usersFile ? "new file taken" : "file saved over its item's placeholder taken");
    }
    return result == UnplacedFileResult::kBusy ? Outcome::kBusy
           : result == UnplacedFileResult::kFailed ? Outcome::kFailed
                                                    : Outcome::kDone;
}

// A path to look at again: after the quiet time when a writer holds it, after the back-off when a step failed.
void Again(Changes& changes, const std::wstring& relative, Outcome outcome, Clock::time_point now) {
    if (outcome == Outcome::kBusy) {
        changes.pending[relative] = now + kQuiet;
    } else if (outcome == Outcome::kFailed) {
        Retry& retry = changes.retries[relative];
        retry.due = now + Backoff(++retry.attempts);
    }
}

// What stands at the notified path `relative`, under the names the directories list. False when nothing does, or a
// link (whose target is no item of the root): then no retry of the path is left either.
bool LookAt(const std::wstring& relative, RootPlaceholder& entry, Changes& changes) {
    entry.relative = OnDiskPath(relative);
    entry.path = JoinPath(ProviderPaths.syncRoot, entry.relative);
    entry.attributes = GetFileAttributesW(entry.path.c_str());
    if (entry.attributes == INVALID_FILE_ATTRIBUTES || IsLinkAt(entry.path, entry.attributes)) {
        changes.retries.erase(relative);
        return false;
    }
    ReadRootEntry(entry);
    return true;
}

// Takes `entry`, looked at for the notified path `relative`, and, for a directory that arrived, everything below it
// that is not waiting for its own quiet moment: what a moved directory holds announces nothing of its own. A
// directory that only changed (Windows reports a directory whose entries change) has nothing below it to look at
// that did not announce itself.
void TakeLooked(const RootPlaceholder& entry, const std::wstring& relative, bool arrived, Changes& changes,
                Clock::time_point now, bool retrying = false) {
    const Outcome outcome = TakeEntry(entry, retrying);
    // Only a retry that succeeded ends the back-off: an ordinary look does not take what failed before.
    if (retrying && outcome == Outcome::kDone) changes.retries.erase(relative);
    Again(changes, relative, outcome, now);
    if (outcome != Outcome::kDone || (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || !arrived) return;
    Watch& watch = TheWatch();
    ForEachRootEntry(entry.relative, [&](const RootPlaceholder& below) {
        if (watch.stopping.load() || changes.pending.count(below.relative) != 0) return;
        Again(changes, below.relative, TakeEntry(below), now);
    });
}

void TakePath(const std::wstring& relative, bool arrived, Changes& changes, Clock::time_point now,
              bool retrying = false) {
    RootPlaceholder entry;
    if (LookAt(relative, entry, changes)) TakeLooked(entry, relative, arrived, changes, now, retrying);
}

// Files that are no placeholders (new files, saves), taken side by side: each waits for the disk several times (its
// copies, its journal line or record, its note in the database), and the waits of different files overlap. The
// write-back of each file is safe beside others, as it is beside the closes the platform announces on its threads;
// a path's outcome is applied here, on the watcher's thread, once all are done.
constexpr size_t kTakers = 8;

void TakeFilesTogether(std::vector<std::pair<RootPlaceholder, std::wstring>>& files, Changes& changes,
                       Clock::time_point now) {
    if (files.empty()) return;
    std::vector<Outcome> outcomes(files.size(), Outcome::kDone);
    std::atomic<size_t> next{0};
    const auto take = [&] {
        for (size_t i = next.fetch_add(1); i < files.size() && !TheWatch().stopping.load(); i = next.fetch_add(1)) {
            outcomes[i] = TakeEntry(files[i].first);
        }
    };
    std::vector<std::thread> takers;  // none for one file: this thread takes it
    for (size_t t = 1; t < std::min(kTakers, files.size()); ++t) takers.emplace_back(take);
    take();
    for (std::thread& taker : takers) taker.join();
    for (size_t i = 0; i < files.size(); ++i) Again(changes, files[i].second, outcomes[i], now);
    files.clear();
}

// Items known at or below `relative` whose place is empty left the root (moved out with their directory, or removed
// by a program that bypassed the platform): the engine is told they went. Items moved within the root were found
// at their new place first, and are known there.
// False when a record could not be written: those items stay known, to be tried again.
bool TakeVacated(const std::wstring& notified) {
    // The name that went cannot be looked up any more, only the directories above it: an item known under another
    // case is found without regard to case, and one whose name went as a short alias among its directory's items.
    const std::wstring relative = OnDiskPath(notified);
    std::vector<ItemRow> rows = PresentItemsBelow(relative);
    if (rows.empty() && !relative.empty()) rows = PresentItemsBelow(relative, true);
    const size_t lastSeparator = relative.find_last_of(L"\\/");
    if (rows.empty() && relative.find(L'~', lastSeparator == std::wstring::npos ? 0 : lastSeparator) != std::wstring::npos) {
        rows = PresentItemsBelow(lastSeparator == std::wstring::npos ? std::wstring() : relative.substr(0, lastSeparator));
    }
    bool recorded = true;
    for (const ItemRow& row : rows) {
        const std::wstring& path = row.path;
        if (GetFileAttributesW(JoinPath(ProviderPaths.syncRoot, path).c_str()) != INVALID_FILE_ATTRIBUTES) continue;
        // The list was read before the look at the file: a delete through the platform in between has recorded the
        // item and marked it gone (before the file went), and must not be recorded a second time.
        ItemRow now;
        if (!FindItem(row.identity, now) || !now.present || now.path != path) continue;
        if (row.kind == ItemKind::kUserFile) {
            recorded = WithdrawUserFile(row) && recorded;
            continue;
        }
        HeldChange held;
        if (FindHeld(row.identity, held)) {
            if (Clock::now() < held.until) {
                recorded = false;  // still waiting for a file to take the name: looked at again after the back-off
                continue;
            }
            if (held.to.empty()) {
                if (!PublishHeld(row.identity)) {
                    recorded = false;
                    continue;
                }
                ForgetKnownItemsAt(path);
                LogEvent("WATCH", "no file took the name of a deleted item - its held delete recorded");
                continue;
            }
            // Renamed: its new place records the rename, unless it went from there too (then the engine, which
            // never heard of the rename, is told the item went from where it knows it).
            if (GetFileAttributesW(JoinPath(ProviderPaths.syncRoot, held.to).c_str()) != INVALID_FILE_ATTRIBUTES) continue;
            DropHeld(row.identity);
        }
        const std::vector<BYTE> blob = EncodeIdentityBlob(row.identity);
        const PlaceholderRef ref = ClassifyIdentity(blob.data(), static_cast<DWORD>(blob.size()));
        if (ref.kind == PlaceholderRef::kCacheReference &&
            FAILED(WriteQueueRecord("delete", ref.domainId, ref.itemId, false, RecordPath(path), std::wstring()))) {
            recorded = false;
            continue;
        }
        ForgetKnownItemsAt(path);
        if (ref.kind == PlaceholderRef::kCacheReference) {
            LogEvent("WATCH", "left the root without a notification - delete recorded");
        }
    }
    return recorded;
}

// The whole root, as after an overflow of the notification buffer or at start.
void Rescan(Changes& changes) {
    int found = 0;
    const auto now = Clock::now();
    ForEachRootEntry(std::wstring(), [&](const RootPlaceholder& entry) {
        if (entry.placeholder) {
            if ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) Again(changes, entry.relative, TakePlaceholder(entry), now);
            return;
        }
        changes.pending.emplace(entry.relative, now);
        ++found;
    });
    // What went while the changes were lost is looked at after the window every removal waits: a root being removed
    // (`rm -rf` takes its files first) is gone by then, and none of its items is recorded as deleted.
    changes.vacated[std::wstring()] = now + kLeaveWindow;
    LogCount("root looked over - %d files and directories are no placeholders", found);
}

void NotePaths(const BYTE* buffer, DWORD bytes, Changes& changes) {
    const auto due = Clock::now() + kQuiet;
    DWORD offset = 0;
    while (offset + offsetof(FILE_NOTIFY_INFORMATION, FileName) <= bytes) {
        const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buffer + offset);
        const size_t units = record->FileNameLength / sizeof(WCHAR);
        const std::wstring relative(record->FileName, units);
        // The old name of a rename and a removed path hold nothing to take; they are looked at after the new place
        // of whatever moved, for what left the root.
        const bool vacates = record->Action == FILE_ACTION_REMOVED || record->Action == FILE_ACTION_RENAMED_OLD_NAME;
        if (!relative.empty() && vacates) {
            changes.vacated[relative] = due + kLeaveWindow;
        } else if (!relative.empty()) {
            changes.pending[relative] = due;
            if (record->Action != FILE_ACTION_MODIFIED) changes.arrived.insert(relative);
            // A pin state set by the user asks for work at once, not after the quiet time a writer needs. (What a
            // file inherits from its folders changes only with a folder's own state, which comes here too.)
            if (record->Action == FILE_ACTION_MODIFIED) {
                const DWORD attributes = GetFileAttributesW(JoinPath(ProviderPaths.syncRoot, relative).c_str());
                if (attributes != INVALID_FILE_ATTRIBUTES &&
                    (attributes & (FILE_ATTRIBUTE_PINNED | FILE_ATTRIBUTE_UNPINNED)) != 0) {
                    NotePinState(relative, attributes);
                }
            }
        }
        if (record->NextEntryOffset == 0) break;
        offset += record->NextEntryOffset;
    }
}

void TakeDue(Changes& changes) {
    Pending& pending = changes.pending;
    Watch& watch = TheWatch();
    const auto now = Clock::now();
    if (!RootStillThere(watch)) return;
    // Paths other threads asked to look at again (their write-back failed) join the back-off.
    {
        std::lock_guard<std::mutex> lock(watch.retryMutex);
        for (const std::wstring& relative : watch.retryAsked) {
            Retry& retry = changes.retries[relative];
            retry.due = now + Backoff(++retry.attempts);
        }
        watch.retryAsked.clear();
    }
    // In path order: a new directory before what it holds.
    std::vector<std::wstring> due;
    for (const auto& [relative, when] : pending) {
        if (when <= now) due.push_back(relative);
    }
    std::vector<std::pair<RootPlaceholder, std::wstring>> files;  // taken together, before anything that follows
    for (const std::wstring& relative : due) {
        if (watch.stopping.load()) return;
        auto it = pending.find(relative);
        if (it == pending.end() || it->second > now) continue;
        pending.erase(it);
        const bool arrived = changes.arrived.erase(relative) != 0;
        RootPlaceholder entry;
        if (!LookAt(relative, entry, changes)) continue;
        if (!entry.placeholder && (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            files.emplace_back(std::move(entry), relative);
            continue;
        }
        TakeFilesTogether(files, changes, now);
        TakeLooked(entry, relative, arrived, changes, now);
    }
    TakeFilesTogether(files, changes, now);
    if (watch.stopping.load()) return;
    std::vector<std::wstring> retried;
    for (const auto& [relative, retry] : changes.retries) {
        if (retry.due <= now) retried.push_back(relative);
    }
    for (const std::wstring& relative : retried) {
        if (watch.stopping.load()) return;
        if (pending.count(relative) != 0) continue;  // looked at soon anyway
        TakePath(relative, false, changes, now, true);
    }
    for (auto it = changes.vacated.begin(); it != changes.vacated.end();) {
        if (it->second > now) {
            ++it;
            continue;
        }
        const std::wstring relative = it->first;
        it = changes.vacated.erase(it);
        if (TakeVacated(relative)) {
            changes.vacatedFailures.erase(relative);
        } else {
            // Records that could not be written: tried again after the back-off, the items known meanwhile.
            changes.vacated[relative] = now + Backoff(++changes.vacatedFailures[relative]);
            it = changes.vacated.upper_bound(relative);
        }
    }
}

// At most a second: paths other threads ask to look at again are picked up without a notification to wake for.
DWORD TimeoutUntilDue(const Changes& changes) {
    constexpr DWORD kLongestWaitMs = 1000;
    auto next = Clock::now() + std::chrono::milliseconds(kLongestWaitMs);
    for (const auto& entry : changes.pending) next = std::min(next, entry.second);
    for (const auto& entry : changes.vacated) next = std::min(next, entry.second);
    for (const auto& entry : changes.retries) next = std::min(next, entry.second.due);
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
    return wait <= 0 ? 0 : static_cast<DWORD>(wait + 1);
}

bool Issue(Watch& watch, std::vector<DWORD>& buffer) {
    watch.overlapped = OVERLAPPED{};
    if (ReadDirectoryChangesW(watch.directory, buffer.data(), kBufferBytes, TRUE, kNotifyFilter, nullptr,
                              &watch.overlapped, nullptr)) {
        return true;
    }
    const DWORD error = GetLastError();
    // A root removed or renamed fails the request too: that is said in its own line, and the provider stops.
    if (!RootStillThere(watch)) return false;
    char message[96];
    snprintf(message, sizeof(message), "WATCH ReadDirectoryChangesW failed gle=%lu", DwArg(error));
    LogEvent("ERROR", message);
    return false;
}

void WatchLoop() {
    Watch& watch = TheWatch();
    // DWORD elements: the records must be DWORD-aligned.
    std::vector<DWORD> buffer(kBufferBytes / sizeof(DWORD));
    Changes changes;
    // The watch is set up by the first request, before the look over the root, so nothing falls between them.
    if (!Issue(watch, buffer)) return;
    bool requestPending = true;
    Rescan(changes);
    for (;;) {
        if (watch.stopping.load()) break;
        DWORD bytes = 0;
        if (GetOverlappedResultEx(watch.directory, &watch.overlapped, &bytes, TimeoutUntilDue(changes), FALSE)) {
            requestPending = false;
            if (bytes == 0) {
                // More changes than the buffer held: which ones is lost, so the whole root is looked over.
                LogEvent("WATCH", "change buffer overflowed - looking over the whole root");
                if (!(requestPending = Issue(watch, buffer))) break;
                Rescan(changes);
            } else {
                NotePaths(reinterpret_cast<const BYTE*>(buffer.data()), bytes, changes);
                if (!(requestPending = Issue(watch, buffer))) break;
            }
            // A steady stream of notifications never lets the wait time out: what is due is taken between batches.
            TakeDue(changes);
            continue;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_OPERATION_ABORTED) {
            requestPending = false;
            break;
        }
        if (error != WAIT_TIMEOUT && error != ERROR_IO_INCOMPLETE) {
            requestPending = false;
            if (!RootStillThere(watch)) break;
            char message[96];
            snprintf(message, sizeof(message), "WATCH waiting for changes failed gle=%lu", DwArg(error));
            LogEvent("ERROR", message);
            break;
        }
        TakeDue(changes);
    }
    // The system writes into the buffer and the OVERLAPPED until the request completes, cancelled or not: a request
    // still pending (issued after the stop's cancel, or left by a stop seen between batches) is cancelled here and
    // waited for before both go.
    if (requestPending) {
        DWORD bytes = 0;
        CancelIoEx(watch.directory, &watch.overlapped);
        GetOverlappedResult(watch.directory, &watch.overlapped, &bytes, TRUE);
    }
}

}  // namespace

bool StartRootWatcher() {
    Watch& watch = TheWatch();
    std::lock_guard<std::mutex> lock(watch.mutex);
    if (watch.thread.joinable()) return true;
    InitProviderPaths();
    watch.directory = CreateFileW(ProviderPaths.syncRoot.c_str(), FILE_LIST_DIRECTORY,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    if (watch.directory == INVALID_HANDLE_VALUE) {
        char message[96];
        snprintf(message, sizeof(message), "WATCH sync root not opened gle=%lu", DwArg(GetLastError()));
        LogEvent("ERROR", message);
        return false;
    }
    if (!GetFileInformationByHandle(watch.directory, &watch.root)) {
        char message[96];
        snprintf(message, sizeof(message), "WATCH sync root not examined gle=%lu", DwArg(GetLastError()));
        LogEvent("ERROR", message);
        CloseHandle(watch.directory);
        watch.directory = INVALID_HANDLE_VALUE;
        return false;
    }
    watch.rootGone.store(false);
    watch.stopping.store(false);
    watch.thread = std::thread(WatchLoop);
    LogEvent("WATCH", "watching the sync root for changes no notification announces");
    return true;
}

void StopRootWatcher() {
    Watch& watch = TheWatch();
    std::lock_guard<std::mutex> lock(watch.mutex);
    if (!watch.thread.joinable()) return;
    // The flag first: a request issued after the cancel below is seen by the flag check that follows every issue.
    watch.stopping.store(true);
    CancelIoEx(watch.directory, &watch.overlapped);
    watch.thread.join();
    CloseHandle(watch.directory);
    watch.directory = INVALID_HANDLE_VALUE;
    LogEvent("WATCH", "watch ended");
}

void LookAgainLater(const std::wstring& relative) {
    Watch& watch = TheWatch();
    std::lock_guard<std::mutex> lock(watch.retryMutex);
    std::wstring key = relative;
    for (wchar_t& c : key) {
        if (c == L'/') c = L'\\';
    }
    watch.retryAsked.push_back(key);
}

bool SyncRootGone() { return TheWatch().rootGone.load(); }
