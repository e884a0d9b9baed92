// IVmxOGG: the first Ogg filter's own interface: the chapters its file's comments name.
#pragma once

#include "platform/platform.h"

VMX_GUID(IID_IVmxOGG, 0x8b359727, 0xd939, 0x41a8, 0x8c, 0xbd, 0x69, 0xa2, 0x76, 0x75, 0xd9, 0x78);

struct IVmxOGG : IUnknown {
    STDMETHOD(GetChapterCount)(DWORD* count) PURE;
    // The start in 100 ns, and the title as a string the caller frees with CoTaskMemFree (empty
    // when the chapter has none).
    STDMETHOD(GetChapter)(DWORD index, LONGLONG* start, LPWSTR* title) PURE;

protected:
    ~IVmxOGG() = default;
};
