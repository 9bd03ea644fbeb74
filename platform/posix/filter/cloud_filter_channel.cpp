// cloud_filter_channel.cpp - how any process reaches the provider connected to a sync root: one Unix-domain
// socket per root in the abstract namespace, one short connection per request, one 4-byte answer.
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>

#include "platform/posix/filter/cloud_filter.h"
#include "platform/posix/filter/filter_hooks.h"

namespace cfemu {
namespace {

constexpr uint32_t kRequestMagic = 0x51524643;  // "CFRQ"
constexpr size_t kHeaderSize = 24;

thread_local int t_actingPid = 0;

uint64_t Fnv1a(const std::string& text, uint64_t seed) {
    uint64_t hash = seed;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 0x100000001B3ULL;
    }
    return hash;
}

void PutU32(BYTE* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<BYTE>(value >> (8 * i));
}

uint32_t GetU32(const BYTE* in) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(in[i]) << (8 * i);
    return value;
}

// A socket whose connect was refused can try again. One is kept per thread, so asking a root nobody serves
// (placeholder creation asks on every call) costs one connect, not a socket, a connect and a close.
class SpareSocket {
  public:
    ~SpareSocket() {
        if (fd_ >= 0) close(fd_);
    }
    int Take() {
        int fd = fd_;
        fd_ = -1;
        return fd >= 0 ? fd : socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    }
    void Keep(int fd) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

thread_local SpareSocket t_spareSocket;

// Connects to the provider of `root`; -1 with *error set when nobody listens or the socket fails.
int ConnectToProvider(const std::string& root, DWORD* error) {
    int fd = t_spareSocket.Take();
    if (fd < 0) {
        *error = posix::Win32ErrorFromErrno(errno);
        return -1;
    }
    std::string name = SocketName(root);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.data(), name.size());
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    int rc;
    do {
        rc = connect(fd, reinterpret_cast<sockaddr*>(&address), length);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        *error = ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING;
        // Refused (nobody listens) or no such name: the socket is still unconnected and may try again.
        if (errno == ECONNREFUSED || errno == ENOENT) {
            t_spareSocket.Keep(fd);
        } else {
            close(fd);
        }
        return -1;
    }
    return fd;
}

// Who listens at the other end of a connected channel socket (the process that called listen()).
bool PeerOf(int fd, int* pid, uid_t* uid) {
    ucred credentials{};
    socklen_t size = sizeof(credentials);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) return false;
    *pid = credentials.pid;
    *uid = credentials.uid;
    return true;
}

// Anyone may bind any free abstract name, so the listener is checked before a single byte goes to it: a process of
// another user gets nothing, and the requester is told once per listener who squats on the root's channel.
int ConnectToServingProvider(const std::string& root, DWORD* error, int* providerPid = nullptr) {
    int fd = ConnectToProvider(root, error);
    if (fd < 0) return -1;
    int pid = -1;
    uid_t uid = 0;
    if (PeerOf(fd, &pid, &uid) && MayServe(root, uid)) {
        if (providerPid != nullptr) *providerPid = pid;
        return fd;
    }
    close(fd);
    *error = ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING;
    static std::mutex mutex;
    static std::set<std::string> reported;
    std::lock_guard<std::mutex> lock(mutex);
    if (reported.insert(std::to_string(pid) + ":" + root).second) {
        std::fprintf(stderr, "cfemu: %s: not asking process %d of user %s: it holds the sync root's channel but does "
                             "not own the root; its provider counts as not running\n",
                     root.c_str(), pid, DescribeUser(uid).c_str());
    }
    return -1;
}

}  // namespace

bool MayServe(const std::string& root, uid_t uid) {
    struct stat st;
    return uid == 0 || (stat(posix::SysPath(root).c_str(), &st) == 0 && st.st_uid == uid);
}

std::string DescribeUser(uid_t uid) {
    passwd entry{};
    passwd* found = nullptr;
    char buffer[4096];
    const bool named = getpwuid_r(uid, &entry, buffer, sizeof(buffer), &found) == 0 && found != nullptr;
    return (named ? std::string(entry.pw_name) : std::string("?")) + " (uid " + std::to_string(uid) + ")";
}

bool ChannelHolder(const std::string& root, int* pid, uid_t* uid) {
    DWORD error = ERROR_SUCCESS;
    int fd = ConnectToProvider(root, &error);
    if (fd < 0) return false;
    const bool known = PeerOf(fd, pid, uid);
    close(fd);  // nothing is sent: the holder sees a connection end without a request
    return known;
}

std::string SocketName(const std::string& canonicalRoot) {
    std::string name(1, '\0');
    name += "cfemu:";
    if (name.size() + canonicalRoot.size() <= sizeof(sockaddr_un::sun_path)) return name + canonicalRoot;
    // A long root path is hashed (two independent 64-bit hashes) to fit the socket address.
    char hashed[40];
    std::snprintf(hashed, sizeof(hashed), "#%016llx%016llx",
                  static_cast<unsigned long long>(Fnv1a(canonicalRoot, 0xCBF29CE484222325ULL)),
                  static_cast<unsigned long long>(Fnv1a(canonicalRoot, 0x84222325CBF29CE4ULL)));
    return name + hashed;
}

std::vector<BYTE> EncodeRequest(const Request& request) {
    std::vector<BYTE> bytes(kHeaderSize + request.path.size() + request.target.size());
    PutU32(bytes.data(), kRequestMagic);
    PutU32(bytes.data() + 4, static_cast<uint32_t>(request.kind));
    PutU32(bytes.data() + 8, request.flags);
    PutU32(bytes.data() + 12, static_cast<uint32_t>(request.path.size()));
    PutU32(bytes.data() + 16, static_cast<uint32_t>(request.target.size()));
    PutU32(bytes.data() + 20, static_cast<uint32_t>(request.actingPid));
    std::memcpy(bytes.data() + kHeaderSize, request.path.data(), request.path.size());
    std::memcpy(bytes.data() + kHeaderSize + request.path.size(), request.target.data(), request.target.size());
    return bytes;
}

bool DecodeRequest(const BYTE* bytes, size_t size, Request* request) {
    if (size < kHeaderSize || GetU32(bytes) != kRequestMagic) return false;
    uint32_t kind = GetU32(bytes + 4);
    if (kind < static_cast<uint32_t>(RequestKind::Fetch) || kind > static_cast<uint32_t>(RequestKind::Ping)) {
        return false;
    }
    size_t pathSize = GetU32(bytes + 12);
    size_t targetSize = GetU32(bytes + 16);
    if (size != kHeaderSize + pathSize + targetSize) return false;
    request->kind = static_cast<RequestKind>(kind);
    request->flags = GetU32(bytes + 8);
    request->actingPid = static_cast<int32_t>(GetU32(bytes + 20));
    request->path.assign(reinterpret_cast<const char*>(bytes) + kHeaderSize, pathSize);
    request->target.assign(reinterpret_cast<const char*>(bytes) + kHeaderSize + pathSize, targetSize);
    return true;
}

void SetActingProcess(int pid) { t_actingPid = pid > 0 ? pid : 0; }

DWORD SendToProvider(const std::string& root, const Request& request, bool wait) {
    DWORD error = ERROR_SUCCESS;
    int fd = ConnectToServingProvider(root, &error);
    if (fd < 0) return error;
    Request stamped = request;
    stamped.actingPid = t_actingPid;
    if (wait && OnCallbackThread()) stamped.flags |= kRequestFromCallback;
    std::vector<BYTE> bytes = EncodeRequest(stamped);
    ssize_t sent;
    do {
        sent = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(bytes.size())) {
        close(fd);
        return ERROR_CLOUD_FILE_PROVIDER_TERMINATED;
    }
    if (!wait) {
        close(fd);
        return ERROR_SUCCESS;
    }
    // The provider answers within its own request timeout; this longer one only guards against a provider
    // that is stopped and can run no timer at all.
    const long long safety = static_cast<long long>(RequestTimeoutMs()) * 2 + 10000;
    const int safetyMs = safety > INT_MAX ? INT_MAX : static_cast<int>(safety);
    pollfd poller{fd, POLLIN, 0};
    int ready;
    do {
        ready = poll(&poller, 1, safetyMs);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) {
        close(fd);
        return ERROR_CLOUD_FILE_REQUEST_TIMEOUT;
    }
    BYTE reply[4];
    ssize_t got;
    do {
        got = recv(fd, reply, sizeof(reply), 0);
    } while (got < 0 && errno == EINTR);
    close(fd);
    // End of stream without an answer: the provider process ended (or disconnected) with the request pending.
    if (got != static_cast<ssize_t>(sizeof(reply))) return ERROR_CLOUD_FILE_PROVIDER_TERMINATED;
    return GetU32(reply);
}

bool ProbeProvider(const std::string& root, int* pid) {
    DWORD error = ERROR_SUCCESS;
    int fd = ConnectToServingProvider(root, &error, pid);
    if (fd < 0) return false;
    Request ping;
    ping.kind = RequestKind::Ping;
    std::vector<BYTE> bytes = EncodeRequest(ping);
    (void)send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    close(fd);
    return true;
}

}  // namespace cfemu
