// IVmxMKV: the Matroska filter's own interface, through which a host sets whether seeks land on
// key frames and a preroll option.
#pragma once

#include "platform/platform.h"

VMX_GUID(IID_IVmxMKV, 0x9794bd43, 0x281e, 0x45ee, 0x94, 0xcc, 0x70, 0xa2, 0x60, 0xe4, 0x07, 0xb5);

struct IVmxMKV : IUnknown {
    STDMETHOD(SetSeekKeyFrame)(BOOL on) PURE;
    STDMETHOD(GetSeekKeyFrame)(BOOL* on) PURE;
    STDMETHOD(SetPreroll)(LONGLONG value) PURE;
    STDMETHOD(GetPreroll)(BOOL* on) PURE;

protected:
    ~IVmxMKV() = default;
};
