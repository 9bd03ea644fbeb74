// callback_reply.h - answering a platform callback through CfExecute: a transfer of data or a failure, or the
// acknowledgement of a delete or rename.
#pragma once

#include "syncroot/cloud_files.h"

// Fills the operation info from the callback (connection, transfer and request key), sets `params.ParamSize`
// to the exact size of the member `type` uses, and calls CfExecute. `params` carries the member's fields.
HRESULT ReplyToCallback(const CF_CALLBACK_INFO* info, CF_OPERATION_TYPE type, CF_OPERATION_PARAMETERS& params);
