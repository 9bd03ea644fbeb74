// explicit_hydration.h - the hydrate and dehydrate verbs.
#pragma once

#include "platform/win32.h"

#include <string>

HRESULT ExplicitHydrate(const std::wstring& name);
HRESULT ExplicitDehydrate();
