// dispatch.h - the verb table, the usage text and the paths report.
#pragma once

#include "platform/win32.h"

// The process entry's work: returns the exit code.
int DispatchCommand(int argc, wchar_t** argv);
void PrintProviderPaths();
void PrintUsage();
