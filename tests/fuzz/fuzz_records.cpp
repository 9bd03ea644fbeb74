// fuzz_records.cpp - libFuzzer target for the queue records: every record, formatted or written to the inbox,
// is one flat JSON object and a line feed, with its keys in order and its ids and paths decoding to the input.
#include "layout/provider_paths.h"
#include "tests/fuzz/fuzz_support.h"
#include "writeback/queue_records.h"

#include <dirent.h>

#include <fstream>
#include <iterator>

namespace {

enum Kind { kString, kNumber, kTrue, kFalse, kNull };

struct Member {
    std::string key;
    Kind kind = kNull;
    std::string text;         // decoded bytes of a string, the literal text of a number
    bool rawControl = false;  // a string that held a raw byte below 0x20 (not JSON; see CheckRecord)
};

// Reads one flat JSON object (RFC 8259 strings, numbers and literals as values) followed by exactly one line
// feed, with no whitespace anywhere: the only shape a record has. Bytes of 0x80 and above are kept as they are,
// so comparing a decoded string with the reference UTF-8 also proves it well formed.
class RecordReader {
public:
    explicit RecordReader(const std::string& bytes) : s_(bytes) {}
    const char* error = nullptr;

    bool Read(std::vector<Member>& members) {
        if (!Take('{')) return Fail("'{' expected");
        if (!Take('}')) {
            do {
                Member member;
                bool keyControl = false;
                if (!Take('"') || !ReadString(member.key, keyControl)) return Fail("key expected");
                if (keyControl) return Fail("raw control byte in a key");
                if (!Take(':')) return Fail("':' expected");
                if (!ReadValue(member)) return false;
                members.push_back(member);
            } while (Take(','));
            if (!Take('}')) return Fail("',' or '}' expected");
        }
        return s_.compare(pos_, std::string::npos, "\n") == 0 || Fail("not one line feed after the object");
    }

private:
    bool Fail(const char* why) {
        if (error == nullptr) error = why;
        return false;
    }
    bool Take(char c) { return pos_ < s_.size() && s_[pos_] == c && (++pos_, true); }
    bool Word(const char* word) {
        const size_t n = strlen(word);
        return (s_.compare(pos_, n, word) == 0 && (pos_ += n, true)) || Fail("bad literal");
    }
    bool ReadValue(Member& member) {
        if (Take('"')) return member.kind = kString, ReadString(member.text, member.rawControl);
        if (pos_ < s_.size() && s_[pos_] == 't') return member.kind = kTrue, Word("true");
        if (pos_ < s_.size() && s_[pos_] == 'f') return member.kind = kFalse, Word("false");
        if (pos_ < s_.size() && s_[pos_] == 'n') return member.kind = kNull, Word("null");
        const size_t start = pos_;
        Take('-');
        while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
        member.kind = kNumber;
        member.text = s_.substr(start, pos_ - start);
        return (pos_ > start && s_[pos_ - 1] != '-') || Fail("value expected");
    }
    bool ReadHex4(uint32_t& value) {
        value = 0;
        for (int i = 0; i < 4; ++i, ++pos_) {
            const char c = pos_ < s_.size() ? s_[pos_] : 'x';
            const char* digits = "0123456789abcdef0123456789ABCDEF";
            const char* at = strchr(digits, c);
            if (c == '\0' || at == nullptr) return Fail("bad \\u escape");
            value = value * 16 + static_cast<uint32_t>((at - digits) % 16);
        }
        return true;
    }
    bool ReadString(std::string& out, bool& rawControl) {
        for (;;) {
            if (pos_ >= s_.size()) return Fail("unterminated string");
            const char c = s_[pos_++];
            if (c == '"') return true;
            rawControl |= static_cast<unsigned char>(c) < 0x20;
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            const char e = pos_ < s_.size() ? s_[pos_++] : '\0';
            const char* escapes = "\"\\/bfnrt";
            const char* decoded = "\"\\/\b\f\n\r\t";
            if (e != '\0' && e != 'u' && strchr(escapes, e) != nullptr) {
                out.push_back(decoded[strchr(escapes, e) - escapes]);
                continue;
            }
            uint32_t code = 0, low = 0;
            if (e != 'u' || !ReadHex4(code)) return Fail("unknown escape");
            if (code >= 0xDC00 && code <= 0xDFFF) return Fail("lone low surrogate escape");
            if (code >= 0xD800 && code <= 0xDBFF) {
                if (!Take('\\') || !Take('u') || !ReadHex4(low) || low < 0xDC00 || low > 0xDFFF) {
                    return Fail("bad surrogate pair");
                }
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            }
            fuzz::AppendUtf8(out, code);
        }
    }

    const std::string& s_;
    size_t pos_ = 0;
};

struct Expected {
    const char* key;
    Kind kind;
    std::string text;  // the decoded string, or the number's literal text
    bool path;         // a path: raw control bytes are the documented exception (see CheckRecord)
};

Expected Str(const char* key, const std::wstring& text, bool path = false) {
    return {key, kString, fuzz::ReferenceUtf8(text), path};
}
Expected Num(const char* key) { return {key, kNumber, "0", false}; }
Expected Lit(const char* key, Kind kind) { return {key, kind, "", false}; }

void CheckRecord(const std::string& record, const std::vector<Expected>& expected) {
    const std::string shownRecord = fuzz::Show(record);
    const char* shown = shownRecord.c_str();
    std::vector<Member> members;
    RecordReader reader(record);
    FUZZ_CHECK(reader.Read(members), "not one JSON object and a line feed (%s): %s", reader.error, shown);
    FUZZ_CHECK(members.size() == expected.size(), "%zu keys, expected %zu: %s", members.size(), expected.size(),
               shown);
    for (size_t i = 0; i < expected.size(); ++i) {
        const Member& member = members[i];
        FUZZ_CHECK(member.key == expected[i].key && member.kind == expected[i].kind,
                   "key %zu is %s or of the wrong type, expected %s: %s", i, member.key.c_str(), expected[i].key, shown);
        FUZZ_CHECK(member.text == expected[i].text, "key %s decodes to %s, expected %s", member.key.c_str(),
                   fuzz::Show(member.text).c_str(), fuzz::Show(expected[i].text).c_str());
        // Paths are encoded by ToJsonUtf8, which by design leaves control characters as raw bytes (a Windows
        // file name cannot hold them); ids are escaped fully. So a raw control byte may appear only in a path
        // value, and only when that path really held one.
        bool inputHadControl = false;
        for (unsigned char c : expected[i].text) inputHadControl |= c < 0x20;
        FUZZ_CHECK(!member.rawControl || (expected[i].path && inputHadControl), "raw control byte in %s: %s",
                   member.key.c_str(), shown);
    }
}

std::vector<Expected> GenericKeys(const char* type, const std::wstring& domainId, const std::wstring& itemId,
                                  bool isDir, const std::wstring& target, const std::wstring& previous) {
    std::vector<Expected> keys = {Str("type", std::wstring(type, type + strlen(type))), Str("domainId", domainId),
                                  Str("itemId", itemId), Lit("isDir", isDir ? kTrue : kFalse),
                                  Str("targetPath", target, true)};
    if (!previous.empty()) keys.push_back(Str("previousPath", previous, true));
    keys.push_back(Num("timestamp"));
    keys.push_back(Num("attempts"));
    return keys;
}

std::string gInbox;

// The real writer, on disk: one file under its final name <type>-<digits>.json, holding the formatted record.
void CheckWrittenRecord(const char* type, const std::wstring& domainId, const std::wstring& itemId, bool isDir,
                        const std::wstring& target, const std::wstring& previous) {
    WriteQueueRecord(type, domainId, itemId, isDir, target, previous);
    std::vector<std::string> names;
    if (DIR* dir = opendir(gInbox.c_str())) {
        while (dirent* entry = readdir(dir)) {
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) names.push_back(entry->d_name);
        }
        closedir(dir);
    }
    FUZZ_CHECK(names.size() == 1, "inbox holds %zu files after one record", names.size());
    const std::string& name = names[0];
    const size_t digits = name.size() - strlen(type) - 6;
    FUZZ_CHECK(name.size() > strlen(type) + 6 && name.compare(0, strlen(type), type) == 0 &&
                   name[strlen(type)] == '-' && name.compare(name.size() - 5, 5, ".json") == 0 &&
                   name.find_first_not_of("0123456789", strlen(type) + 1) == strlen(type) + 1 + digits,
               "record file named %s", name.c_str());
    std::ifstream file(gInbox + "/" + name, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    unlink((gInbox + "/" + name).c_str());
    FUZZ_CHECK(bytes == FormatGenericRecord(type, domainId, itemId, isDir, target, previous),
               "file differs from the formatted record: %s", fuzz::Show(bytes).c_str());
    CheckRecord(bytes, GenericKeys(type, domainId, itemId, isDir, target, previous));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::KeepReportChannel();
    gInbox = fuzz::PrivateLocalAppData() + "/nq.vo.tarn.voskel/VOSKE/Queue/cloud-files-inbox";
    InitProviderPaths();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const int kind = input.ConsumeIntegralInRange<int>(0, 3);
    const bool isDir = input.ConsumeBool();
    const std::wstring domainId = fuzz::ConsumeWide(input, 24);
    const std::wstring itemId = fuzz::ConsumeWide(input, 24);
    const std::wstring target = fuzz::ConsumeWide(input, 48);
    const std::wstring other = fuzz::ConsumeWide(input, 48);

    // The encoders alone: ToUtf8 is the UTF-8 up to the first NUL; ToJsonUtf8 and the id encoder are JSON
    // string bodies that decode to it.
    FUZZ_CHECK(ToUtf8(target) == fuzz::ReferenceUtf8(target), "ToUtf8 of %s gave %s", fuzz::Show(target).c_str(),
               fuzz::Show(ToUtf8(target)).c_str());
    CheckRecord("{\"p\":\"" + ToJsonUtf8(target) + "\",\"i\":\"" + ToJsonIdUtf8(domainId) + "\"}\n",
                {Str("p", target, true), Str("i", domainId)});

    switch (kind) {
        case 0:
            CheckRecord(FormatDownloadRecord(domainId, itemId),
                        {Str("type", L"download"), Str("domainId", domainId), Str("itemId", itemId),
                         Lit("contentsPath", kNull), Num("timestamp"), Num("attempts"), Lit("urgent", kTrue)});
            break;
        case 1:
            CheckRecord(FormatCloseModifyRecord(domainId, itemId, other, target),
                        {Str("type", L"modify"), Str("domainId", domainId), Str("itemId", itemId),
                         Str("contentsPath", other, true), Str("targetPath", target, true), Lit("isDir", kFalse),
                         Num("timestamp"), Num("attempts"), Lit("urgent", kTrue)});
            break;
        default: {
            const char* type = kind == 2 ? "delete" : "modify";
            const std::wstring previous = kind == 2 ? L"" : other;
            CheckRecord(FormatGenericRecord(type, domainId, itemId, isDir, target, previous),
                        GenericKeys(type, domainId, itemId, isDir, target, previous));
            CheckWrittenRecord(type, domainId, itemId, isDir, target, previous);
        }
    }
    return 0;
}
