// selftest.h - the whole chain in one process, and the write-back client it starts.
#pragma once

#include "platform/win32.h"

HRESULT RunSelfTest();
HRESULT ProbeEngineCache();
void ClearSyncRootFiles();
HRESULT RunWritebackClient();
HRESULT VerifyWriteBack();
