// notifications.h - delete and rename notifications: a queue record, then the acknowledgement.
#pragma once

#include "syncroot/cloud_files.h"

void AckNotification(const CF_CALLBACK_INFO* info, CF_OPERATION_TYPE operationType);
void CALLBACK OnNotifyDelete(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params);
void CALLBACK OnNotifyRename(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params);
