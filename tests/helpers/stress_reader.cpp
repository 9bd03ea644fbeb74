// stress_reader.cpp - one reader of the stress test: reads a placeholder through the stand-in as any application
// would and checks every byte against the offset pattern of the engine's cache file.
//
// usage: stress_reader PATH SIZE SEED   prints "ok BYTES" and exits 0, or prints "fail WHAT" and exits 1
#include <cstdio>
#include <string>
#include <vector>

#include "platform/posix/posix_handle.h"
#include "platform/win32.h"
#include "tests/helpers/stress_pattern.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: stress_reader PATH SIZE SEED\n");
        return 2;
    }
    const unsigned long long size = std::stoull(argv[2]), seed = std::stoull(argv[3]);
    HANDLE file = CreateFileW(posix::ToWindowsPath(argv[1]).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    std::string result;
    LARGE_INTEGER length;
    if (file == INVALID_HANDLE_VALUE) {
        result = "fail open gle=" + std::to_string(GetLastError());
    } else if (!GetFileSizeEx(file, &length) || static_cast<unsigned long long>(length.QuadPart) != size) {
        result = "fail size";
    }
    // An odd chunk size puts the reads across the provider's 4 KiB transfer pieces.
    std::vector<unsigned char> buffer(1024 * 1024 + 17);
    unsigned long long offset = 0;
    for (DWORD got = 1; result.empty() && got != 0; offset += got) {
        if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
            result = "fail read at " + std::to_string(offset) + " gle=" + std::to_string(GetLastError());
        }
        for (DWORD i = 0; result.empty() && i < got; ++i) {
            if (buffer[i] != StressByte(seed, offset + i)) result = "fail byte " + std::to_string(offset + i);
        }
    }
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (result.empty())
        result = offset == size ? "ok " + std::to_string(offset) : "fail length " + std::to_string(offset);
    std::printf("%s\n", result.c_str());
    return result.rfind("ok ", 0) == 0 ? 0 : 1;
}
