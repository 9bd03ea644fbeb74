// callback_reply.cpp - the one place the program fills CF_OPERATION_INFO and ParamSize for CfExecute, so every
// transfer and acknowledgement carries the callback's keys and the size the platform checks.
#include "syncroot/callback_reply.h"

#include <cstring>

HRESULT ReplyToCallback(const CF_CALLBACK_INFO* info, CF_OPERATION_TYPE type, CF_OPERATION_PARAMETERS& params) {
    CF_OPERATION_INFO opInfo;
    memset(&opInfo, 0, sizeof(opInfo));
    opInfo.StructSize = sizeof(CF_OPERATION_INFO);
    opInfo.Type = type;
    opInfo.ConnectionKey = info->ConnectionKey;
    opInfo.TransferKey = info->TransferKey;
    opInfo.RequestKey = info->RequestKey;
    params.ParamSize = CfOperationParamSize(type);
    return CfExecute(&opInfo, &params);
}
