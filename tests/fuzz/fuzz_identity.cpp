// fuzz_identity.cpp - libFuzzer target: identity blobs decode, split and point into the cache consistently.
#include "layout/provider_paths.h"
#include "placeholders/identity.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

std::wstring gCache;

std::vector<BYTE> BlobOf(std::vector<uint16_t> units) {
    std::vector<BYTE> blob;
    units.push_back(0);
    for (uint16_t unit : units) blob.insert(blob.end(), {static_cast<BYTE>(unit & 0xFF), static_cast<BYTE>(unit >> 8)});
    return blob;
}

// Whatever the platform hands back, of whatever length: decoding takes length/2 units, drops trailing NULs, and
// encoding that text again gives exactly those units and one NUL.
std::wstring CheckDecode(const uint8_t* data, size_t length) {
    const std::wstring text = DecodeIdentityBlob(data, static_cast<DWORD>(length));
    std::vector<uint16_t> units = fuzz::UnitsOf(data, length);
    while (!units.empty() && units.back() == 0) units.pop_back();
    FUZZ_CHECK(text.empty() || text.back() != L'\0', "trailing NUL kept");
    FUZZ_CHECK(text.size() <= units.size(), "more characters than units");
    FUZZ_CHECK(EncodeIdentityBlob(text) == BlobOf(units), "re-encoding differs");
    return text;
}

void CheckParse(const std::wstring& identity) {
    std::vector<std::wstring> fields;
    fields.push_back(L"left over from an earlier call");
    const bool cacheReference = ParsePlaceholderIdentity(identity, fields);

    size_t tabs = 0;
    for (wchar_t c : identity) tabs += c == L'\t' ? 1 : 0;
    FUZZ_CHECK(fields.size() == tabs + 1, "not one field more than TABs");
    std::wstring joined;
    for (size_t i = 0; i < fields.size(); ++i) {
        FUZZ_CHECK(fields[i].find(L'\t') == std::wstring::npos, "TAB inside a field");
        if (i > 0) joined += L'\t';
        joined += fields[i];
    }
    FUZZ_CHECK(joined == identity, "fields joined by TAB differ from the identity");
    FUZZ_CHECK(cacheReference == (fields.size() >= 4 && fields[0] == L"cf"), "cache reference misjudged");

    const std::wstring cachePath = IdentityCachePath(identity);
    if (!cacheReference) {
        FUZZ_CHECK(cachePath.empty(), "a path identity got a cache path");
        return;
    }
    // All three names safe gives exactly <cache>\d\i\name.
    if (IsSafeNameComponent(fields[1]) && IsSafeNameComponent(fields[2]) && IsSafeNameComponent(fields[3])) {
        fuzz::LexicalPath expected = fuzz::Normalize(gCache);
        expected.parts.insert(expected.parts.end(), {fields[1], fields[2], fields[3]});
        fuzz::LexicalPath got = fuzz::Normalize(cachePath);
        FUZZ_CHECK(got.root == expected.root && got.parts == expected.parts,
                   "cache path is not the cache and the three names");
    }
    // The rule seeding and the callbacks apply: ids may be empty, the name must be safe; still strictly inside
    // the cache.
    if (IsSafeCacheReference(fields[1], fields[2], fields[3])) {
        FUZZ_CHECK(fuzz::StrictlyBelow(cachePath, gCache), "a safe reference's cache path left the cache");
    }
}

// Text the program builds (code points up to U+10FFFF, lone surrogates included) survives encode and decode.
void CheckRoundTrip(const std::wstring& text) {
    std::wstring expected = text;
    while (!expected.empty() && expected.back() == L'\0') expected.pop_back();
    const std::vector<BYTE> blob = EncodeIdentityBlob(text);
    FUZZ_CHECK(blob.size() >= 2 && blob.size() % 2 == 0 && blob[blob.size() - 1] == 0 && blob[blob.size() - 2] == 0,
               "blob without its NUL");
    const std::wstring decoded = DecodeIdentityBlob(blob.data(), static_cast<DWORD>(blob.size()));
    FUZZ_CHECK(decoded == expected, "text changed by encoding and decoding");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::KeepReportChannel();
    fuzz::PrivateLocalAppData();
    gCache = JoinPath(JoinPath(JoinPath(LocalAppDataDir(), L"nq.vo.tarn.voskel"), L"VOSKE"), L"Cache");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FUZZ_CHECK(DecodeIdentityBlob(nullptr, static_cast<DWORD>(size)).empty(), "a null blob decoded to text");

    // The whole input as the blob, odd lengths and lengths past 4096 included, then a copy cut one byte short
    // in its own allocation, so that a read past the given length lands outside it.
    const std::wstring whole = CheckDecode(data, size);
    if (size > 0) {
        std::vector<uint8_t> shorter(data, data + size - 1);
        CheckDecode(shorter.data(), shorter.size());
    }
    CheckParse(whole);

    FuzzedDataProvider input(data, size);
    std::wstring text = fuzz::ConsumeWide(input, 64);
    if (input.ConsumeBool()) text = L"cf\t" + text;
    CheckParse(text);
    CheckRoundTrip(text);
    return 0;
}
