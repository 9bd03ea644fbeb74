// provider_listener.cpp - the provider's listener thread on the root's socket: it takes requests from processes of
// the provider's user, keeps to paths below the root, and starts the fetch, delete, rename or close callback asked.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string_view>

#include "platform/posix/filter/cloud_filter.h"
#include "platform/posix/filter/provider_internal.h"

namespace cfemu {
namespace {

std::atomic<LONGLONG> g_nextTransferKey{0x10001};
// Request keys differ from transfer keys, so a provider that confuses the two is caught.
constexpr LONGLONG kRequestKeyBase = 0x7E0000000000LL;

// `priority` is Urgent when a callback of this provider waits for the answer (a nested fetch).
void StartFetch(const std::shared_ptr<Connection>& connection, int client, int pid, const Request& request,
                TaskPriority priority) {
    if (connection->callbacks[CF_CALLBACK_TYPE_FETCH_DATA] == nullptr) {
        Reply(client, ERROR_CLOUD_FILE_NOT_SUPPORTED);
        return;
    }
    int fd = open(posix::SysPath(request.path).c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
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
                fd = -1;
                // A callback waits on it now: when it still waits for a thread it goes first (queued once more, it
                // runs once).
                if (priority == TaskPriority::Urgent && !other.task->started) task = other.task;
                break;
            }
        }
        if (fd < 0 && task == nullptr) return;
        if (fd >= 0) {
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
            task->held = true;
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
    }
    if (!Submit(connection, task, priority)) {
        std::lock_guard<std::mutex> lock(connection->mutex);
        auto found = connection->pending.find(task->info.TransferKey.QuadPart);
        if (found != connection->pending.end()) {
            Finish(found->second, ERROR_CLOUD_FILE_PROVIDER_TERMINATED);
            connection->pending.erase(found);
        }
    }
}

void StartNotification(const std::shared_ptr<Connection>& connection, int client, int pid, const Request& request,
                       TaskPriority priority) {
    bool isDelete = request.kind == RequestKind::Delete;
    CF_CALLBACK_TYPE type = isDelete ? CF_CALLBACK_TYPE_NOTIFY_DELETE : CF_CALLBACK_TYPE_NOTIFY_RENAME;
    if (connection->callbacks[type] == nullptr) {
        Reply(client, ERROR_SUCCESS);  // the provider did not ask to be told: the operation goes ahead
        return;
    }
    std::shared_ptr<CallbackTask> task = MakeTask(connection, type, request.path, -1, pid);
    task->held = true;
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
        pending.task = task;
        connection->pending.emplace(transferKey, std::move(pending));
    }
    if (!Submit(connection, task, priority)) {
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

void HandleRequest(const std::shared_ptr<Connection>& connection, int client, int pid, const Request& request,
                   TaskPriority priority) {
    if (request.kind != RequestKind::Ping && !IsBelowRoot(connection->root, request.path)) {
        close(client);  // the sender sees the provider go away without an answer
        return;
    }
    switch (request.kind) {
        case RequestKind::Fetch:
            StartFetch(connection, client, pid, request, priority);
            return;
        case RequestKind::Delete:
        case RequestKind::Rename:
            StartNotification(connection, client, pid, request, priority);
            return;
        case RequestKind::Close: {
            close(client);  // the closing process does not wait
            if (connection->callbacks[CF_CALLBACK_TYPE_NOTIFY_FILE_CLOSE_COMPLETION] == nullptr) return;
            struct stat st;
            const bool deleted = (request.flags & CF_CALLBACK_CLOSE_COMPLETION_FLAG_DELETED) != 0 ||
                                 lstat(posix::SysPath(request.path).c_str(), &st) != 0;
            std::shared_ptr<CallbackTask> task =
                MakeTask(connection, CF_CALLBACK_TYPE_NOTIFY_FILE_CLOSE_COMPLETION, request.path, -1, pid, !deleted);
            if (deleted) task->params.CloseCompletion.Flags = CF_CALLBACK_CLOSE_COMPLETION_FLAG_DELETED;
            Submit(connection, task);
            return;
        }
        case RequestKind::Ping:
            close(client);
            return;
    }
    close(client);
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

}  // namespace

// How long the listener waits before it asks the system again for the threads waiting callbacks lack.
constexpr int kThreadRetryMs = 100;

void ListenerLoop(std::shared_ptr<Connection> connection) {
    std::vector<Client> clients;  // accepted, request not read yet
    std::vector<BYTE> buffer(64 * 1024);
    bool starved = false;  // callbacks wait for threads the system refused
    for (;;) {
        std::vector<pollfd> fds;
        fds.push_back({connection->wakeRead, POLLIN, 0});
        fds.push_back({connection->listenFd, POLLIN, 0});
        for (const Client& client : clients) fds.push_back({client.fd, POLLIN, 0});
        // The readers a fetch holds: one that goes away (its process ended) is told by its socket's hang-up.
        std::vector<LONGLONG> readerOf;  // the fetch of each reader's entry in `fds`
        {
            std::lock_guard<std::mutex> lock(connection->mutex);
            for (const auto& entry : connection->pending) {
                if (entry.second.kind != PendingKind::Fetch) continue;
                for (int waiter : entry.second.waiters) {
                    fds.push_back({waiter, POLLRDHUP, 0});
                    readerOf.push_back(entry.first);
                }
            }
        }
        int timeout = NextTimeoutMs(connection);
        if (starved && (timeout < 0 || timeout > kThreadRetryMs)) timeout = kThreadRetryMs;
        int ready = poll(fds.data(), fds.size(), timeout);
        if (ready < 0 && errno != EINTR) break;
        if (ready > 0 && fds[0].revents != 0) break;
        const size_t firstReader = 2 + clients.size();
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
            // Only the provider's own process has callback threads of this pool waiting on an answer.
            const bool nested = (request.flags & kRequestFromCallback) != 0 && client.pid == getpid();
            request.flags &= ~kRequestFromCallback;
            HandleRequest(connection, client.fd, RequestingProcess(client, request), request,
                          nested ? TaskPriority::Urgent : TaskPriority::Ordinary);
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
        std::vector<std::shared_ptr<CallbackTask>> cancels;
        for (size_t i = firstReader; ready > 0 && i < fds.size(); ++i) {
            if ((fds[i].revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0) continue;
            std::lock_guard<std::mutex> lock(connection->mutex);
            // Still this fetch's reader? (Only the holder of the mutex closes a reader's socket, and only with its
            // fetch ended, so a socket still listed is the one polled.)
            auto found = connection->pending.find(readerOf[i - firstReader]);
            if (found == connection->pending.end()) continue;
            std::vector<int>& waiters = found->second.waiters;
            auto reader = std::find(waiters.begin(), waiters.end(), fds[i].fd);
            if (reader == waiters.end()) continue;
            close(*reader);
            waiters.erase(reader);
            // The fetch goes on while another reader shares it; with none left nobody wants the data any more.
            if (!waiters.empty()) continue;
            std::shared_ptr<CallbackTask> cancel = AbandonFetch(*connection, found->first);
            if (cancel != nullptr) cancels.push_back(cancel);
        }
        for (const auto& cancel : cancels) Submit(connection, cancel, TaskPriority::Urgent);
        ExpireRequests(connection);
        starved = connection->pool.Replenish();
    }
    for (const Client& client : clients) close(client.fd);
    close(connection->listenFd);  // frees the socket name: from here on the root has no provider
    connection->listenFd = -1;
}

}  // namespace cfemu
