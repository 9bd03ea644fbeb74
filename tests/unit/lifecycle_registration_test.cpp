// lifecycle_registration_test.cpp - registration, unregistration, connect and disconnect, the manifest watch.
#include "hydration/fetch_data.h"
#include "layout/sync_root_identity.h"
#include "syncroot/connection.h"
#include "syncroot/registration.h"
#include "tests/unit/unit_fixture.h"
#include "writeback/close_writeback.h"
#include "writeback/notifications.h"

#include <atomic>
#include <cstring>
#include <map>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

class Lifecycle : public UnitTest {
protected:
    void SetUp() override { ProviderConnected = false; }
    void TearDown() override { ProviderConnected = false; }
};

}  // namespace

TEST_F(Lifecycle, RegistrationRecordPoliciesAndStatuses) {
    // Each registration, by the calls it makes: fine; refused as registered already, then updated; refused and
    // refused again as an update; a positive success code (reported as 0); refused as invalid, so a platform that
    // does not know the unrestricted policy is asked once more with the default policy in the older, 20-byte record
    // (accepted; refused as registered, then updated; refused as invalid again).
    const HRESULT registered = static_cast<HRESULT>(0x8007017C), denied = static_cast<HRESULT>(0x80070005);
    const std::map<int, HRESULT> statuses = {{2, registered}, {4, denied}, {5, denied}, {6, S_FALSE},
                                             {7, E_INVALIDARG}, {9, E_INVALIDARG}, {10, registered},
                                             {12, E_INVALIDARG}, {13, E_INVALIDARG}};
    for (const auto& [call, status] : statuses) fake.FailCall(call, status);
    const std::string seed = env.ProviderBase() + "/Staging/hello-from-engine.txt";
    for (HRESULT expected : {S_OK, S_OK, denied, S_OK, S_OK, S_OK, E_INVALIDARG}) {
        // The seed file is written before the platform is asked, whatever it answers.
        unlink(seed.c_str());
        EXPECT_EQ(RegisterProviderSyncRoot(), expected);
        EXPECT_EQ(ReadFileBytes(seed).size(), 93u);
    }

    const std::wstring identity = BuildSyncRootId();
    const GUID providerId = {0x564F534B, 0x4543, 0x4669, {0x6C, 0x65, 0x73, 0x70, 0x69, 0x6B, 0x65, 0x31}};
    const auto calls = fake.Calls();
    ASSERT_EQ(calls.size(), 13u);
    for (const RecordedCall& call : calls) {
        SCOPED_TRACE(call.callNumber);
        const bool fallback = call.callNumber == 8 || call.callNumber == 10 || call.callNumber == 11 ||
                              call.callNumber == 13;
        const bool update = call.callNumber == 3 || call.callNumber == 5 || call.callNumber == 11;
        EXPECT_EQ(call.op, "Register");
        EXPECT_EQ(call.path, ProviderPaths.syncRoot);
        EXPECT_EQ(call.registration.StructSize, 72u);
        EXPECT_EQ(call.providerName, L"VOSKE");
        EXPECT_EQ(call.providerVersion, L"0.1.0-spike");
        EXPECT_EQ(call.syncRootIdentity, EncodeIdentityBlob(identity));
        EXPECT_EQ(call.registration.SyncRootIdentityLength, 2 * identity.size() + 2);
        EXPECT_EQ(call.registration.FileIdentityLength, 0u);
        EXPECT_EQ(memcmp(&call.registration.ProviderId, &providerId, sizeof(GUID)), 0);
        // Full hydration, full population, in sync by last-write time; create and update unrestricted.
        CF_SYNC_POLICIES policies{};
        policies.StructSize = fallback ? 20u : 24u;
        policies.Hydration.Primary = 2;
        policies.Population.Primary = 3;
        policies.InSync = 0x100;
        policies.PlaceholderManagement = fallback ? 0u : 0x5u;
        EXPECT_EQ(memcmp(&call.policies, &policies, sizeof(policies)), 0);
        EXPECT_EQ(call.flags, update ? CF_REGISTER_FLAG_UPDATE : CF_REGISTER_FLAG_NONE);
    }
    const std::string ok = "[REGISTER] Registered sync root: " + Narrow(ProviderPaths.syncRoot) +
                           " id=" + Narrow(identity);
    const std::string failed = "[ERROR] CfRegisterSyncRoot failed hr=0x8007";
    const std::string fallback =
        "[REGISTER] Unrestricted placeholder management refused - registering with the default policy";
    const std::string path = " path=" + Narrow(ProviderPaths.syncRoot);
    auto updating = [](const char* hr) {
        return std::string("[REGISTER] Registration refused hr=") + hr + " - updating the registered sync root";
    };
    EXPECT_EQ(Log(), (std::vector<std::string>{ok, updating("0x8007017C"), ok, updating("0x80070005"),
                                               failed + "0005" + path +
                                                   " - access is denied (another user's root, or a file held read-only)",
                                               ok, fallback, ok, fallback, updating("0x8007017C"), ok, fallback,
                                               failed + "0057" + path + " - the platform refused the arguments"}));
}

TEST_F(Lifecycle, UnregisterRetriesOnlyWhileInUse) {
    const HRESULT inUse = static_cast<HRESULT>(0x80070187);
    const HRESULT denied = static_cast<HRESULT>(0x80070005);
    const std::string gone = "[UNREGISTER] Sync root unregistered", absent = "[UNREGISTER] Sync root already absent";
    auto attempt = [](int n, const char* hr) {
        const std::string words = std::string(hr) == "0x80070187"
                                      ? "the sync root is in use by a connected provider (stop it first)"
                                  : std::string(hr) == "0x80070005"
                                      ? "access is denied (another user's root, or a file held read-only)"
                                      : "the platform refused the request";
        return "[ERROR] CfUnregisterSyncRoot attempt " + std::to_string(n) + "/5 hr=" + hr + " - " + words;
    };
    const char* busy = "0x80070187";
    struct Row {
        std::vector<HRESULT> statuses;
        HRESULT expected;
        std::vector<std::string> lines;
    } rows[] = {
        {{S_OK}, S_OK, {gone}}, {{static_cast<HRESULT>(0x80070186)}, S_OK, {absent}},
        {{static_cast<HRESULT>(0x80070001)}, S_OK, {absent}},
        {{inUse, inUse, S_OK}, S_OK, {attempt(1, busy), attempt(2, busy), gone}},
        {{inUse, inUse, inUse, inUse, inUse},
         inUse,
         {attempt(1, busy), attempt(2, busy), attempt(3, busy), attempt(4, busy), attempt(5, busy)}},
        {{denied}, denied, {attempt(1, "0x80070005")}},
        {{inUse, denied}, denied, {attempt(1, busy), attempt(2, "0x80070005")}},
        // A provider still connected: Windows says "invalid request".
        {{static_cast<HRESULT>(0x8007017C), S_OK}, S_OK, {attempt(1, "0x8007017C"), gone}},
    };
    for (const Row& row : rows) {
        TempLocalAppData local;
        FakeCloudFiles script;
        for (size_t i = 0; i < row.statuses.size(); ++i) script.FailCall(static_cast<int>(i) + 1, row.statuses[i]);
        EXPECT_EQ(UnregisterProviderSyncRoot(), row.expected);
        const auto calls = script.Calls();
        EXPECT_EQ(calls.size(), row.statuses.size());
        for (const RecordedCall& call : calls) {
            EXPECT_EQ(call.op, "Unregister");
            EXPECT_EQ(call.path, ProviderPaths.syncRoot);
        }
        EXPECT_EQ(LogMessages(local.LogFile()), row.lines);
    }
}

TEST_F(Lifecycle, ConnectDisconnectOnceAndUnregister) {
    EXPECT_EQ(DisconnectProvider(), S_OK);  // not connected: the platform is not asked
    EXPECT_EQ(fake.Calls().size(), 0u);
    fake.FailCall(1, S_FALSE);
    ASSERT_EQ(ConnectProvider(), S_OK);  // a positive success code is success
    EXPECT_TRUE(ProviderConnected);
    EXPECT_EQ(ProviderConnectionKey.Internal, 0x5150);
    const RecordedCall connect = fake.Calls().at(0);
    EXPECT_EQ(connect.path, ProviderPaths.syncRoot);
    EXPECT_EQ(connect.flags, 6u);
    const std::vector<std::pair<CF_CALLBACK_TYPE, CF_CALLBACK>> table = {
        {0, OnFetchData},    {2, OnCancelFetchData}, {6, OnNotifyFileCloseCompletion},
        {9, OnNotifyDelete}, {11, OnNotifyRename},   {0xFFFFFFFFu, nullptr},
    };
    std::vector<std::pair<CF_CALLBACK_TYPE, CF_CALLBACK>> given;
    for (const CF_CALLBACK_REGISTRATION& entry : connect.callbackTable) given.emplace_back(entry.Type, entry.Callback);
    EXPECT_TRUE(given == table);

    EXPECT_EQ(DisconnectProvider(), S_OK);
    EXPECT_EQ(DisconnectProvider(), S_OK);
    // A failing disconnect is logged under CONNECT, not ERROR, and still clears the flag.
    ASSERT_EQ(ConnectProvider(), S_OK);
    fake.SetStatus("Disconnect", E_INVALIDARG);
    EXPECT_EQ(DisconnectProvider(), E_INVALIDARG);
    EXPECT_FALSE(ProviderConnected);
    EXPECT_EQ(DisconnectProvider(), S_OK);
    fake.SetStatus("Disconnect", S_OK);
    // Unregistering disconnects first.
    ASSERT_EQ(ConnectProvider(), S_OK);
    EXPECT_EQ(UnregisterProviderSyncRoot(), S_OK);
    std::vector<std::string> ops;
    for (const RecordedCall& call : fake.Calls()) {
        ops.push_back(call.op);
        if (call.op == "Disconnect") {
            EXPECT_EQ(call.connectionKey.Internal, 0x5150);
        }
    }
    EXPECT_EQ(ops, (std::vector<std::string>{"Connect", "Disconnect", "Connect", "Disconnect", "Connect", "Disconnect",
                                             "Unregister"}));
    const std::string connected = "[CONNECT] Provider connected - open placeholder in Explorer to hydrate";
    const std::string disconnected = "[CONNECT] CfDisconnectSyncRoot hr=0x00000000";
    EXPECT_EQ(Log(), (std::vector<std::string>{connected, disconnected, connected,
                                               "[CONNECT] CfDisconnectSyncRoot hr=0x80070057", connected, disconnected,
                                               "[UNREGISTER] Sync root unregistered"}));

    // Racing disconnects reach the platform once per connection.
    FakeCloudFiles race;
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(ConnectProvider(), S_OK);
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i) {
            threads.emplace_back([&] {
                while (!go) std::this_thread::yield();
                DisconnectProvider();
            });
        }
        go = true;
        for (auto& thread : threads) thread.join();
    }
    EXPECT_EQ(race.CallsOf("Disconnect").size(), 20u);
}

TEST_F(Lifecycle, ManifestWatchReseedsOnAnyTimeChange) {
    const std::string manifest = env.ProviderBase() + "/seed-manifest.tsv";
    auto setTime = [&](time_t seconds) {
        const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, manifest.c_str(), times, 0), 0);
    };
    FILETIME lastSeen = {0, 0};
    EXPECT_FALSE(WatchSeedManifestOnce(lastSeen));  // no manifest yet

    WriteFileBytes(manifest, "d\ti\t\t1\tf.txt\n");
    setTime(2000000000);
    EXPECT_TRUE(WatchSeedManifestOnce(lastSeen));
    EXPECT_FALSE(WatchSeedManifestOnce(lastSeen));
    setTime(1000000000);  // earlier counts as a change too
    EXPECT_TRUE(WatchSeedManifestOnce(lastSeen));
    ASSERT_EQ(unlink(manifest.c_str()), 0);
    EXPECT_FALSE(WatchSeedManifestOnce(lastSeen));
    WriteFileBytes(manifest, "d\ti\t\t1\tg.txt\n");
    setTime(1000000000);  // back with exactly the time last seen
    EXPECT_FALSE(WatchSeedManifestOnce(lastSeen));
    const std::string seeded = "[SEED] manifest seen 1 seeded 1 (cap 100000, no network)";
    EXPECT_EQ(Log(), (std::vector<std::string>{seeded, seeded}));
    EXPECT_EQ(fake.CallsOf("CreatePlaceholders").size(), 2u);
}
