// seeding.cpp - placeholders listed in the seed manifest (cache-reference identities), or, without a manifest,
// for up to 32 files already in the product cache (path identities). Creation only; data comes at hydration.
#include "placeholders/seeding.h"

#include "app/event_log.h"
#include "layout/provider_paths.h"
#include "placeholders/create_info.h"
#include "placeholders/identity.h"
#include "placeholders/root_walk.h"
#include "state/item_database.h"
#include "syncroot/cloud_files.h"
#include "writeback/held_changes.h"
#include "writeback/queue_records.h"

#include <climits>
#include <map>
#include <set>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const int kManifestEntryCap = 100000;
const size_t kCacheFileCap = 32;
const ULONGLONG kCacheFileSizeLimit = 0x2000000;  // 32 MiB

// The manifest is written by another process, so it is read whole and then parsed from memory.
void ReadWholeFile(FILE* file, std::string& bytes) {
    char chunk[65536];
    size_t got = 0;
    while ((got = fread(chunk, 1, sizeof(chunk), file)) > 0) bytes.append(chunk, got);
}

std::wstring Utf8LineToWide(const char* text, int length) {
    int needed = MultiByteToWideChar(CP_UTF8, 0, text, length, nullptr, 0);
    if (needed <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(needed), L'\0');
    int converted = MultiByteToWideChar(CP_UTF8, 0, text, length, &wide[0], needed);
    if (converted <= 0) return std::wstring();
    wide.resize(static_cast<size_t>(converted));
    return wide;
}

// Creates each non-empty backslash-separated component below the sync root in turn; returns the deepest path.
// Results are ignored: an existing directory is the normal case, and a real failure shows up at creation.
// The path grows in place (by JoinPath's rule), and below a level that could not be created nothing more is
// tried, as nothing can be: a manifest line of millions of components costs one pass, not one copy each.
std::wstring CreateDirectoriesBelowRoot(const std::wstring& relative, bool skipEmpty) {
    std::wstring running = ProviderPaths.syncRoot;
    bool creating = true;
    size_t start = 0;
    while (start <= relative.size()) {
        size_t end = relative.find(L'\\', start);
        if (end == std::wstring::npos) end = relative.size();
        if (end > start || !skipEmpty) {
            if (!running.empty() && running.back() != L'\\' && running.back() != L'/') running.push_back(L'\\');
            running.append(relative, start, end - start);
            if (creating && !CreateDirectoryW(running.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
                creating = false;
            }
        }
        start = end + 1;
    }
    return running;
}

// The safety rules for a manifest entry: nothing it names may land outside the sync root or the engine's store,
// and its identity passes the same check the callbacks apply to it later. A directory entry uses only its path,
// so its other columns may hold anything, as for any directory line.
bool IsSafeManifestEntry(const std::vector<std::wstring>& columns, bool directory) {
    if (!IsSafeRelativePath(columns[2])) return false;
    return directory || IsSafeCacheReference(columns[0], columns[1], columns[4]);
}

LONGLONG ParseManifestSize(const std::wstring& text) {
    long long value = wcstoll(text.c_str(), nullptr, 10);
    return value < 0 ? 0 : static_cast<LONGLONG>(value);
}

size_t LastSeparator(const std::wstring& path) { return path.find_last_of(L"\\/"); }

// The text of a JSON string value that starts at `position` (just after its opening quote), with the escapes the
// record writer uses (\\, \", \uXXXX) undone; UTF-8 bytes.
std::string JsonStringAt(const std::string& json, size_t position) {
    std::string text;
    while (position < json.size() && json[position] != '"') {
        char c = json[position++];
        if (c == '\\' && position < json.size()) {
            c = json[position++];
            if (c == 'u' && position + 4 <= json.size()) {
                text.push_back(static_cast<char>(strtoul(json.substr(position, 4).c_str(), nullptr, 16)));
                position += 4;
                continue;
            }
        }
        text.push_back(c);
    }
    return text;
}

std::wstring JsonField(const std::string& json, const char* key) {
    const std::string marker = std::string("\"") + key + "\":\"";
    const size_t at = json.find(marker);
    if (at == std::string::npos) return std::wstring();
    const std::string value = JsonStringAt(json, at + marker.size());
    return value.empty() ? std::wstring() : Utf8LineToWide(value.data(), static_cast<int>(value.size()));
}

// Items the user deleted or renamed whose records still wait in the engine inbox: the manifest was written before
// the engine saw that change, so its entries for them are out of date. Keys are domain id, TAB, item id.
std::set<std::wstring> PendingRemovals() {
    std::set<std::wstring> items;
    const std::wstring inbox = EngineInboxPath();
    WIN32_FIND_DATAW entry = {};
    HANDLE find = FindFirstFileW(JoinPath(inbox, L"*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return items;
    do {
        const std::wstring name = entry.cFileName;
        // "delete-" and "modify-" (a rename) records; "mod-" is a changed file, which removes nothing.
        if (name.rfind(L"delete-", 0) != 0 && name.rfind(L"modify-", 0) != 0) continue;
        HANDLE file = CreateFileW(JoinPath(inbox, name).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) continue;
        char bytes[4096];
        DWORD got = 0;
        const BOOL ok = ReadFile(file, bytes, sizeof(bytes), &got, nullptr);
        CloseHandle(file);
        if (!ok) continue;
        const std::string record(bytes, got);
        items.insert(JsonField(record, "domainId") + L"\t" + JsonField(record, "itemId"));
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return items;
}

// `parent` as the directories it names (empty components dropped, either separator), then `name`, joined by
// backslashes: the form the root walk gives.
std::wstring RootRelativeName(const std::wstring& parent, const std::wstring& name) {
    std::wstring relative;
    size_t start = 0;
    while (start <= parent.size()) {
        size_t end = parent.find_first_of(L"\\/", start);
        if (end == std::wstring::npos) end = parent.size();
        if (end > start) relative += parent.substr(start, end - start) + L"\\";
        start = end + 1;
    }
    return relative + name;
}

// True when the item database remembers the user deleting or moving out the item this entry places, and the entry
// is still the one that placed it (same identity and size): the engine has not answered that change yet.
bool RemovedByUser(const std::wstring& identity, LONGLONG size) {
    ItemRow row;
    // A delete or rename still held (a file may yet take the name) is one too.
    return IsHeld(identity) || (FindItem(identity, row) && !row.present && row.seedSize == size);
}

// Entries between two commits of the item database: few enough that a callback waiting for it is not held long.
const int kEntriesPerCommit = 1024;

// True when a placeholder other than the one at `relative` already carries `identity`.
bool HeldElsewhere(const std::multimap<std::wstring, std::wstring>& identities, const std::wstring& identity,
                   const std::wstring& relative) {
    const auto range = identities.equal_range(identity);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second != relative) return true;
    }
    return false;
}

}  // namespace

HRESULT SeedFromManifest() {
    InitProviderPaths();

    const std::wstring manifestPath = SeedManifestPath();
    if (manifestPath.empty()) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    if (GetFileAttributesW(manifestPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }
    // Shared for reading and writing, so the engine may rewrite the manifest while this run reads it.
    FILE* file = _wfsopen(manifestPath.c_str(), L"rb", _SH_DENYNO);
    if (file == nullptr) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    std::string bytes;
    ReadWholeFile(file, bytes);

    // What the user removed and the engine has not taken yet, and what the root holds already: a manifest older
    // than the user's change must not bring an item back, nor give one identity to two placeholders.
    const std::set<std::wstring> removed = PendingRemovals();
    std::multimap<std::wstring, std::wstring> identities;
    ForEachRootPlaceholder([&identities](const RootPlaceholder& placeholder) {
        identities.emplace(DecodeIdentityBlob(placeholder.identity.data(), static_cast<DWORD>(placeholder.identity.size())),
                           placeholder.relative);
    });
    int heldRemoved = 0;
    int heldElsewhere = 0;
    OpenItemDatabase();
    BeginItemBatch();

    int seen = 0;
    int seeded = 0;
    int refused = 0;
    unsigned long long firstRefusedLine = 0;
    unsigned long long lineNumber = 0;
    size_t position = 0;
    while (position < bytes.size() && seen < kManifestEntryCap) {
        ++lineNumber;
        size_t lineEnd = bytes.find('\n', position);
        if (lineEnd == std::string::npos) lineEnd = bytes.size();
        size_t lineLength = lineEnd - position;
        const size_t lineStart = position;
        position = lineEnd + 1;

        if (lineLength > 0 && bytes[lineStart + lineLength - 1] == '\r') --lineLength;
        // A line too long for the conversion's count is no entry; cast, it would turn negative and read on.
        if (lineLength == 0 || lineLength > static_cast<size_t>(INT_MAX)) continue;
        const std::wstring line = Utf8LineToWide(bytes.data() + lineStart, static_cast<int>(lineLength));
        if (line.empty()) continue;

        std::vector<std::wstring> columns;
        ParsePlaceholderIdentity(line, columns);
        if (columns.size() < 5) continue;
        ++seen;

        const bool directory = columns.size() >= 6 && columns[5] == L"1";
        if (!IsSafeManifestEntry(columns, directory)) {
            if (refused == 0) firstRefusedLine = lineNumber;
            ++refused;
            continue;
        }

        if (directory) {
            CreateDirectoriesBelowRoot(columns[2], true);
            ++seeded;
            continue;
        }

        // A file entry: column 3 gives only the parent directory; the name is column 5.
        std::wstring baseDirectory = ProviderPaths.syncRoot;
        const size_t separator = LastSeparator(columns[2]);
        const std::wstring parent = separator == std::wstring::npos ? std::wstring() : columns[2].substr(0, separator);
        if (!parent.empty()) baseDirectory = CreateDirectoriesBelowRoot(parent, true);

        const std::wstring identityText = L"cf\t" + columns[0] + L"\t" + columns[1] + L"\t" + columns[4];
        const LONGLONG size = ParseManifestSize(columns[3]);
        if (seen % kEntriesPerCommit == 0) {
            EndItemBatch();
            BeginItemBatch();
        }
        if (removed.count(columns[0] + L"\t" + columns[1]) != 0 || RemovedByUser(identityText, size)) {
            ++heldRemoved;
            continue;
        }
        const std::wstring relative = RootRelativeName(parent, columns[4]);
        if (HeldElsewhere(identities, identityText, relative)) {
            ++heldElsewhere;
            continue;
        }
        const std::vector<BYTE> identity = EncodeIdentityBlob(identityText);

        CF_PLACEHOLDER_CREATE_INFO entry = {};
        entry.RelativeFileName = columns[4].c_str();
        entry.FsMetadata.BasicInfo.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        entry.FsMetadata.FileSize.QuadPart = size;
        entry.FileIdentity = identity.data();
        entry.FileIdentityLength = static_cast<DWORD>(identity.size());
        entry.Flags = CF_PLACEHOLDER_CREATE_FLAG_MARK_IN_SYNC;

        DWORD processed = 0;
        HRESULT hr = CfCreatePlaceholders(baseDirectory.c_str(), &entry, 1, CF_CREATE_FLAG_NONE, &processed);
        // An existing placeholder is what a second run over the same manifest meets; it counts as seeded.
        if (SUCCEEDED(hr) || hr == kHrAlreadyExists) ++seeded;
        if (SUCCEEDED(hr)) {
            identities.emplace(identityText, relative);
            ItemRow row;
            row.identity = identityText;
            row.path = relative;
            row.seedSize = size;
            PutItem(row);
        }
    }
    EndItemBatch();

    if (refused > 0) {
        char refusal[320];
        snprintf(refusal, sizeof(refusal),
                 "SEED refused %d unsafe manifest entries, first at line %llu - each name must be one plain name (not "
                 "empty, . or .., without \\ / : or NUL, and no device name such as CON or COM1)",
                 refused, firstRefusedLine);
        LogEvent("ERROR", refusal);
    }
    if (heldRemoved + heldElsewhere > 0) {
        char held[192];
        snprintf(held, sizeof(held),
                 "manifest held back %d entries: %d deleted or renamed here, their records not yet taken by the "
                 "engine; %d whose identity another placeholder holds",
                 heldRemoved + heldElsewhere, heldRemoved, heldElsewhere);
        LogEvent("SEED", held);
    }
    char message[160];
    snprintf(message, sizeof(message), "manifest seen %d seeded %d (cap 100000, no network)", seen, seeded);
    LogEvent("SEED", message);
    fclose(file);
    return S_OK;
}

void CollectCacheFiles(const std::wstring& directory, const std::wstring& relativePrefix,
                       std::vector<std::wstring>& files) {
    if (files.size() >= kCacheFileCap) return;
    WIN32_FIND_DATAW data = {};
    HANDLE find = FindFirstFileW(JoinPath(directory, L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring relative = relativePrefix.empty() ? name : JoinPath(relativePrefix, name);
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            // A linked directory may lead back up the tree; following it could recurse without end.
            if (!IsLinkEntry(data)) {
                CollectCacheFiles(JoinPath(directory, name), relative, files);
            }
        } else {
            const ULONGLONG size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
            if (size <= kCacheFileSizeLimit) files.push_back(relative);
        }
        if (files.size() >= kCacheFileCap) break;
    } while (FindNextFileW(find, &data));
    FindClose(find);
}

HRESULT SeedFromProductCache() {
    InitProviderPaths();

    const std::wstring localAppData = LocalAppDataDir();
    const std::wstring cacheDirectory =
        localAppData.empty() ? std::wstring()
                             : JoinPath(JoinPath(JoinPath(localAppData, L"nq.vo.tarn.voskel"), L"VOSKE"), L"Cache");
    if (cacheDirectory.empty() || GetFileAttributesW(cacheDirectory.c_str()) == INVALID_FILE_ATTRIBUTES) {
        LogEvent("SEED", "product cache absent");
        return S_OK;
    }

    std::vector<std::wstring> files;
    CollectCacheFiles(cacheDirectory, std::wstring(), files);

    int seeded = 0;
    HRESULT firstFailure = S_OK;
    for (const std::wstring& relative : files) {
        const size_t separator = LastSeparator(relative);
        const std::wstring parent = separator == std::wstring::npos ? std::wstring() : relative.substr(0, separator);
        const std::wstring name = separator == std::wstring::npos ? relative : relative.substr(separator + 1);
        std::wstring baseDirectory = ProviderPaths.syncRoot;
        if (!parent.empty()) baseDirectory = CreateDirectoriesBelowRoot(parent, false);

        WIN32_FILE_ATTRIBUTE_DATA data = {};
        if (!GetFileAttributesExW(JoinPath(cacheDirectory, relative).c_str(), GetFileExInfoStandard, &data)) continue;

        const std::vector<BYTE> identity = EncodeIdentityBlob(relative);
        CF_PLACEHOLDER_CREATE_INFO entry = CreateInfoFromFile(name.c_str(), data, identity);

        DWORD processed = 0;
        HRESULT hr = CfCreatePlaceholders(baseDirectory.c_str(), &entry, 1, CF_CREATE_FLAG_NONE, &processed);
        if (SUCCEEDED(hr) || hr == kHrAlreadyExists) {
            ++seeded;
        } else if (SUCCEEDED(firstFailure)) {
            firstFailure = hr;
        }
    }

    char message[128];
    snprintf(message, sizeof(message), "found %d seeded %d first_hr=0x%08lX (cap 32, no network)",
             static_cast<int>(files.size()), seeded, HrArg(firstFailure));
    LogEvent("SEED", message);
    return S_OK;
}
