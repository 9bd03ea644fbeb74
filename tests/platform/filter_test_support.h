// filter_test_support.h - a sandbox with a registered sync root, placeholders and a provider process for the
// emulated filter's tests, plus readers of what the filter left on disk and in the provider's log.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/posix/cloud_filter.h"
#include "platform/posix/filter_hooks.h"
#include "platform/posix/posix_handle.h"
#include "syncroot/cloud_files.h"
#include "tests/support/processes.h"
#include "tests/support/test_env.h"

namespace filtertest {

// Times given to every test placeholder (FILETIME ticks, distinct so a mix-up shows).
constexpr LONGLONG kCreationTicks = 132000000000000000LL;
constexpr LONGLONG kAccessTicks = 133100000000000000LL;
constexpr LONGLONG kWriteTicks = 133200000000000000LL;
constexpr LONGLONG kChangeTicks = 133300000000000000LL;
constexpr long long kTicksFrom1601To1970 = 116444736000000000LL;

inline long long UnixSecondsOfTicks(LONGLONG ticks) { return (ticks - kTicksFrom1601To1970) / 10000000LL; }

// Bytes that depend on their offset, so a chunk in the wrong place or a page of zeros shows.
inline std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 31 + (i >> 12) * 7 + 1) & 0xFF);
    return bytes;
}

// UTF-16LE code units with one terminating NUL, as the program's identities are.
inline std::vector<BYTE> Utf16Blob(const std::wstring& text) {
    std::vector<BYTE> blob;
    for (wchar_t c : text) {
        blob.push_back(static_cast<BYTE>(c & 0xFF));
        blob.push_back(static_cast<BYTE>((c >> 8) & 0xFF));
    }
    blob.push_back(0);
    blob.push_back(0);
    return blob;
}

inline std::wstring Win(const std::string& posixPath) { return posix::ToWindowsPath(posixPath); }

// "\\dir\\file" for "/dir/file": what NormalizedPath and TargetPath carry.
inline std::string VolumeRelative(const std::string& posixPath) {
    std::string text = posixPath;
    for (char& c : text) {
        if (c == '/') c = '\\';
    }
    return text;
}

inline HRESULT RegisterRoot(const std::string& root, const wchar_t* version = L"0.1.0-spike",
                            const std::wstring& identity = L"root-id\tuser",
                            CF_PLACEHOLDER_MANAGEMENT_POLICY management = CF_PLACEHOLDER_MANAGEMENT_POLICY_DEFAULT,
                            ULONG policiesSize = sizeof(CF_SYNC_POLICIES), CF_REGISTER_FLAGS flags = CF_REGISTER_FLAG_NONE) {
    std::vector<BYTE> blob = Utf16Blob(identity);
    CF_SYNC_REGISTRATION registration{};
    registration.StructSize = sizeof(registration);
    registration.ProviderName = L"VOSKE";
    registration.ProviderVersion = version;
    registration.SyncRootIdentity = blob.data();
    registration.SyncRootIdentityLength = static_cast<DWORD>(blob.size());
    registration.ProviderId = GUID{0x564F534B, 0x4543, 0x4669, {0x6C, 0x65, 0x73, 0x70, 0x69, 0x6B, 0x65, 0x31}};
    CF_SYNC_POLICIES policies{};
    policies.StructSize = sizeof(policies);
    policies.Hydration.Primary = CF_HYDRATION_POLICY_FULL;
    policies.Population.Primary = CF_POPULATION_POLICY_ALWAYS_FULL;
    policies.InSync = CF_INSYNC_POLICY_TRACK_FILE_LAST_WRITE_TIME;
    policies.PlaceholderManagement = management;
    policies.StructSize = policiesSize;
    return CfRegisterSyncRoot(Win(root).c_str(), &registration, &policies, flags);
}

struct PlaceholderSpec {
    std::wstring name;
    long long size = 0;
    std::wstring identity;
    CF_PLACEHOLDER_CREATE_FLAGS flags = CF_PLACEHOLDER_CREATE_FLAG_MARK_IN_SYNC;
    bool directory = false;
};

inline CF_PLACEHOLDER_CREATE_INFO CreateInfo(const PlaceholderSpec& spec, const std::vector<BYTE>& identity) {
    CF_PLACEHOLDER_CREATE_INFO entry{};
    entry.RelativeFileName = spec.name.c_str();
    entry.FsMetadata.BasicInfo.CreationTime.QuadPart = kCreationTicks;
    entry.FsMetadata.BasicInfo.LastAccessTime.QuadPart = kAccessTicks;
    entry.FsMetadata.BasicInfo.LastWriteTime.QuadPart = kWriteTicks;
    entry.FsMetadata.BasicInfo.ChangeTime.QuadPart = kChangeTicks;
    entry.FsMetadata.BasicInfo.FileAttributes = spec.directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    entry.FsMetadata.FileSize.QuadPart = spec.size;
    entry.FileIdentity = identity.empty() ? nullptr : identity.data();
    entry.FileIdentityLength = static_cast<DWORD>(identity.size());
    entry.Flags = spec.flags;
    entry.Result = static_cast<HRESULT>(0x7FFFFFFF);  // overwritten by every processed entry
    return entry;
}

inline HRESULT CreatePlaceholder(const std::string& directory, const PlaceholderSpec& spec) {
    std::vector<BYTE> identity = spec.identity.empty() ? std::vector<BYTE>() : Utf16Blob(spec.identity);
    CF_PLACEHOLDER_CREATE_INFO entry = CreateInfo(spec, identity);
    DWORD processed = 0;
    HRESULT hr = CfCreatePlaceholders(Win(directory).c_str(), &entry, 1, CF_CREATE_FLAG_NONE, &processed);
    return hr;
}

inline cfemu::PlaceholderState StateOf(const std::string& path) {
    cfemu::PlaceholderState state;
    state.flags = 0xFF;  // not a placeholder
    cfemu::ReadStateAt(path, &state);
    return state;
}

inline bool IsHydrated(const std::string& path) {
    cfemu::PlaceholderState state;
    return cfemu::ReadStateAt(path, &state) && (state.flags & cfemu::kStateHydrated) != 0;
}

inline bool IsPlaceholderPath(const std::string& path) { return cfemu::ReadStateAt(path, nullptr); }

inline struct stat StatOf(const std::string& path) {
    struct stat st {};
    lstat(path.c_str(), &st);
    return st;
}

// True when the file holds no data blocks at all (every byte is a hole), as a dehydrated placeholder does.
inline bool HoldsNoData(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    off_t data = lseek(fd, 0, SEEK_DATA);
    int error = errno;
    close(fd);
    return data < 0 && error == ENXIO;
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

inline int CountLines(const std::string& file, const std::string& needle) {
    int count = 0;
    for (const std::string& line : Lines(ReadFileBytes(file))) count += line.find(needle) != std::string::npos;
    return count;
}

// Waits until `count` lines of `file` contain `needle` (the provider logs an answer only after CfExecute
// returned, which may be after the waiting process went on), then returns how many there are.
inline int WaitForCount(const std::string& file, const std::string& needle, int count, int timeoutMs = 20000) {
    WaitUntil([&] { return CountLines(file, needle) >= count; }, timeoutMs);
    return CountLines(file, needle);
}

// The first line of `file` that contains `needle`, waiting for it until the deadline; empty when none came.
inline std::string WaitForLine(const std::string& file, const std::string& needle, int timeoutMs = 20000) {
    std::string found;
    WaitUntil(
        [&] {
            for (const std::string& line : Lines(ReadFileBytes(file))) {
                if (line.find(needle) != std::string::npos) {
                    found = line;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

inline std::string ProviderBinary() { return std::string(VOSKE_BINARY_DIR) + "/filter_provider"; }

inline ProcessResult Cfemu(const std::vector<std::string>& arguments, int timeoutMs = 60000) {
    std::vector<std::string> argv = {VOSKE_CFEMU};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return RunProcess(argv, timeoutMs);
}

inline std::unique_ptr<BackgroundProcess> StartCfemu(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {VOSKE_CFEMU};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return std::make_unique<BackgroundProcess>(argv);
}

// Waits until a background process has written `text` on its standard output; returns that output or "".
inline std::string WaitForText(const BackgroundProcess& process, const std::string& text, int timeoutMs = 20000) {
    return WaitUntil([&] { return process.Out().find(text) != std::string::npos; }, timeoutMs) ? process.Out() : "";
}

// A sync root in its own temporary directory (LOCALAPPDATA, HOME and XDG_DATA_HOME point there too), with a
// source directory the test provider serves from and the provider's log file.
class FilterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        env_ = std::make_unique<TempLocalAppData>();
        base_ = env_->Root() + "/filter";
        root_ = base_ + "/SyncRoot";
        source_ = base_ + "/source";
        log_ = base_ + "/provider-log.txt";
        mkdir(base_.c_str(), 0755);
        mkdir(root_.c_str(), 0755);
        mkdir(source_.c_str(), 0755);
    }
    void TearDown() override {
        // A sanitizer build reports a race in a provider process on its standard error.
        for (const auto& provider : providers_) {
            EXPECT_EQ(provider->Err().find("ThreadSanitizer"), std::string::npos) << provider->Err();
        }
        providers_.clear();  // ends the provider processes before their directory goes
        env_.reset();
    }

    // Writes `bytes` into the source directory and creates a dehydrated placeholder of that size for it.
    void AddFile(const std::string& name, const std::string& bytes, const std::wstring& identity = L"") {
        WriteFileBytes(source_ + "/" + name, bytes);
        PlaceholderSpec spec;
        spec.name = posix::Utf8ToWide(name);
        spec.size = static_cast<long long>(bytes.size());
        spec.identity = identity.empty() ? L"id\t" + spec.name : identity;
        ASSERT_EQ(CreatePlaceholder(root_, spec), S_OK) << name;
    }

    // Starts the test provider on the root and waits until it is connected.
    BackgroundProcess& StartProvider(const std::vector<std::string>& options = {}) {
        std::vector<std::string> argv = {ProviderBinary(), root_, log_, "--source", source_};
        argv.insert(argv.end(), options.begin(), options.end());
        providers_.push_back(std::make_unique<BackgroundProcess>(argv));
        EXPECT_FALSE(WaitForLine(log_, "CONNECTED pid=").empty()) << ReadFileBytes(log_) << providers_.back()->Err();
        return *providers_.back();
    }

    std::string Path(const std::string& name) const { return root_ + "/" + name; }

    // Registers the root again with another placeholder-management policy, as an update.
    void AllowManagement(CF_PLACEHOLDER_MANAGEMENT_POLICY management, ULONG policiesSize = sizeof(CF_SYNC_POLICIES)) {
        ASSERT_EQ(RegisterRoot(root_, L"0.1.0-spike", L"root-id\tuser", management, policiesSize, CF_REGISTER_FLAG_UPDATE),
                  S_OK);
    }

    // Dehydrates through a handle of this process opened with `access` and share mode 0.
    HRESULT Dehydrate(const std::string& name, DWORD access = GENERIC_READ | GENERIC_WRITE) {
        HANDLE file = CreateFileW(Win(Path(name)).c_str(), access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) return HRESULT_FROM_WIN32(GetLastError());
        LARGE_INTEGER offset{}, length{};
        length.QuadPart = CF_EOF;
        HRESULT hr = CfDehydratePlaceholder(file, offset, length, CF_DEHYDRATE_FLAG_NONE, nullptr);
        CloseHandle(file);
        return hr;
    }

    std::unique_ptr<TempLocalAppData> env_;
    std::string base_, root_, source_, log_;
    std::vector<std::unique_ptr<BackgroundProcess>> providers_;
};

// A test whose root is registered up front.
class RegisteredRootTest : public FilterTest {
  protected:
    void SetUp() override {
        FilterTest::SetUp();
        ASSERT_EQ(RegisterRoot(root_), S_OK);
    }
};

}  // namespace filtertest
