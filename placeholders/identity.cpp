// identity.cpp - the placeholder identity: its UTF-16LE blob form, its two text forms, and the safety checks
// that keep names taken from identities and manifests inside the directory they are meant for.
#include "placeholders/identity.h"

#include "layout/provider_paths.h"

namespace {

const wchar_t kTab = L'\t';

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

void AppendUnit(std::vector<BYTE>& blob, uint32_t unit) {
    blob.push_back(static_cast<BYTE>(unit & 0xFF));
    blob.push_back(static_cast<BYTE>((unit >> 8) & 0xFF));
}

}  // namespace

std::vector<BYTE> EncodeIdentityBlob(const std::wstring& text) {
    std::vector<BYTE> blob;
    blob.reserve(text.size() * 2 + 2);
    for (wchar_t c : text) {
        uint32_t code = static_cast<uint32_t>(c);
        // A 32-bit wchar_t holds whole code points; the platform wants UTF-16, so split those above the BMP.
        if constexpr (sizeof(wchar_t) > 2) {
            if (code > 0xFFFF && code <= 0x10FFFF) {
                code -= 0x10000;
                AppendUnit(blob, 0xD800 + (code >> 10));
                AppendUnit(blob, 0xDC00 + (code & 0x3FF));
                continue;
            }
        }
        AppendUnit(blob, code & 0xFFFF);
    }
    AppendUnit(blob, 0);
    return blob;
}

std::wstring DecodeIdentityBlob(LPCVOID blob, DWORD length) {
    if (blob == nullptr || length < 2) return std::wstring();
    const BYTE* bytes = static_cast<const BYTE*>(blob);
    std::vector<uint32_t> units(length / 2);
    for (size_t i = 0; i < units.size(); ++i) {
        units[i] = static_cast<uint32_t>(bytes[2 * i]) | (static_cast<uint32_t>(bytes[2 * i + 1]) << 8);
    }
    while (!units.empty() && units.back() == 0) units.pop_back();

    std::wstring text;
    text.reserve(units.size());
    for (size_t i = 0; i < units.size(); ++i) {
        uint32_t unit = units[i];
        if constexpr (sizeof(wchar_t) > 2) {
            if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
                units[i + 1] <= 0xDFFF) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00);
                ++i;
            }
        }
        text.push_back(static_cast<wchar_t>(unit));
    }
    return text;
}

bool ParsePlaceholderIdentity(const std::wstring& identity, std::vector<std::wstring>& fields) {
    fields.clear();
    size_t start = 0;
    for (;;) {
        size_t tab = identity.find(kTab, start);
        if (tab == std::wstring::npos) {
            fields.push_back(identity.substr(start));
            break;
        }
        fields.push_back(identity.substr(start, tab - start));
        start = tab + 1;
    }
    return fields.size() >= 4 && fields[0] == L"cf";
}

std::wstring IdentityCachePath(const std::wstring& identity) {
    std::vector<std::wstring> fields;
    if (!ParsePlaceholderIdentity(identity, fields)) return std::wstring();
    return ProductCachePath(JoinPath(JoinPath(fields[1], fields[2]), fields[3]));
}

std::wstring ReferenceCachePath(const PlaceholderRef& ref) {
    return ProductCachePath(JoinPath(JoinPath(ref.domainId, ref.itemId), ref.cacheFileName));
}

namespace {

wchar_t AsciiUpper(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

// True when Win32 opens a device for this name instead of a file: the part before the first dot, with trailing
// spaces dropped, is CON, PRN, AUX, NUL, CONIN$, CONOUT$, or COM or LPT and one digit (also superscript 1 to 3),
// in any case. Reading "cache\a\b\CON" would wait on the console; writing "...\NUL" would discard the bytes.
bool IsDeviceName(const std::wstring& name) {
    std::wstring base = name.substr(0, name.find(L'.'));
    while (!base.empty() && base.back() == L' ') base.pop_back();
    for (wchar_t& c : base) c = AsciiUpper(c);
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"}) {
        if (base == device) return true;
    }
    if (base.size() != 4 || (base.compare(0, 3, L"COM") != 0 && base.compare(0, 3, L"LPT") != 0)) return false;
    const wchar_t digit = base[3];
    return (digit >= L'0' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' || digit == L'\u00B3';
}

}  // namespace

bool IsSafeNameComponent(const std::wstring& name) {
    if (name.empty() || name == L"." || name == L"..") return false;
    for (wchar_t c : name) {
        // A NUL would silently cut the name where the platform reads it as a C string.
        if (IsSeparator(c) || c == L':' || c == L'\0') return false;
    }
    return !IsDeviceName(name);
}

bool IsSafeCacheReference(const std::wstring& domainId, const std::wstring& itemId, const std::wstring& cacheFileName) {
    return (domainId.empty() || IsSafeNameComponent(domainId)) && (itemId.empty() || IsSafeNameComponent(itemId)) &&
           IsSafeNameComponent(cacheFileName);
}

bool IsSafeRelativePath(const std::wstring& path) {
    if (!path.empty() && IsSeparator(path[0])) return false;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = start;
        while (end < path.size() && !IsSeparator(path[end])) ++end;
        std::wstring component = path.substr(start, end - start);
        // Empty components (doubled or trailing separators) add no level, so only the named ones are checked.
        if (!component.empty() && !IsSafeNameComponent(component)) return false;
        start = end + 1;
    }
    return true;
}

PlaceholderRef ClassifyIdentity(LPCVOID blob, DWORD length) {
    PlaceholderRef ref;
    ref.text = DecodeIdentityBlob(blob, length);
    if (ref.text.empty()) return ref;
    std::vector<std::wstring> fields;
    if (ParsePlaceholderIdentity(ref.text, fields)) {
        ref.domainId = fields[1];
        ref.itemId = fields[2];
        ref.cacheFileName = fields[3];
        const bool safe = IsSafeCacheReference(ref.domainId, ref.itemId, ref.cacheFileName);
        ref.kind = safe ? PlaceholderRef::kCacheReference : PlaceholderRef::kUnsafe;
    } else {
        ref.kind = IsSafeRelativePath(ref.text) ? PlaceholderRef::kRelativePath : PlaceholderRef::kUnsafe;
    }
    return ref;
}
