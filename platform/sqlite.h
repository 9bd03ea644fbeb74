// sqlite.h - the embedded database the provider keeps its items in. On Windows it is the system's own
// winsqlite3.dll (System32, Windows 10 and later), bound at first use; elsewhere the system's libsqlite3.
#pragma once

#include <string>

// The name SQLite opens for a file the program names by its Windows path: UTF-8 of the path on Windows, the POSIX
// path the stand-in maps it to elsewhere.
std::string SqliteFileName(const std::wstring& path);

#ifdef _WIN32

// The subset of SQLite's C interface the program calls, with SQLite's own names, values and signatures.
extern "C" {
typedef struct sqlite3 sqlite3;
typedef struct sqlite3_stmt sqlite3_stmt;
typedef long long sqlite3_int64;
typedef void (*sqlite3_destructor_type)(void*);

#define SQLITE_OK 0
#define SQLITE_ERROR 1
#define SQLITE_BUSY 5
#define SQLITE_CANTOPEN 14
#define SQLITE_NOTADB 26
#define SQLITE_MISUSE 21
#define SQLITE_ROW 100
#define SQLITE_DONE 101
#define SQLITE_OPEN_READWRITE 0x00000002
#define SQLITE_OPEN_CREATE 0x00000004
#define SQLITE_OPEN_NOMUTEX 0x00008000
#define SQLITE_STATIC (static_cast<sqlite3_destructor_type>(nullptr))
#define SQLITE_TRANSIENT (reinterpret_cast<sqlite3_destructor_type>(-1))

int sqlite3_open_v2(const char* filename, sqlite3** db, int flags, const char* vfs);
int sqlite3_close(sqlite3* db);
int sqlite3_exec(sqlite3* db, const char* sql, int (*callback)(void*, int, char**, char**), void* arg, char** error);
int sqlite3_prepare_v2(sqlite3* db, const char* sql, int bytes, sqlite3_stmt** statement, const char** tail);
int sqlite3_step(sqlite3_stmt* statement);
int sqlite3_reset(sqlite3_stmt* statement);
int sqlite3_finalize(sqlite3_stmt* statement);
int sqlite3_bind_text(sqlite3_stmt* statement, int index, const char* text, int bytes, sqlite3_destructor_type destroy);
int sqlite3_bind_int64(sqlite3_stmt* statement, int index, sqlite3_int64 value);
const unsigned char* sqlite3_column_text(sqlite3_stmt* statement, int column);
int sqlite3_column_bytes(sqlite3_stmt* statement, int column);
sqlite3_int64 sqlite3_column_int64(sqlite3_stmt* statement, int column);
const char* sqlite3_errmsg(sqlite3* db);
int sqlite3_busy_timeout(sqlite3* db, int milliseconds);
}

#else
#include <sqlite3.h>
#endif
