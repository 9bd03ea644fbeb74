// placeholders_bench_test.cpp - the benchmark's batches, names and entries, its result rules, its failure line,
// and the millisecond conversion. The fake's hook creates the named files so the listing has something to count.
#include "layout/provider_paths.h"
#include "placeholders/bench.h"
#include "placeholders/identity.h"
#include "syncroot/registration.h"
#include "tests/support/fake_cloud_files.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

namespace {

class Bench : public testing::Test {
protected:
    void SetUp() override {
        ProviderConnected = false;
        fake.SetHook([](const RecordedCall& call) {
            if (call.op != "CreatePlaceholders" || FAILED(call.returned)) return;
            for (const RecordedPlaceholder& entry : call.placeholders) {
                WriteFileBytes(PosixPathOf(JoinPath(call.path, entry.relativeFileName)), "");
            }
        });
    }
    std::vector<std::string> Log() const { return LogMessages(env.LogFile()); }
    std::vector<std::string> Ops() const {
        std::vector<std::string> ops;
        for (const RecordedCall& call : fake.Calls()) ops.push_back(call.op);
        return ops;
    }

    TempLocalAppData env;
    FakeCloudFiles fake;
};

std::vector<std::string> ExpectedOps(int batches) {
    std::vector<std::string> ops = {"Unregister", "Register"};
    ops.insert(ops.end(), static_cast<size_t>(batches), "CreatePlaceholders");
    ops.push_back("Unregister");
    return ops;
}

const std::regex kBenchLine(
    R"(\[BENCH\] 10k placeholders create_ms=-?\d+\.\d enum_ms=-?\d+\.\d seen=(\d+) \(metadata only, no hydrate\))");

}  // namespace

TEST_F(Bench, TenThousandInFiftyBatchesFromAnEmptyRoot) {
    ASSERT_EQ(RunPlaceholderBench(), S_OK);
    EXPECT_EQ(Ops(), ExpectedOps(50));

    const auto creates = fake.CallsOf("CreatePlaceholders");
    const LONGLONG timestamp = creates.at(0).placeholders.at(0).fsMetadata.BasicInfo.CreationTime.QuadPart;
    EXPECT_GT(timestamp, 0);
    int index = 0;
    for (const RecordedCall& call : creates) {
        EXPECT_EQ(call.path, ProviderPaths.syncRoot);
        EXPECT_EQ(call.placeholderCount, 200u);
        EXPECT_EQ(call.flags, 0u);
        ASSERT_EQ(call.placeholders.size(), 200u);
        for (const RecordedPlaceholder& entry : call.placeholders) {
            wchar_t name[32];
            swprintf(name, 32, L"bench-%05d.txt", index++);
            ASSERT_EQ(entry.relativeFileName, name);
            ASSERT_EQ(entry.identity, EncodeIdentityBlob(name));
            ASSERT_EQ(entry.identityLength, 32u);
            ASSERT_EQ(entry.flags, 2u);
            ASSERT_EQ(entry.fsMetadata.FileSize.QuadPart, 0);
            ASSERT_EQ(entry.fsMetadata.BasicInfo.FileAttributes, 0x80u);
            const FILE_BASIC_INFO& times = entry.fsMetadata.BasicInfo;
            ASSERT_EQ(times.CreationTime.QuadPart, timestamp);
            ASSERT_EQ(times.LastAccessTime.QuadPart, timestamp);
            ASSERT_EQ(times.LastWriteTime.QuadPart, timestamp);
            ASSERT_EQ(times.ChangeTime.QuadPart, timestamp);
        }
    }
    EXPECT_EQ(index, 10000);

    const auto log = Log();
    ASSERT_EQ(log.size(), 4u);  // unregister, register, bench, unregister
    std::smatch match;
    ASSERT_TRUE(std::regex_match(log[2], match, kBenchLine)) << log[2];
    EXPECT_EQ(match[1], "10000");
}

TEST_F(Bench, AWrongCountAFailedBatchAndAFailedRegistrationEachEndTheRun) {
    WriteFileBytes(env.SyncRoot() + "/hello-from-engine.txt", "");
    WriteFileBytes(env.SyncRoot() + "/.hidden", "");  // dot names are not counted
    EXPECT_EQ(RunPlaceholderBench(), E_FAIL);
    EXPECT_EQ(Ops(), ExpectedOps(50));
    std::smatch match;
    const std::vector<std::string> log = Log();
    ASSERT_TRUE(std::regex_match(log.at(2), match, kBenchLine)) << log.at(2);
    EXPECT_EQ(match[1], "10001");

    for (const bool registration : {false, true}) {
        TempLocalAppData scene;
        FakeCloudFiles script;
        const HRESULT refused = static_cast<HRESULT>(registration ? 0x80070005 : 0x8007017C);
        if (registration) {
            script.FailCall(2, refused);
        } else {
            script.FailPlaceholder(L"bench-04213.txt", refused);
        }
        EXPECT_EQ(RunPlaceholderBench(), refused);
        std::vector<std::string> ops;
        for (const RecordedCall& call : script.Calls()) ops.push_back(call.op);
        EXPECT_EQ(ops, registration ? (std::vector<std::string>{"Unregister", "Register"}) : ExpectedOps(22));
        const std::vector<std::string> log = LogMessages(scene.LogFile());
        if (registration) {
            for (const std::string& line : log) EXPECT_EQ(line.find("bench"), std::string::npos) << line;
        } else {
            ASSERT_EQ(log.size(), 4u);
            EXPECT_EQ(log[2], "[ERROR] bench create failed at 4200 hr=0x8007017C processed=200");
            EXPECT_EQ(log[3], "[UNREGISTER] Sync root unregistered");
        }
    }
}

TEST(BenchElapsed, MillisecondsFromCounterTicks) {
    struct Row {
        LONGLONG start, end, frequency;
        double expected;
    } rows[] = {
        {0, 1000, 1000, 1000.0},
        {100, 50, 1000, -50.0},
        {5, 6, 10000000, 0.0001},
        {0, 3000000000LL, 1000000000, 3000.0},
    };
    for (const Row& row : rows) {
        EXPECT_DOUBLE_EQ(ElapsedMilliseconds(row.start, row.end, row.frequency), row.expected);
    }
}
