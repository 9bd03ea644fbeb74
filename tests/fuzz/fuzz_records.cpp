// fuzz_records.cpp - libFuzzer target: every record, formatted or written, is exactly the record format's bytes.
#include "layout/provider_paths.h"
#include "tests/fuzz/fuzz_support.h"
#include "writeback/queue_records.h"

#include <regex>

namespace {

// The record format, written out independently of the program: a string value is the text's UTF-8 up to its first
// NUL with '"' and '\\' escaped; an id also escapes every byte below 0x20 as \u00xx, while a path keeps such bytes
// raw (a Windows file name cannot hold them).
std::string Quoted(const std::wstring& text) {
    std::string out = "\"";
    for (const char c : fuzz::ReferenceUtf8(text)) {
        char escape[8];
        snprintf(escape, sizeof(escape), "\\u%04x", static_cast<unsigned>(c));
        if (static_cast<unsigned char>(c) < 0x20) {
            out += escape;
        } else {
            out += (c == '"' || c == '\\') ? std::string("\\") + c : std::string(1, c);
        }
    }
    return out + "\"";
}

std::string Record(const std::vector<std::pair<const char*, std::string>>& members) {
    std::string out = "{";
    for (const auto& [key, value] : members) out += (out.size() > 1 ? ",\"" : "\"") + std::string(key) + "\":" + value;
    return out + "}\n";
}

std::string GenericRecord(const char* type, const std::wstring& domainId, const std::wstring& itemId, bool isDir,
                          const std::wstring& target, const std::wstring& previous) {
    std::vector<std::pair<const char*, std::string>> members = {
        {"type", std::string("\"") + type + "\""}, {"domainId", Quoted(domainId)},
        {"itemId", Quoted(itemId)}, {"isDir", isDir ? "true" : "false"}, {"targetPath", Quoted(target)}};
    if (!previous.empty()) members.emplace_back("previousPath", Quoted(previous));
    members.emplace_back("timestamp", "0");
    members.emplace_back("attempts", "0");
    return Record(members);
}

void CheckRecord(const std::string& record, const std::string& expected) {
    FUZZ_CHECK(record == expected, "record bytes differ from the format");
}

std::string gInbox;

// The real writer, on disk: one file under its final name <type>-<digits>.json, holding the formatted record.
void CheckWrittenRecord(const char* type, const std::wstring& domainId, const std::wstring& itemId, bool isDir,
                        const std::wstring& target, const std::wstring& previous) {
    WriteQueueRecord(type, domainId, itemId, isDir, target, previous);
    const std::vector<std::string> names = ListDirectory(gInbox);
    FUZZ_CHECK(names.size() == 1, "not one file in the inbox after one record");
    const std::string& name = names[0];
    FUZZ_CHECK(std::regex_match(name, std::regex(std::string(type) + "-[0-9]+\\.json")), "record file misnamed");
    const std::string bytes = ReadFileBytes(gInbox + "/" + name);
    unlink((gInbox + "/" + name).c_str());
    CheckRecord(bytes, GenericRecord(type, domainId, itemId, isDir, target, previous));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::KeepReportChannel();
    gInbox = fuzz::PrivateLocalAppData() + "/nq.vo.tarn.voskel/VOSKE/Queue/cloud-files-inbox";
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

    // The encoders alone: ToUtf8 is the UTF-8 up to the first NUL; the path and id encoders are string bodies.
    FUZZ_CHECK(ToUtf8(target) == fuzz::ReferenceUtf8(target), "ToUtf8 differs from the reference encoder");
    CheckRecord("\"" + ToJsonUtf8(target) + "\"", Quoted(target));
    CheckRecord("\"" + ToJsonIdUtf8(domainId) + "\"", Quoted(domainId));

    switch (kind) {
        case 0:
            CheckRecord(FormatDownloadRecord(domainId, itemId),
                        Record({{"type", "\"download\""}, {"domainId", Quoted(domainId)},
                                {"itemId", Quoted(itemId)}, {"contentsPath", "null"}, {"timestamp", "0"},
                                {"attempts", "0"}, {"urgent", "true"}}));
            break;
        case 1:
            CheckRecord(FormatCloseModifyRecord(domainId, itemId, other, target),
                        Record({{"type", "\"modify\""}, {"domainId", Quoted(domainId)},
                                {"itemId", Quoted(itemId)}, {"contentsPath", Quoted(other)},
                                {"targetPath", Quoted(target)}, {"isDir", "false"}, {"timestamp", "0"},
                                {"attempts", "0"}, {"urgent", "true"}}));
            break;
        default: {
            const char* type = kind == 2 ? "delete" : "modify";
            const std::wstring previous = kind == 2 ? L"" : other;
            CheckRecord(FormatGenericRecord(type, domainId, itemId, isDir, target, previous),
                        GenericRecord(type, domainId, itemId, isDir, target, previous));
            CheckWrittenRecord(type, domainId, itemId, isDir, target, previous);
        }
    }
    return 0;
}
