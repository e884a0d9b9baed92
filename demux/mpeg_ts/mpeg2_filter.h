// CMPG2_Filter: the MPEG source for transport streams (188- and 192-byte packets) and program
// streams. Load finds the streams through the PAT and PMT (or the program stream's PES) and
// their shared first time; one video stream and every audio stream get a pin named after the
// PID and its language. Each stream cuts its PES packets into frames; seeks interpolate between
// the file's ends.
#pragma once

#include "demux/mpeg_ts/mpeg2_read_handler.h"
#include "framework/demux_filter.h"

class CMPG2_Filter;

class CMPG2_OutputPin final : public CDemuxOutputPinT<KPacket> {
public:
    CMPG2_OutputPin(HRESULT* phr, CMPG2_Filter* filter, LPCWSTR name, DWORD pid, std::vector<CMediaType> types,
                    DWORD initialBufferSize);

    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;

private:
    DWORD m_initialBufferSize;
};

class CMPG2_Filter final : public CDemuxFilterT<KPacket> {
public:
    CMPG2_Filter(const WCHAR* name, IUnknown* outer, HRESULT* phr);

protected:
    HRESULT LoadFile(LPCOLESTR fileName) override;
    void DiscardFile() override { m_handler.Close(); }
    // Seeks position the handler; a start after Stop goes on where the last pass stopped.
    Positioning ParserPositioning() const override { return Positioning::OnSeek; }
    REFERENCE_TIME PositionParser(REFERENCE_TIME target) override;
    HRESULT NextPacket(std::unique_ptr<KPacket>& packet) override;

private:
    KMpeg2ReadHandler m_handler;
};

// A pin's name: "Video /eng (256)", "Audio (4352)", "Stream / 0x1f" and the like; the number is
// hexadecimal for MPEG-1 program streams.
WString Mpeg2PinName(const GUID& majorType, const std::string& language, DWORD pid, bool hexadecimal);
