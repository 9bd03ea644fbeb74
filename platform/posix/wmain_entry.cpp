// wmain_entry.cpp - the POSIX process entry: UTF-8 arguments to wide ones, then the program's wmain.
// LC_CTYPE is UTF-8 so that "%ls" in the program's messages renders wide paths as UTF-8.
#include "platform/posix/standin_internal.h"

#include <clocale>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv);

int main(int argc, char** argv) {
    if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr && std::setlocale(LC_CTYPE, "C.utf8") == nullptr) {
        std::setlocale(LC_CTYPE, "en_US.UTF-8");
    }
    std::vector<std::wstring> arguments;
    arguments.reserve(static_cast<size_t>(argc));
    for (int i = 0; i < argc; ++i) arguments.push_back(posix::Utf8ToWide(argv[i]));
    std::vector<wchar_t*> pointers;
    for (std::wstring& argument : arguments) pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    return wmain(argc, pointers.data());
}
