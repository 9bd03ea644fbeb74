// standin_child.cpp - a child for the stand-in's process tests, started through the program's own entry point:
// "wait" runs until killed, "locale NAME" shows the locale and a file NAME, "append PATH COUNT TAG" appends lines.
#include <cstdio>
#include <cwchar>
#include <string>

#include "platform/win32.h"
// The program's entry (UTF-8 arguments to wide ones, the locale), built into this child as into the program.
#include "platform/posix/wmain_entry.cpp"

int wmain(int argc, wchar_t** argv) {
    const std::wstring verb = argc > 1 ? argv[1] : L"";
    if (verb == L"wait") {
        for (;;) Sleep(10);
    }
    if (verb == L"locale" && argc == 3) {
        // Prints what snprintf returns for "%ls" of the name, then what a file of that name under LOCALAPPDATA,
        // written through CreateFileW and read back through _wfopen, holds.
        char printed[64];
        const int result = std::snprintf(printed, sizeof printed, "%ls", argv[2]);
        wchar_t directory[1024];
        const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", directory, 1024);
        const std::wstring path = std::wstring(directory, length) + L"\\" + argv[2];
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        char back[8] = "failed";
        if (file != INVALID_HANDLE_VALUE && WriteFile(file, "data", 4, &written, nullptr) && CloseHandle(file)) {
            FILE* stream = _wfopen(path.c_str(), L"rb");
            back[stream != nullptr ? std::fread(back, 1, sizeof back - 1, stream) : 0] = '\0';
            if (stream != nullptr) std::fclose(stream);
        }
        std::printf("%d %s\n", result, back);
        return 0;
    }
    if (verb == L"append" && argc == 5) {
        // As the program appends to its log: one WriteFile per line through an append-only handle.
        HANDLE file = CreateFileW(argv[2], FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return 1;
        const long count = std::wcstol(argv[3], nullptr, 10);
        for (long i = 0; i < count; ++i) {
            char line[64];
            const int size = std::snprintf(line, sizeof line, "%ls %ld\r\n", argv[4], i);
            DWORD written = 0;
            if (size <= 0 || !WriteFile(file, line, static_cast<DWORD>(size), &written, nullptr)) return 2;
        }
        return CloseHandle(file) ? 0 : 3;
    }
    return 100;
}
