// filter_hydration_test.cpp - hydration across processes: a provider process serves, other processes read.
// Exact bytes, the 4 KiB transfer rule, failures, a provider that dies or hangs, shared fetches, explicit hydration.
#include <csignal>
#include <fstream>

#include "tests/platform/filter_test_support.h"

namespace filtertest {
namespace {

using HydrationTest = RegisteredRootTest;

struct SizeCase {
    const char* name;
    size_t size;
};
// Test listings show a case by its name, not by its bytes.
void PrintTo(const SizeCase& row, std::ostream* out) { *out << row.name; }

class ServedSizesTest : public RegisteredRootTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(ServedSizesTest, ReaderInAnotherProcessGetsExactlyTheSourceBytesAndTimesStay) {
    const SizeCase& row = GetParam();
    std::string bytes = Pattern(row.size);
    AddFile("data.bin", bytes);
    struct stat before = StatOf(Path("data.bin"));
    StartProvider({"--chunk", "4096"});

    ProcessResult cat = Cfemu({"cat", Path("data.bin")});

    ASSERT_EQ(cat.exitCode, 0) << cat.err;
    EXPECT_TRUE(cat.out == bytes) << "got " << cat.out.size() << " bytes, want " << bytes.size();
    EXPECT_TRUE(IsHydrated(Path("data.bin")));
    struct stat after = StatOf(Path("data.bin"));
    EXPECT_EQ(after.st_size, static_cast<off_t>(row.size));
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(after.st_mtim.tv_sec, UnixSecondsOfTicks(kWriteTicks));
    EXPECT_EQ(CountLines(log_, "FETCH_DATA path="), 1);
    std::string fetch = WaitForLine(log_, "FETCH_DATA");
    EXPECT_NE(fetch.find("offset=0 length=" + std::to_string(row.size) + " flags=0x0"), std::string::npos) << fetch;
    // Whole chunks of 4 KiB, the last one up to the end of the file.
    int chunks = row.size == 0 ? 1 : static_cast<int>((row.size + 4095) / 4096);
    EXPECT_EQ(WaitForCount(log_, "status=0x00000000 hr=0x00000000", chunks), chunks);
    EXPECT_EQ(CountLines(log_, "TRANSFER"), chunks);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ServedSizesTest,
                         ::testing::Values(SizeCase{"Empty", 0}, SizeCase{"OneByte", 1}, SizeCase{"PageMinusOne", 4095},
                                           SizeCase{"OnePage", 4096}, SizeCase{"PagePlusOne", 4097},
                                           SizeCase{"NineMiBPlusOne", 9 * 1024 * 1024 + 1}),
                         [](const ::testing::TestParamInfo<SizeCase>& info) { return std::string(info.param.name); });

TEST_F(HydrationTest, MisalignedMiddleChunksAreRefusedAndTheRequestStaysPending) {
    std::string bytes = Pattern(3 * 4096 + 5);
    AddFile("m.bin", bytes);
    StartProvider({"--fetch", "misaligned"});

    ProcessResult cat = Cfemu({"cat", Path("m.bin")});

    ASSERT_EQ(cat.exitCode, 0) << cat.err;
    EXPECT_TRUE(cat.out == bytes);
    EXPECT_EQ(WaitForCount(log_, "TRANSFER offset=4096 length=8197 status=0x00000000 hr=0x00000000", 1), 1);
    EXPECT_EQ(CountLines(log_, "TRANSFER offset=0 length=4096 status=0x00000000 hr=0x00000000"), 1);
    // Length not a multiple of 4 KiB while the range ends before the end of the file.
    EXPECT_EQ(CountLines(log_, "TRANSFER offset=4096 length=100 status=0x00000000 hr=0x80070057"), 1);
    // Offset not a multiple of 4 KiB, although the range reaches the end.
    EXPECT_EQ(CountLines(log_, "TRANSFER offset=4097 length=8196 status=0x00000000 hr=0x80070057"), 1);
}

struct FailureCase {
    const char* name;
    const char* status;
    const char* readerSees;
};
void PrintTo(const FailureCase& row, std::ostream* out) { *out << row.name; }

class FailureTransferTest : public RegisteredRootTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailureTransferTest, ReaderGetsTheMappedErrorAndTheFileStaysDehydrated) {
    AddFile("f.txt", "contents");
    StartProvider({"--fetch", std::string("fail:") + GetParam().status});

    ProcessResult cat = Cfemu({"cat", Path("f.txt")});

    EXPECT_EQ(cat.exitCode, 1);
    EXPECT_EQ(cat.out, "");
    EXPECT_NE(cat.err.find(GetParam().readerSees), std::string::npos) << cat.err;
    EXPECT_FALSE(IsHydrated(Path("f.txt")));
    EXPECT_TRUE(HoldsNoData(Path("f.txt")));
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, FailureTransferTest,
    ::testing::Values(FailureCase{"Unsuccessful", "0xC000CF12", "0x80070185 cloud operation unsuccessful"},
                      FailureCase{"AuthenticationFailed", "0xC000CF0F", "0x80070182"},
                      FailureCase{"NetworkUnavailable", "0xC000CF11", "0x80070184"},
                      FailureCase{"NonCloudStatusBecomesUnsuccessful", "0xC0000022", "0x80070185"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(HydrationTest, WithoutProviderReadFailsWithProviderNotRunningAndNoZeros) {
    AddFile("n.txt", "never served");

    ProcessResult cat = Cfemu({"cat", Path("n.txt")});

    EXPECT_EQ(cat.exitCode, 1);
    EXPECT_EQ(cat.out, "");
    EXPECT_NE(cat.err.find("0x8007016A cloud file provider is not running"), std::string::npos) << cat.err;
    EXPECT_FALSE(IsHydrated(Path("n.txt")));
}

TEST_F(HydrationTest, ProviderKilledMidFetchFailsTheReaderAtOnceAndLeavesTheFileDehydrated) {
    AddFile("k.bin", Pattern(5 * 4096));
    BackgroundProcess& provider = StartProvider({"--chunk", "4096", "--fetch", "partial-hang"});
    auto reader = StartCfemu({"cat", Path("k.bin")});
    ASSERT_FALSE(WaitForLine(log_, "HANGING after first chunk").empty());

    provider.Signal(SIGKILL);
    int exitCode = -1;
    // The request timeout is 60 s: ending well before it shows the death itself failed the request.
    ASSERT_TRUE(reader->Wait(5000, &exitCode));

    EXPECT_EQ(exitCode, 1);
    EXPECT_NE(reader->Err().find("0x80070194"), std::string::npos) << reader->Err();
    EXPECT_EQ(reader->Out(), "");
    EXPECT_FALSE(IsHydrated(Path("k.bin")));
    EXPECT_TRUE(IsPlaceholderPath(Path("k.bin")));
    // The first chunk was written before the provider died; the placeholder still has the time it was given.
    EXPECT_EQ(StatOf(Path("k.bin")).st_mtim.tv_sec, UnixSecondsOfTicks(kWriteTicks));
}

TEST_F(HydrationTest, UnansweredFetchTimesOutWithCancelToProviderAndTimeoutToReader) {
    AddFile("t.txt", "slow");
    StartProvider({"--fetch", "hang", "--timeout-ms", "300"});

    ProcessResult cat = Cfemu({"cat", Path("t.txt")});

    EXPECT_EQ(cat.exitCode, 1);
    EXPECT_NE(cat.err.find("0x800701AA"), std::string::npos) << cat.err;
    std::string cancel = WaitForLine(log_, "CANCEL_FETCH_DATA");
    ASSERT_FALSE(cancel.empty());
    EXPECT_NE(cancel.find("flags=0x1 offset=0 length=4"), std::string::npos) << cancel;
    std::string fetch = WaitForLine(log_, "FETCH_DATA path=");
    // The cancel names the same request as the fetch.
    auto keyOf = [](const std::string& line) {
        size_t at = line.find("key=");
        return at == std::string::npos ? std::string() : line.substr(at, line.find(' ', at) - at);
    };
    EXPECT_FALSE(keyOf(fetch).empty());
    EXPECT_EQ(keyOf(fetch), keyOf(cancel));
    EXPECT_FALSE(IsHydrated(Path("t.txt")));
}

// The sockets the provider holds for readers that wait (server ends of the root's socket, connected).
int WaitingReaders(const std::string& root) {
    std::string name = "@cfemu:" + root;
    int count = 0;
    for (const std::string& line : Lines(ReadFileBytes("/proc/net/unix"))) {
        // Num RefCount Protocol Flags Type St Inode Path; St 03 = connected.
        std::istringstream fields(line);
        std::string num, refs, protocol, flags, type, state, inode, path;
        fields >> num >> refs >> protocol >> flags >> type >> state >> inode >> path;
        if (path == name && state == "03") ++count;
    }
    return count;
}

TEST_F(HydrationTest, ConcurrentReadersInThreeProcessesShareOneFetch) {
    std::string bytes = Pattern(10000);
    AddFile("shared.bin", bytes);
    std::string release = base_ + "/release";
    StartProvider({"--fetch", "hold", "--hold", release, "--chunk", "4096"});
    std::vector<std::unique_ptr<BackgroundProcess>> readers;
    for (int i = 0; i < 3; ++i) readers.push_back(StartCfemu({"cat", Path("shared.bin")}));
    ASSERT_TRUE(WaitUntil([&] { return WaitingReaders(root_) == 3; }, 20000)) << WaitingReaders(root_);

    WriteFileBytes(release, "go");

    for (auto& reader : readers) {
        int exitCode = -1;
        ASSERT_TRUE(reader->Wait(20000, &exitCode));
        EXPECT_EQ(exitCode, 0) << reader->Err();
        EXPECT_TRUE(reader->Out() == bytes);
    }
    EXPECT_EQ(CountLines(log_, "FETCH_DATA path="), 1);
}

TEST_F(HydrationTest, ExplicitHydrationCarriesItsFlagAndAHydratedFileAsksNothing) {
    std::string bytes = Pattern(6000);
    AddFile("e.bin", bytes);
    StartProvider({"--chunk", "4096"});
    HANDLE file = CreateFileW(Win(Path("e.bin")).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER offset{}, length{};
    length.QuadPart = CF_EOF;

    HRESULT first = CfHydratePlaceholder(file, offset, length, CF_HYDRATE_FLAG_NONE, nullptr);
    HRESULT second = CfHydratePlaceholder(file, offset, length, CF_HYDRATE_FLAG_NONE, nullptr);
    CloseHandle(file);

    EXPECT_EQ(first, S_OK);
    EXPECT_EQ(second, S_OK);
    EXPECT_EQ(ReadFileBytes(Path("e.bin")), bytes);
    EXPECT_EQ(CountLines(log_, "FETCH_DATA path="), 1);
    std::string fetch = WaitForLine(log_, "FETCH_DATA");
    EXPECT_NE(fetch.find("offset=0 length=6000 flags=0x2"), std::string::npos) << fetch;
    EXPECT_NE(fetch.find("pid=" + std::to_string(getpid())), std::string::npos) << fetch;
}

TEST_F(HydrationTest, ExplicitHydrationWithoutProviderFailsAndNotAPlaceholderIsRefused) {
    AddFile("p.txt", "abc");
    WriteFileBytes(Path("plain.txt"), "plain");
    LARGE_INTEGER offset{}, length{};
    length.QuadPart = CF_EOF;
    HANDLE placeholder = CreateFileW(Win(Path("p.txt")).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE plain = CreateFileW(Win(Path("plain.txt")).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(placeholder, INVALID_HANDLE_VALUE);
    ASSERT_NE(plain, INVALID_HANDLE_VALUE);

    EXPECT_EQ(CfHydratePlaceholder(placeholder, offset, length, 0, nullptr), static_cast<HRESULT>(0x8007016A));
    EXPECT_EQ(CfHydratePlaceholder(plain, offset, length, 0, nullptr), static_cast<HRESULT>(0x80070178));
    EXPECT_EQ(CfHydratePlaceholder(INVALID_HANDLE_VALUE, offset, length, 0, nullptr), static_cast<HRESULT>(0x80070006));
    CloseHandle(placeholder);
    CloseHandle(plain);
}

TEST_F(HydrationTest, DehydrateKeepsSizeTimesAndIdentityAndRehydrationServesTheSameBytes) {
    std::string bytes = Pattern(9000);
    AddFile("d.bin", bytes, L"cf\tdomain\titem\td.bin");
    AllowManagement(CF_PLACEHOLDER_MANAGEMENT_POLICY_UPDATE_UNRESTRICTED);
    StartProvider({"--chunk", "4096"});
    ASSERT_EQ(Cfemu({"cat", Path("d.bin")}).out, bytes);
    struct stat hydrated = StatOf(Path("d.bin"));
    ASSERT_FALSE(HoldsNoData(Path("d.bin")));

    ASSERT_EQ(Dehydrate("d.bin"), S_OK);
    struct stat dehydrated = StatOf(Path("d.bin"));
    EXPECT_EQ(dehydrated.st_size, 9000);
    EXPECT_TRUE(HoldsNoData(Path("d.bin")));
    EXPECT_EQ(dehydrated.st_mtim.tv_sec, hydrated.st_mtim.tv_sec);
    EXPECT_EQ(dehydrated.st_mtim.tv_nsec, hydrated.st_mtim.tv_nsec);
    EXPECT_EQ(dehydrated.st_atim.tv_sec, hydrated.st_atim.tv_sec);
    EXPECT_FALSE(IsHydrated(Path("d.bin")));
    std::vector<BYTE> identity;
    ASSERT_TRUE(cfemu::ReadIdentityAt(Path("d.bin"), &identity));
    EXPECT_EQ(identity, Utf16Blob(L"cf\tdomain\titem\td.bin"));

    ProcessResult again = Cfemu({"cat", Path("d.bin")});
    EXPECT_TRUE(again.out == bytes) << again.err;
    EXPECT_EQ(CountLines(log_, "FETCH_DATA path="), 2);
    EXPECT_EQ(CountLines(log_, "identity=cf\\tdomain\\titem\\td.bin key="), 2);
    EXPECT_EQ(StatOf(Path("d.bin")).st_mtim.tv_sec, UnixSecondsOfTicks(kWriteTicks));
}

TEST_F(HydrationTest, AppendHydratesFirstThenClearsInSyncSoDehydrationIsRefused) {
    AddFile("w.txt", "hello");
    AllowManagement(CF_PLACEHOLDER_MANAGEMENT_POLICY_UPDATE_UNRESTRICTED);
    StartProvider();

    ProcessResult append = Cfemu({"append", Path("w.txt"), " world"});

    ASSERT_EQ(append.exitCode, 0) << append.err;
    EXPECT_EQ(ReadFileBytes(Path("w.txt")), "hello world");
    cfemu::PlaceholderState state = StateOf(Path("w.txt"));
    EXPECT_EQ(state.flags & (cfemu::kStateHydrated | cfemu::kStateInSync), cfemu::kStateHydrated);
    EXPECT_EQ(Dehydrate("w.txt"), static_cast<HRESULT>(0x80070179));
    EXPECT_EQ(ReadFileBytes(Path("w.txt")), "hello world");
}

// The C runtime's "w" empties the file through the filter as CreateFileW's CREATE_ALWAYS does: the emptied
// placeholder counts as changed (no longer in sync, so it cannot be dehydrated back to the old contents), and
// its close is announced, even when nothing is written after the open.
TEST_F(HydrationTest, StreamOpenedForWritingEmptiesThePlaceholderAsAChange) {
    AddFile("s.txt", "old contents");
    StartProvider();
    ProcessResult cat = Cfemu({"cat", Path("s.txt")});
    ASSERT_EQ(cat.out, "old contents") << cat.err;
    ASSERT_EQ(WaitForCount(log_, "CLOSE_COMPLETION", 1), 1);

    FILE* stream = _wfopen(Win(Path("s.txt")).c_str(), L"wb");
    ASSERT_NE(stream, nullptr) << errno;
    EXPECT_EQ(std::fclose(stream), 0);

    EXPECT_EQ(ReadFileBytes(Path("s.txt")), "");
    EXPECT_EQ(StateOf(Path("s.txt")).flags & (cfemu::kStateHydrated | cfemu::kStateInSync), cfemu::kStateHydrated);
    EXPECT_EQ(WaitForCount(log_, "CLOSE_COMPLETION", 2), 2) << ReadFileBytes(log_);
    EXPECT_EQ(CountLines(log_, "FETCH_DATA"), 1);
}

TEST_F(HydrationTest, DehydrationRefusals) {
    WriteFileBytes(Path("plain.txt"), "plain");
    PlaceholderSpec notInSync{L"loose.txt", 10, L"x", CF_PLACEHOLDER_CREATE_FLAG_NONE};
    PlaceholderSpec alwaysFull{L"full.txt", 10, L"x",
                               CF_PLACEHOLDER_CREATE_FLAG_MARK_IN_SYNC | CF_PLACEHOLDER_CREATE_FLAG_ALWAYS_FULL};
    PlaceholderSpec readOnly{L"ro.txt", 10, L"x"};
    ASSERT_EQ(CreatePlaceholder(root_, notInSync), S_OK);
    ASSERT_EQ(CreatePlaceholder(root_, alwaysFull), S_OK);
    ASSERT_EQ(CreatePlaceholder(root_, readOnly), S_OK);
    struct Row {
        const char* name;
        DWORD access;
        HRESULT expected;
    };
    const Row rows[] = {
        {"plain.txt", GENERIC_READ | GENERIC_WRITE, static_cast<HRESULT>(0x80070178)},
        {"loose.txt", GENERIC_READ | GENERIC_WRITE, static_cast<HRESULT>(0x80070179)},
        {"full.txt", GENERIC_READ | GENERIC_WRITE, static_cast<HRESULT>(0x800701B2)},
        {"ro.txt", GENERIC_READ, static_cast<HRESULT>(0x8007018B)},
        {"ro.txt", GENERIC_READ | GENERIC_WRITE, S_OK},  // already dehydrated: nothing to do
    };
    LARGE_INTEGER offset{}, length{};
    length.QuadPart = CF_EOF;
    for (const Row& row : rows) {
        HANDLE file = CreateFileW(Win(Path(row.name)).c_str(), row.access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << row.name;
        EXPECT_EQ(CfDehydratePlaceholder(file, offset, length, 0, nullptr), row.expected) << row.name;
        CloseHandle(file);
    }

    // Any other handle open on the file, even one for attributes only that shares everything, or one of
    // another process, makes the dehydration a sharing violation; alone, the caller may dehydrate.
    AddFile("busy.txt", "busy");
    StartProvider();
    ASSERT_EQ(Cfemu({"cat", Path("busy.txt")}).out, "busy");
    providers_.back()->Signal(SIGKILL);
    ASSERT_TRUE(providers_.back()->Wait(10000));
    HANDLE other = CreateFileW(Win(Path("busy.txt")).c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Dehydrate("busy.txt"), static_cast<HRESULT>(0x80070020));
    CloseHandle(other);
    auto holder = StartCfemu({"hold", Path("busy.txt"), "r", "rwd"});
    ASSERT_FALSE(WaitForText(*holder, "holding").empty());
    EXPECT_EQ(Dehydrate("busy.txt"), static_cast<HRESULT>(0x80070020));
    holder->Signal(SIGTERM);
    ASSERT_TRUE(holder->Wait(10000));
    EXPECT_TRUE(IsHydrated(Path("busy.txt")));
    EXPECT_EQ(Dehydrate("busy.txt"), S_OK);
    EXPECT_FALSE(IsHydrated(Path("busy.txt")));
}

TEST_F(HydrationTest, SecondConnectionFromAnotherProcessIsRefused) {
    StartProvider();
    CF_CALLBACK_REGISTRATION table[] = {{CF_CALLBACK_TYPE_NONE, nullptr}};
    CF_CONNECTION_KEY key{};

    EXPECT_EQ(CfConnectSyncRoot(Win(root_).c_str(), table, nullptr, CF_CONNECT_FLAG_NONE, &key),
              static_cast<HRESULT>(0x8007017A));

    // A second provider process is refused as well and says so.
    std::string otherLog = base_ + "/other-log.txt";
    ProcessResult other = RunProcess({ProviderBinary(), root_, otherLog}, 20000);
    EXPECT_EQ(other.exitCode, 1);
    EXPECT_NE(ReadFileBytes(otherLog).find("CONNECT_FAILED hr=0x8007017A"), std::string::npos);
}

// While a provider is connected only it creates and dehydrates placeholders, unless the registration's
// placeholder-management policy lifts that for creation (0x1) or for updates such as dehydration (0x4).
TEST_F(HydrationTest, PlaceholderManagementPolicyDecidesWhoElseMayCreateAndDehydrate) {
    const HRESULT providerOnly = static_cast<HRESULT>(0x8007017E);
    struct Row {
        CF_PLACEHOLDER_MANAGEMENT_POLICY management;
        ULONG policiesSize;  // 20: the older record without the policy, which means the default
        HRESULT create, dehydrate;
    } rows[] = {
        {0x0, 24, providerOnly, providerOnly}, {0x0, 20, providerOnly, providerOnly}, {0x1, 24, S_OK, providerOnly},
        {0x2, 24, providerOnly, providerOnly}, {0x4, 24, providerOnly, S_OK},         {0x5, 24, S_OK, S_OK},
    };
    const size_t kRows = sizeof(rows) / sizeof(rows[0]);
    for (size_t i = 0; i <= kRows; ++i) AddFile("m" + std::to_string(i) + ".bin", "managed");
    StartProvider({"--create", "by-provider.txt=12"});
    EXPECT_FALSE(WaitForLine(log_, "CREATE by-provider.txt=12 hr=0x00000000").empty());
    EXPECT_TRUE(IsPlaceholderPath(Path("by-provider.txt")));

    for (size_t i = 0; i < kRows; ++i) {
        const Row& row = rows[i];
        const std::string name = "m" + std::to_string(i) + ".bin";
        ASSERT_EQ(Cfemu({"cat", Path(name)}).out, "managed");
        AllowManagement(row.management, row.policiesSize);
        PlaceholderSpec spec{L"by-other" + std::to_wstring(i) + L".txt", 5, L"x"};
        EXPECT_EQ(CreatePlaceholder(root_, spec), row.create) << i;
        EXPECT_EQ(IsPlaceholderPath(Path(posix::WideToUtf8(spec.name))), row.create == S_OK) << i;
        EXPECT_EQ(Dehydrate(name), row.dehydrate) << i;
        EXPECT_EQ(IsHydrated(Path(name)), row.dehydrate != S_OK) << i;
    }

    // Without a provider anyone may do both, whatever the policy.
    AllowManagement(CF_PLACEHOLDER_MANAGEMENT_POLICY_DEFAULT);
    const std::string last = "m" + std::to_string(kRows) + ".bin";
    ASSERT_EQ(Cfemu({"cat", Path(last)}).out, "managed");
    providers_.back()->Signal(SIGKILL);
    ASSERT_TRUE(providers_.back()->Wait(10000));
    PlaceholderSpec spec{L"after.txt", 5, L"x"};
    EXPECT_EQ(CreatePlaceholder(root_, spec), S_OK);
    EXPECT_EQ(Dehydrate(last), S_OK);
}

TEST_F(HydrationTest, UnregisterWhileAnotherProcessIsConnectedIsInUse) {
    AddFile("u.txt", "u");
    StartProvider();

    EXPECT_EQ(CfUnregisterSyncRoot(Win(root_).c_str()), static_cast<HRESULT>(0x80070187));
    EXPECT_TRUE(IsPlaceholderPath(Path("u.txt")));

    providers_.back()->Signal(SIGKILL);
    ASSERT_TRUE(providers_.back()->Wait(10000));
    EXPECT_EQ(CfUnregisterSyncRoot(Win(root_).c_str()), S_OK);
}

}  // namespace
}  // namespace filtertest
