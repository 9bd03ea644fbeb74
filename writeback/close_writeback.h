// close_writeback.h - copying a closed file out of the sync root into the queues.
#pragma once

#include "syncroot/cloud_files.h"

#include <string>

void CALLBACK OnNotifyFileCloseCompletion(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params);
// Takes the change of the placeholder at `path` (a full Windows path) with the given identity blob, as its close
// would: copied and recorded for the engine unless unchanged, then marked in sync. The walk at connect uses it too.
void WriteBackPlaceholder(const std::wstring& path, LPCVOID identity, DWORD identityLength);
