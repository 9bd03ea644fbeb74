// standin_child.cpp - a child for the stand-in's process test: given "wait", it runs until it is killed.
#include <string>

#include "platform/win32.h"

int main(int argc, char** argv) {
    if (argc < 2 || std::string(argv[1]) != "wait") return 100;
    for (;;) Sleep(10);
}
