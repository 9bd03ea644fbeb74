// filter_provider.cpp - a provider process that logs every callback and answer of the emulated filter:
//   filter_provider ROOT LOG [--source DIR] [--ack-delete 0xSTATUS] [--ack-rename 0xSTATUS] [--create NAME=SIZE]...
//   [--squat CODE]; LOG "-" is standard output.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/filter/cloud_filter.h"
#include "platform/posix/win32/posix_handle.h"
#include "syncroot/cloud_files.h"

namespace {

struct Options {
    std::string root, source;
    NTSTATUS ackDelete = 0, ackRename = 0;
    std::vector<std::string> creates;
    long squat = -1;  // >= 0: the code a squatter answers with
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

// Path, drive, size, identity length, process id and the identity as UTF-16LE text with tabs shown as \t.
std::string Common(const CF_CALLBACK_INFO* info) {
    std::wstring identity;
    const BYTE* bytes = static_cast<const BYTE*>(info->FileIdentity);
    for (DWORD i = 0; bytes != nullptr && i + 1 < info->FileIdentityLength && bytes[i] + bytes[i + 1] != 0; i += 2) {
        identity.push_back(static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    std::string shown;
    for (char c : posix::WideToUtf8(identity)) shown += c == '\t' ? std::string("\\t") : std::string(1, c);
    char text[256];
    std::snprintf(text, sizeof(text), "dos=%s size=%lld identity_length=%u pid=%d", Narrow(info->VolumeDosName).c_str(),
                  static_cast<long long>(info->FileSize.QuadPart), static_cast<unsigned>(info->FileIdentityLength),
                  info->ProcessInfo != nullptr ? static_cast<int>(info->ProcessInfo->ProcessId) : -1);
    return "path=" + Narrow(info->NormalizedPath) + " " + text + " identity=" + shown;
}

// Answers with the ParamSize of the member used, as the platform requires.
HRESULT Execute(const CF_CALLBACK_INFO* info, CF_OPERATION_TYPE type, CF_OPERATION_PARAMETERS& params, size_t size) {
    CF_OPERATION_INFO op{};
    op.StructSize = sizeof(op);
    op.Type = type;
    op.ConnectionKey = info->ConnectionKey;
    op.TransferKey = info->TransferKey;
    params.ParamSize = static_cast<ULONG>(offsetof(CF_OPERATION_PARAMETERS, TransferData) + size);
    return CfExecute(&op, &params);
}

void CALLBACK OnFetchData(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* fetch) {
    Log("FETCH_DATA %s key=%lld offset=%lld length=%lld flags=0x%X image=%s", Common(info).c_str(),
        static_cast<long long>(info->TransferKey.QuadPart),
        static_cast<long long>(fetch->FetchData.RequiredFileOffset.QuadPart),
        static_cast<long long>(fetch->FetchData.RequiredLength.QuadPart), static_cast<unsigned>(fetch->FetchData.Flags),
        info->ProcessInfo != nullptr ? Narrow(info->ProcessInfo->ImagePath).c_str() : "-");
    // The source file at the placeholder's path below the root, in one transfer.
    std::wstring below = std::wstring(info->NormalizedPath).substr(posix::ToWindowsPath(g_options.root).size() - 2);
    std::ifstream in(g_options.source + posix::ToPosixPath(below), std::ios::binary);
    const std::string data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    CF_OPERATION_PARAMETERS params{};
    params.TransferData.Buffer = data.data();
    params.TransferData.Length.QuadPart = static_cast<LONGLONG>(data.size());
    HRESULT hr = Execute(info, CF_OPERATION_TYPE_TRANSFER_DATA, params, sizeof(params.TransferData));
    Log("TRANSFER length=%zu hr=0x%08X", data.size(), static_cast<unsigned>(hr));
}

void CALLBACK OnCloseCompletion(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params) {
    Log("CLOSE_COMPLETION %s flags=0x%X", Common(info).c_str(), static_cast<unsigned>(params->CloseCompletion.Flags));
}

void Acknowledge(const CF_CALLBACK_INFO* info, CF_OPERATION_TYPE type, NTSTATUS status, const char* name) {
    CF_OPERATION_PARAMETERS params{};
    params.AckDelete.CompletionStatus = status;  // AckRename has the same layout
    HRESULT hr = Execute(info, type, params, sizeof(params.AckDelete));
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

void CreatePlaceholder(const std::string& spec) {
    const std::wstring name = posix::Utf8ToWide(spec.substr(0, spec.find('=')));
    std::vector<BYTE> identity = {'i', 0, 'd', 0, 0, 0};
    CF_PLACEHOLDER_CREATE_INFO entry{};
    entry.RelativeFileName = name.c_str();
    entry.FsMetadata.FileSize.QuadPart = std::atoll(spec.substr(spec.find('=') + 1).c_str());
    entry.FsMetadata.BasicInfo.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    entry.FileIdentity = identity.data();
    entry.FileIdentityLength = static_cast<DWORD>(identity.size());
    entry.Flags = CF_PLACEHOLDER_CREATE_FLAG_MARK_IN_SYNC;
    DWORD processed = 0;
    HRESULT hr =
        CfCreatePlaceholders(posix::ToWindowsPath(g_options.root).c_str(), &entry, 1, CF_CREATE_FLAG_NONE, &processed);
    Log("CREATE %s hr=0x%08X", spec.c_str(), static_cast<unsigned>(hr));
}

bool ParseOptions(int argc, char** argv) {
    for (int i = 3; i + 1 < argc; i += 2) {
        const std::string option = argv[i], value = argv[i + 1];
        if (option == "--create") {
            g_options.creates.push_back(value);
        } else if (option == "--squat") {
            g_options.squat = std::strtol(value.c_str(), nullptr, 0);
        } else if (option == "--source") {
            g_options.source = value;
        } else if (option == "--ack-delete" || option == "--ack-rename") {
            (option == "--ack-delete" ? g_options.ackDelete : g_options.ackRename) =
                static_cast<NTSTATUS>(std::strtoul(value.c_str(), nullptr, 0));
        } else {
            return false;
        }
    }
    return argc >= 3 && argc % 2 == 1;
}

// No provider: a process that binds the root's channel name itself (as any user can), logs each request that
// reaches it and answers it with `code` without transferring anything.
int Squat(uint32_t code) {
    std::string root = cfemu::CanonicalPath(g_options.root);
    const std::string name = cfemu::SocketName(root.empty() ? g_options.root : root);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.data(), name.size());
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), offsetof(sockaddr_un, sun_path) + name.size()) != 0 ||
        listen(fd, 16) != 0) {
        Log("CONNECT_FAILED errno=%d", errno);
        return 1;
    }
    Log("CONNECTED pid=%d as a squatter", static_cast<int>(getpid()));
    for (;;) {
        const int client = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        BYTE buffer[64 * 1024];
        const ssize_t got = client < 0 ? -1 : recv(client, buffer, sizeof(buffer), 0);
        cfemu::Request request;
        if (got > 0 && cfemu::DecodeRequest(buffer, static_cast<size_t>(got), &request)) {
            Log("REQUEST kind=%u path=%s", static_cast<unsigned>(request.kind), request.path.c_str());
            const BYTE reply[4] = {BYTE(code), BYTE(code >> 8), BYTE(code >> 16), BYTE(code >> 24)};
            (void)send(client, reply, sizeof(reply), MSG_NOSIGNAL);
        }
        if (client >= 0) close(client);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (!ParseOptions(argc, argv) ||
        (g_log = std::string(argv[2]) == "-" ? stdout : std::fopen(argv[2], "a")) == nullptr) {
        std::fputs("usage: filter_provider ROOT LOG [options] (see the source)\n", stderr);
        return 2;
    }
    g_options.root = argv[1];
    if (g_options.squat >= 0) return Squat(static_cast<uint32_t>(g_options.squat));
    const CF_CALLBACK_REGISTRATION table[] = {{CF_CALLBACK_TYPE_FETCH_DATA, OnFetchData},
                                              {CF_CALLBACK_TYPE_NOTIFY_FILE_CLOSE_COMPLETION, OnCloseCompletion},
                                              {CF_CALLBACK_TYPE_NOTIFY_DELETE, OnNotifyDelete},
                                              {CF_CALLBACK_TYPE_NOTIFY_RENAME, OnNotifyRename},
                                              {CF_CALLBACK_TYPE_NONE, nullptr}};
    CF_CONNECTION_KEY key{};
    HRESULT hr = CfConnectSyncRoot(posix::ToWindowsPath(g_options.root).c_str(), table, nullptr,
                                   CF_CONNECT_FLAG_REQUIRE_PROCESS_INFO | CF_CONNECT_FLAG_REQUIRE_FULL_FILE_PATH, &key);
    if (FAILED(hr)) {
        Log("CONNECT_FAILED hr=0x%08X", static_cast<unsigned>(hr));
        return 1;
    }
    for (const std::string& spec : g_options.creates) CreatePlaceholder(spec);
    Log("CONNECTED pid=%d", static_cast<int>(getpid()));
    for (;;) pause();  // serves until the test ends it
}
