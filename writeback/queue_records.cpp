// queue_records.cpp - the queue records the engine picks up (download, close modify, delete, rename), their
// string encodings, and the one safe way a record file reaches the engine inbox.
#include "writeback/queue_records.h"

#include "app/event_log.h"
#include "layout/provider_paths.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <cstdio>

namespace {

// Temporary record names must differ between threads of this process and between processes.
std::atomic<unsigned long long> temporaryNameCounter{0};

std::wstring AsciiToWide(const char* text) {
    std::wstring wide;
    for (const char* p = text; *p != '\0'; ++p) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*p)));
    return wide;
}

HRESULT LastErrorStatus() {
    DWORD error = GetLastError();
    return error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error);
}

HRESULT WriteTemporaryRecord(const std::wstring& path, const std::string& record) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return LastErrorStatus();
    HRESULT hr = S_OK;
    DWORD written = 0;
    if (!WriteFile(file, record.data(), static_cast<DWORD>(record.size()), &written, nullptr) ||
        written != record.size()) {
        hr = LastErrorStatus();
    } else if (!FlushFileBuffers(file)) {
        hr = LastErrorStatus();
    }
    CloseHandle(file);
    if (FAILED(hr)) DeleteFileW(path.c_str());
    return hr;
}

}  // namespace

std::string ToUtf8(const std::wstring& text) {
    int needed = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 1) return std::string();
    std::string utf8(static_cast<size_t>(needed), '\0');
    int converted = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, utf8.data(), needed, nullptr, nullptr);
    if (converted <= 1) return std::string();
    utf8.resize(static_cast<size_t>(needed - 1));
    return utf8;
}

std::string ToJsonUtf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    std::string utf8 = ToUtf8(text);
    std::string json;
    json.reserve(utf8.size());
    for (char c : utf8) {
        // A control character (a tab or a line feed in a file name) is escaped, so every record is JSON an engine
        // can parse; every other byte stays as it was.
        if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            snprintf(escape, sizeof(escape), "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
            json += escape;
            continue;
        }
        if (c == '\\' || c == '"') json.push_back('\\');
        json.push_back(c);
    }
    return json;
}

std::string ToJsonIdUtf8(const std::wstring& id) { return ToJsonUtf8(id); }

std::string FormatDownloadRecord(const std::wstring& domainId, const std::wstring& itemId) {
    std::string record = "{\"type\":\"download\",\"domainId\":\"";
    record += ToJsonIdUtf8(domainId);
    record += "\",\"itemId\":\"";
    record += ToJsonIdUtf8(itemId);
    record += "\",\"contentsPath\":null,\"timestamp\":0,\"attempts\":0,\"urgent\":true}\n";
    return record;
}

std::string FormatCloseModifyRecord(const std::wstring& domainId, const std::wstring& itemId,
                                    const std::wstring& contentsPath, const std::wstring& targetPath) {
    std::string record = "{\"type\":\"modify\",\"domainId\":\"";
    record += ToJsonIdUtf8(domainId);
    record += "\",\"itemId\":\"";
    record += ToJsonIdUtf8(itemId);
    record += "\",\"contentsPath\":\"";
    // Backslashes doubled; a double quote (impossible in a Windows path) is escaped too, so the record stays JSON.
    record += ToJsonUtf8(contentsPath);
    record += "\",\"targetPath\":\"";
    record += ToJsonUtf8(targetPath);
    record += "\",\"isDir\":false,\"timestamp\":0,\"attempts\":0,\"urgent\":true}\n";
    return record;
}

std::string FormatGenericRecord(const char* typeWord, const std::wstring& domainId, const std::wstring& itemId,
                                bool isDir, const std::wstring& targetPath, const std::wstring& previousPath) {
    std::string record = "{\"type\":\"";
    record += typeWord;
    record += "\",\"domainId\":\"";
    record += ToJsonIdUtf8(domainId);
    record += "\",\"itemId\":\"";
    record += ToJsonIdUtf8(itemId);
    record += "\",\"isDir\":";
    record += isDir ? "true" : "false";
    record += ",\"targetPath\":\"";
    record += ToJsonUtf8(targetPath);
    record += "\"";
    if (!previousPath.empty()) {
        record += ",\"previousPath\":\"";
        record += ToJsonUtf8(previousPath);
        record += "\"";
    }
    record += ",\"timestamp\":0,\"attempts\":0}\n";
    return record;
}

std::wstring RecordPath(const std::wstring& relative) {
    return SyncRootRelativePath(JoinPath(ProviderPaths.syncRoot, relative));
}

std::wstring EngineQueuePath() {
    return JoinPath(JoinPath(JoinPath(LocalAppDataDir(), L"nq.vo.tarn.voskel"), L"VOSKE"), L"Queue");
}

std::wstring EngineInboxPath() { return JoinPath(EngineQueuePath(), L"cloud-files-inbox"); }

namespace {

// The record written and flushed under a temporary name in `directory`, beginning with '.' and `temporaryPrefix`.
HRESULT WriteUnpublished(const std::wstring& directory, const std::string& temporaryPrefix, const std::string& record,
                         std::wstring& temporaryPath) {
    const unsigned long long tick = GetTickCount64();
    // CREATE_NEW never opens another writer's temporary file; a clash only moves on to the next number.
    HRESULT hr = E_FAIL;
    for (int attempt = 0; attempt < 16; ++attempt) {
        char temporaryName[128];
        snprintf(temporaryName, sizeof(temporaryName), ".%s%llu.%lu.%llu.tmp", temporaryPrefix.c_str(), tick,
                 static_cast<unsigned long>(GetCurrentProcessId()),
                 temporaryNameCounter.fetch_add(1, std::memory_order_relaxed));
        temporaryPath = JoinPath(directory, AsciiToWide(temporaryName));
        hr = WriteTemporaryRecord(temporaryPath, record);
        if (hr != HRESULT_FROM_WIN32(ERROR_FILE_EXISTS) && hr != HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS)) break;
    }
    return hr;
}

// Moves a record written under its temporary name to namePrefix + tick + ".json" in `directory`.
HRESULT Publish(const std::wstring& directory, const char* namePrefix, const std::wstring& temporaryPath,
                std::wstring* finalPath) {
    // Moving without MOVEFILE_REPLACE_EXISTING fails on a taken name, so an earlier record is never replaced.
    for (unsigned long long tick = GetTickCount64();; ++tick) {
        char name[64];
        snprintf(name, sizeof(name), "%s%llu.json", namePrefix, tick);
        std::wstring path = JoinPath(directory, AsciiToWide(name));
        // Write-through: the record's name is on the disk before the caller acknowledges anything on its strength.
        if (MoveFileExW(temporaryPath.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH)) {
            if (finalPath != nullptr) *finalPath = path;
            return S_OK;
        }
        DWORD error = GetLastError();
        if ((error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) || tick == ~0ull) {
            return error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error);
        }
    }
}

void LogNotWritten(const char* typeWord, const std::wstring& targetPath, const std::wstring& previousPath, HRESULT hr,
                   const char* consequence) {
    char message[512];
    snprintf(message, sizeof(message), "WRITEBACK %s record of %ls not written hr=0x%08lX - %s", typeWord,
             previousPath.empty() ? targetPath.c_str() : previousPath.c_str(), HrArg(hr), consequence);
    LogEvent("ERROR", message);
}

const char kHeldMark[] = "held-";

}  // namespace

HRESULT WriteRecordFile(const std::wstring& directory, const char* namePrefix, const std::string& record,
                        std::wstring* finalPath) {
    std::wstring temporaryPath;
    HRESULT hr = WriteUnpublished(directory, namePrefix, record, temporaryPath);
    if (FAILED(hr)) return hr;
    hr = Publish(directory, namePrefix, temporaryPath, finalPath);
    if (FAILED(hr)) DeleteFileW(temporaryPath.c_str());
    return hr;
}

HRESULT HoldQueueRecord(const char* typeWord, const std::wstring& domainId, const std::wstring& itemId,
                        const std::wstring& targetPath, const std::wstring& previousPath, const char* consequence,
                        std::wstring& heldPath) {
    if (LocalAppDataDir().empty()) return S_FALSE;
    CreateDirectoryW(EngineQueuePath().c_str(), nullptr);
    CreateDirectoryW(EngineInboxPath().c_str(), nullptr);
    const HRESULT hr = WriteUnpublished(EngineInboxPath(), std::string(kHeldMark) + typeWord + "-",
                                        FormatGenericRecord(typeWord, domainId, itemId, false, targetPath, previousPath),
                                        heldPath);
    if (FAILED(hr)) LogNotWritten(typeWord, targetPath, previousPath, hr, consequence);
    return hr;
}

HRESULT PublishHeldRecord(const std::wstring& heldPath, const char* typeWord) {
    const HRESULT hr = Publish(EngineInboxPath(), (std::string(typeWord) + "-").c_str(), heldPath, nullptr);
    if (FAILED(hr)) {
        char message[512];
        snprintf(message, sizeof(message), "WRITEBACK %s record %ls not published hr=0x%08lX - tried again later",
                 typeWord, heldPath.c_str(), HrArg(hr));
        LogEvent("ERROR", message);
    }
    return hr;
}

namespace {

const char kTakingMark[] = "taking-mod-";

struct LeftTaking {
    std::mutex mutex;
    std::vector<std::pair<std::wstring, std::string>> records;  // path, bytes
};

LeftTaking& TheLeftTaking() {
    static LeftTaking left;
    return left;
}

// How a close's record of the item (domainId, itemId) begins.
std::string TakingPrefix(const std::wstring& domainId, const std::wstring& itemId) {
    const std::string record = FormatCloseModifyRecord(domainId, itemId, L"", L"");
    return record.substr(0, record.find("\"contentsPath\""));
}

void Remember(const std::wstring& path, const std::string& bytes) {
    LeftTaking& left = TheLeftTaking();
    std::lock_guard<std::mutex> lock(left.mutex);
    left.records.emplace_back(path, bytes);
}

}  // namespace

HRESULT WriteTakingRecord(const std::string& record, std::wstring& takingPath) {
    return WriteUnpublished(EngineInboxPath(), kTakingMark, record, takingPath);
}

HRESULT PublishTakingRecord(const std::wstring& takingPath, const std::string& record) {
    const HRESULT hr = Publish(EngineInboxPath(), "mod-", takingPath, nullptr);
    if (FAILED(hr)) {
        char message[512];
        snprintf(message, sizeof(message), "WRITEBACK modify record %ls not published hr=0x%08lX - tried again later",
                 takingPath.c_str(), HrArg(hr));
        LogEvent("ERROR", message);
        Remember(takingPath, record);
    }
    return hr;
}

int FindLeftTakingRecords() {
    int found = 0;
    WIN32_FIND_DATAW entry = {};
    const std::wstring pattern = JoinPath(EngineInboxPath(), L"." + AsciiToWide(kTakingMark) + L"*");
    HANDLE find = FindFirstFileW(pattern.c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return 0;
    do {
        const std::wstring path = JoinPath(EngineInboxPath(), entry.cFileName);
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) continue;
        // A record is one line of a few hundred bytes; its first part names the item.
        std::string bytes(4096, '\0');
        DWORD got = 0;
        const bool read = ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr) != FALSE;
        CloseHandle(file);
        if (!read) continue;
        bytes.resize(got);
        Remember(path, bytes);
        ++found;
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return found;
}

bool SettleLeftTakingRecords(const std::wstring& domainId, const std::wstring& itemId, bool publish) {
    LeftTaking& left = TheLeftTaking();
    std::vector<std::pair<std::wstring, std::string>> mine;
    {
        std::lock_guard<std::mutex> lock(left.mutex);
        if (left.records.empty()) return true;  // the usual case, asked at every change of an engine item
        const std::string prefix = TakingPrefix(domainId, itemId);
        for (auto it = left.records.begin(); it != left.records.end();) {
            if (it->second.compare(0, prefix.size(), prefix) == 0) {
                mine.push_back(std::move(*it));
                it = left.records.erase(it);
            } else {
                ++it;
            }
        }
    }
    bool ok = true;
    for (const auto& [path, bytes] : mine) {
        if (!publish) {
            DeleteFileW(path.c_str());
        } else if (SUCCEEDED(PublishTakingRecord(path, bytes))) {
            LogEvent("WRITEBACK", "WRITEBACK record of a change taken before a stop published");
        } else {
            ok = false;
        }
    }
    return ok;
}

int RemoveLeftTakingRecordsExcept(const std::vector<std::pair<std::wstring, std::wstring>>& keep) {
    std::vector<std::string> kept;
    for (const auto& [domainId, itemId] : keep) kept.push_back(TakingPrefix(domainId, itemId));
    LeftTaking& left = TheLeftTaking();
    std::lock_guard<std::mutex> lock(left.mutex);
    int removed = 0;
    for (auto it = left.records.begin(); it != left.records.end();) {
        const std::string& bytes = it->second;
        const bool keepIt = std::any_of(kept.begin(), kept.end(), [&](const std::string& prefix) {
            return bytes.compare(0, prefix.size(), prefix) == 0;
        });
        if (keepIt) {
            ++it;
            continue;
        }
        if (DeleteFileW(it->first.c_str())) ++removed;
        it = left.records.erase(it);
    }
    return removed;
}

int RemoveHeldRecords() {
    int removed = 0;
    WIN32_FIND_DATAW entry = {};
    HANDLE find = FindFirstFileW(JoinPath(EngineInboxPath(), L".held-*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return 0;
    do {
        if (DeleteFileW(JoinPath(EngineInboxPath(), entry.cFileName).c_str())) ++removed;
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return removed;
}

HRESULT WriteQueueRecord(const char* typeWord, const std::wstring& domainId, const std::wstring& itemId, bool isDir,
                         const std::wstring& targetPath, const std::wstring& previousPath, const char* consequence) {
    if (LocalAppDataDir().empty()) return S_FALSE;
    CreateDirectoryW(EngineQueuePath().c_str(), nullptr);
    CreateDirectoryW(EngineInboxPath().c_str(), nullptr);
    std::string prefix = std::string(typeWord) + "-";
    const HRESULT hr = WriteRecordFile(EngineInboxPath(), prefix.c_str(),
                                       FormatGenericRecord(typeWord, domainId, itemId, isDir, targetPath, previousPath));
    if (FAILED(hr)) LogNotWritten(typeWord, targetPath, previousPath, hr, consequence);
    return hr;
}
