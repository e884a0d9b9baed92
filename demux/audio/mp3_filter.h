// CMP3_Filter: the source of bare MPEG audio Layer III files, one "Audio Pin" of MP3 audio.
#pragma once

#include "demux/audio/audio_stream_pin.h"
#include "demux/audio/mp3_reader.h"
#include "framework/demux_filter.h"

class CMP3_OutputPin final : public CAudioStreamPin {
public:
    CMP3_OutputPin(HRESULT* phr, CDemuxFilter* filter, const CMediaType& type);
};

class CMP3_Filter final : public CDemuxFilterT<KPacket> {
public:
    CMP3_Filter(const WCHAR* name, IUnknown* outer, HRESULT* phr);
    static CUnknown* CreateInstance(IUnknown* outer, HRESULT* phr);

    // The media type offered for a file: MP3 audio with the reader's 18-byte WAVEFORMATEX.
    static CMediaType MediaTypeFor(const WAVEFORMATEX& format);

protected:
    HRESULT LoadFile(LPCOLESTR fileName) override;
    void PositionParser(REFERENCE_TIME target) override;
    HRESULT NextPacket(std::unique_ptr<KPacket>& packet) override;

private:
    KMp3Reader m_reader;
};
