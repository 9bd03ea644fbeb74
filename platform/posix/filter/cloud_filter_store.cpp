// cloud_filter_store.cpp - what the emulated Cloud Files filter keeps on disk: the registration record of a
// sync root and the state of each placeholder, both in extended attributes, plus path and status helpers.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/posix/filter/cloud_filter.h"

namespace cfemu {
namespace {

constexpr uint32_t kRootMagic = 0x31524643;  // "CFR1"
// Version 2: version, flags, two 64-bit times, then the identity blob, in one attribute. With an identity of
// a few dozen bytes the whole record stays inside an ext4 inode; two attributes did not, and every placeholder
// then cost a 4 KiB attribute block to write (and, with discard, to give back). Version 1 is the 18-byte state
// alone, with the identity in kIdentityAttribute; such placeholders are still read and updated as they are.
constexpr uint8_t kStateVersionSeparate = 1;
constexpr uint8_t kStateVersion = 2;
constexpr size_t kStateSize = 18;
constexpr size_t kRecordCapacity = kStateSize + CF_PLACEHOLDER_MAX_FILE_IDENTITY_LENGTH;
// The flags byte: the PlaceholderFlags in its low four bits, the pin state in the two above (records of builds
// before pin states hold 0 there: UNSPECIFIED).
constexpr uint8_t kFlagBits = 0x0F;
constexpr int kPinShift = 4;

uint8_t FlagsByte(const PlaceholderState& state) {
    return static_cast<uint8_t>((state.flags & kFlagBits) | ((state.pin & 0x3u) << kPinShift));
}

void PutU32(std::vector<BYTE>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<BYTE>(value >> (8 * i)));
}

void PutU64(BYTE* out, ULONGLONG value) {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<BYTE>(value >> (8 * i));
}

ULONGLONG GetU64(const BYTE* in) {
    ULONGLONG value = 0;
    for (int i = 0; i < 8; ++i) value |= static_cast<ULONGLONG>(in[i]) << (8 * i);
    return value;
}

void PutBytes(std::vector<BYTE>& out, const void* data, size_t size) {
    PutU32(out, static_cast<uint32_t>(size));
    const BYTE* bytes = static_cast<const BYTE*>(data);
    out.insert(out.end(), bytes, bytes + size);
}

// Reads length-prefixed fields back; every read is bounds-checked so a damaged record is simply refused.
struct Reader {
    const std::vector<BYTE>& bytes;
    size_t at = 0;
    bool U32(uint32_t* value) {
        if (bytes.size() - at < 4) return false;
        *value = 0;
        for (int i = 0; i < 4; ++i) *value |= static_cast<uint32_t>(bytes[at + i]) << (8 * i);
        at += 4;
        return true;
    }
    bool Bytes(std::vector<BYTE>* out) {
        uint32_t size = 0;
        if (!U32(&size) || bytes.size() - at < size) return false;
        out->assign(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + size));
        at += size;
        return true;
    }
    bool Raw(void* out, size_t size) {
        if (bytes.size() - at < size) return false;
        std::memcpy(out, bytes.data() + at, size);
        at += size;
        return true;
    }
};

bool DecodeState(const BYTE* bytes, ssize_t size, PlaceholderState* state) {
    if (size < static_cast<ssize_t>(kStateSize)) return false;
    if (!(bytes[0] == kStateVersion ||
          (bytes[0] == kStateVersionSeparate && size == static_cast<ssize_t>(kStateSize)))) {
        return false;
    }
    state->flags = static_cast<uint8_t>(bytes[1] & kFlagBits);
    state->pin = (bytes[1] >> kPinShift) & 0x3u;
    state->creationTicks = GetU64(bytes + 2);
    state->changeTicks = GetU64(bytes + 10);
    return true;
}

bool ReadAttribute(const std::string& path, const char* name, std::vector<BYTE>* value) {
    // Registration records are small: one read usually does, without asking for the size first.
    BYTE small[1024];
    ssize_t first = lgetxattr(posix::SysPath(path).c_str(), name, small, sizeof(small));
    if (first >= 0) {
        value->assign(small, small + first);
        return true;
    }
    if (errno != ERANGE) return false;
    for (;;) {
        ssize_t size = lgetxattr(posix::SysPath(path).c_str(), name, nullptr, 0);
        if (size < 0) return false;
        value->resize(static_cast<size_t>(size));
        ssize_t got = lgetxattr(posix::SysPath(path).c_str(), name, value->data(), value->size());
        if (got >= 0) {
            value->resize(static_cast<size_t>(got));
            return true;
        }
        if (errno != ERANGE) return false;  // grew in between: ask again
    }
}

}  // namespace

std::vector<BYTE> EncodeRootRecord(const RootRecord& record) {
    std::vector<BYTE> out;
    PutU32(out, kRootMagic);
    PutBytes(out, record.providerName.data(), record.providerName.size());
    PutBytes(out, record.providerVersion.data(), record.providerVersion.size());
    PutBytes(out, &record.providerId, sizeof(record.providerId));
    PutBytes(out, &record.policies, sizeof(record.policies));
    PutU32(out, record.registerFlags);
    PutBytes(out, record.syncRootIdentity.data(), record.syncRootIdentity.size());
    PutBytes(out, record.fileIdentity.data(), record.fileIdentity.size());
    return out;
}

bool DecodeRootRecord(const std::vector<BYTE>& bytes, RootRecord* record) {
    Reader reader{bytes};
    uint32_t magic = 0;
    std::vector<BYTE> name, version, id, policies;
    if (!reader.U32(&magic) || magic != kRootMagic) return false;
    if (!reader.Bytes(&name) || !reader.Bytes(&version) || !reader.Bytes(&id) || !reader.Bytes(&policies)) {
        return false;
    }
    if (id.size() != sizeof(GUID) || policies.size() != sizeof(CF_SYNC_POLICIES)) return false;
    if (!reader.U32(&record->registerFlags) || !reader.Bytes(&record->syncRootIdentity) ||
        !reader.Bytes(&record->fileIdentity) || reader.at != bytes.size()) {
        return false;
    }
    record->providerName.assign(name.begin(), name.end());
    record->providerVersion.assign(version.begin(), version.end());
    std::memcpy(&record->providerId, id.data(), sizeof(GUID));
    std::memcpy(&record->policies, policies.data(), sizeof(CF_SYNC_POLICIES));
    return true;
}

bool ReadRootRecord(const std::string& directory, RootRecord* record) {
    std::vector<BYTE> bytes;
    if (!ReadAttribute(directory, kRootAttribute, &bytes)) return false;
    RootRecord decoded;
    if (!DecodeRootRecord(bytes, &decoded)) return false;
    if (record != nullptr) *record = std::move(decoded);
    return true;
}

bool FindSyncRoot(const std::string& canonicalPath, std::string* root, RootRecord* record) {
    if (canonicalPath.empty() || canonicalPath[0] != '/') return false;
    std::string candidate = canonicalPath;
    for (;;) {
        if (ReadRootRecord(candidate, record)) {
            if (root != nullptr) *root = candidate;
            return true;
        }
        if (candidate == "/") return false;
        size_t slash = candidate.find_last_of('/');
        candidate = slash == 0 ? std::string("/") : candidate.substr(0, slash);
    }
}

bool ReadState(int fd, PlaceholderState* state) {
    BYTE bytes[kRecordCapacity];
    ssize_t size = fgetxattr(fd, kStateAttribute, bytes, sizeof(bytes));
    PlaceholderState decoded;
    if (size < 0 || !DecodeState(bytes, size, &decoded)) return false;
    if (state != nullptr) *state = decoded;
    return true;
}

bool ReadStateAt(const std::string& posixPath, PlaceholderState* state) {
    BYTE bytes[kRecordCapacity];
    ssize_t size = lgetxattr(posix::SysPath(posixPath).c_str(), kStateAttribute, bytes, sizeof(bytes));
    PlaceholderState decoded;
    if (size < 0 || !DecodeState(bytes, size, &decoded)) return false;
    if (state != nullptr) *state = decoded;
    return true;
}

int WritePlaceholderRecord(int fd, const PlaceholderState& state, const BYTE* identity, size_t identityLength) {
    std::vector<BYTE> bytes(kStateSize + identityLength);
    bytes[0] = kStateVersion;
    bytes[1] = FlagsByte(state);
    PutU64(bytes.data() + 2, state.creationTicks);
    PutU64(bytes.data() + 10, state.changeTicks);
    if (identityLength > 0) std::memcpy(bytes.data() + kStateSize, identity, identityLength);
    return fsetxattr(fd, kStateAttribute, bytes.data(), bytes.size(), 0) == 0 ? 0 : errno;
}

int WriteState(int fd, const PlaceholderState& state) {
    // The identity that follows the state in the same record is written back unchanged.
    BYTE bytes[kRecordCapacity];
    ssize_t size = fgetxattr(fd, kStateAttribute, bytes, sizeof(bytes));
    // A record that cannot be read now is left alone: writing a new one would drop its identity.
    if (size < 0 && errno != ENODATA) return errno;
    PlaceholderState ignored;
    if (size < 0 || !DecodeState(bytes, size, &ignored)) return WritePlaceholderRecord(fd, state, nullptr, 0);
    bytes[1] = FlagsByte(state);
    PutU64(bytes + 2, state.creationTicks);
    PutU64(bytes + 10, state.changeTicks);
    return fsetxattr(fd, kStateAttribute, bytes, static_cast<size_t>(size), 0) == 0 ? 0 : errno;
}

int DropData(int fd, LONGLONG size) {
    if (size <= 0) return 0;
    // The range is rounded up to whole blocks (64 KiB covers every block size), else the last partial block
    // would keep its allocation.
    LONGLONG length = (size + 0xFFFF) & ~static_cast<LONGLONG>(0xFFFF);
    if (fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, length) == 0) return 0;
    // No hole punching here: dropping all blocks and growing back gives the same sparse file.
    if (ftruncate(fd, 0) != 0 || ftruncate(fd, size) != 0) return errno;
    return 0;
}

bool ReadIdentity(int fd, std::vector<BYTE>* identity) {
    identity->clear();
    BYTE bytes[kRecordCapacity];
    ssize_t size = fgetxattr(fd, kStateAttribute, bytes, sizeof(bytes));
    if (size < 0) return errno == ENODATA;  // no record: an empty identity
    if (size >= static_cast<ssize_t>(kStateSize) && bytes[0] == kStateVersion) {
        identity->assign(bytes + kStateSize, bytes + size);
        return true;
    }
    // A version-1 record keeps the identity in an attribute of its own.
    for (;;) {
        ssize_t legacy = fgetxattr(fd, kIdentityAttribute, nullptr, 0);
        if (legacy < 0) return errno == ENODATA;  // no attribute: an empty identity
        identity->resize(static_cast<size_t>(legacy));
        ssize_t got = fgetxattr(fd, kIdentityAttribute, identity->data(), identity->size());
        if (got >= 0) {
            identity->resize(static_cast<size_t>(got));
            return true;
        }
        if (errno != ERANGE) return false;
    }
}

bool ReadIdentityAt(const std::string& posixPath, std::vector<BYTE>* identity) {
    identity->clear();
    BYTE bytes[kRecordCapacity];
    ssize_t size = lgetxattr(posix::SysPath(posixPath).c_str(), kStateAttribute, bytes, sizeof(bytes));
    if (size < 0) return errno == ENODATA;
    if (size >= static_cast<ssize_t>(kStateSize) && bytes[0] == kStateVersion) {
        identity->assign(bytes + kStateSize, bytes + size);
        return true;
    }
    if (ReadAttribute(posixPath, kIdentityAttribute, identity)) return true;
    return errno == ENODATA;
}

namespace {

// realpath(3) for a path of PATH_MAX bytes or more, which it refuses: one name at a time, each symbolic link read
// and followed (at most 40, as the kernel allows), ".." taken from what is resolved so far. The last name, when
// nothing has it, is kept as given; any other name missing or no directory gives "".
std::string CanonicalLongPath(const std::string& absolutePath) {
    std::vector<std::string> pending;  // names still to resolve, the next one last
    const auto push = [&pending](const std::string& path) {
        for (size_t end = path.size(); end > 0;) {
            const size_t slash = path.rfind('/', end - 1);
            const size_t begin = slash == std::string::npos ? 0 : slash + 1;
            if (end > begin) pending.push_back(path.substr(begin, end - begin));
            if (slash == std::string::npos) break;
            end = slash;
        }
    };
    push(absolutePath);
    std::string resolved;  // "" is the root
    int links = 0;
    while (!pending.empty()) {
        const std::string name = std::move(pending.back());
        pending.pop_back();
        if (name == ".") continue;
        if (name == "..") {
            resolved.erase(resolved.empty() ? 0 : resolved.rfind('/'));
            continue;
        }
        const std::string next = resolved + "/" + name;
        struct stat st;
        if (lstat(posix::SysPath(next).c_str(), &st) != 0)
            return errno == ENOENT && pending.empty() ? next : std::string();
        if (S_ISLNK(st.st_mode)) {
            char target[PATH_MAX];
            const ssize_t length = readlink(posix::SysPath(next).c_str(), target, sizeof(target));
            if (++links > 40 || length <= 0 || length >= static_cast<ssize_t>(sizeof(target))) return std::string();
            if (target[0] == '/') resolved.clear();
            push(std::string(target, static_cast<size_t>(length)));
            continue;
        }
        if (!pending.empty() && !S_ISDIR(st.st_mode)) return std::string();
        resolved = next;
    }
    return resolved.empty() ? std::string("/") : resolved;
}

}  // namespace

std::string CanonicalPath(const std::string& absolutePath) {
    if (absolutePath.size() >= PATH_MAX) return CanonicalLongPath(absolutePath);  // "" without long paths
    char resolved[PATH_MAX];
    if (realpath(absolutePath.c_str(), resolved) != nullptr) return resolved;
    // Not there (yet): resolve the parent and keep the last name as given.
    std::string trimmed = absolutePath;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    size_t slash = trimmed.find_last_of('/');
    if (slash == std::string::npos) return std::string();
    std::string parent = slash == 0 ? std::string("/") : trimmed.substr(0, slash);
    std::string leaf = trimmed.substr(slash + 1);
    if (leaf.empty() || leaf == "." || leaf == "..") return std::string();
    if (realpath(parent.c_str(), resolved) == nullptr) return std::string();
    std::string result = resolved;
    if (result != "/") result += '/';
    return result + leaf;
}

std::wstring VolumeRelativePath(const std::string& posixPath) {
    std::wstring windows = posix::ToWindowsPath(posixPath);
    if (windows.size() >= 2 && windows[1] == L':') windows.erase(0, 2);  // drop the drive: Z:\a -> \a
    return windows;
}

DWORD Win32ErrorFromCloudStatus(NTSTATUS status) {
    struct Mapping {
        uint32_t status;
        DWORD win32;
    };
    static const Mapping kTable[] = {
        {0xC000CF00u, 358}, {0xC000CF01u, 362}, {0xC000CF02u, 363}, {0xC000CF03u, 364}, {0x8000CF04u, 365},
        {0x8000CF05u, 374}, {0xC000CF06u, 375}, {0xC000CF07u, 376}, {0xC000CF08u, 377}, {0xC000CF09u, 378},
        {0xC000CF0Au, 379}, {0xC000CF0Bu, 380}, {0xC000CF0Cu, 381}, {0xC000CF0Du, 382}, {0xC000CF0Eu, 383},
        {0xC000CF0Fu, 386}, {0xC000CF10u, 387}, {0xC000CF11u, 388}, {0xC000CF12u, 389}, {0xC000CF13u, 390},
        {0xC000CF14u, 391}, {0xC000CF15u, 392}, {0xC000CF16u, 393}, {0xC000CF17u, 394}, {0xC000CF18u, 395},
        {0xC000CF19u, 396}, {0xC000CF1Au, 397}, {0xC000CF1Bu, 398}, {0xC000CF1Du, 404}, {0xC000CF1Eu, 405},
        {0xC000CF1Fu, 426}, {0xC000CF20u, 434}, {0x8000CF00u, 366},
    };
    for (const Mapping& row : kTable) {
        if (row.status == static_cast<uint32_t>(status)) return row.win32;
    }
    // The platform rewrites every other failure to the generic cloud failure.
    return ERROR_CLOUD_FILE_UNSUCCESSFUL;
}

int RequestTimeoutMs() {
    const char* value = std::getenv("CFEMU_REQUEST_TIMEOUT_MS");
    if (value != nullptr) {
        char* end = nullptr;
        long parsed = std::strtol(value, &end, 10);
        if (end != value && *end == '\0' && parsed > 0 && parsed <= INT_MAX) return static_cast<int>(parsed);
    }
    return 60000;
}

}  // namespace cfemu
