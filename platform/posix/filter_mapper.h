// The platform's filter mapper, writing filter registrations into the registry.
#pragma once

#include "platform/dshow.h"

namespace vmx::posix {
HRESULT CreateFilterMapper(IUnknown* outer, REFIID riid, void** ppv);
}
