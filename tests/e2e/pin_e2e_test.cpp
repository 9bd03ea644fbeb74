// pin_e2e_test.cpp - "Always keep on this device" and "Free up space" set with `cfemu attrib` while `connect` runs
// and while it is stopped: the provider hydrates what is pinned and dehydrates what is unpinned, in the background, a
// few files at once, and takes a change before it gives the file's space back.
#include <sys/stat.h>

#include <cstdio>

#include "tests/e2e/e2e_fixture.h"

namespace e2e {
namespace {

class Pins : public ProgramTest {
  protected:
    // Files hydrated and the most at once, summed over the "done" lines from the `skip`-th on.
    std::pair<int, int> Done(size_t skip) const {
        int files = 0, most = 0;
        const std::vector<std::string> lines = Lines("[PIN] background work done - ");
        for (size_t k = skip; k < lines.size(); ++k) {
            int hydrated = 0, dehydrated = 0, atOnce = 0;
            unsigned long long hydratedBytes = 0, dehydratedBytes = 0;
            EXPECT_EQ(sscanf(lines[k].c_str(),
                             "[PIN] background work done - %d files hydrated (%llu bytes), %d dehydrated (%llu bytes), "
                             "at most %d at once",
                             &hydrated, &hydratedBytes, &dehydrated, &dehydratedBytes, &atOnce),
                      5)
                << lines[k];
            files += hydrated + dehydrated;
            most = std::max(most, atOnce);
        }
        return {files, most};
    }
    long long Blocks(const std::vector<std::string>& names) const {
        long long blocks = 0;
        for (const std::string& name : names) {
            struct stat st {};
            if (stat(Root(name).c_str(), &st) == 0) blocks += st.st_blocks;
        }
        return blocks;
    }
};

TEST_F(Pins, APinnedFolderIsKeptOnTheDeviceAndAnUnpinnedOneGivesItsSpaceBack) {
    constexpr int kFiles = 200;
    std::string manifest;
    std::vector<std::string> a, b;
    for (int k = 0; k < kFiles; ++k) {
        const std::string folder = k < kFiles / 2 ? "a" : "b", name = "f" + std::to_string(k) + ".bin";
        (k < kFiles / 2 ? a : b).push_back("keep/" + folder + "/" + name);
        manifest += "d1\ti" + std::to_string(k) + "\tkeep\\" + folder + "\\" + name + "\t" + std::to_string(kMiB) +
                    "\t" + name + "\n";
    }
    RegisterAndSeed(manifest);
    for (int k = 0; k < kFiles; ++k) PutCacheFile("d1/i" + std::to_string(k) + "/f" + std::to_string(k) + ".bin", PatternBytes(kMiB, k));
    std::vector<std::string> all = a;
    all.insert(all.end(), b.begin(), b.end());
    const auto allAre = [&](const std::vector<std::string>& names, bool hydrated) {
        return std::all_of(names.begin(), names.end(), [&](const std::string& name) { return Hydrated(name) == hydrated; });
    };
    StartProvider();
    ASSERT_TRUE(WaitForLine("[PIN] background work done - ", 20000));  // the look over the root at connect
    // The folders seeding made become placeholders once the watcher has looked at them.
    ASSERT_TRUE(WaitUntil([&] { return cfemu::ReadStateAt(Root("keep/a"), nullptr) && cfemu::ReadStateAt(Root("keep/b"), nullptr); },
                          20000));
    size_t runs = Lines("[PIN] background work done - ").size();

    // The folder pinned (not what it holds): everything below it comes, a few files at once, byte for byte.
    const ProcessResult pinned = Cfemu({"attrib", "+P", Root("keep")});
    ASSERT_EQ(pinned.exitCode, 0) << pinned.err;
    ASSERT_TRUE(WaitUntil([&] { return allAre(all, true); }, 120000));
    for (int k = 0; k < kFiles; ++k) ASSERT_TRUE(ReadFileBytes(Root(all[k])) == PatternBytes(kMiB, k)) << all[k];
    ASSERT_TRUE(WaitUntil([&] { return Done(runs).first == kFiles; }, 20000)) << Done(runs).first;
    EXPECT_LE(Done(runs).second, 8);
    EXPECT_GE(Done(runs).second, 1);
    // A placeholder seeded into the pinned folder later comes too.
    runs = Lines("[PIN] background work done - ").size();
    PutCacheFile("d1/late/late.bin", "late bytes");
    WriteFileBytes(Env().ProviderBase() + "/seed-manifest.tsv", manifest + "d1\tlate\tkeep\\a\\late.bin\t10\tlate.bin\n");
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(Root("keep/a/late.bin")) && Hydrated("keep/a/late.bin"); }, 20000));
    EXPECT_EQ(ReadFileBytes(Root("keep/a/late.bin")), "late bytes");
    // Its run is over (and counted here, not with the unpinning below) once its line is written.
    ASSERT_TRUE(WaitUntil([&] { return Done(runs).first == 1; }, 20000)) << Done(runs).first;

    // One sub-folder unpinned while the provider runs: its files give their space back and keep their identities; one
    // a program holds open only once it is closed.
    runs = Lines("[PIN] background work done - ").size();
    const long long before = Blocks(b);
    BackgroundProcess holder({VOSKE_CFEMU, "hold", Root(b[0]), "r", "rwd"});
    ASSERT_TRUE(WaitUntil([&] { return holder.Out().find("holding") != std::string::npos; }, 20000));
    ASSERT_EQ(Cfemu({"attrib", "-P", "+U", Root("keep/b")}).exitCode, 0);
    ASSERT_TRUE(WaitUntil([&] { return allAre(std::vector<std::string>(b.begin() + 1, b.end()), false); }, 120000));
    usleep(1500 * 1000);
    EXPECT_TRUE(Hydrated(b[0])) << "dehydrated while a program held it open";
    holder.Signal(SIGTERM);
    ExitOf(holder);
    ASSERT_TRUE(WaitUntil([&] { return allAre(b, false); }, 120000));
    EXPECT_TRUE(allAre(a, true));
    EXPECT_LT(Blocks(b) * 512, before * 512 - static_cast<long long>(b.size()) * kMiB * 9 / 10);
    for (int k = kFiles / 2; k < kFiles; ++k) {
        EXPECT_EQ(InSyncIdentity(all[k]), "cf\td1\ti" + std::to_string(k) + "\tf" + std::to_string(k) + ".bin");
    }
    ASSERT_TRUE(WaitUntil([&] { return Done(runs).first == kFiles / 2; }, 20000)) << Done(runs).first;

    // While no provider runs, a file below the pinned folder changes and the folder is unpinned, and the other one is
    // pinned again and gets a new placeholder through the manifest: the next start takes the change first (its record
    // with the new bytes), then gives the space back, the changed file's too, and hydrates the pinned folder.
    provider->Signal(SIGINT);
    ASSERT_TRUE(provider->Wait(20000));
    provider.reset();
    ASSERT_EQ(Cfemu({"append", Root(a[0]), "!"}).exitCode, 0);
    ASSERT_EQ(Cfemu({"attrib", "-P", "+U", Root("keep")}).exitCode, 0);
    ASSERT_EQ(Cfemu({"attrib", "+P", "-U", Root("keep/b")}).exitCode, 0);
    PutCacheFile("d1/later/later.bin", "seeded while stopped");
    WriteFileBytes(Env().ProviderBase() + "/seed-manifest.tsv",
                   manifest + "d1\tlate\tkeep\\a\\late.bin\t10\tlate.bin\nd1\tlater\tkeep\\b\\later.bin\t20\tlater.bin\n");
    StartProvider();
    ASSERT_TRUE(WaitUntil([&] { return allAre(a, false) && allAre(b, true) && fs::exists(Root("keep/b/later.bin")) &&
                                       Hydrated("keep/b/later.bin"); }, 120000));
    EXPECT_EQ(ReadFileBytes(Root("keep/b/later.bin")), "seeded while stopped");
    EXPECT_EQ(Records("mod-").size(), 1u);
    EXPECT_TRUE(ReadFileBytes(Queue() + "/CloudFiles/d1/i0/f0.bin") == PatternBytes(kMiB, 0) + "!");
    EXPECT_TRUE(Errors().empty()) << Errors().front();
}

}  // namespace
}  // namespace e2e
