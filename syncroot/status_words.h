// status_words.h - what a status means to the person reading the log, beside its number.
#pragma once

#include "platform/win32.h"

// A short phrase for the statuses a user of the provider meets (a root not registered, a provider already
// connected, a file in use, ...); for any other status, "see the status code".
const char* StatusInWords(HRESULT hr);
