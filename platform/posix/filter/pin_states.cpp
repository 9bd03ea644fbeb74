// pin_states.cpp - pin states ("Always keep on this device" / "Free up space"): CfSetPinState, the attributes
// FILE_ATTRIBUTE_PINNED / FILE_ATTRIBUTE_UNPINNED set through SetFileAttributesW (attrib +P, -P, +U, -U), and the
// state a new placeholder takes from its directory.
//
// The state is kept in the placeholder's record (PlaceholderState::pin). Its change is an attribute change: the
// stand-in reports the bits in every attribute query and listing, so a directory watch with
// FILE_NOTIFY_CHANGE_ATTRIBUTES sees FILE_ACTION_MODIFIED for the file (the record's write raises IN_ATTRIB), and
// one without that bit sees nothing. No callback announces it, as on Windows.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/posix/filter/cloud_filter.h"
#include "platform/posix/filter/filter_hooks.h"
#include "platform/posix/filter/filter_internal.h"
#include "platform/posix/win32/standin_internal.h"

namespace cfemu {
namespace {

constexpr DWORD kWriteDac = 0x00040000u;
// The documented need: READ_DATA or WRITE_DAC on the placeholder. The documentation also calls an attribute-only
// handle sufficient; the stricter of the two readings is taken.
constexpr DWORD kSetPinRights = posix::kFileReadData | kWriteDac | GENERIC_READ | posix::kGenericAll;
constexpr CF_SET_PIN_FLAGS kPinFlags =
    CF_SET_PIN_FLAG_RECURSE | CF_SET_PIN_FLAG_RECURSE_ONLY | CF_SET_PIN_FLAG_RECURSE_STOP_ON_ERROR;

// Writes the state of the placeholder at `path`. A read-only file refuses a writer of its attributes on Linux (it
// does not on Windows): its owner's write bit is lent for the write and taken back.
DWORD WriteStateAt(const std::string& path, const PlaceholderState& state) {
    int fd = open(posix::SysPath(path).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return posix::Win32ErrorFromErrno(errno);
    int error = WriteState(fd, state);
    struct stat st;
    if (error == EACCES && fstat(fd, &st) == 0 && (st.st_mode & S_IWUSR) == 0 &&
        fchmod(fd, (st.st_mode & 07777) | S_IWUSR) == 0) {
        error = WriteState(fd, state);
        (void)fchmod(fd, st.st_mode & 07777);
    }
    close(fd);
    return error == 0 ? ERROR_SUCCESS : posix::Win32ErrorFromErrno(error);
}

CF_PIN_STATE PinOfParent(const std::string& path) {
    size_t slash = path.find_last_of('/');
    PlaceholderState parent;
    if (slash == std::string::npos || slash == 0 || !ReadStateAt(path.substr(0, slash), &parent)) {
        return CF_PIN_STATE_UNSPECIFIED;
    }
    return parent.pin;
}

// Sets `pin` (INHERIT: the state the move table gives) on the placeholder at `path`; with `recurse`, on everything
// below a directory too (`self` false: below it only). The first failure is returned; the walk goes on past it
// unless `stopOnError`. Parents are set before what they hold, so INHERIT below sees the new state above.
DWORD ApplyPin(const std::string& path, CF_PIN_STATE pin, bool self, bool recurse, bool stopOnError) {
    DWORD first = ERROR_SUCCESS;
    struct stat st;
    if (lstat(posix::SysPath(path).c_str(), &st) != 0) return posix::Win32ErrorFromErrno(errno);
    if (self) {
        PlaceholderState state;
        if (S_ISLNK(st.st_mode) || !ReadStateAt(path, &state)) {
            first = kErrorNotACloudFile;
        } else {
            CF_PIN_STATE wanted =
                pin == CF_PIN_STATE_INHERIT ? PinOnMove(state.pin, PinOfParent(path), S_ISDIR(st.st_mode)) : pin;
            if (wanted != state.pin) {
                state.pin = wanted;
                first = WriteStateAt(path, state);
            }
        }
        if (first != ERROR_SUCCESS && stopOnError) return first;
    }
    if (!recurse || !S_ISDIR(st.st_mode)) return first;
    std::vector<std::string> names;
    if (DIR* listing = opendir(posix::SysPath(path).c_str())) {
        while (dirent* item = readdir(listing)) {
            if (std::strcmp(item->d_name, ".") != 0 && std::strcmp(item->d_name, "..") != 0)
                names.push_back(item->d_name);
        }
        closedir(listing);
    } else {
        return first != ERROR_SUCCESS ? first : posix::Win32ErrorFromErrno(errno);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        DWORD code = ApplyPin(path + "/" + name, pin, true, true, stopOnError);
        if (code != ERROR_SUCCESS && first == ERROR_SUCCESS) first = code;
        if (code != ERROR_SUCCESS && stopOnError) break;
    }
    return first;
}

}  // namespace

// The documented inheritance table of CF_PIN_STATE: what a child's state becomes when it is moved below (or, with
// UNSPECIFIED as its own state, created in) a directory of state `parent`. An EXCLUDED parent makes every child
// EXCLUDED; a PINNED one pins all but an UNPINNED child; an UNPINNED one unpins only directories that had no
// state (or were EXCLUDED) - a file keeps UNSPECIFIED there.
CF_PIN_STATE PinOnMove(CF_PIN_STATE child, CF_PIN_STATE parent, bool directory) {
    if (parent == CF_PIN_STATE_EXCLUDED) return CF_PIN_STATE_EXCLUDED;
    if (child == CF_PIN_STATE_PINNED || child == CF_PIN_STATE_UNPINNED) return child;
    if (parent == CF_PIN_STATE_PINNED) return CF_PIN_STATE_PINNED;
    if (parent == CF_PIN_STATE_UNPINNED && directory) return CF_PIN_STATE_UNPINNED;
    return CF_PIN_STATE_UNSPECIFIED;
}

CF_PIN_STATE InheritedPin(const std::string& path, bool directory) {
    return PinOnMove(CF_PIN_STATE_UNSPECIFIED, PinOfParent(path), directory);
}

HRESULT SetPinState(HANDLE fileHandle, CF_PIN_STATE pinState, CF_SET_PIN_FLAGS pinFlags, LPOVERLAPPED overlapped) {
    posix::Handle* file = fileHandle == nullptr || fileHandle == INVALID_HANDLE_VALUE
                              ? nullptr
                              : posix::HandleOf(fileHandle, posix::HandleKind::File);
    if (file == nullptr || file->fd < 0) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
    // One of the recursion flags at most (the documentation says "one of"), and no OVERLAPPED: this emulation
    // completes every call at once.
    const bool recurse = (pinFlags & CF_SET_PIN_FLAG_RECURSE) != 0;
    const bool below = (pinFlags & CF_SET_PIN_FLAG_RECURSE_ONLY) != 0;
    if (pinState > CF_PIN_STATE_INHERIT || (pinFlags & ~kPinFlags) != 0 || (recurse && below) ||
        overlapped != nullptr) {
        return E_INVALIDARG;
    }
    if ((file->access & kSetPinRights) == 0) return HRESULT_FROM_WIN32(kErrorCloudFileAccessDenied);
    const std::string path = CurrentPath(file->fd, file->path);
    std::string root;
    if (!FindSyncRoot(path, &root, nullptr)) return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT);
    PlaceholderState state;
    if (!ReadState(file->fd, &state)) return HRESULT_FROM_WIN32(kErrorNotACloudFile);
    // "This state can only be set by the sync provider": the process holding the root's connection.
    if (pinState == CF_PIN_STATE_EXCLUDED && !ConnectedHere(root)) {
        return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_CONNECTED_PROVIDER_ONLY);
    }
    // Below a file there is nothing: what Windows does with RECURSE_ONLY on one is unverified, so it is refused.
    if (below && (state.flags & kStateDirectory) == 0) return E_INVALIDARG;
    DWORD code =
        ApplyPin(path, pinState, !below, recurse || below, (pinFlags & CF_SET_PIN_FLAG_RECURSE_STOP_ON_ERROR) != 0);
    return code == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(code);
}

void AfterMove(const std::string& fromPosixPath, const std::string& toPosixPath) {
    const auto parentOf = [](const std::string& path) { return path.substr(0, path.find_last_of('/')); };
    PlaceholderState state;
    if (parentOf(fromPosixPath) == parentOf(toPosixPath) || !ReadStateAt(toPosixPath, &state)) return;
    const CF_PIN_STATE moved = PinOnMove(state.pin, PinOfParent(toPosixPath), (state.flags & kStateDirectory) != 0);
    if (moved == state.pin) return;
    state.pin = moved;
    (void)WriteStateAt(toPosixPath, state);  // the move stands; a state that cannot be written stays as it was
}

// SetFileAttributesW: the PINNED and UNPINNED bits are the pin state, as attrib +P/-P/+U/-U sets it on Windows.
// Neither bit clears a PINNED or UNPINNED state (EXCLUDED, which has no bit, stays); both at once are refused. A file
// that is no placeholder cannot take either: what Windows answers there is unverified, so it is refused.
DWORD SetPinFromAttributes(const std::string& posixPath, DWORD attributes) {
    const bool pinned = (attributes & FILE_ATTRIBUTE_PINNED) != 0;
    const bool unpinned = (attributes & FILE_ATTRIBUTE_UNPINNED) != 0;
    if (pinned && unpinned) return ERROR_INVALID_PARAMETER;
    PlaceholderState state;
    struct stat st;
    if (lstat(posix::SysPath(posixPath).c_str(), &st) != 0 || S_ISLNK(st.st_mode) || !ReadStateAt(posixPath, &state)) {
        return pinned || unpinned ? kErrorNotACloudFile : ERROR_SUCCESS;
    }
    CF_PIN_STATE wanted = pinned ? CF_PIN_STATE_PINNED : unpinned ? CF_PIN_STATE_UNPINNED : state.pin;
    if (!pinned && !unpinned && (state.pin == CF_PIN_STATE_PINNED || state.pin == CF_PIN_STATE_UNPINNED)) {
        wanted = CF_PIN_STATE_UNSPECIFIED;
    }
    if (wanted == state.pin) return ERROR_SUCCESS;
    state.pin = wanted;
    return WriteStateAt(posixPath, state);
}

}  // namespace cfemu
