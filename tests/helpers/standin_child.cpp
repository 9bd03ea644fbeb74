// standin_child.cpp - a child for the stand-in's process tests: "ctrl" prints "ready", then the console event it
// gets, which it passes on as the program does; it runs until that event ends it.
#include <cstdio>
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
    if (argc < 2 || std::string(argv[1]) != "ctrl" || !SetConsoleCtrlHandler(OnControl, TRUE)) return 100;
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) Sleep(10);
}
