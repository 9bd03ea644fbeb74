// stranger_e2e_test.cpp - a second local user squatting on the sync root's channel before the provider connects:
// nothing reaches it, no reader gets zeros, and connect names it; once it is gone everything works.
#include <fcntl.h>
#include <pwd.h>

#include "tests/e2e/e2e_fixture.h"

namespace e2e {
namespace {

class StrangerE2e : public MountTest {
  protected:
    void SetUp() override {
        MountTest::SetUp();
        if (geteuid() != 0 || access("/usr/sbin/useradd", X_OK) != 0 || access("/usr/bin/setpriv", X_OK) != 0) {
            GTEST_SKIP() << "a second local user needs root, /usr/sbin/useradd and /usr/bin/setpriv";
        }
        const std::string name = "cfstranger" + std::to_string(getpid());
        const ProcessResult added = RunProcess({"/usr/sbin/useradd", "-M", "-s", "/usr/sbin/nologin", name});
        const passwd* entry = added.exitCode == 0 ? getpwnam(name.c_str()) : nullptr;
        if (entry == nullptr) GTEST_SKIP() << "useradd could not create a user here: " << added.err;
        user = name;
        uid = std::to_string(entry->pw_uid);
        gid = std::to_string(entry->pw_gid);
    }
    void TearDown() override {
        squatter.reset();  // the user is removed only once none of its processes runs
        if (!user.empty()) {
            EXPECT_EQ(RunProcess({"/usr/sbin/userdel", user}).exitCode, 0);
        }
        MountTest::TearDown();
    }

    std::string user, uid, gid;
    std::unique_ptr<BackgroundProcess> squatter;
};

TEST_F(StrangerE2e, ASquatterOnTheChannelGetsNothingAndIsNamed) {
    SeedFiles({{"a.bin", 5000}});
    const std::string bytes = ReadFileBytes(CacheFile(D1("a.bin")));
    // It binds the name the root's provider would bind and answers every request with success.
    squatter = std::make_unique<BackgroundProcess>(std::vector<std::string>{
        "/usr/bin/setpriv", "--reuid=" + uid, "--regid=" + gid, "--clear-groups",
        std::string(VOSKE_BINARY_DIR) + "/filter_provider", cfemu::CanonicalPath(Env().SyncRoot()), "-", "--squat", "0"});
    ASSERT_TRUE(WaitUntil([&] { return squatter->Out().find("CONNECTED pid=") != std::string::npos; }, 20000))
        << squatter->Err();
    const std::string named = "process " + std::to_string(squatter->Pid()) + " of user " + user + " (uid " + uid + ")";

    const ProcessResult cat = Cfemu({"cat", Root("a.bin")});
    ExpectRefused(cat, "0x8007016A");
    EXPECT_NE(cat.err.find(named), std::string::npos) << cat.err;
    const bool mounted = StartMount();
    if (mounted) {
        ExpectRefused(RunProcess({"/usr/bin/cat", mountpoint + "/a.bin"}), "Input/output error");
        EXPECT_NE(mount->Err().find(named), std::string::npos) << mount->Err();
    }
    const ProcessResult connect = Verb("connect", 30000);
    EXPECT_EQ(connect.exitCode, 1);
    EXPECT_NE(connect.err.find("channel is held by " + named), std::string::npos) << connect.err;
    EXPECT_EQ(LastLine("[ERROR]"), "[ERROR] CfConnectSyncRoot failed hr=0x80070005 - access is denied (another user's root, or a file "
              "held read-only)");
    EXPECT_FALSE(Hydrated("a.bin"));
    EXPECT_EQ(squatter->Out().find("REQUEST"), std::string::npos) << squatter->Out();

    squatter->Signal(SIGTERM);
    EXPECT_EQ(ExitOf(*squatter), 128 + SIGTERM);
    StartProvider();
    EXPECT_TRUE(OutputOf(Cfemu({"cat", Root("a.bin")})) == bytes);
    if (mounted) {
        EXPECT_TRUE(OutputOf(RunProcess({"/usr/bin/cat", mountpoint + "/a.bin"})) == bytes);
    }
}

}  // namespace
}  // namespace e2e
