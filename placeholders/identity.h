// identity.h - the placeholder identity: UTF-16LE text with its NUL, in a cache-reference or a path form.
#pragma once

#include "platform/win32.h"

#include <string>
#include <vector>

// UTF-16LE code units of `text` followed by one NUL unit, built explicitly (wchar_t is 32 bits on Linux).
std::vector<BYTE> EncodeIdentityBlob(const std::wstring& text);
// The first length/2 UTF-16 units of the blob, trailing NUL units removed; empty for null or length < 2.
std::wstring DecodeIdentityBlob(LPCVOID blob, DWORD length);

bool ParsePlaceholderIdentity(const std::wstring& identity, std::vector<std::wstring>& fields);
std::wstring IdentityCachePath(const std::wstring& identity);

// True when `name` can be used as one file or directory name: not empty, not "." or "..", no '\\', '/', ':'
// or NUL (so neither rooted nor drive-qualified), and not a name Windows reads as a device ("CON", "nul.txt",
// "COM1", any case).
bool IsSafeNameComponent(const std::wstring& name);
// True when `path` is a relative path whose components (split at '\\' and '/') are all safe names: no leading
// separator, no drive, no "." or ".." component. Empty components (doubled or trailing separators) and the
// empty path are allowed, as they add no level below the base the path is joined to.
bool IsSafeRelativePath(const std::wstring& path);
// True when the fields of a cache reference can name files below a directory: each id empty (it then adds no
// level) or a safe name, and the cache file name a safe name.
bool IsSafeCacheReference(const std::wstring& domainId, const std::wstring& itemId, const std::wstring& cacheFileName);

// What a placeholder's identity names, decided once where a callback receives the blob. A callback that holds
// one never decodes or splits the identity again, and never sees an unsafe name: those arrive as kUnsafe.
struct PlaceholderRef {
    enum Kind {
        kDemonstration,   // empty identity: the demonstration file hello-from-engine.txt in staging
        kRelativePath,    // a safe path relative to the product cache or the staging directory (in `text`)
        kCacheReference,  // "cf", domain id, item id, cache file name: all safe, the ids possibly empty
        kUnsafe,          // a name that could reach outside its directory; refused by every callback
    };
    Kind kind = kDemonstration;
    std::wstring text;  // the decoded identity as it stands
    std::wstring domainId, itemId, cacheFileName;
};

// Decodes the blob (as DecodeIdentityBlob does) and classifies it.
PlaceholderRef ClassifyIdentity(LPCVOID blob, DWORD length);
// <product cache>\domainId\itemId\cacheFileName of a cache reference; empty without a LOCALAPPDATA.
std::wstring ReferenceCachePath(const PlaceholderRef& ref);
