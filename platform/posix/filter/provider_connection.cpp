// provider_connection.cpp - connecting a provider (binding the root's socket name, the one step that makes it the
// only one) and disconnecting it in order; the connections of this process by key.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <system_error>

#include "platform/posix/filter/cloud_filter.h"
#include "platform/posix/filter/provider_internal.h"

namespace cfemu {
namespace {

constexpr size_t kMaxCallbackTableEntries = 64;

struct Registry {
    std::mutex mutex;  // guards both members
    std::map<LONGLONG, std::shared_ptr<Connection>> byKey;
    LONGLONG nextKey = 0x5A000001;
};

Registry& Connections() {
    static Registry* registry = new Registry;  // never destroyed: callbacks may run while the process exits
    return *registry;
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

}  // namespace

std::shared_ptr<Connection> FindConnection(LONGLONG key) {
    Registry& registry = Connections();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto found = registry.byKey.find(key);
    return found == registry.byKey.end() ? nullptr : found->second;
}

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
    if (stat(posix::SysPath(root).c_str(), &st) == 0) {
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
    connection->pool.Start(kMinimumPoolThreads, kMaximumPoolThreads);
    try {
        connection->listener = std::thread(ListenerLoop, connection);
    } catch (const std::system_error&) {
        // The system gives the process no more threads: the connection cannot listen, and is refused as Windows
        // refuses what it has no memory for.
        {
            Registry& registry = Connections();
            std::lock_guard<std::mutex> lock(registry.mutex);
            registry.byKey.erase(connection->key);
        }
        connection->pool.Stop();
        close(connection->listenFd);
        close(connection->wakeRead);
        close(connection->wakeWrite);
        return HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY);
    }
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

bool ConnectedHere(const std::string& root) {
    Registry& registry = Connections();
    std::lock_guard<std::mutex> lock(registry.mutex);
    for (const auto& entry : registry.byKey) {
        if (entry.second->root == root) return true;
    }
    return false;
}

bool ConnectionNow(CF_CONNECTION_KEY key, ConnectionCounts* counts) {
    std::shared_ptr<Connection> connection = FindConnection(key.Internal);
    if (connection == nullptr) return false;
    const CallbackPool::Counts pool = connection->pool.Now();
    *counts = ConnectionCounts{};
    counts->threads = pool.threads;
    counts->running = pool.running;
    counts->queued = pool.queued;
    std::lock_guard<std::mutex> lock(connection->mutex);
    counts->held = static_cast<int>(connection->pending.size());
    for (const auto& entry : connection->pending) {
        if (entry.second.kind == PendingKind::Fetch) counts->readers += static_cast<int>(entry.second.waiters.size());
    }
    return true;
}

}  // namespace cfemu
