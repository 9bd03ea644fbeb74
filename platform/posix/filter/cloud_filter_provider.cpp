// cloud_filter_provider.cpp - the provider's side of a connection: the listener thread on the root's socket,
// the callback thread pool, requests held until CfExecute answers them, timeouts and disconnection.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include "platform/posix/filter/cloud_filter.h"
#include "platform/posix/filter/filter_hooks.h"

namespace cfemu {
namespace {

using Clock = std::chrono::steady_clock;

thread_local bool t_callbackThread = false;

constexpr int kMinimumPoolThreads = 4;
// A thread the pool grew for a burst of requests ends after this long without work, down to the minimum.
constexpr std::chrono::milliseconds kIdleThreadLifetime{2000};
constexpr CF_CALLBACK_TYPE kLastCallbackType = CF_CALLBACK_TYPE_NOTIFY_RENAME_COMPLETION;
constexpr size_t kMaxCallbackTableEntries = 64;

// Callbacks run on these threads, never on the caller's. The pool grows whenever a task would otherwise
// wait, so a callback that blocks on a nested request (its own read of a dehydrated file) cannot starve it.
class CallbackPool {
  public:
    void Start(int threads) {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->minimum = threads;
        for (int i = 0; i < threads; ++i) Spawn();
    }

    bool Submit(std::function<void()> task) {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->stopping) return false;
        state_->tasks.push_back(std::move(task));
        if (state_->tasks.size() > static_cast<size_t>(state_->idle)) Spawn();
        state_->wake.notify_one();
        return true;
    }

    // Tasks not yet started are dropped; the threads end once their running task returns.
    void Stop() {
        std::deque<std::function<void()>> dropped;
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            state_->stopping = true;
            dropped.swap(state_->tasks);
            state_->wake.notify_all();
        }
    }

    // Waits until no task runs (but the caller's own, when a task of this pool disconnects), at most `limit`.
    void WaitForRunning(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(state_->mutex);
        int own = t_pool == state_.get() ? 1 : 0;
        state_->idle_changed.wait_for(lock, limit, [&] { return state_->running <= own; });
    }

  private:
    struct State {
        std::mutex mutex;  // guards everything below
        std::condition_variable wake;
        std::condition_variable idle_changed;
        std::deque<std::function<void()>> tasks;
        int idle = 0;
        int running = 0;
        int threads = 0;
        int minimum = 0;
        bool stopping = false;
    };

    static thread_local const State* t_pool;

    void Spawn() {
        // Detached: a thread still inside a callback when the connection ends keeps the state alive itself.
        ++state_->threads;
        std::thread(Worker, state_).detach();
    }

    static void Worker(std::shared_ptr<State> state) {
        t_callbackThread = true;
        t_pool = state.get();
        std::unique_lock<std::mutex> lock(state->mutex);
        for (;;) {
            ++state->idle;
            bool woken = state->wake.wait_for(lock, kIdleThreadLifetime,
                                              [&] { return state->stopping || !state->tasks.empty(); });
            --state->idle;
            if (state->stopping || (!woken && state->threads > state->minimum)) {
                --state->threads;
                return;
            }
            if (!woken) continue;
            std::function<void()> task = std::move(state->tasks.front());
            state->tasks.pop_front();
            ++state->running;
            lock.unlock();
            task();
            task = nullptr;
            lock.lock();
            --state->running;
            state->idle_changed.notify_all();
        }
    }

    std::shared_ptr<State> state_ = std::make_shared<State>();
};

thread_local const CallbackPool::State* CallbackPool::t_pool = nullptr;

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
    std::shared_ptr<CallbackTask> task;
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

void CallbackTask::Bind() {
    info.ConnectionKey.Internal = owner->key;
    info.CallbackContext = owner->context;
    info.VolumeGuidName = owner->volumeGuidName.c_str();
    info.VolumeDosName = volumeDosName.c_str();
    info.VolumeSerialNumber = owner->volumeSerial;
    info.SyncRootFileId.QuadPart = owner->rootFileId;
    info.SyncRootIdentity = owner->record.syncRootIdentity.empty() ? nullptr : owner->record.syncRootIdentity.data();
    info.SyncRootIdentityLength = static_cast<DWORD>(owner->record.syncRootIdentity.size());
    info.FileIdentity = identity.empty() ? nullptr : identity.data();
    info.FileIdentityLength = static_cast<DWORD>(identity.size());
    info.NormalizedPath = normalizedPath.c_str();
    process.ImagePath = imagePath.c_str();
    process.PackageName = empty.c_str();
    process.ApplicationId = empty.c_str();
    process.CommandLine = commandLine.c_str();
    info.ProcessInfo = withProcess ? &process : nullptr;
    if (!targetPath.empty()) params.Rename.TargetPath = targetPath.c_str();
}

struct Registry {
    std::mutex mutex;  // guards both members
    std::map<LONGLONG, std::shared_ptr<Connection>> byKey;
    LONGLONG nextKey = 0x5A000001;
};

Registry& Connections() {
    static Registry* registry = new Registry;  // never destroyed: callbacks may run while the process exits
    return *registry;
}

std::atomic<LONGLONG> g_nextTransferKey{0x10001};
// Request keys differ from transfer keys, so a provider that confuses the two is caught.
constexpr LONGLONG kRequestKeyBase = 0x7E0000000000LL;

std::shared_ptr<Connection> FindConnection(LONGLONG key) {
    Registry& registry = Connections();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto found = registry.byKey.find(key);
    return found == registry.byKey.end() ? nullptr : found->second;
}

void Reply(int fd, DWORD code) {
    BYTE bytes[4];
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<BYTE>(code >> (8 * i));
    (void)send(fd, bytes, sizeof(bytes), MSG_NOSIGNAL | MSG_DONTWAIT);  // a waiter that went away is no matter
    close(fd);
}

std::string ReadProcFile(int pid, const char* name) {
    char path[64];
    std::snprintf(path, sizeof(path), "/proc/%d/%s", pid, name);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::string();
    std::string text;
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof(buffer))) > 0) text.append(buffer, static_cast<size_t>(got));
    close(fd);
    return text;
}

void FillProcess(CallbackTask& task, int pid) {
    task.process.StructSize = sizeof(CF_PROCESS_INFO);
    task.process.ProcessId = static_cast<DWORD>(pid);
    task.process.SessionId = 1;
    task.withProcess = (task.owner->flags & CF_CONNECT_FLAG_REQUIRE_PROCESS_INFO) != 0;
    if (!task.withProcess) return;
    char path[64];
    char image[4096];
    std::snprintf(path, sizeof(path), "/proc/%d/exe", pid);
    ssize_t size = readlink(path, image, sizeof(image) - 1);
    task.imagePath = size > 0 ? posix::ToWindowsPath(std::string(image, static_cast<size_t>(size))) : L"";
    std::string arguments = ReadProcFile(pid, "cmdline");
    while (!arguments.empty() && arguments.back() == '\0') arguments.pop_back();
    std::replace(arguments.begin(), arguments.end(), '\0', ' ');
    task.commandLine = arguments.empty() ? L"UNKNOWN" : posix::Utf8ToWide(arguments);
}

// A task for `type` about `path`; `fd` (may be -1) is an open descriptor of the file for its size and identity.
std::shared_ptr<CallbackTask> MakeTask(const std::shared_ptr<Connection>& connection, CF_CALLBACK_TYPE type,
                                       const std::string& path, int fd, int pid) {
    auto task = std::make_shared<CallbackTask>();
    task->owner = connection;
    task->callback = connection->callbacks[type];
    task->info.StructSize = sizeof(CF_CALLBACK_INFO);
    task->params.ParamSize = sizeof(CF_CALLBACK_PARAMETERS);
    task->normalizedPath = VolumeRelativePath(path);
    struct stat st;
    if ((fd >= 0 ? fstat(fd, &st) : lstat(path.c_str(), &st)) == 0) {
        task->info.FileId.QuadPart = static_cast<LONGLONG>(st.st_ino);
        task->info.FileSize.QuadPart = S_ISDIR(st.st_mode) ? 0 : static_cast<LONGLONG>(st.st_size);
        if (fd >= 0) {
            ReadIdentity(fd, &task->identity);
        } else {
            ReadIdentityAt(path, &task->identity);
        }
    }
    FillProcess(*task, pid);
    task->Bind();
    return task;
}

bool Submit(const std::shared_ptr<Connection>& connection, const std::shared_ptr<CallbackTask>& task) {
    return connection->pool.Submit([task] { task->callback(&task->info, &task->params); });
}

// Drops whatever data a failed fetch left, so the placeholder is as dehydrated on disk as its state says.
void DropPartialData(const Pending& pending) {
    if (!pending.covered.empty()) (void)DropData(pending.fd, pending.size);
    (void)futimens(pending.fd, pending.times);
}

// Answers every waiter of `pending` with `code` and releases it. Caller holds the connection's mutex.
void Finish(Pending& pending, DWORD code) {
    if (pending.kind == PendingKind::Fetch && pending.fd >= 0) {
        if (code != ERROR_SUCCESS) DropPartialData(pending);
        close(pending.fd);
        pending.fd = -1;
    }
    for (int waiter : pending.waiters) Reply(waiter, code);
    pending.waiters.clear();
}

bool AddCovered(Pending& pending, LONGLONG begin, LONGLONG end) {
    auto& ranges = pending.covered;
    ranges.emplace_back(begin, end);
    std::sort(ranges.begin(), ranges.end());
    std::vector<std::pair<LONGLONG, LONGLONG>> merged;
    for (const auto& range : ranges) {
        if (!merged.empty() && range.first <= merged.back().second) {
            merged.back().second = std::max(merged.back().second, range.second);
        } else {
            merged.push_back(range);
        }
    }
    ranges.swap(merged);
    return !ranges.empty() && ranges.front().first <= 0 && ranges.front().second >= pending.size;
}

void StartFetch(const std::shared_ptr<Connection>& connection, int client, int pid, const Request& request) {
    if (connection->callbacks[CF_CALLBACK_TYPE_FETCH_DATA] == nullptr) {
        Reply(client, ERROR_CLOUD_FILE_NOT_SUPPORTED);
        return;
    }
    int fd = open(request.path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        Reply(client, posix::Win32ErrorFromErrno(errno));
        return;
    }
    struct stat st;
    PlaceholderState state;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !ReadState(fd, &state) || (state.flags & kStateHydrated) != 0) {
        close(fd);
        Reply(client, ERROR_SUCCESS);  // nothing (left) to fetch
        return;
    }
    std::shared_ptr<CallbackTask> task;
    {
        std::lock_guard<std::mutex> lock(connection->mutex);
        // A fetch that completed since the first look marked the file hydrated under this lock.
        if (!ReadState(fd, &state) || (state.flags & kStateHydrated) != 0) {
            close(fd);
            Reply(client, ERROR_SUCCESS);
            return;
        }
        for (auto& entry : connection->pending) {
            Pending& other = entry.second;
            if (other.kind == PendingKind::Fetch && other.device == st.st_dev && other.inode == st.st_ino) {
                other.waiters.push_back(client);  // one fetch per file: later readers share it
                close(fd);
                return;
            }
        }
        LONGLONG transferKey = g_nextTransferKey.fetch_add(1);
        Pending pending;
        pending.kind = PendingKind::Fetch;
        pending.waiters.push_back(client);
        pending.deadline = Clock::now() + connection->timeout;
        pending.fd = fd;
        pending.size = static_cast<LONGLONG>(st.st_size);
        pending.device = st.st_dev;
        pending.inode = st.st_ino;
        pending.times[0] = st.st_atim;
        pending.times[1] = st.st_mtim;
        task = MakeTask(connection, CF_CALLBACK_TYPE_FETCH_DATA, request.path, fd, pid);
        task->info.TransferKey.QuadPart = transferKey;
        task->info.RequestKey.QuadPart = kRequestKeyBase + transferKey;
        pending.requestKey = task->info.RequestKey.QuadPart;
        task->params.FetchData.Flags = request.flags & CF_CALLBACK_FETCH_DATA_FLAG_EXPLICIT_HYDRATION;
        task->params.FetchData.RequiredFileOffset.QuadPart = 0;
        task->params.FetchData.RequiredLength.QuadPart = pending.size;
        task->params.FetchData.OptionalFileOffset.QuadPart = 0;
        task->params.FetchData.OptionalLength.QuadPart = pending.size;
        pending.task = task;
        connection->pending.emplace(transferKey, std::move(pending));
    }
    if (!Submit(connection, task)) {
        std::lock_guard<std::mutex> lock(connection->mutex);
        auto found = connection->pending.find(task->info.TransferKey.QuadPart);
        if (found != connection->pending.end()) {
            Finish(found->second, ERROR_CLOUD_FILE_PROVIDER_TERMINATED);
            connection->pending.erase(found);
        }
    }
}

void StartNotification(const std::shared_ptr<Connection>& connection, int client, int pid, const Request& request) {
    bool isDelete = request.kind == RequestKind::Delete;
    CF_CALLBACK_TYPE type = isDelete ? CF_CALLBACK_TYPE_NOTIFY_DELETE : CF_CALLBACK_TYPE_NOTIFY_RENAME;
    if (connection->callbacks[type] == nullptr) {
        Reply(client, ERROR_SUCCESS);  // the provider did not ask to be told: the operation goes ahead
        return;
    }
    std::shared_ptr<CallbackTask> task = MakeTask(connection, type, request.path, -1, pid);
    LONGLONG transferKey = g_nextTransferKey.fetch_add(1);
    task->info.TransferKey.QuadPart = transferKey;
    task->info.RequestKey.QuadPart = kRequestKeyBase + transferKey;
    if (isDelete) {
        task->params.Delete.Flags = request.flags;
    } else {
        task->params.Rename.Flags = request.flags;
        task->targetPath = VolumeRelativePath(request.target);
        task->Bind();
    }
    {
        std::lock_guard<std::mutex> lock(connection->mutex);
        Pending pending;
        pending.kind = isDelete ? PendingKind::Delete : PendingKind::Rename;
        pending.requestKey = task->info.RequestKey.QuadPart;
        pending.waiters.push_back(client);
        pending.deadline = Clock::now() + connection->timeout;
        connection->pending.emplace(transferKey, std::move(pending));
    }
    if (!Submit(connection, task)) {
        std::lock_guard<std::mutex> lock(connection->mutex);
        auto found = connection->pending.find(transferKey);
        if (found != connection->pending.end()) {
            Finish(found->second, ERROR_CLOUD_FILE_PROVIDER_TERMINATED);
            connection->pending.erase(found);
        }
    }
}

// A request is for this provider only when it names the root or a file below it, in the canonical form clients
// send. Anything else (a path elsewhere, a ".." step) is no file of this root and gets no callback.
bool IsBelowRoot(const std::string& root, const std::string& path) {
    if (path.compare(0, root.size(), root) != 0) return false;
    if (path.size() > root.size() && root != "/" && path[root.size()] != '/') return false;
    for (size_t at = root.size(); at < path.size();) {
        const size_t start = path[at] == '/' ? at + 1 : at;
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::string_view step(path.data() + start, end - start);
        if (step == "." || step == "..") return false;
        at = end;
    }
    return true;
}

void HandleRequest(const std::shared_ptr<Connection>& connection, int client, int pid, const Request& request) {
    if (request.kind != RequestKind::Ping && !IsBelowRoot(connection->root, request.path)) {
        close(client);  // the sender sees the provider go away without an answer
        return;
    }
    switch (request.kind) {
        case RequestKind::Fetch:
            StartFetch(connection, client, pid, request);
            return;
        case RequestKind::Delete:
        case RequestKind::Rename:
            StartNotification(connection, client, pid, request);
            return;
        case RequestKind::Close: {
            close(client);  // the closing process does not wait
            if (connection->callbacks[CF_CALLBACK_TYPE_NOTIFY_FILE_CLOSE_COMPLETION] == nullptr) return;
            std::shared_ptr<CallbackTask> task =
                MakeTask(connection, CF_CALLBACK_TYPE_NOTIFY_FILE_CLOSE_COMPLETION, request.path, -1, pid);
            struct stat st;
            if (lstat(request.path.c_str(), &st) != 0) {
                task->params.CloseCompletion.Flags = CF_CALLBACK_CLOSE_COMPLETION_FLAG_DELETED;
            }
            Submit(connection, task);
            return;
        }
        case RequestKind::Ping:
            close(client);
            return;
    }
    close(client);
}

// Fails the requests whose time ran out; a fetch also tells the provider through CANCEL_FETCH_DATA.
void ExpireRequests(const std::shared_ptr<Connection>& connection) {
    std::vector<std::shared_ptr<CallbackTask>> cancels;
    {
        std::lock_guard<std::mutex> lock(connection->mutex);
        Clock::time_point now = Clock::now();
        for (auto it = connection->pending.begin(); it != connection->pending.end();) {
            Pending& pending = it->second;
            if (pending.deadline > now) {
                ++it;
                continue;
            }
            if (pending.kind == PendingKind::Fetch &&
                connection->callbacks[CF_CALLBACK_TYPE_CANCEL_FETCH_DATA] != nullptr) {
                auto cancel = std::make_shared<CallbackTask>(*pending.task);
                cancel->callback = connection->callbacks[CF_CALLBACK_TYPE_CANCEL_FETCH_DATA];
                std::memset(&cancel->params, 0, sizeof(cancel->params));
                cancel->params.ParamSize = sizeof(CF_CALLBACK_PARAMETERS);
                cancel->params.Cancel.Flags = CF_CALLBACK_CANCEL_FLAG_IO_TIMEOUT;
                cancel->params.Cancel.FetchData.FileOffset.QuadPart = 0;
                cancel->params.Cancel.FetchData.Length.QuadPart = pending.size;
                cancel->Bind();
                cancels.push_back(cancel);
            }
            Finish(pending, ERROR_CLOUD_FILE_REQUEST_TIMEOUT);
            it = connection->pending.erase(it);
        }
    }
    for (const auto& cancel : cancels) Submit(connection, cancel);
}

int NextTimeoutMs(const std::shared_ptr<Connection>& connection) {
    std::lock_guard<std::mutex> lock(connection->mutex);
    if (connection->pending.empty()) return -1;
    Clock::time_point earliest = Clock::time_point::max();
    for (const auto& entry : connection->pending) earliest = std::min(earliest, entry.second.deadline);
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(earliest - Clock::now()).count() + 1;
    return wait < 0 ? 0 : static_cast<int>(std::min<long long>(wait, 60 * 60 * 1000));
}

// The root's channel name is bound already, by the process `pid` of `uid` (pid < 0: nobody listens on it). By a
// provider of the root's owner (or the superuser) the root is connected; anyone else squats on it, and connecting is
// refused as access to the root denied, naming the squatter.
HRESULT ChannelTaken(const std::string& root, int pid, uid_t uid) {
    if (pid >= 0 && MayServe(root, uid)) return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_ALREADY_CONNECTED);
    if (pid < 0) {
        std::fprintf(stderr, "cfemu: %s: cannot connect: the sync root's channel is bound by a process that does not "
                             "listen on it\n", root.c_str());
    } else {
        std::fprintf(stderr, "cfemu: %s: cannot connect: the sync root's channel is held by process %d of user %s, "
                             "which does not own the root\n", root.c_str(), pid, DescribeUser(uid).c_str());
    }
    return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
}

struct Client {
    int fd;
    int pid;
    uid_t uid;
};

// The requester the callbacks name: the sender, or the application a FUSE daemon acts for. The claim is believed
// only when that process belongs to the sender's user or the sender is the superuser, who could act as anyone.
int RequestingProcess(const Client& client, const Request& request) {
    if (request.actingPid <= 0 || request.actingPid == client.pid) return client.pid;
    if (client.uid == 0) return request.actingPid;
    char path[32];
    std::snprintf(path, sizeof(path), "/proc/%d", static_cast<int>(request.actingPid));
    struct stat st;
    return stat(path, &st) == 0 && st.st_uid == client.uid ? request.actingPid : client.pid;
}

void ListenerLoop(std::shared_ptr<Connection> connection) {
    std::vector<Client> clients;  // accepted, request not read yet
    std::vector<BYTE> buffer(64 * 1024);
    for (;;) {
        std::vector<pollfd> fds;
        fds.push_back({connection->wakeRead, POLLIN, 0});
        fds.push_back({connection->listenFd, POLLIN, 0});
        for (const Client& client : clients) fds.push_back({client.fd, POLLIN, 0});
        int ready = poll(fds.data(), fds.size(), NextTimeoutMs(connection));
        if (ready < 0 && errno != EINTR) break;
        if (ready > 0 && fds[0].revents != 0) break;
        std::vector<Client> waiting;
        for (size_t i = 0; ready > 0 && i < clients.size(); ++i) {
            const Client& client = clients[i];
            if (fds[i + 2].revents == 0) {
                waiting.push_back(client);
                continue;
            }
            ssize_t got = recv(client.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
                waiting.push_back(client);
                continue;
            }
            Request request;
            if (got <= 0 || !DecodeRequest(buffer.data(), static_cast<size_t>(got), &request)) {
                close(client.fd);
                continue;
            }
            HandleRequest(connection, client.fd, RequestingProcess(client, request), request);
        }
        if (ready > 0) clients.swap(waiting);
        if (ready > 0 && (fds[1].revents & POLLIN) != 0) {
            for (;;) {
                int fd = accept4(connection->listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (fd < 0) break;
                // The socket is abstract, so no file permission guards it: only processes of the provider's
                // own user (and the superuser) may ask it for anything.
                ucred credentials{};
                socklen_t size = sizeof(credentials);
                if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
                    (credentials.uid != geteuid() && credentials.uid != 0)) {
                    close(fd);
                    continue;
                }
                clients.push_back({fd, credentials.pid, credentials.uid});
            }
        }
        ExpireRequests(connection);
    }
    for (const Client& client : clients) close(client.fd);
    close(connection->listenFd);  // frees the socket name: from here on the root has no provider
    connection->listenFd = -1;
}

HRESULT ExecuteTransfer(Connection& connection, Pending& pending, LONGLONG transferKey,
                        const CF_OPERATION_PARAMETERS& params) {
    NTSTATUS status = params.TransferData.CompletionStatus;
    if (status < 0) {
        Finish(pending, Win32ErrorFromCloudStatus(status));
        connection.pending.erase(transferKey);
        return S_OK;
    }
    LONGLONG offset = params.TransferData.Offset.QuadPart;
    LONGLONG length = params.TransferData.Length.QuadPart;
    if (offset < 0 || length < 0 || offset % 4096 != 0 || length > LLONG_MAX - offset) return E_INVALIDARG;
    if (length % 4096 != 0 && offset + length < pending.size) return E_INVALIDARG;
    if (length > 0 && params.TransferData.Buffer == nullptr) return E_INVALIDARG;
    // Bytes past the end of the file are accepted and dropped: the placeholder keeps its size.
    LONGLONG end = std::min(offset + length, pending.size);
    const BYTE* data = static_cast<const BYTE*>(params.TransferData.Buffer);
    for (LONGLONG at = offset; at < end;) {
        ssize_t written = pwrite(pending.fd, data + (at - offset), static_cast<size_t>(end - at), at);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            (void)futimens(pending.fd, pending.times);
            return HRESULT_FROM_WIN32(posix::Win32ErrorFromErrno(written < 0 ? errno : ENOSPC));
        }
        at += written;
    }
    // Hydration never changes the placeholder's times. They are put back after every piece, not only at the
    // end, so a provider that dies halfway leaves them as they were.
    if (end > offset) (void)futimens(pending.fd, pending.times);
    // Any valid answer restarts the clock of every request the provider holds.
    Clock::time_point deadline = Clock::now() + connection.timeout;
    for (auto& entry : connection.pending) entry.second.deadline = deadline;
    if (!AddCovered(pending, offset, offset + length)) return S_OK;
    PlaceholderState state;
    if (ReadState(pending.fd, &state)) {
        state.flags |= kStateHydrated;
        int error = WriteState(pending.fd, state);
        if (error != 0) {
            Finish(pending, posix::Win32ErrorFromErrno(error));
            connection.pending.erase(transferKey);
            return S_OK;
        }
    }
    Finish(pending, ERROR_SUCCESS);
    connection.pending.erase(transferKey);
    return S_OK;
}

}  // namespace

HRESULT ConnectRoot(const std::string& root, const RootRecord& record, const CF_CALLBACK_REGISTRATION* table,
                    LPCVOID context, CF_CONNECT_FLAGS flags, CF_CONNECTION_KEY* key) {
    auto connection = std::make_shared<Connection>();
    size_t entries = 0;
    for (; entries < kMaxCallbackTableEntries && table[entries].Type != CF_CALLBACK_TYPE_NONE; ++entries) {
        if (table[entries].Type > kLastCallbackType || table[entries].Callback == nullptr) return E_INVALIDARG;
        connection->callbacks[table[entries].Type] = table[entries].Callback;
    }
    if (entries == kMaxCallbackTableEntries) return E_INVALIDARG;  // no CF_CALLBACK_TYPE_NONE terminator

    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return HRESULT_FROM_WIN32(posix::Win32ErrorFromErrno(errno));
    std::string name = SocketName(root);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.data(), name.size());
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    // Binding the root's name is the one atomic step that makes this the only provider, across processes. A name
    // bound by nobody who listens may be a provider between its bind and listen, or ending: asked again shortly.
    for (int attempt = 0; bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0; ++attempt) {
        int error = errno;
        int pid = -1;
        uid_t uid = 0;
        if (error != EADDRINUSE || attempt == 3 || ChannelHolder(root, &pid, &uid)) {
            close(fd);
            if (error == EADDRINUSE) return ChannelTaken(root, pid, uid);
            return HRESULT_FROM_WIN32(posix::Win32ErrorFromErrno(error));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    int wake[2];
    if (listen(fd, SOMAXCONN) != 0 || pipe2(wake, O_CLOEXEC) != 0) {
        int error = errno;
        close(fd);
        return HRESULT_FROM_WIN32(posix::Win32ErrorFromErrno(error));
    }
    connection->root = root;
    connection->record = record;
    connection->context = const_cast<LPVOID>(context);
    connection->flags = flags;
    connection->timeout = std::chrono::milliseconds(RequestTimeoutMs());
    connection->listenFd = fd;
    connection->wakeRead = wake[0];
    connection->wakeWrite = wake[1];
    struct stat st;
    if (stat(root.c_str(), &st) == 0) {
        connection->volumeSerial = static_cast<DWORD>(st.st_dev);
        connection->rootFileId = static_cast<LONGLONG>(st.st_ino);
    }
    wchar_t guid[64];
    std::swprintf(guid, 64, L"\\\\?\\Volume{%08x-0000-0000-0000-000000000000}\\",
                  static_cast<unsigned>(connection->volumeSerial));
    connection->volumeGuidName = guid;
    {
        Registry& registry = Connections();
        std::lock_guard<std::mutex> lock(registry.mutex);
        connection->key = registry.nextKey++;
        registry.byKey[connection->key] = connection;
    }
    connection->pool.Start(kMinimumPoolThreads);
    connection->listener = std::thread(ListenerLoop, connection);
    key->Internal = connection->key;
    return S_OK;
}

HRESULT DisconnectRoot(CF_CONNECTION_KEY key) {
    std::shared_ptr<Connection> connection;
    {
        Registry& registry = Connections();
        std::lock_guard<std::mutex> lock(registry.mutex);
        auto found = registry.byKey.find(key.Internal);
        if (found == registry.byKey.end()) return E_INVALIDARG;
        connection = found->second;
        registry.byKey.erase(found);
    }
    char wake = 'x';
    (void)write(connection->wakeWrite, &wake, 1);
    if (connection->listener.joinable()) connection->listener.join();
    // From here no request can arrive; tasks not started yet are dropped, so no callback begins after this.
    connection->pool.Stop();
    {
        std::lock_guard<std::mutex> lock(connection->mutex);
        for (auto& entry : connection->pending) Finish(entry.second, ERROR_CLOUD_FILE_PROVIDER_TERMINATED);
        connection->pending.clear();
    }
    close(connection->wakeRead);
    close(connection->wakeWrite);
    // Callbacks already running may finish (their answers now get ERROR_CLOUD_FILE_REQUEST_CANCELED); once
    // this returns the provider may free what they use. One that never returns is not waited for beyond the
    // request timeout.
    connection->pool.WaitForRunning(connection->timeout);
    return S_OK;
}

HRESULT ExecuteOperation(const CF_OPERATION_INFO* info, CF_OPERATION_PARAMETERS* params) {
    if (info == nullptr || params == nullptr || info->StructSize != sizeof(CF_OPERATION_INFO)) return E_INVALIDARG;
    size_t member = 0;
    PendingKind kind = PendingKind::Fetch;
    switch (info->Type) {
        case CF_OPERATION_TYPE_TRANSFER_DATA:
            member = sizeof(params->TransferData);
            break;
        case CF_OPERATION_TYPE_ACK_DELETE:
            member = sizeof(params->AckDelete);
            kind = PendingKind::Delete;
            break;
        case CF_OPERATION_TYPE_ACK_RENAME:
            member = sizeof(params->AckRename);
            kind = PendingKind::Rename;
            break;
        default:
            return E_INVALIDARG;  // operations no request of this filter waits for
    }
    // Exactly the union's offset plus the member used: the size Windows documents and every working provider
    // passes. Whether Windows refuses the whole structure's 48 is unverified, so it is refused here.
    if (params->ParamSize != offsetof(CF_OPERATION_PARAMETERS, TransferData) + member) return E_INVALIDARG;
    const HRESULT canceled = HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_REQUEST_CANCELED);
    std::shared_ptr<Connection> connection = FindConnection(info->ConnectionKey.Internal);
    if (connection == nullptr) return canceled;
    std::lock_guard<std::mutex> lock(connection->mutex);
    LONGLONG transferKey = info->TransferKey.QuadPart;
    auto found = connection->pending.find(transferKey);
    if (found == connection->pending.end()) return canceled;
    Pending& pending = found->second;
    if (pending.kind != kind) return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_INVALID_REQUEST);
    // The callback's request key goes back as it came; 0 (the default key) is accepted as well.
    if (info->RequestKey.QuadPart != 0 && info->RequestKey.QuadPart != pending.requestKey) return E_INVALIDARG;
    if (kind == PendingKind::Fetch) return ExecuteTransfer(*connection, pending, transferKey, *params);
    NTSTATUS status =
        kind == PendingKind::Delete ? params->AckDelete.CompletionStatus : params->AckRename.CompletionStatus;
    Clock::time_point deadline = Clock::now() + connection->timeout;
    for (auto& entry : connection->pending) entry.second.deadline = deadline;
    Finish(pending, status < 0 ? Win32ErrorFromCloudStatus(status) : ERROR_SUCCESS);
    connection->pending.erase(found);
    return S_OK;
}

bool ConnectedHere(const std::string& root) {
    Registry& registry = Connections();
    std::lock_guard<std::mutex> lock(registry.mutex);
    for (const auto& entry : registry.byKey) {
        if (entry.second->root == root) return true;
    }
    return false;
}

bool OnCallbackThread() { return t_callbackThread; }

}  // namespace cfemu
