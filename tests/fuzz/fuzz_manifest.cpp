// fuzz_manifest.cpp - libFuzzer target: any manifest seeds only safe placeholders and directories in the root.
// Linked with -Wl,--wrap=CreateDirectoryW, so every directory the program asks for is checked before it exists.
#include <filesystem>
#include <set>

#include "layout/provider_paths.h"
#include "placeholders/identity.h"
#include "placeholders/seeding.h"
#include "syncroot/cloud_files.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

std::wstring gSyncRoot;              // Windows form, as the program holds it
std::wstring gCache;                 // the product cache, where identities point
std::set<std::wstring> gLayoutDirs;  // the provider's own directories, created before every seeding
std::string gRoot;                   // POSIX path of the private LOCALAPPDATA
std::string gProvider;               // POSIX path of the provider base

struct Counts {
    int counted = 0, failed = 0;  // calls answered with success or "already exists", and the others
} gCounts;

// The identity blob must be UTF-16LE with exactly one NUL, at its end, and hold a cache-reference identity whose
// cache file name is the placeholder's own name.
void CheckIdentityBlob(const CF_PLACEHOLDER_CREATE_INFO& entry) {
    const BYTE* bytes = static_cast<const BYTE*>(entry.FileIdentity);
    const DWORD length = entry.FileIdentityLength;
    FUZZ_CHECK(bytes != nullptr && length >= 8 && length % 2 == 0, "identity blob too short or of odd length");
    const std::vector<uint16_t> units = fuzz::UnitsOf(bytes, length);
    FUZZ_CHECK(units.back() == 0, "identity without its NUL");
    auto high = [&](size_t i) { return units[i] >= 0xD800 && units[i] <= 0xDBFF; };
    auto low = [&](size_t i) { return units[i] >= 0xDC00 && units[i] <= 0xDFFF; };
    for (size_t i = 0; i + 1 < units.size(); ++i) {
        FUZZ_CHECK(units[i] != 0, "NUL inside the identity");
        FUZZ_CHECK(high(i) ? low(i + 1) : !low(i) || (i > 0 && high(i - 1)), "unpaired surrogate in the identity");
    }
    FUZZ_CHECK(units[0] == L'c' && units[1] == L'f' && units[2] == L'\t', "identity does not start with cf TAB");

    const std::wstring identity = DecodeIdentityBlob(bytes, length);
    std::vector<std::wstring> fields;
    FUZZ_CHECK(ParsePlaceholderIdentity(identity, fields) && fields.size() == 4, "identity is not cf and three fields");
    FUZZ_CHECK(fields[3] == entry.RelativeFileName, "identity names another file than the placeholder");
    const std::wstring cachePath = IdentityCachePath(identity);
    FUZZ_CHECK(fuzz::StrictlyBelow(cachePath, gCache), "identity points outside the cache");
}

HRESULT FakeCreatePlaceholders(LPCWSTR baseDirectoryPath, CF_PLACEHOLDER_CREATE_INFO* placeholders, DWORD count,
                               CF_CREATE_FLAGS flags, PDWORD processed) {
    FUZZ_CHECK(baseDirectoryPath != nullptr && placeholders != nullptr && count == 1 && flags == CF_CREATE_FLAG_NONE,
               "unexpected call shape");
    const std::wstring base = baseDirectoryPath;
    FUZZ_CHECK(fuzz::StaysWithin(base, gSyncRoot), "base directory outside the sync root");

    CF_PLACEHOLDER_CREATE_INFO& entry = placeholders[0];
    FUZZ_CHECK(entry.RelativeFileName != nullptr, "no name");
    const std::wstring name = entry.RelativeFileName;
    bool single = !name.empty() && name != L"." && name != L"..";
    for (wchar_t c : name) single = single && c != L'\\' && c != L'/' && c != L':';
    FUZZ_CHECK(single, "placeholder name is not one safe name");
    FUZZ_CHECK(entry.FsMetadata.FileSize.QuadPart >= 0, "negative size");
    CheckIdentityBlob(entry);

    // Nothing is created; the answer varies with the name so that every counting branch is reached.
    if (processed != nullptr) *processed = 1;
    static const HRESULT kAnswers[] = {S_OK, kHrAlreadyExists, E_FAIL};
    entry.Result = kAnswers[static_cast<uint32_t>(name[0]) % 3];
    ++(entry.Result == E_FAIL ? gCounts.failed : gCounts.counted);
    return entry.Result;
}

HRESULT NotUsed() { return E_NOTIMPL; }

const CloudFilesBackend kFakeBackend = {
    [](LPCWSTR, const CF_SYNC_REGISTRATION*, const CF_SYNC_POLICIES*, CF_REGISTER_FLAGS) { return NotUsed(); },
    [](LPCWSTR) { return NotUsed(); },
    [](LPCWSTR, const CF_CALLBACK_REGISTRATION*, LPCVOID, CF_CONNECT_FLAGS, CF_CONNECTION_KEY*) { return NotUsed(); },
    [](CF_CONNECTION_KEY) { return NotUsed(); },
    FakeCreatePlaceholders,
    [](const CF_OPERATION_INFO*, CF_OPERATION_PARAMETERS*) { return NotUsed(); },
    [](HANDLE, LARGE_INTEGER, LARGE_INTEGER, CF_HYDRATE_FLAGS, LPOVERLAPPED) { return NotUsed(); },
    [](HANDLE, LARGE_INTEGER, LARGE_INTEGER, CF_DEHYDRATE_FLAGS, LPOVERLAPPED) { return NotUsed(); },
    // Seeding looks for the identities the root holds already: none is a placeholder here.
    [](HANDLE, CF_PLACEHOLDER_INFO_CLASS, void*, DWORD, PDWORD) { return kHrNotACloudFile; },
    [](HANDLE, CF_IN_SYNC_STATE, CF_SET_IN_SYNC_FLAGS, USN*) { return NotUsed(); },
    [](HANDLE, LPCVOID, DWORD, CF_CONVERT_FLAGS, USN*, LPOVERLAPPED) { return NotUsed(); },
    [](HANDLE, const CF_FS_METADATA*, LPCVOID, DWORD, const CF_FILE_RANGE*, DWORD, CF_UPDATE_FLAGS, USN*, LPOVERLAPPED) {
        return NotUsed();
    },
    [](HANDLE, CF_PIN_STATE, CF_SET_PIN_FLAGS, LPOVERLAPPED) { return NotUsed(); },
};

// Everything in the private LOCALAPPDATA must be the provider's layout or lie below the sync root; what the
// run created below the sync root is then removed, so each input starts from the same tree.
void CheckAndResetTree() {
    namespace fs = std::filesystem;
    std::set<std::string> layout = {"nq.vo.tarn.voskel", "nq.vo.tarn.voskel/VOSKE"};
    for (const char* leaf :
         {"", "/SyncRoot", "/Staging", "/Queue", "/Queue/Staging", "/provider.log", "/seed-manifest.tsv", "/items.db",
          "/items.db-wal", "/items.db-shm"}) {
        layout.insert("nq.vo.tarn.voskel/VOSKE/CloudFiles" + std::string(leaf));
    }
    const std::string syncRootPrefix = "nq.vo.tarn.voskel/VOSKE/CloudFiles/SyncRoot/";
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(gRoot, error); !error && it != fs::recursive_directory_iterator();
         it.increment(error)) {
        const std::string relative = it->path().string().substr(gRoot.size() + 1);
        if (layout.count(relative) != 0) continue;
        FUZZ_CHECK(relative.compare(0, syncRootPrefix.size(), syncRootPrefix) == 0,
                   "something created outside the sync root");
        FUZZ_CHECK(it->is_directory(error) && !it->is_symlink(error), "a non-directory in the sync root");
    }
    FUZZ_CHECK(!error, "the tree could not be walked");
    for (const auto& entry : fs::directory_iterator(gProvider + "/SyncRoot")) fs::remove_all(entry.path());
    fs::remove(gProvider + "/provider.log", error);
}

// The summary line the run logged: seen counts entries, seeded what the platform accepted plus directories.
void CheckSummary(size_t lines) {
    const std::string text = ReadFileBytes(gProvider + "/provider.log");
    const size_t at = text.rfind("[SEED] manifest seen ");
    FUZZ_CHECK(at != std::string::npos, "no summary line");
    int seen = -1;
    int seeded = -1;
    FUZZ_CHECK(
        sscanf(text.c_str() + at, "[SEED] manifest seen %d seeded %d (cap 100000, no network)", &seen, &seeded) == 2,
        "unreadable summary");
    FUZZ_CHECK(seen >= 0 && static_cast<size_t>(seen) <= lines, "more entries seen than lines");
    FUZZ_CHECK(seeded >= gCounts.counted && seeded + gCounts.failed <= seen,
               "seeded count disagrees with the platform's answers");
}

}  // namespace

// Every directory the program creates: the provider layout, or something inside the sync root.
extern "C" BOOL __real_CreateDirectoryW(LPCWSTR pathName, LPSECURITY_ATTRIBUTES security);
extern "C" BOOL __wrap_CreateDirectoryW(LPCWSTR pathName, LPSECURITY_ATTRIBUTES security) {
    if (!gSyncRoot.empty() && pathName != nullptr) {
        const std::wstring path = pathName;
        FUZZ_CHECK(gLayoutDirs.count(path) != 0 || fuzz::StaysWithin(path, gSyncRoot),
                   "directory made outside the sync root");
    }
    return __real_CreateDirectoryW(pathName, security);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::KeepReportChannel();
    gRoot = fuzz::PrivateLocalAppData();
    gProvider = gRoot + "/nq.vo.tarn.voskel/VOSKE/CloudFiles";
    const std::wstring product = JoinPath(JoinPath(LocalAppDataDir(), L"nq.vo.tarn.voskel"), L"VOSKE");
    gCache = JoinPath(product, L"Cache");
    gLayoutDirs = {JoinPath(LocalAppDataDir(), L"nq.vo.tarn.voskel"), product, JoinPath(product, L"CloudFiles")};
    gLayoutDirs.insert({ProviderPaths.syncRoot, ProviderPaths.staging, ProviderPaths.queue});
    gLayoutDirs.insert(JoinPath(ProviderPaths.queue, L"Staging"));
    gSyncRoot = ProviderPaths.syncRoot;
    SetCloudFilesBackend(&kFakeBackend);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string manifest(reinterpret_cast<const char*>(data), size);
    WriteFileBytes(gProvider + "/seed-manifest.tsv", manifest);
    gCounts = Counts();
    const HRESULT hr = SeedFromManifest();
    FUZZ_CHECK(hr == S_OK, "seeding failed");

    size_t lines = 0;
    for (char c : manifest) lines += c == '\n' ? 1 : 0;
    CheckSummary(lines + 1);
    CheckAndResetTree();
    return 0;
}
