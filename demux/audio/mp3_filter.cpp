#include "demux/audio/mp3_filter.h"

#include <new>

#include "module/templates.h"

CMP3_OutputPin::CMP3_OutputPin(HRESULT* phr, CDemuxFilter* filter, const CMediaType& type)
    : CAudioStreamPin(WSTR("MP3 output pin"), phr, filter, WSTR("Audio Pin"), 0, {type})
{
}

CMP3_Filter::CMP3_Filter(const WCHAR* name, IUnknown* outer, HRESULT* phr)
    : CDemuxFilterT<KPacket>(name ? name : WSTR("Torvane MP3 Source Filter"), outer, CLSID_VmxMp3Source, phr,
                             QueueLimits::Mp3)
{
}

CUnknown* CMP3_Filter::CreateInstance(IUnknown* outer, HRESULT* phr)
{
    auto* filter = new (std::nothrow) CMP3_Filter(nullptr, outer, phr);
    if (!filter && phr)
        *phr = E_OUTOFMEMORY;
    return filter;
}

CMediaType CMP3_Filter::MediaTypeFor(const WAVEFORMATEX& format)
{
    CMediaType mt;
    mt.SetType(&MEDIATYPE_Audio);
    const GUID subtype = FourccGuid(WAVE_FORMAT_MPEGLAYER3);
    mt.SetSubtype(&subtype);
    mt.SetSampleSize(1);
    mt.SetTemporalCompression(FALSE);
    mt.SetFormatType(&FORMAT_WaveFormatEx);
    mt.SetFormat(reinterpret_cast<const BYTE*>(&format), sizeof(WAVEFORMATEX) + format.cbSize);
    return mt;
}

HRESULT CMP3_Filter::LoadFile(LPCOLESTR fileName)
{
    if (!m_reader.Open(fileName))
        return E_FAIL;
    m_currentPosition = 0;
    m_seekTarget = 0;
    SetDuration(m_reader.Duration());
    HRESULT hr = S_OK;
    new CMP3_OutputPin(&hr, this, MediaTypeFor(m_reader.Format()));  // the filter owns its pins
    if (FAILED(hr))
        return hr;
    return GetPinCount() > 0 ? S_OK : E_FAIL;
}

void CMP3_Filter::PositionParser(REFERENCE_TIME target) { m_reader.SeekTo(target); }

HRESULT CMP3_Filter::NextPacket(std::unique_ptr<KPacket>& packet)
{
    for (;;) {
        DWORD size = 0;
        REFERENCE_TIME start = 0, stop = 0;
        if (m_reader.ReadFrame(size, start, stop) == KMp3Reader::kEnd)
            return S_FALSE;
        if (size == 0)
            continue;
        auto frame = std::make_unique<KPacket>();
        frame->streamNumber = 0;
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
