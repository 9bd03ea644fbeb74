// fuzz_paths.cpp - libFuzzer target: safe leaves never leave their base; sync-root paths are '/'-separated tails.
#include "layout/provider_paths.h"
#include "placeholders/identity.h"
#include "tests/fuzz/fuzz_support.h"

#include <algorithm>

namespace {

std::wstring gSyncRoot;
std::wstring gStaging;
std::wstring gCache;

// A drive with no separator ("C:") is the drive's current directory; JoinPath's separator turns it into the
// drive's root, which is a property of that base, not of the leaf. The program never holds such a base.
bool IsBareDrive(const std::wstring& base) { return base.size() == 2 && base[1] == L':'; }

std::wstring PickBase(FuzzedDataProvider& input) {
    switch (input.ConsumeIntegralInRange<int>(0, 4)) {
        case 0: return gSyncRoot;
        case 1: return gStaging;
        case 2: return L"C:\\Users\\u\\AppData\\Local";
        case 3: return L"";
        default: return fuzz::ConsumeWide(input, 48);
    }
}

void CheckJoin(const std::wstring& base, const std::wstring& leaf) {
    const std::wstring joined = JoinPath(base, leaf);
    const bool safePath = IsSafeRelativePath(leaf);
    const bool safeName = IsSafeNameComponent(leaf);
    FUZZ_CHECK(!safeName || safePath, "a safe name must be a safe path");
    if (safePath && !IsBareDrive(base)) {
        FUZZ_CHECK(fuzz::StaysWithin(joined, base), "safe leaf left its base");
    }
    if (safeName && !IsBareDrive(base)) {
        // One safe name adds exactly one level, itself.
        fuzz::LexicalPath parent = fuzz::Normalize(base);
        fuzz::LexicalPath child = fuzz::Normalize(joined);
        parent.parts.push_back(leaf);
        FUZZ_CHECK(child.root == parent.root && child.parts == parent.parts, "safe name did not add exactly one level");
    }
}

// The two places a path identity is looked up (the product cache, then the staging directory) must stay below
// those directories for every identity the fetch callback accepts as a relative path.
void CheckLookups(const std::wstring& relative) {
    if (!IsSafeRelativePath(relative)) return;
    const std::wstring cached = ProductCachePath(relative);
    FUZZ_CHECK(relative.empty() == cached.empty(), "cache path empty for a non-empty path or the reverse");
    if (!cached.empty()) {
        FUZZ_CHECK(fuzz::StaysWithin(cached, gCache), "cache path left the cache");
    }
    const std::wstring staged = JoinPath(ProviderPaths.staging, relative);
    FUZZ_CHECK(fuzz::StaysWithin(staged, gStaging), "staging path left staging");
}

void CheckSyncRootRelative(FuzzedDataProvider& input) {
    const int rootChoice = input.ConsumeIntegralInRange<int>(0, 3);
    if (rootChoice == 1) ProviderPaths.syncRoot = fuzz::ConsumeWide(input, 32);
    if (rootChoice == 2) ProviderPaths.syncRoot = gSyncRoot + L"\\";
    if (rootChoice == 3) ProviderPaths.syncRoot.clear();

    std::wstring path;
    switch (input.ConsumeIntegralInRange<int>(0, 2)) {
        case 0: path = gSyncRoot + L"\\" + fuzz::ConsumeWide(input, 48); break;
        case 1: path = L"Z:\\" + fuzz::ConsumeWide(input, 48); break;
        default: path = fuzz::ConsumeWide(input, 96); break;
    }
    const std::wstring relative = SyncRootRelativePath(path);
    ProviderPaths.syncRoot = gSyncRoot;

    FUZZ_CHECK(relative.find(L'\\') == std::wstring::npos, "backslash in a sync-root relative path");
    // Whatever is dropped is dropped from the front: the result is the path's tail with '/' for '\'.
    FUZZ_CHECK(relative.size() <= path.size(), "relative path longer than its path");
    std::wstring tail = path.substr(path.size() - relative.size());
    std::replace(tail.begin(), tail.end(), L'\\', L'/');
    FUZZ_CHECK(tail == relative, "not a tail of the path");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::KeepReportChannel();
    fuzz::PrivateLocalAppData();
    gSyncRoot = ProviderPaths.syncRoot;
    gStaging = ProviderPaths.staging;
    gCache = JoinPath(JoinPath(JoinPath(LocalAppDataDir(), L"nq.vo.tarn.voskel"), L"VOSKE"), L"Cache");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const std::wstring base = PickBase(input);
    const std::wstring leaf = fuzz::ConsumeWide(input, 64);
    CheckJoin(base, leaf);
    CheckLookups(leaf);
    CheckSyncRootRelative(input);
    return 0;
}
