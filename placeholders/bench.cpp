// bench.cpp - the placeholder benchmark: ten thousand empty placeholders in batches of 200 on a freshly
// registered sync root, then one timed listing of the root; the root is unregistered again at the end.
#include "placeholders/bench.h"

#include "app/event_log.h"
#include "layout/provider_paths.h"
#include "placeholders/identity.h"
#include "syncroot/cloud_files.h"
#include "syncroot/registration.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

const int kBenchTotal = 10000;
const int kBenchBatch = 200;

std::wstring BenchName(int index) {
    char narrow[32];
    snprintf(narrow, sizeof(narrow), "bench-%05d.txt", index);
    // The name is plain ASCII, so widening byte by byte is exact.
    std::wstring wide;
    for (const char* p = narrow; *p != '\0'; ++p) wide.push_back(static_cast<wchar_t>(*p));
    return wide;
}

LONGLONG ReadCounter() {
    LARGE_INTEGER counter = {};
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

}  // namespace

double ElapsedMilliseconds(LONGLONG start, LONGLONG end, LONGLONG frequency) {
    return static_cast<double>(end - start) * 1000.0 / static_cast<double>(frequency);
}

HRESULT RunPlaceholderBench() {
    UnregisterProviderSyncRoot();
    HRESULT hr = RegisterProviderSyncRoot();
    if (FAILED(hr)) return hr;

    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    const LONGLONG timestamp = FileTimeToInt64(now);

    LARGE_INTEGER frequency = {};
    QueryPerformanceFrequency(&frequency);
    LONGLONG start = ReadCounter();

    for (int batchStart = 0; batchStart < kBenchTotal; batchStart += kBenchBatch) {
        const int count = batchStart + kBenchBatch > kBenchTotal ? kBenchTotal - batchStart : kBenchBatch;
        // Names and identity blobs must stay alive until the platform call returns.
        std::vector<std::wstring> names(static_cast<size_t>(count));
        std::vector<std::vector<BYTE>> identities(static_cast<size_t>(count));
        std::vector<CF_PLACEHOLDER_CREATE_INFO> entries(static_cast<size_t>(count));
        for (int j = 0; j < count; ++j) {
            names[j] = BenchName(batchStart + j);
            identities[j] = EncodeIdentityBlob(names[j]);
            CF_PLACEHOLDER_CREATE_INFO& entry = entries[j];
            entry = {};
            entry.RelativeFileName = names[j].c_str();
            entry.FsMetadata.BasicInfo.CreationTime.QuadPart = timestamp;
            entry.FsMetadata.BasicInfo.LastAccessTime.QuadPart = timestamp;
            entry.FsMetadata.BasicInfo.LastWriteTime.QuadPart = timestamp;
            entry.FsMetadata.BasicInfo.ChangeTime.QuadPart = timestamp;
            entry.FsMetadata.BasicInfo.FileAttributes = FILE_ATTRIBUTE_NORMAL;
            entry.FsMetadata.FileSize.QuadPart = 0;
            entry.FileIdentity = identities[j].data();
            entry.FileIdentityLength = static_cast<DWORD>(identities[j].size());
            entry.Flags = CF_PLACEHOLDER_CREATE_FLAG_MARK_IN_SYNC;
        }

        DWORD processed = 0;
        hr = CfCreatePlaceholders(ProviderPaths.syncRoot.c_str(), entries.data(), static_cast<DWORD>(count),
                                  CF_CREATE_FLAG_NONE, &processed);
        if (FAILED(hr)) {
            char message[160];
            snprintf(message, sizeof(message), "bench create failed at %d hr=0x%08lX processed=%lu", batchStart,
                     HrArg(hr), DwArg(processed));
            LogEvent("ERROR", message);
            UnregisterProviderSyncRoot();
            return hr;
        }
    }
    const double createMs = ElapsedMilliseconds(start, ReadCounter(), frequency.QuadPart);

    start = ReadCounter();
    int seen = 0;
    WIN32_FIND_DATAW data = {};
    HANDLE find = FindFirstFileW(JoinPath(ProviderPaths.syncRoot, L"*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (data.cFileName[0] != L'.') ++seen;
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    const double enumMs = ElapsedMilliseconds(start, ReadCounter(), frequency.QuadPart);

    char message[256];
    snprintf(message, sizeof(message),
             "10k placeholders create_ms=%.1f enum_ms=%.1f seen=%d (metadata only, no hydrate)", createMs, enumMs,
             seen);
    LogEvent("BENCH", message);

    UnregisterProviderSyncRoot();
    return seen == kBenchTotal ? S_OK : E_FAIL;
}
