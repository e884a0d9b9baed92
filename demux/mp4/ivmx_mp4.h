// IVmxMP4: the MP4 filter's own interface: whether seeks land on key frames, how much of a file
// that is still being written can already be played, and a value the host keeps with the filter.
#pragma once

#include "platform/platform.h"

VMX_GUID(IID_IVmxMP4, 0xd18284ff, 0xde51, 0x4f33, 0xa9, 0xbb, 0xa8, 0xd3, 0xae, 0x4b, 0x66, 0xbb);

struct IVmxMP4 : IUnknown {
    // Slots 3 to 5 take a host object and keep nothing: they only check the pointer.
    STDMETHOD(SetNotify)(void* target) PURE;
    STDMETHOD(ClearNotify)() PURE;
    STDMETHOD(SetNotify2)(void* target) PURE;
    STDMETHOD(SetUserValue)(DWORD value) PURE;
    STDMETHOD(GetUserValue)(DWORD* value) PURE;
    // The longest time any track reaches within the bytes the file holds now; never less than
    // before.
    STDMETHOD(GetAvailableDuration)(LONGLONG* duration) PURE;
    STDMETHOD(SetSeekKeyFrame)(BOOL on) PURE;
    STDMETHOD(GetSeekKeyFrame)(BOOL* on) PURE;

protected:
    ~IVmxMP4() = default;
};
