// fetch_data.cpp - the fetch-data and cancel-fetch callbacks: a placeholder's data comes from the product cache
// or the staging directory, never from a network; a product-cache miss asks the engine through the inbox.
#include "hydration/fetch_data.h"

#include "app/event_log.h"
#include "layout/provider_paths.h"
#include "placeholders/identity.h"
#include "syncroot/callback_reply.h"
#include "syncroot/registration.h"
#include "syncroot/status_words.h"
#include "writeback/queue_records.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace {

constexpr wchar_t kProductCacheMarker[] = L"\\VOSKE\\Cache\\";
constexpr wchar_t kEngineCacheMarker[] = L"\\nq.vo.tarn.voskel\\VOSKE\\Cache\\";
constexpr DWORD kCacheMissWaitMilliseconds = 250;
constexpr int kCacheMissReopens = 40;
// A fetch waiting for the engine notices a stopping provider within this long.
constexpr auto kStopCheck = std::chrono::milliseconds(50);
// Cancels kept for fetches that had not begun to wait when their cancel came (a cancel and its fetch run on two
// callback threads at once); the oldest go first.
constexpr size_t kEarlyCancelsKept = 256;
// Ranges up to this size go as one buffer and one transfer; larger ones in pieces of this size.
constexpr LONGLONG kPieceBytes = 4LL * 1024 * 1024;
constexpr LONGLONG kTransferAlignment = 4096;

HANDLE OpenSource(const std::wstring& path) {
    return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

enum class SourceState {
    kMissing,  // not there, or not to be opened yet (the engine may still be writing it)
    kRefused,  // there, but no file whose data can be read: `cause` says what it is
    kEmpty,    // a file without data, never opened
    kOpened,
};

// Looks at the source before opening it, so that nothing which is no file holds the callback in its open: a
// directory or device is refused, and a source without data is never opened (a pipe, which looks like an empty file
// and whose open waits for a writer, cannot block the thread). Empty, it serves a placeholder without data only.
// With `whole`, a file shorter than the placeholder has not arrived yet (the engine is still writing it).
SourceState OpenFetchSource(const std::wstring& path, LONGLONG placeholderSize, bool whole, HANDLE* file, char* cause,
                            size_t causeSize) {
    *file = INVALID_HANDLE_VALUE;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return SourceState::kMissing;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        snprintf(cause, causeSize, "is a directory");
        return SourceState::kRefused;
    }
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) != 0) {
        snprintf(cause, causeSize, "is a device");
        return SourceState::kRefused;
    }
    const LONGLONG size = static_cast<LONGLONG>((static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    if (whole && size < placeholderSize) return SourceState::kMissing;
    if (size == 0) {
        if (placeholderSize <= 0) return SourceState::kEmpty;
        snprintf(cause, causeSize, "holds no data for the placeholder's %lld bytes (an empty file, or a pipe)",
                 static_cast<long long>(placeholderSize));
        return SourceState::kRefused;
    }
    *file = OpenSource(path);
    return *file == INVALID_HANDLE_VALUE ? SourceState::kMissing : SourceState::kOpened;
}

HRESULT SendTransfer(const CF_CALLBACK_INFO* info, NTSTATUS status, LPCVOID buffer, LONGLONG offset,
                     LONGLONG length) {
    CF_OPERATION_PARAMETERS params;
    memset(&params, 0, sizeof(params));
    params.TransferData.Flags = CF_OPERATION_TRANSFER_DATA_FLAG_NONE;
    params.TransferData.CompletionStatus = status;
    params.TransferData.Buffer = buffer;
    params.TransferData.Offset.QuadPart = offset;
    params.TransferData.Length.QuadPart = length;
    return ReplyToCallback(info, CF_OPERATION_TYPE_TRANSFER_DATA, params);
}

// Every refused fetch is answered, so no reader waits out the platform's timeout. The status says the provider
// could not serve the data; the authentication status would mislead the reader.
void SendFailure(const CF_CALLBACK_INFO* info, LONGLONG offset, LONGLONG length) {
    SendTransfer(info, STATUS_CLOUD_FILE_UNSUCCESSFUL, nullptr, offset, length);
}

// ---- Fetches waiting for the engine ----
// A wait ends early when the platform cancels its fetch (the reader gave up or its process ended: the platform
// sends CANCEL_FETCH_DATA for that transfer key) or the provider stops (the console's Ctrl+C disconnects it), so
// neither a reader nor the stop waits out the engine's ten seconds.

// A fetch is known by its connection and transfer key.
using FetchKey = std::pair<LONGLONG, LONGLONG>;

struct FetchWaits {
    std::mutex mutex;  // guards the members below
    std::condition_variable changed;
    std::map<FetchKey, bool> cancelled;  // every fetch waiting now: whether its cancel has come
    std::deque<FetchKey> early;          // cancels that came before their fetch began to wait
};

FetchWaits& Waits() {
    static FetchWaits* waits = new FetchWaits;  // never destroyed: callbacks may run while the process exits
    return *waits;
}

FetchKey KeyOf(const CF_CALLBACK_INFO* info) { return {info->ConnectionKey.Internal, info->TransferKey.QuadPart}; }

enum class WaitEnd { kWaited, kCancelled, kStopping };

// Enters the fetch into the waiting ones; kCancelled when its cancel came already.
WaitEnd BeginEngineWait(const FetchKey& key) {
    FetchWaits& waits = Waits();
    std::lock_guard<std::mutex> lock(waits.mutex);
    for (auto it = waits.early.begin(); it != waits.early.end(); ++it) {
        if (*it == key) {
            waits.early.erase(it);
            return WaitEnd::kCancelled;
        }
    }
    waits.cancelled[key] = false;
    return WaitEnd::kWaited;
}

void EndEngineWait(const FetchKey& key) {
    FetchWaits& waits = Waits();
    std::lock_guard<std::mutex> lock(waits.mutex);
    waits.cancelled.erase(key);
}

// Waits `milliseconds` unless the fetch is cancelled or the provider stops first.
WaitEnd PauseForEngine(const FetchKey& key, DWORD milliseconds) {
    FetchWaits& waits = Waits();
    std::unique_lock<std::mutex> lock(waits.mutex);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        if (waits.cancelled[key]) return WaitEnd::kCancelled;
        // Cleared when the disconnection begins, before the platform waits for the running callbacks.
        if (!ProviderConnected.load()) return WaitEnd::kStopping;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return WaitEnd::kWaited;
        waits.changed.wait_until(lock, deadline - now < kStopCheck ? deadline : now + kStopCheck);
    }
}

// The platform's cancel of a fetch: ends its wait, now or as soon as it begins.
void CancelEngineWait(const FetchKey& key) {
    FetchWaits& waits = Waits();
    std::lock_guard<std::mutex> lock(waits.mutex);
    auto found = waits.cancelled.find(key);
    if (found != waits.cancelled.end()) {
        found->second = true;
        waits.changed.notify_all();
        return;
    }
    if (waits.early.size() == kEarlyCancelsKept) waits.early.pop_front();
    waits.early.push_back(key);
}

enum class DownloadRequest {
    kNone,        // no cache reference: nothing the engine could download
    kQueued,
    kNotWritten,  // logged: the engine will not hear of the miss
};

DownloadRequest QueueDownloadRequest(const PlaceholderRef& ref) {
    std::wstring productDir = JoinPath(LocalAppDataDir(), L"nq.vo.tarn.voskel");
    CreateDirectoryW(productDir.c_str(), nullptr);
    CreateDirectoryW(JoinPath(productDir, L"VOSKE").c_str(), nullptr);
    CreateDirectoryW(EngineQueuePath().c_str(), nullptr);
    CreateDirectoryW(EngineInboxPath().c_str(), nullptr);
    if (ref.kind != PlaceholderRef::kCacheReference) return DownloadRequest::kNone;
    const HRESULT hr = WriteRecordFile(EngineInboxPath(), "", FormatDownloadRecord(ref.domainId, ref.itemId));
    if (SUCCEEDED(hr)) return DownloadRequest::kQueued;
    char message[512];
    snprintf(message, sizeof(message),
             "HYDRATE download request of %s/%s not written hr=0x%08lX - %s - the read is refused, reading again asks again",
             ToUtf8(ref.domainId).c_str(), ToUtf8(ref.itemId).c_str(), HrArg(hr), StatusInWords(hr));
    LogEvent("ERROR", message);
    return DownloadRequest::kNotWritten;
}

// The file that holds a safe identity's data: the cache file of a cache reference, else the path in the product
// cache when it is there, else the path in staging.
std::wstring LocateFetchSource(const PlaceholderRef& ref) {
    if (ref.kind == PlaceholderRef::kDemonstration) return JoinPath(ProviderPaths.staging, L"hello-from-engine.txt");
    if (ref.kind == PlaceholderRef::kCacheReference) {
        std::wstring cachePath = ReferenceCachePath(ref);
        if (!cachePath.empty()) return cachePath;
    }
    std::wstring productPath = ProductCachePath(ref.text);
    if (!productPath.empty() && GetFileAttributesW(productPath.c_str()) != INVALID_FILE_ATTRIBUTES) {
        return productPath;
    }
    return JoinPath(ProviderPaths.staging, ref.text);
}

void LogServed(const std::wstring& source, unsigned long long bytes, HRESULT hr) {
    char line[256];
    snprintf(line, sizeof(line), "%s bytes=%llu hr=0x%08lX (no network)",
             source.find(kEngineCacheMarker) != std::wstring::npos ? "HYDRATE_FROM_ENGINE_CACHE"
                                                                    : "HYDRATE_FROM_STAGING",
             bytes, HrArg(hr));
    LogEvent("HYDRATE", line);
}

// A source without data serves a placeholder without data: one empty transfer at its start.
void ServeEmptySource(const CF_CALLBACK_INFO* info, const std::wstring& source, LONGLONG requiredOffset,
                      LONGLONG requiredLength) {
    if (requiredOffset != 0 || requiredLength < 0) {
        SendFailure(info, requiredOffset, requiredLength);
        return;
    }
    const BYTE none = 0;
    const HRESULT hr = SendTransfer(info, STATUS_SUCCESS, &none, 0, 0);
    if (FAILED(hr)) SendFailure(info, 0, requiredLength);
    LogServed(source, 0, hr);
}

}  // namespace

void CALLBACK OnFetchData(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params) {
    LogEvent("NO_NETWORK", "FETCH_DATA entered - sockets forbidden on this thread");
    const LONGLONG requiredOffset = params->FetchData.RequiredFileOffset.QuadPart;
    const LONGLONG requiredLength = params->FetchData.RequiredLength.QuadPart;

    // A name taken from another process's identity must never reach outside the cache or staging directory.
    const PlaceholderRef ref = ClassifyIdentity(info->FileIdentity, info->FileIdentityLength);
    if (ref.kind == PlaceholderRef::kUnsafe) {
        LogEvent("ERROR", "HYDRATE unsafe identity - refusing");
        SendFailure(info, requiredOffset, requiredLength);
        return;
    }

    const std::wstring source = LocateFetchSource(ref);
    const LONGLONG placeholderSize = info->FileSize.QuadPart;
    HANDLE file = INVALID_HANDLE_VALUE;
    char cause[160] = "";
    SourceState state = OpenFetchSource(source, placeholderSize, false, &file, cause, sizeof(cause));
    if (state == SourceState::kMissing && source.find(kProductCacheMarker) != std::wstring::npos) {
        LogEvent("HYDRATE", "cache miss - queue local download, no socket");
        const DownloadRequest request = QueueDownloadRequest(ref);
        // Waiting for an engine that was never asked would only keep the reader waiting for nothing.
        if (request == DownloadRequest::kNotWritten) {
            SendFailure(info, requiredOffset, requiredLength);
            return;
        }
        if (request == DownloadRequest::kQueued) {
            // The engine fills the cache in its own time; give it about ten seconds before refusing the read.
            const FetchKey key = KeyOf(info);
            WaitEnd end = BeginEngineWait(key);
            for (int reopen = 0; reopen < kCacheMissReopens && state == SourceState::kMissing; ++reopen) {
                if (end == WaitEnd::kWaited) end = PauseForEngine(key, kCacheMissWaitMilliseconds);
                if (end != WaitEnd::kWaited) break;
                state = OpenFetchSource(source, placeholderSize, true, &file, cause, sizeof(cause));
            }
            EndEngineWait(key);
            // A cancelled fetch has no reader left to answer. A stopping provider's disconnection fails every fetch
            // it holds with the provider's end, the truer status for the reader.
            if (end == WaitEnd::kCancelled) {
                LogEvent("HYDRATE", "cache miss wait ended - the fetch was cancelled");
                return;
            }
            if (end == WaitEnd::kStopping) {
                LogEvent("HYDRATE", "cache miss wait ended - the provider stops");
                return;
            }
            // The wait is over: what the engine left, even a part, is what there is to serve.
            if (state == SourceState::kMissing) {
                state = OpenFetchSource(source, placeholderSize, false, &file, cause, sizeof(cause));
            }
        }
    }
    if (state == SourceState::kRefused) {
        char line[1024];
        snprintf(line, sizeof(line), "HYDRATE source is no file to read - refusing: %s %s", ToUtf8(source).c_str(),
                 cause);
        LogEvent("ERROR", line);
        SendFailure(info, requiredOffset, requiredLength);
        return;
    }
    if (state == SourceState::kMissing) {
        LogEvent("ERROR", "HYDRATE staging missing - refusing (no network fallback)");
        SendFailure(info, requiredOffset, requiredLength);
        return;
    }
    if (state == SourceState::kEmpty) {
        ServeEmptySource(info, source, requiredOffset, requiredLength);
        return;
    }

    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size)) size.QuadPart = 0;
    if (requiredOffset < 0 || requiredLength < 0 || requiredOffset > size.QuadPart) {
        CloseHandle(file);
        SendFailure(info, requiredOffset, requiredLength);
        return;
    }
    const LONGLONG rangeEnd = requiredOffset + (requiredLength > size.QuadPart - requiredOffset
                                                    ? size.QuadPart - requiredOffset
                                                    : requiredLength);

    // Pieces keep memory bounded; every piece but the last starts and ends on the platform's 4 KiB alignment.
    // The buffer is zero-filled once: each transfer carries only the bytes its read delivered, so clearing it
    // again for every piece (a second pass over every byte) would change nothing that leaves the provider.
    const LONGLONG firstPieceLimit = rangeEnd - requiredOffset <= kPieceBytes ? rangeEnd - requiredOffset : kPieceBytes;
    std::vector<BYTE> buffer(static_cast<size_t>(firstPieceLimit > 0 ? firstPieceLimit : 1));
    unsigned long long totalRead = 0;
    HRESULT hr = S_OK;
    LONGLONG pieceOffset = requiredOffset;
    LONGLONG servedEnd = requiredOffset;
    do {
        LONGLONG pieceEnd = rangeEnd;
        if (rangeEnd - pieceOffset > kPieceBytes) {
            pieceEnd = (pieceOffset + kPieceBytes) / kTransferAlignment * kTransferAlignment;
        }
        const DWORD pieceLength = static_cast<DWORD>(pieceEnd - pieceOffset);
        OVERLAPPED position;
        memset(&position, 0, sizeof(position));
        position.Offset = static_cast<DWORD>(static_cast<ULONGLONG>(pieceOffset) & 0xFFFFFFFFu);
        position.OffsetHigh = static_cast<DWORD>(static_cast<ULONGLONG>(pieceOffset) >> 32);
        DWORD read = 0;
        if (!ReadFile(file, buffer.data(), pieceLength, &read, &position)) {
            CloseHandle(file);
            LogEvent("ERROR", "ReadFile staging failed");
            SendFailure(info, pieceOffset, requiredLength - (pieceOffset - requiredOffset));
            return;
        }
        totalRead += read;
        hr = SendTransfer(info, STATUS_SUCCESS, buffer.data(), pieceOffset, read);
        if (SUCCEEDED(hr)) servedEnd = pieceOffset + read;
        // A short read means the source ended early: what it held has been served.
        if (read < pieceLength) break;
        pieceOffset = pieceEnd;
    } while (SUCCEEDED(hr) && pieceOffset < rangeEnd);
    CloseHandle(file);

    // The platform holds the reader until every byte it asked for, up to the placeholder's end, has come. A part
    // the provider cannot deliver (a refused piece, or a source shorter than the placeholder) is refused at once,
    // so the reader fails now instead of when the platform's timeout runs out.
    const LONGLONG requiredEnd = requiredOffset + requiredLength;
    const LONGLONG placeholderEnd = info->FileSize.QuadPart;
    const bool sourceShort = SUCCEEDED(hr) && servedEnd < (requiredEnd < placeholderEnd ? requiredEnd : placeholderEnd);
    if (sourceShort) LogEvent("ERROR", "HYDRATE source ends before the placeholder - rest refused");
    if (sourceShort || FAILED(hr)) SendFailure(info, servedEnd, requiredEnd - servedEnd);

    LogServed(source, totalRead, hr);
}

void CALLBACK OnCancelFetchData(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* /*params*/) {
    LogEvent("HYDRATE", "CANCEL_FETCH_DATA");
    CancelEngineWait(KeyOf(info));
}
