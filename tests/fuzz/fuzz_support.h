// fuzz_support.h - what the fuzz targets share: a lexical model of Windows paths, wide text built from fuzz
// bytes, a reference UTF-8 encoder, a private LOCALAPPDATA per process and a failure report that survives.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace fuzz {

// libFuzzer's -close_fd_mask=2 silences the program's log on stderr; failures go to a copy of stderr taken at
// start-up, so the reason for an abort is still printed beside the fuzzer's own report.
inline int& ReportFd() {
    static int fd = -1;
    return fd;
}

inline void KeepReportChannel() {
    if (ReportFd() < 0) ReportFd() = dup(2);
}

[[noreturn]] inline void FailV(const char* what, const char* format, va_list args) {
    char message[4096];
    vsnprintf(message, sizeof(message), format, args);
    int fd = ReportFd() >= 0 ? ReportFd() : 2;
    dprintf(fd, "FUZZ INVARIANT BROKEN: %s\n  %s\n", what, message);
    abort();
}

[[noreturn]] inline void Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] inline void FailCheck(const char* what, const char* format, ...) __attribute__((format(printf, 2, 3)));

[[noreturn]] inline void Fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    FailV("setup", format, args);
}

[[noreturn]] inline void FailCheck(const char* what, const char* format, ...) {
    va_list args;
    va_start(args, format);
    FailV(what, format, args);
}

// FUZZ_CHECK(condition, format, ...): aborts with the condition's text and a formatted account of the input.
#define FUZZ_CHECK(condition, ...)                                           \
    do {                                                                     \
        if (!(condition)) ::fuzz::FailCheck(#condition, __VA_ARGS__);        \
    } while (0)

// Printable, bounded form of wide text for failure messages.
inline std::string Show(const std::wstring& text) {
    std::string shown;
    for (wchar_t c : text) {
        if (shown.size() > 600) {
            shown += "...";
            break;
        }
        uint32_t code = static_cast<uint32_t>(c);
        if (code >= 0x20 && code < 0x7F) {
            shown.push_back(static_cast<char>(code));
        } else {
            char escape[16];
            snprintf(escape, sizeof(escape), "\\u{%X}", code);
            shown += escape;
        }
    }
    return shown;
}

inline std::string ShowBytes(const std::string& bytes) {
    std::string shown;
    for (unsigned char c : bytes) {
        if (shown.size() > 600) {
            shown += "...";
            break;
        }
        if (c >= 0x20 && c < 0x7F) {
            shown.push_back(static_cast<char>(c));
        } else {
            char escape[8];
            snprintf(escape, sizeof(escape), "\\x%02X", c);
            shown += escape;
        }
    }
    return shown;
}

// ---- Wide text from fuzz bytes ----

// Text as Windows holds it: UTF-16 units, where a high surrogate followed by a low one is one character and any
// other surrogate stays alone (a 32-bit wchar_t holds the joined code point, as the stand-in does).
inline std::wstring WideFromUnits(const std::vector<uint16_t>& units) {
    std::wstring text;
    for (size_t i = 0; i < units.size(); ++i) {
        uint32_t unit = units[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            unit = 0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00u);
            ++i;
        }
        text.push_back(static_cast<wchar_t>(unit));
    }
    return text;
}

// A short alphabet that reaches the interesting cases quickly: separators, dots, colons, TAB, NUL, quotes and
// a few non-ASCII characters, mixed with raw UTF-16 units.
inline std::wstring ConsumeWide(FuzzedDataProvider& input, size_t maxUnits) {
    static const wchar_t kAlphabet[] = {L'a',    L'b',    L'.',    L'\\',   L'/',    L':',    L'\t',
                                        L'\0',   L'"',    L' ',    L'\n',   L'C',    L'f',    L'x',
                                        0x00E9,  0x65E5,  0xFFFD,  0x202E,  L'*',    L'?',    L'~'};
    std::vector<uint16_t> units;
    size_t count = input.ConsumeIntegralInRange<size_t>(0, maxUnits);
    for (size_t i = 0; i < count && input.remaining_bytes() > 0; ++i) {
        uint8_t selector = input.ConsumeIntegral<uint8_t>();
        if (selector < 2 * (sizeof(kAlphabet) / sizeof(kAlphabet[0]))) {
            units.push_back(static_cast<uint16_t>(kAlphabet[selector / 2]));
        } else {
            units.push_back(input.ConsumeIntegral<uint16_t>());
        }
    }
    return WideFromUnits(units);
}

// ---- Reference UTF-8 (written here, independent of the program's converter) ----

// UTF-8 bytes of one code point.
inline void AppendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

// UTF-8 of the text up to its first NUL; a lone surrogate becomes U+FFFD, as the platform's converter does.
inline std::string ReferenceUtf8(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        uint32_t code = static_cast<uint32_t>(c);
        if (code == 0) break;
        if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) code = 0xFFFD;
        AppendUtf8(out, code);
    }
    return out;
}

// ---- Lexical model of a Windows path ----

// A path reduced to its root ("" for relative, "\" for rooted, "C:" or "C:\" for a drive, "\\" for UNC or
// device forms) and its components with "." dropped and ".." applied. A ".." never climbs above a root; in a
// relative path the ones that cannot be applied are kept at the front.
struct LexicalPath {
    std::wstring root;
    std::vector<std::wstring> parts;
};

inline bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

inline LexicalPath Normalize(const std::wstring& path) {
    LexicalPath result;
    size_t position = 0;
    if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        result.root = L"\\\\";
        position = 2;
    } else if (!path.empty() && IsSeparator(path[0])) {
        result.root = L"\\";
        position = 1;
    } else if (path.size() >= 2 && path[1] == L':') {
        result.root = path.substr(0, 2);
        position = 2;
        if (path.size() >= 3 && IsSeparator(path[2])) {
            result.root += L'\\';
            position = 3;
        }
    }
    while (position <= path.size()) {
        size_t end = position;
        while (end < path.size() && !IsSeparator(path[end])) ++end;
        std::wstring part = path.substr(position, end - position);
        position = end + 1;
        if (part.empty() || part == L".") continue;
        if (part == L"..") {
            if (!result.parts.empty() && result.parts.back() != L"..") {
                result.parts.pop_back();
            } else if (result.root.empty()) {
                result.parts.push_back(part);
            }
            continue;
        }
        result.parts.push_back(part);
    }
    return result;
}

// True when `path` names `base` itself or something below it. A component with a colon below the base (a
// drive or a stream name) counts as leaving it.
inline bool StaysWithin(const std::wstring& path, const std::wstring& base) {
    LexicalPath child = Normalize(path);
    LexicalPath parent = Normalize(base);
    if (child.root != parent.root || child.parts.size() < parent.parts.size()) return false;
    for (size_t i = 0; i < parent.parts.size(); ++i) {
        if (child.parts[i] != parent.parts[i]) return false;
    }
    for (size_t i = parent.parts.size(); i < child.parts.size(); ++i) {
        if (child.parts[i] == L".." || child.parts[i].find(L':') != std::wstring::npos) return false;
    }
    return true;
}

inline bool StrictlyBelow(const std::wstring& path, const std::wstring& base) {
    return StaysWithin(path, base) && Normalize(path).parts.size() > Normalize(base).parts.size();
}

// ---- A private LOCALAPPDATA for the whole fuzzing process ----

// Created once below $TMPDIR (or /tmp); HOME and XDG_DATA_HOME point there too, so nothing can reach the real
// user's directories. Removed at normal exit; tools/fuzz.sh runs with its own TMPDIR and removes that as well.
inline const std::string& PrivateLocalAppData() {
    static std::string root;
    if (root.empty()) {
        const char* tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/voske-fuzz-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()) == nullptr) Fail("mkdtemp %s failed", pattern.c_str());
        root = buffer.data();
        setenv("LOCALAPPDATA", root.c_str(), 1);
        setenv("HOME", root.c_str(), 1);
        setenv("XDG_DATA_HOME", root.c_str(), 1);
        atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(root, ignored);
        });
    }
    return root;
}

}  // namespace fuzz
