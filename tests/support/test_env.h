// test_env.h - a temporary LOCALAPPDATA per test, so nothing is written outside it, and readers of its files.
#pragma once

#include <string>
#include <vector>

class TempLocalAppData {
public:
    // Creates a fresh directory below $TMPDIR (or /tmp), points LOCALAPPDATA at it (HOME and XDG_DATA_HOME too,
    // so nothing can fall back to the real user's directories) and runs InitProviderPaths.
    TempLocalAppData();
    // Restores the environment and removes the directory with everything in it.
    ~TempLocalAppData();
    TempLocalAppData(const TempLocalAppData&) = delete;
    TempLocalAppData& operator=(const TempLocalAppData&) = delete;

    const std::string& Root() const { return root_; }  // POSIX path of the temporary LOCALAPPDATA
    std::string ProductDir() const;                      // <root>/nq.vo.tarn.voskel/VOSKE
    std::string ProviderBase() const;                    // <product>/CloudFiles
    std::string SyncRoot() const;                        // <provider>/SyncRoot
    std::string LogFile() const;                         // <provider>/provider.log

private:
    std::string root_;
    std::vector<std::pair<std::string, std::string>> saved_;
    std::vector<std::string> unset_;
};

// The program's Windows form of a POSIX path ("Z:\..."), and back.
std::wstring WindowsPathOf(const std::string& posixPath);
std::string PosixPathOf(const std::wstring& windowsPath);

std::string ReadFileBytes(const std::string& posixPath);  // empty when missing
void WriteFileBytes(const std::string& posixPath, const std::string& bytes);
bool FileExists(const std::string& posixPath);
// Lines of a provider.log without their "YYYY-MM-DD HH:MM:SS " prefix and CR LF, e.g. "[SEED] ok".
std::vector<std::string> LogMessages(const std::string& logPath);
// Bytes that derive from their offset and `seed`, so a byte served from the wrong place, file or round is caught.
std::string PatternBytes(size_t size, unsigned long long seed = 0);
// Names in a directory (no "." or ".."), sorted.
std::vector<std::string> ListDirectory(const std::string& posixPath);
