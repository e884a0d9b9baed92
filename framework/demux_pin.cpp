#include "framework/demux_pin.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "framework/demux_filter.h"

CDemuxOutputPin::CDemuxOutputPin(const WCHAR* objectName, HRESULT* phr, CDemuxFilter* filter, LPCWSTR pinName,
                                 DWORD streamNumber, std::vector<CMediaType> offeredTypes)
    : CSourceStream(objectName, phr, filter, pinName),
      CSourceSeeking(objectName, CBasePin::GetOwner(), phr, filter->SeekingLock()),
      m_offered(std::move(offeredTypes)), m_streamNumber(streamNumber), m_pDemux(filter)
{
    SetDuration(filter->Duration());
}

HRESULT CDemuxOutputPin::QueryInterface(REFIID riid, void** ppv) { return CBasePin::GetOwner()->QueryInterface(riid, ppv); }
ULONG CDemuxOutputPin::AddRef() { return CBasePin::GetOwner()->AddRef(); }
ULONG CDemuxOutputPin::Release() { return CBasePin::GetOwner()->Release(); }

HRESULT CDemuxOutputPin::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IMediaSeeking)
        return GetInterface(static_cast<IMediaSeeking*>(this), ppv);
    return CSourceStream::NonDelegatingQueryInterface(riid, ppv);
}

ULONG CDemuxOutputPin::NonDelegatingAddRef() { return CSourceStream::NonDelegatingAddRef(); }
ULONG CDemuxOutputPin::NonDelegatingRelease() { return CSourceStream::NonDelegatingRelease(); }

void CDemuxOutputPin::SetDuration(REFERENCE_TIME duration)
{
    CAutoLock lock(CSourceSeeking::m_pLock);
    m_rtDuration = duration;
    m_rtStop = duration;
    m_rtStart = 0;
}

double CDemuxOutputPin::SeekingRate()
{
    CAutoLock lock(CSourceSeeking::m_pLock);
    return m_dRateSeeking > 0 ? m_dRateSeeking : 1.0;
}

REFERENCE_TIME CDemuxOutputPin::SegmentStart() const { return m_pDemux->SeekTarget(); }

HRESULT CDemuxOutputPin::DoBufferProcessingLoop()
{
    OnThreadStartPlay();
    for (;;) {
        while (!CheckRequest(nullptr)) {
            IMediaSample* sample = nullptr;
            if (FAILED(GetDeliveryBuffer(&sample, nullptr, nullptr, 0))) {
                // Nothing to fill into (decommitted while stopping, or downstream holds the
                // buffer): poll until a sample comes free or a command arrives.
                Sleep(1);
                continue;
            }
            HRESULT hr = FillSample(sample);
            ReleaseTaken();
            if (hr == S_OK) {
                if (!sample)
                    continue;
                hr = Deliver(sample);
                sample->Release();
                if (hr != S_OK)
                    return S_OK;
            } else if (hr == S_FALSE) {
                if (sample)
                    sample->Release();
                DeliverEndOfStream();
                return S_OK;
            } else if (hr == S_NOT_READY) {
                if (sample)
                    sample->Release();
                WaitUntilTakeable(1);
            } else {
                if (sample)
                    sample->Release();
                DeliverEndOfStream();
                m_pDemux->NotifyEvent(EC_ERRORABORT, hr, 0);
                return hr;
            }
        }
        if (!ServeCommandInLoop())
            return S_FALSE;
    }
}

// The queue is not cleared here: on a restart this runs on the worker after CMD_RUN was
// answered, when the reader may already have queued the first packets of the new position.
// DeliverEndFlush (reader parked) and Active (no reader yet) clear it instead.
HRESULT CDemuxOutputPin::OnThreadStartPlay()
{
    m_discontinuity = 1;
    REFERENCE_TIME start, stop;
    double rate;
    {
        CAutoLock lock(CSourceSeeking::m_pLock);
        m_rtStart = m_pDemux->SeekTarget();
        start = m_rtStart;
        stop = m_rtStop;
        rate = m_dRateSeeking;
    }
    return DeliverNewSegment(start, stop, rate);
}

HRESULT CDemuxOutputPin::Active()
{
    // Packets left from before the last Stop must not play after the next start.
    ClearQueue();
    return CSourceStream::Active();
}

HRESULT CDemuxOutputPin::CheckMediaType(const CMediaType* mt)
{
    if (!mt || m_offered.empty())
        return E_INVALIDARG;
    for (const CMediaType& offered : m_offered)
        if (offered == *mt)
            return S_OK;
    return E_INVALIDARG;
}

HRESULT CDemuxOutputPin::GetMediaType(int position, CMediaType* mt)
{
    CAutoLock lock(m_pDemux->pStateLock());
    const HRESULT offered = OfferedPosition(position, m_offered.size(), mt);
    return offered == S_OK ? mt->Set(m_offered[static_cast<size_t>(position)]) : offered;
}

namespace {

// The BITMAPINFOHEADER of a video format block, or null when the block is not one or is short.
const BITMAPINFOHEADER* VideoHeaderOf(const CMediaType& mt)
{
    size_t offset = 0;
    if (mt.formattype == FORMAT_VideoInfo || mt.formattype == FORMAT_MPEGVideo)
        offset = offsetof(VIDEOINFOHEADER, bmiHeader);
    else if (mt.formattype == FORMAT_VideoInfo2 || mt.formattype == FORMAT_MPEG2Video)
        offset = offsetof(VIDEOINFOHEADER2, bmiHeader);
    else
        return nullptr;
    if (!mt.pbFormat || mt.cbFormat < offset + sizeof(BITMAPINFOHEADER))
        return nullptr;
    return reinterpret_cast<const BITMAPINFOHEADER*>(mt.pbFormat + offset);
}

}  // namespace

HRESULT CDemuxOutputPin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request)
{
    if (!allocator || !request)
        return E_POINTER;
    request->cBuffers = 1;
    LONGLONG size = std::min<LONGLONG>(m_mt.lSampleSize, LargestSampleSize());
    if (const BITMAPINFOHEADER* header = VideoHeaderOf(m_mt)) {
        BITMAPINFOHEADER bih;
        std::memcpy(&bih, header, sizeof bih);  // the block need not be aligned
        LONGLONG area = static_cast<LONGLONG>(bih.biWidth) * std::abs(static_cast<LONGLONG>(bih.biHeight));
        size = std::max(size, area);
    } else {
        size = std::max<LONGLONG>(size, m_mt.majortype == MEDIATYPE_Video ? 0x80000 : 0xE000);
    }
    // A buffer size is a 32-bit count: a header claiming more than that is refused.
    if (size > 0x7FFFFFFF)
        return E_FAIL;
    request->cbBuffer = static_cast<LONG>(size);
    ALLOCATOR_PROPERTIES actual{};
    HRESULT hr = allocator->SetProperties(request, &actual);
    if (FAILED(hr))
        return hr;
    return actual.cbBuffer < request->cbBuffer ? E_FAIL : S_OK;
}

HRESULT CDemuxOutputPin::DeliverBeginFlush()
{
    HRESULT hr = IsConnected() ? CBaseOutputPin::DeliverBeginFlush() : S_OK;
    CallWorker(CMD_STOP);
    return hr;
}

HRESULT CDemuxOutputPin::DeliverEndFlush()
{
    HRESULT hr = IsConnected() ? CBaseOutputPin::DeliverEndFlush() : S_OK;
    ClearQueue();
    CallWorker(CMD_RUN);
    return hr;
}

HRESULT CDemuxOutputPin::ChangeStart()
{
    REFERENCE_TIME start;
    {
        CAutoLock lock(CSourceSeeking::m_pLock);
        start = m_rtStart;
    }
    // Every pin of one seek reports where playback really starts.
    start = m_pDemux->SeekFromPin(this, start);
    CAutoLock lock(CSourceSeeking::m_pLock);
    m_rtStart = start;
    return S_OK;
}

HRESULT CDemuxOutputPin::ChangeStop()
{
    if (ThreadExists()) {
        DeliverBeginFlush();
        CallWorker(CMD_STOP);
        DeliverEndFlush();
        CallWorker(CMD_RUN);
    }
    return S_OK;
}

HRESULT CDemuxOutputPin::ChangeRate() { return ChangeStop(); }

ULONG CDemuxOutputPin::QueueByteLimit() const
{
    const KQueueLimits& limits = m_pDemux->QueueLimits();
    if (limits.fixedBytes)
        return limits.lowerBytes;
    double scaled = 1.5 * static_cast<double>(m_mt.lSampleSize);
    ULONG limit = scaled >= limits.upperBytes ? limits.upperBytes : static_cast<ULONG>(scaled);
    return std::clamp(limit, limits.lowerBytes, limits.upperBytes);
}

HRESULT CDemuxOutputPin::WaitForQueueRoom()
{
    if (!ThreadExists())
        return E_FAIL;
    const ULONG byteLimit = QueueByteLimit();
    const ULONG packetLimit = m_pDemux->QueueLimits().maxPackets;
    if (QueuedBytes() >= byteLimit || QueuedCount() >= packetLimit)
        m_pDemux->WakePinWorkers();  // the other pins' workers take what they have meanwhile
    while (QueuedBytes() >= byteLimit || QueuedCount() >= packetLimit) {
        if (m_pDemux->ReaderCommandPending())
            break;
        if (!ThreadExists())
            return E_FAIL;
        WaitForRoom(byteLimit, packetLimit, 1);
    }
    if (m_pDemux->ReaderCommandPending())
        return E_FAIL;
    return S_OK;
}

