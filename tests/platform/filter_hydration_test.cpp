// filter_hydration_test.cpp - hydration across processes: a provider process serves, other processes read.
// Exact bytes, the 4 KiB transfer rule, failures, a provider that hangs, shared fetches, dehydration.
#include "tests/platform/platform_fixture.h"

namespace platformtest {
namespace {

class HydrationTest : public RegisteredRootTest {
  protected:
    // Registers the root again with another placeholder-management policy, as an update.
    void AllowManagement(CF_PLACEHOLDER_MANAGEMENT_POLICY management, ULONG size = sizeof(CF_SYNC_POLICIES)) {
        ASSERT_EQ(RegisterRoot(root_, L"0.1.0-spike", management, size, CF_REGISTER_FLAG_UPDATE), S_OK);
    }
    // Dehydrates through a handle of this process opened with `access` and share mode 0.
    HRESULT Dehydrate(const std::string& name, DWORD access = GENERIC_READ | GENERIC_WRITE) {
        HANDLE file = Open(Path(name), access);
        if (file == INVALID_HANDLE_VALUE) return HRESULT_FROM_WIN32(GetLastError());
        HRESULT hr = CfDehydratePlaceholder(file, {}, kWhole, CF_DEHYDRATE_FLAG_NONE, nullptr);
        CloseHandle(file);
        return hr;
    }
    const LARGE_INTEGER kWhole{.QuadPart = CF_EOF};
};

// Explicit hydration needs a provider and a placeholder, carries its flag and asks nothing of a hydrated file.
// Dehydration gives the data back and keeps size, times and identity; it is refused while any other handle is
// open (even an attribute-only one sharing everything, or another process's), for what is not a placeholder in sync
// with its data, and through a handle without write access. A changed file stays hydrated.
TEST_F(HydrationTest, ExplicitHydrationAndDehydration) {
    std::string bytes = Pattern(9000);
    AddFile("d.bin", bytes, L"cf\tdomain\titem\td.bin");
    AddFile("w.txt", "hello");
    AddFile("s.txt", "old contents");
    WriteFileBytes(Path("plain.txt"), "plain");
    ASSERT_EQ(CreatePlaceholder(root_, PlaceholderSpec{L"loose.txt", 10, L"x", CF_PLACEHOLDER_CREATE_FLAG_NONE}), S_OK);
    const auto fullFlags = CF_PLACEHOLDER_CREATE_FLAG_MARK_IN_SYNC | CF_PLACEHOLDER_CREATE_FLAG_ALWAYS_FULL;
    ASSERT_EQ(CreatePlaceholder(root_, PlaceholderSpec{L"full.txt", 10, L"x", fullFlags}), S_OK);
    HANDLE file = Open(Path("d.bin"), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    HANDLE plain = Open(Path("plain.txt"), GENERIC_READ);
    EXPECT_EQ(CfHydratePlaceholder(file, {}, kWhole, 0, nullptr), Hr(0x8007016A));
    EXPECT_EQ(CfHydratePlaceholder(plain, {}, kWhole, 0, nullptr), Hr(0x80070178));
    EXPECT_EQ(CfHydratePlaceholder(INVALID_HANDLE_VALUE, {}, kWhole, 0, nullptr), Hr(0x80070006));
    CloseHandle(plain);
    AllowManagement(CF_PLACEHOLDER_MANAGEMENT_POLICY_UPDATE_UNRESTRICTED);
    StartProvider();
    EXPECT_EQ(CfHydratePlaceholder(file, {}, kWhole, CF_HYDRATE_FLAG_NONE, nullptr), S_OK);
    EXPECT_EQ(CfHydratePlaceholder(file, {}, kWhole, CF_HYDRATE_FLAG_NONE, nullptr), S_OK);
    CloseHandle(file);
    EXPECT_TRUE(ReadFileBytes(Path("d.bin")) == bytes);
    const std::string fetch = "FETCH_DATA path=" + VolumeRelative(Path("d.bin")) + " ";
    EXPECT_EQ(CountLines(log_, fetch), 1);
    EXPECT_NE(WaitForLine(log_, fetch).find("offset=0 length=9000 flags=0x2"), std::string::npos);
    EXPECT_NE(WaitForLine(log_, fetch).find("pid=" + std::to_string(getpid())), std::string::npos);
    EXPECT_EQ(GetFileAttributesW(Win(Path("d.bin")).c_str()), FILE_ATTRIBUTE_NORMAL);
    struct stat hydrated = StatOf(Path("d.bin"));

    HANDLE other = Open(Path("d.bin"), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Dehydrate("d.bin"), Hr(0x80070020));
    CloseHandle(other);
    auto holder = Hold(Path("d.bin"), "r", "rwd");
    EXPECT_EQ(Dehydrate("d.bin"), Hr(0x80070020));
    holder.reset();
    EXPECT_EQ(Dehydrate("d.bin", GENERIC_READ), Hr(0x8007018B));
    EXPECT_TRUE(IsHydrated(Path("d.bin")));

    ASSERT_EQ(Dehydrate("d.bin"), S_OK);
    struct stat dehydrated = StatOf(Path("d.bin"));
    EXPECT_EQ(dehydrated.st_size, 9000);
    EXPECT_TRUE(HoldsNoData(Path("d.bin")));
    EXPECT_EQ(dehydrated.st_mtim.tv_sec, hydrated.st_mtim.tv_sec);
    EXPECT_EQ(dehydrated.st_mtim.tv_nsec, hydrated.st_mtim.tv_nsec);
    EXPECT_EQ(dehydrated.st_atim.tv_sec, hydrated.st_atim.tv_sec);
    EXPECT_FALSE(IsHydrated(Path("d.bin")));
    EXPECT_EQ(GetFileAttributesW(Win(Path("d.bin")).c_str()), FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS);
    std::vector<BYTE> identity;
    ASSERT_TRUE(cfemu::ReadIdentityAt(Path("d.bin"), &identity));
    EXPECT_EQ(identity, Utf16Blob(L"cf\tdomain\titem\td.bin"));
    EXPECT_EQ(Dehydrate("d.bin"), S_OK);  // already dehydrated: nothing to do
    ProcessResult again = Cfemu({"cat", Path("d.bin")});
    EXPECT_TRUE(again.out == bytes) << again.err;
    EXPECT_EQ(CountLines(log_, "identity=cf\\tdomain\\titem\\td.bin key="), 2);

    ProcessResult append = Cfemu({"append", Path("w.txt"), " world"});
    ASSERT_EQ(append.exitCode, 0) << append.err;
    // The C runtime's "w" empties the file as CREATE_ALWAYS does, and its close is announced with nothing written.
    const std::string closeOfS = "CLOSE_COMPLETION path=" + VolumeRelative(Path("s.txt"));
    ASSERT_EQ(Cfemu({"cat", Path("s.txt")}).out, "old contents");
    ASSERT_EQ(WaitForCount(log_, closeOfS, 1), 1);
    FILE* stream = _wfopen(Win(Path("s.txt")).c_str(), L"wb");
    ASSERT_NE(stream, nullptr) << errno;
    EXPECT_EQ(std::fclose(stream), 0);
    EXPECT_EQ(WaitForCount(log_, closeOfS, 2), 2);
    EXPECT_EQ(CountLines(log_, "FETCH_DATA path=" + VolumeRelative(Path("s.txt"))), 1);
    const std::string none(10, '\0');  // a dehydrated placeholder's holes
    const struct {
        const char* name;
        HRESULT expected;
        std::string contents;
    } refused[] = {
        {"w.txt", Hr(0x80070179), "hello world"}, {"s.txt", Hr(0x80070179), ""},
        {"loose.txt", Hr(0x80070179), none},      {"plain.txt", Hr(0x80070178), "plain"},
        {"full.txt", Hr(0x800701B2), none},
    };
    for (const auto& row : refused) {
        EXPECT_EQ(Dehydrate(row.name), row.expected) << row.name;
        EXPECT_EQ(ReadFileBytes(Path(row.name)), row.contents) << row.name;
    }
    EXPECT_EQ(StateOf(Path("w.txt")).flags & (cfemu::kStateHydrated | cfemu::kStateInSync), cfemu::kStateHydrated);
}

// While a provider is connected only it creates and dehydrates placeholders, unless the registration's
// placeholder-management policy lifts that for creation (0x1) or for updates such as dehydration (0x4).
TEST_F(HydrationTest, PlaceholderManagementPolicyDecidesWhoElseMayCreateAndDehydrate) {
    const HRESULT providerOnly = Hr(0x8007017E);
    const struct {
        CF_PLACEHOLDER_MANAGEMENT_POLICY management;
        ULONG policiesSize;  // 20: the older record without the policy, which means the default
        HRESULT create, dehydrate;
    } rows[] = {
        {0x0, 24, providerOnly, providerOnly}, {0x0, 20, providerOnly, providerOnly}, {0x1, 24, S_OK, providerOnly},
        {0x2, 24, providerOnly, providerOnly}, {0x4, 24, providerOnly, S_OK},         {0x5, 24, S_OK, S_OK},
    };
    const size_t kRows = std::size(rows);
    for (size_t i = 0; i <= kRows; ++i) AddFile("m" + std::to_string(i) + ".bin", "managed");
    StartProvider({"--create", "by-provider.txt=12"});
    EXPECT_FALSE(WaitForLine(log_, "CREATE by-provider.txt=12 hr=0x00000000").empty());
    EXPECT_TRUE(IsPlaceholderPath(Path("by-provider.txt")));

    for (size_t i = 0; i < kRows; ++i) {
        const std::string name = "m" + std::to_string(i) + ".bin";
        ASSERT_EQ(Cfemu({"cat", Path(name)}).out, "managed");
        AllowManagement(rows[i].management, rows[i].policiesSize);
        PlaceholderSpec spec{L"by-other" + std::to_wstring(i) + L".txt", 5, L"x"};
        EXPECT_EQ(CreatePlaceholder(root_, spec), rows[i].create) << i;
        EXPECT_EQ(IsPlaceholderPath(Path(posix::WideToUtf8(spec.name))), rows[i].create == S_OK) << i;
        EXPECT_EQ(Dehydrate(name), rows[i].dehydrate) << i;
        EXPECT_EQ(IsHydrated(Path(name)), rows[i].dehydrate != S_OK) << i;
    }

    // Without a provider anyone may do both, whatever the policy.
    AllowManagement(CF_PLACEHOLDER_MANAGEMENT_POLICY_DEFAULT);
    const std::string last = "m" + std::to_string(kRows) + ".bin";
    ASSERT_EQ(Cfemu({"cat", Path(last)}).out, "managed");
    KillProvider();
    EXPECT_EQ(CreatePlaceholder(root_, PlaceholderSpec{L"after.txt", 5, L"x"}), S_OK);
    EXPECT_EQ(Dehydrate(last), S_OK);
}

}  // namespace
}  // namespace platformtest
