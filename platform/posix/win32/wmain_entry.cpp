// wmain_entry.cpp - the POSIX process entry: UTF-8 arguments to wide ones, then the program's wmain.
// The program stays in the "C" locale, as every Windows program starts: "%ls" of text outside ASCII fails there.
#include "platform/posix/win32/standin_internal.h"

#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv);

int main(int argc, char** argv) {
    // The arguments, like every path and variable the stand-in converts, are decoded without the C locale.
    std::vector<std::wstring> arguments;
    arguments.reserve(static_cast<size_t>(argc));
    for (int i = 0; i < argc; ++i) arguments.push_back(posix::Utf8ToWide(argv[i]));
    std::vector<wchar_t*> pointers;
    for (std::wstring& argument : arguments) pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    return wmain(argc, pointers.data());
}
