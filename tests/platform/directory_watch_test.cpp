// directory_watch_test.cpp - ReadDirectoryChangesW of the stand-in: the exact records of each kind of change,
// overflow, waiting and cancellation from another thread, and the calls it refuses.
#include <sys/syscall.h>
#include <sys/time.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>

#include "tests/platform/platform_fixture.h"

namespace platformtest {
namespace {

using Records = std::vector<std::pair<DWORD, std::wstring>>;
constexpr DWORD kAdded = FILE_ACTION_ADDED, kRemoved = FILE_ACTION_REMOVED, kModified = FILE_ACTION_MODIFIED,
                kOld = FILE_ACTION_RENAMED_OLD_NAME, kNew = FILE_ACTION_RENAMED_NEW_NAME;
constexpr DWORD kNames = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME;
constexpr DWORD kAll = kNames | FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_ATTRIBUTES;

// The records of one completion; each must start where the one before points, the last pointing nowhere.
Records Parse(const DWORD* buffer, DWORD bytes) {
    Records records;
    const BYTE* base = reinterpret_cast<const BYTE*>(buffer);
    DWORD at = 0;
    while (at < bytes) {
        const auto* info = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(base + at);
        records.emplace_back(info->Action, std::wstring(info->FileName, info->FileNameLength / sizeof(WCHAR)));
        if (info->NextEntryOffset == 0) {
            EXPECT_EQ(at + offsetof(FILE_NOTIFY_INFORMATION, FileName) + info->FileNameLength, bytes);
            return records;
        }
        at += info->NextEntryOffset;
    }
    ADD_FAILURE() << "the last record points past the end";
    return records;
}

void Append(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::app) << bytes; }

// True once thread `tid` of this process sleeps in poll: a waiter that must be woken by someone else.
bool BlockedInPoll(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    in >> number;
    return number == SYS_poll || number == SYS_ppoll;
}

class DirectoryWatch : public PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        for (const std::string& directory : {w_, out_}) mkdir(directory.c_str(), 0755);
    }
    HANDLE OpenWatched(DWORD access = FILE_LIST_DIRECTORY,
                       DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED) {
        return Open(w_, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING, flags);
    }
    // Starts a request on `h` (the first sets up the watch).
    BOOL Start(HANDLE h, std::vector<DWORD>& buffer, OVERLAPPED& ov, DWORD filter = kAll, BOOL subtree = TRUE) {
        ov = OVERLAPPED{};
        return ReadDirectoryChangesW(h, buffer.data(), static_cast<DWORD>(buffer.size() * sizeof(DWORD)), subtree,
                                     filter, nullptr, &ov, nullptr);
    }
    // Every record until the watched directory's new file "end", which the caller makes last.
    Records UntilEnd(HANDLE h, std::vector<DWORD>& buffer, OVERLAPPED& ov) {
        Records all;
        DWORD bytes = 0;
        while (GetOverlappedResultEx(h, &ov, &bytes, 20000, FALSE)) {
            for (const auto& record : Parse(buffer.data(), bytes)) all.push_back(record);
            if (!all.empty() && all.back() == Records::value_type(kAdded, L"end")) return all;
            EXPECT_TRUE(Start(h, buffer, ov));
        }
        CancelIoEx(h, &ov);
        return all;
    }

    const std::string w_ = base_ + "/w", out_ = base_ + "/out";
};

TEST_F(DirectoryWatch, ReportsEachChangeOnceWithItsPlaceInTheTree) {
    timespec old[2] = {{1000000000, 0}, {1000000000, 0}};  // both times: one attribute change
    const auto setTime = [&](const std::string& path) { utimensat(AT_FDCWD, path.c_str(), old, 0); };
    const auto Unpin = [](const std::string& path) {
        HANDLE h = Open(path, GENERIC_READ);
        EXPECT_EQ(CfSetPinState(h, CF_PIN_STATE_UNPINNED, CF_SET_PIN_FLAG_NONE, nullptr), S_OK);
        CloseHandle(h);
    };
    const struct {
        const char* what;
        DWORD filter;
        BOOL subtree;
        std::vector<std::string> before;  // below base_; a trailing slash makes a directory
        std::function<void(const std::string& w, const std::string& out)> act;
        Records expected;  // before the ADDED of "end"
    } cases[] = {
        {"new files written and one deleted", kAll, TRUE, {},
         [](auto w, auto) { WriteFileBytes(w + "/f", "one");
             WriteFileBytes(w + "/g", "1");
             Append(w + "/f", "two");
             unlink((w + "/f").c_str());
          },
         {{kAdded, L"f"}, {kModified, L"f"}, {kAdded, L"g"}, {kModified, L"g"}, {kRemoved, L"f"}}},
        {"a rename in one directory", kAll, TRUE, {"w/a"}, [](auto w, auto) { rename((w + "/a").c_str(), (w + "/b").c_str()); },
         {{kOld, L"a"}, {kNew, L"b"}}},
        {"a rename replacing its target", kAll, TRUE, {"w/a", "w/b"},
         [](auto w, auto) { rename((w + "/a").c_str(), (w + "/b").c_str()); }, {{kOld, L"a"}, {kNew, L"b"}}},
        {"moves between directories of the tree", kAll, TRUE, {"w/d1/", "w/d1/f", "w/d1/s/", "w/d2/"},
         [](auto w, auto) {
             rename((w + "/d1/f").c_str(), (w + "/d2/f").c_str());
             rename((w + "/d1/s").c_str(), (w + "/d2/s").c_str());
             WriteFileBytes(w + "/d2/s/g", "");
         },
         {{kRemoved, L"d1\\f"}, {kAdded, L"d2\\f"}, {kRemoved, L"d1\\s"}, {kAdded, L"d2\\s"}, {kAdded, L"d2\\s\\g"}}},
        {"nested directories made at once", kAll, TRUE, {},
         [](auto w, auto) {
             for (const char* d : {"/a", "/a/b", "/a/b/c"}) mkdir((w + d).c_str(), 0755);
             WriteFileBytes(w + "/a/b/c/f", "x");
         },
         {{kAdded, L"a"}, {kAdded, L"a\\b"}, {kAdded, L"a\\b\\c"}, {kAdded, L"a\\b\\c\\f"}}},
        {"a new directory renamed at once", kAll, TRUE, {},
         [](auto w, auto) {
             for (const char* d : {"/n", "/n/x"}) mkdir((w + d).c_str(), 0755);
             rename((w + "/n").c_str(), (w + "/m").c_str());
         },
         {{kAdded, L"n"}, {kOld, L"n"}, {kNew, L"m"}, {kAdded, L"m\\x"}}},
        {"a directory moved in", kAll, TRUE, {"out/m/", "out/m/f", "out/m/n/"},
         [](auto w, auto out) { rename((out + "/m").c_str(), (w + "/m").c_str());
             WriteFileBytes(w + "/m/g", ""); },
         {{kAdded, L"m"}, {kAdded, L"m\\f"}, {kAdded, L"m\\g"}, {kAdded, L"m\\n"}}},
        {"a directory moved out", kAll, TRUE, {"w/o/"},
         [](auto w, auto out) { rename((w + "/o").c_str(), (out + "/o").c_str());
             WriteFileBytes(out + "/o/h", ""); },
         {{kRemoved, L"o"}}},
        {"one level only", kAll, FALSE, {}, [](auto w, auto) { mkdir((w + "/d").c_str(), 0755);
             WriteFileBytes(w + "/d/f", "x");
          },
         {{kAdded, L"d"}}},
        {"file names only", FILE_NOTIFY_CHANGE_FILE_NAME, TRUE, {"w/d/"},
         [](auto w, auto) { mkdir((w + "/e").c_str(), 0755);
             WriteFileBytes(w + "/f", "x");
             rename((w + "/d").c_str(), (w + "/e/d").c_str()); },
         {{kAdded, L"f"}}},
        {"a last-write time set, watched", FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE, TRUE, {"w/f"},
         [&](auto w, auto) { setTime(w + "/f"); }, {{kModified, L"f"}}},
        {"a last-write time set, not watched", FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_ATTRIBUTES, TRUE, {"w/f"},
         [&](auto w, auto) { setTime(w + "/f"); }, {}},
        {"made read-only, watched", FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_ATTRIBUTES, TRUE, {"w/f"},
         [](auto w, auto) { chmod((w + "/f").c_str(), 0444); }, {{kModified, L"f"}}},
        {"made read-only, not watched", FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE, TRUE, {"w/f"},
         [](auto w, auto) { chmod((w + "/f").c_str(), 0444); }, {}},
        {"a placeholder pinned (attrib +P), watched", FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_ATTRIBUTES, TRUE,
         {"w/p*"}, [](auto w, auto) { SetFileAttributesW(Win(w + "/p").c_str(), FILE_ATTRIBUTE_PINNED); },
         {{kModified, L"p"}}},
        {"pinned and unpinned (CfSetPinState), not watched", kAll & ~FILE_NOTIFY_CHANGE_ATTRIBUTES, TRUE, {"w/p*"},
         [&](auto w, auto) { SetFileAttributesW(Win(w + "/p").c_str(), FILE_ATTRIBUTE_PINNED);
             Unpin(w + "/p"); }, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(w_);
        std::filesystem::remove_all(out_);
        SetUp();
        for (const std::string& item : c.before) {
            if (item.back() == '/') mkdir((base_ + "/" + item).c_str(), 0755);
            else if (item.back() == '*') ASSERT_EQ(RegisterRoot(w_) | CreatePlaceholder(w_, {L"p", 1, L"p"}), S_OK);
            else WriteFileBytes(base_ + "/" + item, "x");
        }
        HANDLE h = OpenWatched();
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        std::vector<DWORD> buffer(4096);
        OVERLAPPED ov;
        ASSERT_TRUE(Start(h, buffer, ov, c.filter, c.subtree));
        c.act(w_, out_);
        WriteFileBytes(w_ + "/end", "");
        Records expected = c.expected;
        expected.emplace_back(kAdded, L"end");
        EXPECT_EQ(UntilEnd(h, buffer, ov), expected);
        EXPECT_TRUE(CloseHandle(h));
    }
}

// More changes than the first call's buffer holds, or than the waiting call's buffer holds: success with no bytes,
// and the watch goes on afterwards.
TEST_F(DirectoryWatch, OverflowCompletesWithNoBytes) {
    for (bool smallFirst : {true, false}) {
        SCOPED_TRACE(smallFirst);
        HANDLE h = OpenWatched();
        std::vector<DWORD> small(8), large(1024);
        OVERLAPPED ov;
        ASSERT_TRUE(Start(h, smallFirst ? small : large, ov));
        ASSERT_TRUE(CancelIoEx(h, &ov));
        for (int i = 0; i < 40; ++i) WriteFileBytes(w_ + "/file" + std::to_string(i + (smallFirst ? 100 : 200)), "");
        ASSERT_TRUE(Start(h, smallFirst ? large : small, ov));
        DWORD bytes = 1;
        EXPECT_TRUE(GetOverlappedResult(h, &ov, &bytes, TRUE));
        EXPECT_EQ(bytes, 0u);
        ASSERT_TRUE(Start(h, small, ov));
        WriteFileBytes(w_ + "/end", "");
        EXPECT_EQ(UntilEnd(h, small, ov), Records({{kAdded, L"end"}}));
        EXPECT_TRUE(CloseHandle(h));
        unlink((w_ + "/end").c_str());
    }
}

// A waiter in another thread wakes at once on CancelIoEx; a synchronous handle's call blocks until a change.
TEST_F(DirectoryWatch, WaitsAndCancels) {
    HANDLE h = OpenWatched();
    std::vector<DWORD> buffer(1024);
    OVERLAPPED ov, other{};
    ASSERT_TRUE(Start(h, buffer, ov));
    DWORD bytes = 7;
    EXPECT_EQ(ErrorOf(GetOverlappedResultEx(h, &ov, &bytes, 0, FALSE)), ERROR_IO_INCOMPLETE);
    EXPECT_EQ(ErrorOf(GetOverlappedResultEx(h, &ov, &bytes, 1, FALSE)), WAIT_TIMEOUT);
    EXPECT_EQ(ErrorOf(Start(h, buffer, other)), ERROR_INVALID_PARAMETER);  // one request at a time
    EXPECT_EQ(ErrorOf(CancelIoEx(h, &other)), ERROR_NOT_FOUND);

    const auto inThread = [](std::promise<pid_t>& tid, auto call) {
        return std::async(std::launch::async, [&tid, call] {
            tid.set_value(static_cast<pid_t>(syscall(SYS_gettid)));
            return call();
        });
    };
    std::promise<pid_t> waiterTid;
    auto waiter = inThread(waiterTid, [&] { return ErrorOf(GetOverlappedResult(h, &ov, &bytes, TRUE)); });
    const pid_t tid = waiterTid.get_future().get();
    EXPECT_TRUE(WaitUntil([&] { return BlockedInPoll(tid); }, 20000));
    EXPECT_TRUE(CancelIoEx(h, nullptr));
    EXPECT_EQ(waiter.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    WriteFileBytes(w_ + "/wake", "");  // frees a waiter the cancel did not wake, so the test can end
    EXPECT_EQ(waiter.get(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(ErrorOf(CancelIoEx(h, nullptr)), ERROR_NOT_FOUND);
    EXPECT_TRUE(CloseHandle(h));

    HANDLE sync = OpenWatched(FILE_LIST_DIRECTORY, FILE_FLAG_BACKUP_SEMANTICS);
    std::promise<pid_t> readerTid;
    auto reader = inThread(readerTid, [&] {
        return ReadDirectoryChangesW(sync, buffer.data(), 4096, FALSE, kNames, &bytes, nullptr, nullptr);
    });
    const pid_t readerId = readerTid.get_future().get();
    EXPECT_TRUE(WaitUntil([&] { return BlockedInPoll(readerId); }, 20000));
    WriteFileBytes(w_ + "/s", "");
    EXPECT_TRUE(reader.get());
    EXPECT_EQ(Parse(buffer.data(), bytes), Records({{kAdded, L"s"}}));
    EXPECT_TRUE(CloseHandle(sync));
}

void Routine(DWORD, DWORD, LPOVERLAPPED) {}

TEST_F(DirectoryWatch, Refusals) {
    WriteFileBytes(w_ + "/file", "x");
    const DWORD overlapped = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED;
    const struct {
        const char* what;
        std::string path;
        DWORD access, flags;
        size_t offset;  // of the buffer, in bytes
        bool withOverlapped, routine, event;
        DWORD filter, error;
    } cases[] = {
        {"a file", w_ + "/file", GENERIC_READ, FILE_FLAG_BACKUP_SEMANTICS, 0, false, false, false, kAll,
         ERROR_INVALID_PARAMETER},
        {"no list access", w_, FILE_READ_ATTRIBUTES, overlapped, 0, true, false, false, kAll, ERROR_ACCESS_DENIED},
        {"an unaligned buffer", w_, FILE_LIST_DIRECTORY, overlapped, 2, true, false, false, kAll, ERROR_NOACCESS},
        {"a completion routine", w_, FILE_LIST_DIRECTORY, overlapped, 0, true, true, false, kAll, ERROR_INVALID_PARAMETER},
        {"an event", w_, FILE_LIST_DIRECTORY, overlapped, 0, true, false, true, kAll, ERROR_INVALID_HANDLE},
        {"OVERLAPPED on a synchronous handle", w_, FILE_LIST_DIRECTORY, FILE_FLAG_BACKUP_SEMANTICS, 0, true, false,
         false, kAll, ERROR_INVALID_PARAMETER},
        {"no OVERLAPPED on an overlapped handle", w_, FILE_LIST_DIRECTORY, overlapped, 0, false, false, false, kAll,
         ERROR_INVALID_PARAMETER},
        {"no filter", w_, FILE_LIST_DIRECTORY, overlapped, 0, true, false, false, 0, ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        HANDLE h = Open(c.path, c.access, FILE_SHARE_READ, OPEN_EXISTING, c.flags);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        std::vector<DWORD> buffer(256);
        OVERLAPPED ov{};
        ov.hEvent = c.event ? h : nullptr;
        DWORD bytes = 0;
        EXPECT_EQ(ErrorOf(ReadDirectoryChangesW(h, reinterpret_cast<BYTE*>(buffer.data()) + c.offset, 512, TRUE,
                                                c.filter, &bytes, c.withOverlapped ? &ov : nullptr,
                                                c.routine ? Routine : nullptr)),
                  c.error);
        EXPECT_TRUE(CloseHandle(h));
    }
}

}  // namespace
}  // namespace platformtest
