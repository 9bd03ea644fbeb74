// fuzz_records.cpp - libFuzzer target for the queue records: every record, formatted or written to the inbox,
// is one strict JSON object and a line feed, with its keys in order and its ids and paths decoding to the input.
#include "layout/provider_paths.h"
#include "tests/fuzz/fuzz_support.h"
#include "writeback/queue_records.h"

#include <dirent.h>

#include <fstream>
#include <iterator>

namespace {

// ---- A strict JSON reader (RFC 8259), small enough to check by eye ----

struct JsonValue {
    enum Kind { kString, kNumber, kTrue, kFalse, kNull, kObject, kArray } kind = kNull;
    std::string text;              // decoded bytes of a string, the literal text of a number
    bool rawControl = false;       // a string that held a raw byte below 0x20 (not JSON; see CheckStrings)
    std::vector<std::string> keys;  // an object's keys, in order, beside their values
    std::vector<JsonValue> items;   // an object's values or an array's items
};

class JsonReader {
public:
    explicit JsonReader(const std::string& bytes) : s_(bytes) {}

    // Reads one value that must be the whole input apart from `trailer`; whitespace between tokens is counted.
    bool ReadDocument(JsonValue& value, const std::string& trailer) {
        if (!ReadValue(value, 0)) return false;
        SkipSpace();
        return s_.compare(pos_, std::string::npos, trailer) == 0;
    }
    size_t whitespace() const { return whitespace_; }
    const char* error() const { return error_; }

private:
    bool Fail(const char* why) {
        if (error_ == nullptr) error_ = why;
        return false;
    }
    void SkipSpace() {
        // The trailer's line feed is not skipped as whitespace: it must be exactly one, after the object.
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\r' ||
                                    (s_[pos_] == '\n' && pos_ + 1 < s_.size()))) {
            ++pos_;
            ++whitespace_;
        }
    }
    bool Literal(const char* word) {
        size_t n = strlen(word);
        if (s_.compare(pos_, n, word) != 0) return Fail("bad literal");
        pos_ += n;
        return true;
    }
    bool ReadValue(JsonValue& value, int depth) {
        if (depth > 64) return Fail("too deep");
        SkipSpace();
        if (pos_ >= s_.size()) return Fail("value expected");
        char c = s_[pos_];
        if (c == '"') {
            value.kind = JsonValue::kString;
            return ReadString(value.text, value.rawControl);
        }
        if (c == '{') return ReadObject(value, depth);
        if (c == '[') return ReadArray(value, depth);
        if (c == 't') {
            value.kind = JsonValue::kTrue;
            return Literal("true");
        }
        if (c == 'f') {
            value.kind = JsonValue::kFalse;
            return Literal("false");
        }
        if (c == 'n') {
            value.kind = JsonValue::kNull;
            return Literal("null");
        }
        value.kind = JsonValue::kNumber;
        return ReadNumber(value.text);
    }
    bool ReadObject(JsonValue& value, int depth) {
        value.kind = JsonValue::kObject;
        ++pos_;
        SkipSpace();
        if (pos_ < s_.size() && s_[pos_] == '}') {
            ++pos_;
            return true;
        }
        for (;;) {
            SkipSpace();
            std::string key;
            bool rawControl = false;
            if (pos_ >= s_.size() || s_[pos_] != '"') return Fail("key expected");
            if (!ReadString(key, rawControl)) return false;
            if (rawControl) return Fail("raw control byte in a key");
            SkipSpace();
            if (pos_ >= s_.size() || s_[pos_] != ':') return Fail("':' expected");
            ++pos_;
            JsonValue member;
            if (!ReadValue(member, depth + 1)) return false;
            value.keys.push_back(key);
            value.items.push_back(std::move(member));
            SkipSpace();
            if (pos_ < s_.size() && s_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < s_.size() && s_[pos_] == '}') {
                ++pos_;
                return true;
            }
            return Fail("',' or '}' expected");
        }
    }
    bool ReadArray(JsonValue& value, int depth) {
        value.kind = JsonValue::kArray;
        ++pos_;
        SkipSpace();
        if (pos_ < s_.size() && s_[pos_] == ']') {
            ++pos_;
            return true;
        }
        for (;;) {
            JsonValue item;
            if (!ReadValue(item, depth + 1)) return false;
            value.items.push_back(std::move(item));
            SkipSpace();
            if (pos_ < s_.size() && s_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < s_.size() && s_[pos_] == ']') {
                ++pos_;
                return true;
            }
            return Fail("',' or ']' expected");
        }
    }
    bool ReadNumber(std::string& text) {
        size_t start = pos_;
        auto digit = [&](size_t i) { return i < s_.size() && s_[i] >= '0' && s_[i] <= '9'; };
        if (pos_ < s_.size() && s_[pos_] == '-') ++pos_;
        if (!digit(pos_)) return Fail("digit expected");
        if (s_[pos_] == '0') {
            ++pos_;
        } else {
            while (digit(pos_)) ++pos_;
        }
        if (pos_ < s_.size() && s_[pos_] == '.') {
            ++pos_;
            if (!digit(pos_)) return Fail("fraction digit expected");
            while (digit(pos_)) ++pos_;
        }
        if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
            ++pos_;
            if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
            if (!digit(pos_)) return Fail("exponent digit expected");
            while (digit(pos_)) ++pos_;
        }
        text = s_.substr(start, pos_ - start);
        return true;
    }
    bool ReadHex4(uint32_t& value) {
        value = 0;
        for (int i = 0; i < 4; ++i, ++pos_) {
            if (pos_ >= s_.size()) return Fail("short \\u escape");
            char c = s_[pos_];
            uint32_t nibble;
            if (c >= '0' && c <= '9') {
                nibble = static_cast<uint32_t>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                nibble = static_cast<uint32_t>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                nibble = static_cast<uint32_t>(c - 'A' + 10);
            } else {
                return Fail("bad hex digit");
            }
            value = value * 16 + nibble;
        }
        return true;
    }
    // One well-formed UTF-8 sequence (no overlong forms, no surrogates, nothing above U+10FFFF), copied as is.
    bool CopyUtf8(std::string& out) {
        unsigned char b = static_cast<unsigned char>(s_[pos_]);
        int need;
        unsigned char lo = 0x80, hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            return Fail("invalid UTF-8 lead byte");
        }
        if (pos_ + need >= s_.size()) return Fail("truncated UTF-8");
        for (int k = 1; k <= need; ++k) {
            unsigned char c = static_cast<unsigned char>(s_[pos_ + k]);
            if (c < (k == 1 ? lo : 0x80) || c > (k == 1 ? hi : 0xBF)) return Fail("invalid UTF-8 continuation");
        }
        out.append(s_, pos_, need + 1);
        pos_ += need + 1;
        return true;
    }
    bool ReadString(std::string& out, bool& rawControl) {
        ++pos_;
        for (;;) {
            if (pos_ >= s_.size()) return Fail("unterminated string");
            unsigned char c = static_cast<unsigned char>(s_[pos_]);
            if (c == '"') {
                ++pos_;
                return true;
            }
            if (c < 0x20) {
                rawControl = true;
                out.push_back(static_cast<char>(c));
                ++pos_;
                continue;
            }
            if (c >= 0x80) {
                if (!CopyUtf8(out)) return false;
                continue;
            }
            if (c != '\\') {
                out.push_back(static_cast<char>(c));
                ++pos_;
                continue;
            }
            if (++pos_ >= s_.size()) return Fail("lone backslash");
            char e = s_[pos_++];
            switch (e) {
                case '"': out.push_back('"'); break;
                case '\\': out.push_back('\\'); break;
                case '/': out.push_back('/'); break;
                case 'b': out.push_back('\b'); break;
                case 'f': out.push_back('\f'); break;
                case 'n': out.push_back('\n'); break;
                case 'r': out.push_back('\r'); break;
                case 't': out.push_back('\t'); break;
                case 'u': {
                    uint32_t code;
                    if (!ReadHex4(code)) return false;
                    if (code >= 0xDC00 && code <= 0xDFFF) return Fail("lone low surrogate escape");
                    if (code >= 0xD800 && code <= 0xDBFF) {
                        uint32_t low;
                        if (s_.compare(pos_, 2, "\\u") != 0) return Fail("high surrogate escape alone");
                        pos_ += 2;
                        if (!ReadHex4(low) || low < 0xDC00 || low > 0xDFFF) return Fail("bad surrogate pair");
                        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                    }
                    fuzz::AppendUtf8(out, code);
                    break;
                }
                default: return Fail("unknown escape");
            }
        }
    }

    const std::string& s_;
    size_t pos_ = 0;
    size_t whitespace_ = 0;
    const char* error_ = nullptr;
};

// ---- What each record must hold ----

struct Expected {
    const char* key;
    JsonValue::Kind kind;
    std::string text;      // the decoded string, or the number's literal text
    bool pathValue;        // a path: raw control bytes are the documented exception (see CheckRecord)
};

std::string Context(const std::string& record) { return fuzz::ShowBytes(record); }

void CheckRecord(const std::string& record, const std::vector<Expected>& expected) {
    JsonValue value;
    JsonReader reader(record);
    const bool parsed = reader.ReadDocument(value, "\n");
    FUZZ_CHECK(parsed, "not one JSON value and a line feed (%s): %s", reader.error() ? reader.error() : "trailer",
               Context(record).c_str());
    FUZZ_CHECK(reader.whitespace() == 0, "whitespace between tokens: %s", Context(record).c_str());
    FUZZ_CHECK(value.kind == JsonValue::kObject, "not an object: %s", Context(record).c_str());
    FUZZ_CHECK(value.keys.size() == expected.size(), "%zu keys, expected %zu: %s", value.keys.size(),
               expected.size(), Context(record).c_str());
    for (size_t i = 0; i < expected.size(); ++i) {
        const std::string& key = value.keys[i];
        const JsonValue& member = value.items[i];
        FUZZ_CHECK(key == expected[i].key, "key %zu is %s, expected %s: %s", i, key.c_str(), expected[i].key,
                   Context(record).c_str());
        FUZZ_CHECK(member.kind == expected[i].kind, "key %s has the wrong type: %s", key.c_str(),
                   Context(record).c_str());
        if (member.kind == JsonValue::kString || member.kind == JsonValue::kNumber) {
            FUZZ_CHECK(member.text == expected[i].text, "key %s decodes to %s, expected %s", key.c_str(),
                       fuzz::ShowBytes(member.text).c_str(), fuzz::ShowBytes(expected[i].text).c_str());
        }
        // Paths are encoded by ToJsonUtf8, which by design leaves control characters as raw bytes (a Windows
        // file name cannot hold them); ids are escaped fully. So a raw control byte may appear only in a path
        // value, and only when that path really held one.
        if (member.rawControl) {
            bool inputHadControl = false;
            for (unsigned char c : expected[i].text) inputHadControl |= c < 0x20;
            FUZZ_CHECK(expected[i].pathValue && inputHadControl, "raw control byte in %s: %s", key.c_str(),
                       Context(record).c_str());
        }
    }
}

Expected Str(const char* key, const std::string& text, bool path = false) {
    return {key, JsonValue::kString, text, path};
}
Expected Num(const char* key) { return {key, JsonValue::kNumber, "0", false}; }
Expected Lit(const char* key, JsonValue::Kind kind) { return {key, kind, "", false}; }

std::vector<Expected> GenericKeys(const char* type, const std::wstring& domainId, const std::wstring& itemId,
                                  bool isDir, const std::wstring& target, const std::wstring& previous) {
    std::vector<Expected> keys = {Str("type", type), Str("domainId", fuzz::ReferenceUtf8(domainId)),
                                  Str("itemId", fuzz::ReferenceUtf8(itemId)),
                                  Lit("isDir", isDir ? JsonValue::kTrue : JsonValue::kFalse),
                                  Str("targetPath", fuzz::ReferenceUtf8(target), true)};
    if (!previous.empty()) keys.push_back(Str("previousPath", fuzz::ReferenceUtf8(previous), true));
    keys.push_back(Num("timestamp"));
    keys.push_back(Num("attempts"));
    return keys;
}

std::string gInboxPosix;

std::vector<std::string> InboxNames() {
    std::vector<std::string> names;
    DIR* dir = opendir(gInboxPosix.c_str());
    if (dir == nullptr) return names;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    return names;
}

bool IsRecordName(const std::string& name, const std::string& type) {
    const std::string prefix = type + "-";
    const std::string suffix = ".json";
    if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return false;
    }
    for (size_t i = prefix.size(); i < name.size() - suffix.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return false;
    }
    return true;
}

// The real writer, on disk: one file under its final name, holding exactly the formatted record.
void CheckWrittenRecord(const char* type, const std::wstring& domainId, const std::wstring& itemId, bool isDir,
                        const std::wstring& target, const std::wstring& previous) {
    WriteQueueRecord(type, domainId, itemId, isDir, target, previous);
    const std::vector<std::string> names = InboxNames();
    FUZZ_CHECK(names.size() == 1, "inbox holds %zu files after one record", names.size());
    FUZZ_CHECK(IsRecordName(names[0], type), "record file named %s", names[0].c_str());
    const std::string path = gInboxPosix + "/" + names[0];
    std::ifstream file(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    unlink(path.c_str());
    FUZZ_CHECK(bytes == FormatGenericRecord(type, domainId, itemId, isDir, target, previous),
               "file differs from the formatted record: %s", Context(bytes).c_str());
    CheckRecord(bytes, GenericKeys(type, domainId, itemId, isDir, target, previous));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::KeepReportChannel();
    gInboxPosix = fuzz::PrivateLocalAppData() + "/nq.vo.tarn.voskel/VOSKE/Queue/cloud-files-inbox";
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
               fuzz::ShowBytes(ToUtf8(target)).c_str());
    CheckRecord("{\"p\":\"" + ToJsonUtf8(target) + "\",\"i\":\"" + ToJsonIdUtf8(domainId) + "\"}\n",
                {Str("p", fuzz::ReferenceUtf8(target), true), Str("i", fuzz::ReferenceUtf8(domainId))});

    switch (kind) {
        case 0:
            CheckRecord(FormatDownloadRecord(domainId, itemId),
                        {Str("type", "download"), Str("domainId", fuzz::ReferenceUtf8(domainId)),
                         Str("itemId", fuzz::ReferenceUtf8(itemId)), Lit("contentsPath", JsonValue::kNull),
                         Num("timestamp"), Num("attempts"), Lit("urgent", JsonValue::kTrue)});
            break;
        case 1:
            CheckRecord(FormatCloseModifyRecord(domainId, itemId, other, target),
                        {Str("type", "modify"), Str("domainId", fuzz::ReferenceUtf8(domainId)),
                         Str("itemId", fuzz::ReferenceUtf8(itemId)), Str("contentsPath", fuzz::ReferenceUtf8(other), true),
                         Str("targetPath", fuzz::ReferenceUtf8(target), true), Lit("isDir", JsonValue::kFalse),
                         Num("timestamp"), Num("attempts"), Lit("urgent", JsonValue::kTrue)});
            break;
        case 2:
            CheckRecord(FormatGenericRecord("delete", domainId, itemId, isDir, target, L""),
                        GenericKeys("delete", domainId, itemId, isDir, target, L""));
            CheckWrittenRecord("delete", domainId, itemId, isDir, target, L"");
            break;
        default:
            CheckRecord(FormatGenericRecord("modify", domainId, itemId, isDir, target, other),
                        GenericKeys("modify", domainId, itemId, isDir, target, other));
            CheckWrittenRecord("modify", domainId, itemId, isDir, target, other);
            break;
    }
    return 0;
}
