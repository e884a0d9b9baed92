#include "demux/ogg/ogg_filter.h"

#include <algorithm>

#include "demux/ogg/ogg_pins.h"
#include "framework/class_ids.h"
#include "framework/com_out.h"
#include "framework/extensions.h"
#include "io/wide_text.h"

namespace {

// Pins run to 12 hours at least: the index may find a file longer than its estimate.
constexpr REFERENCE_TIME kLeastPinDuration = 432000000000LL;
// The queue limits of the second filter: 10 MiB (1.5 sample sizes, up to 80 MiB), 300 packets.
constexpr ULONG kQueueBytes = 0xA00000;
constexpr ULONG kQueuePackets = 300;

}  // namespace

// ---- Pin ---------------------------------------------------------------------------------------

COGG_OutputPin::COGG_OutputPin(HRESULT* phr, COGG_Filter* filter, LPCWSTR name, KOGG2ReadStream* stream, const CMediaType& type)
    : CBaseOutputPin(WSTR("OGG output pin"), filter, filter->pStateLock(), phr, name),
      CSourceSeeking(WSTR("OGG output pin"), CBasePin::GetOwner(), phr, filter->SeekingLock()),
      m_ogg(filter),
      m_stream(stream),
      m_type(type)
{
}

COGG_OutputPin::~COGG_OutputPin() { StopDelivery(); }

HRESULT COGG_OutputPin::QueryInterface(REFIID riid, void** ppv) { return CBasePin::GetOwner()->QueryInterface(riid, ppv); }
ULONG COGG_OutputPin::AddRef() { return CBasePin::GetOwner()->AddRef(); }
ULONG COGG_OutputPin::Release() { return CBasePin::GetOwner()->Release(); }

HRESULT COGG_OutputPin::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IMediaSeeking)
        return GetInterface(static_cast<IMediaSeeking*>(this), ppv);
    return CBaseOutputPin::NonDelegatingQueryInterface(riid, ppv);
}

ULONG COGG_OutputPin::NonDelegatingAddRef() { return CBaseOutputPin::NonDelegatingAddRef(); }
ULONG COGG_OutputPin::NonDelegatingRelease() { return CBaseOutputPin::NonDelegatingRelease(); }

HRESULT COGG_OutputPin::CheckMediaType(const CMediaType* mt)
{
    return mt && *mt == m_type ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT COGG_OutputPin::GetMediaType(int position, CMediaType* mt)
{
    const HRESULT offered = OfferedPosition(position, 1, mt);
    return offered == S_OK ? mt->Set(m_type) : offered;
}

HRESULT COGG_OutputPin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request)
{
    return OggDecideBufferSize(*m_stream, allocator, request);
}

HRESULT COGG_OutputPin::Inactive()
{
    // Decommitting first releases a delivery thread waiting for a buffer.
    const HRESULT hr = CBaseOutputPin::Inactive();
    StopDelivery();
    m_queue.Clear();
    return hr;
}

HRESULT COGG_OutputPin::GetDuration(LONGLONG* duration) { return AnswerThrough(duration, m_ogg->CurrentDuration()); }

HRESULT COGG_OutputPin::ChangeStart()
{
    REFERENCE_TIME start;
    {
        CAutoLock lock(CSourceSeeking::m_pLock);
        start = m_rtStart;
    }
    start = m_ogg->SeekFromPin(this, start);
    CAutoLock lock(CSourceSeeking::m_pLock);
    m_rtStart = start;
    return S_OK;
}

HRESULT COGG_OutputPin::ChangeStop() { return S_OK; }
HRESULT COGG_OutputPin::ChangeRate() { return S_OK; }

void COGG_OutputPin::SetSeekingRange(REFERENCE_TIME duration)
{
    CAutoLock lock(CSourceSeeking::m_pLock);
    m_rtDuration = m_rtStop = std::max(duration, kLeastPinDuration);
    m_rtStart = 0;
}

HRESULT COGG_OutputPin::StartDelivery(REFERENCE_TIME start)
{
    StopDelivery();
    m_segmentStart = start;
    {
        CAutoLock lock(CSourceSeeking::m_pLock);
        m_rtStart = start;
    }
    return Create() ? S_OK : E_FAIL;
}

void COGG_OutputPin::StopDelivery()
{
    if (!ThreadExists())
        return;
    CallWorker(kStop);
    Close();
}

bool COGG_OutputPin::QueuePacket(std::unique_ptr<KPacket2> packet, const std::function<bool()>& abort)
{
    const ULONG bytes = std::clamp<ULONG>(m_type.lSampleSize * 3 / 2, kQueueBytes, 0x5000000);
    while (m_queue.Bytes() >= bytes || m_queue.Count() >= kQueuePackets) {
        if (abort() || !ThreadExists())
            return false;
        m_queue.WaitForRoom(bytes, kQueuePackets, 1);
    }
    m_queue.Push(packet);
    return true;
}

DWORD COGG_OutputPin::ThreadProc()
{
    REFERENCE_TIME stop;
    double rate;
    {
        CAutoLock lock(CSourceSeeking::m_pLock);
        stop = m_rtStop;
        rate = m_dRateSeeking;
    }
    HRESULT hr = DeliverNewSegment(m_segmentStart, stop, rate);
    if (SUCCEEDED(hr))
        hr = DeliverOggStartSamples(*this, *m_stream, [this] { return CheckRequest(nullptr) != FALSE; });
    bool first = true;
    while (SUCCEEDED(hr) && !CheckRequest(nullptr)) {
        if (m_queue.Count() == 0) {
            m_queue.WaitUntilTakeable(1, 1);
            continue;
        }
        std::unique_ptr<KPacket2> packet = m_queue.Pop();
        if (!packet) {
            DeliverEndOfStream();
            break;
        }
        hr = DeliverPacket(*packet, first);
        first = false;
    }
    // Wait for the filter's stop.
    for (;;) {
        const DWORD command = GetRequest();
        if (command == kStop) {
            MarkGone();
            Reply(0);
            return 0;
        }
        Reply(0);
    }
}

HRESULT COGG_OutputPin::DeliverPacket(KPacket2& packet, bool first)
{
    IMediaSample* sample = nullptr;
    HRESULT hr = GetDeliveryBuffer(&sample, nullptr, nullptr, 0);
    if (FAILED(hr))
        return hr;
    if (packet.payload.size() > static_cast<size_t>(sample->GetSize()) && FAILED(hr = EnlargeBuffer(sample, packet.payload.size())))
        return hr;
    BYTE* buffer = nullptr;
    if (FAILED(hr = sample->GetPointer(&buffer))) {
        sample->Release();
        return hr;
    }
    std::copy(packet.payload.begin(), packet.payload.end(), buffer);
    sample->SetActualDataLength(static_cast<LONG>(packet.payload.size()));
    double rate;
    {
        CAutoLock lock(CSourceSeeking::m_pLock);
        rate = m_dRateSeeking > 0 ? m_dRateSeeking : 1.0;
    }
    REFERENCE_TIME start = static_cast<REFERENCE_TIME>(static_cast<double>(packet.start) / rate);
    REFERENCE_TIME stop = static_cast<REFERENCE_TIME>(static_cast<double>(packet.stop) / rate);
    sample->SetTime(&start, &stop);
    sample->SetMediaTime(&packet.mediaStart, &packet.mediaStop);
    sample->SetSyncPoint(packet.syncPoint || first);
    sample->SetDiscontinuity(first);
    sample->SetPreroll(start < 0);
    hr = Deliver(sample);
    sample->Release();
    return hr;
}

// ---- Filter ------------------------------------------------------------------------------------

COGG_Filter::COGG_Filter(const WCHAR* name, IUnknown* outer, HRESULT*)
    : CBaseFilter(name ? name : WSTR("Torvane OGG Source Filter"), outer, &m_lock, CLSID_VmxOggSource),
      m_extensions(ExtensionsEnabled())
{
}

COGG_Filter::~COGG_Filter()
{
    Stop();
    for (COGG_OutputPin* pin : m_pins)
        delete pin;
    m_handler.Close();
}

HRESULT COGG_Filter::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IFileSourceFilter)
        return GetInterface(static_cast<IFileSourceFilter*>(this), ppv);
    if (riid == IID_IVmxOGG)
        return GetInterface(static_cast<IVmxOGG*>(this), ppv);
    return CBaseFilter::NonDelegatingQueryInterface(riid, ppv);
}

int COGG_Filter::GetPinCount()
{
    CAutoLock lock(&m_lock);
    return static_cast<int>(m_pins.size());
}

CBasePin* COGG_Filter::GetPin(int n)
{
    CAutoLock lock(&m_lock);
    return n >= 0 && static_cast<size_t>(n) < m_pins.size() ? m_pins[static_cast<size_t>(n)] : nullptr;
}

HRESULT COGG_Filter::Load(LPCOLESTR fileName, const AM_MEDIA_TYPE*)
{
    if (m_loaded)
        return E_FAIL;
    if (!fileName)
        return E_POINTER;
    CAutoLock lock(&m_lock);
    if (m_loaded || FAILED(m_handler.Open(fileName, true, ExtensionsOn()))) {
        m_handler.Close();
        return E_FAIL;
    }
    bool video = false;
    for (size_t i = 0; i < m_handler.StreamCount(); ++i) {
        KOGG2ReadStream& stream = m_handler.Stream(i);
        if (m_chapters.empty() && !stream.Header(1).empty())
            m_chapters = ParseOggChapters(stream.Header(1));
        CMediaType type;
        if (stream.MissingHeaders() != 0 || !stream.GetMediaType(&type))
            continue;
        if (type.majortype == MEDIATYPE_Video) {
            if (video)
                continue;
            video = true;
        }
        HRESULT hr = S_OK;
        auto* pin = new COGG_OutputPin(&hr, this, WideFromUtf8(OggPinName(stream, type.majortype)).c_str(), &stream, type);
        if (FAILED(hr)) {
            delete pin;
            continue;
        }
        pin->SetSeekingRange(m_handler.Duration());
        m_pins.push_back(pin);
    }
    if (m_pins.empty()) {
        m_chapters.clear();
        m_handler.Close();
        return E_FAIL;
    }
    IncrementPinVersion();
    m_path = fileName;
    m_loaded = true;
    return S_OK;
}

HRESULT COGG_Filter::GetCurFile(LPOLESTR* fileName, AM_MEDIA_TYPE*)
{
    if (!fileName)
        return E_POINTER;
    return AMGetWideString(m_loaded ? m_path.c_str() : nullptr, fileName);
}

HRESULT COGG_Filter::GetChapterCount(DWORD* count) { return AnswerThrough(count, static_cast<DWORD>(m_chapters.size())); }

HRESULT COGG_Filter::GetChapter(DWORD index, LONGLONG* start, LPWSTR* title)
{
    if (!start || !title)
        return E_POINTER;
    if (index >= m_chapters.size())
        return E_INVALIDARG;
    *start = m_chapters[index].start;
    return AMGetWideString(WideFromUtf8(m_chapters[index].title).c_str(), title);
}

REFERENCE_TIME COGG_Filter::CurrentDuration() { return std::max(m_handler.Duration(), m_handler.IndexedTime()); }

// Pause, Run, Stop and seeks all reposition the read handler and restart the pins' threads: they
// take the seek lock first (then the state lock), so that one host thread's seek never runs
// beside another's state change.
HRESULT COGG_Filter::Pause()
{
    CAutoLock serial(&m_seekLock);
    CAutoLock lock(&m_lock);
    const bool wasStopped = IsStopped();
    const HRESULT hr = CBaseFilter::Pause();
    if (SUCCEEDED(hr) && wasStopped && m_loaded)
        StartStreaming(m_seekTarget.load());
    return hr;
}

HRESULT COGG_Filter::Run(REFERENCE_TIME start)
{
    // Run from Stopped pauses under the state lock: the seek lock comes before it.
    CAutoLock serial(&m_seekLock);
    return CBaseFilter::Run(start);
}

HRESULT COGG_Filter::Stop()
{
    CAutoLock serial(&m_seekLock);
    // The reader first: it may wait on a full queue that only the delivery threads drain.
    StopStreaming();
    return CBaseFilter::Stop();
}

void COGG_Filter::StartStreaming(REFERENCE_TIME target)
{
    const REFERENCE_TIME start = m_handler.SeekTo(target, false);
    m_seekTarget = start;
    m_seekBase = start;
    for (COGG_OutputPin* pin : m_pins) {
        if (!pin->IsConnected())
            continue;
        pin->ClearQueue();
        pin->StartDelivery(start);
    }
    if (!ThreadExists())
        Create();
    CallWorker(kRead);
}

void COGG_Filter::StopStreaming()
{
    if (ThreadExists()) {
        CallWorker(kExit);
        Close();
    }
}

REFERENCE_TIME COGG_Filter::SeekFromPin(COGG_OutputPin* pin, REFERENCE_TIME time)
{
    CAutoLock serial(&m_seekLock);
    // The graph seeks every pin to one time: only the first pin's request is carried out.
    if (m_seekAccepted && (time == m_lastSeekTime || time == m_seekTarget.load()) &&
        std::find(m_seekedPins.begin(), m_seekedPins.end(), pin) == m_seekedPins.end()) {
        m_seekedPins.push_back(pin);
        return m_seekTarget.load();
    }
    m_seekAccepted = true;
    m_lastSeekTime = time;
    m_seekedPins.assign(1, pin);
    if (!ThreadExists()) {
        m_seekTarget = time;  // the next Pause starts there
        return time;
    }
    CallWorker(kHold);
    for (COGG_OutputPin* p : m_pins) {
        if (!p->IsConnected())
            continue;
        p->DeliverBeginFlush();
        p->StopDelivery();
        p->ClearQueue();
        p->DeliverEndFlush();
    }
    const REFERENCE_TIME start = m_handler.SeekTo(time, false);
    m_seekTarget = start;
    m_seekBase = start;
    for (COGG_OutputPin* p : m_pins)
        if (p->IsConnected())
            p->StartDelivery(start);
    CallWorker(kRead);
    return start;
}

DWORD COGG_Filter::ThreadProc()
{
    bool reading = false;
    const auto pending = [this] { return CheckRequest(nullptr) != FALSE; };
    for (;;) {
        if (!reading || pending()) {
            const DWORD command = GetRequest();
            if (command == kExit) {
                MarkGone();
                Reply(0);
                return 0;
            }
            reading = command == kRead;
            Reply(0);
            continue;
        }
        KOggDataPacket data;
        if (m_handler.ReadPacket(data) != 0) {
            for (COGG_OutputPin* pin : m_pins)
                if (pin->IsConnected() && !pin->QueuePacket(nullptr, pending))
                    break;
            reading = false;
            continue;
        }
        if (data.kind == OggStreamKind::KStream)
            continue;
        const REFERENCE_TIME base = m_seekBase.load();
        // Vorbis from before the start is not played: it has no key frame to need it for.
        if ((data.kind == OggStreamKind::Vorbis && data.start - base < 0) || m_handler.EndsBeforeItsPreroll(data, base))
            continue;
        const auto pin = std::find_if(m_pins.begin(), m_pins.end(), [&](COGG_OutputPin* p) { return p->Serial() == data.serial; });
        if (pin == m_pins.end() || !(*pin)->IsConnected())
            continue;
        auto packet = std::make_unique<KPacket2>();
        packet->streamNumber = static_cast<DWORD>(data.serial);
        packet->syncPoint = data.syncPoint;
        packet->start = data.start - base;
        packet->stop = data.stop - base;
        packet->mediaStart = data.mediaStart;
        packet->mediaStop = data.mediaStop;
        packet->payload = std::move(data.payload);
        (*pin)->QueuePacket(std::move(packet), pending);
    }
}
