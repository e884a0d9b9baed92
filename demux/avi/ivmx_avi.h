// IVmxAVI: the AVI filter's own interface: how far the background scan of a file without an
// index has got, whether seeks snap to key frames, and two values the host keeps with the filter.
#pragma once

#include "platform/platform.h"

VMX_GUID(IID_IVmxAVI, 0x6ba9dd11, 0x09b9, 0x4c8b, 0x89, 0xa8, 0x8a, 0xc4, 0x45, 0x60, 0x12, 0x14);

struct IVmxAVI : IUnknown {
    STDMETHOD(SetUserValue)(DWORD value) PURE;
    STDMETHOD(GetUserValue)(DWORD* value) PURE;
    // Takes a host object and keeps nothing.
    STDMETHOD(SetNotify)(void* target) PURE;
    STDMETHOD(GetIndexedDuration)(LONGLONG* duration) PURE;
    // Nonzero: a seek that moves the start lands every stream on the video key frame after it.
    STDMETHOD(SetAnchoring)(DWORD value) PURE;
    STDMETHOD(GetAnchoring)(DWORD* value) PURE;
    STDMETHOD(SetSeekKeyFrame)(BOOL on) PURE;
    STDMETHOD(GetSeekKeyFrame)(BOOL* on) PURE;

protected:
    ~IVmxAVI() = default;
};
