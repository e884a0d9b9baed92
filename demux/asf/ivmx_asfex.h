// IVmxASFEX: the native ASF filter's own interface: how far the key-frame index reaches, and
// whether samples before the start are marked preroll.
#pragma once

#include "platform/platform.h"

VMX_GUID(IID_IVmxASFEX, 0xfdfac009, 0x3092, 0x4939, 0x8e, 0xa8, 0xfb, 0x57, 0x09, 0xbd, 0x88, 0xd9);

struct IVmxASFEX : IUnknown {
    // E_FAIL with 0 while nothing is indexed.
    STDMETHOD(GetIndexedDuration)(LONGLONG* duration) PURE;
    STDMETHOD(SetPrerollOption)(DWORD option) PURE;
    STDMETHOD(GetPrerollOption)(DWORD* option) PURE;

protected:
    ~IVmxASFEX() = default;
};
