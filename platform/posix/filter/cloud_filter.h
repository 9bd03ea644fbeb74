// cloud_filter.h - the emulated Cloud Files filter's pieces shared by its source files, cfemu and its tests.
// Not seen by the program, which knows only syncroot/cloud_files.h.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/posix/win32/posix_handle.h"
#include "syncroot/cloud_files.h"

namespace cfemu {

// Extended attributes: the registration of a sync-root directory, and a placeholder's record: its 18 bytes of
// state followed by its identity blob, in one attribute so that a small record stays inside the inode.
// Placeholders of earlier builds keep the identity apart, in kIdentityAttribute; they are still read.
inline constexpr char kRootAttribute[] = "user.cfemu.root";
inline constexpr char kStateAttribute[] = "user.cfemu.ph";
inline constexpr char kIdentityAttribute[] = "user.cfemu.id";

// Win32 codes win32.h does not carry.
inline constexpr DWORD kErrorMoreData = 234;
inline constexpr DWORD kErrorCloudFileMetadataTooLarge = 364;
inline constexpr DWORD kErrorNotACloudFile = 376;
inline constexpr DWORD kErrorCloudFileAccessDenied = 395;
inline constexpr DWORD kErrorCloudFileDehydrationDisallowed = 434;

// ---- Registration record (cloud_filter_store.cpp) ----
struct RootRecord {
    std::string providerName;     // UTF-8
    std::string providerVersion;  // UTF-8
    GUID providerId{};
    CF_SYNC_POLICIES policies{};
    CF_REGISTER_FLAGS registerFlags = 0;
    std::vector<BYTE> syncRootIdentity;
    std::vector<BYTE> fileIdentity;
};

std::vector<BYTE> EncodeRootRecord(const RootRecord& record);
bool DecodeRootRecord(const std::vector<BYTE>& bytes, RootRecord* record);
// The registration stored on `directory` itself; false when there is none.
bool ReadRootRecord(const std::string& directory, RootRecord* record);
// The registered sync root that holds `canonicalPath` (the path itself or its nearest registered ancestor).
bool FindSyncRoot(const std::string& canonicalPath, std::string* root, RootRecord* record);

// ---- Placeholder state (cloud_filter_store.cpp) ----
enum PlaceholderFlags : uint8_t {
    kStateHydrated = 0x1,  // the data is on disk (directories: populated)
    kStateInSync = 0x2,    // unchanged since created or last marked in sync
    kStateDirectory = 0x4,
    kStateAlwaysFull = 0x8,  // created with CF_PLACEHOLDER_CREATE_FLAG_ALWAYS_FULL: never dehydrated
};

struct PlaceholderState {
    uint8_t flags = 0;
    // UNSPECIFIED, PINNED, UNPINNED or EXCLUDED (INHERIT is never stored): kept in the two bits above the flags.
    CF_PIN_STATE pin = CF_PIN_STATE_UNSPECIFIED;
    ULONGLONG creationTicks = 0;  // FILETIME ticks; POSIX has no settable creation time
    ULONGLONG changeTicks = 0;    // FILETIME ticks; POSIX ctime cannot be set
};

// Both return false when the file carries no placeholder state (or the file system has no attributes).
bool ReadState(int fd, PlaceholderState* state);
bool ReadStateAt(const std::string& posixPath, PlaceholderState* state);
// A new placeholder's whole record, state and identity in one write. Returns 0 or the errno of the failure.
int WritePlaceholderRecord(int fd, const PlaceholderState& state, const BYTE* identity, size_t identityLength);
// Updates the state of an existing record, keeping its identity. Returns 0 or the errno of the failed write.
int WriteState(int fd, const PlaceholderState& state);
// Gives back every data block of a file of `size` bytes; size, times aside, stay. 0 or the errno.
int DropData(int fd, LONGLONG size);
bool ReadIdentity(int fd, std::vector<BYTE>* identity);
bool ReadIdentityAt(const std::string& posixPath, std::vector<BYTE>* identity);

// The absolute path with symbolic links and dots resolved; a path that does not exist yet keeps its last
// component below its resolved parent. Empty when not even the parent resolves.
std::string CanonicalPath(const std::string& absolutePath);
// "\\dir\\file" for "/dir/file": the volume-relative form callbacks carry (volume Z:).
std::wstring VolumeRelativePath(const std::string& posixPath);
// NTSTATUS of a failed transfer or acknowledgement to the Win32 code the waiting operation fails with.
DWORD Win32ErrorFromCloudStatus(NTSTATUS status);
// The request timeout: CFEMU_REQUEST_TIMEOUT_MS when set to a positive number, else 60 s.
int RequestTimeoutMs();

// ---- Requests from any process to the connected provider (cloud_filter_channel.cpp) ----
enum class RequestKind : uint32_t { Fetch = 1, Close = 2, Delete = 3, Rename = 4, Ping = 5 };

// In Request::flags, beside the callback's own flags: the sender waits for the answer on a callback thread of its
// process. A provider's own such request goes ahead of others in its callback pool (see callback_pool.h).
inline constexpr uint32_t kRequestFromCallback = 0x80000000u;

struct Request {
    RequestKind kind = RequestKind::Ping;
    uint32_t flags = 0;  // callback flags: FETCH_DATA explicit hydration, delete/rename flags; kRequestFromCallback
    std::string path;    // canonical POSIX path of the file
    std::string target;  // rename: canonical POSIX path of the target
    int32_t actingPid = 0;  // the application the sender acts for (a FUSE daemon's caller); 0: the sender itself
};

// The process this thread's requests are made for. The FUSE daemon of `cfemu mount` sets it around each operation
// to the program that asked, so the provider sees that program as the requester, as on Windows; 0 (the default)
// names the sending process itself. SendToProvider carries it in every request.
void SetActingProcess(int pid);

// The abstract-namespace socket name of the provider of `canonicalRoot` (leading NUL included).
std::string SocketName(const std::string& canonicalRoot);
std::vector<BYTE> EncodeRequest(const Request& request);
bool DecodeRequest(const BYTE* bytes, size_t size, Request* request);
// Sends `request` to the provider of `root`. With `wait`, blocks until the provider answers and returns its
// Win32 code; without, returns once sent. ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING when nobody listens,
// ERROR_CLOUD_FILE_PROVIDER_TERMINATED when the provider goes away before answering.
DWORD SendToProvider(const std::string& root, const Request& request, bool wait);
// True when a provider listens for `root`; its process id through *pid when not null.
bool ProbeProvider(const std::string& root, int* pid);

// ---- The provider side of a connection (provider_connection.cpp; ExecuteOperation in request_completion.cpp) ----
HRESULT ConnectRoot(const std::string& root, const RootRecord& record, const CF_CALLBACK_REGISTRATION* table,
                    LPCVOID context, CF_CONNECT_FLAGS flags, CF_CONNECTION_KEY* key);
HRESULT DisconnectRoot(CF_CONNECTION_KEY key);
HRESULT ExecuteOperation(const CF_OPERATION_INFO* info, CF_OPERATION_PARAMETERS* params);
// True when this process holds the connection of `root`.
bool ConnectedHere(const std::string& root);
// How this process's connection stands now, for the filter's tests.
struct ConnectionCounts {
    int threads = 0;  // of its callback pool
    int running = 0;  // callbacks running
    int queued = 0;   // callbacks waiting for a thread
    int held = 0;     // requests held (fetches, deletes, renames)
    int readers = 0;  // processes waiting for the held fetches
};
// False when this process holds no connection `key`.
bool ConnectionNow(CF_CONNECTION_KEY key, ConnectionCounts* counts);

}  // namespace cfemu

namespace cfemu {

// ---- Who may serve a root (cloud_filter_channel.cpp) ----
// True when a process of `uid` may be the provider of `root`: the sync-root directory's owner, or the superuser.
bool MayServe(const std::string& root, uid_t uid);
// "name (uid N)", or "? (uid N)" for a user the system cannot name.
std::string DescribeUser(uid_t uid);
// The process and user listening on the channel of `root`, whoever it is; false when nobody listens. Sends nothing.
bool ChannelHolder(const std::string& root, int* pid, uid_t* uid);

}  // namespace cfemu
