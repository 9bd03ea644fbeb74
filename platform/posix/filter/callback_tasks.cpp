// callback_tasks.cpp - a request turned into a callback: the CF_CALLBACK_INFO of one invocation with the file's
// identity and the requesting process, handed to the connection's callback pool.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "platform/posix/filter/cloud_filter.h"
#include "platform/posix/filter/filter_hooks.h"
#include "platform/posix/filter/provider_internal.h"

namespace cfemu {

thread_local bool t_callbackThread = false;

thread_local const CallbackPool::State* CallbackPool::t_pool = nullptr;

namespace {

std::string ReadProcFile(int pid, const char* name) {
    char path[64];
    std::snprintf(path, sizeof(path), "/proc/%d/%s", pid, name);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::string();
    std::string text;
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof(buffer))) > 0) text.append(buffer, static_cast<size_t>(got));
    close(fd);
    return text;
}

void FillProcess(CallbackTask& task, int pid) {
    task.process.StructSize = sizeof(CF_PROCESS_INFO);
    task.process.ProcessId = static_cast<DWORD>(pid);
    task.process.SessionId = 1;
    task.withProcess = (task.owner->flags & CF_CONNECT_FLAG_REQUIRE_PROCESS_INFO) != 0;
    if (!task.withProcess) return;
    char path[64];
    char image[4096];
    std::snprintf(path, sizeof(path), "/proc/%d/exe", pid);
    ssize_t size = readlink(path, image, sizeof(image) - 1);
    task.imagePath = size > 0 ? posix::ToWindowsPath(std::string(image, static_cast<size_t>(size))) : L"";
    std::string arguments = ReadProcFile(pid, "cmdline");
    while (!arguments.empty() && arguments.back() == '\0') arguments.pop_back();
    std::replace(arguments.begin(), arguments.end(), '\0', ' ');
    task.commandLine = arguments.empty() ? L"UNKNOWN" : posix::Utf8ToWide(arguments);
}

}  // namespace

void CallbackTask::Bind() {
    info.ConnectionKey.Internal = owner->key;
    info.CallbackContext = owner->context;
    info.VolumeGuidName = owner->volumeGuidName.c_str();
    info.VolumeDosName = volumeDosName.c_str();
    info.VolumeSerialNumber = owner->volumeSerial;
    info.SyncRootFileId.QuadPart = owner->rootFileId;
    info.SyncRootIdentity = owner->record.syncRootIdentity.empty() ? nullptr : owner->record.syncRootIdentity.data();
    info.SyncRootIdentityLength = static_cast<DWORD>(owner->record.syncRootIdentity.size());
    info.FileIdentity = identity.empty() ? nullptr : identity.data();
    info.FileIdentityLength = static_cast<DWORD>(identity.size());
    info.NormalizedPath = normalizedPath.c_str();
    process.ImagePath = imagePath.c_str();
    process.PackageName = empty.c_str();
    process.ApplicationId = empty.c_str();
    process.CommandLine = commandLine.c_str();
    info.ProcessInfo = withProcess ? &process : nullptr;
    if (!targetPath.empty()) params.Rename.TargetPath = targetPath.c_str();
}

// A task for `type` about `path`; `fd` (may be -1) is an open descriptor of the file for its size and identity.
std::shared_ptr<CallbackTask> MakeTask(const std::shared_ptr<Connection>& connection, CF_CALLBACK_TYPE type,
                                       const std::string& path, int fd, int pid, bool describe) {
    auto task = std::make_shared<CallbackTask>();
    task->owner = connection;
    task->callback = connection->callbacks[type];
    task->info.StructSize = sizeof(CF_CALLBACK_INFO);
    task->params.ParamSize = sizeof(CF_CALLBACK_PARAMETERS);
    task->normalizedPath = VolumeRelativePath(path);
    struct stat st;
    if (describe && (fd >= 0 ? fstat(fd, &st) : lstat(posix::SysPath(path).c_str(), &st)) == 0) {
        task->info.FileId.QuadPart = static_cast<LONGLONG>(st.st_ino);
        task->info.FileSize.QuadPart = S_ISDIR(st.st_mode) ? 0 : static_cast<LONGLONG>(st.st_size);
        if (fd >= 0) {
            ReadIdentity(fd, &task->identity);
        } else {
            ReadIdentityAt(path, &task->identity);
        }
    }
    FillProcess(*task, pid);
    task->Bind();
    return task;
}

namespace {

// Whether the callback of `task` is to run now: always for a notification; for a request the platform holds, only
// while it is held and only the first time.
bool Begin(CallbackTask& task) {
    if (!task.held) return true;
    std::lock_guard<std::mutex> lock(task.owner->mutex);
    auto found = task.owner->pending.find(task.info.TransferKey.QuadPart);
    if (found == task.owner->pending.end() || found->second.task.get() != &task || task.started) return false;
    task.started = true;
    return true;
}

}  // namespace

bool Submit(const std::shared_ptr<Connection>& connection, const std::shared_ptr<CallbackTask>& task,
            TaskPriority priority) {
    return connection->pool.Submit(
        [task] {
            if (Begin(*task)) task->callback(&task->info, &task->params);
        },
        priority);
}

bool OnCallbackThread() { return t_callbackThread; }

}  // namespace cfemu
