// provider_paths.h - the provider's directory tree below the local application-data directory, and the
// small path operations every other part of the program uses to reach it.
#pragma once

#include "platform/win32.h"

#include <string>

// Process-wide paths, empty until InitProviderPaths first runs. Written only by InitProviderPaths, and only
// when a value changes (see provider_paths.cpp), so callback threads may read them at any time.
struct ProviderPathSet {
    std::wstring syncRoot;
    std::wstring staging;
    std::wstring queue;
    std::wstring logFile;
};
extern ProviderPathSet ProviderPaths;

std::wstring LocalAppDataDir();
std::wstring JoinPath(const std::wstring& base, const std::wstring& leaf);
void InitProviderPaths();
std::wstring ProductCachePath(const std::wstring& relativePath);
std::wstring SeedManifestPath();
std::wstring SyncRootRelativePath(const std::wstring& path);
LONGLONG FileTimeToInt64(const FILETIME& fileTime);
