// stress_reader.cpp - one reader process of the stress test: round after round it waits for the test's go
// file, reads its placeholder through the stand-in as any application would and checks every byte.
//
// usage: stress_reader CONTROL_DIR INDEX PLAN
//   PLAN holds one line per round: POSIX path TAB size TAB seed. Before round r the reader waits for
//   CONTROL_DIR/go-r; after it, it leaves CONTROL_DIR/done-r-INDEX holding "ok BYTES" or "fail WHAT".
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/posix_handle.h"
#include "platform/win32.h"
#include "tests/helpers/stress_pattern.h"

namespace {

struct Round {
    std::string path;
    unsigned long long size = 0;
    unsigned long long seed = 0;
};

bool WaitForFile(const std::string& path, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    struct stat st;
    while (stat(path.c_str(), &st) != 0) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Written aside and renamed, so the test never reads a half-written result.
void WriteResult(const std::string& controlDir, int round, int index, const std::string& text) {
    std::string final = controlDir + "/done-" + std::to_string(round) + "-" + std::to_string(index);
    std::string temporary = final + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text << "\n";
    }
    std::rename(temporary.c_str(), final.c_str());
}

std::string ReadAndVerify(const Round& round) {
    std::wstring path = posix::ToWindowsPath(round.path);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "fail open gle=" + std::to_string(GetLastError());
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size) || static_cast<unsigned long long>(size.QuadPart) != round.size) {
        CloseHandle(file);
        return "fail size";
    }
    // An odd chunk size puts the reads across the provider's 4 KiB transfer pieces.
    std::vector<unsigned char> buffer(1024 * 1024 + 17);
    unsigned long long offset = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
            DWORD error = GetLastError();
            CloseHandle(file);
            char text[96];
            std::snprintf(text, sizeof(text), "fail read at %llu gle=%lu hr=0x%08lX", offset,
                          static_cast<unsigned long>(error), static_cast<unsigned long>(HRESULT_FROM_WIN32(error)));
            return text;
        }
        if (got == 0) break;
        for (DWORD i = 0; i < got; ++i) {
            if (buffer[i] != StressByte(round.seed, offset + i)) {
                CloseHandle(file);
                return "fail byte " + std::to_string(offset + i);
            }
        }
        offset += got;
    }
    CloseHandle(file);
    if (offset != round.size) return "fail length " + std::to_string(offset);
    return "ok " + std::to_string(offset);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: stress_reader CONTROL_DIR INDEX PLAN\n");
        return 2;
    }
    const std::string controlDir = argv[1];
    const int index = std::stoi(argv[2]);
    std::vector<Round> rounds;
    std::ifstream plan(argv[3]);
    std::string line;
    while (std::getline(plan, line)) {
        std::istringstream fields(line);
        Round round;
        std::getline(fields, round.path, '\t');
        fields >> round.size >> round.seed;
        rounds.push_back(round);
    }
    int failures = 0;
    for (size_t r = 0; r < rounds.size(); ++r) {
        if (!WaitForFile(controlDir + "/go-" + std::to_string(r), 300000)) {
            std::fprintf(stderr, "stress_reader %d: no go signal for round %zu\n", index, r);
            return 1;
        }
        std::string result = ReadAndVerify(rounds[r]);
        if (result.rfind("ok", 0) != 0) {
            ++failures;
            std::fprintf(stderr, "stress_reader %d round %zu %s: %s\n", index, r, rounds[r].path.c_str(),
                         result.c_str());
        }
        WriteResult(controlDir, static_cast<int>(r), index, result);
    }
    return failures == 0 ? 0 : 1;
}
