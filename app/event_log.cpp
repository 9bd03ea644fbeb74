// event_log.cpp - one timestamped line per event, to the debugger output, standard error and provider.log.
// The file is opened and closed for every line, so each line is on disk when LogEvent returns.
#include "app/event_log.h"

#include "layout/file_open.h"
#include "layout/provider_paths.h"

#include <cstdio>

void LogEvent(const char* category, const char* message) {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    char line[1024];
    // Bounded and always terminated: a longer line is cut at 1023 bytes and loses its line feed.
    snprintf(line, sizeof(line), "%04u-%02u-%02u %02u:%02u:%02u [%s] %s\n", static_cast<unsigned>(now.wYear),
             static_cast<unsigned>(now.wMonth), static_cast<unsigned>(now.wDay), static_cast<unsigned>(now.wHour),
             static_cast<unsigned>(now.wMinute), static_cast<unsigned>(now.wSecond), category, message);

    OutputDebugStringA(line);
    fprintf(stderr, "%s", line);

    const std::wstring logFile = ProviderPaths.logFile;
    if (logFile.empty()) return;
    // The provider, hydrate, dehydrate and the write-back client all log here at once: one appending write per line.
    AppendTextLines(logFile, line);
}
