// demo_placeholder.h - the demonstration placeholder "hello-from-engine.txt".
#pragma once

#include "platform/win32.h"

HRESULT CreateDemoPlaceholder();
