// standin_child.cpp - a child for the stand-in's process tests, started through the program's own entry point:
// "locale NAME" shows how "%ls" formats NAME, and NAME.
#include <cstdio>
#include <string>

#include "platform/win32.h"
// The program's entry (UTF-8 arguments to wide ones, the locale), built into this child as into the program.
#include "platform/posix/win32/wmain_entry.cpp"

int wmain(int argc, wchar_t** argv) {
    const std::wstring verb = argc > 1 ? argv[1] : L"";
    if (verb == L"locale" && argc == 3) {
        // What snprintf returns for "%ls" of the name (-1 for one outside ASCII in the "C" locale), then the name.
        char printed[64];
        const int result = std::snprintf(printed, sizeof printed, "%ls", argv[2]);
        std::printf("%d %s\n", result, posix::WideToUtf8(argv[2]).c_str());
        return 0;
    }
    return 100;
}
