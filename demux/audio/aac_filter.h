// CAAC_Filter: the source of raw AAC files made of ADTS frames, one "Audio Pin" whose format
// block is a WAVEFORMATEX followed by the AudioSpecificConfig.
#pragma once

#include "demux/audio/aac_reader.h"
#include "demux/audio/audio_source_filter.h"

class CAAC_OutputPin final : public CAudioStreamPin {
public:
    CAAC_OutputPin(HRESULT* phr, CDemuxFilter* filter, const CMediaType& type);
};

class CAAC_Filter final : public CAudioSourceFilter<KAacReader> {
public:
    CAAC_Filter(const WCHAR* name, IUnknown* outer, HRESULT* phr);

protected:
    void CreatePin(HRESULT* phr, const CMediaType& type) override;
};
