// request_completion.cpp - how a request the provider holds ends: CfExecute's data transfer or acknowledgement, a
// failed transfer, or the timeout (a fetch's with CANCEL_FETCH_DATA); every waiter gets the one answer.
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>

#include "platform/posix/filter/cloud_filter.h"
#include "platform/posix/filter/provider_internal.h"

namespace cfemu {
namespace {

// Drops whatever data a failed fetch left, so the placeholder is as dehydrated on disk as its state says.
void DropPartialData(const Pending& pending) {
    if (!pending.covered.empty()) (void)DropData(pending.fd, pending.size);
    (void)futimens(pending.fd, pending.times);
}

bool AddCovered(Pending& pending, LONGLONG begin, LONGLONG end) {
    auto& ranges = pending.covered;
    ranges.emplace_back(begin, end);
    std::sort(ranges.begin(), ranges.end());
    std::vector<std::pair<LONGLONG, LONGLONG>> merged;
    for (const auto& range : ranges) {
        if (!merged.empty() && range.first <= merged.back().second) {
            merged.back().second = std::max(merged.back().second, range.second);
        } else {
            merged.push_back(range);
        }
    }
    ranges.swap(merged);
    return !ranges.empty() && ranges.front().first <= 0 && ranges.front().second >= pending.size;
}

HRESULT ExecuteTransfer(Connection& connection, Pending& pending, LONGLONG transferKey,
                        const CF_OPERATION_PARAMETERS& params) {
    NTSTATUS status = params.TransferData.CompletionStatus;
    if (status < 0) {
        Finish(pending, Win32ErrorFromCloudStatus(status));
        connection.pending.erase(transferKey);
        return S_OK;
    }
    LONGLONG offset = params.TransferData.Offset.QuadPart;
    LONGLONG length = params.TransferData.Length.QuadPart;
    if (offset < 0 || length < 0 || offset % 4096 != 0 || length > LLONG_MAX - offset) return E_INVALIDARG;
    if (length % 4096 != 0 && offset + length < pending.size) return E_INVALIDARG;
    if (length > 0 && params.TransferData.Buffer == nullptr) return E_INVALIDARG;
    // Bytes past the end of the file are accepted and dropped: the placeholder keeps its size.
    LONGLONG end = std::min(offset + length, pending.size);
    const BYTE* data = static_cast<const BYTE*>(params.TransferData.Buffer);
    for (LONGLONG at = offset; at < end;) {
        ssize_t written = pwrite(pending.fd, data + (at - offset), static_cast<size_t>(end - at), at);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            (void)futimens(pending.fd, pending.times);
            return HRESULT_FROM_WIN32(posix::Win32ErrorFromErrno(written < 0 ? errno : ENOSPC));
        }
        at += written;
    }
    // Hydration never changes the placeholder's times. They are put back after every piece, not only at the
    // end, so a provider that dies halfway leaves them as they were.
    if (end > offset) (void)futimens(pending.fd, pending.times);
    // Any valid answer restarts the clock of every request the provider holds.
    Clock::time_point deadline = Clock::now() + connection.timeout;
    for (auto& entry : connection.pending) entry.second.deadline = deadline;
    if (!AddCovered(pending, offset, offset + length)) return S_OK;
    PlaceholderState state;
    if (ReadState(pending.fd, &state)) {
        state.flags |= kStateHydrated;
        int error = WriteState(pending.fd, state);
        if (error != 0) {
            Finish(pending, posix::Win32ErrorFromErrno(error));
            connection.pending.erase(transferKey);
            return S_OK;
        }
    }
    Finish(pending, ERROR_SUCCESS);
    connection.pending.erase(transferKey);
    return S_OK;
}

// The CANCEL_FETCH_DATA for a held fetch, without flags; null when the provider registered no cancel callback or
// never saw the fetch (it was still waiting for a thread). Caller holds the connection's mutex.
std::shared_ptr<CallbackTask> MakeCancel(const Connection& connection, const Pending& pending) {
    if (connection.callbacks[CF_CALLBACK_TYPE_CANCEL_FETCH_DATA] == nullptr || !pending.task->started) return nullptr;
    auto cancel = std::make_shared<CallbackTask>(*pending.task);
    cancel->held = false;
    cancel->callback = connection.callbacks[CF_CALLBACK_TYPE_CANCEL_FETCH_DATA];
    std::memset(&cancel->params, 0, sizeof(cancel->params));
    cancel->params.ParamSize = sizeof(CF_CALLBACK_PARAMETERS);
    cancel->params.Cancel.FetchData.FileOffset.QuadPart = 0;
    cancel->params.Cancel.FetchData.Length.QuadPart = pending.size;
    cancel->Bind();
    return cancel;
}

}  // namespace

void Reply(int fd, DWORD code) {
    BYTE bytes[4];
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<BYTE>(code >> (8 * i));
    (void)send(fd, bytes, sizeof(bytes), MSG_NOSIGNAL | MSG_DONTWAIT);  // a waiter that went away is no matter
    close(fd);
}

// Answers every waiter of `pending` with `code` and releases it. Caller holds the connection's mutex.
void Finish(Pending& pending, DWORD code) {
    if (pending.kind == PendingKind::Fetch && pending.fd >= 0) {
        if (code != ERROR_SUCCESS) DropPartialData(pending);
        close(pending.fd);
        pending.fd = -1;
    }
    for (int waiter : pending.waiters) Reply(waiter, code);
    pending.waiters.clear();
}

// Fails the requests whose time ran out; a fetch also tells the provider through CANCEL_FETCH_DATA.
void ExpireRequests(const std::shared_ptr<Connection>& connection) {
    std::vector<std::shared_ptr<CallbackTask>> cancels;
    {
        std::lock_guard<std::mutex> lock(connection->mutex);
        Clock::time_point now = Clock::now();
        for (auto it = connection->pending.begin(); it != connection->pending.end();) {
            Pending& pending = it->second;
            if (pending.deadline > now) {
                ++it;
                continue;
            }
            if (pending.kind == PendingKind::Fetch) {
                std::shared_ptr<CallbackTask> cancel = MakeCancel(*connection, pending);
                if (cancel != nullptr) {
                    cancel->params.Cancel.Flags = CF_CALLBACK_CANCEL_FLAG_IO_TIMEOUT;
                    cancels.push_back(cancel);
                }
            }
            Finish(pending, ERROR_CLOUD_FILE_REQUEST_TIMEOUT);
            it = connection->pending.erase(it);
        }
    }
    for (const auto& cancel : cancels) Submit(connection, cancel, TaskPriority::Urgent);
}

std::shared_ptr<CallbackTask> AbandonFetch(Connection& connection, LONGLONG transferKey) {
    auto found = connection.pending.find(transferKey);
    if (found == connection.pending.end() || found->second.kind != PendingKind::Fetch) return nullptr;
    // Windows names no flag for a reader that went away (IO_ABORTED is the user's cancel from the download
    // notice, IO_TIMEOUT the minute run out): the cancel carries none.
    std::shared_ptr<CallbackTask> cancel = MakeCancel(connection, found->second);
    Finish(found->second, ERROR_OPERATION_ABORTED);  // nobody waits for it any more
    connection.pending.erase(found);
    return cancel;
}

int NextTimeoutMs(const std::shared_ptr<Connection>& connection) {
    std::lock_guard<std::mutex> lock(connection->mutex);
    if (connection->pending.empty()) return -1;
    Clock::time_point earliest = Clock::time_point::max();
    for (const auto& entry : connection->pending) earliest = std::min(earliest, entry.second.deadline);
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(earliest - Clock::now()).count() + 1;
    return wait < 0 ? 0 : static_cast<int>(std::min<long long>(wait, 60 * 60 * 1000));
}

HRESULT ExecuteOperation(const CF_OPERATION_INFO* info, CF_OPERATION_PARAMETERS* params) {
    if (info == nullptr || params == nullptr || info->StructSize != sizeof(CF_OPERATION_INFO)) return E_INVALIDARG;
    size_t member = 0;
    PendingKind kind = PendingKind::Fetch;
    switch (info->Type) {
        case CF_OPERATION_TYPE_TRANSFER_DATA:
            member = sizeof(params->TransferData);
            break;
        case CF_OPERATION_TYPE_ACK_DELETE:
            member = sizeof(params->AckDelete);
            kind = PendingKind::Delete;
            break;
        case CF_OPERATION_TYPE_ACK_RENAME:
            member = sizeof(params->AckRename);
            kind = PendingKind::Rename;
            break;
        default:
            return E_INVALIDARG;  // operations no request of this filter waits for
    }
    // Exactly the union's offset plus the member used: the size Windows documents and every working provider
    // passes. Whether Windows refuses the whole structure's 48 is unverified, so it is refused here.
    if (params->ParamSize != offsetof(CF_OPERATION_PARAMETERS, TransferData) + member) return E_INVALIDARG;
    const HRESULT canceled = HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_REQUEST_CANCELED);
    std::shared_ptr<Connection> connection = FindConnection(info->ConnectionKey.Internal);
    if (connection == nullptr) return canceled;
    std::lock_guard<std::mutex> lock(connection->mutex);
    LONGLONG transferKey = info->TransferKey.QuadPart;
    auto found = connection->pending.find(transferKey);
    if (found == connection->pending.end()) return canceled;
    Pending& pending = found->second;
    if (pending.kind != kind) return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_INVALID_REQUEST);
    // The callback's request key goes back as it came; 0 (the default key) is accepted as well.
    if (info->RequestKey.QuadPart != 0 && info->RequestKey.QuadPart != pending.requestKey) return E_INVALIDARG;
    if (kind == PendingKind::Fetch) return ExecuteTransfer(*connection, pending, transferKey, *params);
    NTSTATUS status =
        kind == PendingKind::Delete ? params->AckDelete.CompletionStatus : params->AckRename.CompletionStatus;
    Clock::time_point deadline = Clock::now() + connection->timeout;
    for (auto& entry : connection->pending) entry.second.deadline = deadline;
    Finish(pending, status < 0 ? Win32ErrorFromCloudStatus(status) : ERROR_SUCCESS);
    connection->pending.erase(found);
    return S_OK;
}

}  // namespace cfemu
