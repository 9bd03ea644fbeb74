// writeback_callbacks_test.cpp - the close write-back and the delete and rename notifications.
#include <functional>
#include <thread>

#include "tests/support/processes.h"
#include "tests/unit/unit_fixture.h"
#include "placeholders/identity.h"
#include "state/item_database.h"
#include "writeback/close_writeback.h"
#include "writeback/held_changes.h"
#include "writeback/notifications.h"
#include "writeback/queue_records.h"

namespace {

namespace fs = std::filesystem;

const char kEntered[] = "[WRITEBACK] close callback entered";
const char kInSyncAgain[] = "[WRITEBACK] WRITEBACK in sync again";

void Close(Request& close) { OnNotifyFileCloseCompletion(&close.info, &close.params); }

// Sends a delete or a rename notification and checks the one acknowledgement it must get.
void Notify(Scene& scene, Request& request, bool rename, DWORD flags) {
    if (rename) {
        request.params.Rename.Flags = flags;
        OnNotifyRename(&request.info, &request.params);
    } else {
        request.params.Delete.Flags = flags;
        OnNotifyDelete(&request.info, &request.params);
    }
    const std::vector<RecordedCall> acks = scene.fake.CallsOf("Execute");
    ASSERT_EQ(acks.size(), 1u);
    ExpectEchoedKeys(acks[0], rename ? CF_OPERATION_TYPE_ACK_RENAME : CF_OPERATION_TYPE_ACK_DELETE);
    EXPECT_EQ(acks[0].opParams.ParamSize, 16u);  // offset 8 + AckDelete/AckRename
    EXPECT_EQ(acks[0].opParams.AckDelete.Flags, 0u);
    EXPECT_EQ(acks[0].opParams.AckDelete.CompletionStatus, STATUS_SUCCESS);
}

}  // namespace

TEST(CloseWriteback, ClosesThatAreNotChangesOrNotSafeQueueNothing) {
    CF_PROCESS_INFO self{};
    self.StructSize = sizeof(self);
    self.ProcessId = GetCurrentProcessId();
    const char* unsafe = "[ERROR] WRITEBACK unsafe identity - not queued";
    struct Row {
        std::wstring identity;
        std::function<void(Scene&, Request&)> setup;
        const char* line;
    } rows[] = {
        {L"cf\td1\ti7\ta.txt",
         [](Scene&, Request& r) { r.params.CloseCompletion.Flags = CF_CALLBACK_CLOSE_COMPLETION_FLAG_DELETED; },
         "[WRITEBACK] close deleted - not queued"},
        {L"a.txt", [](Scene&, Request& r) { r.info.VolumeDosName = nullptr; }, "[ERROR] WRITEBACK missing path"},
        {L"a.txt", [](Scene&, Request& r) { r.info.NormalizedPath = nullptr; }, "[ERROR] WRITEBACK missing path"},
        // The provider's own closes (its copies, its hydrations) would otherwise be copied without end.
        {L"cf\td1\ti7\ta.txt", [&](Scene&, Request& r) { r.info.ProcessInfo = &self; },
         "[WRITEBACK] WRITEBACK own close skipped"},
        // A file where the item's directory goes: ERROR_PATH_NOT_FOUND.
        {L"cf\td1\ti7\ta.txt", [](Scene& s, Request&) { Put(s.Store() + "/d1/i7", ""); },
         "[ERROR] WRITEBACK engine stage copy of a.txt failed gle=3 - tried again later"},
        {L"cf\td1\t..\ta.txt", nullptr, unsafe},
        {L"a\\..\\..\\escape.txt", nullptr, unsafe},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << std::string(row.identity.begin(), row.identity.end()) << " " << row.line);
        Scene scene;
        Request close(row.identity, Put(scene.env.SyncRoot() + "/a.txt", "changed"));
        if (row.setup) row.setup(scene, close);
        Close(close);
        EXPECT_EQ(scene.Log(), (std::vector<std::string>{kEntered, row.line}));
        EXPECT_TRUE(ListDirectory(scene.QueueStaging()).empty());
        EXPECT_FALSE(FileExists(scene.Journal()));
        EXPECT_FALSE(FileExists(scene.Inbox()));
        EXPECT_FALSE(FileExists(scene.Store() + "/a.txt"));
        EXPECT_FALSE(FileExists(scene.env.ProviderBase() + "/escape.txt"));
    }
}

TEST_F(UnitTest, DehydratedPlaceholderCloseIsSkipped) {
    // A placeholder of the emulated platform that holds no data: its close cannot carry a change. A long identity
    // puts the placeholder's record in an attribute block of its own, which ext4 counts among the file's blocks.
    const std::wstring root = ProviderPaths.syncRoot;
    const std::wstring identities[] = {L"cf\td1\ti7\ta.txt", L"cf\td1\ti8\t" + std::wstring(200, L'b') + L".txt"};
    for (const std::wstring& identity : identities) {
        const std::wstring name = identity.substr(identity.rfind(L'\t') + 1);
        CreatePlatformPlaceholder(root, name, 10, identity);
        Request close(identity, env.SyncRoot() + "/" + std::string(name.begin(), name.end()));  // ASCII
        Close(close);
    }
    EXPECT_EQ(Log(), (std::vector<std::string>{kEntered, "[WRITEBACK] WRITEBACK dehydrated close skipped", kEntered,
                                               "[WRITEBACK] WRITEBACK dehydrated close skipped"}));
    EXPECT_FALSE(FileExists(Store()));
    EXPECT_EQ(PlatformCloudFilesBackend().UnregisterSyncRoot(root.c_str()), S_OK);
}

TEST(CloseWriteback, PathIdentitiesAreCopiedTwiceAndJournalledOnEveryChangeNotOnAReadOrARepeat) {
    struct Row {
        std::optional<std::wstring> identity;
        DWORD lengthOverride;  // 0: the blob's own length
        std::string copy;
    } rows[] = {
        {std::nullopt, 0, "closed.bin"},
        {std::wstring(L"x"), 1, "closed.bin"},  // a blob under two bytes counts as no identity
        {std::wstring(L"hello-from-engine.txt"), 0, "hello-from-engine.txt"},
        // Cache seeding names sub-directories of the cache: they are made below both queue directories.
        {std::wstring(L"d1\\i1\\x.bin"), 0, "d1/i1/x.bin"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.copy);
        Scene scene;
        const std::string file = Put(scene.env.SyncRoot() + "/dir/b.txt", "first bytes");
        Request close(row.identity, file);
        if (row.lengthOverride != 0) close.info.FileIdentityLength = row.lengthOverride;
        // Written, so out of sync; a read after it leaves the file in sync and is no change.
        scene.fake.SetInSyncAnswer(CF_IN_SYNC_STATE_NOT_IN_SYNC, WindowsPathOf(file));
        Close(close);
        EXPECT_EQ(ReadFileBytes(scene.QueueStaging() + "/" + row.copy), "first bytes");
        Close(close);
        scene.fake.SetInSyncAnswer(CF_IN_SYNC_STATE_NOT_IN_SYNC, WindowsPathOf(file));
        Put(file, "VOSKE\r\nappended\n");
        Close(close);
        // The change replaces both copies and adds a journal line.
        EXPECT_EQ(ReadFileBytes(scene.QueueStaging() + "/" + row.copy), "VOSKE\r\nappended\n");
        EXPECT_EQ(ReadFileBytes(scene.Store() + "/" + row.copy), "VOSKE\r\nappended\n");
        // Out of sync again with the bytes already taken (the mark was lost to a stop): marked, not taken twice.
        const bool remembered = row.copy != "closed.bin";  // a file without an identity has no item to remember
        scene.fake.SetInSyncAnswer(CF_IN_SYNC_STATE_NOT_IN_SYNC, WindowsPathOf(file));
        Close(close);
        EXPECT_EQ(ReadFileBytes(scene.Journal()),
                  remembered ? "write-back\r\nwrite-back\r\n" : "write-back\r\nwrite-back\r\nwrite-back\r\n");
        const std::vector<std::string> taken = {kEntered, "[WRITEBACK] WRITEBACK_PRODUCT_QUEUE local copy only, no network",
                                                "[WRITEBACK] WRITEBACK_QUEUED local copy only, no network", kInSyncAgain};
        std::vector<std::string> log = taken;
        log.insert(log.end(), {kEntered, "[WRITEBACK] unchanged close skipped"});
        log.insert(log.end(), taken.begin(), taken.end());
        if (remembered) {
            log.insert(log.end(), {kEntered, "[WRITEBACK] WRITEBACK change already recorded - not recorded again",
                                   kInSyncAgain});
        } else {
            log.insert(log.end(), taken.begin(), taken.end());
        }
        EXPECT_EQ(scene.Log(), log);
        EXPECT_EQ(scene.fake.CallsOf("SetInSyncState").size(), 3u);
        EXPECT_FALSE(FileExists(scene.Inbox()));
    }
}

TEST(CloseWriteback, CacheReferencesGoToTheEngineUnlessTheCacheCopyIsUnchanged) {
    struct Row {
        std::wstring identity;
        std::string file;  // below the sync root
        bool cacheExists, sameSize, sameTime, inSync;
        std::string copy;  // below the write-back store; empty: skipped as unchanged
        std::wstring domain, item;
    } rows[] = {
        // Out of sync, or the state unknown: the cache file's last-write time and size decide.
        {L"cf\td1\ti7\ta.txt", "a.txt", true, true, true, false, "", L"", L""},
        {L"cf\td1\ti7\ta.txt", "a.txt", true, false, true, false, "d1/i7/a.txt", L"d1", L"i7"},
        {L"cf\td1\ti7\ta.txt", "a.txt", true, true, false, false, "d1/i7/a.txt", L"d1", L"i7"},
        // Still in sync: only read, whatever the cache file's time and size; without a cache file, a change.
        {L"cf\td1\ti7\ta.txt", "a.txt", true, false, false, true, "", L"", L""},
        {L"cf\td1\ti7\ta.txt", "dir/a.txt", false, true, true, true, "d1/i7/a.txt", L"d1", L"i7"},
        // An empty id adds no level to the copy and stays empty in the record.
        {L"cf\t\ti7\ta.txt", "a.txt", false, true, true, false, "i7/a.txt", L"", L"i7"},
        {L"cf\td1\t\ta.txt", "a.txt", false, true, true, false, "d1/a.txt", L"d1", L""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.file << " cache " << row.cacheExists << row.sameSize << row.sameTime
                                        << " in sync " << row.inSync);
        Scene scene;
        scene.fake.SetInSyncAnswer(row.inSync ? CF_IN_SYNC_STATE_IN_SYNC : CF_IN_SYNC_STATE_NOT_IN_SYNC);
        const auto when = fs::file_time_type::clock::now() - std::chrono::hours(1);
        const std::string file = Put(scene.env.SyncRoot() + "/" + row.file, "0123456789");
        fs::last_write_time(file, when);
        if (row.cacheExists) {
            const std::string cached = Put(scene.Cache() + "/d1/i7/a.txt", row.sameSize ? "abcdefghij" : "abc");
            fs::last_write_time(cached, row.sameTime ? when : when - std::chrono::seconds(2));
        }
        Request close(row.identity, file);
        Close(close);

        const bool queued = !row.copy.empty();
        std::vector<std::string> queuedLog = {kEntered,
                                              "[WRITEBACK] WRITEBACK_ENGINE_QUEUE local copy only, no network"};
        if (!row.inSync) queuedLog.push_back(kInSyncAgain);
        const std::vector<std::string> skippedLog = {kEntered, "[WRITEBACK] unchanged close skipped"};
        EXPECT_EQ(scene.Log(), queued ? queuedLog : skippedLog);
        EXPECT_FALSE(FileExists(scene.Journal()));
        const std::vector<RecordedCall> marks = scene.fake.CallsOf("SetInSyncState");
        if (!queued) {
            EXPECT_TRUE(scene.Records().empty());
            EXPECT_FALSE(FileExists(scene.Store()));  // not even a directory for the item
            EXPECT_TRUE(marks.empty());
            continue;
        }
        // The copy keeps the file's last-write time; the file is marked in sync through a handle on it, no USN.
        EXPECT_EQ(ReadFileBytes(scene.Store() + "/" + row.copy), "0123456789");
        EXPECT_LT(std::chrono::abs(fs::last_write_time(scene.Store() + "/" + row.copy) - when),
                  std::chrono::nanoseconds(100));  // to the tick of 100 ns
        ASSERT_EQ(marks.size(), row.inSync ? 0u : 1u);
        if (row.inSync) continue;
        EXPECT_EQ(marks[0].path, WindowsPathOf(file));
        EXPECT_EQ(marks[0].inSyncState, CF_IN_SYNC_STATE_IN_SYNC);
        EXPECT_EQ(marks[0].flags, 0u);
        EXPECT_FALSE(marks[0].usnGiven);
        const std::wstring target(row.file.begin(), row.file.end());
        EXPECT_EQ(scene.Records("mod-"),
                  std::vector<std::string>{FormatCloseModifyRecord(
                      row.domain, row.item, WindowsPathOf(scene.Store() + "/" + row.copy), target)});
    }
    // Left out of sync: a change whose record cannot be written (a file where the inbox goes), a file whose
    // last-write time moved after its copy began (here as its state is asked), a change still to be taken, and a
    // change taken as the provider disconnects (the next connect offers it again).
    const char* const leftOut[] = {"[ERROR] WRITEBACK record of a.txt not written hr=0x80070003 - tried again later",
                                   "[WRITEBACK] WRITEBACK changed while copied - left out of sync",
                                   "[WRITEBACK] WRITEBACK provider disconnected - left out of sync for the next connect"};
    for (size_t k = 0; k < 3; ++k) {
        Scene scene;
        scene.fake.SetInSyncAnswer(CF_IN_SYNC_STATE_NOT_IN_SYNC);
        const std::string file = Put(scene.env.SyncRoot() + "/a.txt", "changed");
        if (k == 0) Put(scene.Inbox(), "");
        if (k == 2) scene.fake.SetStatus("SetInSyncState", static_cast<HRESULT>(0x8007017E));
        scene.fake.SetHook([&](const RecordedCall& call) {
            if (k != 1 || call.op != "GetPlaceholderInfo") return;
            fs::last_write_time(file, fs::last_write_time(file) + std::chrono::seconds(1));
        });
        Request close(std::wstring(L"cf\td1\ti7\ta.txt"), file);
        Close(close);
        EXPECT_EQ(scene.Log().back(), leftOut[k]);
        EXPECT_EQ(scene.fake.CallsOf("SetInSyncState").size(), k == 2 ? 1u : 0u);
    }
}

// A stop after the item database noted a change's version but before its record was published leaves the record
// under its temporary name: the next start publishes it once, with no second copy, when the file still has that
// version; removes it and takes the file again when it changed since; and removes it when its item went.
TEST(CloseWriteback, ARecordAStopLeftUnpublishedIsPublishedOnceOrRemoved) {
    const std::string published = "[WRITEBACK] WRITEBACK record of a change taken before a stop published";
    for (const char* after : {"unchanged", "changed again", "gone"}) {
        SCOPED_TRACE(after);
        Scene scene;
        const std::string file = Put(scene.env.SyncRoot() + "/a.txt", "changed");
        scene.fake.SetInSyncAnswer(CF_IN_SYNC_STATE_NOT_IN_SYNC, WindowsPathOf(file));
        Request close(std::wstring(L"cf\td1\ti7\ta.txt"), file);
        Close(close);
        const std::vector<std::string> first = scene.Records("mod-");
        ASSERT_EQ(first.size(), 1u);
        // The stop: the record back under a name of the kind it had before it was published, the file out of sync.
        const std::string name = ListDirectory(scene.Inbox())[0];
        fs::rename(scene.Inbox() + "/" + name, scene.Inbox() + "/.taking-mod-1.77.0.tmp");
        scene.fake.SetInSyncAnswer(CF_IN_SYNC_STATE_NOT_IN_SYNC, WindowsPathOf(file));
        const std::string after2 = after;
        if (after2 == "changed again") Put(file, "changed again");
        EXPECT_EQ(FindLeftTakingRecords(), 1);
        const size_t logged = scene.Log().size();
        const int removed = after2 == "gone" ? RemoveLeftTakingRecordsExcept({{L"d1", L"i8"}}) : 0;
        if (after2 != "gone") Close(close);
        std::vector<std::string> log = scene.Log();
        log.erase(log.begin(), log.begin() + static_cast<long>(logged));
        if (after2 == "unchanged") {
            EXPECT_EQ(log, (std::vector<std::string>{kEntered, published,
                                                      "[WRITEBACK] WRITEBACK change already recorded - not recorded again",
                                                      kInSyncAgain}));
            EXPECT_EQ(scene.Records("mod-"), first);
        } else if (after2 == "changed again") {
            EXPECT_EQ(log, (std::vector<std::string>{kEntered, "[WRITEBACK] WRITEBACK_ENGINE_QUEUE local copy only, no network",
                                                      kInSyncAgain}));
            EXPECT_EQ(scene.Records("mod-"), first);  // the same item and place: the same bytes, the new copy
            EXPECT_EQ(ReadFileBytes(scene.Store() + "/d1/i7/a.txt"), "changed again");
        } else {
            EXPECT_EQ(removed, 1);
            EXPECT_TRUE(scene.Records("mod-").empty());
        }
        EXPECT_EQ(ListDirectory(scene.Inbox()).size(), after2 == "gone" ? 0u : 1u);  // nothing under a temporary name
        EXPECT_EQ(RemoveLeftTakingRecordsExcept({}), 0);  // nothing left remembered
    }
}

// Windows replaces only a closed file: a reader holding the previous copy delays the copy's final rename, which
// waits up to 2 s for it; a reader that stays makes the copy fail with its code, and the file stays out of sync.
TEST(CloseWriteback, ACopyWaitsForAReaderOfThePreviousCopy) {
    for (const bool readerStays : {false, true}) {
        SCOPED_TRACE(readerStays);
        Scene scene;
        scene.fake.SetInSyncAnswer(CF_IN_SYNC_STATE_NOT_IN_SYNC);
        const std::string previous = Put(scene.QueueStaging() + "/b.txt", "previous");
        HANDLE reader = CreateFileW(WindowsPathOf(previous).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(reader, INVALID_HANDLE_VALUE);
        Request close(std::wstring(L"b.txt"), Put(scene.env.SyncRoot() + "/b.txt", "new bytes"));
        std::thread closer([&] { Close(close); });
        // The reader leaves once the new copy waits under its temporary name.
        const auto waiting = [&] { return ListDirectory(scene.QueueStaging()).size() == 2; };
        if (!readerStays) {
            EXPECT_TRUE(WaitUntil(waiting, 5000));
            CloseHandle(reader);
        }
        closer.join();
        if (readerStays) CloseHandle(reader);
        EXPECT_EQ(ReadFileBytes(previous), readerStays ? "previous" : "new bytes");
        EXPECT_EQ(scene.Log().at(1), readerStays ? "[ERROR] WRITEBACK staging copy of b.txt failed gle=5 - tried again later"
                                                 : "[WRITEBACK] WRITEBACK_PRODUCT_QUEUE local copy only, no network");
        EXPECT_EQ(scene.fake.CallsOf("SetInSyncState").size(), readerStays ? 0u : 1u);
    }
}

// A delete or rename of a safe cache reference writes its record before the acknowledgement; an undelete, or an
// item that is no safe cache reference, is only acknowledged.
// A file that is no placeholder is taken once no program holds it open for writing: staged under the identity it is
// given, then converted with that identity, in sync; one that is a placeholder by now, or gone, is left alone.
TEST(UnplacedFiles, TakenOnceTheWriterIsDoneAndConvertedWithTheirIdentity) {
    Scene scene;
    const std::string file = Put(scene.env.SyncRoot() + "/n/new.txt", "new bytes");
    const std::wstring path = WindowsPathOf(file);
    const std::vector<BYTE> identity = EncodeIdentityBlob(L"n\\new.txt");
    scene.fake.SetStatus("GetPlaceholderInfo", kHrNotACloudFile);
    HANDLE writer = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(WriteBackUnplacedFile(path, identity), UnplacedFileResult::kBusy);
    CloseHandle(writer);
    EXPECT_EQ(WriteBackUnplacedFile(WindowsPathOf(scene.env.SyncRoot() + "/n/gone.txt"), identity), UnplacedFileResult::kGone);
    EXPECT_TRUE(scene.fake.CallsOf("Convert").empty());
    EXPECT_EQ(WriteBackUnplacedFile(path, identity), UnplacedFileResult::kTaken);
    EXPECT_EQ(ReadFileBytes(scene.QueueStaging() + "/n/new.txt"), "new bytes");
    EXPECT_EQ(ReadFileBytes(scene.Store() + "/n/new.txt"), "new bytes");
    const std::vector<RecordedCall> converts = scene.fake.CallsOf("Convert");
    ASSERT_EQ(converts.size(), 1u);
    EXPECT_EQ(converts[0].path, path);
    EXPECT_EQ(converts[0].identity, identity);
    EXPECT_EQ(converts[0].flags, CF_CONVERT_FLAG_MARK_IN_SYNC);
    EXPECT_FALSE(converts[0].usnGiven || converts[0].overlappedGiven);
    scene.fake.SetStatus("GetPlaceholderInfo", S_OK);
    EXPECT_EQ(WriteBackUnplacedFile(path, identity), UnplacedFileResult::kGone);
    EXPECT_EQ(ReadFileBytes(scene.Journal()), "write-back\r\n");
    EXPECT_TRUE(scene.fake.CallsOf("SetInSyncState").empty());
}

TEST(Notifications, RecordsOnlyForSafeCacheReferencesAndBeforeTheAcknowledgement) {
    const std::wstring ref = L"cf\td1\ti7\ta.txt";
    const DWORD undelete = CF_CALLBACK_DELETE_FLAG_IS_UNDELETE, directory = CF_CALLBACK_DELETE_FLAG_IS_DIRECTORY;
    struct Row {
        bool rename;
        std::string from, to;  // to: none for a rename without a target
        DWORD flags;           // of the delete or of the rename
        std::optional<std::wstring> identity;
        const wchar_t *domain, *item;  // of the record; null when none is written
        DWORD lengthOverride = 0;      // 0: the blob's own length
    } rows[] = {
        {false, "a.txt", "", 0, ref, L"d1", L"i7"},
        {false, "dir", "", directory, ref, L"d1", L"i7"},
        {true, "a.txt", "dir/sub/b.txt", 0, ref, L"d1", L"i7"},
        {true, "dir/d", "e", CF_CALLBACK_RENAME_FLAG_IS_DIRECTORY, ref, L"d1", L"i7"},
        {true, "a.txt", "", 0, ref, L"d1", L"i7"},
        {false, "a.txt", "", 0, L"cf\t\ti7\ta.txt", L"", L"i7"},
        {true, "a.txt", "b.txt", 0, L"cf\t\t\ta.txt", L"", L""},
        {false, "a.txt", "", undelete, ref, nullptr, nullptr},
        {false, "a.txt", "", undelete | directory, ref, nullptr, nullptr},
        {false, "a.txt", "", 0, L"hello-from-engine.txt", nullptr, nullptr},
        {true, "a.txt", "b.txt", 0, std::nullopt, nullptr, nullptr},
        {false, "a.txt", "", 0, ref, nullptr, nullptr, 1},  // a blob under two bytes counts as no identity
        {true, "a.txt", "b.txt", 0, ref, nullptr, nullptr, 1},
        {false, "a.txt", "", 0, L"cf\td1\ti/7\ta.txt", nullptr, nullptr},
        {true, "a.txt", "b.txt", 0, L"cf\td1\ti7\tcon.txt", nullptr, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.from << " -> " << row.to << " rename " << row.rename << " row "
                                        << &row - rows);
        Scene scene;
        std::vector<std::string> recordsAtAck;
        scene.fake.SetHook([&](const RecordedCall&) { recordsAtAck = scene.Records(); });
        Request request(row.identity, scene.env.SyncRoot() + "/" + row.from);
        if (row.lengthOverride != 0) request.info.FileIdentityLength = row.lengthOverride;
        if (!row.to.empty()) request.RenameTo(scene.env.SyncRoot() + "/" + row.to);
        Notify(scene, request, row.rename, row.flags);
        if (row.domain == nullptr) {
            EXPECT_TRUE(ListDirectory(scene.Inbox()).empty());
            continue;
        }
        const std::wstring from(row.from.begin(), row.from.end()), to(row.to.begin(), row.to.end());
        const std::string record = FormatGenericRecord(row.rename ? "modify" : "delete", row.domain, row.item,
                                                       row.flags != 0, row.rename ? to : from, row.rename ? from : L"");
        EXPECT_EQ(recordsAtAck, std::vector<std::string>{record});
        // A file's delete or rename within the root is held, written but not yet published; a directory's, or a
        // move out of the root, is published at once.
        const bool held = row.rename ? !row.to.empty() && row.flags == 0 : (row.flags & directory) == 0;
        const std::string type = row.rename ? "modify-" : "delete-";
        EXPECT_EQ(scene.Records(held ? ".held-" + type : type), std::vector<std::string>{record});
        EXPECT_EQ(IsHeld(*row.identity), held);
        DropHeld(*row.identity);
        EXPECT_EQ(scene.Records().size(), held ? 0u : 1u);
        EXPECT_EQ(scene.Log(),
                  std::vector<std::string>{row.rename ? "[WRITEBACK] rename callback - local queue only, no network"
                                                      : "[WRITEBACK] delete callback - local queue only, no network"});
    }
}

// Items at or below a path, as the file system matches names: exactly, or without regard to case; never a sibling
// whose name only begins the same way, nor an item another displaced from its path.
TEST_F(UnitTest, ItemsAtOrBelowAPathExactlyOrWithoutRegardToCase) {
    NoteItemAt(L"Dir\\Sub\\a.txt", L"cf\td1\ta\ta.txt", ItemKind::kEngineItem);
    NoteItemAt(L"Dir\\Subway.txt", L"cf\td1\tb\tb.txt", ItemKind::kEngineItem);
    NoteItemAt(L"Dir\\Subway.txt", L"cf\td1\tc\tc.txt", ItemKind::kEngineItem);  // displaces b
    ItemRow displaced;
    EXPECT_TRUE(FindItem(L"cf\td1\tb\tb.txt", displaced) && !displaced.present);
    const struct {
        const wchar_t* path;
        bool ignoringCase;
        size_t found;
    } rows[] = {{L"Dir\\Sub", false, 1}, {L"dir\\sub", false, 0},    {L"dir\\SUB", true, 1}, {L"DIR", true, 2},
                {L"dir\\su", true, 0},   {L"dir/sub/A.TXT", true, 1}, {L"", true, 2},         {L"Dir\\Subway.txt", false, 1}};
    for (const auto& row : rows) {
        EXPECT_EQ(PresentItemsBelow(row.path, row.ignoringCase).size(), row.found) << ToUtf8(row.path) << row.ignoringCase;
    }
}
