// queue_records.h - the engine's queue records, their JSON encodings, and how a record file is written.
#pragma once

#include "platform/win32.h"

#include <string>

std::string ToUtf8(const std::wstring& text);
std::string ToJsonUtf8(const std::wstring& text);
void WriteQueueRecord(const char* typeWord, const std::wstring& domainId, const std::wstring& itemId, bool isDir,
                      const std::wstring& targetPath, const std::wstring& previousPath);
