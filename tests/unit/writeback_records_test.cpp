// writeback_records_test.cpp - the queue records byte for byte, their encoders, and the record file writer:
// no partial record is ever visible and no record replaces another, also in a burst from many threads.
#include "layout/provider_paths.h"
#include "tests/support/test_env.h"
#include "writeback/queue_records.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <thread>

namespace {

namespace fs = std::filesystem;

std::string Inbox(const TempLocalAppData& env) { return env.ProductDir() + "/Queue/cloud-files-inbox"; }

// A strict JSON syntax check (RFC 8259), enough to prove that a record parses.
bool JsonValue(const std::string& s, size_t& i);
void JsonSpace(const std::string& s, size_t& i) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n')) ++i;
}
bool JsonString(const std::string& s, size_t& i) {
    if (i >= s.size() || s[i] != '"') return false;
    for (++i; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '"') return ++i, true;
        if (c < 0x20) return false;
        if (c != '\\') continue;
        if (++i >= s.size()) return false;
        if (s[i] == 'u') {
            if (i + 4 >= s.size()) return false;
            for (int k = 0; k < 4; ++k) {
                if (!isxdigit(static_cast<unsigned char>(s[++i]))) return false;
            }
        } else if (std::string("\"\\/bfnrt").find(s[i]) == std::string::npos) {
            return false;
        }
    }
    return false;
}
bool JsonContainer(const std::string& s, size_t& i, char close) {
    ++i;
    JsonSpace(s, i);
    if (i < s.size() && s[i] == close) return ++i, true;
    for (;;) {
        if (close == '}') {
            if (!JsonString(s, i)) return false;
            JsonSpace(s, i);
            if (i >= s.size() || s[i++] != ':') return false;
            JsonSpace(s, i);
        }
        if (!JsonValue(s, i)) return false;
        JsonSpace(s, i);
        if (i < s.size() && s[i] == close) return ++i, true;
        if (i >= s.size() || s[i++] != ',') return false;
        JsonSpace(s, i);
    }
}
bool JsonValue(const std::string& s, size_t& i) {
    if (i >= s.size()) return false;
    if (s[i] == '{') return JsonContainer(s, i, '}');
    if (s[i] == '[') return JsonContainer(s, i, ']');
    if (s[i] == '"') return JsonString(s, i);
    for (const char* word : {"true", "false", "null"}) {
        if (s.compare(i, strlen(word), word) == 0) return i += strlen(word), true;
    }
    size_t start = i;
    if (s[i] == '-') ++i;
    while (i < s.size() && isdigit(static_cast<unsigned char>(s[i]))) ++i;
    return i > start && isdigit(static_cast<unsigned char>(s[i - 1]));
}
bool IsJson(const std::string& text) {
    size_t i = 0;
    JsonSpace(text, i);
    if (!JsonValue(text, i)) return false;
    JsonSpace(text, i);
    return i == text.size();
}

// The decimal number between a record name's prefix and ".json".
unsigned long long NameNumber(const std::string& name, const std::string& prefix) {
    EXPECT_EQ(name.compare(0, prefix.size(), prefix), 0) << name;
    EXPECT_EQ(name.substr(name.size() - 5), ".json") << name;
    std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - 5);
    EXPECT_FALSE(digits.empty());
    EXPECT_EQ(digits.find_first_not_of("0123456789"), std::string::npos) << name;
    EXPECT_TRUE(digits.size() == 1 || digits[0] != '0') << name;
    return std::stoull(digits);
}

}  // namespace

TEST(RecordEncoders, ConvertAndEscapeAsEachFieldNeeds) {
    struct Row {
        std::wstring text;
        std::string utf8, json, id;
    } rows[] = {
        {L"a\\b\"c", "a\\b\"c", "a\\\\b\\\"c", "a\\\\b\\\"c"},
        {L"\u00e9\u65e5\u672c", "\xC3\xA9\xE6\x97\xA5\xE6\x9C\xAC", "\xC3\xA9\xE6\x97\xA5\xE6\x9C\xAC",
         "\xC3\xA9\xE6\x97\xA5\xE6\x9C\xAC"},
        {L"t\tl\nx", "t\tl\nx", "t\tl\nx", "t\\u0009l\\u000ax"},  // paths keep raw control bytes, ids do not
        {L"\x01\x1f ~/", "\x01\x1f ~/", "\x01\x1f ~/", "\\u0001\\u001f ~/"},
        {std::wstring(L"ab\0cd", 5), "ab", "ab", "ab"},  // an embedded NUL ends the text
        {L"", "", "", ""},
        {L"d1", "d1", "d1", "d1"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.utf8);
        EXPECT_EQ(ToUtf8(row.text), row.utf8);
        EXPECT_EQ(ToJsonUtf8(row.text), row.json);
        EXPECT_EQ(ToJsonIdUtf8(row.text), row.id);
    }
}

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
        {"delete", FormatGenericRecord("delete", L"d1", L"i7", false, L"a.txt", L""),
         "{\"type\":\"delete\",\"domainId\":\"d1\",\"itemId\":\"i7\",\"isDir\":false,\"targetPath\":\"a.txt\","
         "\"timestamp\":0,\"attempts\":0}\n"},
        {"rename", FormatGenericRecord("modify", L"d1", L"i7", false, L"b.txt", L"a.txt"),
         "{\"type\":\"modify\",\"domainId\":\"d1\",\"itemId\":\"i7\",\"isDir\":false,\"targetPath\":\"b.txt\","
         "\"previousPath\":\"a.txt\",\"timestamp\":0,\"attempts\":0}\n"},
        {"directory, empty target", FormatGenericRecord("delete", L"", L"", true, L"", L""),
         "{\"type\":\"delete\",\"domainId\":\"\",\"itemId\":\"\",\"isDir\":true,\"targetPath\":\"\",\"timestamp\":0,"
         "\"attempts\":0}\n"},
        {"escaped paths and ids", FormatGenericRecord("modify", L"d\"1", L"i\x02", false, L"x\\\"y", L"\u00e9"),
         "{\"type\":\"modify\",\"domainId\":\"d\\\"1\",\"itemId\":\"i\\u0002\",\"isDir\":false,\"targetPath\":"
         "\"x\\\\\\\"y\",\"previousPath\":\"\xC3\xA9\",\"timestamp\":0,\"attempts\":0}\n"},
        {"download with control ids", FormatDownloadRecord(L"d\n", L"\\"),
         "{\"type\":\"download\",\"domainId\":\"d\\u000a\",\"itemId\":\"\\\\\",\"contentsPath\":null,\"timestamp\":0,"
         "\"attempts\":0,\"urgent\":true}\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.record, row.expected);
        EXPECT_TRUE(IsJson(row.record));
    }
    // The checker itself refuses what an unescaped id would produce.
    EXPECT_FALSE(IsJson("{\"domainId\":\"d\x01\"}\n"));
    EXPECT_FALSE(IsJson("{\"domainId\":\"a\\x\"}\n"));
    EXPECT_FALSE(IsJson("{\"domainId\":\"a\"b\"}\n"));
}

TEST(WriteQueueRecord, WritesOneGenericRecordIntoTheInbox) {
    TempLocalAppData env;
    WriteQueueRecord("delete", L"d1", L"i7", false, L"a.txt", L"");
    WriteQueueRecord("modify", L"d1", L"i7", true, L"b.txt", L"a.txt");

    std::vector<std::string> names = ListDirectory(Inbox(env));
    ASSERT_EQ(names.size(), 2u);  // sorted: delete-..., modify-...; no temporary file left behind
    NameNumber(names[0], "delete-");
    NameNumber(names[1], "modify-");
    EXPECT_EQ(ReadFileBytes(Inbox(env) + "/" + names[0]),
              "{\"type\":\"delete\",\"domainId\":\"d1\",\"itemId\":\"i7\",\"isDir\":false,\"targetPath\":\"a.txt\","
              "\"timestamp\":0,\"attempts\":0}\n");
    EXPECT_EQ(ReadFileBytes(Inbox(env) + "/" + names[1]),
              "{\"type\":\"modify\",\"domainId\":\"d1\",\"itemId\":\"i7\",\"isDir\":true,\"targetPath\":\"b.txt\","
              "\"previousPath\":\"a.txt\",\"timestamp\":0,\"attempts\":0}\n");
}

TEST(WriteQueueRecord, WritesNothingWithoutALocalAppDataDirectory) {
    TempLocalAppData env;
    fs::path old = fs::current_path();
    fs::current_path(env.Root());
    unsetenv("LOCALAPPDATA");
    unsetenv("XDG_DATA_HOME");
    unsetenv("HOME");
    std::vector<std::string> before = ListDirectory(env.Root());
    WriteQueueRecord("delete", L"d1", L"i7", false, L"a.txt", L"");
    std::vector<std::string> after = ListDirectory(env.Root());
    fs::current_path(old);
    EXPECT_EQ(after, before);
}

TEST(WriteRecordFile, NeverReplacesARecordAndRaisesTheNumberInstead) {
    TempLocalAppData env;
    fs::create_directories(Inbox(env));
    // Occupy the names of the next two seconds of ticks; the record must go past all of them.
    const unsigned long long first = GetTickCount64();
    const unsigned long long last = first + 2000;
    for (unsigned long long n = first; n <= last; ++n) {
        WriteFileBytes(Inbox(env) + "/mod-" + std::to_string(n) + ".json", "taken");
    }
    std::wstring finalPath;
    ASSERT_EQ(WriteRecordFile(WindowsPathOf(Inbox(env)), "mod-", "{\"new\":1}\n", &finalPath), S_OK);
    const unsigned long long after = GetTickCount64();

    std::string name = fs::path(PosixPathOf(finalPath)).filename();
    unsigned long long number = NameNumber(name, "mod-");
    EXPECT_TRUE(number == last + 1 || (number > last && number <= after)) << name;
    EXPECT_EQ(ReadFileBytes(PosixPathOf(finalPath)), "{\"new\":1}\n");
    EXPECT_EQ(ListDirectory(Inbox(env)).size(), 2002u);
    EXPECT_EQ(ReadFileBytes(Inbox(env) + "/mod-" + std::to_string(first) + ".json"), "taken");
    EXPECT_EQ(ReadFileBytes(Inbox(env) + "/mod-" + std::to_string(last) + ".json"), "taken");
}

TEST(WriteRecordFile, FailsWithoutADirectoryAndLeavesNothing) {
    TempLocalAppData env;
    EXPECT_TRUE(FAILED(WriteRecordFile(WindowsPathOf(Inbox(env)), "delete-", "{}\n")));
    EXPECT_FALSE(FileExists(Inbox(env)));
}

TEST(WriteQueueRecord, ABurstFromEightThreadsLeavesEveryRecordWholeAndValid) {
    TempLocalAppData env;
    constexpr int kThreads = 8;
    constexpr int kPerThread = 125;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kPerThread; ++i) {
                // Ids with a quote, a backslash and a control character still give valid JSON.
                std::wstring item = L"i\"\\\x01" + std::to_wstring(t * kPerThread + i);
                WriteQueueRecord(i % 2 == 0 ? "delete" : "modify", L"d1", item, false, L"dir/a.txt",
                                 i % 2 == 0 ? L"" : L"b.txt");
            }
        });
    }
    for (std::thread& thread : threads) thread.join();

    std::vector<std::string> names = ListDirectory(Inbox(env));
    ASSERT_EQ(names.size(), static_cast<size_t>(kThreads * kPerThread));
    std::set<std::string> items;
    for (const std::string& name : names) {
        NameNumber(name, name[0] == 'd' ? "delete-" : "modify-");
        std::string record = ReadFileBytes(Inbox(env) + "/" + name);
        ASSERT_TRUE(IsJson(record)) << name << ": " << record;
        size_t at = record.find("\"itemId\":\"");
        ASSERT_NE(at, std::string::npos);
        items.insert(record.substr(at, record.find("\",\"isDir\"") - at));
    }
    EXPECT_EQ(items.size(), names.size());  // every record distinct: none replaced another
}
