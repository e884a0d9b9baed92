#include "demux/audio/audio_source_filter.h"

#include <algorithm>
#include <cstring>

HRESULT CAudioStreamPin::FillSample(IMediaSample*& sample)
{
    KPacket* packet = nullptr;
    if (const HRESULT taken = TakeHeldBack(packet); taken != S_OK)
        return taken;
    // Frames carry no sync flag of their own: the first after each (re)start is the sync point.
    return FillFromPacket(sample, *packet, SampleRules{true, false});
}

CMediaType AudioMediaType(std::span<const BYTE> formatBlock)
{
    CMediaType mt;
    mt.SetType(&MEDIATYPE_Audio);
    WAVEFORMATEX format{};
    std::memcpy(&format, formatBlock.data(), std::min(formatBlock.size(), sizeof format));
    const GUID subtype = FourccGuid(format.wFormatTag);
    mt.SetSubtype(&subtype);
    mt.SetSampleSize(1);
    mt.SetTemporalCompression(FALSE);
    mt.SetFormatType(&FORMAT_WaveFormatEx);
    mt.SetFormat(formatBlock.data(), static_cast<ULONG>(formatBlock.size()));
    return mt;
}
