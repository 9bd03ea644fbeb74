// filter_notifications_test.cpp - what a provider process is told of closes, deletes and renames in other processes.
#include "tests/platform/platform_fixture.h"

namespace platformtest {
namespace {

using NotificationTest = RegisteredRootTest;

// Every handle with data or delete access announces its close, whether or not data moved and whoever closes
// it; attribute-only handles do not; ordinary files in the root raise nothing.
TEST_F(NotificationTest, EveryHandleWithDataOrDeleteAccessAnnouncesItsCloseAttributeOnlyOnesDoNot) {
    const struct {
        const char* name;
        DWORD access;
        int closes;
    } rows[] = {
        {"attributes.txt", FILE_READ_ATTRIBUTES, 0},
        {"read-nothing.txt", GENERIC_READ, 1},
        {"write-nothing.txt", GENERIC_WRITE, 1},
        {"delete-access.txt", 0x00010000u, 1},  // DELETE
    };
    for (const auto& row : rows) AddFile(row.name, "data");
    AddFile("c.txt", "close me", L"cf\td1\ti1\tc.txt");
    for (const char* name : {"moving.txt", "replaced.txt"}) AddFile(name, "data");
    AddFile("newer.txt", "newer", L"newer");
    WriteFileBytes(Path("local.txt"), "local");
    StartProvider();

    for (const auto& row : rows) {
        HANDLE file = Open(Path(row.name), row.access, FILE_SHARE_READ | FILE_SHARE_WRITE);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << row.name;
        CloseHandle(file);
    }
    // A close is announced under the name its file has then: renamed meanwhile, the new one; replaced by a rename
    // over it (POSIX semantics), as deleted, never as a close of the placeholder that took its name.
    HANDLE moving = Open(Path("moving.txt"), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
    HANDLE replaced = Open(Path("replaced.txt"), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
    ASSERT_TRUE(MoveFileW(Win(Path("moving.txt")).c_str(), Win(Path("moved.txt")).c_str())) << GetLastError();
    ASSERT_EQ(rename(Path("newer.txt").c_str(), Path("replaced.txt").c_str()), 0);
    for (HANDLE handle : {moving, replaced}) CloseHandle(handle);
    ASSERT_EQ(Cfemu({"cat", Path("local.txt")}).out, "local");
    ASSERT_EQ(Cfemu({"mv", Path("local.txt"), Path("local2.txt")}).exitCode, 0);
    ASSERT_EQ(Cfemu({"rm", Path("local2.txt")}).exitCode, 0);
    ProcessResult cat = Cfemu({"cat", Path("c.txt")});
    ASSERT_EQ(cat.exitCode, 0) << cat.err;
    // The last close shows that the earlier ones would have arrived by now; one fetch, for the whole file.
    std::string close = WaitForLine(log_, "CLOSE_COMPLETION path=" + VolumeRelative(Path("c.txt")));
    EXPECT_NE(close.find(" dos=Z: size=8 identity_length=30 pid="), std::string::npos) << close;
    EXPECT_NE(close.find(" identity=cf\\td1\\ti1\\tc.txt flags=0x0"), std::string::npos) << close;
    EXPECT_NE(
        WaitForLine(log_, "FETCH_DATA").find(" offset=0 length=8 flags=0x0 image=Z:" + VolumeRelative(VOSKE_CFEMU)),
        std::string::npos);
    EXPECT_EQ(CountLines(log_, "local"), 0) << ReadFileBytes(log_);
    const std::string self = " pid=" + std::to_string(getpid());
    EXPECT_EQ(CountLines(log_, "CLOSE_COMPLETION path=" + VolumeRelative(Path("moved.txt")) +
                                   " dos=Z: size=4 identity_length=28" + self + " identity=id\\tmoving.txt flags=0x0"),
              1);
    EXPECT_EQ(CountLines(log_, "CLOSE_COMPLETION path=" + VolumeRelative(Path("moving.txt"))), 0);
    EXPECT_EQ(CountLines(log_, "CLOSE_COMPLETION path=" + VolumeRelative(Path("replaced.txt"))), 1);
    EXPECT_EQ(CountLines(log_, "CLOSE_COMPLETION path=" + VolumeRelative(Path("replaced.txt")) +
                                   " dos=Z: size=0 identity_length=0" + self + " identity= flags=0x1"),
              1)
        << ReadFileBytes(log_);
    for (const auto& row : rows) {
        const std::string close = "CLOSE_COMPLETION path=" + VolumeRelative(Path(row.name)) + " dos=Z: size=4";
        EXPECT_EQ(CountLines(log_, close + " identity_length=" + std::to_string(2 * (4 + strlen(row.name))) +
                                       " pid=" + std::to_string(getpid())),
                  row.closes)
            << row.name;
        EXPECT_EQ(CountLines(log_, "FETCH_DATA path=" + VolumeRelative(Path(row.name))), 0) << row.name;
    }
}

// Deletes and renames are told to the provider (a rename out of the root has no target in scope) and wait for its
// acknowledgement: a refusal fails the operation with the mapped error and leaves the file.
TEST_F(NotificationTest, WhatTheProviderIsToldOfDeletesAndRenamesAndWhatItsRefusalDoes) {
    AddFile("del.txt", "to delete", L"id-del");
    for (const char* name : {"old.txt", "leaving.txt", "a.txt", "keep.txt"}) AddFile(name, "data");
    const PlaceholderSpec folder{L"folder", 0, L"dir-id", CF_PLACEHOLDER_CREATE_FLAG_MARK_IN_SYNC, true};
    ASSERT_EQ(CreatePlaceholder(root_, folder), S_OK);
    EXPECT_EQ(Cfemu({"rm", Path("a.txt")}).exitCode, 0);
    EXPECT_FALSE(FileExists(Path("a.txt")));
    StartProvider();
    EXPECT_EQ(Cfemu({"rm", Path("del.txt")}).exitCode, 0);
    EXPECT_EQ(Cfemu({"mv", Path("old.txt"), Path("new.txt")}).exitCode, 0);
    EXPECT_EQ(Cfemu({"mv", Path("leaving.txt"), base_ + "/out.txt"}).exitCode, 0);
    EXPECT_TRUE(RemoveDirectoryW(Win(Path("folder")).c_str())) << GetLastError();
    EXPECT_FALSE(FileExists(Path("del.txt")) || FileExists(Path("old.txt")) || FileExists(Path("folder")));
    EXPECT_TRUE(IsPlaceholderPath(Path("new.txt")));
    const std::pair<std::string, std::string> told[] = {
        {"NOTIFY_DELETE path=" + VolumeRelative(Path("del.txt")) + " dos=Z: size=9 ", "identity=id-del flags=0x0"},
        // SOURCE_IN_SCOPE | TARGET_IN_SCOPE, then SOURCE_IN_SCOPE alone.
        {"NOTIFY_RENAME path=" + VolumeRelative(Path("old.txt")) + " ",
         " target=" + VolumeRelative(Path("new.txt")) + " flags=0x6"},
        {"NOTIFY_RENAME path=" + VolumeRelative(Path("leaving.txt")) + " ",
         " target=" + VolumeRelative(base_ + "/out.txt") + " flags=0x2"},
        {"NOTIFY_DELETE path=" + VolumeRelative(Path("folder")) + " dos=Z: size=0 ", "identity=dir-id flags=0x1"},
    };
    for (const auto& [start, end] : told) {
        const std::string line = WaitForLine(log_, start);
        EXPECT_NE(line.find(end), std::string::npos) << start << " ... " << end << " in\n" << line;
    }
    EXPECT_EQ(WaitForCount(log_, "ACK_DELETE status=0x00000000 hr=0x00000000", 2), 2);
    EXPECT_EQ(WaitForCount(log_, "ACK_RENAME status=0x00000000 hr=0x00000000", 2), 2);
    // The filter turns away a request for a path outside the root unanswered, before any callback.
    cfemu::Request outside;
    outside.kind = cfemu::RequestKind::Delete;
    for (const std::string& path : {base_ + "/out.txt", root_ + "/../out.txt", root_ + "x/keep.txt"}) {
        outside.path = path;
        EXPECT_EQ(cfemu::SendToProvider(root_, outside, true), DWORD(ERROR_CLOUD_FILE_PROVIDER_TERMINATED)) << path;
    }
    // Nor another user's, for a file of the root (the superuser may; only the superuser can test it).
    if (geteuid() == 0) {
        outside.path = Path("new.txt");
        const pid_t child = fork();
        if (child == 0) _exit(setuid(65534) == 0 ? static_cast<int>(cfemu::SendToProvider(root_, outside, true)) : 1);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_EQ(WEXITSTATUS(status), ERROR_CLOUD_FILE_PROVIDER_TERMINATED & 0xFF);
    }
    EXPECT_EQ(CountLines(log_, "NOTIFY_DELETE"), 2);
    KillProvider();

    const struct {
        const char *option, *status, *expected;
    } refusals[] = {
        {"--ack-delete", "0xC000CF12", "0x80070185"},
        {"--ack-rename", "0xC000CF14", "0x80070187"},
    };
    for (const auto& row : refusals) {
        StartProvider({row.option, row.status});
        ProcessResult result = std::string(row.option) == "--ack-delete"
                                   ? Cfemu({"rm", Path("keep.txt")})
                                   : Cfemu({"mv", Path("keep.txt"), Path("moved.txt")});
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_NE(result.err.find(row.expected), std::string::npos) << result.err;
        EXPECT_TRUE(FileExists(Path("keep.txt")) && !FileExists(Path("moved.txt")));
        KillProvider();
    }
}

}  // namespace
}  // namespace platformtest
