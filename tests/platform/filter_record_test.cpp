// filter_record_test.cpp - the placeholder record of the emulated filter: state and identity in one attribute,
// state updates that keep the identity, records of earlier builds (identity apart) and damaged records.
#include <sys/xattr.h>

#include "tests/platform/filter_test_support.h"

namespace filtertest {
namespace {

using RecordTest = RegisteredRootTest;

// An 18-byte state record as the filter writes it: version, flags, creation and change time (little endian).
std::vector<BYTE> StateBytes(BYTE version, BYTE flags, ULONGLONG creation, ULONGLONG change) {
    std::vector<BYTE> bytes = {version, flags};
    for (ULONGLONG value : {creation, change}) {
        for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<BYTE>(value >> (8 * i)));
    }
    return bytes;
}

ssize_t RecordSize(const std::string& path) { return lgetxattr(path.c_str(), cfemu::kStateAttribute, nullptr, 0); }

TEST_F(RecordTest, StateUpdatesKeepTheIdentityWhateverItsLength) {
    struct Row {
        const char* name;
        size_t identityLength;
    };
    const Row rows[] = {{"none", 0}, {"one unit", 2}, {"demo name", 44}, {"large", 2048}};
    for (const Row& row : rows) {
        std::vector<BYTE> identity(row.identityLength);
        for (size_t i = 0; i < identity.size(); ++i) identity[i] = static_cast<BYTE>(i * 7 + 1);
        PlaceholderSpec spec{posix::Utf8ToWide(row.name), 5, L""};
        CF_PLACEHOLDER_CREATE_INFO entry = CreateInfo(spec, identity);
        DWORD processed = 0;
        ASSERT_EQ(CfCreatePlaceholders(Win(root_).c_str(), &entry, 1, CF_CREATE_FLAG_NONE, &processed), S_OK)
            << row.name;
        const std::string path = Path(row.name);
        EXPECT_EQ(RecordSize(path), static_cast<ssize_t>(18 + row.identityLength)) << row.name;

        int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(fd, 0) << row.name;
        cfemu::PlaceholderState state;
        ASSERT_TRUE(cfemu::ReadState(fd, &state)) << row.name;
        state.flags |= cfemu::kStateHydrated;
        state.flags &= static_cast<uint8_t>(~cfemu::kStateInSync);
        EXPECT_EQ(cfemu::WriteState(fd, state), 0) << row.name;
        std::vector<BYTE> byDescriptor;
        EXPECT_TRUE(cfemu::ReadIdentity(fd, &byDescriptor)) << row.name;
        close(fd);

        EXPECT_EQ(byDescriptor, identity) << row.name;
        std::vector<BYTE> byPath;
        EXPECT_TRUE(cfemu::ReadIdentityAt(path, &byPath)) << row.name;
        EXPECT_EQ(byPath, identity) << row.name;
        cfemu::PlaceholderState after = StateOf(path);
        EXPECT_EQ(after.flags, cfemu::kStateHydrated) << row.name;
        EXPECT_EQ(after.creationTicks, static_cast<ULONGLONG>(kCreationTicks)) << row.name;
        EXPECT_EQ(after.changeTicks, static_cast<ULONGLONG>(kChangeTicks)) << row.name;
        EXPECT_EQ(RecordSize(path), static_cast<ssize_t>(18 + row.identityLength)) << row.name;
    }
}

TEST_F(RecordTest, PlaceholdersOfEarlierBuildsKeepTheirIdentityApartAndStayReadable) {
    const std::string path = Path("old.txt");
    WriteFileBytes(path, "");
    std::vector<BYTE> state = StateBytes(1, cfemu::kStateInSync, 11, 22);
    std::vector<BYTE> identity = Utf16Blob(L"old-identity");
    ASSERT_EQ(lsetxattr(path.c_str(), cfemu::kStateAttribute, state.data(), state.size(), 0), 0);
    ASSERT_EQ(lsetxattr(path.c_str(), cfemu::kIdentityAttribute, identity.data(), identity.size(), 0), 0);

    cfemu::PlaceholderState read = StateOf(path);
    EXPECT_EQ(read.flags, cfemu::kStateInSync);
    EXPECT_EQ(read.creationTicks, 11u);
    EXPECT_EQ(read.changeTicks, 22u);
    std::vector<BYTE> stored;
    EXPECT_TRUE(cfemu::ReadIdentityAt(path, &stored));
    EXPECT_EQ(stored, identity);

    // An update rewrites the old record in its own layout.
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    read.flags |= cfemu::kStateHydrated;
    EXPECT_EQ(cfemu::WriteState(fd, read), 0);
    std::vector<BYTE> byDescriptor;
    EXPECT_TRUE(cfemu::ReadIdentity(fd, &byDescriptor));
    close(fd);
    EXPECT_EQ(byDescriptor, identity);
    EXPECT_EQ(RecordSize(path), 18);
    EXPECT_EQ(StateOf(path).flags, cfemu::kStateInSync | cfemu::kStateHydrated);
}

TEST_F(RecordTest, DamagedRecordsAreNoPlaceholders) {
    struct Row {
        const char* name;
        std::vector<BYTE> record;
    };
    std::vector<BYTE> oldWithTail = StateBytes(1, 0, 1, 2);
    oldWithTail.push_back(0x41);
    const Row rows[] = {
        {"short", {2, 0, 1, 2, 3}},
        {"unknown version", StateBytes(7, 0, 1, 2)},
        {"old layout with bytes after the state", oldWithTail},
    };
    for (const Row& row : rows) {
        const std::string path = Path(row.name);
        WriteFileBytes(path, "data");
        ASSERT_EQ(lsetxattr(path.c_str(), cfemu::kStateAttribute, row.record.data(), row.record.size(), 0), 0);
        EXPECT_FALSE(IsPlaceholderPath(path)) << row.name;
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        EXPECT_FALSE(cfemu::IsPlaceholder(fd)) << row.name;
        close(fd);
    }
}

}  // namespace
}  // namespace filtertest
