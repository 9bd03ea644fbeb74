// notifications.h - delete and rename notifications: a queue record, then the acknowledgement.
#pragma once

#include "syncroot/cloud_files.h"

// Acknowledges a delete or rename with `status`: success lets the platform carry it out, a failure refuses it.
void AckNotification(const CF_CALLBACK_INFO* info, CF_OPERATION_TYPE operationType, NTSTATUS status = STATUS_SUCCESS);
void CALLBACK OnNotifyDelete(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params);
void CALLBACK OnNotifyRename(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params);
