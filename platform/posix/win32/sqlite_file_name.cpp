// sqlite_file_name.cpp - the POSIX file SQLite opens for a file the program names by its Windows path.
#include "platform/posix/win32/standin_internal.h"
#include "platform/sqlite.h"

std::string SqliteFileName(const std::wstring& path) { return posix::ToPosixPath(path); }
