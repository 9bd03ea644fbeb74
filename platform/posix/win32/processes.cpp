// processes.cpp - the program's own path, and child processes: start, wait with a timeout, exit code.
// A command line is split by the Windows rules; a child ended by signal N reports exit code 128 + N.
#include "platform/posix/win32/standin_internal.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr DWORD kCreateUnicodeEnvironment = 0x00000400u;  // CREATE_UNICODE_ENVIRONMENT

std::mutex g_reapLock;  // one thread at a time reaps a child and records its exit

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// Records the exit of a reaped child. Exit code: the status for a normal exit, 128 + N after signal N.
void RecordExit(posix::Handle& handle, int status) {
    handle.exited = true;
    handle.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Reaps the child if it has ended; true once it has (also when another thread got there first).
bool TryReap(posix::Handle& handle) {
    std::lock_guard<std::mutex> guard(g_reapLock);
    if (handle.exited) return true;
    int status = 0;
    pid_t pid = waitpid(handle.pid, &status, WNOHANG);
    if (pid == handle.pid) {
        RecordExit(handle, status);
        return true;
    }
    return false;
}

long long NowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The path to run: a Windows path maps to POSIX; a ".exe" that is not there is tried without its suffix,
// since the same program on Linux has none.
std::string ProgramPath(const std::wstring& program) {
    std::string path = posix::ToPosixPath(program);
    struct stat st;
    if (path.size() > 4 && stat(path.c_str(), &st) != 0) {
        std::string suffix = path.substr(path.size() - 4);
        for (char& c : suffix) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        if (suffix == ".exe") {
            std::string bare = path.substr(0, path.size() - 4);
            if (stat(bare.c_str(), &st) == 0) return bare;
        }
    }
    return path;
}

// The environment block of CreateProcessW: NUL-separated "name=value" strings ending in an empty one.
std::vector<std::string> EnvironmentOf(LPVOID block, DWORD creationFlags) {
    std::vector<std::string> entries;
    if ((creationFlags & kCreateUnicodeEnvironment) != 0) {
        for (const wchar_t* p = static_cast<const wchar_t*>(block); *p != L'\0'; p += std::wcslen(p) + 1) {
            entries.push_back(posix::WideToUtf8(p));
        }
    } else {
        for (const char* p = static_cast<const char*>(block); *p != '\0'; p += std::strlen(p) + 1) {
            entries.emplace_back(p);
        }
    }
    return entries;
}

}  // namespace

namespace posix {

std::vector<std::wstring> SplitCommandLine(const std::wstring& commandLine) {
    std::vector<std::wstring> arguments;
    size_t i = 0, n = commandLine.size();
    // The program name ends at the closing quote or the first blank; backslashes are plain there.
    std::wstring program;
    if (i < n && commandLine[i] == L'"') {
        for (++i; i < n && commandLine[i] != L'"'; ++i) program += commandLine[i];
        if (i < n) ++i;
    } else {
        for (; i < n && !IsBlank(commandLine[i]); ++i) program += commandLine[i];
    }
    arguments.push_back(program);
    for (;;) {
        while (i < n && IsBlank(commandLine[i])) ++i;
        if (i >= n) break;
        std::wstring argument;
        bool quoted = false;
        while (i < n && (quoted || !IsBlank(commandLine[i]))) {
            if (commandLine[i] == L'\\') {
                size_t backslashes = 0;
                while (i < n && commandLine[i] == L'\\') {
                    ++backslashes;
                    ++i;
                }
                if (i < n && commandLine[i] == L'"') {
                    // 2n backslashes and a quote: n backslashes, then the quote delimits; 2n+1: a literal quote.
                    argument.append(backslashes / 2, L'\\');
                    if (backslashes % 2 == 1) {
                        argument += L'"';
                        ++i;
                    }
                } else {
                    argument.append(backslashes, L'\\');
                }
            } else if (commandLine[i] == L'"') {
                if (quoted && i + 1 < n && commandLine[i + 1] == L'"') {
                    argument += L'"';  // "" inside quotes is a literal quote, and the quotes go on
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else {
                argument += commandLine[i++];
            }
        }
        arguments.push_back(argument);
    }
    return arguments;
}

}  // namespace posix

extern "C" DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
    (void)module;  // only the executable itself is asked for
    char buffer[4096];
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length < 0) {
        posix::SetLastErrorFromErrno(errno);
        return 0;
    }
    buffer[length] = '\0';
    std::wstring path = posix::ToWindowsPath(buffer);
    if (size == 0 || fileName == nullptr) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    // Too small a buffer gets the path cut to size - 1 characters and a NUL, and returns size.
    if (path.size() >= size) {
        path.copy(fileName, size - 1);
        fileName[size - 1] = L'\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    path.copy(fileName, path.size());
    fileName[path.size()] = L'\0';
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
}

extern "C" BOOL CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                               LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD creationFlags,
                               LPVOID environment, LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                               LPPROCESS_INFORMATION processInformation) {
    (void)processAttributes;
    (void)threadAttributes;
    (void)inheritHandles;  // the stand-in's descriptors are close-on-exec; standard streams are inherited
    (void)startupInfo;
    if (processInformation == nullptr || (applicationName == nullptr && commandLine == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<std::wstring> arguments =
        posix::SplitCommandLine(commandLine != nullptr ? std::wstring(commandLine) : std::wstring());
    std::wstring program = applicationName != nullptr ? std::wstring(applicationName) : arguments[0];
    if (arguments[0].empty()) arguments[0] = program;
    if (program.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }

    // Everything the child needs is prepared before fork: after it only async-signal-safe calls are made.
    std::string path = ProgramPath(program);
    std::vector<std::string> narrowArguments;
    for (const std::wstring& argument : arguments) narrowArguments.push_back(posix::WideToUtf8(argument));
    std::vector<char*> argv;
    for (std::string& argument : narrowArguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<std::string> environmentEntries;
    std::vector<char*> envp;
    if (environment != nullptr) {
        environmentEntries = EnvironmentOf(environment, creationFlags);
        for (std::string& entry : environmentEntries) envp.push_back(entry.data());
        envp.push_back(nullptr);
    }
    char** childEnvironment = environment != nullptr ? envp.data() : environ;
    std::string directory = currentDirectory != nullptr ? posix::ToPosixPath(currentDirectory) : std::string();
    bool searchPath = path.find('/') == std::string::npos;

    // The child reports a failed chdir or exec through this pipe; success closes it on exec.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        posix::SetLastErrorFromErrno(errno);
        return FALSE;
    }
    pid_t pid = fork();
    if (pid < 0) {
        posix::SetLastErrorFromErrno(errno);
        close(report[0]);
        close(report[1]);
        return FALSE;
    }
    if (pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        int error = 0;
        if (!directory.empty() && chdir(directory.c_str()) != 0) {
            error = errno;
        } else if (searchPath) {
            execvpe(path.c_str(), argv.data(), childEnvironment);
            error = errno;
        } else {
            execve(path.c_str(), argv.data(), childEnvironment);
            error = errno;
        }
        ssize_t ignored = write(report[1], &error, sizeof error);
        (void)ignored;
        _exit(127);
    }
    close(report[1]);
    int childError = 0;
    ssize_t got;
    do {
        got = read(report[0], &childError, sizeof childError);
    } while (got < 0 && errno == EINTR);
    close(report[0]);
    if (got == static_cast<ssize_t>(sizeof childError)) {
        waitpid(pid, nullptr, 0);
        posix::SetLastErrorFromErrno(childError, childError == ENOENT && directory.empty() ? path : directory);
        if (childError == ENOENT && !directory.empty()) SetLastError(ERROR_DIRECTORY);
        return FALSE;
    }

    posix::Handle* process = new posix::Handle;
    process->kind = posix::HandleKind::Process;
    process->pid = pid;
    // The thread handle only needs closing; it is never waited on (pid -1 marks it).
    posix::Handle* thread = new posix::Handle;
    thread->kind = posix::HandleKind::Process;
    processInformation->hProcess = process;
    processInformation->hThread = thread;
    processInformation->dwProcessId = static_cast<DWORD>(pid);
    processInformation->dwThreadId = static_cast<DWORD>(pid);
    return TRUE;
}

extern "C" DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    posix::Handle* handle = posix::HandleOf(object, posix::HandleKind::Process);
    if (handle == nullptr || handle->pid <= 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    if (TryReap(*handle)) return WAIT_OBJECT_0;
    long long deadline = milliseconds == INFINITE ? -1 : NowMs() + milliseconds;
    // A pidfd becomes readable when the child ends; without one (old kernels) the wait polls.
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, handle->pid, 0));
    for (;;) {
        if (TryReap(*handle)) break;
        long long left = deadline < 0 ? -1 : deadline - NowMs();
        if (deadline >= 0 && left <= 0) {
            if (pidfd >= 0) close(pidfd);
            return WAIT_TIMEOUT;
        }
        if (pidfd >= 0) {
            pollfd entry{pidfd, POLLIN, 0};
            int timeout = left < 0 || left > 1000 ? 1000 : static_cast<int>(left);
            poll(&entry, 1, timeout);
        } else {
            timespec pause{0, (left < 0 || left > 10 ? 10 : left) * 1000000L};
            nanosleep(&pause, nullptr);
        }
    }
    if (pidfd >= 0) close(pidfd);
    return WAIT_OBJECT_0;
}

extern "C" BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
    posix::Handle* handle = posix::HandleOf(process, posix::HandleKind::Process);
    if (handle == nullptr || handle->pid <= 0 || exitCode == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *exitCode = TryReap(*handle) ? static_cast<DWORD>(handle->exitCode) : STILL_ACTIVE;
    return TRUE;
}
