#include "demux/audio/mp3_filter.h"

#include "framework/class_ids.h"

CMP3_OutputPin::CMP3_OutputPin(HRESULT* phr, CDemuxFilter* filter, const CMediaType& type)
    : CAudioStreamPin(WSTR("MP3 output pin"), phr, filter, WSTR("Audio Pin"), 0, {type})
{
}

CMP3_Filter::CMP3_Filter(const WCHAR* name, IUnknown* outer, HRESULT* phr)
    : CAudioSourceFilter<KMp3Reader>(name ? name : WSTR("Torvane MP3 Source Filter"), outer, CLSID_VmxMp3Source, phr,
                                     QueueLimits::Mp3)
{
}

void CMP3_Filter::CreatePin(HRESULT* phr, const CMediaType& type) { new CMP3_OutputPin(phr, this, type); }
