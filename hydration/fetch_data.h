// fetch_data.h - serving the platform's data requests from the product cache or the staging directory.
#pragma once

#include "syncroot/cloud_files.h"

void CALLBACK OnFetchData(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params);
void CALLBACK OnCancelFetchData(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params);
