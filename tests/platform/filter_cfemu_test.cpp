// filter_cfemu_test.cpp - the cfemu tool as a person or a test uses it: usage, exit codes, failure messages
// with the Win32 name and HRESULT, and its commands on ordinary files.
#include "tests/platform/filter_test_support.h"

namespace filtertest {
namespace {

using CfemuTest = RegisteredRootTest;

TEST_F(CfemuTest, UsageForMissingUnknownOrIncompleteCommands) {
    const std::vector<std::vector<std::string>> calls = {{},          {"frobnicate"},   {"cat"}, {"append", "x"},
                                                         {"mv", "a"}, {"ls", "a", "b"}, {"root"}};
    for (const auto& call : calls) {
        ProcessResult result = Cfemu(call);
        EXPECT_EQ(result.exitCode, 1) << call.size();
        EXPECT_EQ(result.err.rfind("usage: cfemu COMMAND ARGUMENTS\n", 0), 0u) << result.err;
        EXPECT_EQ(result.out, "");
    }
}

TEST_F(CfemuTest, FailuresNameTheErrorAndTheHresult) {
    WriteFileBytes(Path("there.txt"), "x");
    struct Row {
        std::vector<std::string> call;
        std::string message;
    };
    const Row rows[] = {
        {{"cat", Path("missing.txt")},
         "cfemu cat " + Path("missing.txt") + ": 0x80070002 file not found (ERROR_FILE_NOT_FOUND, error 2)\n"},
        {{"rm", Path("missing.txt")},
         "cfemu rm " + Path("missing.txt") + ": 0x80070002 file not found (ERROR_FILE_NOT_FOUND, error 2)\n"},
        {{"mv", Path("there.txt"), Path("there.txt2/x")},
         "cfemu mv " + Path("there.txt") + ": 0x80070003 path not found (ERROR_PATH_NOT_FOUND, error 3)\n"},
    };
    for (const Row& row : rows) {
        ProcessResult result = Cfemu(row.call);
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.err, row.message);
    }
}

TEST_F(CfemuTest, CommandsOnOrdinaryFilesActLikeAnyApplication) {
    ASSERT_EQ(Cfemu({"append", Path("new.txt"), "one"}).exitCode, 0);
    ASSERT_EQ(Cfemu({"append", Path("new.txt"), " two"}).exitCode, 0);
    EXPECT_EQ(Cfemu({"cat", Path("new.txt")}).out, "one two");

    ASSERT_EQ(Cfemu({"mv", Path("new.txt"), Path("moved.txt")}).exitCode, 0);
    EXPECT_FALSE(FileExists(Path("new.txt")));
    WriteFileBytes(Path("other.txt"), "other");
    ProcessResult refused = Cfemu({"mv", Path("moved.txt"), Path("other.txt")});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("0x800700B7"), std::string::npos) << refused.err;

    mkdir(Path("empty").c_str(), 0755);
    EXPECT_EQ(Cfemu({"ls", Path("empty")}).out, "");
    EXPECT_EQ(Cfemu({"rm", Path("empty")}).exitCode, 0);
    EXPECT_EQ(Cfemu({"rm", Path("moved.txt")}).exitCode, 0);
    EXPECT_EQ(Cfemu({"ls", root_}).out, "other.txt\t5\tregular\t-\t-\t-\n");
}

TEST_F(CfemuTest, RelativePathsAreTakenFromTheCurrentDirectory) {
    WriteFileBytes(Path("rel.txt"), "relative");
    std::vector<char> saved(4096);
    ASSERT_NE(getcwd(saved.data(), saved.size()), nullptr);
    ASSERT_EQ(chdir(root_.c_str()), 0);
    ProcessResult result = Cfemu({"cat", "rel.txt"});
    ProcessResult shown = Cfemu({"root", "."});
    ASSERT_EQ(chdir(saved.data()), 0);

    EXPECT_EQ(result.out, "relative");
    EXPECT_EQ(shown.out.rfind("root: " + root_ + "\n", 0), 0u) << shown.out;
}

}  // namespace
}  // namespace filtertest
