// writeback_client.cpp - the child that appends a marker to the demonstration placeholder, and the parent's
// check that the close write-back copied the changed file into both queues.
#include "app/event_log.h"
#include "layout/file_open.h"
#include "layout/provider_paths.h"
#include "selftest/selftest.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char kMarker[] = "queued-local";
constexpr int kPolls = 20;
constexpr DWORD kPollPauseMs = 100;
constexpr DWORD kChildWaitMs = 10000;

// Reads at most 255 bytes of a copy into a zeroed buffer; false when the copy cannot be opened.
bool ReadCopy(const std::wstring& path, char (&buffer)[256]) {
    memset(buffer, 0, sizeof(buffer));
    // Shared for deleting too: the provider puts a newer copy in place by renaming over this one.
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD read = 0;
    ReadFile(file, buffer, sizeof(buffer) - 1, &read, nullptr);
    CloseHandle(file);
    return true;
}

// The child's close reaches the provider after the child has exited, and an earlier close in the same run
// may already have left a copy without the marker, so a copy is read again until it holds the marker or the
// bound runs out. Returns whether the copy could be opened on the last read.
bool PollForMarker(const std::wstring& path, char (&buffer)[256]) {
    bool opened = false;
    for (int poll = 0; poll < kPolls; ++poll) {
        opened = ReadCopy(path, buffer);
        if (opened && strstr(buffer, kMarker) != nullptr) return true;
        if (poll + 1 < kPolls) Sleep(kPollPauseMs);
    }
    return opened;
}

}  // namespace

HRESULT RunWritebackClient() {
    InitProviderPaths();
    const std::wstring path = JoinPath(ProviderPaths.syncRoot, L"hello-from-engine.txt");
    HANDLE file = OpenExistingRetryingSharing(path, GENERIC_READ | GENERIC_WRITE,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (file == INVALID_HANDLE_VALUE) return HRESULT_FROM_WIN32(GetLastError());
    SetFilePointer(file, 0, nullptr, FILE_END);
    DWORD written = 0;
    BOOL ok = WriteFile(file, kMarker, sizeof(kMarker) - 1, &written, nullptr);
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    CloseHandle(file);
    return ok ? S_OK : HRESULT_FROM_WIN32(error);
}

HRESULT VerifyWriteBack() {
    const std::wstring stagingCopy = JoinPath(JoinPath(ProviderPaths.queue, L"Staging"), L"hello-from-engine.txt");
    const std::wstring productCopy = JoinPath(
        JoinPath(JoinPath(JoinPath(JoinPath(LocalAppDataDir(), L"nq.vo.tarn.voskel"), L"VOSKE"), L"Queue"),
                 L"CloudFiles"),
        L"hello-from-engine.txt");
    // Copies an earlier run left behind already hold the marker: only copies made in this run may pass the check.
    for (const std::wstring* copy : {&stagingCopy, &productCopy}) {
        if (DeleteFileW(copy->c_str())) continue;
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) continue;
        char message[80];
        snprintf(message, sizeof(message), "WRITEBACK old copy not removed gle=%lu", DwArg(error));
        LogEvent("ERROR", message);
        return HRESULT_FROM_WIN32(error);
    }

    wchar_t program[MAX_PATH] = {};
    if (GetModuleFileNameW(nullptr, program, MAX_PATH) == 0) return HRESULT_FROM_WIN32(GetLastError());

    std::wstring commandLine = std::wstring(L"\"") + program + L"\" writeback-client";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    WaitForSingleObject(process.hProcess, kChildWaitMs);
    DWORD exitCode = 1;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    char message[80];
    snprintf(message, sizeof(message), "writeback-client exit=%lu", DwArg(exitCode));
    LogEvent("WRITEBACK", message);

    char buffer[256];
    if (!PollForMarker(stagingCopy, buffer)) {
        LogEvent("ERROR", "WRITEBACK queue file missing");
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }
    if (strstr(buffer, kMarker) == nullptr) {
        LogEvent("ERROR", "WRITEBACK queue bytes mismatch");
        return E_FAIL;
    }
    LogEvent("WRITEBACK", "WRITEBACK_OK queue has local bytes");

    const bool opened = PollForMarker(productCopy, buffer);
    if (!opened) {
        LogEvent("ERROR", "WRITEBACK product queue file missing");
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }
    DeleteFileW(productCopy.c_str());
    if (strstr(buffer, kMarker) == nullptr) {
        LogEvent("ERROR", "WRITEBACK product queue bytes mismatch");
        return E_FAIL;
    }
    LogEvent("WRITEBACK", "WRITEBACK_PRODUCT_OK");
    return S_OK;
}
