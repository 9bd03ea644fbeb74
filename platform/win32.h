// win32.h - the one include for Win32 names in the program.
// On Windows it is <windows.h>; elsewhere platform/posix/win32/win32_subset.h declares the subset the program calls,
// which the stand-in in platform/posix/win32/ implements.
#pragma once

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <sddl.h>
#include <share.h>
#include <stdio.h>

// <windows.h> leaves NTSTATUS to the driver headers; the Cloud Files structures need it.
typedef LONG NTSTATUS;

// Older SDK headers (MinGW-w64 before 11) lack the attribute of a placeholder whose data is not local.
#ifndef FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS
#define FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS 0x00400000
#endif
// The same for the reparse tag of placeholders (and its variants, told apart by IO_REPARSE_TAG_CLOUD_MASK).
#ifndef IO_REPARSE_TAG_CLOUD
#define IO_REPARSE_TAG_CLOUD 0x9000001AL
#endif
#ifndef IO_REPARSE_TAG_CLOUD_6
#define IO_REPARSE_TAG_CLOUD_6 0x9000601AL
#endif
#ifndef IO_REPARSE_TAG_CLOUD_MASK
#define IO_REPARSE_TAG_CLOUD_MASK 0x0000F000L
#endif
// And for the pin-state attributes ("Always keep on this device" / "Free up space") and the status of a refused
// dehydration of a pinned placeholder.
#ifndef FILE_ATTRIBUTE_PINNED
#define FILE_ATTRIBUTE_PINNED 0x00080000
#endif
#ifndef FILE_ATTRIBUTE_UNPINNED
#define FILE_ATTRIBUTE_UNPINNED 0x00100000
#endif
#ifndef ERROR_CLOUD_FILE_PINNED
#define ERROR_CLOUD_FILE_PINNED 392L
#endif

#else  // POSIX: the stand-in declares the subset

#include "platform/posix/win32/win32_subset.h"

#endif  // _WIN32
