// The filter shape the elementary audio sources share: one reader that yields whole frames with
// running times, one "Audio Pin", frames dispatched as untimed-flag packets on stream 0.
#pragma once

#include <span>

#include "demux/audio/audio_stream_pin.h"
#include "framework/demux_filter.h"

// The pin's one media type: audio whose subtype is the format tag, with the given format block
// (a WAVEFORMATEX and whatever follows it).
CMediaType AudioMediaType(std::span<const BYTE> formatBlock);

template <class Reader>
class CAudioSourceFilter : public CDemuxFilterT<KPacket> {
public:
    using CDemuxFilterT<KPacket>::CDemuxFilterT;

protected:
    // Makes the filter's pin (it adds itself to the filter).
    virtual void CreatePin(HRESULT* phr, const CMediaType& type) = 0;

    HRESULT LoadFile(LPCOLESTR fileName) override
    {
        if (!m_reader.Open(fileName))
            return E_FAIL;
        m_currentPosition = 0;
        m_seekTarget = 0;
        SetDuration(m_reader.Duration());
        HRESULT hr = S_OK;
        CreatePin(&hr, AudioMediaType(m_reader.FormatBlock()));
        if (FAILED(hr))
            return hr;
        return GetPinCount() > 0 ? S_OK : E_FAIL;
    }

    REFERENCE_TIME PositionParser(REFERENCE_TIME target) override
    {
        m_reader.SeekTo(target);
        return target;
    }

    HRESULT NextPacket(std::unique_ptr<KPacket>& packet) override
    {
        for (;;) {
            DWORD size = 0;
            REFERENCE_TIME start = 0, stop = 0;
            if (m_reader.ReadFrame(size, start, stop) == Reader::kEnd)
                return S_FALSE;
            if (size == 0)
                continue;
            auto frame = this->NewPacket();
            frame->start = start;
            frame->stop = stop;
            frame->payload.resize(size);
            // A frame cut short by the end of the file ends the stream.
            if (!m_reader.CopyFrame(frame->payload.data()))
                return S_FALSE;
            packet = std::move(frame);
            return S_OK;
        }
    }

    Reader m_reader;
};
