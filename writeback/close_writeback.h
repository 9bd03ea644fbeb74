// close_writeback.h - copying a closed file out of the sync root into the queues.
#pragma once

#include "syncroot/cloud_files.h"

void CALLBACK OnNotifyFileCloseCompletion(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params);
