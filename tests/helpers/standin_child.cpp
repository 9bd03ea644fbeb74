// standin_child.cpp - a tiny child process for the stand-in's process and console tests:
// "exit N", "sleep MS", "echo FILE ARGS..." (its directory, VOSKE_STANDIN_TEST and the arguments into FILE),
// "ctrl TRUE|FALSE" (reports "ready", then the console event it gets, on standard output).
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/posix/posix_handle.h"
#include "platform/win32.h"

namespace {

bool g_handled = false;
std::atomic<bool> g_done{false};

// Reports the event, then takes it or passes it on.
BOOL WINAPI OnControl(DWORD event) {
    std::printf("event %u\n", static_cast<unsigned>(event));
    std::fflush(stdout);
    g_done = true;
    return g_handled ? TRUE : FALSE;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string verb = argc >= 3 ? argv[1] : "";
    if (verb == "exit") return std::atoi(argv[2]);
    if (verb == "sleep") {
        Sleep(static_cast<DWORD>(std::atol(argv[2])));
        return 0;
    }
    if (verb == "echo") {
        char cwd[4096];
        const char* probe = std::getenv("VOSKE_STANDIN_TEST");
        std::string text = std::string(getcwd(cwd, sizeof cwd) ? cwd : "?") + "\n" + (probe ? probe : "(unset)") + "\n";
        for (int i = 3; i < argc; ++i) text += std::string("[") + argv[i] + "]\n";  // brackets show blanks
        FILE* f = std::fopen(posix::ToPosixPath(posix::Utf8ToWide(argv[2])).c_str(), "w");
        return f != nullptr && std::fputs(text.c_str(), f) >= 0 && std::fclose(f) == 0 ? 0 : 101;
    }
    if (verb == "ctrl") {
        g_handled = std::strcmp(argv[2], "TRUE") == 0;
        if (!SetConsoleCtrlHandler(OnControl, TRUE)) return 103;
        std::printf("ready\n");
        std::fflush(stdout);
        // A handled event lets the process end on its own terms, with exit code 7; an unhandled one ends it
        // from the dispatcher, so then this loop never finishes.
        while (!g_done || !g_handled) Sleep(10);
        return 7;
    }
    return 100;
}
