// filter_provider.cpp - a provider process for the emulated filter's cross-process tests.
// Connects to a sync root with callbacks whose behaviour the command line chooses and logs every callback.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/posix_handle.h"
#include "syncroot/cloud_files.h"

namespace {

const char kUsage[] =
    "usage: filter_provider ROOT LOG [options]\n"
    "  --source DIR           serve fetches from DIR/<path below ROOT>\n"
    "  --chunk N              transfer in chunks of N bytes (default: the whole file at once)\n"
    "  --fetch MODE           serve | misaligned | fail:0xSTATUS | hang | partial-hang | hold\n"
    "  --ack-delete 0xSTATUS  status of every ACK_DELETE (default 0)\n"
    "  --ack-rename 0xSTATUS  status of every ACK_RENAME (default 0)\n"
    "  --hold FILE            wait until FILE exists before acknowledging (and before serving in hold mode)\n"
    "  --timeout-ms N         the filter's request timeout in this process\n"
    "  --fetch-only           register only FETCH_DATA and CANCEL_FETCH_DATA\n"
    "  --create NAME=SIZE     create a placeholder in ROOT once connected\n";

struct Options {
    std::string root, log, source, fetchMode = "serve", hold;
    long long chunk = 0;
    NTSTATUS failStatus = 0, ackDelete = 0, ackRename = 0;
    bool fetchOnly = false;
    std::vector<std::string> creates;
} g_options;

std::mutex g_logMutex;
FILE* g_log = nullptr;

void Log(const char* format, ...) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    va_list args;
    va_start(args, format);
    std::vfprintf(g_log, format, args);
    va_end(args);
    std::fputc('\n', g_log);
    std::fflush(g_log);
}

std::string Narrow(PCWSTR text) { return text == nullptr ? std::string("(null)") : posix::WideToUtf8(text); }

// The identity blob as UTF-16LE text, tabs shown as \t.
std::string Identity(const CF_CALLBACK_INFO* info) {
    std::wstring text;
    const BYTE* bytes = static_cast<const BYTE*>(info->FileIdentity);
    for (DWORD i = 0; bytes != nullptr && i + 1 < info->FileIdentityLength; i += 2) {
        text.push_back(static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    std::string shown;
    for (char c : posix::WideToUtf8(text)) shown += c == '\t' ? std::string("\\t") : std::string(1, c);
    return shown;
}

std::string Common(const CF_CALLBACK_INFO* info) {
    char text[256];
    std::snprintf(text, sizeof(text), "dos=%s size=%lld identity_length=%u pid=%d", Narrow(info->VolumeDosName).c_str(),
                  static_cast<long long>(info->FileSize.QuadPart), static_cast<unsigned>(info->FileIdentityLength),
                  info->ProcessInfo != nullptr ? static_cast<int>(info->ProcessInfo->ProcessId) : -1);
    return std::string("path=") + Narrow(info->NormalizedPath) + " " + text + " identity=" + Identity(info);
}

void WaitForHold() {
    if (g_options.hold.empty()) return;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    struct stat st;
    while (stat(g_options.hold.c_str(), &st) != 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

HRESULT Transfer(const CF_CALLBACK_INFO* info, NTSTATUS status, const void* buffer, long long offset,
                 long long length) {
    CF_OPERATION_INFO op{};
    op.StructSize = sizeof(op);
    op.Type = CF_OPERATION_TYPE_TRANSFER_DATA;
    op.ConnectionKey = info->ConnectionKey;
    op.TransferKey = info->TransferKey;
    CF_OPERATION_PARAMETERS params{};
    params.ParamSize = offsetof(CF_OPERATION_PARAMETERS, TransferData) + sizeof(params.TransferData);
    params.TransferData.CompletionStatus = status;
    params.TransferData.Buffer = buffer;
    params.TransferData.Offset.QuadPart = offset;
    params.TransferData.Length.QuadPart = length;
    HRESULT hr = CfExecute(&op, &params);
    Log("TRANSFER offset=%lld length=%lld status=0x%08X hr=0x%08X", offset, length, static_cast<unsigned>(status),
        static_cast<unsigned>(hr));
    return hr;
}

std::string SourceBytes(const CF_CALLBACK_INFO* info) {
    std::wstring rootRelative = posix::ToWindowsPath(g_options.root).substr(2);  // without the drive
    std::wstring normalized = info->NormalizedPath;
    std::string relative = posix::ToPosixPath(normalized.substr(rootRelative.size()));
    std::ifstream in(g_options.source + relative, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void CALLBACK OnFetchData(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params) {
    Log("FETCH_DATA %s key=%lld offset=%lld length=%lld flags=0x%X image=%s", Common(info).c_str(),
        static_cast<long long>(info->TransferKey.QuadPart),
        static_cast<long long>(params->FetchData.RequiredFileOffset.QuadPart),
        static_cast<long long>(params->FetchData.RequiredLength.QuadPart),
        static_cast<unsigned>(params->FetchData.Flags),
        info->ProcessInfo != nullptr ? Narrow(info->ProcessInfo->ImagePath).c_str() : "-");
    const std::string& mode = g_options.fetchMode;
    if (mode == "hang") return;
    if (mode.rfind("fail:", 0) == 0) {
        Transfer(info, g_options.failStatus, nullptr, 0, params->FetchData.RequiredLength.QuadPart);
        return;
    }
    if (mode == "hold") WaitForHold();
    std::string data = SourceBytes(info);
    long long size = static_cast<long long>(data.size());
    if (mode == "misaligned") {
        // A good first chunk, two refused ones in the middle, then the rest: the request must survive the refusals.
        Transfer(info, STATUS_SUCCESS, data.data(), 0, 4096);
        Transfer(info, STATUS_SUCCESS, data.data() + 4096, 4096, 100);
        Transfer(info, STATUS_SUCCESS, data.data() + 4097, 4097, size - 4097);
        Transfer(info, STATUS_SUCCESS, data.data() + 4096, 4096, size - 4096 - 1);  // one byte short of the end
        Transfer(info, STATUS_SUCCESS, data.data() + 4096, 4096, size - 4096);
        return;
    }
    long long chunk = g_options.chunk > 0 ? g_options.chunk : (size > 0 ? size : 1);
    if (size == 0) {
        Transfer(info, STATUS_SUCCESS, data.data(), 0, 0);
        return;
    }
    for (long long offset = 0; offset < size; offset += chunk) {
        long long length = size - offset < chunk ? size - offset : chunk;
        Transfer(info, STATUS_SUCCESS, data.data() + offset, offset, length);
        if (mode == "partial-hang") {
            Log("HANGING after first chunk");
            return;
        }
    }
}

void CALLBACK OnCancelFetchData(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params) {
    Log("CANCEL_FETCH_DATA %s key=%lld flags=0x%X offset=%lld length=%lld", Common(info).c_str(),
        static_cast<long long>(info->TransferKey.QuadPart), static_cast<unsigned>(params->Cancel.Flags),
        static_cast<long long>(params->Cancel.FetchData.FileOffset.QuadPart),
        static_cast<long long>(params->Cancel.FetchData.Length.QuadPart));
}

void CALLBACK OnCloseCompletion(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params) {
    Log("CLOSE_COMPLETION %s flags=0x%X", Common(info).c_str(), static_cast<unsigned>(params->CloseCompletion.Flags));
}

void Acknowledge(const CF_CALLBACK_INFO* info, CF_OPERATION_TYPE type, NTSTATUS status, const char* name) {
    WaitForHold();
    CF_OPERATION_INFO op{};
    op.StructSize = sizeof(op);
    op.Type = type;
    op.ConnectionKey = info->ConnectionKey;
    op.TransferKey = info->TransferKey;
    CF_OPERATION_PARAMETERS params{};
    params.ParamSize = offsetof(CF_OPERATION_PARAMETERS, AckDelete) + sizeof(params.AckDelete);
    params.AckDelete.CompletionStatus = status;  // AckRename has the same layout
    HRESULT hr = CfExecute(&op, &params);
    Log("%s status=0x%08X hr=0x%08X", name, static_cast<unsigned>(status), static_cast<unsigned>(hr));
}

void CALLBACK OnNotifyDelete(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params) {
    Log("NOTIFY_DELETE %s flags=0x%X", Common(info).c_str(), static_cast<unsigned>(params->Delete.Flags));
    Acknowledge(info, CF_OPERATION_TYPE_ACK_DELETE, g_options.ackDelete, "ACK_DELETE");
}

void CALLBACK OnNotifyRename(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params) {
    Log("NOTIFY_RENAME %s target=%s flags=0x%X", Common(info).c_str(), Narrow(params->Rename.TargetPath).c_str(),
        static_cast<unsigned>(params->Rename.Flags));
    Acknowledge(info, CF_OPERATION_TYPE_ACK_RENAME, g_options.ackRename, "ACK_RENAME");
}

NTSTATUS ParseStatus(const char* text) { return static_cast<NTSTATUS>(std::strtoul(text, nullptr, 0)); }

bool ParseOptions(int argc, char** argv) {
    if (argc < 3) return false;
    g_options.root = argv[1];
    g_options.log = argv[2];
    for (int i = 3; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--fetch-only") {
            g_options.fetchOnly = true;
            continue;
        }
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        if (option == "--source") {
            g_options.source = value;
        } else if (option == "--chunk") {
            g_options.chunk = std::atoll(value);
        } else if (option == "--fetch") {
            g_options.fetchMode = value;
            if (g_options.fetchMode.rfind("fail:", 0) == 0) g_options.failStatus = ParseStatus(value + 5);
        } else if (option == "--ack-delete") {
            g_options.ackDelete = ParseStatus(value);
        } else if (option == "--ack-rename") {
            g_options.ackRename = ParseStatus(value);
        } else if (option == "--hold") {
            g_options.hold = value;
        } else if (option == "--timeout-ms") {
            setenv("CFEMU_REQUEST_TIMEOUT_MS", value, 1);
        } else if (option == "--create") {
            g_options.creates.push_back(value);
        } else {
            return false;
        }
    }
    return true;
}

void CreatePlaceholder(const std::string& spec) {
    size_t equals = spec.find('=');
    std::wstring name = posix::Utf8ToWide(spec.substr(0, equals));
    std::vector<BYTE> identity = {'i', 0, 'd', 0, 0, 0};
    CF_PLACEHOLDER_CREATE_INFO entry{};
    entry.RelativeFileName = name.c_str();
    entry.FsMetadata.FileSize.QuadPart = equals == std::string::npos ? 0 : std::atoll(spec.c_str() + equals + 1);
    entry.FsMetadata.BasicInfo.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    entry.FileIdentity = identity.data();
    entry.FileIdentityLength = static_cast<DWORD>(identity.size());
    entry.Flags = CF_PLACEHOLDER_CREATE_FLAG_MARK_IN_SYNC;
    DWORD processed = 0;
    HRESULT hr =
        CfCreatePlaceholders(posix::ToWindowsPath(g_options.root).c_str(), &entry, 1, CF_CREATE_FLAG_NONE, &processed);
    Log("CREATE %s hr=0x%08X", spec.c_str(), static_cast<unsigned>(hr));
}

}  // namespace

int main(int argc, char** argv) {
    if (!ParseOptions(argc, argv)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    g_log = std::fopen(g_options.log.c_str(), "a");
    if (g_log == nullptr) return 2;
    std::vector<CF_CALLBACK_REGISTRATION> table = {
        {CF_CALLBACK_TYPE_FETCH_DATA, OnFetchData},
        {CF_CALLBACK_TYPE_CANCEL_FETCH_DATA, OnCancelFetchData},
    };
    if (!g_options.fetchOnly) {
        table.push_back({CF_CALLBACK_TYPE_NOTIFY_FILE_CLOSE_COMPLETION, OnCloseCompletion});
        table.push_back({CF_CALLBACK_TYPE_NOTIFY_DELETE, OnNotifyDelete});
        table.push_back({CF_CALLBACK_TYPE_NOTIFY_RENAME, OnNotifyRename});
    }
    table.push_back({CF_CALLBACK_TYPE_NONE, nullptr});
    CF_CONNECTION_KEY key{};
    HRESULT hr = CfConnectSyncRoot(posix::ToWindowsPath(g_options.root).c_str(), table.data(), nullptr,
                                   CF_CONNECT_FLAG_REQUIRE_PROCESS_INFO | CF_CONNECT_FLAG_REQUIRE_FULL_FILE_PATH, &key);
    if (FAILED(hr)) {
        Log("CONNECT_FAILED hr=0x%08X", static_cast<unsigned>(hr));
        return 1;
    }
    for (const std::string& spec : g_options.creates) CreatePlaceholder(spec);
    Log("CONNECTED pid=%d", static_cast<int>(getpid()));
    for (;;) pause();  // serves until the test ends it
}
