// main.cpp - the program's wide-character entry point.
// On Windows the C runtime calls wmain; on Linux the stand-in's main converts argv and calls it.
#include "app/dispatch.h"

int wmain(int argc, wchar_t** argv) { return DispatchCommand(argc, argv); }
