// Registration of the module: COM server keys for every template and the filters with the
// platform's filter mapper; unregistration removes both.
#pragma once

#include "platform/platform.h"

HRESULT RegisterAllServers(BOOL doRegister);
