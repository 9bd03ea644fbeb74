// create_info.h - the creation record of a dehydrated placeholder that takes its size and times from a local file
// (the staging seed, a product-cache file, the self-test's probe).
#pragma once

#include "syncroot/cloud_files.h"

#include <vector>

// Zero-filled, then: the name, the file's creation, last-access and last-write times (the last write again as the
// change time, which the standard attribute query does not give), FILE_ATTRIBUTE_NORMAL, the file's size, the
// identity blob (which must outlive the record) and the in-sync mark.
CF_PLACEHOLDER_CREATE_INFO CreateInfoFromFile(LPCWSTR relativeFileName, const WIN32_FILE_ATTRIBUTE_DATA& data,
                                              const std::vector<BYTE>& identity);
