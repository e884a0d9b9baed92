#include "demux/flv/flv_filter.h"

#include <algorithm>

#include "demux/flv/flv_media_types.h"
#include "framework/class_ids.h"

namespace {

constexpr DWORD kAudioStream = 0;

}  // namespace

// ---- Pin ---------------------------------------------------------------------------------------

CFLV_OutputPin::CFLV_OutputPin(HRESULT* phr, CDemuxFilter* filter, LPCWSTR name, DWORD streamNumber, const CMediaType& type)
    : CDemuxOutputPinT<KPacket>(WSTR("FLV output pin"), phr, filter, name, streamNumber, {type})
{
}

HRESULT CFLV_OutputPin::FillSample(IMediaSample*& sample)
{
    KPacket* packet = nullptr;
    if (const HRESULT taken = TakeHeldBack(packet); taken != S_OK)
        return taken;
    return FillFromPacket(sample, *packet, SampleRules{.syncOnRestart = true, .applyMediaType = false});
}

// ---- Filter ------------------------------------------------------------------------------------

CFLV_Filter::CFLV_Filter(const WCHAR* name, IUnknown* outer, HRESULT* phr)
    : CDemuxFilterT<KPacket>(name ? name : WSTR("Torvane FLV Source Filter"), outer, CLSID_VmxFlvSource, phr, QueueLimits::Flv)
{
}

HRESULT CFLV_Filter::LoadFile(LPCOLESTR fileName)
{
    m_audioPin = m_videoPin = false;
    if (!m_reader.Open(fileName))
        return E_FAIL;
    SetDuration(m_reader.Duration());
    const auto addPin = [&](LPCWSTR name, DWORD stream, const CMediaType& type) {
        return MakePin<CFLV_OutputPin>(this, name, stream, type) != nullptr;
    };
    if (m_reader.HasAudio())
        if (const auto type = FlvAudioMediaType(m_reader.AudioFormat()))
            m_audioPin = addPin(WSTR("Audio Pin"), kAudioStream, *type);
    if (m_reader.HasVideo())
        if (const auto type = FlvVideoMediaType(m_reader.VideoFormat(), m_reader.Metadata()))
            m_videoPin = addPin(WSTR("Video Pin"), VideoStreamNumber(), *type);
    return GetPinCount() > 0 ? S_OK : E_FAIL;
}

REFERENCE_TIME CFLV_Filter::PositionParser(REFERENCE_TIME target)
{
    // Past the end nothing is read: the pass ends at once with the end markers.
    m_tagPending = m_reader.SeekTo(target);
    m_pastEnd = !m_tagPending;
    return target;
}

HRESULT CFLV_Filter::NextPacket(std::unique_ptr<KPacket>& packet)
{
    while (!ReaderCommandPending() && !m_pastEnd) {
        if (!m_tagPending && !m_reader.MoveToNextTag())
            return S_FALSE;
        m_tagPending = false;
        const FlvTag& tag = m_reader.Tag();
        if (tag.payloadSize == 0 || !((tag.IsAudio() && m_audioPin) || (tag.IsVideo() && m_videoPin)))
            continue;
        auto made = NewPacket();
        if (!m_reader.ReadPayload(made->payload) || made->payload.empty())
            continue;
        // Silence some muxers write as zero-filled tags carries nothing a decoder can use.
        if (tag.IsAudio() && std::all_of(made->payload.begin(), made->payload.end(), [](BYTE b) { return b == 0; }))
            continue;
        made->streamNumber = tag.IsAudio() ? kAudioStream : VideoStreamNumber();
        made->syncPoint = tag.IsAudio() || tag.IsKeyFrame();
        made->start = tag.time;
        made->stop = tag.time + 1;
        packet = std::move(made);
        return S_OK;
    }
    return S_FALSE;
}
