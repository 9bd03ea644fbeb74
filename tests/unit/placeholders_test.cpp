// placeholders_test.cpp - identities and their safety, the demonstration placeholder, seeding, the benchmark.
#include "placeholders/bench.h"
#include "placeholders/demo_placeholder.h"
#include "placeholders/seeding.h"
#include "syncroot/registration.h"
#include "tests/unit/unit_fixture.h"

#include <cwchar>
#include <regex>
#include <set>

namespace fs = std::filesystem;

namespace {

std::vector<BYTE> Bytes(std::initializer_list<int> values) {
    std::vector<BYTE> bytes;
    for (int v : values) bytes.push_back(static_cast<BYTE>(v));
    return bytes;
}

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

// The fake's hook creates the named files, so the benchmark's listing has something to count.
class Bench : public UnitTest {
protected:
    void SetUp() override {
        ProviderConnected = false;
        fake.SetHook([](const RecordedCall& call) {
            if (call.op != "CreatePlaceholders" || FAILED(call.returned)) return;
            for (const RecordedPlaceholder& entry : call.placeholders) {
                WriteFileBytes(PosixPathOf(JoinPath(call.path, entry.relativeFileName)), "");
            }
        });
    }
};

std::vector<std::string> Ops(const FakeCloudFiles& fake) {
    std::vector<std::string> ops;
    for (const RecordedCall& call : fake.Calls()) ops.push_back(call.op);
    return ops;
}

std::vector<std::string> ExpectedOps(int batches) {
    std::vector<std::string> ops = {"Unregister", "Register"};
    ops.insert(ops.end(), static_cast<size_t>(batches), "CreatePlaceholders");
    ops.push_back("Unregister");
    return ops;
}

const std::regex kBenchLine(
    R"(\[BENCH\] 10k placeholders create_ms=-?\d+\.\d enum_ms=-?\d+\.\d seen=(\d+) \(metadata only, no hydrate\))");

}  // namespace

TEST(IdentityBlob, EncodesUtf16LeWithOneNulAndDecodesByTheLengthGiven) {
    EXPECT_EQ(EncodeIdentityBlob(L""), Bytes({0, 0}));
    EXPECT_EQ(EncodeIdentityBlob(L"a\t\u00e9"), Bytes({'a', 0, '\t', 0, 0xE9, 0, 0, 0}));
    // U+1F600 is above the BMP: one surrogate pair, D83D DE00.
    EXPECT_EQ(EncodeIdentityBlob(L"x\U0001F600"), Bytes({'x', 0, 0x3D, 0xD8, 0x00, 0xDE, 0, 0}));
    for (const std::wstring text : {L"a\\b\\c.txt", L"\u65e5\u672c\U0001F600\U0010FFFF", L"\t\t"}) {
        const std::vector<BYTE> blob = EncodeIdentityBlob(text);
        EXPECT_EQ(DecodeIdentityBlob(blob.data(), static_cast<DWORD>(blob.size())), text);
    }
    // Decoding takes the length given, whatever the bytes hold. Every trailing NUL goes, an inner one stays; a lone
    // surrogate is kept as it is rather than dropped.
    const std::vector<BYTE> blob = EncodeIdentityBlob(L"hello-from-engine.txt");
    const std::vector<BYTE> padded = Bytes({'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0, 0, 0});
    const std::vector<BYTE> lone = Bytes({0x3D, 0xD8, 'z', 0, 0, 0});
    struct Row {
        LPCVOID data;
        DWORD length;
        std::wstring expected;
    } rows[] = {
        {nullptr, 44, L""}, {blob.data(), 0, L""}, {blob.data(), 1, L""}, {blob.data(), 10, L"hello"},
        {blob.data(), 3, L"h"},                      // odd length: the half unit is dropped
        {blob.data(), 43, L"hello-from-engine.txt"},  // 21 units, the NUL's half dropped
        {blob.data(), 42, L"hello-from-engine.txt"},  // no NUL at all
        {padded.data(), 12, std::wstring(L"a\0b", 3)}, {lone.data(), 6, std::wstring(L"\xD83Dz")},
    };
    for (const Row& row : rows) EXPECT_EQ(DecodeIdentityBlob(row.data, row.length), row.expected) << row.length;
}

TEST(IdentityParser, SplitsAtEveryTabAndClassifiesOnceWithTheCachePath) {
    TempLocalAppData env;
    const std::wstring cache = JoinPath(JoinPath(JoinPath(LocalAppDataDir(), L"nq.vo.tarn.voskel"), L"VOSKE"), L"Cache");
    using Ref = PlaceholderRef;
    struct Row {
        std::wstring identity;
        Ref::Kind kind;
        std::wstring cachePath;  // IdentityCachePath, and ReferenceCachePath for a safe cache reference
    } rows[] = {
        {L"cf\td1\ti1\tx.bin", Ref::kCacheReference, cache + L"\\d1\\i1\\x.bin"},
        {L"cf\t\td\tf", Ref::kCacheReference, cache + L"\\d\\f"}, {L"cf\t\t\tf", Ref::kCacheReference, cache + L"\\f"},
        {L"cf\td\ti\tf\textra", Ref::kCacheReference, cache + L"\\d\\i\\f"},
        {L"cf\td\ti\t", Ref::kUnsafe, cache + L"\\d\\i\\"}, {L"cf\t\t\t", Ref::kUnsafe, L""},
        {L"cf\td\ti\tNUL", Ref::kUnsafe, cache + L"\\d\\i\\NUL"}, {L"cf\ta\tb", Ref::kRelativePath, L""},
        {L"CF\ta\tb\tc", Ref::kRelativePath, L""},
        {L"a\\b\\c.txt", Ref::kRelativePath, L""}, {L"..\\c.txt", Ref::kUnsafe, L""}, {L"", Ref::kDemonstration, L""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.identity.begin(), row.identity.end()));
        EXPECT_EQ(IdentityCachePath(row.identity), row.cachePath);
        const std::vector<BYTE> blob = EncodeIdentityBlob(row.identity);
        const Ref ref = ClassifyIdentity(blob.data(), static_cast<DWORD>(blob.size()));
        EXPECT_EQ(ref.kind, row.kind);
        EXPECT_EQ(ref.text, row.identity);
        if (ref.kind == Ref::kCacheReference) {
            EXPECT_EQ(ReferenceCachePath(ref), row.cachePath);
        }
    }
    EXPECT_EQ(ClassifyIdentity(nullptr, 44).kind, Ref::kDemonstration);
}

TEST(IdentitySafety, NamesAndRelativePaths) {
    struct Row {
        std::wstring text;
        bool safeName;
        bool safePath;
    } rows[] = {
        {L"a.txt", true, true}, {L"a..b", true, true}, {L"...", true, true}, {L"", false, true}, {L".", false, false},
        {L"..", false, false}, {L"a\\b", false, true}, {L"a/b", false, true}, {L"x/y/f.txt", false, true},
        {L"a\\\\b\\", false, true}, {L"a:b", false, false}, {L"C:", false, false}, {L"C:x", false, false},
        {L"C:\\x", false, false}, {L"\\x", false, false}, {L"/x", false, false}, {L"\\\\server\\share", false, false},
        {L"a\\..\\b", false, false}, {L"..\\x", false, false}, {L".\\x", false, false}, {L"a/./b", false, false},
        {std::wstring(L"a\0b", 3), false, false},
        // Names Windows opens as devices, with or without an extension, in any case, at any level.
        {L"CON", false, false}, {L"con.txt", false, false}, {L"Nul", false, false}, {L"nul .log", false, false},
        {L"aux.tar.gz", false, false}, {L"PRN", false, false}, {L"COM1", false, false}, {L"lpt9.bin", false, false},
        {L"COM0", false, false}, {L"com\u00B9", false, false}, {L"CONIN$", false, false},
        {L"conout$.x", false, false}, {L"a\\nul\\b", false, false}, {L"dir/CON", false, false},
        // Near misses stay ordinary names.
        {L"CONSOLE", true, true}, {L"xcon", true, true}, {L"COM", true, true}, {L"COM10", true, true},
        {L"LPTX", true, true}, {L"com\u00B4", true, true}, {L"nul_", true, true}, {L".nul", true, true},
        {L"a\\console\\b", false, true},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(IsSafeNameComponent(row.text), row.safeName) << row.text.c_str();
        EXPECT_EQ(IsSafeRelativePath(row.text), row.safePath) << row.text.c_str();
    }
}

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

    // With the staging directory replaced by a file the seed cannot be written or found.
    fs::remove_all(env.ProviderBase() + "/Staging");
    WriteFileBytes(env.ProviderBase() + "/Staging", "not a directory");
    EXPECT_EQ(CreateDemoPlaceholder(), static_cast<HRESULT>(0x80070002));
    EXPECT_EQ(fake.Calls().size(), 1u);
    // Without a manifest there is nothing to seed and nothing to say.
    EXPECT_EQ(SeedFromManifest(), static_cast<HRESULT>(0x80070002));
    EXPECT_EQ(Log(), (std::vector<std::string>{
                         "[PLACEHOLDER] Created hello-from-engine.txt (cloud glyph expected in Explorer)",
                         "[ERROR] Staging file missing - mock engine must feed Staging first"}));
}

TEST_F(Seeding, ManifestFormat) {
    WriteFileBytes(Manifest(), "");
    EXPECT_EQ(SeedFromManifest(), S_OK);
    // One manifest of every form a line takes. A byte-order mark stays part of the first column; empty lines, CR
    // alone and lines of four columns count for nothing; a directory line (column 6 "1") uses only its path, even an
    // empty one; forward slashes stay inside one component; a size is its leading digits (after spaces), else 0;
    // CRLF ends a line as LF does, and the last line has no line end.
    WriteFileBytes(Manifest(), "\xEF\xBB\xBF" "d\ti\t\t1\t\xC3\xA9.txt\n"
                               "d\ti\tdocs\\a.txt\t12\ta.txt\n"
                               "a\tb\tc\td\n\n\r\n"
                               "d\ti\tp\\q\t99\tname\t1\n"
                               "d\ti\t\t\t\t1\n"
                               "d\ti\tx/y/f.txt\t3\tf.txt\n"
                               "d\ti\t\t-5\ta\nd\ti\t\tabc\tb\nd\ti\t\t\tc\nd\ti\t\t12abc\td\nd\ti\t\t  7\te\n"
                               "d\ti\t\t1\tf\t1 \nd\ti\t\t1\tg\ttrue\td\te\n"
                               "d\ti\tdocs\\a.txt\t1\tb.txt\r\nd2\ti2\tc.txt\t2\tc.txt");
    EXPECT_EQ(SeedFromManifest(), S_OK);
    EXPECT_EQ(Log(), (std::vector<std::string>{"[SEED] manifest seen 0 seeded 0 (cap 100000, no network)",
                                               "[SEED] manifest seen 14 seeded 14 (cap 100000, no network)"}));
    const struct {
        std::wstring baseSuffix;  // below the sync root
        std::wstring name;
        LONGLONG size;
        std::wstring identity;
    } creates[] = {
        {L"", L"\u00e9.txt", 1, L"cf\t\ufeffd\ti\t\u00e9.txt"}, {L"\\docs", L"a.txt", 12, L"cf\td\ti\ta.txt"},
        {L"\\x/y", L"f.txt", 3, L"cf\td\ti\tf.txt"},           {L"", L"a", 0, L"cf\td\ti\ta"},
        {L"", L"b", 0, L"cf\td\ti\tb"},                        {L"", L"c", 0, L"cf\td\ti\tc"},
        {L"", L"d", 12, L"cf\td\ti\td"},                       {L"", L"e", 7, L"cf\td\ti\te"},
        {L"", L"f", 1, L"cf\td\ti\tf"},                        {L"", L"g", 1, L"cf\td\ti\tg"},
        {L"\\docs", L"b.txt", 1, L"cf\td\ti\tb.txt"},          {L"", L"c.txt", 2, L"cf\td2\ti2\tc.txt"},
    };
    const auto calls = fake.CallsOf("CreatePlaceholders");
    ASSERT_EQ(calls.size(), std::size(creates));
    for (size_t i = 0; i < calls.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(calls[i].path, ProviderPaths.syncRoot + creates[i].baseSuffix);
        EXPECT_EQ(calls[i].placeholderCount, 1u);
        EXPECT_EQ(calls[i].flags, 0u);
        ExpectPlaceholder(calls[i].placeholders.at(0), creates[i].name, creates[i].size, creates[i].identity);
    }
    EXPECT_EQ(ListDirectory(env.SyncRoot()), (std::vector<std::string>{"docs", "p"}));
    EXPECT_EQ(ListDirectory(env.SyncRoot() + "/p"), std::vector<std::string>{"q"});
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
    // Each is refused on its own: none is created, nothing is made below the sync root or beside it.
    std::string manifest = "\n";
    for (const char* line : unsafeLines) manifest += std::string(line) + "\n";
    WriteFileBytes(Manifest(), manifest);
    EXPECT_EQ(SeedFromManifest(), S_OK);
    EXPECT_EQ(fake.Calls().size(), 0u);
    EXPECT_FALSE(fs::exists(env.ProviderBase() + "/up"));
    EXPECT_TRUE(fs::is_empty(env.SyncRoot()));

    // Safe entries around the refused ones behave as usual; the line number is the file's, empty lines included.
    WriteFileBytes(Manifest(), "\td\t\t1\tok1\nd\ti\tsafe\\x\t1\tok2\n\nd\ti\t\t\t\t1\n\nd\ti\t\t1\t..\n"
                               "d\ti\t..\t0\tz\t1\n..\ti\t\t1\tf\nd\t\t\t1\tok3\n"
                               "..\t..\tdirok\t0\t..\t1\n");
    ASSERT_EQ(SeedFromManifest(), S_OK);
    const auto calls = fake.CallsOf("CreatePlaceholders");
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(IdentityOf(calls[0].placeholders.at(0)), L"cf\t\td\tok1");
    EXPECT_EQ(IdentityOf(calls[2].placeholders.at(0)), L"cf\td\t\tok3");
    // A directory entry uses only its path: odd ids or names in the other columns do not refuse it.
    EXPECT_TRUE(fs::is_directory(env.SyncRoot() + "/dirok"));
    // Later runs count placeholders that already exist as seeded, but not those the platform refuses.
    fake.SetStatus("CreatePlaceholders", static_cast<HRESULT>(0x800700B7));
    ASSERT_EQ(SeedFromManifest(), S_OK);
    fake.SetStatus("CreatePlaceholders", static_cast<HRESULT>(0x80070005));
    ASSERT_EQ(SeedFromManifest(), S_OK);
    const std::string why = " - each name must be one plain name (not empty, . or .., without \\ / : or NUL, and no "
                            "device name such as CON or COM1)";
    const std::string refused = "[ERROR] SEED refused 3 unsafe manifest entries, first at line 6" + why;
    const std::string five = "[SEED] manifest seen 8 seeded 5 (cap 100000, no network)";
    EXPECT_EQ(Log(), (std::vector<std::string>{"[ERROR] SEED refused 19 unsafe manifest entries, first at line 2" + why,
                                               "[SEED] manifest seen 19 seeded 0 (cap 100000, no network)", refused,
                                               five, refused, five, refused,
                                               "[SEED] manifest seen 8 seeded 2 (cap 100000, no network)"}));
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
    for (int i = 0; i < 40; ++i) CacheFile("f" + std::to_string(i) + ".txt", 1);
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

// Ten thousand named entries in 50 batches of 200; a root holding one more file than that is a failed run, as is a
// refused batch or registration.
TEST_F(Bench, TenThousandInFiftyBatchesAndEveryWayARunFails) {
    WriteFileBytes(env.SyncRoot() + "/hello-from-engine.txt", "");
    WriteFileBytes(env.SyncRoot() + "/.hidden", "");  // dot names are not counted
    EXPECT_EQ(RunPlaceholderBench(), E_FAIL);
    EXPECT_EQ(Ops(fake), ExpectedOps(50));
    const auto creates = fake.CallsOf("CreatePlaceholders");
    const LONGLONG timestamp = creates.at(0).placeholders.at(0).fsMetadata.BasicInfo.CreationTime.QuadPart;
    EXPECT_GT(timestamp, 0);
    int index = 0;
    for (const RecordedCall& call : creates) {
        EXPECT_EQ(call.path, ProviderPaths.syncRoot);
        EXPECT_EQ(call.flags, 0u);
        ASSERT_EQ(call.placeholders.size(), 200u);
        for (const RecordedPlaceholder& entry : call.placeholders) {
            wchar_t name[32];
            swprintf(name, 32, L"bench-%05d.txt", index++);
            // In sync (2), a normal file (0x80), empty, one timestamp for all four times.
            const FILE_BASIC_INFO& t = entry.fsMetadata.BasicInfo;
            ASSERT_TRUE(entry.relativeFileName == name && entry.identity == EncodeIdentityBlob(name) &&
                        entry.identityLength == 32u && entry.flags == 2u && entry.fsMetadata.FileSize.QuadPart == 0 &&
                        t.FileAttributes == 0x80u && t.CreationTime.QuadPart == timestamp &&
                        t.LastAccessTime.QuadPart == timestamp && t.LastWriteTime.QuadPart == timestamp &&
                        t.ChangeTime.QuadPart == timestamp)
                << index - 1;
        }
    }
    const std::vector<std::string> log = Log();
    ASSERT_EQ(log.size(), 4u);  // unregister, register, bench, unregister
    std::smatch match;
    ASSERT_TRUE(std::regex_match(log[2], match, kBenchLine)) << log[2];
    EXPECT_EQ(match[1], "10001");

    for (const bool registration : {false, true}) {
        TempLocalAppData scene;
        FakeCloudFiles script;
        const HRESULT refused = static_cast<HRESULT>(registration ? 0x80070005 : 0x8007017C);
        script.FailCall(registration ? 2 : 24, refused);  // the registration and its update, or the 22nd batch
        if (registration) script.FailCall(3, refused);
        EXPECT_EQ(RunPlaceholderBench(), refused);
        EXPECT_EQ(Ops(script),
                  registration ? (std::vector<std::string>{"Unregister", "Register", "Register"}) : ExpectedOps(22));
        const std::vector<std::string> lines = LogMessages(scene.LogFile());
        if (registration) {
            for (const std::string& line : lines) EXPECT_EQ(line.find("bench"), std::string::npos) << line;
        } else {
            EXPECT_EQ(lines, (std::vector<std::string>{lines.at(0), lines.at(1),
                                                       "[ERROR] bench create failed at 4200 hr=0x8007017C processed=200",
                                                       "[UNREGISTER] Sync root unregistered"}));
        }
    }
}
