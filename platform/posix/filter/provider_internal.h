// provider_internal.h - the pieces the provider side's source files share: a connection, a request it holds until
// CfExecute answers it, one callback invocation, and the functions the files call across.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/posix/filter/callback_pool.h"
#include "platform/posix/filter/cloud_filter.h"

namespace cfemu {

using Clock = std::chrono::steady_clock;

constexpr CF_CALLBACK_TYPE kLastCallbackType = CF_CALLBACK_TYPE_NOTIFY_RENAME_COMPLETION;

struct Connection;

// One callback invocation with everything its CF_CALLBACK_INFO points to.
struct CallbackTask {
    std::shared_ptr<Connection> owner;
    CF_CALLBACK callback = nullptr;
    CF_CALLBACK_INFO info{};
    CF_CALLBACK_PARAMETERS params{};
    CF_PROCESS_INFO process{};
    bool withProcess = false;
    std::wstring volumeDosName = L"Z:";
    std::wstring normalizedPath, targetPath, imagePath, commandLine, empty;
    std::vector<BYTE> identity;
    // A request the platform holds (fetch, delete, rename) runs its callback only while the request is still held,
    // and once: it may have ended (timed out, its reader gone) while the task waited for a thread, and a task
    // promoted to urgent is queued twice. Guarded by the owner's mutex.
    bool held = false;
    bool started = false;

    // Points the structures at this task's own strings (again after a copy).
    void Bind();
};

enum class PendingKind { Fetch, Delete, Rename };

struct Pending {
    PendingKind kind = PendingKind::Fetch;
    std::vector<int> waiters;  // sockets of the processes waiting for the answer
    Clock::time_point deadline;
    LONGLONG requestKey = 0;  // the RequestKey its callback carried
    // Fetch only:
    int fd = -1;
    LONGLONG size = 0;
    dev_t device = 0;
    ino_t inode = 0;
    timespec times[2] = {};                              // access and modification time to put back after writing data
    std::vector<std::pair<LONGLONG, LONGLONG>> covered;  // transferred ranges, sorted and merged
    std::shared_ptr<CallbackTask> task;                  // the callback that announces it
};

struct Connection {
    LONGLONG key = 0;
    std::string root;
    RootRecord record;
    CF_CALLBACK callbacks[kLastCallbackType + 1] = {};
    LPVOID context = nullptr;
    CF_CONNECT_FLAGS flags = 0;
    std::wstring volumeGuidName;
    DWORD volumeSerial = 0;
    LONGLONG rootFileId = 0;
    std::chrono::milliseconds timeout{60000};  // read once at connect: the environment may change later
    int listenFd = -1;
    int wakeRead = -1;
    int wakeWrite = -1;
    std::thread listener;
    CallbackPool pool;

    std::mutex mutex;  // guards `pending`
    std::map<LONGLONG, Pending> pending;
};

// ---- Callback tasks (callback_tasks.cpp) ----
// A task for `type` about `path`; `fd` (may be -1) is an open descriptor of the file for its size and identity.
// Without `describe` the file is gone and its path may hold another's: the task carries no size, id or identity.
std::shared_ptr<CallbackTask> MakeTask(const std::shared_ptr<Connection>& connection, CF_CALLBACK_TYPE type,
                                       const std::string& path, int fd, int pid, bool describe = true);
// Hands the task to the connection's pool; false once the pool is stopping.
bool Submit(const std::shared_ptr<Connection>& connection, const std::shared_ptr<CallbackTask>& task,
            TaskPriority priority = TaskPriority::Ordinary);

// ---- How held requests end (request_completion.cpp) ----
// Sends the 4-byte answer `code` to a waiting process and closes its socket.
void Reply(int fd, DWORD code);
// Answers every waiter of `pending` with `code` and releases it. Caller holds the connection's mutex.
void Finish(Pending& pending, DWORD code);
// Fails the requests whose time ran out; a fetch also tells the provider through CANCEL_FETCH_DATA.
void ExpireRequests(const std::shared_ptr<Connection>& connection);
// The fetch `transferKey` has lost its last waiting reader (its process ended or gave up): it is cancelled, and its
// provider told through CANCEL_FETCH_DATA when its callback has begun. Caller holds the connection's mutex; the
// cancel to submit, if any, is returned.
std::shared_ptr<CallbackTask> AbandonFetch(Connection& connection, LONGLONG transferKey);
// Milliseconds until the earliest deadline of a held request (for poll); -1 when none is held.
int NextTimeoutMs(const std::shared_ptr<Connection>& connection);

// ---- The listener thread (provider_listener.cpp) ----
void ListenerLoop(std::shared_ptr<Connection> connection);

// ---- Connections of this process (provider_connection.cpp) ----
// The connection of `key`, or null once it is disconnected.
std::shared_ptr<Connection> FindConnection(LONGLONG key);

}  // namespace cfemu
