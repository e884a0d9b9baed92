// Everything of the platform the module sees: on Windows the system's own headers, elsewhere
// our declarations with the same names, values and layouts.
#pragma once

#include "platform/types.h"
#include "platform/hresults.h"
#include "platform/guids.h"
#include "platform/com.h"
#include "platform/dshow.h"
#include "platform/win32.h"
