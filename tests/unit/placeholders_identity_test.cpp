// placeholders_identity_test.cpp - the identity blob bytes and their decoding, the identity parser, the
// product-cache path of an identity, and the name and path safety checks.
#include "layout/provider_paths.h"
#include "placeholders/identity.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

namespace {

std::vector<BYTE> Bytes(std::initializer_list<int> values) {
    std::vector<BYTE> bytes;
    for (int v : values) bytes.push_back(static_cast<BYTE>(v));
    return bytes;
}

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
    // Decoding takes the length given, whatever the bytes hold.
    const std::vector<BYTE> blob = EncodeIdentityBlob(L"hello-from-engine.txt");
    struct Row {
        LPCVOID data;
        DWORD length;
        std::wstring expected;
    } rows[] = {
        {nullptr, 44, L""},
        {blob.data(), 0, L""},
        {blob.data(), 1, L""},
        {blob.data(), 3, L"h"},                      // odd length: the half unit is dropped
        {blob.data(), 43, L"hello-from-engine.txt"},  // 21 units, the NUL's half dropped
        {blob.data(), 42, L"hello-from-engine.txt"},  // no NUL at all
        {blob.data(), 10, L"hello"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(DecodeIdentityBlob(row.data, row.length), row.expected) << row.length;
    }
    // Every trailing NUL goes; an inner one stays.
    const std::vector<BYTE> padded = Bytes({'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(DecodeIdentityBlob(padded.data(), 12), std::wstring(L"a\0b", 3));
    // A lone surrogate is kept as it is rather than dropped.
    const std::vector<BYTE> lone = Bytes({0x3D, 0xD8, 'z', 0, 0, 0});
    EXPECT_EQ(DecodeIdentityBlob(lone.data(), 6), std::wstring(L"\xD83Dz"));
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
        {L"cf\t\td\tf", Ref::kCacheReference, cache + L"\\d\\f"},
        {L"cf\t\t\tf", Ref::kCacheReference, cache + L"\\f"},
        {L"cf\td\ti\tf\textra", Ref::kCacheReference, cache + L"\\d\\i\\f"},
        {L"cf\td\ti\t", Ref::kUnsafe, cache + L"\\d\\i\\"},
        {L"cf\t\t\t", Ref::kUnsafe, L""},
        {L"cf\td\ti\tNUL", Ref::kUnsafe, cache + L"\\d\\i\\NUL"},
        {L"cf\ta\tb", Ref::kRelativePath, L""},
        {L"hello-from-engine.txt", Ref::kRelativePath, L""},
        {L"a\\b\\c.txt", Ref::kRelativePath, L""},
        {L"..\\c.txt", Ref::kUnsafe, L""},
        {L"", Ref::kDemonstration, L""},
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

    struct Split {
        std::wstring identity;
        bool cacheReference;
        std::vector<std::wstring> fields;
    } splits[] = {
        {L"cf\td1\ti1\tx.bin", true, {L"cf", L"d1", L"i1", L"x.bin"}},
        {L"cf\ta\tb", false, {L"cf", L"a", L"b"}},
        {L"CF\ta\tb\tc", false, {L"CF", L"a", L"b", L"c"}},
        {L"cf\ta\tb\tc\td", true, {L"cf", L"a", L"b", L"c", L"d"}},
        {L"cf\t\t\t", true, {L"cf", L"", L"", L""}},
        {L"", false, {L""}},
        {L"hello-from-engine.txt", false, {L"hello-from-engine.txt"}},
        {L"a\\b\\c.txt", false, {L"a\\b\\c.txt"}},
    };
    for (const Split& row : splits) {
        std::vector<std::wstring> fields = {L"stale"};
        EXPECT_EQ(ParsePlaceholderIdentity(row.identity, fields), row.cacheReference);
        EXPECT_EQ(fields, row.fields);
    }
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
