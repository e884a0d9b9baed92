#include "demux/avi/avi_filter.h"

#include <algorithm>
#include <cstdio>

#include "demux/avi/avi_media_types.h"
#include "framework/class_ids.h"
#include "framework/com_out.h"
#include "io/wide_text.h"

// ---- Pin ---------------------------------------------------------------------------------------

CAVI2_OutputPin::CAVI2_OutputPin(HRESULT* phr, CAVI2_Filter* filter, LPCWSTR name, DWORD streamNumber,
                                 const CMediaType& type)
    : CDemuxOutputPinT<KPacket2>(WSTR("AVI output pin"), phr, filter, name, streamNumber, {type}), m_avi(filter)
{
}

HRESULT CAVI2_OutputPin::FillSample(IMediaSample*& sample)
{
    KPacket2* packet = nullptr;
    if (const HRESULT taken = TakeHeldBack(packet); taken != S_OK)
        return taken;
    const HRESULT hr = FillFromPacket(sample, *packet, SampleRules{.syncOnRestart = true, .applyMediaType = false, .packetMediaTimes = true});
    // Frames before the start are marked preroll only when seeks land on key frames.
    if (SUCCEEDED(hr) && sample && !m_avi->SeekKeyFrame())
        sample->SetPreroll(FALSE);
    return hr;
}

LONGLONG CAVI2_OutputPin::LargestSampleSize() const { return m_avi->Handler().OpenedFileSize(); }

HRESULT CAVI2_OutputPin::SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags)
{
    if (current && (currentFlags & AM_SEEKING_PositioningBitsMask)) {
        LONGLONG now = 0;
        {
            CAutoLock lock(CSourceSeeking::m_pLock);
            now = m_rtStart;
        }
        const LONGLONG requested = (currentFlags & AM_SEEKING_PositioningBitsMask) == AM_SEEKING_RelativePositioning ? now + *current : *current;
        m_avi->PrepareSeek(requested != now);
    }
    return CDemuxOutputPinT<KPacket2>::SetPositions(current, currentFlags, stop, stopFlags);
}

// ---- Filter ------------------------------------------------------------------------------------

CAVI2_Filter::CAVI2_Filter(const WCHAR* name, IUnknown* outer, HRESULT* phr)
    : CDemuxFilterT<KPacket2>(name ? name : WSTR("Torvane AVI Source Filter"), outer, CLSID_VmxAviSource, phr,
                              QueueLimits::Avi)
{
}

CAVI2_Filter::~CAVI2_Filter() { m_handler.StopScanner(); }

HRESULT CAVI2_Filter::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IVmxAVI)
        return GetInterface(static_cast<IVmxAVI*>(this), ppv);
    return CDemuxFilterT<KPacket2>::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CAVI2_Filter::Stop()
{
    const HRESULT hr = CDemuxFilterT<KPacket2>::Stop();
    m_handler.StopScanner();
    return hr;
}

HRESULT CAVI2_Filter::Pause()
{
    if (m_loaded)
        m_handler.StartScanner();
    return CDemuxFilterT<KPacket2>::Pause();
}

HRESULT CAVI2_Filter::SetUserValue(DWORD value)
{
    m_userValue = value;
    return S_OK;
}

HRESULT CAVI2_Filter::GetUserValue(DWORD* value) { return AnswerThrough(value, m_userValue); }

HRESULT CAVI2_Filter::SetNotify(void* target) { return !target && m_userValue != 0 ? E_POINTER : E_FAIL; }

HRESULT CAVI2_Filter::GetIndexedDuration(LONGLONG* duration) { return AnswerThrough(duration, m_handler.IndexedDuration()); }

HRESULT CAVI2_Filter::SetAnchoring(DWORD value)
{
    m_anchoring = value;
    return S_OK;
}

HRESULT CAVI2_Filter::GetAnchoring(DWORD* value) { return AnswerThrough(value, m_anchoring); }

HRESULT CAVI2_Filter::SetSeekKeyFrame(BOOL on)
{
    m_seekKeyFrame = on != FALSE;
    return S_OK;
}

HRESULT CAVI2_Filter::GetSeekKeyFrame(BOOL* on) { return AnswerThrough(on, m_seekKeyFrame ? TRUE : FALSE); }

HRESULT CAVI2_Filter::LoadFile(LPCOLESTR fileName)
{
    m_handler.SetThreadless(Threadless());
    if (!m_handler.Open(fileName))
        return E_FAIL;
    SetDuration(m_handler.Duration());
    bool videoPin = false;
    for (auto& stream : m_handler.Streams()) {
        std::optional<CMediaType> type = AviMediaType(*stream);
        if (!type)
            continue;
        WString name;
        if (*type->Type() == MEDIATYPE_Video) {
            // Only the first video stream plays.
            if (videoPin)
                continue;
            videoPin = true;
            name = WSTR("Video");
        } else {
            char text[32];
            std::snprintf(text, sizeof text, "%s %02u", *type->Type() == MEDIATYPE_Audio ? "Audio" : "Stream", stream->number);
            name = WideFromUtf8(text);
        }
        MakePin<CAVI2_OutputPin>(this, name.c_str(), stream->number, *type);
    }
    return GetPinCount() > 0 ? S_OK : E_FAIL;
}

void CAVI2_Filter::PositionAfterLoad()
{
    m_seekTarget = 0;
    m_seekBase = 0;
}

REFERENCE_TIME CAVI2_Filter::PositionParser(REFERENCE_TIME target)
{
    const REFERENCE_TIME t = std::clamp<REFERENCE_TIME>(target, 0, std::max<REFERENCE_TIME>(Duration(), 0));
    if (m_anchoring != 0 && t != 0 && m_seekChanges && m_seekKeyFrame && m_handler.VideoStream())
        return m_handler.SeekByVideo(t);
    m_handler.SeekAll(t);
    return t;
}

void CAVI2_Filter::ReadPackets()
{
    while (!ReaderCommandPending()) {
        std::unique_ptr<KPacket2> packet;
        const HRESULT hr = NextPacket(packet);
        if (hr == S_NOT_READY) {
            // The scan has not reached the next chunk yet.
            WakePinWorkers();
            Sleep(1);
            continue;
        }
        if (hr != S_OK || !packet)
            return;
        // The next chunk is read at once, without a pause after each packet: the queue limits
        // already hold the reader back, and a millisecond a chunk would cap playback at a
        // thousand chunks a second.
        if (FAILED(DispatchPacket(std::move(packet))))
            return;
    }
}

HRESULT CAVI2_Filter::NextPacket(std::unique_ptr<KPacket2>& packet)
{
    for (;;) {
        AviEntry entry;
        switch (m_handler.NextEntry(&entry)) {
        case KAvi2ReadHandler::Next::End: return S_FALSE;
        case KAvi2ReadHandler::Next::Wait: return S_NOT_READY;
        case KAvi2ReadHandler::Next::Entry: break;
        }
        if (entry.size == 0)
            continue;
        auto made = NewPacket();
        made->streamNumber = entry.stream->number;
        made->syncPoint = entry.key;
        made->start = entry.start;
        made->stop = entry.stop;
        made->mediaStart = entry.start / 100000;
        made->mediaStop = entry.stop / 100000;
        made->payload.resize(entry.size);
        if (!m_handler.ReadEntry(entry, made->payload.data()))
            continue;  // cut short by the end of the file
        packet = std::move(made);
        return S_OK;
    }
}
