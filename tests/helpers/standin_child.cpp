// standin_child.cpp - a tiny child process for the stand-in's process and console tests:
// "exit N", "sleep MS", "echo FILE ARGS...", "cwd FILE", "ctrl MARKER READY TRUE|FALSE".
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/posix/posix_handle.h"
#include "platform/win32.h"

namespace {

const char* g_marker = nullptr;
bool g_handled = false;
std::atomic<bool> g_done{false};

// Writes `text` to `path`, given in the program's Windows form ("Z:\...") unless it is a POSIX one.
bool WriteText(const char* path, const std::string& text) {
    FILE* f = std::fopen(path[0] == '/' ? path : posix::ToPosixPath(posix::Utf8ToWide(path)).c_str(), "w");
    if (f == nullptr) return false;
    std::fwrite(text.data(), 1, text.size(), f);
    return std::fclose(f) == 0;
}

// Writes the event number into the marker file, then takes the event or passes it on.
BOOL WINAPI OnControl(DWORD event) {
    WriteText(g_marker, "event " + std::to_string(event));
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
        std::string text;  // one argument per line, each between brackets so that blanks show
        for (int i = 3; i < argc; ++i) text += std::string("[") + argv[i] + "]\n";
        return WriteText(argv[2], text) ? 0 : 101;
    }
    if (verb == "cwd") {
        char cwd[4096];
        const char* probe = std::getenv("VOSKE_STANDIN_TEST");
        return getcwd(cwd, sizeof cwd) && WriteText(argv[2], std::string(cwd) + "\n" + (probe ? probe : "(unset)"))
                   ? 0
                   : 101;
    }
    if (verb == "ctrl" && argc == 5) {
        g_marker = argv[2];
        g_handled = std::strcmp(argv[4], "TRUE") == 0;
        if (!SetConsoleCtrlHandler(OnControl, TRUE) || !WriteText(argv[3], "ready")) return 103;
        // A handled event lets the process end on its own terms, with exit code 7; an unhandled one ends it
        // from the dispatcher, so then this loop never finishes.
        while (!g_done || !g_handled) Sleep(10);
        return 7;
    }
    return 100;
}
