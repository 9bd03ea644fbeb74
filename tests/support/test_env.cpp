// test_env.cpp - temporary LOCALAPPDATA and file readers shared by the unit and end-to-end tests.
#include "tests/support/test_env.h"

#include "layout/provider_paths.h"
#include "platform/posix/win32/posix_handle.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace fs = std::filesystem;

TempLocalAppData::TempLocalAppData() {
    const char* tmp = std::getenv("TMPDIR");
    root_ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/voske-test-XXXXXX";
    if (mkdtemp(root_.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    for (const char* name : {"LOCALAPPDATA", "HOME", "XDG_DATA_HOME"}) {
        const char* old = std::getenv(name);
        if (old != nullptr) saved_.emplace_back(name, old);
        if (old == nullptr) unset_.emplace_back(name);
        setenv(name, root_.c_str(), 1);
    }
    InitProviderPaths();
}

TempLocalAppData::~TempLocalAppData() {
    for (const auto& [name, value] : saved_) setenv(name.c_str(), value.c_str(), 1);
    for (const auto& name : unset_) unsetenv(name.c_str());
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

std::string TempLocalAppData::ProductDir() const { return root_ + "/nq.vo.tarn.voskel/VOSKE"; }
std::string TempLocalAppData::ProviderBase() const { return ProductDir() + "/CloudFiles"; }
std::string TempLocalAppData::SyncRoot() const { return ProviderBase() + "/SyncRoot"; }
std::string TempLocalAppData::LogFile() const { return ProviderBase() + "/provider.log"; }

std::wstring WindowsPathOf(const std::string& posixPath) { return posix::ToWindowsPath(posixPath); }
std::string PosixPathOf(const std::wstring& windowsPath) { return posix::ToPosixPath(windowsPath); }

std::string ReadFileBytes(const std::string& posixPath) {
    std::ifstream in(posixPath, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFileBytes(const std::string& posixPath, const std::string& bytes) {
    std::ofstream out(posixPath, std::ios::binary | std::ios::trunc);
    out << bytes;
}

bool FileExists(const std::string& posixPath) {
    std::error_code ignored;
    return fs::exists(fs::symlink_status(posixPath, ignored));
}

std::vector<std::string> LogMessages(const std::string& logPath) {
    std::vector<std::string> messages;
    std::istringstream in(ReadFileBytes(logPath));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        messages.push_back(line.size() >= 20 ? line.substr(20) : line);
    }
    return messages;
}

std::vector<std::string> ListDirectory(const std::string& posixPath) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(posixPath, error)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

std::string PatternBytes(size_t size, unsigned long long seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        const unsigned long long v = (i + 1) * 0x9E3779B97F4A7C15ull ^ (seed + 1) * 0xC2B2AE3D27D4EB4Full;
        bytes[i] = static_cast<char>((v ^ v >> 29) >> 24);
    }
    return bytes;
}
