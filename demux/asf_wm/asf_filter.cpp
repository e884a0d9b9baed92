#include "demux/asf_wm/asf_filter.h"

#include <vector>

#include "framework/class_ids.h"

namespace {

constexpr REFERENCE_TIME kClockStep = 10000000;  // the user clock moves a second at a time
constexpr DWORD kOpenTimeoutMs = 20000;
constexpr int kStreamNameLength = 260;

}  // namespace

// ---- Pin ---------------------------------------------------------------------------------------

CASF_OutputPin::CASF_OutputPin(HRESULT* phr, CDemuxFilter* filter, LPCWSTR name, DWORD streamNumber, const CMediaType& type)
    : CDemuxOutputPinT<KPacket>(WSTR("ASF output pin"), phr, filter, name, streamNumber, {type})
{
}

HRESULT CASF_OutputPin::FillSample(IMediaSample*& sample)
{
    KPacket* packet = nullptr;
    if (const HRESULT taken = TakeHeldBack(packet); taken != S_OK)
        return taken;
    // Each pin's first sample after a NewSegment is a discontinuity, not the reader's first alone: its decoder starts afresh.
    return FillFromPacket(sample, *packet, SampleRules{.syncOnRestart = false, .applyMediaType = false});
}

HRESULT CASF_OutputPin::ChangeStart()
{
    REFERENCE_TIME start;
    {
        CAutoLock lock(CSourceSeeking::m_pLock);
        start = m_rtStart;
    }
    if (!ThreadExists() && start >= 1)
        return E_FAIL;
    return CDemuxOutputPinT<KPacket>::ChangeStart();
}

// ---- Callback object ----------------------------------------------------------------------------

HRESULT CASF_CallbackObj::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IWMReaderCallback || riid == IID_IWMStatusCallback)
        return Answer(ppv, static_cast<IWMReaderCallback*>(this));
    if (riid == IID_IWMReaderCallbackAdvanced)
        return Answer(ppv, static_cast<IWMReaderCallbackAdvanced*>(this));
    return NoInterface(ppv);
}

// A call in flight is counted rather than locked: the filter's own locks may be held by the
// thread that makes the reader call back (a failed Load closes the reader under the state lock),
// while a sample's call takes the state lock on the reader's thread.
void CASF_CallbackObj::Detach()
{
    m_filter = nullptr;
    while (m_calls.load() != 0)
        Sleep(1);
}

template <typename Call>
HRESULT CASF_CallbackObj::Forward(Call call)
{
    ++m_calls;
    CASF_Filter* filter = m_filter.load();
    const HRESULT hr = filter ? call(*filter) : S_OK;
    --m_calls;
    return hr;
}

HRESULT CASF_CallbackObj::OnStatus(WMT_STATUS status, HRESULT hr, WMT_ATTR_DATATYPE, BYTE*, void*)
{
    return Forward([&](CASF_Filter& filter) { return filter.OnStatus(status, hr); });
}

HRESULT CASF_CallbackObj::OnSample(DWORD output, QWORD time, QWORD duration, DWORD flags, INSSBuffer* sample, void*)
{
    return Forward([&](CASF_Filter& filter) { return filter.OnSample(output, time, duration, flags, sample); });
}

HRESULT CASF_CallbackObj::OnStreamSample(WORD stream, QWORD time, QWORD duration, DWORD flags, INSSBuffer* sample, void*)
{
    return Forward([&](CASF_Filter& filter) { return filter.OnSample(stream, time, duration, flags, sample); });
}

HRESULT CASF_CallbackObj::OnTime(QWORD time, void*)
{
    return Forward([&](CASF_Filter& filter) { return filter.OnTime(time); });
}

// ---- Filter ------------------------------------------------------------------------------------

CASF_Filter::CASF_Filter(const WCHAR* name, IUnknown* outer, HRESULT* phr)
    : CDemuxFilterT<KPacket>(name ? name : WSTR("Torvane ASF Source Filter"), outer, CLSID_VmxAsfSource, phr, QueueLimits::Asf),
      m_statusEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    if (FAILED(WMCreateReader(nullptr, 0, &m_reader)) || !m_reader ||
        FAILED(m_reader->QueryInterface(IID_IWMReaderAdvanced, reinterpret_cast<void**>(&m_advanced)))) {
        if (phr)
            *phr = E_FAIL;
        return;
    }
    m_callback = new CASF_CallbackObj(this);
}

CASF_Filter::~CASF_Filter()
{
    if (m_callback) {
        m_callback->Detach();
        m_callback->Release();
    }
    if (m_reader)
        m_reader->Close();
    if (m_advanced)
        m_advanced->Release();
    if (m_reader)
        m_reader->Release();
    CloseHandle(m_statusEvent);
}

HRESULT CASF_Filter::Stop()
{
    // A running pass ends now, before the reader thread is told to exit.
    m_status = S_OK;
    SetEvent(m_statusEvent);
    return CDemuxFilterT<KPacket>::Stop();
}

HRESULT CASF_Filter::Pause()
{
    {
        CAutoLock lock(pStateLock());
        if (IsStopped()) {
            m_seekTarget = 0;
            m_currentPosition = 0;
        }
    }
    return CDemuxFilterT<KPacket>::Pause();
}

HRESULT CASF_Filter::JoinFilterGraph(IFilterGraph* graph, LPCWSTR name)
{
    if (!graph && m_reader)
        m_reader->Close();
    return CDemuxFilterT<KPacket>::JoinFilterGraph(graph, name);
}

HRESULT CASF_Filter::LoadFile(LPCOLESTR fileName)
{
    if (!m_reader || !m_callback)
        return E_FAIL;
    ResetEvent(m_statusEvent);
    if (FAILED(m_reader->Open(fileName, m_callback, nullptr)) || WaitForSingleObject(m_statusEvent, kOpenTimeoutMs) != WAIT_OBJECT_0 ||
        FAILED(m_status.load()))
        return E_FAIL;

    IWMHeaderInfo* header = nullptr;
    if (SUCCEEDED(m_reader->QueryInterface(IID_IWMHeaderInfo, reinterpret_cast<void**>(&header)))) {
        static constexpr WCHAR kDuration[] = {'D', 'u', 'r', 'a', 't', 'i', 'o', 'n', 0};
        WORD stream = 0, length = sizeof(QWORD);
        WMT_ATTR_DATATYPE type = WMT_TYPE_QWORD;
        QWORD duration = 0;
        if (SUCCEEDED(header->GetAttributeByName(&stream, kDuration, &type, reinterpret_cast<BYTE*>(&duration), &length)) &&
            type == WMT_TYPE_QWORD)
            SetDuration(static_cast<REFERENCE_TIME>(std::min<QWORD>(duration, 1ULL << 62)));
        header->Release();
    }

    IWMProfile* profile = nullptr;
    if (FAILED(m_reader->QueryInterface(IID_IWMProfile, reinterpret_cast<void**>(&profile))))
        return E_FAIL;
    m_advanced->SetManualStreamSelection(FALSE);
    DWORD count = 0;
    profile->GetStreamCount(&count);
    bool video = false, audio = false;
    for (DWORD i = 0; i < count; ++i) {
        IWMStreamConfig* config = nullptr;
        if (FAILED(profile->GetStream(i, &config)) || !config)
            continue;
        WORD number = 0;
        WMT_STREAM_SELECTION selection = WMT_OFF;
        WCHAR name[kStreamNameLength] = {};
        WORD nameLength = kStreamNameLength;
        IWMMediaProps* props = nullptr;
        std::vector<BYTE> record;
        DWORD size = 0;
        const bool usable = SUCCEEDED(config->GetStreamNumber(&number)) && SUCCEEDED(m_advanced->GetStreamSelected(number, &selection)) &&
                            selection == WMT_ON && SUCCEEDED(config->GetStreamName(name, &nameLength)) &&
                            SUCCEEDED(config->QueryInterface(IID_IWMMediaProps, reinterpret_cast<void**>(&props))) &&
                            SUCCEEDED(props->GetMediaType(nullptr, &size)) && size >= sizeof(WM_MEDIA_TYPE) &&
                            (record.resize(size), SUCCEEDED(props->GetMediaType(reinterpret_cast<WM_MEDIA_TYPE*>(record.data()), &size)));
        if (props)
            props->Release();
        config->Release();
        if (!usable)
            continue;
        // A WM_MEDIA_TYPE has the layout of an AM_MEDIA_TYPE.
        CMediaType type;
        type = *reinterpret_cast<const AM_MEDIA_TYPE*>(record.data());
        const bool isVideo = type.majortype == MEDIATYPE_Video, isAudio = type.majortype == MEDIATYPE_Audio;
        if ((isVideo && video) || (isAudio && audio) || FAILED(m_advanced->SetReceiveStreamSamples(number, TRUE)))
            continue;
        video |= isVideo;
        audio |= isAudio;
        // A stream without a name (most files) keeps its pin, named as the native filter's, by which hosts find it.
        WString pinName = name[0] ? WString(name) : WString(isVideo ? WSTR("Video Pin") : isAudio ? WSTR("Audio Pin") : WSTR("Stream Pin"));
        MakePin<CASF_OutputPin>(this, pinName.c_str(), number, type);
    }
    profile->Release();
    m_advanced->SetUserProvidedClock(TRUE);
    return GetPinCount() > 0 ? S_OK : E_FAIL;
}

void CASF_Filter::DiscardFile()
{
    if (m_reader)
        m_reader->Close();
}

void CASF_Filter::ReadPackets()
{
    ResetEvent(m_statusEvent);
    m_status = S_OK;
    const HRESULT started = m_reader->Start(static_cast<QWORD>(std::max<REFERENCE_TIME>(SeekBase(), 0)), 0, 1.0f, nullptr);
    if (FAILED(started)) {
        m_status = started;
        return;
    }
    // The end of the file, an error, Stop, or a seek's command ends the pass.
    while (WaitForSingleObject(m_statusEvent, 10) == WAIT_TIMEOUT && !ReaderCommandPending()) {
    }
    if (SUCCEEDED(m_status.load())) {
        m_reader->Stop();
        Sleep(10);
    }
}

HRESULT CASF_Filter::OnStatus(WMT_STATUS status, HRESULT result)
{
    switch (status) {
    case WMT_ERROR:
    case WMT_EOF:
        m_clockStopped = true;
        m_status = result;
        SetEvent(m_statusEvent);
        break;
    case WMT_OPENED:
    case WMT_MISSING_CODEC:
    case WMT_CLOSED:
        m_status = result;
        SetEvent(m_statusEvent);
        break;
    case WMT_STARTED:
        m_clockStopped = false;
        m_clock = SeekBase() + kClockStep;
        m_status = DeliverClock();
        break;
    default:
        break;
    }
    return S_OK;
}

HRESULT CASF_Filter::DeliverClock() { return m_advanced->DeliverTime(static_cast<QWORD>(std::max<REFERENCE_TIME>(m_clock.load(), 0))); }

HRESULT CASF_Filter::OnTime(QWORD)
{
    if (m_clockStopped)
        return S_OK;
    m_clock += kClockStep;
    return DeliverClock();
}

HRESULT CASF_Filter::OnSample(DWORD stream, QWORD time, QWORD duration, DWORD flags, INSSBuffer* sample)
{
    BYTE* bytes = nullptr;
    DWORD length = 0;
    if (!sample || FAILED(sample->GetBufferAndLength(&bytes, &length)))
        return S_OK;
    auto packet = NewPacket();
    packet->streamNumber = stream;
    packet->syncPoint = (flags & WM_SF_CLEANPOINT) != 0;
    packet->discontinuity = (flags & WM_SF_DISCONTINUITY) != 0;
    packet->start = static_cast<REFERENCE_TIME>(std::min<QWORD>(time, 1ULL << 62));
    packet->stop = packet->start + static_cast<REFERENCE_TIME>(std::min<QWORD>(duration, 1ULL << 62));
    packet->payload.assign(bytes, bytes + length);
    DispatchPacket(std::move(packet));
    return S_OK;
}
