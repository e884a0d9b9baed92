// CFLV_Filter: the Flash Video source. Load probes the first tags and creates at most two pins,
// "Audio Pin" (stream 0) and "Video Pin" (stream 1 beside an audio stream, else 0). The reader
// thread walks the tags in file order and queues each payload, timed from the tag, on its pin;
// every pass starts with a seek to the target, which lands on a video key frame before it.
#pragma once

#include "demux/flv/flv_reader.h"
#include "framework/demux_filter.h"

class CFLV_OutputPin final : public CDemuxOutputPinT<KPacket> {
public:
    CFLV_OutputPin(HRESULT* phr, CDemuxFilter* filter, LPCWSTR name, DWORD streamNumber, const CMediaType& type);

    HRESULT FillSample(IMediaSample*& sample) override;
};

class CFLV_Filter final : public CDemuxFilterT<KPacket> {
public:
    CFLV_Filter(const WCHAR* name, IUnknown* outer, HRESULT* phr);

protected:
    HRESULT LoadFile(LPCOLESTR fileName) override;
    void DiscardFile() override { m_reader.Close(); }
    REFERENCE_TIME PositionParser(REFERENCE_TIME target) override;
    HRESULT NextPacket(std::unique_ptr<KPacket>& packet) override;

private:
    DWORD VideoStreamNumber() const { return m_reader.StreamCount() > 1 ? 1 : 0; }

    KFlvReader m_reader;
    bool m_audioPin = false;
    bool m_videoPin = false;
    // The tag the reader stands on has not been turned into a packet yet.
    bool m_tagPending = false;
    // The last seek went past the end: nothing is read until the next.
    bool m_pastEnd = false;
};
