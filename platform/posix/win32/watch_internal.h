// watch_internal.h - one directory handle's change watch, shared by directory_watch.cpp (the Win32 calls) and
// watch_events.cpp (how the kernel's inotify events become the handle's change records).
#pragma once

#include "platform/posix/win32/standin_internal.h"

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace posix::dirwatch {

// What OVERLAPPED.Internal holds, as on Windows: the request's NTSTATUS.
constexpr uintptr_t kStatusSuccess = 0, kStatusPending = 0x103, kStatusCancelled = 0xC0000120,
                    kStatusDeletePending = 0xC0000056;

struct Entry {
    bool directory = false;
    unsigned long long lastWrite = 0;  // nanoseconds, to tell a new last-write time among the attribute changes
    DWORD attributes = 0;
    int wd = -1;  // a directory's own watch, in a whole-tree watch
};
struct Dir {
    int parent = -1;  // -1: the watched directory itself
    std::string name;
    std::map<std::string, Entry> entries;
};
struct Event {
    int wd;
    uint32_t mask, cookie;
    std::string name;
};

// One directory handle's watch. The kernel queues the changes; they become records when a caller waits (or looks)
// for the pending request, under the mutex, so CancelIoEx from another thread sees a consistent request.
struct Watch {
    std::mutex mutex;
    int inotifyFd = -1, wakeFd = -1, rootWd = -1;
    std::string root;
    bool subtree = false, overflow = false, rootGone = false;
    DWORD filter = 0;
    size_t capacity = 0;  // the first call's buffer: the most the handle keeps between two calls
    std::map<int, Dir> dirs;
    std::deque<Event> queue;
    std::vector<BYTE> records;
    size_t lastRecord = 0;
    std::map<std::wstring, DWORD> lastAction;  // per name, since the last completion: MODIFIED coalesces
    LPOVERLAPPED pending = nullptr;
    BYTE* buffer = nullptr;
    DWORD length = 0;

    // Defined in watch_events.cpp.
    ~Watch();
    bool RelativeOf(int wd, std::string* posixPath, std::wstring* windowsName) const;
    void Emit(DWORD action, const std::wstring& name, bool directory);
    bool Describe(const std::string& path, Entry* entry) const;
    bool Follow(int parentWd, const std::string& name, bool report);
    void Unfollow(int wd);
    bool ReadEvents(int timeoutMs);
    void Collect();
    void Apply(const Event& event, const Event* movedTo);
    void Moved(Dir& from, const Event& event, const std::wstring& oldName, const Event* movedTo);
    void TryComplete();
};

}  // namespace posix::dirwatch
