// seeding.h - placeholders from the seed manifest, or from files already in the product cache.
#pragma once

#include "platform/win32.h"

#include <string>
#include <vector>

HRESULT SeedFromManifest();
HRESULT SeedFromProductCache();
void CollectCacheFiles(const std::wstring& directory, const std::wstring& relativePrefix,
                       std::vector<std::wstring>& files);
