// writeback_records_test.cpp - the queue records byte for byte and the record file writer.
#include "writeback/queue_records.h"
#include "tests/unit/unit_fixture.h"

#include <cstdlib>
#include <set>
#include <thread>

namespace {

namespace fs = std::filesystem;

// The decimal number between a record name's prefix and ".json": digits only, no leading zero.
unsigned long long NameNumber(const std::string& name, const std::string& prefix) {
    const std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - 5);
    EXPECT_EQ(name.compare(0, prefix.size(), prefix), 0) << name;
    EXPECT_EQ(name.substr(name.size() - 5), ".json") << name;
    EXPECT_TRUE(!digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos &&
                (digits.size() == 1 || digits[0] != '0'))
        << name;
    return std::stoull("0" + digits);
}

}  // namespace

TEST(RecordFormats, AreExactBytes) {
    struct Row {
        const char* name;
        std::string record, expected;
    } rows[] = {
        {"download", FormatDownloadRecord(L"d1", L"i7"),
         "{\"type\":\"download\",\"domainId\":\"d1\",\"itemId\":\"i7\",\"contentsPath\":null,\"timestamp\":0,"
         "\"attempts\":0,\"urgent\":true}\n"},
        {"close modify",
         FormatCloseModifyRecord(L"d1", L"i7", L"D:\\L\\nq.vo.tarn.voskel\\VOSKE\\Queue\\CloudFiles\\d1\\i7\\a.txt",
                                 L"a.txt"),
         "{\"type\":\"modify\",\"domainId\":\"d1\",\"itemId\":\"i7\",\"contentsPath\":\"D:\\\\L\\\\nq.vo.tarn.voskel\\\\"
         "VOSKE\\\\Queue\\\\CloudFiles\\\\d1\\\\i7\\\\a.txt\",\"targetPath\":\"a.txt\",\"isDir\":false,\"timestamp\":0,"
         "\"attempts\":0,\"urgent\":true}\n"},
        {"directory, empty target", FormatGenericRecord("delete", L"", L"", true, L"", L""),
         "{\"type\":\"delete\",\"domainId\":\"\",\"itemId\":\"\",\"isDir\":true,\"targetPath\":\"\",\"timestamp\":0,"
         "\"attempts\":0}\n"},
        {"escaped paths and ids", FormatGenericRecord("modify", L"d\"1", L"i\x02", false, L"x\\\"y", L"\u00e9"),
         "{\"type\":\"modify\",\"domainId\":\"d\\\"1\",\"itemId\":\"i\\u0002\",\"isDir\":false,\"targetPath\":"
         "\"x\\\\\\\"y\",\"previousPath\":\"\xC3\xA9\",\"timestamp\":0,\"attempts\":0}\n"},
        // Ids and paths escape every control byte (a name on Linux may hold them); a NUL ends a text.
        {"control bytes, non-ASCII, a NUL",
         FormatGenericRecord("modify", L"\x01\x1f", L"t\tl\nx", true, std::wstring(L"t\tl\n\u00e9\0cd", 7), L"\u65e5"),
         "{\"type\":\"modify\",\"domainId\":\"\\u0001\\u001f\",\"itemId\":\"t\\u0009l\\u000ax\",\"isDir\":true,"
         "\"targetPath\":\"t\\u0009l\\u000a\xC3\xA9\",\"previousPath\":\"\xE6\x97\xA5\",\"timestamp\":0,\"attempts\":0}\n"},
        {"download with control ids", FormatDownloadRecord(L"d\n", L"\\"),
         "{\"type\":\"download\",\"domainId\":\"d\\u000a\",\"itemId\":\"\\\\\",\"contentsPath\":null,\"timestamp\":0,"
         "\"attempts\":0,\"urgent\":true}\n"},
    };
    for (const Row& row : rows) EXPECT_EQ(row.record, row.expected) << row.name;
}

TEST_F(UnitTest, RecordFileNeverReplacesARecordAndFailsWithoutItsDirectory) {
    fs::create_directories(Inbox());
    // Occupy the names of the next two seconds of ticks; the record must go past all of them.
    const unsigned long long first = GetTickCount64();
    const unsigned long long last = first + 2000;
    for (unsigned long long n = first; n <= last; ++n) {
        WriteFileBytes(Inbox() + "/mod-" + std::to_string(n) + ".json", "taken");
    }
    std::wstring finalPath;
    ASSERT_EQ(WriteRecordFile(WindowsPathOf(Inbox()), "mod-", "{\"new\":1}\n", &finalPath), S_OK);
    const unsigned long long after = GetTickCount64();

    std::string name = fs::path(PosixPathOf(finalPath)).filename();
    unsigned long long number = NameNumber(name, "mod-");
    EXPECT_TRUE(number == last + 1 || (number > last && number <= after)) << name;
    EXPECT_EQ(ReadFileBytes(PosixPathOf(finalPath)), "{\"new\":1}\n");
    EXPECT_EQ(ListDirectory(Inbox()).size(), 2002u);
    EXPECT_EQ(ReadFileBytes(Inbox() + "/mod-" + std::to_string(first) + ".json"), "taken");
    EXPECT_EQ(ReadFileBytes(Inbox() + "/mod-" + std::to_string(last) + ".json"), "taken");

    // Without the directory the writer fails and leaves nothing; without LOCALAPPDATA nothing is written at all.
    fs::remove_all(env.ProductDir());
    EXPECT_TRUE(FAILED(WriteRecordFile(WindowsPathOf(Inbox()), "delete-", "{}\n")));
    EXPECT_FALSE(FileExists(Inbox()));
    const fs::path old = fs::current_path();
    fs::current_path(env.Root());
    unsetenv("LOCALAPPDATA");
    unsetenv("XDG_DATA_HOME");
    unsetenv("HOME");
    WriteQueueRecord("delete", L"d1", L"i7", false, L"a.txt", L"");
    fs::current_path(old);
    EXPECT_EQ(ListDirectory(env.Root()), std::vector<std::string>{"nq.vo.tarn.voskel"});
    EXPECT_EQ(ListDirectory(env.ProductDir()), std::vector<std::string>{});
}

TEST_F(UnitTest, ABurstOfQueueRecordsFromEightThreadsLeavesEveryRecordWholeUnderItsOwnName) {
    constexpr int kThreads = 8;
    constexpr int kPerThread = 125;
    // Ids with a quote, a backslash and a control character; deletes and renames, files and directories.
    auto write = [](int n, bool record) {
        const std::wstring item = L"i\"\\\x01" + std::to_wstring(n);
        const char* type = n % 2 == 0 ? "delete" : "modify";
        const std::wstring previous = n % 2 == 0 ? L"" : L"b.txt";
        if (record) WriteQueueRecord(type, L"d1", item, n % 3 == 0, L"dir/a.txt", previous);
        return FormatGenericRecord(type, L"d1", item, n % 3 == 0, L"dir/a.txt", previous);
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&write, t] {
            for (int i = 0; i < kPerThread; ++i) write(t * kPerThread + i, true);
        });
    }
    for (std::thread& thread : threads) thread.join();

    std::multiset<std::string> expected, written;
    for (int n = 0; n < kThreads * kPerThread; ++n) expected.insert(write(n, false));
    for (const std::string& name : ListDirectory(Inbox())) {
        NameNumber(name, name[0] == 'd' ? "delete-" : "modify-");
        written.insert(ReadFileBytes(Inbox() + "/" + name));
    }
    EXPECT_TRUE(written == expected);  // none partial, none lost, none replaced by another
}
