// local_files.cpp - the lifecycle of the files the user makes in the root: their copies follow a rename and are
// withdrawn by a delete, and what the engine has already taken is told to it by a record with empty ids.
#include "writeback/local_files.h"

#include "app/event_log.h"
#include "layout/provider_paths.h"
#include "writeback/queue_records.h"

namespace {

bool Exists(const std::wstring& path) { return !path.empty() && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring LocalStorePath() {
    const std::wstring localAppData = LocalAppDataDir();
    return localAppData.empty() ? std::wstring() : JoinPath(EngineQueuePath(), L"LocalFiles");
}

bool MoveCopy(const std::wstring& from, const std::wstring& to, const std::wstring& base, const std::wstring& relative) {
    if (!Exists(from)) return false;
    CreateDirectoryW(base.c_str(), nullptr);
    CreateParentDirectories(base, relative);
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

}  // namespace

void CreateParentDirectories(const std::wstring& base, const std::wstring& relative) {
    std::wstring running = base;
    size_t start = 0;
    for (size_t end = relative.find_first_of(L"\\/"); end != std::wstring::npos;
         end = relative.find_first_of(L"\\/", start)) {
        if (end > start) {
            running = JoinPath(running, relative.substr(start, end - start));
            CreateDirectoryW(running.c_str(), nullptr);
        }
        start = end + 1;
    }
}

LocalCopies LocalCopiesOf(const std::wstring& name, bool usersFile) {
    LocalCopies copies;
    copies.staged = JoinPath(JoinPath(ProviderPaths.queue, L"Staging"), name);
    const std::wstring localAppData = LocalAppDataDir();
    if (!localAppData.empty()) {
        copies.storeBase = usersFile ? LocalStorePath() : JoinPath(EngineQueuePath(), L"CloudFiles");
        copies.stored = JoinPath(copies.storeBase, name);
    }
    return copies;
}

bool WithdrawUserFile(const ItemRow& row, const char* consequence) {
    const LocalCopies copies = LocalCopiesOf(row.path, true);
    const bool taken = row.size >= 0 && !copies.stored.empty() && !Exists(copies.stored);
    if (taken &&
        FAILED(WriteQueueRecord("delete", std::wstring(), std::wstring(), false, RecordPath(row.path), std::wstring(),
                                consequence))) {
        return false;
    }
    DeleteFileW(copies.staged.c_str());
    if (!copies.stored.empty()) DeleteFileW(copies.stored.c_str());
    ForgetItem(row.identity);
    LogEvent("WRITEBACK", taken ? "a file of the user's went after the engine took it - delete recorded"
                                : "a file of the user's went before the engine took it - its copies withdrawn");
    return true;
}

bool MoveUserFile(const ItemRow& row, const std::wstring& relative, const char* consequence) {
    const LocalCopies from = LocalCopiesOf(row.path, true), to = LocalCopiesOf(relative, true);
    const bool taken = row.size >= 0 && !from.stored.empty() && !Exists(from.stored);
    if (taken &&
        FAILED(WriteQueueRecord("modify", std::wstring(), std::wstring(), false, RecordPath(relative), RecordPath(row.path),
                                consequence))) {
        return false;
    }
    MoveCopy(from.stored, to.stored, LocalStorePath(), relative);
    MoveCopy(from.staged, to.staged, JoinPath(ProviderPaths.queue, L"Staging"), relative);
    NoteItemAt(relative, row.identity, ItemKind::kUserFile);
    LogEvent("WRITEBACK", taken ? "a file of the user's moved after the engine took it - rename recorded"
                                : "a file of the user's moved - its copies moved with it");
    return true;
}
