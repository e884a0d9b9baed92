// IVmxOGG2: the second Ogg filter's own interface: key-frame snapping of seeks, the duration
// as far as the seek index reaches, and whether samples before the start are marked preroll.
#pragma once

#include "platform/platform.h"

VMX_GUID(IID_IVmxOGG2, 0x3f11bc6d, 0xb131, 0x4c79, 0x97, 0xfd, 0x23, 0x9e, 0x6f, 0xcc, 0x80, 0xc4);

struct IVmxOGG2 : IUnknown {
    STDMETHOD(SetSeekToKeyFrame)(BOOL snap) PURE;
    STDMETHOD(GetSeekToKeyFrame)(DWORD* snap) PURE;
    STDMETHOD(GetDuration)(LONGLONG* duration) PURE;
    STDMETHOD(SetPrerollMode)(DWORD mode) PURE;
    STDMETHOD(GetPrerollMode)(DWORD* mode) PURE;

protected:
    ~IVmxOGG2() = default;
};
