// e2e_fixture.h - one fixture for the end-to-end suites: a temporary LOCALAPPDATA, the built program's verbs and
// cfemu as separate processes, a running `connect`, and readers of the engine inbox and the provider's log.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/helpers/stress_pattern.h"
#include "tests/support/processes.h"
#include "tests/support/test_env.h"

namespace e2e {

namespace fs = std::filesystem;

constexpr char kSeed[] =
    "VOSKE Cloud Files spike\r\nHydrated from local staging (mock engine). NO network in callback.\r\n";

inline std::string PatternBytes(size_t size, uint64_t seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(StressByte(seed, i));
    return bytes;
}

inline bool HasSanitizerReport(const std::string& text) {
    return text.find("Sanitizer") != std::string::npos || text.find("runtime error:") != std::string::npos;
}

inline std::string DeleteRecord(const std::string& domainId, const std::string& itemId, const std::string& target) {
    return "{\"type\":\"delete\",\"domainId\":\"" + domainId + "\",\"itemId\":\"" + itemId +
           "\",\"isDir\":false,\"targetPath\":\"" + target + "\",\"timestamp\":0,\"attempts\":0}\n";
}

inline ProcessResult Verb(const char* verb, int timeoutMs = 120000) {
    return RunProcess({VOSKE_PROGRAM, verb}, timeoutMs);
}
inline ProcessResult Cfemu(std::vector<std::string> args, int timeoutMs = 60000) {
    args.insert(args.begin(), VOSKE_CFEMU);
    return RunProcess(args, timeoutMs);
}

class ProgramTest : public testing::Test {
  protected:
    // Where the temporary LOCALAPPDATA lives; empty for $TMPDIR or /tmp.
    virtual std::string TemporaryBase() const { return std::string(); }
    void SetUp() override {
        const std::string base = TemporaryBase();
        const char* old = std::getenv("TMPDIR");
        const std::string saved = old != nullptr ? old : "";
        if (!base.empty()) setenv("TMPDIR", base.c_str(), 1);
        local_ = std::make_unique<TempLocalAppData>();
        if (!base.empty() && old != nullptr) setenv("TMPDIR", saved.c_str(), 1);
        if (!base.empty() && old == nullptr) unsetenv("TMPDIR");
    }
    // Stops the provider and unregisters, so the emulated filter keeps no registration of a removed directory.
    void TearDown() override {
        StopProvider();
        RunProcess({VOSKE_PROGRAM, "unregister"});
        local_.reset();
    }
    const TempLocalAppData& Env() const { return *local_; }

    void RegisterAndSeed(const std::string& manifest) {
        ASSERT_EQ(Verb("register").exitCode, 0);
        WriteFileBytes(Env().ProviderBase() + "/seed-manifest.tsv", manifest);
        ProcessResult seed = Verb("seed");
        ASSERT_EQ(seed.exitCode, 0) << seed.err;
    }
    // Starts `connect` and waits for its ready line (a new one when the log holds an earlier provider's).
    void StartProvider() {
        const int before = CountLines("[CONNECT] Waiting");
        provider = std::make_unique<BackgroundProcess>(std::vector<std::string>{VOSKE_PROGRAM, "connect"});
        ASSERT_TRUE(WaitUntil([&] { return CountLines("[CONNECT] Waiting") > before; }, 30000)) << provider->Err();
    }
    void StopProvider() {
        if (!provider) return;
        provider->Signal(SIGINT);
        provider->Wait(20000);
        EXPECT_FALSE(HasSanitizerReport(provider->Err())) << provider->Err();
        provider.reset();
    }

    std::vector<std::string> Log() const { return LogMessages(Env().LogFile()); }
    int CountLines(const std::string& prefix) const {
        int count = 0;
        for (const std::string& line : Log()) count += line.rfind(prefix, 0) == 0;
        return count;
    }
    std::string LastLine(const std::string& prefix) const {
        std::string found;
        for (const std::string& line : Log()) {
            if (line.rfind(prefix, 0) == 0) found = line;
        }
        return found;
    }
    std::string Root(const std::string& relative) const { return Env().SyncRoot() + "/" + relative; }
    std::string Queue() const { return Env().ProductDir() + "/Queue"; }
    std::string Inbox() const { return Queue() + "/cloud-files-inbox"; }
    std::string CacheFile(const std::string& relative) const { return Env().ProductDir() + "/Cache/" + relative; }
    void PutCacheFile(const std::string& relative, const std::string& bytes) const {
        fs::create_directories(fs::path(CacheFile(relative)).parent_path());
        WriteFileBytes(CacheFile(relative), bytes);
    }
    // The inbox records whose names start with `prefix`, by content; download records are named by a number.
    std::vector<std::string> Records(const std::string& prefix) const {
        std::vector<std::string> records;
        for (const std::string& name : ListDirectory(Inbox())) {
            if (name.rfind(prefix, 0) == 0) records.push_back(ReadFileBytes(Inbox() + "/" + name));
        }
        return records;
    }
    std::vector<std::string> DownloadRecords() const {
        std::vector<std::string> records;
        for (const char* digit : {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"}) {
            for (const std::string& record : Records(digit)) records.push_back(record);
        }
        return records;
    }

    std::unique_ptr<BackgroundProcess> provider;

  private:
    std::unique_ptr<TempLocalAppData> local_;
};

}  // namespace e2e
