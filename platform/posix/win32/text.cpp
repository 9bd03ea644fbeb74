// text.cpp - UTF-8 <-> wide text with the rules of MultiByteToWideChar and WideCharToMultiByte.
// wchar_t holds one code point here; invalid input becomes U+FFFD unless the caller asked for an error.
#include "platform/posix/win32/standin_internal.h"

#include <cstring>
#include <cwchar>

namespace {

constexpr DWORD kMbErrInvalidChars = 0x08u;     // MB_ERR_INVALID_CHARS
constexpr DWORD kWcErrInvalidChars = 0x80u;     // WC_ERR_INVALID_CHARS
constexpr DWORD kNoUnicodeTranslation = 1113u;  // ERROR_NO_UNICODE_TRANSLATION
constexpr char32_t kReplacement = 0xFFFD;

// Decodes UTF-8; each maximal ill-formed part becomes one U+FFFD (or stops when `strict`).
// Calls emit(code point) for each character; returns false on the first error when strict.
template <typename Emit>
bool DecodeUtf8(const unsigned char* s, size_t n, bool strict, Emit emit) {
    size_t i = 0;
    while (i < n) {
        unsigned char b = s[i];
        if (b < 0x80) {
            emit(b);
            ++i;
            continue;
        }
        int need = 0;
        unsigned char lo = 0x80, hi = 0xBF;
        char32_t cp = 0;
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
            cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            cp = b & 0x0F;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;  // no encoded surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            cp = b & 0x07;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
        } else {
            if (strict) return false;
            emit(kReplacement);
            ++i;
            continue;
        }
        size_t j = i + 1;
        bool ok = true;
        for (int k = 0; k < need; ++k, ++j) {
            unsigned char c = j < n ? s[j] : 0;
            unsigned char min = k == 0 ? lo : 0x80, max = k == 0 ? hi : 0xBF;
            if (j >= n || c < min || c > max) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (c & 0x3F);
        }
        if (!ok) {
            if (strict) return false;
            emit(kReplacement);
            i = j;  // the offending byte starts the next sequence
            continue;
        }
        emit(cp);
        i = j;
    }
    return true;
}

// Encodes wide text as UTF-8; a high+low surrogate pair is joined, a lone surrogate or a value beyond
// U+10FFFF becomes U+FFFD (or stops when `strict`).
template <typename Emit>
bool EncodeUtf8(const wchar_t* w, size_t n, bool strict, Emit emit) {
    for (size_t i = 0; i < n; ++i) {
        char32_t cp = static_cast<char32_t>(w[i]);
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && static_cast<char32_t>(w[i + 1]) >= 0xDC00 &&
            static_cast<char32_t>(w[i + 1]) <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<char32_t>(w[i + 1]) - 0xDC00);
            ++i;
        } else if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
            if (strict) return false;
            cp = kReplacement;
        }
        if (cp < 0x80) {
            emit(static_cast<char>(cp));
        } else if (cp < 0x800) {
            emit(static_cast<char>(0xC0 | (cp >> 6)));
            emit(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            emit(static_cast<char>(0xE0 | (cp >> 12)));
            emit(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            emit(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            emit(static_cast<char>(0xF0 | (cp >> 18)));
            emit(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            emit(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            emit(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return true;
}

bool IsUtf8CodePage(UINT codePage) { return codePage == CP_UTF8 || codePage == 0u /* CP_ACP */; }

}  // namespace

namespace posix {

std::wstring Utf8ToWide(const std::string& text) {
    std::wstring out;
    out.reserve(text.size());
    DecodeUtf8(reinterpret_cast<const unsigned char*>(text.data()), text.size(), false,
               [&](char32_t c) { out.push_back(static_cast<wchar_t>(c)); });
    return out;
}

std::string WideToUtf8(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    EncodeUtf8(text.data(), text.size(), false, [&](char c) { out.push_back(c); });
    return out;
}

}  // namespace posix

extern "C" int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByte, int multiByteCount, LPWSTR wide,
                                   int wideCount) {
    if (!IsUtf8CodePage(codePage) || (flags & ~kMbErrInvalidChars) != 0 || multiByte == nullptr ||
        multiByteCount == 0 || multiByteCount < -1 || wideCount < 0 || (wide == nullptr && wideCount != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // A count of -1 takes the terminating NUL along, so the result counts it too.
    size_t length = multiByteCount == -1 ? std::strlen(multiByte) + 1 : static_cast<size_t>(multiByteCount);
    size_t needed = 0;
    bool ok = DecodeUtf8(reinterpret_cast<const unsigned char*>(multiByte), length, (flags & kMbErrInvalidChars) != 0,
                         [&](char32_t c) {
                             if (wideCount != 0 && needed < static_cast<size_t>(wideCount)) {
                                 wide[needed] = static_cast<wchar_t>(c);
                             }
                             ++needed;
                         });
    if (!ok) {
        SetLastError(kNoUnicodeTranslation);
        return 0;
    }
    if (wideCount != 0 && needed > static_cast<size_t>(wideCount)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return static_cast<int>(needed);
}

extern "C" int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideCount, LPSTR multiByte,
                                   int multiByteCount, LPCSTR defaultChar, LPBOOL usedDefaultChar) {
    // For UTF-8 Windows refuses a default character and its flag outright.
    if (!IsUtf8CodePage(codePage) || (flags & ~kWcErrInvalidChars) != 0 || wide == nullptr || wideCount == 0 ||
        wideCount < -1 || multiByteCount < 0 || (multiByte == nullptr && multiByteCount != 0) ||
        defaultChar != nullptr || usedDefaultChar != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t length = wideCount == -1 ? std::wcslen(wide) + 1 : static_cast<size_t>(wideCount);
    size_t needed = 0;
    bool ok = EncodeUtf8(wide, length, (flags & kWcErrInvalidChars) != 0, [&](char c) {
        if (multiByteCount != 0 && needed < static_cast<size_t>(multiByteCount)) multiByte[needed] = c;
        ++needed;
    });
    if (!ok) {
        SetLastError(kNoUnicodeTranslation);
        return 0;
    }
    if (multiByteCount != 0 && needed > static_cast<size_t>(multiByteCount)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return static_cast<int>(needed);
}
