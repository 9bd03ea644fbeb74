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
