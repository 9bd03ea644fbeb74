// bench.h - the placeholder benchmark: ten thousand placeholders and one listing.
#pragma once

#include "platform/win32.h"

HRESULT RunPlaceholderBench();
double ElapsedMilliseconds(LONGLONG start, LONGLONG end, LONGLONG frequency);
