// filter_registration_test.cpp - registration, unregistration and placeholder creation of the emulated filter:
// statuses, what lands on disk (sparse size, times, identity, state) and what cfemu shows of it.
#include <sys/xattr.h>

#include <climits>
#include <csignal>

#include "tests/platform/filter_test_support.h"

namespace filtertest {
namespace {

using RegistrationTest = FilterTest;
using PlaceholderTest = RegisteredRootTest;

TEST_F(RegistrationTest, RegisterStatuses) {
    ASSERT_EQ(RegisterRoot(root_), S_OK);
    mkdir((root_ + "/inner").c_str(), 0755);
    WriteFileBytes(base_ + "/file.txt", "not a directory");
    struct Row {
        const char* name;
        std::string path;
        const wchar_t* version;
        HRESULT expected;
    };
    const Row rows[] = {
        {"same values again", root_, L"0.1.0-spike", S_OK},
        {"other values", root_, L"0.2.0", static_cast<HRESULT>(0x8007017C)},
        {"inside a root", root_ + "/inner", L"0.1.0-spike", static_cast<HRESULT>(0x8007017C)},
        {"above a root", base_, L"0.1.0-spike", static_cast<HRESULT>(0x8007017C)},
        {"missing directory", base_ + "/missing", L"0.1.0-spike", static_cast<HRESULT>(0x80070002)},
        {"a file", base_ + "/file.txt", L"0.1.0-spike", static_cast<HRESULT>(0x8007010B)},
    };
    for (const Row& row : rows) EXPECT_EQ(RegisterRoot(row.path, row.version), row.expected) << row.name;
    // Nothing of the refused registrations was written.
    cfemu::RootRecord kept;
    ASSERT_TRUE(cfemu::ReadRootRecord(root_, &kept));
    EXPECT_EQ(kept.providerVersion, "0.1.0-spike");
    EXPECT_FALSE(cfemu::ReadRootRecord(root_ + "/inner", nullptr));
    EXPECT_FALSE(cfemu::ReadRootRecord(base_, nullptr));
}

TEST_F(RegistrationTest, MalformedRegistrationsAreInvalidArguments) {
    std::vector<BYTE> identity = Utf16Blob(L"id");
    CF_SYNC_REGISTRATION registration{};
    registration.StructSize = sizeof(registration);
    registration.ProviderName = L"VOSKE";
    registration.ProviderVersion = L"1";
    registration.SyncRootIdentity = identity.data();
    registration.SyncRootIdentityLength = static_cast<DWORD>(identity.size());
    CF_SYNC_POLICIES policies{};
    policies.StructSize = sizeof(policies);
    std::wstring longName(256, L'n');
    struct Row {
        const char* name;
        void (*change)(CF_SYNC_REGISTRATION&, CF_SYNC_POLICIES&, const std::wstring&);
    };
    const Row rows[] = {
        {"registration size",
         [](CF_SYNC_REGISTRATION& r, CF_SYNC_POLICIES&, const std::wstring&) { r.StructSize = 71; }},
        {"policies size", [](CF_SYNC_REGISTRATION&, CF_SYNC_POLICIES& p, const std::wstring&) { p.StructSize = 8; }},
        {"no name", [](CF_SYNC_REGISTRATION& r, CF_SYNC_POLICIES&, const std::wstring&) { r.ProviderName = nullptr; }},
        {"name too long",
         [](CF_SYNC_REGISTRATION& r, CF_SYNC_POLICIES&, const std::wstring& n) { r.ProviderName = n.c_str(); }},
        {"file identity too long",
         [](CF_SYNC_REGISTRATION& r, CF_SYNC_POLICIES&, const std::wstring& n) {
             r.FileIdentity = n.c_str();
             r.FileIdentityLength = 4097;
         }},
    };
    for (const Row& row : rows) {
        CF_SYNC_REGISTRATION r = registration;
        CF_SYNC_POLICIES p = policies;
        row.change(r, p, longName);
        EXPECT_EQ(CfRegisterSyncRoot(Win(root_).c_str(), &r, &p, CF_REGISTER_FLAG_NONE), E_INVALIDARG) << row.name;
    }
    EXPECT_FALSE(cfemu::ReadRootRecord(root_, nullptr));
}

TEST_F(RegistrationTest, CfemuRootShowsTheRegistrationOfTheRootHoldingADirectory) {
    ASSERT_EQ(RegisterRoot(root_, L"0.1.0-spike", L"S-1-22-1-0\tVOSKE"), S_OK);
    mkdir((root_ + "/sub").c_str(), 0755);

    ProcessResult shown = Cfemu({"root", root_ + "/sub"});

    ASSERT_EQ(shown.exitCode, 0) << shown.err;
    EXPECT_EQ(shown.out, "root: " + root_ +
                             "\n"
                             "provider: VOSKE\n"
                             "version: 0.1.0-spike\n"
                             "id: {564F534B-4543-4669-6C65-7370696B6531}\n"
                             "identity: S-1-22-1-0\\tVOSKE\n"
                             "hydration: 2 modifier 0x0\n"
                             "population: 3 modifier 0x0\n"
                             "in-sync: 0x100\n"
                             "hardlink: 0x0\n"
                             "placeholder-management: 0x0\n"
                             "register-flags: 0x0\n"
                             "connected: no\n");
    ProcessResult outside = Cfemu({"root", base_});
    EXPECT_EQ(outside.exitCode, 1);
    EXPECT_NE(outside.err.find("0x80070186 not under a sync root (ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT"),
              std::string::npos)
        << outside.err;
}

TEST_F(RegistrationTest, UnregisterRemovesDehydratedKeepsHydratedAsOrdinaryFiles) {
    ASSERT_EQ(CfUnregisterSyncRoot(Win(root_).c_str()), static_cast<HRESULT>(0x80070186));
    ASSERT_EQ(RegisterRoot(root_), S_OK);
    AddFile("dehydrated.txt", "gone");
    AddFile("hydrated.txt", "stays");
    WriteFileBytes(Path("plain.txt"), "plain");
    PlaceholderSpec folder{L"folder", 0, L"dir"};
    folder.directory = true;
    ASSERT_EQ(CreatePlaceholder(root_, folder), S_OK);
    PlaceholderSpec inner{L"inner.txt", 3, L"in"};
    ASSERT_EQ(CreatePlaceholder(Path("folder"), inner), S_OK);
    StartProvider();
    ASSERT_EQ(Cfemu({"cat", Path("hydrated.txt")}).out, "stays");
    providers_.back()->Signal(SIGKILL);
    ASSERT_TRUE(providers_.back()->Wait(10000));

    ASSERT_EQ(CfUnregisterSyncRoot(Win(root_).c_str()), S_OK);

    EXPECT_FALSE(FileExists(Path("dehydrated.txt")));
    EXPECT_FALSE(FileExists(Path("folder/inner.txt")));
    EXPECT_EQ(ReadFileBytes(Path("hydrated.txt")), "stays");
    EXPECT_EQ(ReadFileBytes(Path("plain.txt")), "plain");
    EXPECT_TRUE(FileExists(Path("folder")));
    for (const char* name : {"hydrated.txt", "folder"}) {
        EXPECT_FALSE(IsPlaceholderPath(Path(name))) << name;
        EXPECT_LT(lgetxattr(Path(name).c_str(), cfemu::kIdentityAttribute, nullptr, 0), 0) << name;
    }
    EXPECT_FALSE(cfemu::ReadRootRecord(root_, nullptr));
    EXPECT_EQ(CfUnregisterSyncRoot(Win(root_).c_str()), static_cast<HRESULT>(0x80070186));
    // The directory is free again: registering anew works.
    EXPECT_EQ(RegisterRoot(root_, L"0.2.0"), S_OK);
}

TEST_F(PlaceholderTest, PlaceholderOnDiskIsSparseWithTimesStateAndIdentity) {
    PlaceholderSpec spec{L"hello.txt", 93, L"hello-from-engine.txt"};
    ASSERT_EQ(CreatePlaceholder(root_, spec), S_OK);

    struct stat st = StatOf(Path("hello.txt"));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_size, 93);
    EXPECT_TRUE(HoldsNoData(Path("hello.txt")));
    EXPECT_EQ(st.st_mtim.tv_sec, UnixSecondsOfTicks(kWriteTicks));
    EXPECT_EQ(st.st_atim.tv_sec, UnixSecondsOfTicks(kAccessTicks));
    cfemu::PlaceholderState state = StateOf(Path("hello.txt"));
    EXPECT_EQ(state.flags, cfemu::kStateInSync);
    EXPECT_EQ(state.creationTicks, static_cast<ULONGLONG>(kCreationTicks));
    EXPECT_EQ(state.changeTicks, static_cast<ULONGLONG>(kChangeTicks));
    // One record, 18 bytes of state and then the identity, small enough to live inside the inode.
    EXPECT_EQ(lgetxattr(Path("hello.txt").c_str(), cfemu::kStateAttribute, nullptr, 0), 18 + 44);
    EXPECT_LT(lgetxattr(Path("hello.txt").c_str(), cfemu::kIdentityAttribute, nullptr, 0), 0);
    std::vector<BYTE> identity;
    ASSERT_TRUE(cfemu::ReadIdentityAt(Path("hello.txt"), &identity));
    EXPECT_EQ(identity.size(), 44u);
    EXPECT_EQ(identity, Utf16Blob(L"hello-from-engine.txt"));
    // Windows callers see the stored creation time and the file's own last-write time.
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExW(Win(Path("hello.txt")).c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ((static_cast<LONGLONG>(data.ftCreationTime.dwHighDateTime) << 32) | data.ftCreationTime.dwLowDateTime,
              kCreationTicks);
    EXPECT_EQ((static_cast<LONGLONG>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime,
              kWriteTicks);
    EXPECT_EQ(data.nFileSizeLow, 93u);
}

TEST_F(PlaceholderTest, ZeroTimesAreTakenLiterally) {
    std::wstring name = L"zero.txt";
    CF_PLACEHOLDER_CREATE_INFO entry{};
    entry.RelativeFileName = name.c_str();
    entry.FsMetadata.FileSize.QuadPart = 1;
    DWORD processed = 0;
    ASSERT_EQ(CfCreatePlaceholders(Win(root_).c_str(), &entry, 1, CF_CREATE_FLAG_NONE, &processed), S_OK);

    EXPECT_EQ(StateOf(Path("zero.txt")).creationTicks, 0u);
    // 1601-01-01 where the file system can hold it; ext4 clamps to its earliest time, 1901-12-13.
    time_t written = StatOf(Path("zero.txt")).st_mtim.tv_sec;
    EXPECT_TRUE(written == -11644473600LL || written == INT_MIN) << written;
}

TEST_F(PlaceholderTest, BadEntriesFailOneByOne) {
    std::vector<BYTE> big(4097, 'x');
    std::vector<BYTE> large(2048, 'x');
    struct Row {
        std::wstring name;
        const std::vector<BYTE>* identity;
        HRESULT expected;
    };
    const Row rows[] = {
        {L"a/b", nullptr, static_cast<HRESULT>(0x8007017C)},
        {L"a\\b", nullptr, static_cast<HRESULT>(0x8007017C)},
        {L"", nullptr, static_cast<HRESULT>(0x8007017C)},
        {L".", nullptr, static_cast<HRESULT>(0x8007017C)},
        {L"..", nullptr, static_cast<HRESULT>(0x8007017C)},
        {L"big.txt", &big, E_INVALIDARG},
        {L"large.txt", &large, S_OK},
        {L"ünï €.txt", nullptr, S_OK},
    };
    std::vector<PlaceholderSpec> specs;
    for (const Row& row : rows) specs.push_back(PlaceholderSpec{row.name, 1, L""});
    std::vector<CF_PLACEHOLDER_CREATE_INFO> entries;
    for (size_t i = 0; i < specs.size(); ++i) {
        CF_PLACEHOLDER_CREATE_INFO entry = CreateInfo(specs[i], std::vector<BYTE>());
        if (rows[i].identity != nullptr) {
            entry.FileIdentity = rows[i].identity->data();
            entry.FileIdentityLength = static_cast<DWORD>(rows[i].identity->size());
        }
        entries.push_back(entry);
    }
    DWORD processed = 0;

    HRESULT hr = CfCreatePlaceholders(Win(root_).c_str(), entries.data(), static_cast<DWORD>(entries.size()),
                                      CF_CREATE_FLAG_NONE, &processed);

    EXPECT_EQ(hr, static_cast<HRESULT>(0x8007017C));  // the first failure
    EXPECT_EQ(processed, entries.size());
    for (size_t i = 0; i < entries.size(); ++i) EXPECT_EQ(entries[i].Result, rows[i].expected) << i;
    EXPECT_FALSE(FileExists(Path("big.txt")));
    EXPECT_TRUE(IsPlaceholderPath(Path("large.txt")));
    EXPECT_TRUE(IsPlaceholderPath(Path("ünï €.txt")));
}

TEST_F(PlaceholderTest, IdentityOfTheFullLengthIsStoredOrRefusedAsTooLargeLeavingNothing) {
    std::vector<BYTE> limit(4096, 'x');
    PlaceholderSpec spec{L"limit.txt", 1, L""};
    CF_PLACEHOLDER_CREATE_INFO entry = CreateInfo(spec, limit);
    DWORD processed = 0;

    HRESULT hr = CfCreatePlaceholders(Win(root_).c_str(), &entry, 1, CF_CREATE_FLAG_NONE, &processed);

    // tmpfs holds it; ext4 keeps all attributes of a file in one 4 KiB block, where it cannot fit.
    if (hr == S_OK) {
        std::vector<BYTE> stored;
        ASSERT_TRUE(cfemu::ReadIdentityAt(Path("limit.txt"), &stored));
        EXPECT_EQ(stored, limit);
    } else {
        EXPECT_EQ(hr, static_cast<HRESULT>(0x8007016C));
        EXPECT_FALSE(FileExists(Path("limit.txt")));
    }
    EXPECT_EQ(processed, 1u);
}

TEST_F(PlaceholderTest, ExistingNamesFailPerEntryAndEveryEntryIsTried) {
    PlaceholderSpec existing{L"a.txt", 1, L"old"};
    ASSERT_EQ(CreatePlaceholder(root_, existing), S_OK);
    WriteFileBytes(Path("local.txt"), "mine");
    std::vector<BYTE> identity = Utf16Blob(L"new");
    std::vector<PlaceholderSpec> specs = {
        {L"a.txt", 5, L""}, {L"b.txt", 5, L""}, {L"local.txt", 5, L""}, {L"b.txt", 5, L""}, {L"c.txt", 5, L""}};
    std::vector<CF_PLACEHOLDER_CREATE_INFO> entries;
    for (const PlaceholderSpec& spec : specs) entries.push_back(CreateInfo(spec, identity));
    DWORD processed = 0;

    HRESULT hr = CfCreatePlaceholders(Win(root_).c_str(), entries.data(), 5, CF_CREATE_FLAG_NONE, &processed);

    EXPECT_EQ(hr, static_cast<HRESULT>(0x800700B7));
    EXPECT_EQ(processed, 5u);
    const HRESULT expected[] = {static_cast<HRESULT>(0x800700B7), S_OK, static_cast<HRESULT>(0x800700B7),
                                static_cast<HRESULT>(0x800700B7), S_OK};
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(entries[i].Result, expected[i]) << i;
    EXPECT_EQ(StatOf(Path("a.txt")).st_size, 1);  // the existing placeholder is untouched
    EXPECT_EQ(ReadFileBytes(Path("local.txt")), "mine");
    EXPECT_TRUE(IsPlaceholderPath(Path("c.txt")));
    EXPECT_NE(entries[1].CreateUsn, 0);
}

TEST_F(PlaceholderTest, StopOnErrorEndsAtTheFirstFailureCountingIt) {
    PlaceholderSpec existing{L"a.txt", 1, L"old"};
    ASSERT_EQ(CreatePlaceholder(root_, existing), S_OK);
    std::vector<BYTE> identity = Utf16Blob(L"new");
    std::vector<PlaceholderSpec> specs = {{L"x.txt", 1, L""}, {L"a.txt", 1, L""}, {L"y.txt", 1, L""}};
    std::vector<CF_PLACEHOLDER_CREATE_INFO> entries;
    for (const PlaceholderSpec& spec : specs) entries.push_back(CreateInfo(spec, identity));
    DWORD processed = 0;

    HRESULT hr = CfCreatePlaceholders(Win(root_).c_str(), entries.data(), 3, CF_CREATE_FLAG_STOP_ON_ERROR, &processed);

    EXPECT_EQ(hr, static_cast<HRESULT>(0x800700B7));
    EXPECT_EQ(processed, 2u);
    EXPECT_EQ(entries[2].Result, static_cast<HRESULT>(0x7FFFFFFF));
    EXPECT_TRUE(FileExists(Path("x.txt")));
    EXPECT_FALSE(FileExists(Path("y.txt")));
}

TEST_F(RegistrationTest, PlaceholdersOutsideARootOrWithoutBaseAreRefused) {
    PlaceholderSpec spec{L"x.txt", 1, L"x"};
    std::vector<BYTE> identity = Utf16Blob(L"x");
    CF_PLACEHOLDER_CREATE_INFO entry = CreateInfo(spec, identity);
    DWORD processed = 7;

    EXPECT_EQ(CfCreatePlaceholders(Win(root_).c_str(), &entry, 1, CF_CREATE_FLAG_NONE, &processed),
              static_cast<HRESULT>(0x80070186));
    EXPECT_EQ(processed, 0u);
    EXPECT_FALSE(FileExists(Path("x.txt")));
    EXPECT_EQ(CfCreatePlaceholders(Win(base_ + "/missing").c_str(), &entry, 1, CF_CREATE_FLAG_NONE, &processed),
              static_cast<HRESULT>(0x80070003));
}

TEST_F(PlaceholderTest, PlaceholdersInSubdirectoriesAndCfemuListing) {
    PlaceholderSpec folder{L"folder", 0, L"dir\tid"};
    folder.directory = true;
    ASSERT_EQ(CreatePlaceholder(root_, folder), S_OK);
    PlaceholderSpec inner{L"inner.bin", 4097, L"cf\td1\ti1\tinner.bin"};
    ASSERT_EQ(CreatePlaceholder(Path("folder"), inner), S_OK);
    PlaceholderSpec loose{L"loose.txt", 0, L"", CF_PLACEHOLDER_CREATE_FLAG_NONE};
    ASSERT_EQ(CreatePlaceholder(root_, loose), S_OK);
    WriteFileBytes(Path("plain.txt"), "12345");

    ProcessResult top = Cfemu({"ls", root_});
    ProcessResult below = Cfemu({"ls", Path("folder")});

    ASSERT_EQ(top.exitCode, 0) << top.err;
    EXPECT_EQ(top.out,
              "folder/\t0\tplaceholder\thydrated\tin-sync\tdir\\tid\n"
              "loose.txt\t0\tplaceholder\tdehydrated\tnot-in-sync\t-\n"
              "plain.txt\t5\tregular\t-\t-\t-\n");
    EXPECT_EQ(below.out, "inner.bin\t4097\tplaceholder\tdehydrated\tin-sync\tcf\\td1\\ti1\\tinner.bin\n");
    ProcessResult missing = Cfemu({"ls", base_ + "/nothing"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("0x80070003"), std::string::npos) << missing.err;
}

}  // namespace
}  // namespace filtertest
