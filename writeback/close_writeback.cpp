// close_writeback.cpp - every close of a file in the sync root is a possible local change: copy the file out
// into the engine's write-back store with a modify record, or into the queue staging directory with a journal line.
#include "writeback/close_writeback.h"

#include "app/event_log.h"
#include "layout/file_open.h"
#include "layout/provider_paths.h"
#include "placeholders/identity.h"
#include "state/item_database.h"
#include "writeback/local_files.h"
#include "writeback/queue_records.h"
#include "writeback/root_watcher.h"

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <functional>
#include <mutex>
#include <vector>

namespace {

constexpr DWORD kCopyBufferBytes = 64 * 1024;

// The closed file, held open for reading from before its state is looked at until the last copy is made.
struct ClosedFile {
    std::wstring path;
    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD openError = ERROR_SUCCESS;  // why the handle could not be opened
    // A file that is no placeholder yet: once taken it becomes one with this identity (its handle then holds
    // WRITE_DAC, which the conversion needs), instead of being marked in sync.
    const std::vector<BYTE>* convertIdentity = nullptr;
    // The file is a placeholder already, of another identity (a file of the user's renamed over an item): it takes
    // the item's identity by an update instead of a conversion, and its own in-sync state says nothing of the item.
    bool replacing = false;
    bool hasIdentity = false;  // copied under its identity's name, not as closed.bin: an item to remember
    // A step failed: the change is not taken (the file stays out of sync) and is to be tried again.
    mutable bool failed = false;
};

// Copies the closed file out without getting in its users' way. The source is read through a handle that shares
// reading, writing and deleting (CopyFileW would refuse writers while it runs, and fail beside one), and the copy
// is written under a name of its own and then renamed into place, so nobody reads half a copy. The copy keeps the
// source's last-write time, as CopyFileW would: the one it had when the copy began, which the caller compares later
// to see whether the file changed while it was copied. Sets the last error on failure.
bool CopyClosedFile(const ClosedFile& source, const std::wstring& destination, FILETIME* copiedAt = nullptr,
                    LONGLONG* copiedBytes = nullptr) {
    static std::atomic<unsigned> copies{0};
    HANDLE from = source.handle;
    if (from == INVALID_HANDLE_VALUE) {
        SetLastError(source.openError);
        return false;
    }
    FILETIME lastWrite = {0, 0};
    if (!GetFileTime(from, nullptr, nullptr, &lastWrite)) return false;
    if (copiedAt != nullptr) *copiedAt = lastWrite;
    SetFilePointer(from, 0, nullptr, FILE_BEGIN);
    // The temporary name is short and of its own, beside the destination: a name the file system allows (up to 255
    // bytes) plus a suffix would pass that limit, and the change could never be written back.
    wchar_t name[48];
    std::swprintf(name, sizeof(name) / sizeof(name[0]), L".partial-%lu-%u", DwArg(GetCurrentProcessId()),
                  copies.fetch_add(1));
    const size_t separator = destination.find_last_of(L"\\/");
    const std::wstring temporary =
        separator == std::wstring::npos ? std::wstring(name) : destination.substr(0, separator + 1) + name;
    HANDLE to = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (to == INVALID_HANDLE_VALUE) return false;
    std::vector<char> buffer(kCopyBufferBytes);
    bool ok = true;
    LONGLONG total = 0;
    for (;;) {
        DWORD got = 0, put = 0;
        if (!ReadFile(from, buffer.data(), kCopyBufferBytes, &got, nullptr)) {
            ok = false;
            break;
        }
        if (got == 0) break;
        if (!WriteFile(to, buffer.data(), got, &put, nullptr) || put != got) {
            ok = false;
            break;
        }
        total += got;
    }
    if (copiedBytes != nullptr) *copiedBytes = total;
    DWORD error = GetLastError();
    if (ok && !SetFileTime(to, nullptr, nullptr, &lastWrite)) {
        ok = false;
        error = GetLastError();
    }
    // The bytes are on the disk before the copy takes its name (write-through): a record never points at a copy a
    // power cut could leave empty.
    if (ok && !FlushFileBuffers(to)) {
        ok = false;
        error = GetLastError();
    }
    CloseHandle(to);
    if (ok && !ReplaceFileRetrying(temporary, destination)) {
        ok = false;
        error = GetLastError();
    }
    if (!ok) {
        DeleteFileW(temporary.c_str());
        SetLastError(error);
    }
    return ok;
}

// One ERROR line naming the file (root-relative) and the cause; the change is left to be tried again.
void LogFailure(const ClosedFile& file, const char* what, const char* cause, unsigned long code) {
    char message[512];
    snprintf(message, sizeof(message), "WRITEBACK %s of %ls failed %s%lu - tried again later", what,
             SyncRootRelativePath(file.path).c_str(), cause, code);
    LogEvent("ERROR", message);
    file.failed = true;
}

void LogCopyFailure(const ClosedFile& file, const char* what) { LogFailure(file, what, "gle=", DwArg(GetLastError())); }

bool SameLastWriteAndSize(const std::wstring& filePath, const std::wstring& cachePath) {
    WIN32_FILE_ATTRIBUTE_DATA file = {};
    WIN32_FILE_ATTRIBUTE_DATA cache = {};
    if (!GetFileAttributesExW(filePath.c_str(), GetFileExInfoStandard, &file)) return false;
    if (!GetFileAttributesExW(cachePath.c_str(), GetFileExInfoStandard, &cache)) return false;
    return CompareFileTime(&file.ftLastWriteTime, &cache.ftLastWriteTime) == 0 &&
           file.nFileSizeLow == cache.nFileSizeLow && file.nFileSizeHigh == cache.nFileSizeHigh;
}

// The platform clears a placeholder's in-sync state on every write and every change of its last-write time, and
// only the provider sets it again: a placeholder still in sync was only read. False when the state cannot be read
// (then the close counts as a change).
bool StillInSync(HANDLE file) {
    CF_PLACEHOLDER_BASIC_INFO info = {};
    DWORD returned = 0;
    // The fixed part is enough: an identity that does not fit gives "more data" with the state filled in.
    const HRESULT hr = CfGetPlaceholderInfo(file, CF_PLACEHOLDER_INFO_BASIC, &info, sizeof(info), &returned);
    return (SUCCEEDED(hr) || hr == kHrMoreData) && info.InSyncState == CF_IN_SYNC_STATE_IN_SYNC;
}

// Marks the placeholder in sync once its change is in the queues, unless it changed again after the copy began:
// that change is still to be taken, by its own close or by the walk at the next connect. The platform's own guard
// against such a race (the USN argument) is reported to fail every call, so the program compares the last-write
// time instead; a write between that comparison and the call below is the window that remains.
// True when the file's last-write time is no longer the one its copy began with, or cannot be read.
bool ChangedSince(HANDLE file, const FILETIME& copiedAt) {
    FILETIME now = {0, 0};
    return !GetFileTime(file, nullptr, nullptr, &now) || CompareFileTime(&now, &copiedAt) != 0;
}

// A file that is no placeholder is converted into one, in sync, so its next change comes as a notification. One
// that changed while it was copied is left as it is: the watcher hears of that change and takes it again.
void ConvertUnlessChanged(const ClosedFile& file, const FILETIME& copiedAt) {
    if (ChangedSince(file.handle, copiedAt)) {
        LogEvent("WRITEBACK", "WRITEBACK changed while copied - not converted yet");
        return;
    }
    const std::vector<BYTE>& identity = *file.convertIdentity;
    if (identity.size() > CF_PLACEHOLDER_MAX_FILE_IDENTITY_LENGTH) {
        // A new file's identity is its path in the root, and a placeholder's identity holds at most 4 KiB: a file
        // deeper than that stays a file, and each of its changes is taken as it was (its copy and line, once).
        char message[160];
        snprintf(message, sizeof(message),
                 "WRITEBACK kept as a file that is no placeholder - its path (%lu bytes as identity) is longer than "
                 "an identity may be",
                 static_cast<unsigned long>(identity.size()));
        LogEvent("WRITEBACK", message);
        return;
    }
    const HRESULT hr = file.replacing
                           ? CfUpdatePlaceholder(file.handle, nullptr, identity.data(), static_cast<DWORD>(identity.size()),
                                                 nullptr, 0, CF_UPDATE_FLAG_MARK_IN_SYNC, nullptr, nullptr)
                           : CfConvertToPlaceholder(file.handle, identity.data(), static_cast<DWORD>(identity.size()),
                                                    CF_CONVERT_FLAG_MARK_IN_SYNC, nullptr, nullptr);
    if (FAILED(hr)) {
        char message[96];
        snprintf(message, sizeof(message), "WRITEBACK %s failed hr=0x%08lX",
                 file.replacing ? "CfUpdatePlaceholder" : "CfConvertToPlaceholder", HrArg(hr));
        LogEvent("ERROR", message);
        return;
    }
    LogEvent("WRITEBACK", file.replacing ? "WRITEBACK placeholder given its item's identity, in sync"
                                         : "WRITEBACK converted into a placeholder, in sync");
}

void MarkInSyncUnlessChanged(const ClosedFile& file, const FILETIME& copiedAt) {
    if (file.convertIdentity != nullptr) {
        ConvertUnlessChanged(file, copiedAt);
        return;
    }
    // Still in sync: an engine item whose cache file is gone is copied though unchanged, and needs no mark.
    if (StillInSync(file.handle)) return;
    if (ChangedSince(file.handle, copiedAt)) {
        LogEvent("WRITEBACK", "WRITEBACK changed while copied - left out of sync");
        return;
    }
    // WRITE_DAC is enough to set the state and is no data access, so closing this handle is no change either.
    HANDLE handle = OpenExistingRetryingSharing(file.path, WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    HRESULT hr = handle == INVALID_HANDLE_VALUE ? HRESULT_FROM_WIN32(GetLastError())
                                                : CfSetInSyncState(handle, CF_IN_SYNC_STATE_IN_SYNC,
                                                                   CF_SET_IN_SYNC_FLAG_NONE, nullptr);
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    if (hr == kHrCloudConnectedProviderOnly) {
        // The provider disconnected (Ctrl+C) while this change was taken: the copy and its record stand, and the
        // placeholder, still out of sync, is offered again by the walk at the next connect.
        LogEvent("WRITEBACK", "WRITEBACK provider disconnected - left out of sync for the next connect");
        return;
    }
    if (hr == kHrNotACloudFile) {
        // Replaced since its close by a file that is no placeholder (a save that renamed a new file over it): its
        // bytes are the ones just taken, and there is no state to set.
        LogEvent("WRITEBACK", "WRITEBACK replaced by a file that is no placeholder - no in-sync state to set");
        return;
    }
    if (FAILED(hr)) {
        char message[96];
        snprintf(message, sizeof(message), "WRITEBACK CfSetInSyncState failed hr=0x%08lX", HrArg(hr));
        LogEvent("ERROR", message);
        return;
    }
    LogEvent("WRITEBACK", "WRITEBACK in sync again");
}

// The file's size and last-write time: the version a write-back takes.
bool VersionOf(HANDLE file, LONGLONG& size, LONGLONG& lastWrite) {
    LARGE_INTEGER bytes = {};
    FILETIME written = {0, 0};
    if (!GetFileSizeEx(file, &bytes) || !GetFileTime(file, nullptr, nullptr, &written)) return false;
    size = bytes.QuadPart;
    lastWrite = FileTimeToInt64(written);
    return true;
}

// True when the item's present version is the one last copied and recorded: a write-back that was stopped before
// it could mark the file in sync (Ctrl+C, a kill) is finished without a second record. For an engine item (`engine`
// given), a record a stop left unpublished is published now when it carries that version, and removed when not.
bool AlreadyTaken(const ClosedFile& file, const std::wstring& identity, const PlaceholderRef* engine = nullptr) {
    ItemRow row;
    LONGLONG size = 0, lastWrite = 0;
    if (identity.empty() || !FindItem(identity, row) || row.size < 0 || !VersionOf(file.handle, size, lastWrite) ||
        size != row.size || lastWrite != row.lastWrite) {
        if (engine != nullptr) SettleLeftTakingRecords(engine->domainId, engine->itemId, false);
        return false;
    }
    if (engine != nullptr && !SettleLeftTakingRecords(engine->domainId, engine->itemId, true)) {
        file.failed = true;  // the record waits for the next try; the file stays out of sync until it is out
        return true;
    }
    LogEvent("WRITEBACK", "WRITEBACK change already recorded - not recorded again");
    FILETIME asCopied = {static_cast<DWORD>(lastWrite & 0xFFFFFFFF), static_cast<DWORD>(static_cast<ULONGLONG>(lastWrite) >> 32)};
    MarkInSyncUnlessChanged(file, asCopied);
    return true;
}

// The item stands at the file's place with the version just copied and recorded.
void RememberTaken(const ClosedFile& file, const std::wstring& identity, ItemKind kind, LONGLONG size,
                   const FILETIME& copiedAt) {
    if (identity.empty()) return;
    BeginItemBatch();
    NoteItemAt(SyncRootRelativePath(file.path), identity, kind);
    NoteVersionTaken(identity, size, FileTimeToInt64(copiedAt));
    EndItemBatch();
}

void WriteBackToEngine(const ClosedFile& file, const PlaceholderRef& ref) {
    const std::wstring& fullPath = file.path;
    const std::wstring& domainId = ref.domainId;
    const std::wstring& itemId = ref.itemId;
    const std::wstring& cacheFileName = ref.cacheFileName;

    // A close that left the file as the engine delivered it is no change worth sending back: the platform still
    // calls it in sync, or (where the state is unknown) its last-write time and size are the cache file's. Without
    // the cache file the engine has nothing to compare with, so the close counts as a change.
    std::wstring cachePath = ReferenceCachePath(ref);
    if (!cachePath.empty() &&
        ((!file.replacing && GetFileAttributesW(cachePath.c_str()) != INVALID_FILE_ATTRIBUTES && StillInSync(file.handle)) ||
         SameLastWriteAndSize(fullPath, cachePath))) {
        LogEvent("WRITEBACK", "unchanged close skipped");
        // A save that put the engine's own bytes and time back needs no copy, only its placeholder again.
        if (file.convertIdentity != nullptr) {
            FILETIME lastWrite = {0, 0};
            if (GetFileTime(file.handle, nullptr, nullptr, &lastWrite)) ConvertUnlessChanged(file, lastWrite);
        }
        return;
    }

    if (AlreadyTaken(file, ref.text, &ref)) return;

    // Made only for a change, so a read leaves the engine's store as it was.
    std::wstring engineQueue = EngineQueuePath();
    std::wstring store = JoinPath(engineQueue, L"CloudFiles");
    std::wstring itemDir = JoinPath(store, JoinPath(domainId, itemId));
    CreateDirectoryW(engineQueue.c_str(), nullptr);
    CreateDirectoryW(store.c_str(), nullptr);
    CreateDirectoryW(JoinPath(store, domainId).c_str(), nullptr);
    CreateDirectoryW(itemDir.c_str(), nullptr);
    std::wstring engineCopy = JoinPath(itemDir, cacheFileName);
    FILETIME copiedAt = {0, 0};
    LONGLONG copiedBytes = 0;
    if (!CopyClosedFile(file, engineCopy, &copiedAt, &copiedBytes)) {
        LogCopyFailure(file, "engine stage copy");
        return;
    }
    CreateDirectoryW(EngineInboxPath().c_str(), nullptr);
    std::wstring taking;
    const std::string record = FormatCloseModifyRecord(domainId, itemId, engineCopy, SyncRootRelativePath(fullPath));
    const HRESULT recorded = WriteTakingRecord(record, taking);
    LogEvent("WRITEBACK", "WRITEBACK_ENGINE_QUEUE local copy only, no network");
    // Without its record the engine never learns of the change: the placeholder stays out of sync, so the next
    // close or connect offers it again.
    if (FAILED(recorded)) {
        char message[512];
        snprintf(message, sizeof(message), "WRITEBACK record of %ls not written hr=0x%08lX - tried again later",
                 SyncRootRelativePath(fullPath).c_str(), HrArg(recorded));
        LogEvent("ERROR", message);
        file.failed = true;
        return;
    }
    // Noted before it is published: a stop between the two leaves the record to the next start, which publishes it
    // on the strength of this note, so the change is recorded once whenever the stop comes.
    RememberTaken(file, ref.text, ItemKind::kEngineItem, copiedBytes, copiedAt);
    if (FAILED(PublishTakingRecord(taking, record))) {
        file.failed = true;  // kept, and published by the next try, which finds this version taken
        return;
    }
    MarkInSyncUnlessChanged(file, copiedAt);
}

void WriteBackToStaging(const ClosedFile& file, const std::wstring& identity) {
    // A close that changed nothing (the platform still calls the placeholder in sync) was a read.
    if (file.convertIdentity == nullptr && file.handle != INVALID_HANDLE_VALUE && StillInSync(file.handle)) {
        LogEvent("WRITEBACK", "unchanged close skipped");
        return;
    }
    if (file.hasIdentity && AlreadyTaken(file, identity)) return;
    // A file the user made is copied under the path it stands at now (it may have been renamed since it got its
    // identity), into a store of its own; the provider's files under their identity.
    ItemRow row;
    const bool usersFile = file.hasIdentity && FindItem(identity, row) && row.kind == ItemKind::kUserFile;
    const std::wstring name = usersFile ? row.path : identity;
    if (!IsSafeRelativePath(name)) {
        LogEvent("ERROR", "WRITEBACK unsafe name - not queued");
        return;
    }
    const LocalCopies copies = LocalCopiesOf(name, usersFile);
    // A path identity may name sub-directories (cache seeding writes such identities); they are made below the
    // queue directories only.
    const std::wstring queueStaging = JoinPath(ProviderPaths.queue, L"Staging");
    CreateDirectoryW(queueStaging.c_str(), nullptr);
    CreateParentDirectories(queueStaging, name);
    FILETIME copiedAt = {0, 0};
    LONGLONG copiedBytes = 0;
    if (!CopyClosedFile(file, copies.staged, &copiedAt, &copiedBytes)) {
        LogCopyFailure(file, "staging copy");
        return;
    }
    if (!copies.stored.empty()) {
        const std::wstring localAppData = LocalAppDataDir();
        const std::wstring productRoot = JoinPath(localAppData, L"nq.vo.tarn.voskel");
        const std::wstring& store = copies.storeBase;
        CreateDirectoryW(productRoot.c_str(), nullptr);
        CreateDirectoryW(JoinPath(productRoot, L"VOSKE").c_str(), nullptr);
        CreateDirectoryW(EngineQueuePath().c_str(), nullptr);
        CreateDirectoryW(store.c_str(), nullptr);
        CreateParentDirectories(store, name);
        if (!CopyClosedFile(file, copies.stored)) {
            // Without the engine's copy the change is not taken: no journal line, no conversion, no in-sync mark.
            LogCopyFailure(file, "product copy");
            return;
        }
        LogEvent("WRITEBACK", "WRITEBACK_PRODUCT_QUEUE local copy only, no network");
    }
    // Deleted while it was copied (a swap or lock file's short life): the copies of a file that is gone would reach
    // the engine after it, so they are withdrawn.
    if (usersFile && GetFileAttributesW(file.path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        DeleteFileW(copies.staged.c_str());
        if (!copies.stored.empty()) DeleteFileW(copies.stored.c_str());
        ForgetItem(identity);
        LogEvent("WRITEBACK", "WRITEBACK deleted while copied - its copies withdrawn");
        return;
    }
    // The journal line comes after both copies and just before the item database notes the version: a provider
    // stopped during a copy takes the file again at its next start, and the line is written once.
    // Lines end in carriage return and line feed on every platform, as text mode writes them.
    if (!AppendTextLines(JoinPath(ProviderPaths.queue, L"pending-spike.jsonl"), "write-back\n", true)) {
        LogCopyFailure(file, "journal line");
        return;
    }
    LogEvent("WRITEBACK", "WRITEBACK_QUEUED local copy only, no network");
    if (file.hasIdentity) {
        RememberTaken(file, identity, usersFile ? ItemKind::kUserFile : ItemKind::kEngineFile, copiedBytes, copiedAt);
    }
    MarkInSyncUnlessChanged(file, copiedAt);
}

void WriteBack(ClosedFile& file, LPCVOID identity, DWORD identityLength) {
    // A placeholder that still holds no data cannot have been changed (a write hydrates it first); copying it
    // would fetch its data only to send the same bytes back, or fail where the fetch fails.
    const DWORD attributes = GetFileAttributesW(file.path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS) != 0) {
        LogEvent("WRITEBACK", "WRITEBACK dehydrated close skipped");
        return;
    }
    // A file without an identity is copied as closed.bin. Copy names come from the identity, which another
    // process wrote: they must stay inside their directory.
    PlaceholderRef ref;
    ref.kind = PlaceholderRef::kRelativePath;
    ref.text = L"closed.bin";
    if (identity != nullptr && identityLength >= 2) {
        ref = ClassifyIdentity(identity, identityLength);
        file.hasIdentity = !ref.text.empty();
    }
    if (ref.kind == PlaceholderRef::kUnsafe) {
        LogEvent("ERROR", "WRITEBACK unsafe identity - not queued");
        return;
    }

    if (ref.kind == PlaceholderRef::kCacheReference) {
        WriteBackToEngine(file, ref);
    } else {
        WriteBackToStaging(file, ref.text);
    }
}

// Two closes of one file, taken at once, would copy onto the same names in the queues, and the copy of the older
// bytes could land last (its final rename may wait for a reader): the engine would keep stale bytes of a file
// marked in sync. Write-backs of one path therefore take turns; those of different paths rarely share a stripe.
std::mutex& PathTurn(const std::wstring& path) {
    static std::mutex stripes[64];
    return stripes[std::hash<std::wstring>{}(path) % 64];
}

}  // namespace

UnplacedFileResult WriteBackUnplacedFile(const std::wstring& path, const std::vector<BYTE>& identity, bool replacing) {
    std::lock_guard<std::mutex> turn(PathTurn(path));
    ClosedFile file;
    file.path = path;
    file.convertIdentity = &identity;
    file.replacing = replacing;
    // Sharing reading and deleting but not writing: a program still writing the file holds it open for writing, and
    // this open then fails, so the file is taken once its writer is done; and none can write while it is copied.
    file.handle = CreateFileW(path.c_str(), GENERIC_READ | WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file.handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_SHARING_VIOLATION) return UnplacedFileResult::kBusy;
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? UnplacedFileResult::kGone
                                                                              : UnplacedFileResult::kFailed;
    }
    // Made a placeholder meanwhile (by a notification's path, or another walk): its changes come as notifications.
    // One to be given the item's identity must still be a placeholder of another.
    std::vector<BYTE> buffer(offsetof(CF_PLACEHOLDER_BASIC_INFO, FileIdentity) + CF_PLACEHOLDER_MAX_FILE_IDENTITY_LENGTH);
    DWORD returned = 0;
    const HRESULT state = CfGetPlaceholderInfo(file.handle, CF_PLACEHOLDER_INFO_BASIC, buffer.data(),
                                               static_cast<DWORD>(buffer.size()), &returned);
    const bool placeholder = SUCCEEDED(state);
    CF_PLACEHOLDER_BASIC_INFO info = {};
    memcpy(&info, buffer.data(), offsetof(CF_PLACEHOLDER_BASIC_INFO, FileIdentity));
    const BYTE* held = buffer.data() + offsetof(CF_PLACEHOLDER_BASIC_INFO, FileIdentity);
    const size_t heldLength = placeholder && info.FileIdentityLength <= CF_PLACEHOLDER_MAX_FILE_IDENTITY_LENGTH
                                  ? static_cast<size_t>(info.FileIdentityLength)
                                  : 0;
    const bool alreadyTheItem = placeholder && std::vector<BYTE>(held, held + heldLength) == identity;
    if (replacing ? (!placeholder || alreadyTheItem) : state != kHrNotACloudFile) {
        CloseHandle(file.handle);
        return SUCCEEDED(state) || state == kHrMoreData || state == kHrNotACloudFile ? UnplacedFileResult::kGone
                                                                                    : UnplacedFileResult::kFailed;
    }
    WriteBack(file, identity.data(), static_cast<DWORD>(identity.size()));
    CloseHandle(file.handle);
    return file.failed ? UnplacedFileResult::kFailed : UnplacedFileResult::kTaken;
}

bool WriteBackPlaceholder(const std::wstring& path, LPCVOID identity, DWORD identityLength) {
    std::lock_guard<std::mutex> turn(PathTurn(path));
    ClosedFile file;
    file.path = path;
    // Held open from here to the last copy. A dehydration opens the file without sharing, so none can slip in
    // between the look at its state below and the copies that read it (which would fetch the data back). One that
    // holds the file now is waited out for a moment.
    file.handle = OpenExistingRetryingSharing(file.path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (file.handle == INVALID_HANDLE_VALUE) file.openError = GetLastError();
    // Replaced since its close by a file that is no placeholder (a save that renamed a new file over it): that file
    // is the root watcher's to take, under the item's identity, once its writer is done; taken here too, the
    // engine would get the change twice.
    CF_PLACEHOLDER_BASIC_INFO info = {};
    DWORD returned = 0;
    if (file.handle != INVALID_HANDLE_VALUE &&
        CfGetPlaceholderInfo(file.handle, CF_PLACEHOLDER_INFO_BASIC, &info, sizeof(info), &returned) == kHrNotACloudFile) {
        LogEvent("WRITEBACK", "WRITEBACK replaced by a file that is no placeholder - left to the root watcher");
    } else {
        WriteBack(file, identity, identityLength);
    }
    if (file.handle != INVALID_HANDLE_VALUE) CloseHandle(file.handle);
    // A file gone since its close has no change left to take.
    return !file.failed || GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES;
}

void CALLBACK OnNotifyFileCloseCompletion(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params) {
    LogEvent("WRITEBACK", "close callback entered");
    // The platform announces the provider's own closes too: its copies below, its hydrate and dehydrate handles.
    // Writing those back would copy again on every copy's close, without end.
    if (info->ProcessInfo != nullptr && info->ProcessInfo->ProcessId == GetCurrentProcessId()) {
        LogEvent("WRITEBACK", "WRITEBACK own close skipped");
        return;
    }
    if ((params->CloseCompletion.Flags & CF_CALLBACK_CLOSE_COMPLETION_FLAG_DELETED) != 0) {
        LogEvent("WRITEBACK", "close deleted - not queued");
        return;
    }
    if (info->VolumeDosName == nullptr || info->NormalizedPath == nullptr) {
        LogEvent("ERROR", "WRITEBACK missing path");
        return;
    }
    const std::wstring path = std::wstring(info->VolumeDosName) + info->NormalizedPath;
    if (!WriteBackPlaceholder(path, info->FileIdentity, info->FileIdentityLength)) LookAgainLater(SyncRootRelativePath(path));
}
