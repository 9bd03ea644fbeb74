// fuzz_support.h - what the fuzz targets share: models of Windows paths and UTF-8, fuzz text, failure reports.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/test_env.h"

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

// FUZZ_CHECK(condition, what): aborts, naming the broken invariant; libFuzzer then writes the input that broke it.
#define FUZZ_CHECK(condition, what)                                                                                 \
    do {                                                                                                            \
        if (!(condition)) {                                                                                         \
            dprintf(::fuzz::ReportFd() >= 0 ? ::fuzz::ReportFd() : 2, "FUZZ INVARIANT BROKEN at %s:%d: %s\n  %s\n", \
                    __FILE__, __LINE__, #condition, what);                                                          \
            abort();                                                                                                \
        }                                                                                                           \
    } while (0)

// Text as Windows holds it: UTF-16 units, where a high surrogate followed by a low one is one character and any
// other surrogate stays alone (a 32-bit wchar_t holds the joined code point, as the stand-in does).
inline std::wstring WideFromUnits(const std::vector<uint16_t>& units) {
    std::wstring text;
    for (size_t i = 0; i < units.size(); ++i) {
        uint32_t unit = units[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            unit = 0x10000 + ((unit - 0xD800) << 10) + (units[++i] - 0xDC00u);
        }
        text.push_back(static_cast<wchar_t>(unit));
    }
    return text;
}

// A short alphabet that reaches the interesting cases quickly: separators, dots, colons, TAB, NUL, quotes and
// a few non-ASCII characters, mixed with raw UTF-16 units.
inline std::wstring ConsumeWide(FuzzedDataProvider& input, size_t maxUnits) {
    static const wchar_t kAlphabet[] = {L'a', L'b', L'.', L'\\',  L'/',   L':',   L'\t',  L'\0', L'"', L' ', L'\n',
                                        L'C', L'f', L'x', 0x00E9, 0x65E5, 0xFFFD, 0x202E, L'*',  L'?', L'~'};
    constexpr size_t kLetters = sizeof(kAlphabet) / sizeof(kAlphabet[0]);
    std::vector<uint16_t> units;
    const size_t count = input.ConsumeIntegralInRange<size_t>(0, maxUnits);
    for (size_t i = 0; i < count && input.remaining_bytes() > 0; ++i) {
        const uint8_t selector = input.ConsumeIntegral<uint8_t>();
        units.push_back(selector < 2 * kLetters ? static_cast<uint16_t>(kAlphabet[selector / 2])
                                                : input.ConsumeIntegral<uint16_t>());
    }
    return WideFromUnits(units);
}

// 16-bit units of a little-endian blob; an odd last byte is not a unit.
inline std::vector<uint16_t> UnitsOf(const uint8_t* data, size_t length) {
    std::vector<uint16_t> units(length / 2);
    for (size_t i = 0; i < units.size(); ++i) units[i] = static_cast<uint16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    return units;
}

// UTF-8 bytes of one code point, written here independently of the program's converter.
inline void AppendUtf8(std::string& out, uint32_t code) {
    const int extra = code < 0x80 ? 0 : code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
    static const unsigned char kLead[] = {0x00, 0xC0, 0xE0, 0xF0};
    out.push_back(static_cast<char>(kLead[extra] | (code >> (6 * extra))));
    for (int shift = 6 * (extra - 1); shift >= 0; shift -= 6)
        out.push_back(static_cast<char>(0x80 | ((code >> shift) & 0x3F)));
}

// UTF-8 of the text up to its first NUL; a lone surrogate becomes U+FFFD, as the platform's converter does.
inline std::string ReferenceUtf8(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        uint32_t code = static_cast<uint32_t>(c);
        if (code == 0) break;
        AppendUtf8(out, (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF ? 0xFFFD : code);
    }
    return out;
}

// A Windows path reduced to its root ("" relative, "\" rooted, "C:" or "C:\" drive, "\\" UNC or device forms)
// and its components with "." dropped and ".." applied. A ".." never climbs above a root; in a relative path
// the ones that cannot be applied are kept at the front.
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
        const bool rooted = path.size() >= 3 && IsSeparator(path[2]);
        result.root = path.substr(0, 2) + (rooted ? L"\\" : L"");
        position = rooted ? 3 : 2;
    }
    while (position <= path.size()) {
        size_t end = position;
        while (end < path.size() && !IsSeparator(path[end])) ++end;
        const std::wstring part = path.substr(position, end - position);
        position = end + 1;
        if (part.empty() || part == L".") continue;
        if (part != L"..") {
            result.parts.push_back(part);
        } else if (!result.parts.empty() && result.parts.back() != L"..") {
            result.parts.pop_back();
        } else if (result.root.empty()) {
            result.parts.push_back(part);
        }
    }
    return result;
}

// True when `path` names `base` itself or something below it. A component with a colon below the base (a
// drive or a stream name) counts as leaving it.
inline bool StaysWithin(const std::wstring& path, const std::wstring& base) {
    const LexicalPath child = Normalize(path), parent = Normalize(base);
    if (child.root != parent.root || child.parts.size() < parent.parts.size()) return false;
    for (size_t i = 0; i < child.parts.size(); ++i) {
        if (i < parent.parts.size() ? child.parts[i] != parent.parts[i]
                                    : child.parts[i] == L".." || child.parts[i].find(L':') != std::wstring::npos) {
            return false;
        }
    }
    return true;
}

inline bool StrictlyBelow(const std::wstring& path, const std::wstring& base) {
    return StaysWithin(path, base) && Normalize(path).parts.size() > Normalize(base).parts.size();
}

// A private LOCALAPPDATA (HOME and XDG_DATA_HOME too) for the whole fuzzing process, with the provider's paths
// below it; removed at normal exit. tools/fuzz.sh runs with its own TMPDIR and removes that as well.
inline const std::string& PrivateLocalAppData() {
    static TempLocalAppData env;
    return env.Root();
}

}  // namespace fuzz
