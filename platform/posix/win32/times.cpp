// times.cpp - FILETIME (100 ns ticks since 1601-01-01 UTC), file times of handles, clocks and sleeping.
// Creation time comes from the emulated filter for placeholders, else from the birth time statx reports.
#include "platform/posix/filter/filter_hooks.h"
#include "platform/posix/win32/standin_internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <cerrno>

namespace {

constexpr long long kSecondsFrom1601To1970 = 11644473600LL;
constexpr ULONGLONG kTicksPerSecond = 10000000ULL;

}  // namespace

namespace posix {

ULONGLONG FileTimeTicksFromTimespec(long long seconds, long nanoseconds) {
    long long shifted = seconds + kSecondsFrom1601To1970;
    if (shifted < 0) return 0;  // before 1601 cannot be a FILETIME
    return static_cast<ULONGLONG>(shifted) * kTicksPerSecond + static_cast<ULONGLONG>(nanoseconds / 100);
}

void TimespecFromFileTimeTicks(ULONGLONG ticks, long long* seconds, long* nanoseconds) {
    *seconds = static_cast<long long>(ticks / kTicksPerSecond) - kSecondsFrom1601To1970;
    *nanoseconds = static_cast<long>(ticks % kTicksPerSecond) * 100;
}

FILETIME FileTimeOfTicks(ULONGLONG ticks) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return time;
}

ULONGLONG TicksOfFileTime(const FILETIME& time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

ULONGLONG CreationTicks(const std::string& posixPath, int fd, const struct stat& st) {
    ULONGLONG ticks = 0;
    if (!S_ISLNK(st.st_mode) && cfemu::StoredCreationTime(posixPath, &ticks)) return ticks;
    struct statx sx;
    int rc = fd >= 0 ? statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &sx)
                     : statx(AT_FDCWD, posix::SysPath(posixPath).c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &sx);
    if (rc == 0 && (sx.stx_mask & STATX_BTIME) != 0) {
        return FileTimeTicksFromTimespec(sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec);
    }
    return FileTimeTicksFromTimespec(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
}

}  // namespace posix

extern "C" BOOL GetFileTime(HANDLE file, LPFILETIME creation, LPFILETIME lastAccess, LPFILETIME lastWrite) {
    posix::Handle* handle = posix::HandleOf(file, posix::HandleKind::File);
    if (handle == nullptr) return FALSE;
    struct stat st;
    if (fstat(handle->fd, &st) != 0) {
        posix::SetLastErrorFromErrno(errno);
        return FALSE;
    }
    if (creation != nullptr) *creation = posix::FileTimeOfTicks(posix::CreationTicks(handle->path, handle->fd, st));
    if (lastAccess != nullptr) {
        *lastAccess = posix::FileTimeOfTicks(posix::FileTimeTicksFromTimespec(st.st_atim.tv_sec, st.st_atim.tv_nsec));
    }
    if (lastWrite != nullptr) {
        *lastWrite = posix::FileTimeOfTicks(posix::FileTimeTicksFromTimespec(st.st_mtim.tv_sec, st.st_mtim.tv_nsec));
    }
    return TRUE;
}

extern "C" BOOL SetFileTime(HANDLE file, const FILETIME* creation, const FILETIME* lastAccess,
                            const FILETIME* lastWrite) {
    (void)creation;  // POSIX has no settable creation time; the filter keeps its own for placeholders
    posix::Handle* handle = posix::HandleOf(file, posix::HandleKind::File);
    if (handle == nullptr) return FALSE;
    // Windows leaves a time alone when its pointer is null or it is zero (and -1 only freezes it).
    auto toTimespec = [](const FILETIME* time) {
        timespec ts{0, UTIME_OMIT};
        if (time == nullptr) return ts;
        ULONGLONG ticks = posix::TicksOfFileTime(*time);
        if (ticks == 0 || ticks == ~0ULL) return ts;
        long long seconds;
        long nanoseconds;
        posix::TimespecFromFileTimeTicks(ticks, &seconds, &nanoseconds);
        ts.tv_sec = static_cast<time_t>(seconds);
        ts.tv_nsec = nanoseconds;
        return ts;
    };
    timespec times[2] = {toTimespec(lastAccess), toTimespec(lastWrite)};
    if (futimens(handle->fd, times) != 0) {
        posix::SetLastErrorFromErrno(errno);
        return FALSE;
    }
    // A placeholder whose root tracks the last-write time is no longer in sync once that time is set.
    if (handle->placeholder && times[1].tv_nsec != UTIME_OMIT) cfemu::NoteLastWriteTimeSet(*handle);
    return TRUE;
}

extern "C" LONG CompareFileTime(const FILETIME* a, const FILETIME* b) {
    ULONGLONG x = posix::TicksOfFileTime(*a), y = posix::TicksOfFileTime(*b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

extern "C" void GetLocalTime(LPSYSTEMTIME time) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    time->wYear = static_cast<WORD>(local.tm_year + 1900);
    time->wMonth = static_cast<WORD>(local.tm_mon + 1);
    time->wDayOfWeek = static_cast<WORD>(local.tm_wday);
    time->wDay = static_cast<WORD>(local.tm_mday);
    time->wHour = static_cast<WORD>(local.tm_hour);
    time->wMinute = static_cast<WORD>(local.tm_min);
    time->wSecond = static_cast<WORD>(local.tm_sec);
    time->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}

extern "C" void GetSystemTimeAsFileTime(LPFILETIME time) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    *time = posix::FileTimeOfTicks(posix::FileTimeTicksFromTimespec(now.tv_sec, now.tv_nsec));
}

extern "C" ULONGLONG GetTickCount64(void) {
    timespec now;
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<ULONGLONG>(now.tv_sec) * 1000ULL + static_cast<ULONGLONG>(now.tv_nsec / 1000000);
}

extern "C" BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    count->QuadPart = static_cast<LONGLONG>(now.tv_sec) * 1000000000LL + now.tv_nsec;
    return TRUE;
}

extern "C" BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    frequency->QuadPart = 1000000000LL;  // the counter counts nanoseconds
    return TRUE;
}

extern "C" void Sleep(DWORD milliseconds) {
    while (milliseconds == INFINITE) {
        timespec day{86400, 0};
        nanosleep(&day, nullptr);
    }
    timespec left{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
