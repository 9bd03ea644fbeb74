// platform_fixture.h - the stand-in's and the emulated filter's tests: a sync root, placeholders, a provider process.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/posix/filter/cloud_filter.h"
#include "platform/posix/filter/filter_hooks.h"
#include "platform/posix/win32/posix_handle.h"
#include "platform/posix/win32/standin_internal.h"
#include "platform/win32.h"
#include "syncroot/cloud_files.h"
#include "tests/support/processes.h"
#include "tests/support/test_env.h"

namespace platformtest {

// FILETIME ticks given to every test placeholder, distinct so that a mix-up shows.
constexpr LONGLONG kCreationTicks = 132000000000000000LL, kAccessTicks = 133100000000000000LL,
                   kWriteTicks = 133200000000000000LL, kChangeTicks = 133300000000000000LL;
constexpr HRESULT Hr(unsigned long value) { return static_cast<HRESULT>(value); }
// The last error of a call that returned `ok`, ERROR_SUCCESS when it succeeded.
inline DWORD ErrorOf(BOOL ok) { return ok ? ERROR_SUCCESS : GetLastError(); }

// UTF-16LE code units with one terminating NUL, as the program's identities are.
inline std::vector<BYTE> Utf16Blob(const std::wstring& text) {
    std::vector<BYTE> blob;
    for (wchar_t c : text + L'\0') blob.insert(blob.end(), {static_cast<BYTE>(c & 0xFF), static_cast<BYTE>(c >> 8)});
    return blob;
}

inline std::wstring Win(const std::string& posixPath) { return posix::ToWindowsPath(posixPath); }
// "\\dir\\file" for "/dir/file": what NormalizedPath and TargetPath carry.
inline std::string VolumeRelative(std::string path) {
    for (char& c : path) c = c == '/' ? '\\' : c;
    return path;
}
inline HANDLE Open(const std::string& posixPath, DWORD access, DWORD share = 0, DWORD disposition = OPEN_EXISTING,
                   DWORD flags = 0) {
    return CreateFileW(Win(posixPath).c_str(), access, share, nullptr, disposition, flags, nullptr);
}

// Registers `root` with full hydration and population.
inline HRESULT RegisterRoot(const std::string& root, const wchar_t* version = L"0.1.0-spike",
                            CF_PLACEHOLDER_MANAGEMENT_POLICY management = CF_PLACEHOLDER_MANAGEMENT_POLICY_DEFAULT,
                            ULONG policiesSize = sizeof(CF_SYNC_POLICIES), CF_REGISTER_FLAGS flags = 0) {
    std::vector<BYTE> blob = Utf16Blob(L"root-id\tuser");
    CF_SYNC_REGISTRATION registration{};
    registration.StructSize = sizeof(registration);
    registration.ProviderName = L"VOSKE";
    registration.ProviderVersion = version;
    registration.SyncRootIdentity = blob.data();
    registration.SyncRootIdentityLength = static_cast<DWORD>(blob.size());
    registration.ProviderId = GUID{0x564F534B, 0x4543, 0x4669, {0x6C, 0x65, 0x73, 0x70, 0x69, 0x6B, 0x65, 0x31}};
    CF_SYNC_POLICIES policies{};
    policies.StructSize = policiesSize;
    policies.Hydration.Primary = CF_HYDRATION_POLICY_FULL;
    policies.Population.Primary = CF_POPULATION_POLICY_ALWAYS_FULL;
    policies.InSync = CF_INSYNC_POLICY_TRACK_FILE_LAST_WRITE_TIME;
    policies.PlaceholderManagement = management;
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
    FILE_BASIC_INFO& basic = entry.FsMetadata.BasicInfo;
    basic.CreationTime.QuadPart = kCreationTicks;
    basic.LastAccessTime.QuadPart = kAccessTicks;
    basic.LastWriteTime.QuadPart = kWriteTicks;
    basic.ChangeTime.QuadPart = kChangeTicks;
    basic.FileAttributes = spec.directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    entry.FsMetadata.FileSize.QuadPart = spec.size;
    entry.FileIdentity = identity.empty() ? nullptr : identity.data();
    entry.FileIdentityLength = static_cast<DWORD>(identity.size());
    entry.Flags = spec.flags;
    entry.Result = Hr(0x7FFFFFFF);  // overwritten by every processed entry
    return entry;
}

inline HRESULT CreatePlaceholder(const std::string& directory, const PlaceholderSpec& spec) {
    std::vector<BYTE> identity = spec.identity.empty() ? std::vector<BYTE>() : Utf16Blob(spec.identity);
    CF_PLACEHOLDER_CREATE_INFO entry = CreateInfo(spec, identity);
    DWORD processed = 0;
    return CfCreatePlaceholders(Win(directory).c_str(), &entry, 1, CF_CREATE_FLAG_NONE, &processed);
}

inline cfemu::PlaceholderState StateOf(const std::string& path) {
    cfemu::PlaceholderState state;
    state.flags = 0xFF;  // not a placeholder
    cfemu::ReadStateAt(path, &state);
    return state;
}
inline bool IsHydrated(const std::string& path) {
    cfemu::PlaceholderState state = StateOf(path);
    return state.flags != 0xFF && (state.flags & cfemu::kStateHydrated) != 0;
}
inline bool IsPlaceholderPath(const std::string& path) { return cfemu::ReadStateAt(path, nullptr); }
inline struct stat StatOf(const std::string& path) {
    struct stat st {};
    lstat(path.c_str(), &st);
    return st;
}

// True when every byte of the file is a hole, as in a dehydrated placeholder.
inline bool HoldsNoData(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    off_t data = lseek(fd, 0, SEEK_DATA);
    int error = errno;
    close(fd);
    return data < 0 && error == ENXIO;
}

inline int CountLines(const std::string& file, const std::string& needle) {
    std::istringstream in(ReadFileBytes(file));
    int count = 0;
    for (std::string line; std::getline(in, line);) count += line.find(needle) != std::string::npos;
    return count;
}

// The provider logs an answer only after CfExecute returned, which may be after the waiting process went on.
inline int WaitForCount(const std::string& file, const std::string& needle, int count) {
    WaitUntil([&] { return CountLines(file, needle) >= count; }, 20000);
    return CountLines(file, needle);
}

// The first line of `file` holding `needle`, waiting for it until the deadline; empty when none came.
inline std::string WaitForLine(const std::string& file, const std::string& needle) {
    WaitForCount(file, needle, 1);
    std::istringstream in(ReadFileBytes(file));
    for (std::string line; std::getline(in, line);) {
        if (line.find(needle) != std::string::npos) return line;
    }
    return std::string();
}

inline ProcessResult Cfemu(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), VOSKE_CFEMU);
    return RunProcess(arguments, 60000);
}
// `cfemu hold PATH ACCESS SHARE` keeps a handle open in another process, as any application would.
inline std::unique_ptr<BackgroundProcess> Hold(const std::string& path, const std::string& access,
                                               const std::string& share) {
    auto holder =
        std::make_unique<BackgroundProcess>(std::vector<std::string>{VOSKE_CFEMU, "hold", path, access, share});
    EXPECT_TRUE(WaitUntil([&] { return holder->Out().find("holding") != std::string::npos; }, 20000)) << holder->Err();
    return holder;
}

// A temporary LOCALAPPDATA holding a sync root, the directory the test provider serves from and its log.
class PlatformTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const std::string& directory : {base_, root_, source_}) mkdir(directory.c_str(), 0755);
    }
    void TearDown() override {
        // A sanitizer build reports a race in a provider process on its standard error.
        for (const auto& provider : providers_) EXPECT_EQ(provider->Err().find("Sanitizer"), std::string::npos);
        providers_.clear();  // ends the provider processes before their directory goes
    }

    std::string Path(const std::string& name) const { return root_ + "/" + name; }
    std::string Posix(const std::string& relative) const { return env_->Root() + "/" + relative; }
    std::wstring WinOf(const std::string& relative) const { return Win(Posix(relative)); }

    // Writes `bytes` into the source directory and creates a dehydrated placeholder of that size for it.
    void AddFile(const std::string& name, const std::string& bytes, const std::wstring& identity = L"") {
        WriteFileBytes(source_ + "/" + name, bytes);
        PlaceholderSpec spec{posix::Utf8ToWide(name), static_cast<long long>(bytes.size()), identity};
        if (identity.empty()) spec.identity = L"id\t" + spec.name;
        ASSERT_EQ(CreatePlaceholder(root_, spec), S_OK) << name;
    }

    // Starts the test provider on the root and waits until it is connected.
    BackgroundProcess& StartProvider(const std::vector<std::string>& options = {}) {
        std::vector<std::string> argv = {std::string(VOSKE_BINARY_DIR) + "/filter_provider", root_, log_, "--source",
                                         source_};
        argv.insert(argv.end(), options.begin(), options.end());
        const int connected = CountLines(log_, "CONNECTED pid=");
        providers_.push_back(std::make_unique<BackgroundProcess>(argv));
        EXPECT_EQ(WaitForCount(log_, "CONNECTED pid=", connected + 1), connected + 1) << providers_.back()->Err();
        return *providers_.back();
    }
    void KillProvider() {
        providers_.back()->Signal(SIGKILL);
        ASSERT_TRUE(providers_.back()->Wait(10000));
    }

    std::unique_ptr<TempLocalAppData> env_ = std::make_unique<TempLocalAppData>();
    const std::string base_ = env_->Root() + "/filter", root_ = base_ + "/SyncRoot", source_ = base_ + "/source",
                      log_ = base_ + "/provider-log.txt";
    std::vector<std::unique_ptr<BackgroundProcess>> providers_;
};

// A test of the emulated filter whose root is registered up front.
class RegisteredRootTest : public PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        ASSERT_EQ(RegisterRoot(root_), S_OK);
    }
};

}  // namespace platformtest
