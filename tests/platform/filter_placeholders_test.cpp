// filter_placeholders_test.cpp - the emulated filter's roots and placeholders: records, hydration, management policy.
#include <sys/xattr.h>

#include <cstring>
#include <tuple>

#include "tests/platform/platform_fixture.h"

namespace platformtest {
namespace {

using RegistrationTest = PlatformTest;
using PlaceholderTest = RegisteredRootTest;

// Registration statuses; unregistering removes dehydrated placeholders and makes the others ordinary files.
TEST_F(RegistrationTest, RegisterCreateAndUnregister) {
    EXPECT_EQ(CreatePlaceholder(root_, PlaceholderSpec{L"x.txt", 1, L"x"}), Hr(0x80070186));  // not a root yet
    ASSERT_EQ(RegisterRoot(root_), S_OK);
    mkdir((root_ + "/inner").c_str(), 0755);
    EXPECT_EQ(RegisterRoot(root_), Hr(0x8007017C));  // the same values again, but not as an update
    EXPECT_EQ(RegisterRoot(root_, L"0.1.0-spike", 0, sizeof(CF_SYNC_POLICIES), CF_REGISTER_FLAG_UPDATE), S_OK);
    EXPECT_EQ(RegisterRoot(root_, L"0.2.0"), Hr(0x8007017C));
    EXPECT_EQ(RegisterRoot(root_ + "/inner"), Hr(0x8007017C));

    AddFile("dehydrated.txt", "gone");
    AddFile("hydrated.txt", "stays");
    WriteFileBytes(Path("plain.txt"), "plain");
    const PlaceholderSpec folder{L"folder", 0, L"dir", CF_PLACEHOLDER_CREATE_FLAG_MARK_IN_SYNC, true};
    ASSERT_EQ(CreatePlaceholder(root_, folder), S_OK);
    ASSERT_EQ(CreatePlaceholder(Path("folder"), PlaceholderSpec{L"inner.txt", 3, L"in"}), S_OK);
    StartProvider();
    ASSERT_EQ(Cfemu({"cat", Path("hydrated.txt")}).out, "stays");
    // What cfemu shows of each kind of entry and of the root.
    EXPECT_EQ(Cfemu({"ls", root_}).out,
              "dehydrated.txt\t4\tplaceholder\tdehydrated\tin-sync\tid\\tdehydrated.txt\t0x00400400\t0x9000601A\n"
              "folder/\t0\tplaceholder\thydrated\tin-sync\tdir\t0x00000410\t0x9000601A\n"
              "hydrated.txt\t5\tplaceholder\thydrated\tin-sync\tid\\thydrated.txt\t0x00000400\t0x9000601A\n"
              "inner/\t0\tregular\t-\t-\t-\t0x00000010\t-\n"
              "plain.txt\t5\tregular\t-\t-\t-\t0x00000080\t-\n");
    EXPECT_EQ(Cfemu({"root", Path("folder")}).out,
              "root: " + root_ +
                  "\nprovider: VOSKE\nversion: 0.1.0-spike\nid: {564F534B-4543-4669-6C65-7370696B6531}\n"
                  "identity: root-id\\tuser\nhydration: 2 modifier 0x0\npopulation: 3 modifier 0x0\nin-sync: 0x100\n"
                  "hardlink: 0x0\nplaceholder-management: 0x0\nregister-flags: 0x0\nconnected: yes (pid " +
                  std::to_string(providers_.back()->Pid()) + ")\n");
    EXPECT_EQ(CfUnregisterSyncRoot(Win(root_).c_str()), Hr(0x8007017C));  // a provider is connected
    KillProvider();
    ASSERT_EQ(CfUnregisterSyncRoot(Win(root_).c_str()), S_OK);
    EXPECT_FALSE(FileExists(Path("dehydrated.txt")) || FileExists(Path("folder/inner.txt")));
    EXPECT_EQ(ReadFileBytes(Path("hydrated.txt")), "stays");
    EXPECT_EQ(ReadFileBytes(Path("plain.txt")), "plain");
    for (const char* name : {"hydrated.txt", "folder"}) EXPECT_FALSE(IsPlaceholderPath(Path(name))) << name;
    EXPECT_EQ(CfUnregisterSyncRoot(Win(root_).c_str()), Hr(0x80070186));
    EXPECT_EQ(RegisterRoot(root_, L"0.2.0"), S_OK);  // the directory is free again
}

// A placeholder is a sparse file with the given times and one record: 18 bytes of state (version, flags, creation and
// change time), then the identity. Damaged records make no placeholder.
TEST_F(PlaceholderTest, PlaceholderRecordsOnDiskAndDamaged) {
    const std::string bytes = PatternBytes(2048);
    const std::vector<BYTE> identity(bytes.begin(), bytes.end());
    const PlaceholderSpec spec{L"p.bin", 93, L""};
    CF_PLACEHOLDER_CREATE_INFO entry = CreateInfo(spec, identity);
    DWORD processed = 0;
    ASSERT_EQ(CfCreatePlaceholders(Win(root_).c_str(), &entry, 1, CF_CREATE_FLAG_NONE, &processed), S_OK);
    const std::string path = Path("p.bin");
    const struct stat st = StatOf(path);
    EXPECT_EQ(st.st_size, 93);
    EXPECT_TRUE(HoldsNoData(path));
    EXPECT_EQ(st.st_mtim.tv_sec, (kWriteTicks - 116444736000000000LL) / 10000000LL);
    std::vector<BYTE> record(18 + 2048);
    ASSERT_EQ(lgetxattr(path.c_str(), cfemu::kStateAttribute, record.data(), record.size()), ssize_t(record.size()));
    EXPECT_EQ(record[0], 2);
    EXPECT_EQ(record[1], cfemu::kStateInSync);
    EXPECT_EQ(std::vector<BYTE>(record.begin() + 18, record.end()), identity);

    EXPECT_EQ(StateOf(path).creationTicks, static_cast<ULONGLONG>(kCreationTicks));
    EXPECT_EQ(StateOf(path).changeTicks, static_cast<ULONGLONG>(kChangeTicks));

    std::vector<BYTE> tooLong(19, 0);  // a version 1 record has no identity after the state
    tooLong[0] = 1;
    const std::vector<BYTE> damaged[] = {{2, 0, 1, 2, 3}, std::vector<BYTE>(18, 7), tooLong};  // short, unknown
    for (size_t i = 0; i < std::size(damaged); ++i) {
        const std::string name = Path("damaged" + std::to_string(i));
        WriteFileBytes(name, "data");
        ASSERT_EQ(lsetxattr(name.c_str(), cfemu::kStateAttribute, damaged[i].data(), damaged[i].size(), 0), 0);
        EXPECT_FALSE(IsPlaceholderPath(name)) << i;
    }
}

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

// Explicit hydration needs a provider and a placeholder. Dehydration keeps size, times and identity; it is refused
// beside any other handle, without write access, and for what is not a placeholder in sync with its data.
TEST_F(HydrationTest, ExplicitHydrationAndDehydration) {
    std::string bytes = PatternBytes(9000);
    AddFile("d.bin", bytes, L"cf\tdomain\titem\td.bin");
    AddFile("w.txt", "hello");
    AddFile("s.txt", "old contents");
    for (const char* name : {"t.txt", "e.txt"}) AddFile(name, "changed");
    WriteFileBytes(Path("plain.txt"), "plain");
    const auto fullFlags = CF_PLACEHOLDER_CREATE_FLAG_MARK_IN_SYNC | CF_PLACEHOLDER_CREATE_FLAG_ALWAYS_FULL;
    ASSERT_EQ(CreatePlaceholder(root_, PlaceholderSpec{L"full.txt", 10, L"x", fullFlags}), S_OK);
    HANDLE file = Open(Path("d.bin"), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_EQ(CfHydratePlaceholder(file, {}, kWhole, 0, nullptr), Hr(0x8007016A));
    AllowManagement(CF_PLACEHOLDER_MANAGEMENT_POLICY_UPDATE_UNRESTRICTED);
    StartProvider();
    EXPECT_EQ(CfHydratePlaceholder(file, {}, kWhole, CF_HYDRATE_FLAG_NONE, nullptr), S_OK);
    EXPECT_EQ(CfHydratePlaceholder(file, {}, kWhole, CF_HYDRATE_FLAG_NONE, nullptr), S_OK);
    CloseHandle(file);
    EXPECT_TRUE(ReadFileBytes(Path("d.bin")) == bytes);
    const std::string fetch = "FETCH_DATA path=" + VolumeRelative(Path("d.bin")) + " ";
    EXPECT_EQ(CountLines(log_, fetch), 1);
    EXPECT_NE(WaitForLine(log_, fetch).find("offset=0 length=9000 flags=0x2"), std::string::npos);
    EXPECT_EQ(GetFileAttributesW(Win(Path("d.bin")).c_str()), FILE_ATTRIBUTE_REPARSE_POINT);
    struct stat hydrated = StatOf(Path("d.bin"));

    auto holder = Hold(Path("d.bin"), "-", "rwd");  // no data access: only the other handle is in the way
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
    EXPECT_FALSE(IsHydrated(Path("d.bin")));
    EXPECT_EQ(GetFileAttributesW(Win(Path("d.bin")).c_str()), FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS | FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_EQ(Dehydrate("d.bin"), S_OK);  // already dehydrated: nothing to do
    ProcessResult again = Cfemu({"cat", Path("d.bin")});
    EXPECT_TRUE(again.out == bytes) << again.err;
    // The identity was kept: the second fetch carries it too.
    EXPECT_EQ(CountLines(log_, "identity=cf\\tdomain\\titem\\td.bin key="), 2);

    ProcessResult append = Cfemu({"append", Path("w.txt"), " world"});
    ASSERT_EQ(append.exitCode, 0) << append.err;
    // The C runtime's "w" empties the hydrated file through the filter, as CREATE_ALWAYS does: no longer in sync.
    ASSERT_EQ(Cfemu({"cat", Path("s.txt")}).out, "old contents");
    FILE* stream = _wfopen(Win(Path("s.txt")).c_str(), L"wb");
    ASSERT_NE(stream, nullptr) << errno;
    EXPECT_EQ(std::fclose(stream), 0);
    // So do setting the last-write time, which the root's policy tracks, and setting the end of file.
    for (const char* name : {"t.txt", "e.txt"}) {
        ASSERT_EQ(Cfemu({"cat", Path(name)}).out, "changed");
        HANDLE changed = Open(Path(name), GENERIC_WRITE);
        const FILETIME lastWrite = {0x12345678, 0x01D00000};
        EXPECT_TRUE(name[0] == 't' ? SetFileTime(changed, nullptr, nullptr, &lastWrite) : SetEndOfFile(changed));
        CloseHandle(changed);
    }
    const struct {
        const char* name;
        HRESULT expected;
        std::string contents;
    } refused[] = {
        {"w.txt", Hr(0x80070179), "hello world"},
        {"s.txt", Hr(0x80070179), ""},
        {"t.txt", Hr(0x80070179), "changed"},
        {"e.txt", Hr(0x80070179), ""},
        {"plain.txt", Hr(0x80070178), "plain"},
        {"full.txt", Hr(0x800701B2), std::string(10, '\0')},  // a dehydrated placeholder's holes
    };
    for (const auto& row : refused) {
        EXPECT_EQ(Dehydrate(row.name), row.expected) << row.name;
        EXPECT_EQ(ReadFileBytes(Path(row.name)), row.contents) << row.name;
    }
    EXPECT_EQ(StateOf(Path("w.txt")).flags & (cfemu::kStateHydrated | cfemu::kStateInSync), cfemu::kStateHydrated);
}

// Beside a connected provider others may create (0x1) and dehydrate (0x4) only as the management policy allows.
TEST_F(HydrationTest, PlaceholderManagementPolicyDecidesWhoElseMayCreateAndDehydrate) {
    const HRESULT providerOnly = Hr(0x8007017E);
    const struct {
        CF_PLACEHOLDER_MANAGEMENT_POLICY management;
        ULONG policiesSize;  // 20: the older record without the policy, which means the default
        HRESULT create, dehydrate;
    } rows[] = {
        {0x0, 24, providerOnly, providerOnly},
        {0x0, 20, providerOnly, providerOnly},
        {0x1, 24, S_OK, providerOnly},
        {0x4, 24, providerOnly, S_OK},
        {0x5, 24, S_OK, S_OK},  // the program's own policy
    };
    const size_t kRows = std::size(rows);
    for (size_t i = 0; i < kRows; ++i) AddFile("m" + std::to_string(i) + ".bin", "managed");
    StartProvider();

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
}

// Reading the in-sync state needs read-attributes access, a placeholder under a root and room for the fixed part (the
// identity is cut to fit); setting it needs write-data or write-DAC access, no USN, and the connected provider.
TEST_F(HydrationTest, InSyncStateReadAndSetOnlyAsThePlatformAllows) {
    AddFile("p.txt", "data");
    WriteFileBytes(Path("plain.txt"), "plain");
    const std::string outside = base_ + "/outside.txt", p = Path("p.txt");
    WriteFileBytes(outside, "outside");
    AllowManagement(CF_PLACEHOLDER_MANAGEMENT_POLICY_CREATE_UNRESTRICTED | CF_PLACEHOLDER_MANAGEMENT_POLICY_UPDATE_UNRESTRICTED);
    StartProvider();
    const std::vector<BYTE> identity = Utf16Blob(L"id\tp.txt");
    const DWORD fixed = static_cast<DWORD>(offsetof(CF_PLACEHOLDER_BASIC_INFO, FileIdentity)), whole = fixed + 18;
    const DWORD readAttributes = FILE_READ_ATTRIBUTES;
    USN usn = 0;
    const struct {
        std::string path;
        DWORD access;
        bool set;
        DWORD size;  // of the buffer given to CfGetPlaceholderInfo
        USN* usn;
        HRESULT expected;
    } rows[] = {
        {p, 0, false, whole, nullptr, Hr(0x80070005)},
        {p, GENERIC_WRITE, false, whole, nullptr, Hr(0x80070005)},
        {Path("plain.txt"), readAttributes, false, whole, nullptr, Hr(0x80070178)},
        {outside, readAttributes, false, whole, nullptr, Hr(0x80070186)},
        {p, readAttributes, false, fixed - 1, nullptr, Hr(0x8007007A)},
        {p, readAttributes, false, fixed + 3, nullptr, Hr(0x800700EA)},
        {p, GENERIC_READ, false, whole, nullptr, S_OK},
        {p, GENERIC_READ, true, 0, nullptr, Hr(0x8007018B)},
        {Path("plain.txt"), WRITE_DAC, true, 0, nullptr, Hr(0x80070178)},
        {outside, WRITE_DAC, true, 0, nullptr, Hr(0x80070186)},
        {p, WRITE_DAC, true, 0, &usn, Hr(0x80070179)},
        {p, WRITE_DAC, true, 0, nullptr, Hr(0x8007017E)},  // another process than the provider, whatever the policy
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        const auto& row = rows[i];
        HANDLE file = Open(row.path, row.access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << i;
        alignas(8) BYTE buffer[64];
        std::memset(buffer, 0xEE, sizeof(buffer));
        DWORD returned = 99;
        const HRESULT hr = row.set ? CfSetInSyncState(file, CF_IN_SYNC_STATE_NOT_IN_SYNC, 0, row.usn)
                                   : CfGetPlaceholderInfo(file, CF_PLACEHOLDER_INFO_BASIC, buffer, row.size, &returned);
        CloseHandle(file);
        EXPECT_EQ(hr, row.expected) << i;
        if (row.set || (hr != S_OK && hr != Hr(0x800700EA))) continue;
        const auto* info = reinterpret_cast<const CF_PLACEHOLDER_BASIC_INFO*>(buffer);
        const DWORD copied = row.size - fixed;
        EXPECT_EQ(returned, row.size) << i;
        EXPECT_EQ(info->PinState, CF_PIN_STATE_UNSPECIFIED) << i;
        EXPECT_EQ(info->InSyncState, CF_IN_SYNC_STATE_IN_SYNC) << i;
        EXPECT_EQ(info->FileId.QuadPart, static_cast<LONGLONG>(StatOf(p).st_ino)) << i;
        EXPECT_EQ(info->SyncRootFileId.QuadPart, static_cast<LONGLONG>(StatOf(root_).st_ino)) << i;
        EXPECT_EQ(info->FileIdentityLength, copied) << i;
        std::vector<BYTE> expected(identity.begin(), identity.begin() + copied);
        expected.push_back(0xEE);  // nothing past what was returned
        EXPECT_EQ(std::vector<BYTE>(buffer + fixed, buffer + row.size + 1), expected) << i;
    }
    EXPECT_NE(StateOf(p).flags & cfemu::kStateInSync, 0);  // the refused calls changed nothing
}

// Converting a file that is no placeholder: write-data or write-DAC access, below a root, an identity for a file,
// the provider's process unless the policy lifts that; a placeholder already is refused. The converted file keeps
// its bytes and last-write time and takes the identity and in-sync mark.
TEST_F(HydrationTest, ConversionIntoAPlaceholderOnlyAsThePlatformAllows) {
    AddFile("p.txt", "data");
    const std::string outside = base_ + "/outside.txt", plain = Path("plain.txt"), dir = Path("dir");
    WriteFileBytes(plain, "plain bytes");
    WriteFileBytes(outside, "outside");
    mkdir(dir.c_str(), 0755);
    const struct stat before = StatOf(plain);
    StartProvider();
    const std::string other = Path("other.txt");
    WriteFileBytes(other, "no placeholder");
    const std::vector<BYTE> identity = Utf16Blob(L"plain.txt"), item = Utf16Blob(L"cf\td1\ti1\tplain.txt");
    // Then updating it: the same rights and policy (its own policy bit), a placeholder only, only what is emulated
    // (the identity and the in-sync state); a null identity keeps the one it has. Neither bytes nor times change.
    const bool kUpdate = true;
    const struct {
        bool update;  // CfUpdatePlaceholder with `item`, else CfConvertToPlaceholder with `identity`
        std::string path;
        DWORD access;
        bool withIdentity;
        DWORD flags;
        CF_PLACEHOLDER_MANAGEMENT_POLICY management;
        HRESULT expected;
    } rows[] = {
        {false, plain, WRITE_DAC, true, CF_CONVERT_FLAG_MARK_IN_SYNC, 0x0, Hr(0x8007017E)},  // not the provider
        {false, plain, GENERIC_READ, true, CF_CONVERT_FLAG_MARK_IN_SYNC, 0x2, Hr(0x8007018B)},
        {false, outside, WRITE_DAC, true, CF_CONVERT_FLAG_MARK_IN_SYNC, 0x2, Hr(0x80070186)},
        {false, plain, WRITE_DAC, false, CF_CONVERT_FLAG_MARK_IN_SYNC, 0x2, E_INVALIDARG},
        {false, plain, WRITE_DAC, true, 0x20, 0x2, E_INVALIDARG},
        {false, Path("p.txt"), WRITE_DAC, true, CF_CONVERT_FLAG_MARK_IN_SYNC, 0x2, Hr(0x8007017C)},
        {false, dir, WRITE_DAC, false, CF_CONVERT_FLAG_MARK_IN_SYNC, 0x2, S_OK},
        {false, plain, GENERIC_WRITE, true, CF_CONVERT_FLAG_MARK_IN_SYNC, 0x2, S_OK},
        {kUpdate, plain, WRITE_DAC, true, CF_UPDATE_FLAG_MARK_IN_SYNC, 0x2, Hr(0x8007017E)},
        {kUpdate, plain, GENERIC_READ, true, CF_UPDATE_FLAG_MARK_IN_SYNC, 0x4, Hr(0x8007018B)},
        {kUpdate, outside, WRITE_DAC, true, CF_UPDATE_FLAG_MARK_IN_SYNC, 0x4, Hr(0x80070186)},
        {kUpdate, other, WRITE_DAC, true, CF_UPDATE_FLAG_MARK_IN_SYNC, 0x4, Hr(0x80070178)},
        {kUpdate, plain, WRITE_DAC, true, CF_UPDATE_FLAG_DEHYDRATE, 0x4, E_INVALIDARG},
        {kUpdate, plain, WRITE_DAC, true, CF_UPDATE_FLAG_MARK_IN_SYNC | CF_UPDATE_FLAG_CLEAR_IN_SYNC, 0x4, E_INVALIDARG},
        {kUpdate, plain, WRITE_DAC, true, CF_UPDATE_FLAG_CLEAR_IN_SYNC, 0x4, S_OK},
        {kUpdate, plain, GENERIC_WRITE, false, CF_UPDATE_FLAG_MARK_IN_SYNC, 0x4, S_OK},
    };
    std::vector<BYTE> stored;
    for (size_t i = 0; i < std::size(rows); ++i) {
        const auto& row = rows[i];
        AllowManagement(row.management);
        HANDLE file = Open(row.path, row.access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << i;
        const std::vector<BYTE>& blob = row.update ? item : identity;
        const LPCVOID given = row.withIdentity ? blob.data() : nullptr;
        const DWORD length = row.withIdentity ? static_cast<DWORD>(blob.size()) : 0;
        EXPECT_EQ(row.update ? CfUpdatePlaceholder(file, nullptr, given, length, nullptr, 0, row.flags, nullptr, nullptr)
                             : CfConvertToPlaceholder(file, given, length, row.flags, nullptr, nullptr),
                  row.expected)
            << i;
        CloseHandle(file);
        // Converted by the last conversion row, in sync; updated only by the last two (cleared, then marked again).
        const bool converted = i >= 7, updated = i >= 14, inSync = converted && i != 14;
        EXPECT_EQ(IsPlaceholderPath(plain), converted) << i;
        if (!converted) continue;
        EXPECT_EQ(StateOf(plain).flags, cfemu::kStateHydrated | (inSync ? cfemu::kStateInSync : 0)) << i;
        EXPECT_TRUE(cfemu::ReadIdentityAt(plain, &stored)) << i;
        EXPECT_EQ(stored, updated ? item : identity) << i;
    }
    EXPECT_EQ(StateOf(dir).flags, cfemu::kStateHydrated | cfemu::kStateInSync | cfemu::kStateDirectory);
    EXPECT_FALSE(IsPlaceholderPath(other));
    // As the provider's process sees them: the converted file and directory are reparse points with a cloud tag (in
    // every query), a link keeps its own tag, a plain file has neither, a FIFO is a device and fails to open at once.
    ASSERT_EQ(symlink("dir", Path("link").c_str()) | mkfifo(Path("fifo").c_str(), 0600), 0);
    const DWORD kReparse = FILE_ATTRIBUTE_REPARSE_POINT, kDir = FILE_ATTRIBUTE_DIRECTORY;
    const std::tuple<std::string, DWORD, DWORD> seen[] = {{plain, kReparse, IO_REPARSE_TAG_CLOUD_6},
        {dir, kDir | kReparse, IO_REPARSE_TAG_CLOUD_6}, {Path("link"), kDir | kReparse, IO_REPARSE_TAG_SYMLINK},
        {other, FILE_ATTRIBUTE_NORMAL, 0}, {Path("fifo"), FILE_ATTRIBUTE_DEVICE, 0}};
    for (const auto& [path, attributes, tag] : seen) {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        WIN32_FIND_DATAW found{};
        BY_HANDLE_FILE_INFORMATION info{};
        HANDLE find = FindFirstFileW(Win(path).c_str(), &found), file = Open(path, 0, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
        const DWORD openError = GetLastError(), device = attributes == FILE_ATTRIBUTE_DEVICE;
        EXPECT_TRUE(find != INVALID_HANDLE_VALUE && FindClose(find) && GetFileAttributesExW(Win(path).c_str(), GetFileExInfoStandard, &data));
        EXPECT_TRUE(file == INVALID_HANDLE_VALUE || (GetFileInformationByHandle(file, &info) && CloseHandle(file)));
        EXPECT_EQ(std::vector<DWORD>({GetFileAttributesW(Win(path).c_str()), data.dwFileAttributes, found.dwFileAttributes,
                                      info.dwFileAttributes, found.dwReserved0, openError}),
                  std::vector<DWORD>({attributes, attributes, attributes, device ? 0 : attributes, tag, device ? 231u : 0})) << path;
    }
    EXPECT_EQ(ReadFileBytes(plain), "plain bytes");
    EXPECT_EQ(StatOf(plain).st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(StatOf(plain).st_mtim.tv_sec, before.st_mtim.tv_sec);
}


// Pin states: CfSetPinState's rights, flags and the documented inheritance table (an UNPINNED folder unpins only its
// directories), SetFileAttributesW's pin bits, every attribute query and `cfemu attrib`, and a pinned placeholder
// refusing dehydration. Letters per row: d, d/f, d/s, d/s/g ('.' unspecified).
TEST_F(HydrationTest, PinStatesSetReportedInheritedAndKeptFromDehydration) {
    ASSERT_EQ(CreatePlaceholder(root_, PlaceholderSpec{L"d", 0, L"", 0, true}), S_OK);
    ASSERT_EQ(CreatePlaceholder(Path("d"), PlaceholderSpec{L"f", 3, L"f"}), S_OK);
    ASSERT_EQ(CreatePlaceholder(Path("d"), PlaceholderSpec{L"s", 0, L"", 0, true}), S_OK);
    ASSERT_EQ(CreatePlaceholder(Path("d/s"), PlaceholderSpec{L"g", 3, L"g"}), S_OK);
    AddFile("p.txt", "data");
    WriteFileBytes(Path("plain.txt"), "plain");
    const std::vector<std::string> tree = {Path("d"), Path("d/f"), Path("d/s"), Path("d/s/g")};
    constexpr DWORD kBits = FILE_ATTRIBUTE_PINNED | FILE_ATTRIBUTE_UNPINNED;
    const auto pins = [&] {
        std::string letters;
        for (const std::string& path : tree) {
            const CF_PIN_STATE pin = StateOf(path).pin;
            const DWORD bits = pin == 1 ? FILE_ATTRIBUTE_PINNED : pin == 2 ? FILE_ATTRIBUTE_UNPINNED : 0u;
            EXPECT_EQ(GetFileAttributesW(Win(path).c_str()) & kBits, bits) << path;
            letters += ".PUX"[pin & 3];
        }
        return letters;
    };
    constexpr auto kRecurse = CF_SET_PIN_FLAG_RECURSE, kBelow = CF_SET_PIN_FLAG_RECURSE_ONLY;
    const struct {
        std::string path;
        DWORD access;
        CF_PIN_STATE pin;
        CF_SET_PIN_FLAGS flags;
        HRESULT expected;
        const char* after;
    } rows[] = {
        {Path("d"), FILE_READ_ATTRIBUTES, CF_PIN_STATE_PINNED, 0, Hr(0x8007018B), "...."},
        {Path("plain.txt"), GENERIC_READ, CF_PIN_STATE_PINNED, 0, Hr(0x80070178), "...."},
        {Path("d"), GENERIC_READ, CF_PIN_STATE_PINNED, kRecurse | kBelow, E_INVALIDARG, "...."},
        {Path("d/f"), GENERIC_READ, CF_PIN_STATE_PINNED, kBelow, E_INVALIDARG, "...."},
        {Path("d"), GENERIC_READ, CF_PIN_STATE_EXCLUDED, 0, Hr(0x8007017E), "...."},  // the provider's alone
        {Path("d"), GENERIC_READ, CF_PIN_STATE_PINNED, 0, S_OK, "P..."},
        {Path("d"), WRITE_DAC, CF_PIN_STATE_UNPINNED, kBelow, S_OK, "PUUU"},
        {Path("d/s"), GENERIC_READ, CF_PIN_STATE_UNSPECIFIED, kRecurse, S_OK, "PU.."},
        {Path("d/s"), GENERIC_READ, CF_PIN_STATE_INHERIT, kRecurse, S_OK, "PUPP"},
        {Path("d"), GENERIC_READ, CF_PIN_STATE_UNPINNED, 0, S_OK, "UUPP"},
        {Path("d"), GENERIC_READ, CF_PIN_STATE_UNSPECIFIED, kRecurse, S_OK, "...."},
        {Path("d"), GENERIC_READ, CF_PIN_STATE_UNPINNED, 0, S_OK, "U..."},
        {Path("d"), GENERIC_READ, CF_PIN_STATE_INHERIT, kBelow, S_OK, "U.U."},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        HANDLE file = Open(rows[i].path, rows[i].access, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS);
        EXPECT_EQ(CfSetPinState(file, rows[i].pin, rows[i].flags, nullptr), rows[i].expected) << i;
        CloseHandle(file);
        EXPECT_EQ(pins(), rows[i].after) << i;
    }
    HANDLE file = Open(Path("d/s"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    alignas(8) BYTE buffer[64];
    BY_HANDLE_FILE_INFORMATION byHandle{};
    EXPECT_EQ(CfGetPlaceholderInfo(file, CF_PLACEHOLDER_INFO_BASIC, buffer, sizeof(buffer), nullptr), S_OK);
    EXPECT_EQ(reinterpret_cast<const CF_PLACEHOLDER_BASIC_INFO*>(buffer)->PinState, CF_PIN_STATE_UNPINNED);
    EXPECT_TRUE(GetFileInformationByHandle(file, &byHandle));
    EXPECT_EQ(byHandle.dwFileAttributes & kBits, FILE_ATTRIBUTE_UNPINNED);
    CloseHandle(file);
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(Win(Path("d/s*")).c_str(), &found);
    EXPECT_EQ(found.dwFileAttributes & kBits, FILE_ATTRIBUTE_UNPINNED);
    FindClose(find);
    // New placeholders take the table's state: below UNPINNED d a directory is unpinned, a file is not.
    ASSERT_EQ(CreatePlaceholder(Path("d"), PlaceholderSpec{L"n", 0, L"", 0, true}), S_OK);
    ASSERT_EQ(CreatePlaceholder(Path("d"), PlaceholderSpec{L"m", 1, L"m"}), S_OK);
    EXPECT_EQ(StateOf(Path("d/n")).pin, CF_PIN_STATE_UNPINNED);
    EXPECT_EQ(StateOf(Path("d/m")).pin, CF_PIN_STATE_UNSPECIFIED);

    // SetFileAttributesW as attrib +P, +U, -P, -U sets it; both bits, or either on a file no placeholder, are refused.
    const struct {
        std::string path;
        DWORD attributes, error;
        CF_PIN_STATE after;
    } sets[] = {
        {Path("p.txt"), FILE_ATTRIBUTE_PINNED, ERROR_SUCCESS, CF_PIN_STATE_PINNED},
        {Path("p.txt"), kBits, ERROR_INVALID_PARAMETER, CF_PIN_STATE_PINNED},
        {Path("p.txt"), FILE_ATTRIBUTE_UNPINNED | FILE_ATTRIBUTE_READONLY, ERROR_SUCCESS, CF_PIN_STATE_UNPINNED},
        {Path("p.txt"), FILE_ATTRIBUTE_READONLY, ERROR_SUCCESS, CF_PIN_STATE_UNSPECIFIED},
        {Path("p.txt"), FILE_ATTRIBUTE_PINNED, ERROR_SUCCESS, CF_PIN_STATE_PINNED},
        {Path("plain.txt"), FILE_ATTRIBUTE_PINNED, 376, CF_PIN_STATE_PINNED},
        {Path("plain.txt"), FILE_ATTRIBUTE_NORMAL, ERROR_SUCCESS, CF_PIN_STATE_PINNED},
    };
    for (size_t i = 0; i < std::size(sets); ++i) {
        EXPECT_EQ(ErrorOf(SetFileAttributesW(Win(sets[i].path).c_str(), sets[i].attributes)), sets[i].error) << i;
        EXPECT_EQ(StateOf(Path("p.txt")).pin, sets[i].after) << i;
    }
    EXPECT_EQ(GetFileAttributesW(Win(Path("p.txt")).c_str()) & (kBits | FILE_ATTRIBUTE_READONLY), FILE_ATTRIBUTE_PINNED);
    EXPECT_EQ(Dehydrate("p.txt"), Hr(0x80070188));
    ASSERT_TRUE(SetFileAttributesW(Win(Path("p.txt")).c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(Dehydrate("p.txt"), S_OK);

    // cfemu attrib: +P on d, then the whole tree shown; a conversion below pinned d cannot drop the data.
    EXPECT_EQ(RunProcess({VOSKE_CFEMU, "attrib", "+P", "-U", Path("d")}).exitCode, 0);
    ProcessResult both = RunProcess({VOSKE_CFEMU, "attrib", "+P", "+U", Path("d/f")});
    EXPECT_EQ(both.exitCode, 1);
    EXPECT_NE(both.err.find("ERROR_INVALID_PARAMETER"), std::string::npos) << both.err;
    EXPECT_EQ(RunProcess({VOSKE_CFEMU, "attrib", "+U", "/S", Path("d/s")}).exitCode, 0);
    EXPECT_EQ(RunProcess({VOSKE_CFEMU, "attrib", "/S", "/D", Path("d")}).out,
              " P   " + Path("d") + "\n     " + Path("d/f") + "\n     " + Path("d/m") + "\n  U  " + Path("d/n") +
                  "\n  U  " + Path("d/s") + "\n  U  " + Path("d/s/g") + "\n");
    WriteFileBytes(Path("d/c"), "bytes");
    file = Open(Path("d/c"), GENERIC_READ | GENERIC_WRITE);
    EXPECT_EQ(CfConvertToPlaceholder(file, "c", 1, CF_CONVERT_FLAG_DEHYDRATE, nullptr, nullptr), Hr(0x80070188));
    EXPECT_EQ(CfConvertToPlaceholder(file, "c", 1, CF_CONVERT_FLAG_MARK_IN_SYNC, nullptr, nullptr), S_OK);
    CloseHandle(file);
    EXPECT_EQ(StateOf(Path("d/c")).pin, CF_PIN_STATE_PINNED);
    ASSERT_TRUE(MoveFileExW(Win(Path("p.txt")).c_str(), Win(Path("d/p.txt")).c_str(), 0));  // moved in: the table too
    EXPECT_EQ(StateOf(Path("d/p.txt")).pin, CF_PIN_STATE_PINNED);
}

}  // namespace
}  // namespace platformtest
