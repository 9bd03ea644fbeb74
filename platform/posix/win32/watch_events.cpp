// watch_events.cpp - a directory watch's bookkeeping: the kernel's inotify events become FILE_NOTIFY_INFORMATION
// records, with renames paired, new subdirectories followed and the first call's buffer as the limit.
#include "platform/posix/win32/watch_internal.h"

#include <dirent.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_ATTRIB |
                                IN_DELETE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;
// The kernel queues the two halves of a rename one after the other; a lone half waits this long for its partner.
constexpr int kPartnerWaitMs = 50;
constexpr size_t kRecordHeader = offsetof(FILE_NOTIFY_INFORMATION, FileName);

}  // namespace

namespace posix::dirwatch {

Watch::~Watch() {
    if (inotifyFd >= 0) close(inotifyFd);
    if (wakeFd >= 0) close(wakeFd);
}

// Where directory `wd` stands below the watched one, with a trailing separator; false once it is not known.
bool Watch::RelativeOf(int wd, std::string* posixPath, std::wstring* windowsName) const {
    std::vector<const Dir*> chain;
    for (int at = wd; at != rootWd;) {
        auto it = dirs.find(at);
        if (it == dirs.end() || chain.size() > dirs.size()) return false;
        chain.push_back(&it->second);
        at = it->second.parent;
    }
    posixPath->clear();
    windowsName->clear();
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        *posixPath += (*it)->name + "/";
        *windowsName += posix::NameToWindows((*it)->name) + L"\\";
    }
    return true;
}

void Watch::Emit(DWORD action, const std::wstring& name, bool directory) {
    DWORD wanted = action == FILE_ACTION_MODIFIED ? 0
                   : directory                    ? FILE_NOTIFY_CHANGE_DIR_NAME
                                                  : FILE_NOTIFY_CHANGE_FILE_NAME;
    if (wanted != 0 && (filter & wanted) == 0) return;
    auto last = lastAction.find(name);
    if (action == FILE_ACTION_MODIFIED && last != lastAction.end() && last->second == action) return;
    lastAction[name] = action;
    if (overflow) return;
    size_t size = kRecordHeader + name.size() * sizeof(WCHAR);
    size = (size + 3) & ~static_cast<size_t>(3);
    if (records.size() + size > capacity) {
        // More than the handle keeps: the next completion tells the caller to look again for itself.
        overflow = true;
        records.clear();
        return;
    }
    lastRecord = records.size();
    records.resize(records.size() + size);
    FILE_NOTIFY_INFORMATION header{};
    header.NextEntryOffset = static_cast<DWORD>(size);
    header.Action = action;
    header.FileNameLength = static_cast<DWORD>(name.size() * sizeof(WCHAR));
    std::memcpy(records.data() + lastRecord, &header, kRecordHeader);
    std::memcpy(records.data() + lastRecord + kRecordHeader, name.data(), name.size() * sizeof(WCHAR));
}

bool Watch::Describe(const std::string& path, Entry* entry) const {
    struct stat st;
    if (lstat(posix::SysPath(path).c_str(), &st) != 0) return false;
    entry->directory = S_ISDIR(st.st_mode);
    // Only compared for equality: unsigned arithmetic keeps times far from 1970 (a placeholder's 1601) defined.
    entry->lastWrite = static_cast<unsigned long long>(st.st_mtim.tv_sec) * 1000000000ULL +
                       static_cast<unsigned long long>(st.st_mtim.tv_nsec);
    entry->attributes = posix::AttributesOfStat(path, st);
    return true;
}

// Watches directory `name` of `parentWd` (the watched directory itself when parentWd is -1) and what it holds.
// Entries found there are new to the caller when `report`: they may have been made before the watch existed.
bool Watch::Follow(int parentWd, const std::string& name, bool report) {
    std::string relative;
    std::wstring windowsRelative;
    if (parentWd >= 0 && !RelativeOf(parentWd, &relative, &windowsRelative)) return true;
    std::string path = parentWd < 0 ? root : root + "/" + relative + name;
    int wd = inotify_add_watch(inotifyFd, posix::SysPath(path).c_str(), kWatchMask);
    // A subdirectory gone again is reported removed anyway; the watched directory itself must be there.
    if (wd < 0) return parentWd >= 0 && (errno == ENOENT || errno == ENOTDIR);
    Dir& dir = dirs[wd];
    dir.parent = parentWd;
    dir.name = name;
    if (parentWd < 0) {
        rootWd = wd;
    } else {
        dirs[parentWd].entries[name].wd = wd;
        relative += name + "/";
        windowsRelative += posix::NameToWindows(name) + L"\\";
    }
    std::vector<std::string> names;
    if (DIR* listing = opendir(posix::SysPath(path).c_str())) {
        while (dirent* item = readdir(listing)) {
            if (std::strcmp(item->d_name, ".") != 0 && std::strcmp(item->d_name, "..") != 0) names.push_back(item->d_name);
        }
        closedir(listing);
    }
    std::sort(names.begin(), names.end());
    bool ok = true;
    for (const std::string& child : names) {
        Entry entry;
        if (dirs[wd].entries.count(child) != 0 || !Describe(path + "/" + child, &entry)) continue;
        dirs[wd].entries[child] = entry;
        if (report) Emit(FILE_ACTION_ADDED, windowsRelative + posix::NameToWindows(child), entry.directory);
        if (entry.directory && subtree) ok = Follow(wd, child, report) && ok;
    }
    return ok;
}

// Stops watching a directory that left the watched tree, and everything below it.
void Watch::Unfollow(int wd) {
    auto it = dirs.find(wd);
    if (it == dirs.end()) return;
    for (const auto& child : it->second.entries) {
        if (child.second.wd >= 0) Unfollow(child.second.wd);
    }
    inotify_rm_watch(inotifyFd, wd);
    dirs.erase(wd);
}

// Reads what the kernel has queued; with a timeout, first waits that long for something to come.
bool Watch::ReadEvents(int timeoutMs) {
    if (timeoutMs > 0) {
        pollfd one{inotifyFd, POLLIN, 0};
        if (poll(&one, 1, timeoutMs) <= 0) return false;
    }
    bool any = false;
    alignas(inotify_event) char chunk[16384];
    for (;;) {
        ssize_t got = read(inotifyFd, chunk, sizeof chunk);
        if (got <= 0) return any;
        for (ssize_t at = 0; at < got;) {
            const inotify_event* event = reinterpret_cast<const inotify_event*>(chunk + at);
            queue.push_back({event->wd, event->mask, event->cookie,
                             std::string(event->name, strnlen(event->name, event->len))});
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            any = true;
        }
    }
}

void Watch::Collect() {
    ReadEvents(0);
    while (!queue.empty()) {
        Event event = queue.front();
        queue.pop_front();
        if ((event.mask & IN_MOVED_FROM) == 0) {
            Apply(event, nullptr);
            continue;
        }
        // The other half of a rename may still be on its way; without one, the entry left the watched tree.
        auto partner = queue.end();
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPartnerWaitMs);
        for (;;) {
            partner = std::find_if(queue.begin(), queue.end(), [&](const Event& other) {
                return (other.mask & IN_MOVED_TO) != 0 && other.cookie == event.cookie;
            });
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (partner != queue.end() || left.count() <= 0 || !ReadEvents(static_cast<int>(left.count()))) break;
        }
        if (partner == queue.end()) {
            Apply(event, nullptr);
        } else {
            Event to = *partner;
            queue.erase(partner);
            Apply(event, &to);
        }
    }
}

void Watch::Apply(const Event& event, const Event* movedTo) {
    if ((event.mask & IN_Q_OVERFLOW) != 0) {
        overflow = true;
        records.clear();
        return;
    }
    if ((event.mask & (IN_IGNORED | IN_DELETE_SELF)) != 0) {
        if (event.wd == rootWd) {
            rootGone = true;
        } else if ((event.mask & IN_IGNORED) != 0) {
            dirs.erase(event.wd);
        }
        return;
    }
    auto at = dirs.find(event.wd);
    std::string relative;
    std::wstring windowsRelative;
    if (at == dirs.end() || event.name.empty() || !RelativeOf(event.wd, &relative, &windowsRelative)) return;
    Dir& dir = at->second;
    const std::wstring name = windowsRelative + posix::NameToWindows(event.name);
    const std::string path = root + "/" + relative + event.name;
    const bool directory = (event.mask & IN_ISDIR) != 0;
    if ((event.mask & IN_CREATE) != 0) {
        Entry entry;
        entry.directory = directory;
        if (dir.entries.count(event.name) != 0) return;  // already found by the look into a new directory
        Describe(path, &entry);
        dir.entries[event.name] = entry;
        Emit(FILE_ACTION_ADDED, name, directory);
        if (directory && subtree && !Follow(event.wd, event.name, true)) overflow = true;
    } else if ((event.mask & IN_DELETE) != 0) {
        dir.entries.erase(event.name);
        Emit(FILE_ACTION_REMOVED, name, directory);
    } else if ((event.mask & IN_MODIFY) != 0) {
        Entry& entry = dir.entries[event.name];
        Entry now;
        if (Describe(path, &now)) entry.lastWrite = now.lastWrite;
        if ((filter & (FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE)) != 0) {
            Emit(FILE_ACTION_MODIFIED, name, directory);
        }
    } else if ((event.mask & IN_ATTRIB) != 0) {
        Entry now;
        auto known = dir.entries.find(event.name);
        if (known == dir.entries.end() || !Describe(path, &now)) return;
        bool timeChanged = now.lastWrite != known->second.lastWrite;
        bool attributesChanged = now.attributes != known->second.attributes;
        known->second.lastWrite = now.lastWrite;
        known->second.attributes = now.attributes;
        if ((timeChanged && (filter & FILE_NOTIFY_CHANGE_LAST_WRITE) != 0) ||
            (attributesChanged && (filter & FILE_NOTIFY_CHANGE_ATTRIBUTES) != 0)) {
            Emit(FILE_ACTION_MODIFIED, name, directory);
        }
    } else if ((event.mask & IN_MOVED_FROM) != 0) {
        Moved(dir, event, name, movedTo);
    } else if ((event.mask & IN_MOVED_TO) != 0) {
        // Moved in from outside the watched tree: new here, and so is all it holds.
        Entry entry;
        entry.directory = directory;
        Describe(path, &entry);
        dir.entries[event.name] = entry;
        Emit(FILE_ACTION_ADDED, name, directory);
        if (directory && subtree && !Follow(event.wd, event.name, true)) overflow = true;
    }
}

void Watch::Moved(Dir& from, const Event& event, const std::wstring& oldName, const Event* movedTo) {
    const bool directory = (event.mask & IN_ISDIR) != 0;
    Entry entry;
    entry.directory = directory;
    if (auto it = from.entries.find(event.name); it != from.entries.end()) entry = it->second;
    from.entries.erase(event.name);
    std::string relative;
    std::wstring windowsRelative;
    auto target = movedTo != nullptr ? dirs.find(movedTo->wd) : dirs.end();
    if (target == dirs.end() || !RelativeOf(movedTo->wd, &relative, &windowsRelative)) {
        Emit(FILE_ACTION_REMOVED, oldName, directory);
        if (entry.wd >= 0) Unfollow(entry.wd);
        return;
    }
    // A replaced target is gone without a word of its own; a directory keeps its watch under its new name.
    auto replaced = target->second.entries.find(movedTo->name);
    if (replaced != target->second.entries.end() && replaced->second.wd >= 0 && replaced->second.wd != entry.wd) {
        Unfollow(replaced->second.wd);
    }
    target->second.entries[movedTo->name] = entry;
    if (entry.wd >= 0 && dirs.count(entry.wd) != 0) {
        dirs[entry.wd].parent = movedTo->wd;
        dirs[entry.wd].name = movedTo->name;
    }
    const std::wstring newName = windowsRelative + posix::NameToWindows(movedTo->name);
    if (movedTo->wd == event.wd) {
        Emit(FILE_ACTION_RENAMED_OLD_NAME, oldName, directory);
        Emit(FILE_ACTION_RENAMED_NEW_NAME, newName, directory);
    } else {
        // Between two directories of the tree the caller sees a removal and an addition, not a rename.
        Emit(FILE_ACTION_REMOVED, oldName, directory);
        Emit(FILE_ACTION_ADDED, newName, directory);
    }
    // A directory renamed before its watch could be set up under the old name is watched here, as new.
    if (directory && subtree && entry.wd < 0 && !Follow(movedTo->wd, movedTo->name, true)) overflow = true;
}

// Completes the pending request when there is something to tell.
void Watch::TryComplete() {
    if (pending == nullptr || (!overflow && records.empty() && !rootGone)) return;
    DWORD bytes = 0;
    uintptr_t status = kStatusSuccess;
    if (!overflow && !records.empty() && records.size() <= length) {
        FILE_NOTIFY_INFORMATION last{};
        std::memcpy(&last, records.data() + lastRecord, kRecordHeader);
        last.NextEntryOffset = 0;
        std::memcpy(records.data() + lastRecord, &last, kRecordHeader);
        std::memcpy(buffer, records.data(), records.size());
        bytes = static_cast<DWORD>(records.size());
    } else if (!overflow && records.empty()) {
        status = kStatusDeletePending;  // the watched directory itself was deleted
    }
    pending->Internal = status;
    pending->InternalHigh = bytes;
    pending = nullptr;
    records.clear();
    lastAction.clear();
    overflow = false;
}

}  // namespace posix::dirwatch
