// CMP3_Filter: the source of bare MPEG audio Layer III files, one "Audio Pin" of MP3 audio.
#pragma once

#include "demux/audio/audio_source_filter.h"
#include "demux/audio/mp3_reader.h"

class CMP3_OutputPin final : public CAudioStreamPin {
public:
    CMP3_OutputPin(HRESULT* phr, CDemuxFilter* filter, const CMediaType& type);
};

class CMP3_Filter final : public CAudioSourceFilter<KMp3Reader> {
public:
    CMP3_Filter(const WCHAR* name, IUnknown* outer, HRESULT* phr);

protected:
    void CreatePin(HRESULT* phr, const CMediaType& type) override;
};
