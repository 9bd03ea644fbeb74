// writeback_callbacks_test.cpp - the close write-back and the delete and rename notifications, with the
// recording fake as the platform and real files, copies, records and journal in a temporary LOCALAPPDATA.
#include "layout/provider_paths.h"
#include "placeholders/identity.h"
#include "tests/support/fake_cloud_files.h"
#include "tests/support/test_env.h"
#include "writeback/close_writeback.h"
#include "writeback/notifications.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

namespace {

namespace fs = std::filesystem;

// A callback as the platform hands it over for a file below the sync root: drive "Z:" plus the normalised path.
struct Callback {
    std::vector<BYTE> blob;
    std::wstring volume = L"Z:";
    std::wstring normalized;
    std::wstring target;
    CF_CALLBACK_INFO info{};
    CF_CALLBACK_PARAMETERS params{};

    Callback(std::optional<std::wstring> identity, const std::string& posixPath) {
        if (identity) blob = EncodeIdentityBlob(*identity);
        normalized = WindowsPathOf(posixPath).substr(2);
        info.StructSize = sizeof(info);
        info.ConnectionKey.Internal = 0x7711;
        info.TransferKey.QuadPart = 0x5522;
        info.RequestKey.QuadPart = 0x3344;
        info.FileIdentity = blob.empty() ? nullptr : blob.data();
        info.FileIdentityLength = static_cast<DWORD>(blob.size());
        info.VolumeDosName = volume.c_str();
        info.NormalizedPath = normalized.c_str();
        params.ParamSize = sizeof(params);
    }
    void RenameTo(const std::string& posixPath) {
        target = WindowsPathOf(posixPath).substr(2);  // volume-relative, as the platform gives it
        params.Rename.TargetPath = target.c_str();
    }
};

struct Dirs {
    explicit Dirs(const TempLocalAppData& env)
        : queueStaging(env.ProviderBase() + "/Queue/Staging"),
          journal(env.ProviderBase() + "/Queue/pending-spike.jsonl"),
          store(env.ProductDir() + "/Queue/CloudFiles"),
          inbox(env.ProductDir() + "/Queue/cloud-files-inbox"),
          cache(env.ProductDir() + "/Cache") {}
    std::string queueStaging, journal, store, inbox, cache;
};

std::string Put(const std::string& path, const std::string& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    WriteFileBytes(path, bytes);
    return path;
}

void SetWriteTime(const std::string& path, fs::file_time_type time) { fs::last_write_time(path, time); }

std::string Doubled(const std::wstring& path) {
    std::string out;
    for (wchar_t c : path) {
        if (c == L'\\') out += '\\';
        out += static_cast<char>(c);
    }
    return out;
}

std::vector<std::string> Records(const std::string& inbox, const std::string& prefix) {
    std::vector<std::string> records;
    for (const std::string& name : ListDirectory(inbox)) {
        if (name.compare(0, prefix.size(), prefix) == 0) records.push_back(ReadFileBytes(inbox + "/" + name));
    }
    return records;
}

const char kEntered[] = "[WRITEBACK] close callback entered";

}  // namespace

TEST(CloseWriteback, DeletedOrPathlessClosesAreNotQueued) {
    struct Row {
        const char* name;
        DWORD flags;
        bool dropVolume, dropPath;
        const char* line;
    } rows[] = {
        {"deleted by the close", CF_CALLBACK_CLOSE_COMPLETION_FLAG_DELETED, false, false,
         "[WRITEBACK] close deleted - not queued"},
        {"no drive name", 0, true, false, "[ERROR] WRITEBACK missing path"},
        {"no normalised path", 0, false, true, "[ERROR] WRITEBACK missing path"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempLocalAppData env;
        Dirs dirs(env);
        std::string file = Put(env.SyncRoot() + "/a.txt", "changed");
        Callback close(std::nullopt, file);
        close.params.CloseCompletion.Flags = row.flags;
        if (row.dropVolume) close.info.VolumeDosName = nullptr;
        if (row.dropPath) close.info.NormalizedPath = nullptr;

        OnNotifyFileCloseCompletion(&close.info, &close.params);

        EXPECT_EQ(LogMessages(env.LogFile()), (std::vector<std::string>{kEntered, row.line}));
        EXPECT_TRUE(ListDirectory(dirs.queueStaging).empty());
        EXPECT_FALSE(FileExists(dirs.journal));
        EXPECT_FALSE(FileExists(env.ProductDir() + "/Queue"));
    }
}

TEST(CloseWriteback, FileWithoutIdentityGoesToClosedBinAndTheJournalGrows) {
    TempLocalAppData env;
    Dirs dirs(env);
    std::string first = Put(env.SyncRoot() + "/a.txt", "first bytes");
    std::string second = Put(env.SyncRoot() + "/dir/b.txt", "second");

    Callback closeFirst(std::nullopt, first);
    OnNotifyFileCloseCompletion(&closeFirst.info, &closeFirst.params);
    EXPECT_EQ(ReadFileBytes(dirs.queueStaging + "/closed.bin"), "first bytes");
    EXPECT_EQ(ReadFileBytes(dirs.store + "/closed.bin"), "first bytes");
    EXPECT_EQ(ReadFileBytes(dirs.journal), "write-back\r\n");

    // A blob under two bytes counts as no identity too; the next close overwrites both copies.
    Callback closeSecond(std::wstring(L"x"), second);
    closeSecond.info.FileIdentityLength = 1;
    OnNotifyFileCloseCompletion(&closeSecond.info, &closeSecond.params);
    EXPECT_EQ(ReadFileBytes(dirs.queueStaging + "/closed.bin"), "second");
    EXPECT_EQ(ReadFileBytes(dirs.store + "/closed.bin"), "second");
    EXPECT_EQ(ReadFileBytes(dirs.journal), "write-back\r\nwrite-back\r\n");
    EXPECT_FALSE(FileExists(dirs.inbox));
}

TEST(CloseWriteback, DemoPlaceholderIsCopiedTwiceAndJournalled) {
    TempLocalAppData env;
    Dirs dirs(env);
    std::string file = Put(env.SyncRoot() + "/hello-from-engine.txt", "VOSKE\r\nappended\n");
    Callback close(std::wstring(L"hello-from-engine.txt"), file);

    OnNotifyFileCloseCompletion(&close.info, &close.params);

    EXPECT_EQ(ReadFileBytes(dirs.queueStaging + "/hello-from-engine.txt"), "VOSKE\r\nappended\n");
    EXPECT_EQ(ReadFileBytes(dirs.store + "/hello-from-engine.txt"), "VOSKE\r\nappended\n");
    EXPECT_EQ(ReadFileBytes(dirs.journal), "write-back\r\n");
    EXPECT_EQ(LogMessages(env.LogFile()),
              (std::vector<std::string>{kEntered, "[WRITEBACK] WRITEBACK_PRODUCT_QUEUE local copy only, no network",
                                        "[WRITEBACK] WRITEBACK_QUEUED local copy only, no network"}));
}

TEST(CloseWriteback, CacheSeedIdentityWithBackslashesFailsItsStagingCopy) {
    TempLocalAppData env;
    Dirs dirs(env);
    std::string file = Put(env.SyncRoot() + "/d1/i1/x.bin", "bytes");
    Callback close(std::wstring(L"d1\\i1\\x.bin"), file);

    OnNotifyFileCloseCompletion(&close.info, &close.params);

    // The sub-directories of queue staging do not exist: ERROR_PATH_NOT_FOUND.
    EXPECT_EQ(LogMessages(env.LogFile()),
              (std::vector<std::string>{kEntered, "[ERROR] WRITEBACK copy failed gle=3"}));
    EXPECT_FALSE(FileExists(dirs.journal));
    EXPECT_FALSE(FileExists(dirs.store));
}

TEST(CloseWriteback, CacheReferenceIsSkippedOnlyWhenTimeAndSizeMatchTheCache) {
    struct Row {
        const char* name;
        bool cacheExists;
        bool sameSize, sameTime;
        bool queued;
    } rows[] = {
        {"unchanged", true, true, true, false},
        {"size differs", true, false, true, true},
        {"time differs", true, true, false, true},
        {"cache file gone", false, true, true, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempLocalAppData env;
        Dirs dirs(env);
        const auto when = fs::file_time_type::clock::now() - std::chrono::hours(1);
        std::string file = Put(env.SyncRoot() + "/a.txt", "0123456789");
        SetWriteTime(file, when);
        if (row.cacheExists) {
            std::string cached = Put(dirs.cache + "/d1/i7/a.txt", row.sameSize ? "abcdefghij" : "abc");
            SetWriteTime(cached, row.sameTime ? when : when - std::chrono::seconds(2));
        }
        Callback close(std::wstring(L"cf\td1\ti7\ta.txt"), file);

        OnNotifyFileCloseCompletion(&close.info, &close.params);

        std::vector<std::string> log = LogMessages(env.LogFile());
        ASSERT_EQ(log.size(), 2u);
        EXPECT_EQ(log[1], row.queued ? "[WRITEBACK] WRITEBACK_ENGINE_QUEUE local copy only, no network"
                                     : "[WRITEBACK] unchanged close skipped");
        EXPECT_EQ(FileExists(dirs.store + "/d1/i7/a.txt"), row.queued);
        EXPECT_EQ(Records(dirs.inbox, "mod-").size(), row.queued ? 1u : 0u);
        EXPECT_FALSE(FileExists(dirs.journal));
    }
}

TEST(CloseWriteback, ModifyRecordCarriesTheCopyPathAndTheRootRelativeTarget) {
    struct Row {
        std::string relative;
        const char* targetPath;
    } rows[] = {{"a.txt", "a.txt"}, {"dir/a.txt", "dir/a.txt"}, {"d1/d2/a.txt", "d1/d2/a.txt"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.relative);
        TempLocalAppData env;
        Dirs dirs(env);
        std::string file = Put(env.SyncRoot() + "/" + row.relative, "new bytes");
        Callback close(std::wstring(L"cf\td1\ti7\ta.txt"), file);

        OnNotifyFileCloseCompletion(&close.info, &close.params);

        EXPECT_EQ(ReadFileBytes(dirs.store + "/d1/i7/a.txt"), "new bytes");
        std::vector<std::string> records = Records(dirs.inbox, "mod-");
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0], "{\"type\":\"modify\",\"domainId\":\"d1\",\"itemId\":\"i7\",\"contentsPath\":\"" +
                                  Doubled(WindowsPathOf(dirs.store + "/d1/i7/a.txt")) + "\",\"targetPath\":\"" +
                                  row.targetPath +
                                  "\",\"isDir\":false,\"timestamp\":0,\"attempts\":0,\"urgent\":true}\n");
    }
}

TEST(CloseWriteback, EmptyIdsAddNoLevelToTheCopyAndStayEmptyInTheRecord) {
    struct Row {
        std::wstring identity;
        std::string copy;  // below the write-back store
        const char* ids;
    } rows[] = {
        {L"cf\t\ti7\ta.txt", "i7/a.txt", "\"domainId\":\"\",\"itemId\":\"i7\""},
        {L"cf\td1\t\ta.txt", "d1/a.txt", "\"domainId\":\"d1\",\"itemId\":\"\""},
        {L"cf\t\t\ta.txt", "a.txt", "\"domainId\":\"\",\"itemId\":\"\""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.copy);
        TempLocalAppData env;
        Dirs dirs(env);
        std::string file = Put(env.SyncRoot() + "/a.txt", "new bytes");
        Callback close(row.identity, file);

        OnNotifyFileCloseCompletion(&close.info, &close.params);

        EXPECT_EQ(ReadFileBytes(dirs.store + "/" + row.copy), "new bytes");
        std::vector<std::string> records = Records(dirs.inbox, "mod-");
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0], std::string("{\"type\":\"modify\",") + row.ids + ",\"contentsPath\":\"" +
                                  Doubled(WindowsPathOf(dirs.store + "/" + row.copy)) +
                                  "\",\"targetPath\":\"a.txt\",\"isDir\":false,\"timestamp\":0,\"attempts\":0,"
                                  "\"urgent\":true}\n");
    }
}

TEST(CloseWriteback, TwoChangedClosesLeaveTwoRecordsAndTheLaterCopy) {
    TempLocalAppData env;
    Dirs dirs(env);
    std::string file = Put(env.SyncRoot() + "/a.txt", "one");
    Callback close(std::wstring(L"cf\td1\ti7\ta.txt"), file);
    OnNotifyFileCloseCompletion(&close.info, &close.params);
    Put(file, "two!");
    OnNotifyFileCloseCompletion(&close.info, &close.params);

    EXPECT_EQ(Records(dirs.inbox, "mod-").size(), 2u);
    EXPECT_EQ(ReadFileBytes(dirs.store + "/d1/i7/a.txt"), "two!");
}

TEST(CloseWriteback, EngineCopyFailureWritesNoRecord) {
    TempLocalAppData env;
    Dirs dirs(env);
    std::string file = Put(env.SyncRoot() + "/a.txt", "bytes");
    fs::create_directories(dirs.store + "/d1/i7/a.txt");  // a directory where the copy should go
    Callback close(std::wstring(L"cf\td1\ti7\ta.txt"), file);

    OnNotifyFileCloseCompletion(&close.info, &close.params);

    EXPECT_EQ(LogMessages(env.LogFile()),
              (std::vector<std::string>{kEntered, "[ERROR] WRITEBACK engine stage copy failed"}));
    EXPECT_TRUE(ListDirectory(dirs.inbox).empty());
}

TEST(CloseWriteback, UnsafeIdentitiesCopyNothing) {
    const std::wstring identities[] = {
        L"cf\t..\ti7\ta.txt", L"cf\td1\t..\ta.txt", L"cf\td1\ti7\t..",  L"cf\td1\ti7\tNUL", L"cf\td1\ti7\t",
        L"cf\td1\ti7\ta\\b",  L"cf\tC:\ti7\ta.txt", L"..\\escape.txt",   L"a\\..\\..\\escape.txt",
        L"\\escape.txt",      L"C:\\escape.txt",    L".\\escape.txt",
    };
    for (const std::wstring& identity : identities) {
        SCOPED_TRACE(testing::Message() << "identity #" << (&identity - identities));
        TempLocalAppData env;
        Dirs dirs(env);
        std::string file = Put(env.SyncRoot() + "/a.txt", "bytes");
        Callback close(identity, file);

        OnNotifyFileCloseCompletion(&close.info, &close.params);

        EXPECT_EQ(LogMessages(env.LogFile()),
                  (std::vector<std::string>{kEntered, "[ERROR] WRITEBACK unsafe identity - not queued"}));
        EXPECT_TRUE(ListDirectory(dirs.queueStaging).empty());
        EXPECT_FALSE(FileExists(env.ProductDir() + "/Queue"));
        EXPECT_FALSE(FileExists(env.ProviderBase() + "/escape.txt"));
    }
}

TEST(Notifications, DeleteAndRenameWriteTheirRecordBeforeTheAcknowledgement) {
    struct Row {
        const char* name;
        bool rename;
        std::string from, to;
        DWORD flags;
        std::string prefix, record;
        std::wstring identity = L"cf\td1\ti7\ta.txt";
    } rows[] = {
        {"delete a file", false, "a.txt", "", 0, "delete-",
         "{\"type\":\"delete\",\"domainId\":\"d1\",\"itemId\":\"i7\",\"isDir\":false,\"targetPath\":\"a.txt\","
         "\"timestamp\":0,\"attempts\":0}\n"},
        {"delete a directory", false, "dir", "", CF_CALLBACK_DELETE_FLAG_IS_DIRECTORY, "delete-",
         "{\"type\":\"delete\",\"domainId\":\"d1\",\"itemId\":\"i7\",\"isDir\":true,\"targetPath\":\"dir\","
         "\"timestamp\":0,\"attempts\":0}\n"},
        {"rename in place", true, "a.txt", "b.txt", 0, "modify-",
         "{\"type\":\"modify\",\"domainId\":\"d1\",\"itemId\":\"i7\",\"isDir\":false,\"targetPath\":\"b.txt\","
         "\"previousPath\":\"a.txt\",\"timestamp\":0,\"attempts\":0}\n"},
        {"move into another directory", true, "a.txt", "dir/sub/b.txt", 0, "modify-",
         "{\"type\":\"modify\",\"domainId\":\"d1\",\"itemId\":\"i7\",\"isDir\":false,\"targetPath\":\"dir/sub/b.txt\","
         "\"previousPath\":\"a.txt\",\"timestamp\":0,\"attempts\":0}\n"},
        {"rename a directory", true, "dir/d", "e", CF_CALLBACK_RENAME_FLAG_IS_DIRECTORY, "modify-",
         "{\"type\":\"modify\",\"domainId\":\"d1\",\"itemId\":\"i7\",\"isDir\":true,\"targetPath\":\"e\","
         "\"previousPath\":\"dir/d\",\"timestamp\":0,\"attempts\":0}\n"},
        {"delete, empty domain id", false, "a.txt", "", 0, "delete-",
         "{\"type\":\"delete\",\"domainId\":\"\",\"itemId\":\"i7\",\"isDir\":false,\"targetPath\":\"a.txt\","
         "\"timestamp\":0,\"attempts\":0}\n",
         L"cf\t\ti7\ta.txt"},
        {"rename, empty ids", true, "a.txt", "b.txt", 0, "modify-",
         "{\"type\":\"modify\",\"domainId\":\"\",\"itemId\":\"\",\"isDir\":false,\"targetPath\":\"b.txt\","
         "\"previousPath\":\"a.txt\",\"timestamp\":0,\"attempts\":0}\n",
         L"cf\t\t\ta.txt"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempLocalAppData env;
        Dirs dirs(env);
        FakeCloudFiles fake;
        std::vector<std::string> recordsAtAck;
        fake.SetHook([&](const RecordedCall&) { recordsAtAck = Records(dirs.inbox, row.prefix); });
        Callback callback(row.identity, env.SyncRoot() + "/" + row.from);
        if (row.rename) {
            callback.RenameTo(env.SyncRoot() + "/" + row.to);
            callback.params.Rename.Flags = row.flags;
            OnNotifyRename(&callback.info, &callback.params);
        } else {
            callback.params.Delete.Flags = row.flags;
            OnNotifyDelete(&callback.info, &callback.params);
        }

        EXPECT_EQ(recordsAtAck, std::vector<std::string>{row.record});
        EXPECT_EQ(ListDirectory(dirs.inbox).size(), 1u);
        std::vector<RecordedCall> acks = fake.CallsOf("Execute");
        ASSERT_EQ(acks.size(), 1u);
        EXPECT_EQ(acks[0].opInfo.StructSize, 48u);
        EXPECT_EQ(acks[0].opInfo.Type, row.rename ? CF_OPERATION_TYPE_ACK_RENAME : CF_OPERATION_TYPE_ACK_DELETE);
        EXPECT_EQ(acks[0].opInfo.ConnectionKey.Internal, 0x7711);
        EXPECT_EQ(acks[0].opInfo.TransferKey.QuadPart, 0x5522);
        EXPECT_EQ(acks[0].opInfo.RequestKey.QuadPart, 0x3344);
        EXPECT_EQ(acks[0].opParams.ParamSize, 16u);  // offset 8 + AckDelete/AckRename
        EXPECT_EQ(acks[0].opParams.AckDelete.Flags, 0u);
        EXPECT_EQ(acks[0].opParams.AckDelete.CompletionStatus, STATUS_SUCCESS);
        EXPECT_EQ(LogMessages(env.LogFile()),
                  std::vector<std::string>{row.rename ? "[WRITEBACK] rename callback - local queue only, no network"
                                                      : "[WRITEBACK] delete callback - local queue only, no network"});
    }
}

TEST(Notifications, ItemsWithoutASafeCacheReferenceAreOnlyAcknowledged) {
    struct Row {
        const char* name;
        std::optional<std::wstring> identity;
        DWORD lengthOverride;  // 0: the blob's own length
    } rows[] = {
        {"demo placeholder", std::wstring(L"hello-from-engine.txt"), 0},
        {"no identity", std::nullopt, 0},
        {"blob of one byte", std::wstring(L"cf\td1\ti7\ta.txt"), 1},
        {"dot-dot domain", std::wstring(L"cf\t..\ti7\ta.txt"), 0},
        {"item with a separator", std::wstring(L"cf\td1\ti/7\ta.txt"), 0},
        {"empty cache file name", std::wstring(L"cf\td1\ti7\t"), 0},
        {"device as cache file name", std::wstring(L"cf\td1\ti7\tcon.txt"), 0},
        {"drive-qualified file name", std::wstring(L"cf\td1\ti7\tC:a.txt"), 0},
    };
    for (const Row& row : rows) {
        for (bool rename : {false, true}) {
            SCOPED_TRACE(testing::Message() << row.name << (rename ? " renamed" : " deleted"));
            TempLocalAppData env;
            Dirs dirs(env);
            FakeCloudFiles fake;
            Callback callback(row.identity, env.SyncRoot() + "/a.txt");
            if (row.lengthOverride != 0) callback.info.FileIdentityLength = row.lengthOverride;
            if (rename) {
                callback.RenameTo(env.SyncRoot() + "/b.txt");
                OnNotifyRename(&callback.info, &callback.params);
            } else {
                OnNotifyDelete(&callback.info, &callback.params);
            }
            EXPECT_TRUE(ListDirectory(dirs.inbox).empty());
            std::vector<RecordedCall> acks = fake.CallsOf("Execute");
            ASSERT_EQ(acks.size(), 1u);
            EXPECT_EQ(acks[0].opInfo.Type, rename ? CF_OPERATION_TYPE_ACK_RENAME : CF_OPERATION_TYPE_ACK_DELETE);
            EXPECT_EQ(acks[0].opParams.AckRename.CompletionStatus, STATUS_SUCCESS);
        }
    }
}

TEST(Notifications, AnUndeleteIsAcknowledgedWithoutADeleteRecord) {
    for (DWORD flags : {CF_CALLBACK_DELETE_FLAG_IS_UNDELETE,
                        CF_CALLBACK_DELETE_FLAG_IS_UNDELETE | CF_CALLBACK_DELETE_FLAG_IS_DIRECTORY}) {
        SCOPED_TRACE(flags);
        TempLocalAppData env;
        Dirs dirs(env);
        FakeCloudFiles fake;
        Callback callback(std::wstring(L"cf\td1\ti7\ta.txt"), env.SyncRoot() + "/a.txt");
        callback.params.Delete.Flags = flags;

        OnNotifyDelete(&callback.info, &callback.params);

        EXPECT_TRUE(ListDirectory(dirs.inbox).empty());
        std::vector<RecordedCall> acks = fake.CallsOf("Execute");
        ASSERT_EQ(acks.size(), 1u);
        EXPECT_EQ(acks[0].opInfo.Type, CF_OPERATION_TYPE_ACK_DELETE);
        EXPECT_EQ(acks[0].opParams.AckDelete.CompletionStatus, STATUS_SUCCESS);
    }
}

TEST(Notifications, RenameWithoutTargetRecordsAnEmptyTargetPath) {
    TempLocalAppData env;
    Dirs dirs(env);
    FakeCloudFiles fake;
    fake.SetStatus("Execute", static_cast<HRESULT>(0x8007018E));  // a failing acknowledgement is not noticed
    Callback callback(std::wstring(L"cf\td1\ti7\ta.txt"), env.SyncRoot() + "/a.txt");
    OnNotifyRename(&callback.info, &callback.params);

    EXPECT_EQ(Records(dirs.inbox, "modify-"),
              std::vector<std::string>{"{\"type\":\"modify\",\"domainId\":\"d1\",\"itemId\":\"i7\",\"isDir\":false,"
                                       "\"targetPath\":\"\",\"previousPath\":\"a.txt\",\"timestamp\":0,"
                                       "\"attempts\":0}\n"});
    EXPECT_EQ(fake.CallsOf("Execute").size(), 1u);
    EXPECT_EQ(LogMessages(env.LogFile()).size(), 1u);
}
