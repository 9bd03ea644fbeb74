// stress_reader.cpp - one reader process of the stress test: round after round it waits for the test's go
// file, reads its placeholder through the stand-in as any application would and checks every byte.
//
// usage: stress_reader CONTROL_DIR INDEX PLAN
//   PLAN holds one line per round: POSIX path TAB size TAB seed. Before round r the reader waits for
//   CONTROL_DIR/go-r; after it, it leaves CONTROL_DIR/done-r-INDEX holding "ok BYTES" or "fail WHAT".
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/posix/posix_handle.h"
#include "platform/win32.h"
#include "tests/helpers/stress_pattern.h"

namespace {

std::string ReadAndVerify(const std::string& path, unsigned long long size, unsigned long long seed) {
    HANDLE file = CreateFileW(posix::ToWindowsPath(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "fail open gle=" + std::to_string(GetLastError());
    LARGE_INTEGER length;
    std::string result;
    if (!GetFileSizeEx(file, &length) || static_cast<unsigned long long>(length.QuadPart) != size) result = "fail size";
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
    CloseHandle(file);
    if (result.empty() && offset != size) result = "fail length " + std::to_string(offset);
    return result.empty() ? "ok " + std::to_string(offset) : result;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: stress_reader CONTROL_DIR INDEX PLAN\n");
        return 2;
    }
    const std::string control = argv[1], index = argv[2];
    std::ifstream plan(argv[3]);
    int failures = 0;
    std::string line;
    for (int round = 0; std::getline(plan, line); ++round) {
        std::istringstream fields(line);
        std::string path;
        unsigned long long size = 0, seed = 0;
        std::getline(fields, path, '\t');
        fields >> size >> seed;
        const std::string go = control + "/go-" + std::to_string(round);
        for (int waited = 0; access(go.c_str(), F_OK) != 0; ++waited) {
            if (waited == 300000) {
                std::fprintf(stderr, "stress_reader %s: no go signal for round %d\n", index.c_str(), round);
                return 1;
            }
            usleep(1000);
        }
        const std::string result = ReadAndVerify(path, size, seed);
        if (result.rfind("ok", 0) != 0) {
            ++failures;
            std::fprintf(stderr, "stress_reader %s round %d %s: %s\n", index.c_str(), round, path.c_str(),
                         result.c_str());
        }
        // Written aside and renamed, so the test never reads a half-written result.
        const std::string done = control + "/done-" + std::to_string(round) + "-" + index;
        std::ofstream(done + ".tmp", std::ios::binary) << result << "\n";
        std::rename((done + ".tmp").c_str(), done.c_str());
    }
    return failures == 0 ? 0 : 1;
}
