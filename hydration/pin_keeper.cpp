// pin_keeper.cpp - placeholders brought in line with their pin states in the background; see pin_keeper.h.
#include "hydration/pin_keeper.h"

#include "app/event_log.h"
#include "layout/provider_paths.h"
#include "placeholders/root_walk.h"
#include "syncroot/cloud_files.h"
#include "syncroot/status_words.h"
#include "writeback/root_watcher.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

enum class Want {
    kNothing,  // no pin state of its own, nor above it
    kData,     // pinned: kept on this device
    kNoData,   // unpinned: its space given back
};

Want WantOf(DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_PINNED) != 0) return Want::kData;
    if ((attributes & FILE_ATTRIBUTE_UNPINNED) != 0) return Want::kNoData;
    return Want::kNothing;
}

// What a file's pin state asks for: its own, else that of the nearest folder above it that has one.
Want EffectiveWant(const std::wstring& relative, DWORD attributes) {
    Want want = WantOf(attributes);
    std::wstring above = relative;
    while (want == Want::kNothing) {
        const size_t cut = above.find_last_of(L"\\/");
        if (cut == std::wstring::npos) break;
        above.resize(cut);
        const DWORD folder = GetFileAttributesW(JoinPath(ProviderPaths.syncRoot, above).c_str());
        if (folder == INVALID_FILE_ATTRIBUTES) break;
        want = WantOf(folder);
    }
    return want;
}

bool OutOfLine(Want want, DWORD attributes) {
    const bool dehydrated = (attributes & FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS) != 0;
    return (want == Want::kData && dehydrated) || (want == Want::kNoData && !dehydrated);
}

// A cloud tag, with or without the variant bits that Windows puts in the middle of it.
bool IsCloudTag(DWORD tag) {
    return (tag & ~static_cast<DWORD>(IO_REPARSE_TAG_CLOUD_MASK)) == static_cast<DWORD>(IO_REPARSE_TAG_CLOUD);
}

enum class Outcome { kDone, kAgain };

struct Job {
    std::wstring relative;
    bool below = false;  // a directory: everything below it is looked at
};

struct Keeper {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Job> ready;
    std::multimap<Clock::time_point, Job> later;  // files to try again: a writer holds them, or a step failed
    std::set<std::wstring> queued;                // every file and directory in ready, later or at work
    std::map<std::wstring, int> attempts;
    std::map<std::wstring, Want> directories;     // the pin state each directory was last seen with
    std::vector<std::thread> workers;
    bool stopping = false;
    bool running = false;  // a start line was logged and its end line not yet
    int busy = 0;
    int mostAtOnce = 0;
    int hydrated = 0, dehydrated = 0;
    unsigned long long hydratedBytes = 0, dehydratedBytes = 0;
};

Keeper& TheKeeper() {
    static Keeper keeper;
    return keeper;
}

std::wstring KeyOf(const Job& job) { return job.below ? job.relative + L"\\*" : job.relative; }

// With the keeper's lock held: a job is ready, so a run is on.
void BeginRunLocked(Keeper& keeper) {
    if (!keeper.running) {
        keeper.running = true;
        char message[160];
        snprintf(message, sizeof(message),
                 "background work started - pinned files are hydrated, unpinned ones dehydrated, at most %d at once",
                 kPinWorkers);
        LogEvent("PIN", message);
    }
}

// With the keeper's lock held.
void QueueLocked(Keeper& keeper, const Job& job) {
    if (keeper.stopping || !keeper.queued.insert(KeyOf(job)).second) return;
    keeper.ready.push_back(job);
    BeginRunLocked(keeper);
    keeper.wake.notify_one();
}

void Queue(const Job& job) {
    Keeper& keeper = TheKeeper();
    std::lock_guard<std::mutex> lock(keeper.mutex);
    QueueLocked(keeper, job);
}

LARGE_INTEGER LargeInteger(LONGLONG value) {
    LARGE_INTEGER result;
    result.QuadPart = value;
    return result;
}

void LogFailure(const char* what, const std::wstring& relative, HRESULT hr) {
    char message[512];
    snprintf(message, sizeof(message), "PIN %s %ls failed hr=0x%08lX - %s - tried again later", what, relative.c_str(),
             HrArg(hr), StatusInWords(hr));
    LogEvent("ERROR", message);
}

Outcome Hydrate(const std::wstring& relative, const std::wstring& path, unsigned long long& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return Outcome::kDone;
        LogFailure("hydrating", relative, HRESULT_FROM_WIN32(error));
        return Outcome::kAgain;
    }
    LARGE_INTEGER size = {};
    GetFileSizeEx(file, &size);
    const HRESULT hr = CfHydratePlaceholder(file, LargeInteger(0), LargeInteger(CF_EOF), CF_HYDRATE_FLAG_NONE, nullptr);
    CloseHandle(file);
    if (FAILED(hr)) {
        LogFailure("hydrating", relative, hr);
        return Outcome::kAgain;
    }
    bytes = static_cast<unsigned long long>(size.QuadPart);
    return Outcome::kDone;
}

// Only a placeholder whose last change has been taken gives its data up, and only while no program holds it open.
Outcome Dehydrate(const std::wstring& relative, const std::wstring& path, unsigned long long& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return Outcome::kDone;
        if (error != ERROR_SHARING_VIOLATION) LogFailure("dehydrating", relative, HRESULT_FROM_WIN32(error));
        return Outcome::kAgain;  // held open: the program's work comes first
    }
    // Room for the largest identity (4 KiB), so the call cannot fail for want of space.
    std::vector<BYTE> buffer(sizeof(CF_PLACEHOLDER_BASIC_INFO) + 4096);
    DWORD returned = 0;
    HRESULT hr = CfGetPlaceholderInfo(file, CF_PLACEHOLDER_INFO_BASIC, buffer.data(), static_cast<DWORD>(buffer.size()),
                                      &returned);
    if (FAILED(hr)) {
        CloseHandle(file);
        return Outcome::kDone;  // no placeholder: nothing to give back
    }
    CF_PLACEHOLDER_BASIC_INFO info;
    memcpy(&info, buffer.data(), sizeof(info));
    if (info.InSyncState != CF_IN_SYNC_STATE_IN_SYNC) {
        CloseHandle(file);
        LookAgainLater(relative);  // its change is taken first, then it is looked at again here
        return Outcome::kAgain;
    }
    LARGE_INTEGER size = {};
    GetFileSizeEx(file, &size);
    hr = CfDehydratePlaceholder(file, LargeInteger(0), LargeInteger(CF_EOF), CF_DEHYDRATE_FLAG_NONE, nullptr);
    CloseHandle(file);
    if (FAILED(hr)) {
        // Opened by another program meanwhile, or changed since the look above: tried again later, without a word.
        if (hr != HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION) && hr != kHrCloudNotInSync) LogFailure("dehydrating", relative, hr);
        return Outcome::kAgain;
    }
    bytes = static_cast<unsigned long long>(size.QuadPart);
    return Outcome::kDone;
}

// Every file below `relative` that is out of line with the pin state that holds for it, `inherited` coming from
// above; links are not followed.
void QueueBelow(const std::wstring& relative, Want inherited) {
    WIN32_FIND_DATAW entry = {};
    HANDLE find = FindFirstFileW(JoinPath(JoinPath(ProviderPaths.syncRoot, relative), L"*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return;
    struct Folder {
        std::wstring relative;
        Want own, want;
    };
    std::vector<Folder> folders;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L".." || IsLinkEntry(entry)) continue;
        const std::wstring child = JoinPath(relative, name);
        const Want own = WantOf(entry.dwFileAttributes);
        const Want want = own != Want::kNothing ? own : inherited;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            folders.push_back(Folder{child, own, want});
        } else if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsCloudTag(entry.dwReserved0) &&
                   OutOfLine(want, entry.dwFileAttributes)) {
            Queue(Job{child, false});
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    Keeper& keeper = TheKeeper();
    for (const Folder& folder : folders) {
        {
            std::lock_guard<std::mutex> lock(keeper.mutex);
            if (keeper.stopping) return;
            keeper.directories[folder.relative] = folder.own;
        }
        QueueBelow(folder.relative, folder.want);
    }
}

Outcome Work(const Job& job, int& hydrated, int& dehydrated, unsigned long long& bytes) {
    if (job.below) {
        QueueBelow(job.relative, EffectiveWant(job.relative, GetFileAttributesW(
                                                                 JoinPath(ProviderPaths.syncRoot, job.relative).c_str())));
        return Outcome::kDone;
    }
    const std::wstring path = JoinPath(ProviderPaths.syncRoot, job.relative);
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return Outcome::kDone;
    const Want want = EffectiveWant(job.relative, attributes);
    if (!OutOfLine(want, attributes)) return Outcome::kDone;  // in line already, or no longer asked for
    if (want == Want::kData) {
        const Outcome outcome = Hydrate(job.relative, path, bytes);
        if (outcome == Outcome::kDone && bytes > 0) ++hydrated;
        return outcome;
    }
    const Outcome outcome = Dehydrate(job.relative, path, bytes);
    if (outcome == Outcome::kDone && bytes > 0) ++dehydrated;
    return outcome;
}

// Doubles from 1 s up to 30 s.
Clock::duration Backoff(int attempts) {
    return std::min<Clock::duration>(std::chrono::seconds(1) * (1 << std::min(attempts - 1, 5)), std::chrono::seconds(30));
}

void WorkerLoop() {
    Keeper& keeper = TheKeeper();
    std::unique_lock<std::mutex> lock(keeper.mutex);
    for (;;) {
        // Files whose time to try again has come join the queue.
        const auto now = Clock::now();
        while (!keeper.later.empty() && keeper.later.begin()->first <= now && !keeper.stopping) {
            keeper.ready.push_back(keeper.later.begin()->second);
            keeper.later.erase(keeper.later.begin());
            BeginRunLocked(keeper);
        }
        if (keeper.stopping) return;
        if (keeper.ready.empty()) {
            if (keeper.later.empty()) {
                keeper.wake.wait(lock);
            } else {
                // A copy: the entry may go while the lock is released.
                const Clock::time_point until = keeper.later.begin()->first;
                keeper.wake.wait_until(lock, until);
            }
            continue;
        }
        const Job job = keeper.ready.front();
        keeper.ready.pop_front();
        keeper.mostAtOnce = std::max(keeper.mostAtOnce, ++keeper.busy);
        lock.unlock();
        int hydrated = 0, dehydrated = 0;
        unsigned long long bytes = 0;
        const Outcome outcome = Work(job, hydrated, dehydrated, bytes);
        lock.lock();
        --keeper.busy;
        keeper.hydrated += hydrated;
        keeper.dehydrated += dehydrated;
        (hydrated > 0 ? keeper.hydratedBytes : keeper.dehydratedBytes) += bytes;
        const std::wstring key = KeyOf(job);
        if (outcome == Outcome::kAgain && !keeper.stopping) {
            keeper.later.emplace(Clock::now() + Backoff(++keeper.attempts[key]), job);
        } else {
            keeper.queued.erase(key);
            keeper.attempts.erase(key);
        }
        if (keeper.running && keeper.ready.empty() && keeper.busy == 0) {
            keeper.running = false;
            char message[320];
            snprintf(message, sizeof(message),
                     "background work done - %d files hydrated (%llu bytes), %d dehydrated (%llu bytes), at most %d "
                     "at once, %d to try again later",
                     keeper.hydrated, keeper.hydratedBytes, keeper.dehydrated, keeper.dehydratedBytes,
                     keeper.mostAtOnce, static_cast<int>(keeper.later.size()));
            LogEvent("PIN", message);
            keeper.hydrated = keeper.dehydrated = keeper.mostAtOnce = 0;
            keeper.hydratedBytes = keeper.dehydratedBytes = 0;
        }
    }
}

}  // namespace

void StartPinKeeper() {
    Keeper& keeper = TheKeeper();
    {
        std::lock_guard<std::mutex> lock(keeper.mutex);
        if (!keeper.workers.empty()) return;
        InitProviderPaths();
        keeper.stopping = false;
        for (int k = 0; k < kPinWorkers; ++k) keeper.workers.emplace_back(WorkerLoop);
    }
    // A restart finds the root as the user left it: the whole root is looked over, in the background.
    Queue(Job{std::wstring(), true});
}

void StopPinKeeper() {
    Keeper& keeper = TheKeeper();
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(keeper.mutex);
        keeper.stopping = true;
        workers.swap(keeper.workers);
        keeper.wake.notify_all();
    }
    for (std::thread& worker : workers) worker.join();
    std::lock_guard<std::mutex> lock(keeper.mutex);
    keeper.ready.clear();
    keeper.later.clear();
    keeper.queued.clear();
    keeper.attempts.clear();
    keeper.running = false;
}

void NotePinState(const std::wstring& relative, DWORD attributes) {
    Keeper& keeper = TheKeeper();
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        // A directory changes whenever its entries do: only a change of its own pin state concerns what it holds.
        const Want own = WantOf(attributes);
        std::lock_guard<std::mutex> lock(keeper.mutex);
        const auto known = keeper.directories.find(relative);
        const Want before = known != keeper.directories.end() ? known->second : Want::kNothing;
        keeper.directories[relative] = own;
        if (own != before) QueueLocked(keeper, Job{relative, true});
        return;
    }
    if (OutOfLine(EffectiveWant(relative, attributes), attributes)) Queue(Job{relative, false});
}
