// provider_paths.cpp - the provider's directory tree and the path operations every part of the program uses.
// All paths are Windows paths; on Linux the stand-in maps them onto the POSIX file system at its boundary.
#include "layout/provider_paths.h"

#include <cwctype>

ProviderPathSet ProviderPaths;

namespace {

const wchar_t kProviderIdDir[] = L"nq.vo.tarn.voskel";
const wchar_t kProductDir[] = L"VOSKE";

// Callback threads read ProviderPaths while the connect verb's re-seeding runs InitProviderPaths again on the
// main thread. The first run happens on the main thread before any callback can exist, and later runs compute
// the same values (LOCALAPPDATA does not change under a running process), so a field is only ever compared,
// never written, once callbacks are possible: concurrent reads of an unchanging string are safe without a lock.
void AssignIfChanged(std::wstring& field, const std::wstring& value) {
    if (field != value) field = value;
}

wchar_t FoldCase(wchar_t c) {
    if (c >= L'a' && c <= L'z') return static_cast<wchar_t>(c - L'a' + L'A');
    if (c < 0x80) return c;
    return static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
}

bool StartsWithIgnoringCase(const std::wstring& text, const std::wstring& prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (FoldCase(text[i]) != FoldCase(prefix[i])) return false;
    }
    return true;
}

std::wstring ProductDir(const std::wstring& localAppData) {
    return JoinPath(JoinPath(localAppData, kProviderIdDir), kProductDir);
}

}  // namespace

std::wstring LocalAppDataDir() {
    DWORD needed = GetEnvironmentVariableW(L"LOCALAPPDATA", nullptr, 0);
    if (needed == 0) return std::wstring();
    std::wstring value(needed, L'\0');
    DWORD written = GetEnvironmentVariableW(L"LOCALAPPDATA", &value[0], needed);
    if (written == 0 || written >= needed) return std::wstring();
    value.resize(written);
    return value;
}

std::wstring JoinPath(const std::wstring& base, const std::wstring& leaf) {
    if (base.empty()) return leaf;
    wchar_t last = base.back();
    if (last == L'\\' || last == L'/') return base + leaf;
    return base + L"\\" + leaf;
}

void InitProviderPaths() {
    const std::wstring base = JoinPath(ProductDir(LocalAppDataDir()), L"CloudFiles");
    AssignIfChanged(ProviderPaths.syncRoot, JoinPath(base, L"SyncRoot"));
    AssignIfChanged(ProviderPaths.staging, JoinPath(base, L"Staging"));
    AssignIfChanged(ProviderPaths.queue, JoinPath(base, L"Queue"));
    AssignIfChanged(ProviderPaths.logFile, JoinPath(base, L"provider.log"));

    // One level at a time, parents first; an existing directory is the normal case.
    CreateDirectoryW(JoinPath(LocalAppDataDir(), kProviderIdDir).c_str(), nullptr);
    CreateDirectoryW(ProductDir(LocalAppDataDir()).c_str(), nullptr);
    CreateDirectoryW(base.c_str(), nullptr);
    CreateDirectoryW(ProviderPaths.syncRoot.c_str(), nullptr);
    CreateDirectoryW(ProviderPaths.staging.c_str(), nullptr);
    CreateDirectoryW(ProviderPaths.queue.c_str(), nullptr);
    CreateDirectoryW(JoinPath(ProviderPaths.queue, L"Staging").c_str(), nullptr);
}

std::wstring ProductCachePath(const std::wstring& relativePath) {
    const std::wstring localAppData = LocalAppDataDir();
    if (localAppData.empty() || relativePath.empty()) return std::wstring();
    return JoinPath(JoinPath(ProductDir(localAppData), L"Cache"), relativePath);
}

std::wstring SeedManifestPath() {
    const std::wstring localAppData = LocalAppDataDir();
    if (localAppData.empty()) return std::wstring();
    return JoinPath(JoinPath(ProductDir(localAppData), L"CloudFiles"), L"seed-manifest.tsv");
}

std::wstring SyncRootRelativePath(const std::wstring& path) {
    std::wstring root = ProviderPaths.syncRoot;
    if (!root.empty() && root.back() != L'\\') root += L'\\';

    std::wstring relative = path;
    if (!root.empty() && StartsWithIgnoringCase(relative, root)) {
        // Inside the sync root: what follows the root is the record's path, sub-directories included.
        relative.erase(0, root.size());
    } else {
        // Outside the sync root only the first component (usually the drive) is dropped.
        size_t firstSeparator = relative.find(L'\\');
        if (firstSeparator != std::wstring::npos) relative.erase(0, firstSeparator + 1);
    }
    for (wchar_t& c : relative) {
        if (c == L'\\') c = L'/';
    }
    return relative;
}

LONGLONG FileTimeToInt64(const FILETIME& fileTime) {
    return static_cast<LONGLONG>((static_cast<ULONGLONG>(fileTime.dwHighDateTime) << 32) |
                                 static_cast<ULONGLONG>(fileTime.dwLowDateTime));
}
