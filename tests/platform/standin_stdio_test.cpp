// standin_stdio_test.cpp - _wfopen/_wfsopen: the bytes text mode puts on disk, text-mode reading, binary mode,
// and appends from two processes at once that never split a line.
#include "tests/platform/standin_fixture.h"
#include "tests/support/test_env.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <set>

namespace {

class StandinStdio : public StandinTest {};

struct WriteCase {
    const wchar_t* mode;
    const char* before;  // null: no file beforehand
    const char* text;
    std::string onDisk;
};

TEST_F(StandinStdio, TextModeWritesCrLf) {
    const WriteCase cases[] = {
        {L"w", nullptr, "a\nb\n", std::string("a\r\nb\r\n")},
        {L"wt", "old", "x\n\ny", std::string("x\r\n\r\ny")},
        {L"a", "a\r\n", "b\n", std::string("a\r\nb\r\n")},
        {L"ab", "a", "b\nc", std::string("ab\nc")},
        {L"wb", "old", "a\nb\n", std::string("a\nb\n")},
        {L"w", nullptr, "", std::string("")},
        {L"w", nullptr, "\r\n", std::string("\r\r\n")},  // as the Windows runtime: only "\n" is translated
    };
    for (const WriteCase& c : cases) {
        std::string path = Posix("t.txt");
        unlink(path.c_str());
        if (c.before != nullptr) WriteFileBytes(path, c.before);
        FILE* f = _wfsopen(Win("t.txt").c_str(), c.mode, _SH_DENYNO);
        ASSERT_NE(f, nullptr);
        EXPECT_GE(fputs(c.text, f), 0);
        EXPECT_EQ(fclose(f), 0);
        EXPECT_EQ(ReadFileBytes(path), c.onDisk) << c.text;
    }
}

struct ReadCase {
    std::string onDisk;
    const wchar_t* mode;
    std::string read;
};

TEST_F(StandinStdio, TextModeReadsCrLfAsLf) {
    std::vector<ReadCase> cases = {
        {"x\r\ny\r\n\r\nz", L"r", "x\ny\n\nz"},
        {"a\rb\r\r\nc\r", L"r", "a\rb\r\nc\r"},
        {"x\r\ny", L"rb", "x\r\ny"},
        {std::string(10000, 'q') + "\r\n" + std::string(10000, 'r') + "\r\n", L"rt",
         std::string(10000, 'q') + "\n" + std::string(10000, 'r') + "\n"},
    };
    // A "\r\n" split between two reads of the stream's 8 KiB buffer still becomes one "\n".
    for (size_t at = 8185; at <= 8195; ++at) {
        cases.push_back({std::string(at, 'q') + "\r\nz\r", L"r", std::string(at, 'q') + "\nz\r"});
    }
    for (const ReadCase& c : cases) {
        WriteFileBytes(Posix("r.txt"), c.onDisk);
        FILE* f = _wfopen(Win("r.txt").c_str(), c.mode);
        ASSERT_NE(f, nullptr);
        std::string read;
        char buffer[333];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) read.append(buffer, n);
        fclose(f);
        EXPECT_EQ(read, c.read) << c.onDisk.size();
    }
}

TEST_F(StandinStdio, OpenFailures) {
    errno = 0;
    EXPECT_EQ(_wfopen(Win("missing.txt").c_str(), L"r"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(_wfopen(Win("nodir/x.txt").c_str(), L"a"), nullptr);
    EXPECT_EQ(_wfopen(Win("x.txt").c_str(), L"q"), nullptr);
    EXPECT_EQ(errno, EINVAL);
}

// The line a writer appends in round `i`: its own letter, a length between 1 and 1000, and a line end.
std::string LineOf(char letter, int i) { return std::string(static_cast<size_t>(i * 37 % 1000 + 1), letter); }

TEST_F(StandinStdio, TwoProcessesAppendWholeLines) {
    const int kLines = 300;
    std::wstring path = Win("shared.log");
    pid_t children[2];
    for (int child = 0; child < 2; ++child) {
        char letter = child == 0 ? 'A' : 'B';
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // One open, write and close per line, as the event log does.
            for (int i = 0; i < kLines; ++i) {
                FILE* f = _wfsopen(path.c_str(), L"a", _SH_DENYNO);
                if (f == nullptr) _exit(2);
                fprintf(f, "%s\n", LineOf(letter, i).c_str());
                if (fclose(f) != 0) _exit(3);
            }
            _exit(0);
        }
        children[child] = pid;
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    std::string bytes = ReadFileBytes(Posix("shared.log"));
    std::map<char, std::multiset<size_t>> seen;
    size_t start = 0, lines = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find("\r\n", start);
        ASSERT_NE(end, std::string::npos) << "unterminated line";
        std::string line = bytes.substr(start, end - start);
        ASSERT_FALSE(line.empty());
        ASSERT_EQ(line.find_first_not_of(line[0]), std::string::npos) << "interleaved line at " << start;
        seen[line[0]].insert(line.size());
        start = end + 2;
        ++lines;
    }
    EXPECT_EQ(lines, 2u * kLines);
    for (char letter : {'A', 'B'}) {
        std::multiset<size_t> expected;
        for (int i = 0; i < kLines; ++i) expected.insert(LineOf(letter, i).size());
        EXPECT_EQ(seen[letter], expected) << letter;
    }
}

}  // namespace
