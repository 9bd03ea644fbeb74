// standin_child.cpp - a child for the stand-in's process tests: "exit N", "sleep MS", "ctrl -" (prints "ready", then
// the console event it gets, which it passes on as the program does).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/win32.h"

namespace {

BOOL WINAPI OnControl(DWORD event) {
    std::printf("event %u\n", static_cast<unsigned>(event));
    std::fflush(stdout);
    return FALSE;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string verb = argc >= 3 ? argv[1] : "";
    if (verb == "exit") return std::atoi(argv[2]);
    if (verb == "sleep") {
        Sleep(static_cast<DWORD>(std::atol(argv[2])));
        return 0;
    }
    if (verb == "ctrl") {
        if (!SetConsoleCtrlHandler(OnControl, TRUE)) return 103;
        std::printf("ready\n");
        std::fflush(stdout);
        for (;;) Sleep(10);  // the passed-on event ends the process
    }
    return 100;
}
