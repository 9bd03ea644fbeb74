// placeholders_seeding_test.cpp - the demonstration placeholder, seeding from the manifest (format edge cases,
// repeated runs, the entry cap, unsafe entries) and seeding from the product cache (cap, size limit, links).
#include "placeholders/demo_placeholder.h"
#include "placeholders/seeding.h"
#include "tests/unit/unit_fixture.h"

#include <set>

namespace fs = std::filesystem;

namespace {

std::wstring IdentityOf(const RecordedPlaceholder& entry) {
    return DecodeIdentityBlob(entry.identity.data(), static_cast<DWORD>(entry.identity.size()));
}

// A created placeholder: its name, size and identity (with its NUL), marked in sync (flag 2), a normal file, with
// the times of `source` or none.
void ExpectPlaceholder(const RecordedPlaceholder& entry, const std::wstring& name, LONGLONG size,
                       const std::wstring& identity, const std::wstring& source = L"") {
    WIN32_FILE_ATTRIBUTE_DATA times = {};
    EXPECT_TRUE(source.empty() || GetFileAttributesExW(source.c_str(), GetFileExInfoStandard, &times));
    const FILE_BASIC_INFO& basic = entry.fsMetadata.BasicInfo;
    EXPECT_EQ(entry.relativeFileName, name);
    EXPECT_EQ(entry.fsMetadata.FileSize.QuadPart, size);
    EXPECT_EQ(IdentityOf(entry), identity);
    EXPECT_EQ(entry.identityLength, 2 * identity.size() + 2);
    EXPECT_EQ(entry.flags, 2u);
    EXPECT_EQ(basic.FileAttributes, 0x80u);
    EXPECT_EQ(basic.CreationTime.QuadPart, FileTimeToInt64(times.ftCreationTime));
    EXPECT_EQ(basic.LastAccessTime.QuadPart, FileTimeToInt64(times.ftLastAccessTime));
    EXPECT_EQ(basic.LastWriteTime.QuadPart, FileTimeToInt64(times.ftLastWriteTime));
    EXPECT_EQ(basic.ChangeTime.QuadPart, FileTimeToInt64(times.ftLastWriteTime));
}

class Seeding : public UnitTest {
protected:
    void CacheFile(const std::string& relative, uintmax_t size) {
        Put(Cache() + "/" + relative, "");
        fs::resize_file(Cache() + "/" + relative, size);
    }
};

}  // namespace

TEST_F(Seeding, DemoPlaceholderCopiesTheStagingFileAndItsFailures) {
    ASSERT_EQ(CreateDemoPlaceholder(), S_OK);
    const auto calls = fake.CallsOf("CreatePlaceholders");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].path, ProviderPaths.syncRoot);
    EXPECT_EQ(calls[0].placeholderCount, 1u);
    EXPECT_EQ(calls[0].flags, 0u);
    EXPECT_TRUE(calls[0].entriesProcessedGiven);
    ExpectPlaceholder(calls[0].placeholders.at(0), L"hello-from-engine.txt", 93, L"hello-from-engine.txt",
                      JoinPath(ProviderPaths.staging, L"hello-from-engine.txt"));
    EXPECT_NE(calls[0].placeholders.at(0).fsMetadata.BasicInfo.LastWriteTime.QuadPart, 0);

    const HRESULT exists = static_cast<HRESULT>(0x800700B7);
    fake.FailPlaceholder(L"hello-from-engine.txt", exists);
    EXPECT_EQ(CreateDemoPlaceholder(), exists);
    // With the staging directory replaced by a file the seed cannot be written or found.
    fs::remove_all(env.ProviderBase() + "/Staging");
    WriteFileBytes(env.ProviderBase() + "/Staging", "not a directory");
    EXPECT_EQ(CreateDemoPlaceholder(), static_cast<HRESULT>(0x80070002));
    EXPECT_EQ(fake.CallCount(), 2u);
    // Without a manifest there is nothing to seed and nothing to say.
    EXPECT_EQ(SeedFromManifest(), static_cast<HRESULT>(0x80070002));
    EXPECT_EQ(Log(), (std::vector<std::string>{
                         "[PLACEHOLDER] Created hello-from-engine.txt (cloud glyph expected in Explorer)",
                         "[ERROR] CfCreatePlaceholders failed hr=0x800700B7 Result=0x800700B7 processed=1",
                         "[ERROR] Staging file missing - mock engine must feed Staging first"}));
}

TEST_F(Seeding, ManifestFormat) {
    struct Create {
        std::wstring baseSuffix;  // below the sync root
        std::wstring name;
        LONGLONG size;
        std::wstring identity;
    };
    struct Row {
        const char* label;
        std::string manifest;
        int seen, seeded;
        std::vector<Create> creates;
        std::vector<std::string> directories;  // must exist below the sync root afterwards
    } rows[] = {
        {"empty file", "", 0, 0, {}, {}},
        {"file in a subdirectory", "d\ti\tdocs\\a.txt\t12\ta.txt\n", 1, 1,
         {{L"\\docs", L"a.txt", 12, L"cf\td\ti\ta.txt"}}, {"docs"}},
        {"name from column 5, CRLF, no final LF", "d\ti\tdocs\\a.txt\t1\tb.txt\r\nd2\ti2\tc.txt\t2\tc.txt", 2, 2,
         {{L"\\docs", L"b.txt", 1, L"cf\td\ti\tb.txt"}, {L"", L"c.txt", 2, L"cf\td2\ti2\tc.txt"}}, {"docs"}},
        {"4 columns, empty lines, lone CR", "a\tb\tc\td\n\n\r\n", 0, 0, {}, {}},
        {"directory line", "d\ti\ta\\b\t99\tname\t1\n", 1, 1, {}, {"a", "a/b"}},
        {"directory line, empty path", "d\ti\t\t\t\t1\n", 1, 1, {}, {}},
        {"forward slashes stay one component", "d\ti\tx/y/f.txt\t3\tf.txt\n", 1, 1,
         {{L"\\x/y", L"f.txt", 3, L"cf\td\ti\tf.txt"}}, {}},
        {"sizes", "d\ti\t\t-5\ta\nd\ti\t\tabc\tb\nd\ti\t\t\tc\nd\ti\t\t12abc\td\nd\ti\t\t  7\te\n", 5, 5,
         {{L"", L"a", 0, L"cf\td\ti\ta"}, {L"", L"b", 0, L"cf\td\ti\tb"}, {L"", L"c", 0, L"cf\td\ti\tc"},
          {L"", L"d", 12, L"cf\td\ti\td"}, {L"", L"e", 7, L"cf\td\ti\te"}},
         {}},
        {"column 6 other than 1", "d\ti\t\t1\tf\t1 \nd\ti\t\t1\tg\ttrue\td\te\n", 2, 2,
         {{L"", L"f", 1, L"cf\td\ti\tf"}, {L"", L"g", 1, L"cf\td\ti\tg"}}, {}},
        {"UTF-8 and a byte-order mark", "\xEF\xBB\xBF" "d\ti\t\t1\t\xC3\xA9.txt\n", 1, 1,
         {{L"", L"\u00e9.txt", 1, L"cf\t\ufeffd\ti\t\u00e9.txt"}}, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        Scene scene;
        WriteFileBytes(scene.Manifest(), row.manifest);
        EXPECT_EQ(SeedFromManifest(), S_OK);
        EXPECT_EQ(scene.Log(),
                  std::vector<std::string>{"[SEED] manifest seen " + std::to_string(row.seen) + " seeded " +
                                           std::to_string(row.seeded) + " (cap 100000, no network)"});
        const auto calls = scene.fake.CallsOf("CreatePlaceholders");
        ASSERT_EQ(calls.size(), row.creates.size());
        for (size_t i = 0; i < calls.size(); ++i) {
            const Create& want = row.creates[i];
            EXPECT_EQ(calls[i].path, ProviderPaths.syncRoot + want.baseSuffix);
            EXPECT_EQ(calls[i].placeholderCount, 1u);
            EXPECT_EQ(calls[i].flags, 0u);
            ExpectPlaceholder(calls[i].placeholders.at(0), want.name, want.size, want.identity);
        }
        for (const std::string& directory : row.directories) {
            EXPECT_TRUE(fs::is_directory(scene.env.SyncRoot() + "/" + directory)) << directory;
        }
    }
}

TEST_F(Seeding, ManifestSecondRunCountsExistingPlaceholders) {
    WriteFileBytes(Manifest(), "d\ti\t\t1\ta\nd\ti\tsub\\b\t1\tb\nd\ti\tdir\t0\tx\t1\n");
    ASSERT_EQ(SeedFromManifest(), S_OK);
    fake.SetStatus("CreatePlaceholders", static_cast<HRESULT>(0x800700B7));
    ASSERT_EQ(SeedFromManifest(), S_OK);
    fake.SetStatus("CreatePlaceholders", static_cast<HRESULT>(0x80070005));
    ASSERT_EQ(SeedFromManifest(), S_OK);
    EXPECT_EQ(Log(), (std::vector<std::string>{"[SEED] manifest seen 3 seeded 3 (cap 100000, no network)",
                                               "[SEED] manifest seen 3 seeded 3 (cap 100000, no network)",
                                               "[SEED] manifest seen 3 seeded 1 (cap 100000, no network)"}));
}

TEST_F(Seeding, ManifestStopsAfterTheEntryCap) {
    // Short lines do not use up the cap; directory entries with no path are cheap to count.
    std::string manifest = "short\nline\n";
    for (int i = 0; i < 99999; ++i) manifest += "d\ti\t\t0\tn\t1\n";
    manifest += "d\ti\t\t1\tlast.txt\nd\ti\t\t1\tbeyond.txt\n";
    WriteFileBytes(Manifest(), manifest);
    ASSERT_EQ(SeedFromManifest(), S_OK);
    const auto calls = fake.CallsOf("CreatePlaceholders");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].placeholders.at(0).relativeFileName, L"last.txt");
    EXPECT_EQ(Log(), std::vector<std::string>{"[SEED] manifest seen 100000 seeded 100000 (cap 100000, no network)"});
}

TEST_F(Seeding, ManifestRefusesUnsafeEntries) {
    const char* unsafeLines[] = {
        "d\ti\t..\\up\t0\tx\t1", "d\ti\ta\\..\\..\\up\t0\tx\t1", "d\ti\t.\\a\\f\t1\tf", "d\ti\t\\abs\\f\t1\tf",
        "d\ti\t/abs/f\t1\tf", "d\ti\tC:\\w\\f\t1\tf", "d\ti\tC:w\t1\tf", "d\ti\t\t1\t", "d\ti\t\t1\t.",
        "d\ti\t\t1\t..", "d\ti\t\t1\ta\\b", "d\ti\t\t1\ta/b", "d\ti\t\t1\ta:b", "..\ti\t\t1\tf", ".\ti\t\t1\tf",
        "a\\b\ti\t\t1\tf", "d\t..\t\t1\tf", "d\tx/y\t\t1\tf", "d\tc:\t\t1\tf",
    };
    for (const char* line : unsafeLines) {
        SCOPED_TRACE(line);
        Scene scene;
        WriteFileBytes(scene.Manifest(), std::string("\n") + line + "\n");
        EXPECT_EQ(SeedFromManifest(), S_OK);
        EXPECT_EQ(scene.fake.CallCount(), 0u);
        EXPECT_EQ(scene.Log(),
                  (std::vector<std::string>{"[ERROR] SEED refused 1 unsafe manifest entries, first at line 2",
                                            "[SEED] manifest seen 1 seeded 0 (cap 100000, no network)"}));
        EXPECT_FALSE(fs::exists(scene.env.ProviderBase() + "/up"));
        EXPECT_TRUE(fs::is_empty(scene.env.SyncRoot()));
    }

    // Safe entries around the refused ones behave as usual; the line number is the file's, empty lines included.
    WriteFileBytes(Manifest(), "\td\t\t1\tok1\nd\ti\tsafe\\x\t1\tok2\n\nd\ti\t\t\t\t1\n\nd\ti\t\t1\t..\n"
                               "d\ti\t..\t0\tz\t1\n..\ti\t\t1\tf\nd\t\t\t1\tok3\n"
                               "..\t..\tdirok\t0\t..\t1\n");
    ASSERT_EQ(SeedFromManifest(), S_OK);
    const auto calls = fake.CallsOf("CreatePlaceholders");
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(IdentityOf(calls[0].placeholders.at(0)), L"cf\t\td\tok1");
    EXPECT_EQ(IdentityOf(calls[2].placeholders.at(0)), L"cf\td\t\tok3");
    EXPECT_EQ(Log(), (std::vector<std::string>{"[ERROR] SEED refused 3 unsafe manifest entries, first at line 6",
                                               "[SEED] manifest seen 8 seeded 5 (cap 100000, no network)"}));
    // A directory entry uses only its path: odd ids or names in the other columns do not refuse it.
    EXPECT_TRUE(fs::is_directory(env.SyncRoot() + "/dirok"));
}

TEST_F(Seeding, CacheFilesBecomePlaceholdersAtTheSamePlaceAndTheFirstFailureIsTheEarliest) {
    EXPECT_EQ(SeedFromProductCache(), S_OK);
    fs::create_directories(Cache() + "/emptydir");
    EXPECT_EQ(SeedFromProductCache(), S_OK);
    EXPECT_FALSE(fs::exists(env.SyncRoot() + "/emptydir"));
    CacheFile("a/b/c.txt", 5);
    ASSERT_EQ(SeedFromProductCache(), S_OK);
    const auto calls = fake.CallsOf("CreatePlaceholders");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].path, ProviderPaths.syncRoot + L"\\a\\b");
    EXPECT_TRUE(fs::is_directory(env.SyncRoot() + "/a/b"));
    ExpectPlaceholder(calls[0].placeholders.at(0), L"c.txt", 5, L"a\\b\\c.txt", WindowsPathOf(Cache() + "/a/b/c.txt"));

    fs::remove_all(Cache());
    for (const char* name : {"w", "x", "y", "z"}) CacheFile(name, 1);
    fake.FailCall(2, static_cast<HRESULT>(0x800700B7));
    fake.FailCall(3, static_cast<HRESULT>(0x80070005));
    fake.FailCall(4, static_cast<HRESULT>(0x80070057));
    ASSERT_EQ(SeedFromProductCache(), S_OK);
    EXPECT_EQ(Log(), (std::vector<std::string>{"[SEED] product cache absent",
                                               "[SEED] found 0 seeded 0 first_hr=0x00000000 (cap 32, no network)",
                                               "[SEED] found 1 seeded 1 first_hr=0x00000000 (cap 32, no network)",
                                               "[SEED] found 4 seeded 2 first_hr=0x80070005 (cap 32, no network)"}));
}

TEST_F(Seeding, CacheWalkStopsAt32FilesSkipsOver32MiBAndEndsInLinkLoops) {
    for (int i = 0; i < 40; ++i) {
        // A named number: gcc 12 at -O3 takes "literal" + a temporary string for an overlapping copy (-Wrestrict).
        const std::string number = std::to_string(i);
        CacheFile("f" + number + ".txt", 1);
    }
    std::vector<std::wstring> files;
    CollectCacheFiles(WindowsPathOf(Cache()), L"", files);
    EXPECT_EQ(files.size(), 32u);
    EXPECT_EQ(std::set<std::wstring>(files.begin(), files.end()).size(), 32u);

    fs::remove_all(Cache());
    CacheFile("big/exact.bin", 33554432);
    CacheFile("big/over.bin", 40u << 20);
    fs::create_directory_symlink("..", Cache() + "/big/loop");
    fs::create_directory_symlink(Cache(), Cache() + "/big/top");
    files.clear();
    CollectCacheFiles(WindowsPathOf(Cache()), L"", files);
    EXPECT_EQ(files, std::vector<std::wstring>{L"big\\exact.bin"});
}
