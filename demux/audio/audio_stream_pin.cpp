#include "demux/audio/audio_source_filter.h"

#include <algorithm>
#include <cstring>

HRESULT CAudioStreamPin::FillSample(IMediaSample*& sample)
{
    // A frame goes out only once the next frame (or the end) is queued behind it, so the last
    // frame of a pass leaves together with the end of the stream.
    const DWORD queued = m_queue.Count();
    if (queued == 0 || (queued == 1 && m_queue.TailIsPacket()))
        return S_NOT_READY;
    std::unique_ptr<KPacket> packet = m_queue.Pop();
    if (!packet)
        return S_FALSE;
    if (!packet->HasTime())
        return S_NOT_READY;
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
