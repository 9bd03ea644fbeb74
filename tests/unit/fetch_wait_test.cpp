// fetch_wait_test.cpp - a fetch never waits on what cannot come: a source that is no file is refused before it is
// opened, and a wait for the engine ends with the platform's cancel or the provider's stop.
#include "hydration/fetch_data.h"
#include "syncroot/registration.h"
#include "tests/support/processes.h"
#include "tests/unit/unit_fixture.h"
#include "writeback/queue_records.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>

namespace {

constexpr NTSTATUS kUnsuccessful = static_cast<NTSTATUS>(0xC000CF12);
const char kEntered[] = "[NO_NETWORK] FETCH_DATA entered - sockets forbidden on this thread";
const char kMiss[] = "[HYDRATE] cache miss - queue local download, no socket";
// Well inside the engine's ten seconds: a wait that ends by then was ended, not given up.
constexpr int kPromptMs = 3000;

std::string Utf8(const std::wstring& text) { return ToUtf8(text); }

// Runs OnFetchData on a thread of its own, as the platform does. A fetch still running when the test ends is
// released by opening every pipe it may be stuck on, so the test fails instead of hanging.
class FetchRun {
  public:
    FetchRun(Request& request, std::vector<std::string> pipes = {}) : pipes_(std::move(pipes)) {
        thread_ = std::thread([this, &request] {
            OnFetchData(&request.info, &request.params);
            done_ = true;
        });
    }
    ~FetchRun() {
        for (const std::string& pipe : pipes_) {
            const int fd = open(pipe.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) close(fd);
        }
        thread_.join();
    }
    bool EndsWithin(int milliseconds) const { return WaitUntil([this] { return done_.load(); }, milliseconds); }

  private:
    std::vector<std::string> pipes_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// The transfers a fetch sent: status, offset, length.
std::vector<std::vector<LONGLONG>> Transfers(const FakeCloudFiles& fake) {
    std::vector<std::vector<LONGLONG>> sent;
    for (const RecordedCall& call : fake.CallsOf("Execute")) {
        sent.push_back({call.opParams.TransferData.CompletionStatus, call.opParams.TransferData.Offset.QuadPart,
                        call.opParams.TransferData.Length.QuadPart});
    }
    return sent;
}

}  // namespace

// A pipe (a device to the platform, whatever the placeholder's size), a directory or an empty file where the data of
// a placeholder with bytes should be: refused at once, with one line naming the file and what it is; a pipe is never
// opened (its open would wait for a writer for good). A placeholder without data is served from an empty source
// without opening it.
TEST(FetchSources, WhatIsNoFileIsRefusedBeforeItIsOpened) {
    enum Kind { kPipe, kDirectory, kEmpty };
    const char* const noData = "holds no data for the placeholder's 5000 bytes (an empty file, or a pipe)";
    const struct Row {
        std::wstring identity;  // a cache reference reads the product cache, any other identity staging
        Kind kind;
        LONGLONG size;
        const char* cause;  // null: served, with no bytes
    } rows[] = {
        {L"f.bin", kPipe, 5000, "is a device"},
        {L"cf\td1\ti1\tf.bin", kPipe, 0, "is a device"},
        {L"cf\td1\ti1\tf.bin", kDirectory, 5000, "is a directory"},
        {L"cf\td1\ti1\tf.bin", kEmpty, 5000, noData},
        {L"f.bin", kEmpty, 0, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Utf8(row.identity) + " " + std::to_string(row.kind) + " " + std::to_string(row.size));
        Scene scene;
        ProviderConnected = true;  // a provider serving: a miss would wait for the engine
        const std::string path = row.identity[0] == L'c' ? scene.Cache() + "/d1/i1/f.bin" : scene.Staging() + "/f.bin";
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        const int made = row.kind == kPipe ? mkfifo(path.c_str(), 0600) : row.kind == kDirectory ? mkdir(path.c_str(), 0700) : 0;
        ASSERT_EQ(made, 0);
        if (row.kind == kEmpty) WriteFileBytes(path, "");
        Request fetch(row.identity);
        fetch.info.FileSize.QuadPart = row.size;
        fetch.params.FetchData.RequiredLength.QuadPart = row.size;
        {
            FetchRun run(fetch, {path});
            EXPECT_TRUE(run.EndsWithin(kPromptMs));
        }
        ProviderConnected = false;
        EXPECT_EQ(Transfers(scene.fake),
                  (std::vector<std::vector<LONGLONG>>{{row.cause != nullptr ? kUnsuccessful : 0, 0, row.size}}));
        const std::string last = row.cause != nullptr ? "[ERROR] HYDRATE source is no file to read - refusing: " +
                                                            Utf8(WindowsPathOf(path)) + " " + row.cause
                                                      : "[HYDRATE] HYDRATE_FROM_STAGING bytes=0 hr=0x00000000 (no network)";
        EXPECT_EQ(scene.Log(), (std::vector<std::string>{kEntered, last}));
        EXPECT_TRUE(scene.Records().empty());  // it is there: no download is asked for
    }
}

// A fetch waiting for the engine to fill the product cache: the file arriving serves it (a part of it is not taken for
// the whole), a directory arriving is refused at once; the platform's cancel (during the wait, or before it began:
// both run on callback threads at once) and the provider's stop end the wait at once, unanswered (nobody waits for a
// cancelled fetch; the disconnection fails the stopping provider's requests).
TEST(FetchWaits, TheEnginesDeliveryTheCancelAndTheStopEndTheWait) {
    enum class Act { kDeliver, kDeliverDirectory, kCancel, kCancelFirst, kStop };
    const std::string source = PatternBytes(5000, 3);
    const struct Row {
        const char* name;
        Act act;
        std::vector<std::vector<LONGLONG>> sent;  // status, offset and length of each transfer
        std::string last;                         // the last line of the log
    } rows[] = {
        {"the engine delivers", Act::kDeliver, {{0, 0, 5000}},
         "[HYDRATE] HYDRATE_FROM_ENGINE_CACHE bytes=5000 hr=0x00000000 (no network)"},
        {"the engine delivers a directory", Act::kDeliverDirectory, {{kUnsuccessful, 0, 5000}},
         "[ERROR] HYDRATE source is no file to read - refusing: {cache} is a directory"},
        {"cancelled while waiting", Act::kCancel, {}, "[HYDRATE] cache miss wait ended - the fetch was cancelled"},
        {"cancelled before waiting", Act::kCancelFirst, {}, "[HYDRATE] cache miss wait ended - the fetch was cancelled"},
        {"the provider stops", Act::kStop, {}, "[HYDRATE] cache miss wait ended - the provider stops"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Scene scene;
        ProviderConnected = true;
        const std::string cache = scene.Cache() + "/d1/i1/w.bin";
        Request fetch(std::wstring(L"cf\td1\ti1\tw.bin"));
        fetch.info.FileSize.QuadPart = 5000;
        fetch.params.FetchData.RequiredLength.QuadPart = 5000;
        // Another fetch's cancel, before and during the wait, ends nothing.
        Request other(std::wstring(L"cf\td1\ti2\tv.bin"));
        other.info.TransferKey.QuadPart = fetch.info.TransferKey.QuadPart + 1;
        OnCancelFetchData(&other.info, &other.params);
        if (row.act == Act::kCancelFirst) OnCancelFetchData(&fetch.info, &fetch.params);
        {
            FetchRun run(fetch);
            ASSERT_TRUE(WaitUntil([&] { return scene.Records().size() == 1; }, kPromptMs));
            OnCancelFetchData(&other.info, &other.params);
            if (row.act != Act::kCancelFirst) {
                EXPECT_FALSE(run.EndsWithin(300));  // waiting for the engine
            }
            if (row.act == Act::kDeliver) {
                Put(cache, source.substr(0, 4096));  // the engine is still writing it
                EXPECT_FALSE(run.EndsWithin(600));
                Put(cache, source);
            }
            if (row.act == Act::kDeliverDirectory) std::filesystem::create_directories(cache);
            if (row.act == Act::kCancel) OnCancelFetchData(&fetch.info, &fetch.params);
            if (row.act == Act::kStop) ProviderConnected = false;
            EXPECT_TRUE(run.EndsWithin(kPromptMs));
        }
        ProviderConnected = false;
        EXPECT_EQ(Transfers(scene.fake), row.sent);
        const std::vector<RecordedCall> calls = scene.fake.CallsOf("Execute");
        if (row.act == Act::kDeliver && calls.size() == 1) {
            EXPECT_TRUE(std::string(calls[0].transferBytes.begin(), calls[0].transferBytes.end()) == source);
        }
        std::vector<std::string> log = scene.Log();
        const std::string cancelLine = "[HYDRATE] CANCEL_FETCH_DATA";
        EXPECT_EQ(std::count(log.begin(), log.end(), cancelLine),
                  row.act == Act::kCancel || row.act == Act::kCancelFirst ? 3 : 2);
        log.erase(std::remove(log.begin(), log.end(), cancelLine), log.end());
        std::string last = row.last;
        if (last.find("{cache}") != std::string::npos) last.replace(last.find("{cache}"), 7, Utf8(WindowsPathOf(cache)));
        EXPECT_EQ(log, (std::vector<std::string>{kEntered, kMiss, last}));
    }
}
