// winsqlite_binding.cpp - SQLite on Windows: the system's own winsqlite3.dll, loaded from the system directory
// only at first use. Without it (before Windows 10, or under Wine) opening a database fails with SQLITE_CANTOPEN.
#include "platform/sqlite.h"
#include "platform/win32.h"
#include "platform/windows/system_exports.h"

namespace {

using OpenFn = int(WINAPI*)(const char*, sqlite3**, int, const char*);
using CloseFn = int(WINAPI*)(sqlite3*);
using ExecFn = int(WINAPI*)(sqlite3*, const char*, int (*)(void*, int, char**, char**), void*, char**);
using PrepareFn = int(WINAPI*)(sqlite3*, const char*, int, sqlite3_stmt**, const char**);
using StatementFn = int(WINAPI*)(sqlite3_stmt*);
using BindTextFn = int(WINAPI*)(sqlite3_stmt*, int, const char*, int, sqlite3_destructor_type);
using BindInt64Fn = int(WINAPI*)(sqlite3_stmt*, int, sqlite3_int64);
using ColumnTextFn = const unsigned char*(WINAPI*)(sqlite3_stmt*, int);
using ColumnBytesFn = int(WINAPI*)(sqlite3_stmt*, int);
using ColumnInt64Fn = sqlite3_int64(WINAPI*)(sqlite3_stmt*, int);
using ErrmsgFn = const char*(WINAPI*)(sqlite3*);
using BusyTimeoutFn = int(WINAPI*)(sqlite3*, int);

// winsqlite3.dll is built with the standard calling convention (WINAPI), which on x64 is the only one.
struct Binding {
    bool bound = false;
    OpenFn open = nullptr;
    CloseFn close = nullptr;
    ExecFn exec = nullptr;
    PrepareFn prepare = nullptr;
    StatementFn step = nullptr, reset = nullptr, finalize = nullptr;
    BindTextFn bindText = nullptr;
    BindInt64Fn bindInt64 = nullptr;
    ColumnTextFn columnText = nullptr;
    ColumnBytesFn columnBytes = nullptr;
    ColumnInt64Fn columnInt64 = nullptr;
    ErrmsgFn errmsg = nullptr;
    BusyTimeoutFn busyTimeout = nullptr;
};

Binding binding;
INIT_ONCE bindOnce = INIT_ONCE_STATIC_INIT;

template <typename Fn>
bool Lookup(HMODULE module, const char* name, Fn& target) {
    return BindExport(module, name, target);
}

BOOL CALLBACK BindSqlite(PINIT_ONCE, PVOID, PVOID*) {
    HMODULE module = LoadLibraryExW(L"winsqlite3.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) return TRUE;
    binding.bound = Lookup(module, "sqlite3_open_v2", binding.open) && Lookup(module, "sqlite3_close", binding.close) &&
                    Lookup(module, "sqlite3_exec", binding.exec) &&
                    Lookup(module, "sqlite3_prepare_v2", binding.prepare) &&
                    Lookup(module, "sqlite3_step", binding.step) && Lookup(module, "sqlite3_reset", binding.reset) &&
                    Lookup(module, "sqlite3_finalize", binding.finalize) &&
                    Lookup(module, "sqlite3_bind_text", binding.bindText) &&
                    Lookup(module, "sqlite3_bind_int64", binding.bindInt64) &&
                    Lookup(module, "sqlite3_column_text", binding.columnText) &&
                    Lookup(module, "sqlite3_column_bytes", binding.columnBytes) &&
                    Lookup(module, "sqlite3_column_int64", binding.columnInt64) &&
                    Lookup(module, "sqlite3_errmsg", binding.errmsg) &&
                    Lookup(module, "sqlite3_busy_timeout", binding.busyTimeout);
    return TRUE;
}

const Binding& Bound() {
    InitOnceExecuteOnce(&bindOnce, BindSqlite, nullptr, nullptr);
    return binding;
}

}  // namespace

std::string SqliteFileName(const std::wstring& path) {
    const int needed = WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 1) return std::string();
    std::string utf8(static_cast<size_t>(needed), '\0');
    WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, utf8.data(), needed, nullptr, nullptr);
    utf8.resize(static_cast<size_t>(needed - 1));
    return utf8;
}

extern "C" {

int sqlite3_open_v2(const char* filename, sqlite3** db, int flags, const char* vfs) {
    *db = nullptr;
    const Binding& b = Bound();
    return b.bound ? b.open(filename, db, flags, vfs) : SQLITE_CANTOPEN;
}
// A database handle exists only when the binding does, so the calls below need not check it again, except those
// that may be given a null handle.
int sqlite3_close(sqlite3* db) { return db == nullptr ? SQLITE_OK : Bound().close(db); }
int sqlite3_exec(sqlite3* db, const char* sql, int (*callback)(void*, int, char**, char**), void* arg, char** error) {
    return Bound().exec(db, sql, callback, arg, error);
}
int sqlite3_prepare_v2(sqlite3* db, const char* sql, int bytes, sqlite3_stmt** statement, const char** tail) {
    return Bound().prepare(db, sql, bytes, statement, tail);
}
int sqlite3_step(sqlite3_stmt* statement) { return Bound().step(statement); }
int sqlite3_reset(sqlite3_stmt* statement) { return Bound().reset(statement); }
int sqlite3_finalize(sqlite3_stmt* statement) { return statement == nullptr ? SQLITE_OK : Bound().finalize(statement); }
int sqlite3_bind_text(sqlite3_stmt* statement, int index, const char* text, int bytes, sqlite3_destructor_type destroy) {
    return Bound().bindText(statement, index, text, bytes, destroy);
}
int sqlite3_bind_int64(sqlite3_stmt* statement, int index, sqlite3_int64 value) {
    return Bound().bindInt64(statement, index, value);
}
const unsigned char* sqlite3_column_text(sqlite3_stmt* statement, int column) {
    return Bound().columnText(statement, column);
}
int sqlite3_column_bytes(sqlite3_stmt* statement, int column) { return Bound().columnBytes(statement, column); }
sqlite3_int64 sqlite3_column_int64(sqlite3_stmt* statement, int column) { return Bound().columnInt64(statement, column); }
const char* sqlite3_errmsg(sqlite3* db) {
    const Binding& b = Bound();
    return b.bound && db != nullptr ? b.errmsg(db) : "winsqlite3.dll not loaded";
}
int sqlite3_busy_timeout(sqlite3* db, int milliseconds) { return Bound().busyTimeout(db, milliseconds); }
}
