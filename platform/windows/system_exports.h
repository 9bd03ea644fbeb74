// system_exports.h - a system DLL's export bound into a typed function pointer, for the bindings that load a DLL of
// the system directory at first use (cldapi.dll, winsqlite3.dll).
#pragma once

#include "platform/win32.h"

// Sets `target` to the export `name` of `module`; false, with the last error set, when the DLL has no such export.
template <typename Fn>
bool BindExport(HMODULE module, const char* name, Fn& target) {
    FARPROC proc = GetProcAddress(module, name);
    if (proc == nullptr) return false;
    target = reinterpret_cast<Fn>(reinterpret_cast<void*>(proc));
    return true;
}
