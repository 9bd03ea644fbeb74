// item_database.cpp - the item database: its schema and version, every statement, and the rebuild from the root
// when the file is missing or damaged. One connection per process, one lock around it.
#include "state/item_database.h"

#include "app/event_log.h"
#include "layout/provider_paths.h"
#include "placeholders/identity.h"
#include "placeholders/root_walk.h"
#include "platform/sqlite.h"
#include "writeback/queue_records.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <mutex>

namespace {

// The schema this program writes. A file of a higher version was written by a newer program: it is kept aside,
// never read with rules that may no longer hold.
constexpr long long kSchemaVersion = 1;

const char* const kSchema =
    "CREATE TABLE items("
    " identity TEXT PRIMARY KEY NOT NULL,"
    " path TEXT NOT NULL,"
    " kind INTEGER NOT NULL,"
    " present INTEGER NOT NULL,"
    " size INTEGER NOT NULL DEFAULT -1,"
    " lastWrite INTEGER NOT NULL DEFAULT 0,"
    " seedSize INTEGER NOT NULL DEFAULT -1) WITHOUT ROWID;"
    "CREATE INDEX itemsAtPath ON items(path) WHERE present = 1;"
    "PRAGMA user_version = 1;";

enum Statement {
    kFind,
    kFindAt,
    kKnown,
    kBelow,
    kBelowIgnoringCase,
    kPut,
    kNoteAt,
    kDisplaced,
    kDisplaceAt,
    kGone,
    kForget,
    kVersion,
    kStatementCount,
};

const char* const kStatementText[kStatementCount] = {
    "SELECT identity, path, kind, present, size, lastWrite, seedSize FROM items WHERE identity = ?1",
    "SELECT identity, path, kind, present, size, lastWrite, seedSize FROM items WHERE path = ?1 AND present = 1",
    "SELECT 1 FROM items WHERE identity = ?1",
    // At or below: within the index's range [?1, ?2) (see BindRange), the path itself or one that goes on with a
    // backslash; the range also holds siblings such as "a.txt" for "a", which the last test leaves out.
    "SELECT identity, path, kind, present, size, lastWrite, seedSize FROM items WHERE present = 1 AND "
    "path >= ?1 AND path < ?2 AND (?1 = '' OR path = ?1 OR substr(path, length(?1) + 1, 1) = '\\')",
    // The same without regard to case, as the file system matches names, through the index made for it.
    "SELECT identity, path, kind, present, size, lastWrite, seedSize FROM items WHERE present = 1 AND "
    "path >= ?1 COLLATE NOCASE AND path < ?2 COLLATE NOCASE AND "
    "(?1 = '' OR path = ?1 COLLATE NOCASE OR substr(path, length(?1) + 1, 1) = '\\')",
    "INSERT OR REPLACE INTO items(identity, path, kind, present, size, lastWrite, seedSize) "
    "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)",
    "INSERT INTO items(identity, path, kind, present) VALUES(?1, ?2, ?3, 1) "
    "ON CONFLICT(identity) DO UPDATE SET path = excluded.path, present = 1",
    // An item displaced from a path by another one moved there without a word of its own: it was replaced. The
    // UPDATE changes the column its index is partial on, so SQLite makes a temporary table for every run of it, even
    // one that finds no row (nearly every run: seeding, a new file); the lookup before it finds out whether it is needed.
    "SELECT 1 FROM items WHERE path = ?1 AND present = 1 AND identity <> ?2 LIMIT 1",
    "UPDATE items SET present = 0 WHERE path = ?1 AND present = 1 AND identity <> ?2",
    "UPDATE items SET present = 0 WHERE present = 1 AND path >= ?1 AND path < ?2 AND "
    "(?1 = '' OR path = ?1 OR substr(path, length(?1) + 1, 1) = '\\')",
    "DELETE FROM items WHERE identity = ?1",
    "UPDATE items SET size = ?2, lastWrite = ?3 WHERE identity = ?1",
};

struct Database {
    std::recursive_mutex lock;  // guards everything below; held by a batch from its start to its end
    std::wstring path;          // the file opened, or tried (a test may move LOCALAPPDATA between scenes)
    std::wstring localAppData;  // the directory `path` was built from
    HRESULT openStatus = S_OK;
    sqlite3* db = nullptr;
    sqlite3_stmt* statements[kStatementCount] = {};
    int batchDepth = 0;         // batches begun and not yet ended by the thread that holds the lock
};

Database& TheDatabase() {
    static Database database;
    return database;
}

std::wstring FromUtf8(const unsigned char* text, int bytes) {
    if (text == nullptr || bytes <= 0) return std::wstring();
    const int needed = MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(text), bytes, nullptr, 0);
    if (needed <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(needed), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(text), bytes, wide.data(), needed);
    return wide;
}

void LogSqliteFailure(const char* what, sqlite3* db) {
    char message[256];
    snprintf(message, sizeof(message), "ITEMS %s failed: %s", what, db != nullptr ? sqlite3_errmsg(db) : "no database");
    LogEvent("ERROR", message);
}

bool Ready(Database& database);

// The statement, reset and with its bindings ready to be set; null while the database is not open.
sqlite3_stmt* Prepared(Database& database, Statement which) {
    if (!Ready(database)) return nullptr;
    sqlite3_stmt*& statement = database.statements[which];
    if (statement == nullptr &&
        sqlite3_prepare_v2(database.db, kStatementText[which], -1, &statement, nullptr) != SQLITE_OK) {
        LogSqliteFailure("preparing a statement", database.db);
        statement = nullptr;
        return nullptr;
    }
    sqlite3_reset(statement);
    return statement;
}

// Binds text the caller keeps unchanged until the statement has run (SQLite reads it in place, without a copy).
void BindUtf8(sqlite3_stmt* statement, int index, const std::string& utf8) {
    sqlite3_bind_text(statement, index, utf8.c_str(), static_cast<int>(utf8.size()), SQLITE_STATIC);
}

// Binds a copy of the text.
void BindText(sqlite3_stmt* statement, int index, const std::wstring& text) {
    const std::string utf8 = ToUtf8(text);
    sqlite3_bind_text(statement, index, utf8.c_str(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT);
}


// The index range that holds `key` and everything below it: from the key to the key followed by ']' (the character
// after the backslash), or every path for the root (0xFF comes before no UTF-8 text).
void BindRange(sqlite3_stmt* statement, const std::wstring& key) {
    BindText(statement, 1, key);
    const std::string upper = key.empty() ? std::string("\xFF") : ToUtf8(key) + "]";
    sqlite3_bind_text(statement, 2, upper.c_str(), static_cast<int>(upper.size()), SQLITE_TRANSIENT);
}

ItemRow RowOf(sqlite3_stmt* statement) {
    ItemRow row;
    row.identity = FromUtf8(sqlite3_column_text(statement, 0), sqlite3_column_bytes(statement, 0));
    row.path = FromUtf8(sqlite3_column_text(statement, 1), sqlite3_column_bytes(statement, 1));
    const sqlite3_int64 kind = sqlite3_column_int64(statement, 2);
    row.kind = kind == static_cast<int>(ItemKind::kUserFile)     ? ItemKind::kUserFile
               : kind == static_cast<int>(ItemKind::kEngineFile) ? ItemKind::kEngineFile
                                                                 : ItemKind::kEngineItem;
    row.present = sqlite3_column_int64(statement, 3) != 0;
    row.size = sqlite3_column_int64(statement, 4);
    row.lastWrite = sqlite3_column_int64(statement, 5);
    row.seedSize = sqlite3_column_int64(statement, 6);
    return row;
}

// Runs a statement that returns no rows; a failure is reported once, here.
void Run(Database& database, sqlite3_stmt* statement, const char* what) {
    if (statement == nullptr) return;
    const int rc = sqlite3_step(statement);
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) LogSqliteFailure(what, database.db);
    sqlite3_reset(statement);
}

bool Exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

// Puts every commit made so far on the disk: the write-ahead log flushed (SQLite writes the database file itself only
// at a checkpoint, which flushes it before the log is used again). Called without the database's lock where it can
// be, so that threads committing at the same time wait for one write of the log together, not one after another.
void SyncLog() {
    Database& database = TheDatabase();
    std::wstring log;
    {
        std::lock_guard<std::recursive_mutex> guard(database.lock);
        if (database.db == nullptr) return;
        log = database.path + L"-wal";
    }
    HANDLE file = CreateFileW(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    const bool flushed = file != INVALID_HANDLE_VALUE && FlushFileBuffers(file);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (flushed) return;
    // Without its log at hand, a checkpoint copies the commits into the database file and flushes that.
    std::lock_guard<std::recursive_mutex> guard(database.lock);
    if (database.db != nullptr && !Exec(database.db, "PRAGMA wal_checkpoint(FULL)")) {
        LogSqliteFailure("putting the item database on the disk", database.db);
    }
}

// Ends a batch; the outermost commits, and with `durable` waits for the disk once the lock is let go.
void EndBatch(Database& database, bool durable) {
    const bool committed = --database.batchDepth == 0;
    if (committed && database.db != nullptr && !Exec(database.db, "COMMIT")) {
        LogSqliteFailure("committing a transaction", database.db);
        Exec(database.db, "ROLLBACK");
    }
    database.lock.unlock();
    if (committed && durable) SyncLog();
}

// The single value of a one-row query, or the failure's text.
bool QueryText(sqlite3* db, const char* sql, std::string& value) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) {
        value = sqlite3_errmsg(db);
        return false;
    }
    const int rc = sqlite3_step(statement);
    const bool ok = rc == SQLITE_ROW;
    if (ok) {
        const unsigned char* text = sqlite3_column_text(statement, 0);
        value = text != nullptr ? reinterpret_cast<const char*>(text) : "";
    } else {
        value = sqlite3_errmsg(db);
    }
    sqlite3_finalize(statement);
    return ok;
}

void CloseLocked(Database& database) {
    for (sqlite3_stmt*& statement : database.statements) {
        sqlite3_finalize(statement);
        statement = nullptr;
    }
    sqlite3_close(database.db);
    database.db = nullptr;
}

// Why the file at hand cannot be used as it is (empty when it can), after opening it. `fresh` tells whether it
// holds no schema yet (a new file).
std::string CheckOpened(sqlite3* db, bool& fresh) {
    std::string value;
    // The integrity check reads every page, so a file cut short or overwritten fails here rather than later.
    if (!QueryText(db, "PRAGMA quick_check", value)) return "not a database (" + value + ")";
    if (value != "ok") {
        // The check's first finding, on the one line the log gives it.
        for (char& c : value) {
            if (static_cast<unsigned char>(c) < 0x20) c = ' ';
        }
        return "failed its integrity check (" + value.substr(0, 120) + ")";
    }
    if (!QueryText(db, "PRAGMA user_version", value)) return "version unreadable (" + value + ")";
    const long long version = std::atoll(value.c_str());
    if (version > kSchemaVersion) return "written by a newer program (version " + value + ")";
    fresh = version == 0;
    if (fresh && QueryText(db, "SELECT count(*) FROM sqlite_master", value) && value != "0") {
        return "holds tables of no known version";
    }
    return std::string();
}

bool OpenFile(Database& database, const std::wstring& path) {
    const std::string name = SqliteFileName(path);
    // Every call holds the database's own lock, so SQLite's lock around each of its calls is left out.
    if (sqlite3_open_v2(name.c_str(), &database.db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        CloseLocked(database);
        return false;
    }
    // Another process (a seed run beside the provider) may hold the write lock for a moment.
    sqlite3_busy_timeout(database.db, 10000);
    return true;
}

// Moves a damaged or foreign file (and its write-ahead log) aside, so nothing of it is lost and a new one can be made.
std::wstring SetAside(const std::wstring& path) {
    wchar_t suffix[48];
    std::swprintf(suffix, sizeof(suffix) / sizeof(suffix[0]), L".set-aside-%llu",
                  static_cast<unsigned long long>(GetTickCount64()));
    const std::wstring aside = path + suffix;
    MoveFileExW(path.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING);
    for (const wchar_t* extra : {L"-wal", L"-shm"}) {
        MoveFileExW((path + extra).c_str(), (aside + extra).c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    return aside;
}

// A path identity names the file's own path when the user made it, and a file of the product cache (or the
// staging directory's demonstration file) when the provider placed it: what a database made anew can tell.
ItemKind RebuiltKind(const PlaceholderRef& ref, const std::wstring& relative) {
    if (ref.kind == PlaceholderRef::kCacheReference) return ItemKind::kEngineItem;
    const bool ownPath = ItemKey(ref.text) == ItemKey(relative);
    const bool placed = GetFileAttributesW(ProductCachePath(ref.text).c_str()) != INVALID_FILE_ATTRIBUTES ||
                        GetFileAttributesW(JoinPath(ProviderPaths.staging, ref.text).c_str()) != INVALID_FILE_ATTRIBUTES;
    return ownPath && !placed ? ItemKind::kUserFile : ItemKind::kEngineFile;
}

// Every placeholder the root holds, as present items: what a database made anew starts from.
int FillFromRoot() {
    int items = 0;
    BeginItemBatch();
    ForEachRootPlaceholder([&items](const RootPlaceholder& placeholder) {
        const PlaceholderRef ref = ClassifyIdentity(placeholder.identity.data(), static_cast<DWORD>(placeholder.identity.size()));
        if (ref.kind != PlaceholderRef::kCacheReference && ref.kind != PlaceholderRef::kRelativePath) return;
        NoteItemAt(placeholder.relative, ref.text, RebuiltKind(ref, placeholder.relative));
        ++items;
    });
    EndItemBatch();
    return items;
}

HRESULT OpenLocked(Database& database) {
    InitProviderPaths();
    const std::wstring path = ItemDatabasePath();
    const bool existed = GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    std::string problem;
    bool fresh = true;
    if (!OpenFile(database, path)) {
        problem = "could not be opened";
    } else {
        problem = CheckOpened(database.db, fresh);
    }
    std::wstring aside;
    if (!problem.empty()) {
        CloseLocked(database);
        if (existed) aside = SetAside(path);
        if (!OpenFile(database, path)) {
            char message[320];
            snprintf(message, sizeof(message), "ITEMS item database %ls %s and none could be made", path.c_str(),
                     problem.c_str());
            LogEvent("ERROR", message);
            return E_FAIL;
        }
        fresh = true;
    }
    // Each commit reaches the write-ahead log before it returns; a process killed at any point loses none. SQLite
    // does not wait for the disk at a commit (NORMAL): each change waits for it after the commit, outside the lock
    // (SyncLog), so the waits of threads that commit at the same time overlap.
    if (!Exec(database.db, "PRAGMA journal_mode=WAL") || !Exec(database.db, "PRAGMA synchronous=NORMAL") ||
        (fresh && !Exec(database.db, kSchema))) {
        LogSqliteFailure("setting up the item database", database.db);
        CloseLocked(database);
        return E_FAIL;
    }
    // Lookups without regard to case have an index of their own; a file made by an earlier build gets it here (the
    // index changes nothing a build without it reads).
    if (!Exec(database.db, "CREATE INDEX IF NOT EXISTS itemsAtPathIgnoringCase ON items(path COLLATE NOCASE) "
                           "WHERE present = 1")) {
        LogSqliteFailure("setting up the item database", database.db);
        CloseLocked(database);
        return E_FAIL;
    }
    if (!fresh) return S_OK;
    const int items = FillFromRoot();
    char message[400];
    if (!problem.empty() && existed) {
        snprintf(message, sizeof(message),
                 "ITEMS item database %s - kept as %ls, made anew from the root and the queues: %d items", problem.c_str(),
                 aside.c_str(), items);
        LogEvent("ERROR", message);
    } else if (items > 0) {
        // Placeholders without a database: it was lost (or this provider ran before it kept one). A first start,
        // with nothing in the root, has nothing to report.
        snprintf(message, sizeof(message), "item database %ls missing - made anew from the root and the queues: %d items",
                 path.c_str(), items);
        LogEvent("ITEMS", message);
    }
    return S_OK;
}

// Opens the database of the current provider paths on first use, and again when they changed.
bool Ready(Database& database) {
    // Within a batch the database is the one its start found: the directory is not read again for every statement
    // (reading it was a tenth of seeding's time).
    if (database.batchDepth > 0 && database.db != nullptr) return true;
    // Every statement asks, so the path is built anew only when the local application-data directory changed.
    const std::wstring localAppData = LocalAppDataDir();
    if (localAppData == database.localAppData && !database.path.empty()) return database.db != nullptr;
    database.localAppData = localAppData;
    const std::wstring path = ItemDatabasePath();
    if (path != database.path) {
        CloseLocked(database);
        database.path = path;
        database.openStatus = OpenLocked(database);
    }
    return database.db != nullptr;
}

std::vector<ItemRow> Rows(Database& database, sqlite3_stmt* statement) {
    std::vector<ItemRow> rows;
    if (statement == nullptr) return rows;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) rows.push_back(RowOf(statement));
    if (rc != SQLITE_DONE) LogSqliteFailure("reading items", database.db);
    sqlite3_reset(statement);
    return rows;
}

}  // namespace

std::wstring ItemKey(const std::wstring& relative) {
    std::wstring key = relative;
    for (wchar_t& c : key) {
        if (c == L'/') c = L'\\';
    }
    while (!key.empty() && key.back() == L'\\') key.pop_back();
    return key;
}

ItemKind KindOfIdentity(const std::wstring& identity) {
    if (identity.compare(0, 3, L"cf\t") == 0) return ItemKind::kEngineItem;
    ItemRow row;
    return FindItem(identity, row) ? row.kind : ItemKind::kEngineFile;
}

std::wstring ItemDatabasePath() {
    // Read at every call (tests move LOCALAPPDATA between scenes), without making the provider's directories anew.
    return JoinPath(JoinPath(JoinPath(JoinPath(LocalAppDataDir(), L"nq.vo.tarn.voskel"), L"VOSKE"), L"CloudFiles"),
                    L"items.db");
}

HRESULT OpenItemDatabase() {
    Database& database = TheDatabase();
    std::lock_guard<std::recursive_mutex> guard(database.lock);
    Ready(database);
    return database.openStatus;
}

bool FindItem(const std::wstring& identity, ItemRow& row) {
    Database& database = TheDatabase();
    std::lock_guard<std::recursive_mutex> guard(database.lock);
    sqlite3_stmt* statement = Prepared(database, kFind);
    if (statement == nullptr) return false;
    BindText(statement, 1, identity);
    std::vector<ItemRow> rows = Rows(database, statement);
    if (rows.empty()) return false;
    row = rows.front();
    return true;
}

bool FindItemAt(const std::wstring& relative, ItemRow& row) {
    Database& database = TheDatabase();
    std::lock_guard<std::recursive_mutex> guard(database.lock);
    sqlite3_stmt* statement = Prepared(database, kFindAt);
    if (statement == nullptr) return false;
    BindText(statement, 1, ItemKey(relative));
    std::vector<ItemRow> rows = Rows(database, statement);
    if (rows.empty()) return false;
    row = rows.front();
    return true;
}

std::vector<ItemRow> PresentItemsBelow(const std::wstring& relative, bool ignoringCase) {
    Database& database = TheDatabase();
    std::lock_guard<std::recursive_mutex> guard(database.lock);
    sqlite3_stmt* statement = Prepared(database, ignoringCase ? kBelowIgnoringCase : kBelow);
    if (statement == nullptr) return {};
    BindRange(statement, ItemKey(relative));
    return Rows(database, statement);
}

namespace {

// Marks any other present item recorded at `key` displaced; part of the caller's transaction.
void Displace(Database& database, const std::string& key, const std::string& identity) {
    sqlite3_stmt* probe = Prepared(database, kDisplaced);
    if (probe == nullptr) return;
    BindUtf8(probe, 1, key);
    BindUtf8(probe, 2, identity);
    const int rc = sqlite3_step(probe);
    sqlite3_reset(probe);
    if (rc == SQLITE_DONE) return;  // nothing there: nearly always
    if (sqlite3_stmt* displace = Prepared(database, kDisplaceAt)) {
        BindUtf8(displace, 1, key);
        BindUtf8(displace, 2, identity);
        Run(database, displace, "recording an item");
    }
}

}  // namespace

void PutItem(const ItemRow& row) {
    Database& database = TheDatabase();
    BeginItemBatch();  // one transaction, on the disk before the call returns
    const std::string key = ToUtf8(ItemKey(row.path));
    const std::string identity = ToUtf8(row.identity);
    if (row.present) Displace(database, key, identity);
    if (sqlite3_stmt* statement = Prepared(database, kPut)) {
        BindUtf8(statement, 1, identity);
        BindUtf8(statement, 2, key);
        sqlite3_bind_int64(statement, 3, static_cast<int>(row.kind));
        sqlite3_bind_int64(statement, 4, row.present ? 1 : 0);
        sqlite3_bind_int64(statement, 5, row.size);
        sqlite3_bind_int64(statement, 6, row.lastWrite);
        sqlite3_bind_int64(statement, 7, row.seedSize);
        Run(database, statement, "recording an item");
    }
    EndItemBatch();
}

void NoteItemAt(const std::wstring& relative, const std::wstring& identity, ItemKind kind) {
    Database& database = TheDatabase();
    BeginItemBatch();
    const std::string key = ToUtf8(ItemKey(relative));
    const std::string identityUtf8 = ToUtf8(identity);
    // The first note of an item the database never held, made on its own, commits without waiting for the disk: the
    // database then knows no less than before, should the note be lost, and nothing the provider acknowledges rests on
    // it alone. A new file's copy is in sync only after the commit of its version (RememberTaken), which waits for
    // the disk and so for every commit before it in the write-ahead log; a placeholder the database never heard of
    // is noted again by the walk at the next connect. A process killed meanwhile loses nothing (the log is in the
    // system's cache); a power cut may lose the note, and then the item is unknown, as it was before. One wait for
    // the disk per new file the watcher takes instead of two.
    bool unsynced = false;
    if (database.batchDepth == 1) {
        if (sqlite3_stmt* known = Prepared(database, kKnown)) {
            BindUtf8(known, 1, identityUtf8);
            unsynced = sqlite3_step(known) == SQLITE_DONE;
            sqlite3_reset(known);
        }
    }
    Displace(database, key, identityUtf8);
    if (sqlite3_stmt* statement = Prepared(database, kNoteAt)) {
        BindUtf8(statement, 1, identityUtf8);
        BindUtf8(statement, 2, key);
        sqlite3_bind_int64(statement, 3, static_cast<int>(kind));
        Run(database, statement, "recording an item");
    }
    EndBatch(database, !unsynced);
}

void MarkItemsGone(const std::wstring& relative) {
    Database& database = TheDatabase();
    BeginItemBatch();  // one transaction, on the disk before the call returns
    if (sqlite3_stmt* statement = Prepared(database, kGone)) {
        BindRange(statement, ItemKey(relative));
        Run(database, statement, "recording items gone");
    }
    EndItemBatch();
}

void ForgetItem(const std::wstring& identity) {
    Database& database = TheDatabase();
    BeginItemBatch();  // one transaction, on the disk before the call returns
    if (sqlite3_stmt* statement = Prepared(database, kForget)) {
        BindText(statement, 1, identity);
        Run(database, statement, "forgetting an item");
    }
    EndItemBatch();
}

void NoteVersionTaken(const std::wstring& identity, LONGLONG size, LONGLONG lastWrite) {
    Database& database = TheDatabase();
    BeginItemBatch();  // one transaction, on the disk before the call returns
    if (sqlite3_stmt* statement = Prepared(database, kVersion)) {
        BindText(statement, 1, identity);
        sqlite3_bind_int64(statement, 2, size);
        sqlite3_bind_int64(statement, 3, lastWrite);
        Run(database, statement, "recording a version taken");
    }
    EndItemBatch();
}

// A batch nests: only the outermost begins and commits, so a call that makes one transaction of its own steps
// also joins a caller's larger one. The lock is held from the start to the end, so the depth is the holder's.
void BeginItemBatch() {
    Database& database = TheDatabase();
    database.lock.lock();
    // The outermost finds the database before the batch counts as begun: within a batch, Ready keeps the one it has
    // (of another directory, when LOCALAPPDATA moved since).
    if (database.batchDepth == 0 && Ready(database) && !Exec(database.db, "BEGIN IMMEDIATE")) {
        LogSqliteFailure("beginning a transaction", database.db);
    }
    ++database.batchDepth;
}

void EndItemBatch() { EndBatch(TheDatabase(), true); }
