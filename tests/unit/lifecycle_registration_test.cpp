// lifecycle_registration_test.cpp - registration record and policies, unregistration retries, disconnecting
// once only, the connect call and its callback table, and the connect verb's manifest watch.
#include "hydration/fetch_data.h"
#include "layout/provider_paths.h"
#include "layout/sync_root_identity.h"
#include "placeholders/identity.h"
#include "syncroot/connection.h"
#include "syncroot/registration.h"
#include "tests/support/fake_cloud_files.h"
#include "tests/support/test_env.h"
#include "writeback/close_writeback.h"
#include "writeback/notifications.h"

#include <gtest/gtest.h>

#include <atomic>
#include <clocale>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

class Lifecycle : public testing::Test {
protected:
    void SetUp() override { ProviderConnected = false; }
    void TearDown() override { ProviderConnected = false; }
    std::vector<std::string> Log() const { return LogMessages(env.LogFile()); }

    TempLocalAppData env;
    FakeCloudFiles fake;
};

}  // namespace

TEST_F(Lifecycle, RegistrationRecordAndPoliciesFieldByField) {
    unlink((env.ProviderBase() + "/Staging/hello-from-engine.txt").c_str());
    ASSERT_EQ(RegisterProviderSyncRoot(), S_OK);

    const auto calls = fake.Calls();
    ASSERT_EQ(calls.size(), 1u);
    const RecordedCall& call = calls[0];
    EXPECT_EQ(call.op, "Register");
    EXPECT_EQ(call.path, ProviderPaths.syncRoot);
    EXPECT_EQ(call.registration.StructSize, 72u);
    EXPECT_EQ(call.providerName, L"VOSKE");
    EXPECT_EQ(call.providerVersion, L"0.1.0-spike");
    const std::wstring identity = BuildSyncRootId();
    EXPECT_EQ(call.syncRootIdentity, EncodeIdentityBlob(identity));
    EXPECT_EQ(call.registration.SyncRootIdentityLength, 2 * identity.size() + 2);
    EXPECT_FALSE(call.registrationFileIdentityGiven);
    EXPECT_EQ(call.registration.FileIdentityLength, 0u);
    EXPECT_EQ(call.registration.ProviderId.Data1, 0x564F534Bu);
    EXPECT_EQ(call.registration.ProviderId.Data2, 0x4543);
    EXPECT_EQ(call.registration.ProviderId.Data3, 0x4669);
    const uint8_t data4[8] = {0x6C, 0x65, 0x73, 0x70, 0x69, 0x6B, 0x65, 0x31};
    EXPECT_EQ(memcmp(call.registration.ProviderId.Data4, data4, 8), 0);

    EXPECT_EQ(call.policies.StructSize, 24u);
    EXPECT_EQ(call.policies.Hydration.Primary, 2);
    EXPECT_EQ(call.policies.Hydration.Modifier, 0);
    EXPECT_EQ(call.policies.Population.Primary, 3);
    EXPECT_EQ(call.policies.Population.Modifier, 0);
    EXPECT_EQ(call.policies.InSync, 0x100u);
    EXPECT_EQ(call.policies.HardLink, 0u);
    EXPECT_EQ(call.policies.PlaceholderManagement, 0x5u);  // create and update unrestricted
    EXPECT_EQ(call.flags, 0u);

    EXPECT_EQ(Log(), std::vector<std::string>{"[REGISTER] Registered sync root: " + Narrow(ProviderPaths.syncRoot) +
                                              " id=" + Narrow(identity)});
    EXPECT_EQ(ReadFileBytes(env.ProviderBase() + "/Staging/hello-from-engine.txt").size(), 93u);
}

TEST_F(Lifecycle, RegistrationStatuses) {
    fake.FailCall(1, static_cast<HRESULT>(0x80070005));
    fake.FailCall(2, S_FALSE);
    unlink((env.ProviderBase() + "/Staging/hello-from-engine.txt").c_str());
    EXPECT_EQ(RegisterProviderSyncRoot(), static_cast<HRESULT>(0x80070005));
    // The seed file is written before the platform is asked, whatever it answers.
    EXPECT_EQ(ReadFileBytes(env.ProviderBase() + "/Staging/hello-from-engine.txt").size(), 93u);
    EXPECT_EQ(RegisterProviderSyncRoot(), S_OK);  // a positive success code is reported as 0
    // A platform that does not know the unrestricted policy refuses the record as invalid: registered once
    // more with the default policy in the older, 20-byte record. A second refusal is the failure.
    fake.FailCall(3, E_INVALIDARG);
    EXPECT_EQ(RegisterProviderSyncRoot(), S_OK);
    fake.FailCall(5, E_INVALIDARG);
    fake.FailCall(6, E_INVALIDARG);
    EXPECT_EQ(RegisterProviderSyncRoot(), E_INVALIDARG);
    const auto calls = fake.Calls();
    ASSERT_EQ(calls.size(), 6u);
    for (size_t i : {size_t{2}, size_t{4}}) {
        EXPECT_EQ(calls[i].policies.StructSize, 24u);
        EXPECT_EQ(calls[i].policies.PlaceholderManagement, 0x5u);
        EXPECT_EQ(calls[i + 1].policies.StructSize, 20u);
        EXPECT_EQ(calls[i + 1].policies.PlaceholderManagement, 0u);
        EXPECT_EQ(calls[i + 1].policies.InSync, 0x100u);  // everything else as before
    }
    const std::string fallback =
        "[REGISTER] Unrestricted placeholder management refused - registering with the default policy";
    const auto log = Log();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[0], "[ERROR] CfRegisterSyncRoot failed hr=0x80070005 path=" + Narrow(ProviderPaths.syncRoot));
    EXPECT_EQ(log[1].rfind("[REGISTER] Registered sync root: ", 0), 0u);
    EXPECT_EQ(log[2], fallback);
    EXPECT_EQ(log[3].rfind("[REGISTER] Registered sync root: ", 0), 0u);
    EXPECT_EQ(log[4], fallback);
    EXPECT_EQ(log[5], "[ERROR] CfRegisterSyncRoot failed hr=0x80070057 path=" + Narrow(ProviderPaths.syncRoot));
}

TEST_F(Lifecycle, UnregisterRetriesOnlyWhileInUse) {
    const HRESULT inUse = static_cast<HRESULT>(0x80070187);
    const HRESULT denied = static_cast<HRESULT>(0x80070005);
    auto attempt = [](int n, const char* hr) {
        return "[ERROR] CfUnregisterSyncRoot attempt " + std::to_string(n) + "/5 hr=" + hr;
    };
    struct Row {
        std::vector<HRESULT> statuses;
        HRESULT expected;
        std::vector<std::string> lines;
    } rows[] = {
        {{S_OK}, S_OK, {"[UNREGISTER] Sync root unregistered"}},
        {{static_cast<HRESULT>(0x80070186)}, S_OK, {"[UNREGISTER] Sync root already absent"}},
        {{static_cast<HRESULT>(0x80070001)}, S_OK, {"[UNREGISTER] Sync root already absent"}},
        {{inUse, inUse, S_OK},
         S_OK,
         {attempt(1, "0x80070187"), attempt(2, "0x80070187"), "[UNREGISTER] Sync root unregistered"}},
        {{inUse, inUse, inUse, inUse, inUse},
         inUse,
         {attempt(1, "0x80070187"), attempt(2, "0x80070187"), attempt(3, "0x80070187"), attempt(4, "0x80070187"),
          attempt(5, "0x80070187")}},
        {{denied}, denied, {attempt(1, "0x80070005")}},
        {{inUse, denied}, denied, {attempt(1, "0x80070187"), attempt(2, "0x80070005")}},
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

TEST_F(Lifecycle, ConnectDisconnectOnceUnregisterAndConsoleControl) {
    EXPECT_EQ(DisconnectProvider(), S_OK);  // not connected: the platform is not asked
    EXPECT_EQ(fake.CallCount(), 0u);
    fake.FailCall(1, static_cast<HRESULT>(0x80070186));
    fake.FailCall(2, S_FALSE);
    EXPECT_EQ(ConnectProvider(), static_cast<HRESULT>(0x80070186));
    EXPECT_FALSE(ProviderConnected);
    fake.SetConnectionKey(0x5150);
    ASSERT_EQ(ConnectProvider(), S_OK);  // a positive success code is success
    EXPECT_TRUE(ProviderConnected);
    EXPECT_EQ(ProviderConnectionKey.Internal, 0x5150);
    const RecordedCall connect = fake.Calls().at(1);
    EXPECT_EQ(connect.path, ProviderPaths.syncRoot);
    EXPECT_EQ(connect.flags, 6u);
    EXPECT_EQ(connect.callbackContext, nullptr);
    const std::vector<std::pair<CF_CALLBACK_TYPE, CF_CALLBACK>> table = {
        {0, OnFetchData},    {2, OnCancelFetchData}, {6, OnNotifyFileCloseCompletion},
        {9, OnNotifyDelete}, {11, OnNotifyRename},   {0xFFFFFFFFu, nullptr},
    };
    ASSERT_EQ(connect.callbackTable.size(), table.size());
    for (size_t i = 0; i < table.size(); ++i) {
        EXPECT_EQ(connect.callbackTable[i].Type, table[i].first) << i;
        EXPECT_EQ(connect.callbackTable[i].Callback, table[i].second) << i;
    }

    EXPECT_EQ(DisconnectProvider(), S_OK);
    EXPECT_EQ(DisconnectProvider(), S_OK);
    // A failing disconnect is logged under CONNECT, not ERROR, and still clears the flag.
    ASSERT_EQ(ConnectProvider(), S_OK);
    fake.SetStatus("Disconnect", E_INVALIDARG);
    EXPECT_EQ(DisconnectProvider(), E_INVALIDARG);
    EXPECT_FALSE(ProviderConnected);
    EXPECT_EQ(DisconnectProvider(), S_OK);
    fake.SetStatus("Disconnect", S_OK);
    // Unregistering disconnects first; Ctrl+C and closing the console disconnect and pass the event on.
    ASSERT_EQ(ConnectProvider(), S_OK);
    EXPECT_EQ(UnregisterProviderSyncRoot(), S_OK);
    ASSERT_EQ(ConnectProvider(), S_OK);
    EXPECT_EQ(OnConsoleControl(CTRL_C_EVENT), FALSE);
    EXPECT_EQ(OnConsoleControl(CTRL_CLOSE_EVENT), FALSE);
    std::vector<std::string> ops;
    for (const RecordedCall& call : fake.Calls()) {
        ops.push_back(call.op);
        if (call.op == "Disconnect") {
            EXPECT_EQ(call.connectionKey.Internal, 0x5150);
        }
    }
    EXPECT_EQ(ops, (std::vector<std::string>{"Connect", "Connect", "Disconnect", "Connect", "Disconnect", "Connect",
                                             "Disconnect", "Unregister", "Connect", "Disconnect"}));
    EXPECT_EQ(Log(), (std::vector<std::string>{
                         "[ERROR] CfConnectSyncRoot failed hr=0x80070186",
                         "[CONNECT] Provider connected - open placeholder in Explorer to hydrate",
                         "[CONNECT] CfDisconnectSyncRoot hr=0x00000000",
                         "[CONNECT] Provider connected - open placeholder in Explorer to hydrate",
                         "[CONNECT] CfDisconnectSyncRoot hr=0x80070057",
                         "[CONNECT] Provider connected - open placeholder in Explorer to hydrate",
                         "[CONNECT] CfDisconnectSyncRoot hr=0x00000000", "[UNREGISTER] Sync root unregistered",
                         "[CONNECT] Provider connected - open placeholder in Explorer to hydrate",
                         "[CONNECT] CfDisconnectSyncRoot hr=0x00000000"}));

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
    auto seedLines = [&] {
        int count = 0;
        for (const std::string& line : Log()) count += line.rfind("[SEED] manifest seen", 0) == 0;
        return count;
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
    EXPECT_EQ(seedLines(), 2);
    EXPECT_EQ(fake.CallsOf("CreatePlaceholders").size(), 2u);
}
