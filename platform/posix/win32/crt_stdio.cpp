// crt_stdio.cpp - _wfopen and _wfsopen of the Windows C runtime, text mode included.
// Text mode writes each "\n" as "\r\n" in one write(2) per flush; "a" seeks to the end before each such write, as
// the Windows runtime does, so processes appending to one file can overwrite each other's lines there as here.
#include "platform/posix/win32/standin_internal.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

// Large enough that a log line of 1024 bytes is never split between two flushes of the stream.
constexpr size_t kStreamBuffer = 8192;

struct Cookie {
    posix::Handle* handle = nullptr;
    bool text = false;
    bool append = false;     // "a": every write goes to the end as it is just before that write
    bool pendingCr = false;  // text mode: a '\r' read last, not yet known to start a "\r\n"
};

ssize_t CookieRead(void* raw, char* buffer, size_t size) {
    Cookie* cookie = static_cast<Cookie*>(raw);
    size_t got = 0;
    if (!cookie->text) {
        if (!posix::ReadHandle(*cookie->handle, buffer, size, &got, nullptr)) {
            errno = EIO;
            return -1;
        }
        return static_cast<ssize_t>(got);
    }
    // Text mode: "\r\n" becomes "\n"; a '\r' at the end of a chunk waits for the next byte.
    // One byte less than asked leaves room for a '\r' held over from the previous call.
    size_t want = size > 1 ? size - 1 : 1;
    std::vector<char> chunk(want);
    size_t out = 0;
    while (out == 0) {
        if (!posix::ReadHandle(*cookie->handle, chunk.data(), want, &got, nullptr)) {
            errno = EIO;
            return -1;
        }
        if (got == 0) {
            if (cookie->pendingCr) {
                cookie->pendingCr = false;
                buffer[out++] = '\r';
            }
            break;
        }
        for (size_t i = 0; i < got; ++i) {
            char c = chunk[i];
            if (cookie->pendingCr) {
                cookie->pendingCr = false;
                if (c != '\n') buffer[out++] = '\r';
            }
            if (c == '\r') {
                cookie->pendingCr = true;
                continue;
            }
            if (out == size) {
                // Only with a one-byte buffer after a held '\r': put the byte back for the next call.
                lseek(cookie->handle->fd, -static_cast<off_t>(got - i), SEEK_CUR);
                break;
            }
            buffer[out++] = c;
        }
    }
    return static_cast<ssize_t>(out);
}

ssize_t CookieWrite(void* raw, const char* buffer, size_t size) {
    Cookie* cookie = static_cast<Cookie*>(raw);
    size_t written = 0;
    // A seek, then a write, not O_APPEND: another process's write between the two is overwritten, as on Windows.
    if (cookie->append && lseek(cookie->handle->fd, 0, SEEK_END) < 0) return -1;
    if (!cookie->text) {
        if (!posix::WriteHandle(*cookie->handle, buffer, size, &written, nullptr) && written == 0) {
            errno = EIO;
            return -1;
        }
        return static_cast<ssize_t>(written);
    }
    std::vector<char> translated;
    translated.reserve(size + size / 8 + 16);
    for (size_t i = 0; i < size; ++i) {
        if (buffer[i] == '\n') translated.push_back('\r');
        translated.push_back(buffer[i]);
    }
    if (!posix::WriteHandle(*cookie->handle, translated.data(), translated.size(), &written, nullptr) ||
        written != translated.size()) {
        errno = EIO;
        return -1;
    }
    return static_cast<ssize_t>(size);
}

int CookieSeek(void* raw, off64_t* offset, int whence) {
    Cookie* cookie = static_cast<Cookie*>(raw);
    off_t result = lseek(cookie->handle->fd, static_cast<off_t>(*offset), whence);
    if (result < 0) return -1;
    cookie->pendingCr = false;
    *offset = result;
    return 0;
}

int CookieClose(void* raw) {
    Cookie* cookie = static_cast<Cookie*>(raw);
    posix::CloseFileHandle(cookie->handle);
    delete cookie;
    return 0;
}

// The C runtime's share flags as CreateFileW share modes: denying none shares reading and writing, not delete.
DWORD ShareModeOf(int shareFlag) {
    switch (shareFlag) {
        case 0x10:  // _SH_DENYRW
            return 0;
        case 0x20:  // _SH_DENYWR
            return FILE_SHARE_READ;
        case 0x30:  // _SH_DENYRD
            return FILE_SHARE_WRITE;
        default:  // _SH_DENYNO
            return FILE_SHARE_READ | FILE_SHARE_WRITE;
    }
}

}  // namespace

extern "C" FILE* _wfsopen(const wchar_t* fileName, const wchar_t* mode, int shareFlag) {
    if (fileName == nullptr || mode == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    wchar_t kind = mode[0];
    bool plus = false, binary = false;
    for (const wchar_t* m = mode + 1; *m != L'\0' && *m != L','; ++m) {
        if (*m == L'+') plus = true;
        if (*m == L'b') binary = true;
    }
    int flags;
    DWORD access;
    switch (kind) {
        case L'r':
            flags = plus ? O_RDWR : O_RDONLY;
            break;
        case L'w':
            // Emptied below through the filter, never by open(2): a placeholder must know its data was replaced.
            flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT;
            break;
        case L'a':
            flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT;
            break;
        default:
            errno = EINVAL;
            return nullptr;
    }
    access = (flags & O_ACCMODE) == O_RDONLY ? GENERIC_READ
             : (flags & O_ACCMODE) == O_WRONLY ? GENERIC_WRITE
                                               : GENERIC_READ | GENERIC_WRITE;
    posix::Handle* handle =
        posix::OpenFileHandle(posix::AbsolutePosixPath(fileName), flags, 0666, access, ShareModeOf(shareFlag));
    if (handle == nullptr) return nullptr;  // errno is the open(2) error, as the C runtime reports it
    if (kind == L'w' && !posix::TruncateOpenFile(*handle)) {
        posix::CloseFileHandle(handle);
        errno = EIO;
        return nullptr;
    }
    Cookie* cookie = new Cookie;
    cookie->handle = handle;
    cookie->text = !binary;
    cookie->append = kind == L'a';
    cookie_io_functions_t functions{CookieRead, CookieWrite, CookieSeek, CookieClose};
    // The cookie's mode only tells stdio which directions are allowed; the cookie's write does the appending.
    const char* streamMode = (flags & O_ACCMODE) == O_RDONLY ? "r" : (flags & O_ACCMODE) == O_WRONLY ? "w" : "r+";
    FILE* stream = fopencookie(cookie, streamMode, functions);
    if (stream == nullptr) {
        CookieClose(cookie);
        errno = ENOMEM;
        return nullptr;
    }
    setvbuf(stream, nullptr, _IOFBF, kStreamBuffer);
    return stream;
}

extern "C" FILE* _wfopen(const wchar_t* fileName, const wchar_t* mode) { return _wfsopen(fileName, mode, _SH_DENYNO); }
