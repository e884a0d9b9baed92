#include "demux/audio/aac_filter.h"

#include "framework/class_ids.h"

CAAC_OutputPin::CAAC_OutputPin(HRESULT* phr, CDemuxFilter* filter, const CMediaType& type)
    : CAudioStreamPin(WSTR("AAC output pin"), phr, filter, WSTR("Audio Pin"), 0, {type})
{
}

CAAC_Filter::CAAC_Filter(const WCHAR* name, IUnknown* outer, HRESULT* phr)
    : CAudioSourceFilter<KAacReader>(name ? name : WSTR("Torvane AAC Source Filter"), outer, CLSID_VmxAacSource, phr,
                                     QueueLimits::Aac)
{
}

void CAAC_Filter::CreatePin(HRESULT* phr, const CMediaType& type) { new CAAC_OutputPin(phr, this, type); }
