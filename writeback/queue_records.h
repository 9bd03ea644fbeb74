// queue_records.h - the engine's queue records, their JSON encodings, and how a record file is written.
#pragma once

#include "platform/win32.h"

#include <string>
#include <utility>
#include <vector>

std::string ToUtf8(const std::wstring& text);
// Text as it stands inside a record's string: UTF-8, a backslash before each backslash and double quote, and every
// control character below 0x20 written as \u00xx (lower-case hex), so every record is valid JSON whatever a name
// holds. Every other byte, non-ASCII included, is written as it is.
std::string ToJsonUtf8(const std::wstring& text);
// Writes one generic record into the engine inbox (as WriteRecordFile does) and returns its status. A failure is
// logged here, in the one ERROR line it gets: the record's path, the cause, and `consequence` (what happens to the
// change). Nothing is written, and S_FALSE returned, without a local application-data directory (no engine to tell).
HRESULT WriteQueueRecord(const char* typeWord, const std::wstring& domainId, const std::wstring& itemId, bool isDir,
                         const std::wstring& targetPath, const std::wstring& previousPath,
                         const char* consequence = "tried again later");

// A root-relative path (either separator) in the one form every record carries: forward slashes.
std::wstring RecordPath(const std::wstring& relative);

// A domain or item id as it stands inside a record: encoded as ToJsonUtf8 encodes text. Ids without a backslash,
// double quote or control character come out exactly as ToUtf8 gives them.
std::string ToJsonIdUtf8(const std::wstring& id);

// The exact bytes of the three record kinds, each one JSON object and one line feed.
std::string FormatDownloadRecord(const std::wstring& domainId, const std::wstring& itemId);
std::string FormatCloseModifyRecord(const std::wstring& domainId, const std::wstring& itemId,
                                    const std::wstring& contentsPath, const std::wstring& targetPath);
std::string FormatGenericRecord(const char* typeWord, const std::wstring& domainId, const std::wstring& itemId,
                                bool isDir, const std::wstring& targetPath, const std::wstring& previousPath);

// The engine queue (product directory + "Queue") and its inbox ("cloud-files-inbox"), built anew from
// LocalAppDataDir; relative when the local application-data directory is unknown.
std::wstring EngineQueuePath();
std::wstring EngineInboxPath();

// Writes `record` into `directory` under the name namePrefix + tick + ".json" (tick from GetTickCount64): first
// completely under a temporary name beginning with '.', flushed, then moved to the final name without replacing
// anything; a taken name raises the number by one until a free one is found. No reader of the directory ever
// sees a partial record and no record replaces another. Reports nothing; returns S_OK or the failing status.
// `finalPath`, when given, receives the name the record got.
HRESULT WriteRecordFile(const std::wstring& directory, const char* namePrefix, const std::string& record,
                        std::wstring* finalPath = nullptr);

// A delete or rename record held back for a moment: written and flushed into the engine inbox under a temporary name
// (".held-" and the type) that the engine does not read, so the change is known to fit before it is let through.
// `heldPath` receives the name. A failure is logged as WriteQueueRecord logs it.
HRESULT HoldQueueRecord(const char* typeWord, const std::wstring& domainId, const std::wstring& itemId,
                        const std::wstring& targetPath, const std::wstring& previousPath, const char* consequence,
                        std::wstring& heldPath);
// Gives a held record its final name, as WriteRecordFile does; a failure is logged.
HRESULT PublishHeldRecord(const std::wstring& heldPath, const char* typeWord);
// Removes the held records a provider that was stopped left in the inbox; returns how many.
int RemoveHeldRecords();

// A change's "mod-" record is written first under a temporary name of its own (".taking-mod-"), then the item database
// notes the version the record carries, and only then is the record published. A provider stopped between the note
// and the publish leaves it behind: the next start publishes it, once, when the database holds its version (the
// change counts as told from that note on), and removes it when not (the change is then taken again).
HRESULT WriteTakingRecord(const std::string& record, std::wstring& takingPath);
// Publishes a taking record (holding `record`) as a "mod-" record; a failure is logged, and the record is kept to be
// settled later.
HRESULT PublishTakingRecord(const std::wstring& takingPath, const std::string& record);
// At connect: remembers the taking records a stopped provider left; returns how many.
int FindLeftTakingRecords();
// Publishes (`publish`) or removes the left taking records of the engine item (domainId, itemId). False when one could
// not be published (logged; it stays remembered).
bool SettleLeftTakingRecords(const std::wstring& domainId, const std::wstring& itemId, bool publish);
// Removes the left taking records of every item not among `keep` (domain and item ids): items that went, or
// that are in sync, have no change to finish. Returns how many.
int RemoveLeftTakingRecordsExcept(const std::vector<std::pair<std::wstring, std::wstring>>& keep);

