// console.cpp - console control events from POSIX signals, and the debugger output that has no sink here.
// SIGINT is Ctrl+C, SIGTERM and SIGHUP are the console closing; handlers run on a thread of their own.
#include "platform/posix/win32/standin_internal.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct ConsoleState {
    std::mutex lock;  // guards handlers and ignoreCtrlC; the signal handler touches only the pipe
    std::vector<PHANDLER_ROUTINE> handlers;
    bool ignoreCtrlC = false;
    bool started = false;
};

ConsoleState& State() {
    static ConsoleState* state = new ConsoleState;  // never destroyed: the dispatcher may outlive main
    return *state;
}

int g_signalPipe[2] = {-1, -1};
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

void OnSignal(int signal) {
    int saved = errno;
    unsigned char byte = static_cast<unsigned char>(signal);
    ssize_t ignored = write(g_signalPipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

DWORD EventOfSignal(int signal) { return signal == SIGINT ? CTRL_C_EVENT : CTRL_CLOSE_EVENT; }

// Runs the handlers, last registered first, until one takes the event; else the signal's own default.
void Dispatch(int signal) {
    std::vector<PHANDLER_ROUTINE> handlers;
    {
        std::lock_guard<std::mutex> guard(State().lock);
        if (signal == SIGINT && State().ignoreCtrlC) return;
        handlers = State().handlers;
    }
    DWORD event = EventOfSignal(signal);
    for (auto it = handlers.rbegin(); it != handlers.rend(); ++it) {
        if ((*it)(event)) return;
    }
    // The system's default handling ends the process, here as the signal itself would.
    ::signal(signal, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal);
    kill(getpid(), signal);
}

void DispatcherLoop() {
    for (;;) {
        unsigned char byte;
        ssize_t n = read(g_signalPipe[0], &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        Dispatch(byte);
    }
}

bool StartDispatcher() {
    if (State().started) return true;
    if (pipe2(g_signalPipe, O_CLOEXEC) != 0) {
        posix::SetLastErrorFromErrno(errno);
        return false;
    }
    std::thread(DispatcherLoop).detach();
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : kSignals) sigaction(signal, &action, nullptr);
    State().started = true;
    return true;
}

}  // namespace

extern "C" BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
    ConsoleState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    if (handler == nullptr) {
        state.ignoreCtrlC = add != FALSE;  // a null handler switches Ctrl+C off or back on
        return StartDispatcher() ? TRUE : FALSE;
    }
    if (add) {
        if (!StartDispatcher()) return FALSE;
        state.handlers.push_back(handler);
        return TRUE;
    }
    auto found = std::find(state.handlers.rbegin(), state.handlers.rend(), handler);
    if (found == state.handlers.rend()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    state.handlers.erase(std::next(found).base());
    return TRUE;
}

extern "C" void OutputDebugStringA(LPCSTR text) { (void)text; }
