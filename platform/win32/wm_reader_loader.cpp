// The platform's Windows Media reader, found at run time: mingw-w64 has no import library for
// wmvcore.dll, and a system without it then fails the call instead of refusing to load VMX.ax.
#include "platform/platform.h"
// The reader's interface identifiers are defined here, once: the platform's other headers are
// already in, so only the Windows Media ones are new.
#include <initguid.h>

#include "platform/wmsdk.h"

extern "C" HRESULT WINAPI WMCreateReader(IUnknown* reserved, DWORD rights, IWMReader** reader)
{
    using Create = HRESULT(WINAPI*)(IUnknown*, DWORD, IWMReader**);
    static const Create create = [] {
        HMODULE module = LoadLibraryW(L"wmvcore.dll");
        return module ? reinterpret_cast<Create>(reinterpret_cast<void*>(GetProcAddress(module, "WMCreateReader"))) : nullptr;
    }();
    if (!reader)
        return E_POINTER;
    *reader = nullptr;
    return create ? create(reserved, rights, reader) : REGDB_E_CLASSNOTREG;
}
