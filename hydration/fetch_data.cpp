// fetch_data.cpp - the fetch-data and cancel-fetch callbacks: a placeholder's data comes from the product cache
// or the staging directory, never from a network; a product-cache miss asks the engine through the inbox.
#include "hydration/fetch_data.h"

#include "app/event_log.h"
#include "layout/provider_paths.h"
#include "placeholders/identity.h"
#include "syncroot/callback_reply.h"
#include "writeback/queue_records.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr wchar_t kProductCacheMarker[] = L"\\VOSKE\\Cache\\";
constexpr wchar_t kEngineCacheMarker[] = L"\\nq.vo.tarn.voskel\\VOSKE\\Cache\\";
constexpr DWORD kCacheMissWaitMilliseconds = 250;
constexpr int kCacheMissReopens = 40;
// Ranges up to this size go as one buffer and one transfer; larger ones in pieces of this size.
constexpr LONGLONG kPieceBytes = 4LL * 1024 * 1024;
constexpr LONGLONG kTransferAlignment = 4096;

HANDLE OpenSource(const std::wstring& path) {
    return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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

// Returns whether the identity is a cache reference, the only kind the engine can download.
bool QueueDownloadRequest(const PlaceholderRef& ref) {
    std::wstring productDir = JoinPath(LocalAppDataDir(), L"nq.vo.tarn.voskel");
    CreateDirectoryW(productDir.c_str(), nullptr);
    CreateDirectoryW(JoinPath(productDir, L"VOSKE").c_str(), nullptr);
    CreateDirectoryW(EngineQueuePath().c_str(), nullptr);
    CreateDirectoryW(EngineInboxPath().c_str(), nullptr);
    if (ref.kind != PlaceholderRef::kCacheReference) return false;
    WriteRecordFile(EngineInboxPath(), "", FormatDownloadRecord(ref.domainId, ref.itemId));
    return true;
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

    std::wstring source = LocateFetchSource(ref);
    HANDLE file = OpenSource(source);
    if (file == INVALID_HANDLE_VALUE && source.find(kProductCacheMarker) != std::wstring::npos) {
        LogEvent("HYDRATE", "cache miss - queue local download, no socket");
        if (QueueDownloadRequest(ref)) {
            // The engine fills the cache in its own time; give it about ten seconds before refusing the read.
            for (int reopen = 0; reopen < kCacheMissReopens && file == INVALID_HANDLE_VALUE; ++reopen) {
                Sleep(kCacheMissWaitMilliseconds);
                file = OpenSource(source);
            }
        }
    }
    if (file == INVALID_HANDLE_VALUE) {
        LogEvent("ERROR", "HYDRATE staging missing - refusing (no network fallback)");
        SendFailure(info, requiredOffset, requiredLength);
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

    char line[256];
    snprintf(line, sizeof(line), "%s bytes=%llu hr=0x%08lX (no network)",
             source.find(kEngineCacheMarker) != std::wstring::npos ? "HYDRATE_FROM_ENGINE_CACHE"
                                                                    : "HYDRATE_FROM_STAGING",
             totalRead, HrArg(hr));
    LogEvent("HYDRATE", line);
}

void CALLBACK OnCancelFetchData(const CF_CALLBACK_INFO* /*info*/, const CF_CALLBACK_PARAMETERS* /*params*/) {
    LogEvent("HYDRATE", "CANCEL_FETCH_DATA");
}
