#include "demux/ogg/ogg2_filter.h"

#include <algorithm>
#include <cstring>

#include "demux/ogg/ogg_pins.h"
#include "framework/class_ids.h"
#include "framework/com_out.h"
#include "io/wide_text.h"

namespace {

// Pins run to 12 hours at least: the index may find a file longer than its estimate.
constexpr REFERENCE_TIME kLeastPinDuration = 432000000000LL;

}  // namespace

// ---- Pin ---------------------------------------------------------------------------------------

COGG2_OutputPin::COGG2_OutputPin(HRESULT* phr, COGG2_Filter* filter, LPCWSTR name, KOGG2ReadStream* stream, const CMediaType& type)
    : CDemuxOutputPinT<KPacket2>(WSTR("OGG2 output pin"), phr, filter, name, static_cast<DWORD>(stream->Serial()), {type}),
      m_ogg(filter),
      m_stream(stream)
{
}

HRESULT COGG2_OutputPin::FillSample(IMediaSample*& sample)
{
    KPacket2* packet = nullptr;
    if (const HRESULT taken = TakeHeldBack(packet); taken != S_OK)
        return taken;
    const HRESULT hr = FillFromPacket(sample, *packet, SampleRules{.syncOnRestart = true, .applyMediaType = false, .packetMediaTimes = true});
    if (SUCCEEDED(hr) && sample && !m_ogg->MarkPreroll())
        sample->SetPreroll(FALSE);
    return hr;
}

HRESULT COGG2_OutputPin::OnThreadStartPlay()
{
    const HRESULT hr = CDemuxOutputPinT<KPacket2>::OnThreadStartPlay();
    if (FAILED(hr))
        return hr;
    return DeliverOggStartSamples(*this, *m_stream, [this] { return CheckRequest(nullptr) != FALSE; });
}

HRESULT COGG2_OutputPin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request)
{
    return OggDecideBufferSize(*m_stream, allocator, request);
}

HRESULT COGG2_OutputPin::GetDuration(LONGLONG* duration) { return AnswerThrough(duration, m_ogg->CurrentDuration()); }

HRESULT COGG2_OutputPin::SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags)
{
    REFERENCE_TIME oldStart;
    {
        CAutoLock lock(CSourceSeeking::m_pLock);
        oldStart = m_rtStart;
    }
    const bool seeking = current && (currentFlags & AM_SEEKING_PositioningBitsMask);
    m_ogg->AllowSnap(seeking && *current != oldStart);
    const HRESULT hr = CDemuxOutputPinT<KPacket2>::SetPositions(current, currentFlags, stop, stopFlags);
    m_ogg->AllowSnap(false);
    // The caller learns where playback starts: a key frame, when the seek snapped to one.
    if (SUCCEEDED(hr) && seeking) {
        CAutoLock lock(CSourceSeeking::m_pLock);
        *current = m_rtStart;
    }
    return hr;
}

// ---- Filter ------------------------------------------------------------------------------------

COGG2_Filter::COGG2_Filter(const WCHAR* name, IUnknown* outer, HRESULT* phr)
    : CDemuxFilterT<KPacket2>(name ? name : WSTR("Torvane OGG Source Filter2"), outer, CLSID_VmxOgg2Source, phr, QueueLimits::Ogg2)
{
}

COGG2_Filter::~COGG2_Filter() { m_handler.Close(); }

HRESULT COGG2_Filter::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IVmxOGG2)
        return GetInterface(static_cast<IVmxOGG2*>(this), ppv);
    return CDemuxFilterT<KPacket2>::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT COGG2_Filter::SetSeekToKeyFrame(BOOL snap)
{
    m_seekToKeyFrame = snap != 0;
    return S_OK;
}

HRESULT COGG2_Filter::GetSeekToKeyFrame(DWORD* snap) { return AnswerThrough(snap, m_seekToKeyFrame ? 1 : 0); }

HRESULT COGG2_Filter::GetDuration(LONGLONG* duration) { return AnswerThrough(duration, CurrentDuration()); }

HRESULT COGG2_Filter::SetPrerollMode(DWORD mode)
{
    m_preroll = mode;
    return S_OK;
}

HRESULT COGG2_Filter::GetPrerollMode(DWORD* mode) { return AnswerThrough(mode, m_preroll); }

REFERENCE_TIME COGG2_Filter::CurrentDuration()
{
    const REFERENCE_TIME duration = std::max(Duration(), m_handler.IndexedTime());
    SetDuration(duration);
    return duration;
}

HRESULT COGG2_Filter::LoadFile(LPCOLESTR fileName)
{
    m_handler.SetThreadless(Threadless());
    if (FAILED(m_handler.Open(fileName, false, ExtensionsOn())))
        return E_FAIL;
    SetDuration(m_handler.Duration());
    bool video = false;
    for (size_t i = 0; i < m_handler.StreamCount(); ++i) {
        KOGG2ReadStream& stream = m_handler.Stream(i);
        CMediaType type;
        if (stream.MissingHeaders() != 0 || !stream.GetMediaType(&type))
            return E_FAIL;
        if (type.majortype == MEDIATYPE_Video) {
            if (video)
                continue;
            video = true;
        }
        HRESULT hr = S_OK;
        auto* pin = new COGG2_OutputPin(&hr, this, WideFromUtf8(OggPinName(stream, type.majortype)).c_str(), &stream, type);
        if (FAILED(hr)) {
            delete pin;
            continue;
        }
        pin->SetDuration(std::max(Duration(), kLeastPinDuration));
    }
    return GetPinCount() > 0 ? S_OK : E_FAIL;
}

REFERENCE_TIME COGG2_Filter::PositionParser(REFERENCE_TIME target)
{
    const bool snap = m_snapAllowed.load() && m_seekToKeyFrame.load() && m_preroll.load() != 0;
    return m_handler.SeekTo(target, snap);
}

HRESULT COGG2_Filter::NextPacket(std::unique_ptr<KPacket2>& packet)
{
    KOggDataPacket data;
    while (!ReaderCommandPending()) {
        if (m_handler.ReadPacket(data) != 0)
            return S_FALSE;
        if (data.kind == OggStreamKind::KStream)
            continue;
        // Vorbis from before the start is not played: it has no key frame to need it for.
        if ((data.kind == OggStreamKind::Vorbis && data.start - SeekBase() < 0) || m_handler.EndsBeforeItsPreroll(data, SeekBase()))
            continue;
        auto made = NewPacket();
        made->streamNumber = static_cast<DWORD>(data.serial);
        made->syncPoint = data.syncPoint;
        made->start = data.start;
        made->stop = data.stop;
        made->mediaStart = data.mediaStart;
        made->mediaStop = data.mediaStop;
        made->payload = std::move(data.payload);
        packet = std::move(made);
        return S_OK;
    }
    return S_FALSE;
}
