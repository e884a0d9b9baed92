// The filter a table entry creates while its demuxer is not part of the module: a complete
// source filter with no pins whose Load always fails.
#pragma once

#include "framework/demux_filter.h"
#include "io/packet.h"

class CPendingFilter final : public CDemuxFilterT<KPacket> {
public:
    CPendingFilter(const WCHAR* name, IUnknown* outer, REFCLSID clsid, HRESULT* phr);

protected:
    HRESULT LoadFile(LPCOLESTR) override { return E_FAIL; }
    HRESULT NextPacket(std::unique_ptr<KPacket>&) override { return S_FALSE; }
};
