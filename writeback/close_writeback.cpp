// close_writeback.cpp - every close of a file in the sync root is a possible local change: copy the file out
// into the engine's write-back store with a modify record, or into the queue staging directory with a journal line.
#include "writeback/close_writeback.h"

#include "app/event_log.h"
#include "layout/file_open.h"
#include "layout/provider_paths.h"
#include "placeholders/identity.h"
#include "writeback/queue_records.h"

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <vector>

namespace {

constexpr DWORD kCopyBufferBytes = 64 * 1024;

// The closed file, held open for reading from before its state is looked at until the last copy is made.
struct ClosedFile {
    std::wstring path;
    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD openError = ERROR_SUCCESS;  // why the handle could not be opened
};

// Copies the closed file out without getting in its users' way. The source is read through a handle that shares
// reading, writing and deleting (CopyFileW would refuse writers while it runs, and fail beside one), and the copy
// is written under a name of its own and then renamed into place, so nobody reads half a copy. The copy keeps the
// source's last-write time, as CopyFileW would. Sets the last error on failure.
bool CopyClosedFile(const ClosedFile& source, const std::wstring& destination) {
    static std::atomic<unsigned> copies{0};
    HANDLE from = source.handle;
    if (from == INVALID_HANDLE_VALUE) {
        SetLastError(source.openError);
        return false;
    }
    SetFilePointer(from, 0, nullptr, FILE_BEGIN);
    wchar_t suffix[48];
    std::swprintf(suffix, sizeof(suffix) / sizeof(suffix[0]), L".partial-%lu-%u", DwArg(GetCurrentProcessId()),
                  copies.fetch_add(1));
    const std::wstring temporary = destination + suffix;
    HANDLE to = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (to == INVALID_HANDLE_VALUE) return false;
    std::vector<char> buffer(kCopyBufferBytes);
    bool ok = true;
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
    }
    DWORD error = GetLastError();
    FILETIME lastWrite;
    if (ok && GetFileTime(from, nullptr, nullptr, &lastWrite)) SetFileTime(to, nullptr, nullptr, &lastWrite);
    CloseHandle(to);
    if (ok && !MoveFileExW(temporary.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        ok = false;
        error = GetLastError();
    }
    if (!ok) {
        DeleteFileW(temporary.c_str());
        SetLastError(error);
    }
    return ok;
}

bool SameLastWriteAndSize(const std::wstring& filePath, const std::wstring& cachePath) {
    WIN32_FILE_ATTRIBUTE_DATA file = {};
    WIN32_FILE_ATTRIBUTE_DATA cache = {};
    if (!GetFileAttributesExW(filePath.c_str(), GetFileExInfoStandard, &file)) return false;
    if (!GetFileAttributesExW(cachePath.c_str(), GetFileExInfoStandard, &cache)) return false;
    return CompareFileTime(&file.ftLastWriteTime, &cache.ftLastWriteTime) == 0 &&
           file.nFileSizeLow == cache.nFileSizeLow && file.nFileSizeHigh == cache.nFileSizeHigh;
}

void WriteBackToEngine(const ClosedFile& file, const PlaceholderRef& ref) {
    const std::wstring& fullPath = file.path;
    const std::wstring& domainId = ref.domainId;
    const std::wstring& itemId = ref.itemId;
    const std::wstring& cacheFileName = ref.cacheFileName;

    std::wstring engineQueue = EngineQueuePath();
    std::wstring store = JoinPath(engineQueue, L"CloudFiles");
    std::wstring itemDir = JoinPath(store, JoinPath(domainId, itemId));
    CreateDirectoryW(engineQueue.c_str(), nullptr);
    CreateDirectoryW(store.c_str(), nullptr);
    CreateDirectoryW(JoinPath(store, domainId).c_str(), nullptr);
    CreateDirectoryW(itemDir.c_str(), nullptr);
    std::wstring engineCopy = JoinPath(itemDir, cacheFileName);

    // A close that left the file as the engine delivered it is no change worth sending back.
    std::wstring cachePath = ReferenceCachePath(ref);
    if (!cachePath.empty() && SameLastWriteAndSize(fullPath, cachePath)) {
        LogEvent("WRITEBACK", "unchanged close skipped");
        return;
    }

    if (!CopyClosedFile(file, engineCopy)) {
        LogEvent("ERROR", "WRITEBACK engine stage copy failed");
        return;
    }
    CreateDirectoryW(EngineInboxPath().c_str(), nullptr);
    WriteRecordFile(EngineInboxPath(), "mod-",
                    FormatCloseModifyRecord(domainId, itemId, engineCopy, SyncRootRelativePath(fullPath)));
    LogEvent("WRITEBACK", "WRITEBACK_ENGINE_QUEUE local copy only, no network");
}

void WriteBackToStaging(const ClosedFile& file, const std::wstring& identity) {
    std::wstring stagingCopy = JoinPath(JoinPath(ProviderPaths.queue, L"Staging"), identity);
    if (!CopyClosedFile(file, stagingCopy)) {
        char message[160];
        snprintf(message, sizeof(message), "WRITEBACK copy failed gle=%lu", DwArg(GetLastError()));
        LogEvent("ERROR", message);
        return;
    }

    // Text mode: the journal's lines end in carriage return and line feed on every platform.
    FILE* journal = _wfsopen(JoinPath(ProviderPaths.queue, L"pending-spike.jsonl").c_str(), L"a", _SH_DENYNO);
    if (journal != nullptr) fputs("write-back\n", journal);

    std::wstring localAppData = LocalAppDataDir();
    if (!localAppData.empty()) {
        std::wstring productRoot = JoinPath(localAppData, L"nq.vo.tarn.voskel");
        std::wstring product = JoinPath(productRoot, L"VOSKE");
        std::wstring engineQueue = JoinPath(product, L"Queue");
        std::wstring store = JoinPath(engineQueue, L"CloudFiles");
        CreateDirectoryW(productRoot.c_str(), nullptr);
        CreateDirectoryW(product.c_str(), nullptr);
        CreateDirectoryW(engineQueue.c_str(), nullptr);
        CreateDirectoryW(store.c_str(), nullptr);
        if (CopyClosedFile(file, JoinPath(store, identity))) {
            LogEvent("WRITEBACK", "WRITEBACK_PRODUCT_QUEUE local copy only, no network");
        }
    }
    LogEvent("WRITEBACK", "WRITEBACK_QUEUED local copy only, no network");
    if (journal != nullptr) fclose(journal);
}

void WriteBack(const ClosedFile& file, const CF_CALLBACK_INFO* info);

}  // namespace

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

    ClosedFile file;
    file.path = std::wstring(info->VolumeDosName) + info->NormalizedPath;
    // Held open from here to the last copy. A dehydration opens the file without sharing, so none can slip in
    // between the look at its state below and the copies that read it (which would fetch the data back). One that
    // holds the file now is waited out for a moment.
    file.handle = OpenExistingRetryingSharing(file.path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (file.handle == INVALID_HANDLE_VALUE) file.openError = GetLastError();
    WriteBack(file, info);
    if (file.handle != INVALID_HANDLE_VALUE) CloseHandle(file.handle);
}

namespace {

void WriteBack(const ClosedFile& file, const CF_CALLBACK_INFO* info) {
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
    if (info->FileIdentity != nullptr && info->FileIdentityLength >= 2) {
        ref = ClassifyIdentity(info->FileIdentity, info->FileIdentityLength);
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

}  // namespace
