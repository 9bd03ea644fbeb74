// standin_find_order_test.cpp - the order of FindFirstFileW listings: without regard to case, then by bytes,
// the same whether the directory holds only ASCII names (sorted on bytes) or other names too (wide keys).
#include "tests/platform/standin_fixture.h"
#include "tests/support/test_env.h"

namespace {

class StandinFindOrder : public StandinTest {};

std::vector<std::string> ListNames(const std::wstring& pattern) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        names.push_back(posix::WideToUtf8(data.cFileName));
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
}

TEST_F(StandinFindOrder, CaseFoldedThenByBytesWithAndWithoutOtherThanAsciiNames) {
    // Upper-cased keys: A, AB (twice, then by bytes: "Ab" before "aB"), A_ ('_' after the letters), B, B1, Z,
    // _Z, ~; a name outside ASCII ("é", upper-cased U+00C9) after all of them.
    const std::vector<std::string> ascii = {"A", "Ab", "aB", "a_", "b", "B1", "Z", "_z", "~"};
    struct Row {
        const char* directory;
        bool withAccent;
    };
    const Row rows[] = {{"ascii", false}, {"mixed", true}};
    for (const Row& row : rows) {
        ASSERT_TRUE(CreateDirectoryW(Win(row.directory).c_str(), nullptr)) << row.directory;
        // Created in reverse, so the listing's order is never the order of creation.
        for (auto name = ascii.rbegin(); name != ascii.rend(); ++name) {
            WriteFileBytes(Posix(std::string(row.directory) + "/" + *name), "x");
        }
        if (row.withAccent) WriteFileBytes(Posix(std::string(row.directory) + "/\xc3\xa9"), "x");

        std::vector<std::string> expected = {".", ".."};
        expected.insert(expected.end(), ascii.begin(), ascii.end());
        if (row.withAccent) expected.push_back("\xc3\xa9");
        EXPECT_EQ(ListNames(Win(row.directory) + L"\\*"), expected) << row.directory;
    }
}

}  // namespace
