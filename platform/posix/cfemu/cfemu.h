// cfemu.h - what the verbs of cfemu, the emulated platform's command-line tool, share between their files.
// The plain verbs live in cfemu_main.cpp, the FUSE view of a sync root in cfemu_mount.cpp and the mount_*.cpp files.
#pragma once

#include <string>

#include "platform/win32.h"

namespace cfemu {

// "0x8007016A cloud file provider is not running (ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING, error 362)".
std::string DescribeWin32Error(DWORD code);

// `cfemu attrib [+R|-R|+P|-P|+U|-U]... [/S [/D]] PATH` (cfemu_attrib.cpp): the arguments after the verb; the exit code.
int RunAttrib(int argc, char** argv);

// `cfemu mount ROOT MOUNTPOINT`: serves the view until it is unmounted or signalled; the process's exit code.
int RunMount(const std::string& root, const std::string& mountpoint);

}  // namespace cfemu
