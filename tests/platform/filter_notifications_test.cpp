// filter_notifications_test.cpp - close, delete and rename notifications across processes: what the provider
// is told, that deletes and renames wait for its acknowledgement and obey a refusal, and who may ask at all.
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

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
        {"no-access.txt", 0, 0},
        {"attributes.txt", FILE_READ_ATTRIBUTES, 0},
        {"read-nothing.txt", GENERIC_READ, 1},
        {"write-nothing.txt", GENERIC_WRITE, 1},
        {"delete-access.txt", 0x00010000u, 1},  // DELETE
    };
    for (const auto& row : rows) AddFile(row.name, "data");
    AddFile("c.txt", "close me", L"cf\td1\ti1\tc.txt");
    WriteFileBytes(Path("local.txt"), "local");
    StartProvider();

    for (const auto& row : rows) {
        HANDLE file = Open(Path(row.name), row.access, FILE_SHARE_READ | FILE_SHARE_WRITE);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << row.name;
        CloseHandle(file);
    }
    ASSERT_EQ(Cfemu({"cat", Path("local.txt")}).out, "local");
    ASSERT_EQ(Cfemu({"mv", Path("local.txt"), Path("local2.txt")}).exitCode, 0);
    ASSERT_EQ(Cfemu({"rm", Path("local2.txt")}).exitCode, 0);
    ProcessResult cat = Cfemu({"cat", Path("c.txt")});
    ASSERT_EQ(cat.exitCode, 0) << cat.err;
    // The last close shows that the earlier ones would have arrived by now; the fetch came from the same reader,
    // for the whole file.
    std::string close = WaitForLine(log_, "CLOSE_COMPLETION path=" + VolumeRelative(Path("c.txt")));
    EXPECT_NE(close.find(" dos=Z: size=8 identity_length=30 pid="), std::string::npos) << close;
    EXPECT_NE(close.find(" identity=cf\\td1\\ti1\\tc.txt flags=0x0"), std::string::npos) << close;
    EXPECT_NE(
        WaitForLine(log_, "FETCH_DATA").find(" offset=0 length=8 flags=0x0 image=Z:" + VolumeRelative(VOSKE_CFEMU)),
        std::string::npos);
    EXPECT_EQ(CountLines(log_, "local"), 0) << ReadFileBytes(log_);
    for (const auto& row : rows) {
        const std::string close = "CLOSE_COMPLETION path=" + VolumeRelative(Path(row.name)) + " dos=Z: size=4";
        EXPECT_EQ(CountLines(log_, close + " identity_length=" + std::to_string(2 * (4 + strlen(row.name))) +
                                       " pid=" + std::to_string(getpid())),
                  row.closes)
            << row.name;
        EXPECT_EQ(CountLines(log_, "FETCH_DATA path=" + VolumeRelative(Path(row.name))), 0) << row.name;
    }
}

// Without a provider a delete goes ahead. With one, deletes and renames are told to it: a rename out of the root
// has no target in scope, a directory's delete says so. A provider without notify callbacks is not asked. A refusal
// fails the operation with the mapped error and leaves the file: both wait for the acknowledgement.
TEST_F(NotificationTest, WhatTheProviderIsToldOfDeletesAndRenamesAndWhatItsRefusalDoes) {
    AddFile("del.txt", "to delete", L"id-del");
    for (const char* name : {"old.txt", "leaving.txt", "a.txt", "b.txt", "keep.txt"}) AddFile(name, "data");
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
    KillProvider();
    StartProvider({"--fetch-only"});
    EXPECT_EQ(Cfemu({"rm", Path("b.txt")}).exitCode, 0);
    EXPECT_FALSE(FileExists(Path("b.txt")));
    EXPECT_EQ(CountLines(log_, "NOTIFY_DELETE"), 2);
    KillProvider();

    const struct {
        const char *option, *status, *expected;
    } refusals[] = {
        {"--ack-delete", "0xC000CF14", "0x80070187"},
        {"--ack-delete", "0xC0000022", "0x80070185"},  // access denied becomes unsuccessful
        {"--ack-rename", "0xC000CF14", "0x80070187"},
        {"--ack-rename", "0xC000CF12", "0x80070185"},
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

// Sends a delete request to the provider of `root` from a child process that first takes `uid` (if given): 'A' for
// an answer, 'E' for a connection ended without one, 'X' when the test's own steps (user id, connecting) failed.
char DeleteRequestFromChild(const std::string& root, const std::string& path, const uid_t* uid = nullptr) {
    cfemu::Request request;
    request.kind = cfemu::RequestKind::Delete;
    request.path = path;
    const std::vector<BYTE> bytes = cfemu::EncodeRequest(request);
    const std::string name = cfemu::SocketName(root);
    const pid_t child = fork();
    if (child == 0) {
        char verdict = 'X';
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::copy(name.begin(), name.end(), address.sun_path);
        const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
        if ((uid == nullptr || setuid(*uid) == 0) && fd >= 0 &&
            connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0) {
            // A provider that turns the sender away may close before the request is even sent.
            BYTE reply[4];
            const bool sent = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
            verdict = sent && recv(fd, reply, sizeof(reply), 0) == static_cast<ssize_t>(sizeof(reply)) ? 'A' : 'E';
        }
        _exit(verdict);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) ? char(WEXITSTATUS(status)) : 'X';
}

// The provider's socket has no file permissions, so the filter itself keeps out requests from other users and
// requests for paths that are not below the root: none of them reaches a callback.
TEST_F(NotificationTest, RequestsFromOtherUsersOrForPathsOutsideTheRootGetNoCallback) {
    AddFile("keep.txt", "keep", L"cf\td1\ti1\tkeep.txt");
    WriteFileBytes(base_ + "/outside.txt", "outside");
    StartProvider();
    for (const std::string& path : {base_ + "/outside.txt", root_ + "/../outside.txt", root_ + "x/keep.txt"}) {
        EXPECT_EQ(DeleteRequestFromChild(root_, path), 'E') << path;
    }
    const uid_t nobody = 65534;
    EXPECT_TRUE(geteuid() != 0 || DeleteRequestFromChild(root_, Path("keep.txt"), &nobody) == 'E');
    // The same request from this user for a file of the root is answered, and it is the only one the provider saw.
    EXPECT_EQ(DeleteRequestFromChild(root_, Path("keep.txt")), 'A');
    EXPECT_EQ(WaitForCount(log_, "NOTIFY_DELETE", 1), 1);
    EXPECT_EQ(CountLines(log_, "NOTIFY_DELETE"), 1) << ReadFileBytes(log_);
    EXPECT_EQ(ReadFileBytes(base_ + "/outside.txt"), "outside");
}

}  // namespace
}  // namespace platformtest
