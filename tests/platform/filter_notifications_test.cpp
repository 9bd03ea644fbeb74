// filter_notifications_test.cpp - close, delete and rename notifications across processes: what the provider
// is told, and that deletes and renames wait for its acknowledgement and obey a refusal.
#include "tests/platform/filter_test_support.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

namespace filtertest {
namespace {

using NotificationTest = RegisteredRootTest;

TEST_F(NotificationTest, CloseCompletionCarriesVolumePathAndIdentity) {
    AddFile("c.txt", "close me", L"cf\td1\ti1\tc.txt");
    StartProvider();

    ProcessResult cat = Cfemu({"cat", Path("c.txt")});
    ASSERT_EQ(cat.exitCode, 0) << cat.err;

    std::string close = WaitForLine(log_, "CLOSE_COMPLETION");
    ASSERT_FALSE(close.empty()) << ReadFileBytes(log_);
    std::string head = "CLOSE_COMPLETION path=" + VolumeRelative(Path("c.txt")) +
                       " dos=Z: size=8 identity_length=" + std::to_string(Utf16Blob(L"cf\td1\ti1\tc.txt").size()) +
                       " pid=";
    EXPECT_EQ(close.substr(0, head.size()), head) << close;
    std::string tail = " identity=cf\\td1\\ti1\\tc.txt flags=0x0";
    ASSERT_GE(close.size(), tail.size());
    EXPECT_EQ(close.substr(close.size() - tail.size()), tail) << close;
    // The hydration's own fetch came from the same reader, with its image path.
    std::string fetch = WaitForLine(log_, "FETCH_DATA");
    EXPECT_NE(fetch.find("image=Z:"), std::string::npos) << fetch;
    EXPECT_NE(fetch.find("cfemu"), std::string::npos) << fetch;
}

TEST_F(NotificationTest, EveryHandleWithDataOrDeleteAccessAnnouncesItsCloseAttributeOnlyOnesDoNot) {
    struct Row {
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
    for (const Row& row : rows) AddFile(row.name, "data");
    AddFile("last.txt", "data");
    StartProvider();

    // Opened and closed by this process, no data moved through any handle.
    for (const Row& row : rows) {
        HANDLE file = CreateFileW(Win(Path(row.name)).c_str(), row.access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << row.name;
        CloseHandle(file);
    }
    ASSERT_EQ(Cfemu({"cat", Path("last.txt")}).exitCode, 0);
    ASSERT_FALSE(WaitForLine(log_, "CLOSE_COMPLETION path=" + VolumeRelative(Path("last.txt"))).empty());

    for (const Row& row : rows) {
        const std::string close = "CLOSE_COMPLETION path=" + VolumeRelative(Path(row.name)) + " dos=Z: size=4";
        EXPECT_EQ(CountLines(log_, close), row.closes) << row.name;
        // The closing process is named: this one.
        const std::string identityLength = std::to_string(Utf16Blob(L"id\t" + posix::Utf8ToWide(row.name)).size());
        EXPECT_EQ(CountLines(log_, close + " identity_length=" + identityLength + " pid=" + std::to_string(getpid())),
                  row.closes)
            << row.name;
        EXPECT_EQ(CountLines(log_, "FETCH_DATA path=" + VolumeRelative(Path(row.name))), 0) << row.name;
    }
}

TEST_F(NotificationTest, DeleteWaitsForTheAcknowledgementAndHappensOnlyAfterIt) {
    AddFile("del.txt", "to delete", L"id-del");
    std::string release = base_ + "/release";
    StartProvider({"--hold", release});

    auto rm = StartCfemu({"rm", Path("del.txt")});
    std::string notify = WaitForLine(log_, "NOTIFY_DELETE");
    ASSERT_FALSE(notify.empty());
    EXPECT_NE(notify.find("path=" + VolumeRelative(Path("del.txt")) + " dos=Z: size=9"), std::string::npos) << notify;
    EXPECT_NE(notify.find("identity=id-del flags=0x0"), std::string::npos) << notify;
    // Told, not yet acknowledged: the file is still there and the deleting process still waits.
    EXPECT_TRUE(FileExists(Path("del.txt")));
    EXPECT_FALSE(rm->Wait(0));

    WriteFileBytes(release, "go");
    int exitCode = -1;
    ASSERT_TRUE(rm->Wait(20000, &exitCode));

    EXPECT_EQ(exitCode, 0) << rm->Err();
    EXPECT_FALSE(FileExists(Path("del.txt")));
    EXPECT_EQ(WaitForCount(log_, "ACK_DELETE status=0x00000000 hr=0x00000000", 1), 1);
}

TEST_F(NotificationTest, RenameWaitsForTheAcknowledgementWithTargetAndScopeFlags) {
    AddFile("old.txt", "rename me");
    std::string release = base_ + "/release";
    StartProvider({"--hold", release});

    auto mv = StartCfemu({"mv", Path("old.txt"), Path("new.txt")});
    std::string notify = WaitForLine(log_, "NOTIFY_RENAME");
    ASSERT_FALSE(notify.empty());
    EXPECT_NE(notify.find("path=" + VolumeRelative(Path("old.txt"))), std::string::npos) << notify;
    // SOURCE_IN_SCOPE | TARGET_IN_SCOPE.
    EXPECT_NE(notify.find("target=" + VolumeRelative(Path("new.txt")) + " flags=0x6"), std::string::npos) << notify;
    EXPECT_TRUE(FileExists(Path("old.txt")));
    EXPECT_FALSE(FileExists(Path("new.txt")));

    WriteFileBytes(release, "go");
    int exitCode = -1;
    ASSERT_TRUE(mv->Wait(20000, &exitCode));

    EXPECT_EQ(exitCode, 0) << mv->Err();
    EXPECT_FALSE(FileExists(Path("old.txt")));
    EXPECT_TRUE(IsPlaceholderPath(Path("new.txt")));
}

TEST_F(NotificationTest, RenameOutOfTheRootHasNoTargetInScope) {
    AddFile("leaving.txt", "bye");
    StartProvider();

    ProcessResult mv = Cfemu({"mv", Path("leaving.txt"), base_ + "/outside.txt"});

    ASSERT_EQ(mv.exitCode, 0) << mv.err;
    std::string notify = WaitForLine(log_, "NOTIFY_RENAME");
    EXPECT_NE(notify.find("target=" + VolumeRelative(base_ + "/outside.txt") + " flags=0x2"), std::string::npos)
        << notify;
}

TEST_F(NotificationTest, DirectoryPlaceholderDeleteCarriesIsDirectory) {
    PlaceholderSpec folder{L"folder", 0, L"dir-id"};
    folder.directory = true;
    ASSERT_EQ(CreatePlaceholder(root_, folder), S_OK);
    StartProvider();

    // Removing the empty directory through the stand-in asks the provider first.
    EXPECT_TRUE(RemoveDirectoryW(WindowsPathOf(Path("folder")).c_str())) << GetLastError();

    std::string notify = WaitForLine(log_, "NOTIFY_DELETE");
    EXPECT_NE(notify.find("path=" + VolumeRelative(Path("folder")) + " dos=Z: size=0"), std::string::npos) << notify;
    EXPECT_NE(notify.find("identity=dir-id flags=0x1"), std::string::npos) << notify;
    EXPECT_EQ(WaitForCount(log_, "ACK_DELETE status=0x00000000 hr=0x00000000", 1), 1);
    EXPECT_FALSE(FileExists(Path("folder")));
}

struct RefusalCase {
    const char* name;
    const char* option;
    const char* status;
    const char* operation;
    const char* expected;
};
// Test listings show a case by its name, not by its bytes.
void PrintTo(const RefusalCase& row, std::ostream* out) { *out << row.name; }

class RefusedAckTest : public RegisteredRootTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusedAckTest, RefusalFailsTheOperationWithTheMappedErrorAndLeavesTheFile) {
    const RefusalCase& row = GetParam();
    AddFile("keep.txt", "keep");
    StartProvider({row.option, row.status});

    ProcessResult result = std::string(row.operation) == "rm" ? Cfemu({"rm", Path("keep.txt")})
                                                              : Cfemu({"mv", Path("keep.txt"), Path("moved.txt")});

    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find(row.expected), std::string::npos) << result.err;
    EXPECT_TRUE(FileExists(Path("keep.txt")));
    EXPECT_FALSE(FileExists(Path("moved.txt")));
}

INSTANTIATE_TEST_SUITE_P(
    Acks, RefusedAckTest,
    ::testing::Values(RefusalCase{"DeleteInUse", "--ack-delete", "0xC000CF14", "rm", "0x80070187"},
                      RefusalCase{"DeleteAccessDeniedIsUnsuccessful", "--ack-delete", "0xC0000022", "rm", "0x80070185"},
                      RefusalCase{"RenameInUse", "--ack-rename", "0xC000CF14", "mv", "0x80070187"},
                      RefusalCase{"RenameUnsuccessful", "--ack-rename", "0xC000CF12", "mv", "0x80070185"}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

TEST_F(NotificationTest, ProviderWithoutNotifyCallbacksIsNotAskedAndNoProviderAtAllDeletesToo) {
    AddFile("a.txt", "a");
    AddFile("b.txt", "b");
    ProcessResult withoutProvider = Cfemu({"rm", Path("a.txt")});
    ASSERT_EQ(withoutProvider.exitCode, 0) << withoutProvider.err;
    EXPECT_FALSE(FileExists(Path("a.txt")));

    StartProvider({"--fetch-only"});
    ProcessResult rm = Cfemu({"rm", Path("b.txt")});
    ASSERT_EQ(rm.exitCode, 0) << rm.err;
    EXPECT_FALSE(FileExists(Path("b.txt")));
    EXPECT_EQ(CountLines(log_, "NOTIFY_DELETE"), 0);
}

TEST_F(NotificationTest, OrdinaryFilesInTheRootRaiseNoNotifications) {
    WriteFileBytes(Path("local.txt"), "local");
    AddFile("marker.txt", "m");
    StartProvider();

    ASSERT_EQ(Cfemu({"cat", Path("local.txt")}).out, "local");
    ASSERT_EQ(Cfemu({"mv", Path("local.txt"), Path("local2.txt")}).exitCode, 0);
    ASSERT_EQ(Cfemu({"rm", Path("local2.txt")}).exitCode, 0);
    // A placeholder read afterwards: its close notification shows the earlier ones would have arrived by now.
    ASSERT_EQ(Cfemu({"cat", Path("marker.txt")}).exitCode, 0);
    ASSERT_FALSE(WaitForLine(log_, "CLOSE_COMPLETION path=" + VolumeRelative(Path("marker.txt"))).empty());

    EXPECT_EQ(CountLines(log_, "local"), 0) << ReadFileBytes(log_);
}

// Sends one delete request to the provider of `root` as a client process would, from a child that first takes
// the given user id (none: stays as it is). Returns the child's report: 'A' for an answer, 'E' for a connection
// that ended without one, 'X' for a failure of the test's own steps (taking the user id, connecting).
char DeleteRequestFromChild(const std::string& root, const std::string& path, const uid_t* uid) {
    const std::string name = cfemu::SocketName(root);
    cfemu::Request request;
    request.kind = cfemu::RequestKind::Delete;
    request.path = path;
    const std::vector<BYTE> bytes = cfemu::EncodeRequest(request);
    int report[2];
    if (pipe(report) != 0) return 'X';
    pid_t child = fork();
    if (child == 0) {
        char verdict = 'X';
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::copy(name.begin(), name.end(), address.sun_path);
        int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
        if ((uid == nullptr || setuid(*uid) == 0) && fd >= 0 &&
            connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0) {
            // A provider that turns the sender away may close before the request is even sent.
            BYTE reply[4];
            const bool sent = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
            verdict = sent && recv(fd, reply, sizeof(reply), 0) == static_cast<ssize_t>(sizeof(reply)) ? 'A' : 'E';
        }
        (void)!write(report[1], &verdict, 1);
        _exit(0);
    }
    close(report[1]);
    char verdict = 'X';
    if (child < 0 || read(report[0], &verdict, 1) != 1) verdict = 'X';
    close(report[0]);
    if (child > 0) waitpid(child, nullptr, 0);
    return verdict;
}

// The provider's socket has no file permissions, so the filter itself keeps out requests from other users and
// requests for paths that are not below the root: none of them reaches a callback.
TEST_F(NotificationTest, RequestsFromOtherUsersOrForPathsOutsideTheRootGetNoCallback) {
    AddFile("keep.txt", "keep", L"cf\td1\ti1\tkeep.txt");
    WriteFileBytes(base_ + "/outside.txt", "outside");
    StartProvider();

    EXPECT_EQ(DeleteRequestFromChild(root_, base_ + "/outside.txt", nullptr), 'E');
    EXPECT_EQ(DeleteRequestFromChild(root_, root_ + "/../outside.txt", nullptr), 'E');
    EXPECT_EQ(DeleteRequestFromChild(root_, root_ + "x/keep.txt", nullptr), 'E');
    if (geteuid() == 0) {
        const uid_t nobody = 65534;
        EXPECT_EQ(DeleteRequestFromChild(root_, Path("keep.txt"), &nobody), 'E');
    }
    // The same request from this user for a file of the root is answered, and it is the only one the provider saw.
    EXPECT_EQ(DeleteRequestFromChild(root_, Path("keep.txt"), nullptr), 'A');
    EXPECT_EQ(WaitForCount(log_, "NOTIFY_DELETE", 1), 1);
    EXPECT_EQ(CountLines(log_, "NOTIFY_DELETE"), 1) << ReadFileBytes(log_);
    EXPECT_EQ(ReadFileBytes(base_ + "/outside.txt"), "outside");
}

}  // namespace
}  // namespace filtertest
