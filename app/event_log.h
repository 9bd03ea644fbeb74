// event_log.h - the provider's one reporting channel: a timestamped line to the debugger, stderr and provider.log.
#pragma once

#include "platform/win32.h"

// Writes "YYYY-MM-DD HH:MM:SS [category] message" + line feed to the three sinks. Never fails, never throws.
void LogEvent(const char* category, const char* message);

// Format arguments for "hr=0x%08lX" and "gle=%lu": on Windows these are already unsigned long; on POSIX
// HRESULT and DWORD are 32-bit and must be widened to match the format.
inline unsigned long HrArg(HRESULT hr) { return static_cast<unsigned long>(static_cast<ULONG>(hr)); }
inline unsigned long DwArg(DWORD value) { return static_cast<unsigned long>(value); }
