// mount_pins.cpp - a placeholder's pin state as the extended attribute user.voske.pin of the mount ("pinned",
// "unpinned", "unspecified"; "excluded", which only the provider sets, is shown but not taken). Setting it is
// SetFileAttributesW with FILE_ATTRIBUTE_PINNED / UNPINNED, as Explorer's "Always keep on this device" and "Free up
// space" do, so the filter's rules and the change notification apply. Every other attribute name stays ENOTSUP.
#include <sys/xattr.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/posix/cfemu/mount_internal.h"

namespace cfemu {
namespace {

constexpr char kPinAttribute[] = "user.voske.pin";
const char* const kPinNames[] = {"unspecified", "pinned", "unpinned", "excluded"};

// The placeholder's state at `path` of the mount; false for anything else.
bool PinStateOf(const char* path, CF_PIN_STATE* pin) {
    PlaceholderState state;
    if (path == nullptr || MountHidden(path) ||
        !ReadStateAt(g_mount.base + (std::strcmp(path, "/") == 0 ? "" : path), &state)) {
        return false;
    }
    *pin = state.pin;
    return true;
}

}  // namespace

int MountGetxattr(const char* path, const char* name, char* value, size_t size) {
    if (std::strcmp(name, kPinAttribute) != 0) return -ENOTSUP;
    CF_PIN_STATE pin = 0;
    if (!PinStateOf(path, &pin)) return -ENODATA;
    const char* text = kPinNames[pin & 3];
    const size_t length = std::strlen(text);
    if (size == 0) return static_cast<int>(length);
    if (size < length) return -ERANGE;
    std::memcpy(value, text, length);
    return static_cast<int>(length);
}

int MountSetxattr(const char* path, const char* name, const char* value, size_t size, int flags) {
    if (std::strcmp(name, kPinAttribute) != 0) return -ENOTSUP;
    CF_PIN_STATE pin = 0;
    if (!PinStateOf(path, &pin)) return -ENOTSUP;  // a file no placeholder has no pin state to set
    if ((flags & XATTR_CREATE) != 0) return -EEXIST;  // every placeholder has one
    const std::string text(value, size);
    DWORD bit = 0;
    if (text == "pinned") {
        bit = FILE_ATTRIBUTE_PINNED;
    } else if (text == "unpinned") {
        bit = FILE_ATTRIBUTE_UNPINNED;
    } else if (text == "excluded") {
        return -EPERM;
    } else if (text != "unspecified") {
        return -EINVAL;
    }
    MountActingFor acting(MountCaller());
    const std::wstring windowsName = MountWindowsPath(path);
    const DWORD current = GetFileAttributesW(windowsName.c_str());
    if (current == INVALID_FILE_ATTRIBUTES) return MountFail("setxattr", path, GetLastError());
    const DWORD attributes = (current & FILE_ATTRIBUTE_READONLY) | bit;
    if (!SetFileAttributesW(windowsName.c_str(), attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL)) {
        return MountFail("setxattr", path, GetLastError());
    }
    return 0;
}

int MountListxattr(const char* path, char* list, size_t size) {
    CF_PIN_STATE pin = 0;
    if (!PinStateOf(path, &pin)) return 0;
    const size_t length = sizeof(kPinAttribute);  // with its NUL
    if (size == 0) return static_cast<int>(length);
    if (size < length) return -ERANGE;
    std::memcpy(list, kPinAttribute, length);
    return static_cast<int>(length);
}

}  // namespace cfemu
