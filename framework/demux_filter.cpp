#include "framework/demux_filter.h"

#include <algorithm>

CDemuxFilter::CDemuxFilter(const WCHAR* name, IUnknown* outer, REFCLSID clsid, HRESULT* phr,
                           const KQueueLimits& limits)
    : CSource(name, outer, clsid, phr), m_readEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr)), m_limits(limits)
{
}

CDemuxFilter::~CDemuxFilter()
{
    if (ThreadExists()) {
        CallWorker(READER_EXIT);
        Close();
    }
    CloseHandle(m_readEvent);
}

HRESULT CDemuxFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IFileSourceFilter)
        return GetInterface(static_cast<IFileSourceFilter*>(this), ppv);
    return CSource::NonDelegatingQueryInterface(riid, ppv);
}

ULONG CDemuxFilter::NonDelegatingRelease()
{
    LONG left = --m_cRef;
    if (left != 0)
        return static_cast<ULONG>(left);
    // Keep the object alive while its threads are ended: they use the demuxer's parts,
    // which the derived destructor is about to free.
    m_cRef = 1;
    Stop();
    delete this;
    return 0;
}

HRESULT CDemuxFilter::Load(LPCOLESTR fileName, const AM_MEDIA_TYPE*)
{
    if (m_loaded)
        return E_FAIL;
    if (!fileName)
        return E_POINTER;
    CAutoLock lock(pStateLock());
    if (FAILED(LoadFile(fileName)))
        return E_FAIL;
    m_path = fileName;
    m_loaded = true;
    return S_OK;
}

HRESULT CDemuxFilter::GetCurFile(LPOLESTR* fileName, AM_MEDIA_TYPE*)
{
    if (!fileName)
        return E_POINTER;
    return AMGetWideString(m_loaded ? m_path.c_str() : nullptr, fileName);
}

HRESULT CDemuxFilter::Stop()
{
    // The reader first: it may be waiting on a full queue that only the workers drain.
    if (ThreadExists()) {
        CallWorker(READER_EXIT);
        Close();
    }
    {
        CAutoLock serial(&m_seekLock);
        m_readerStarted = false;
    }
    return CSource::Stop();
}

HRESULT CDemuxFilter::Pause()
{
    bool wasStopped;
    {
        CAutoLock lock(pStateLock());
        wasStopped = IsStopped();
    }
    HRESULT hr = CSource::Pause();
    if (SUCCEEDED(hr) && wasStopped && !ThreadExists())
        Create();
    return hr;
}

// Run from Stopped pauses first through the virtual Pause, which starts the reader.
HRESULT CDemuxFilter::Run(REFERENCE_TIME start) { return CSource::Run(start); }

CDemuxOutputPin* CDemuxFilter::PinForStream(DWORD streamNumber)
{
    for (int i = 0; i < GetPinCount(); ++i) {
        auto* pin = static_cast<CDemuxOutputPin*>(static_cast<CSourceStream*>(GetPin(i)));
        if (pin && pin->StreamNumber() == streamNumber)
            return pin->IsConnected() ? pin : nullptr;
    }
    return nullptr;
}

void CDemuxFilter::SeekFromPin(CDemuxOutputPin* pin, REFERENCE_TIME time)
{
    CAutoLock serial(&m_seekLock);
    if (m_seekAccepted && time == m_lastSeekTime
        && std::find(m_seekedPins.begin(), m_seekedPins.end(), pin) == m_seekedPins.end()) {
        m_seekedPins.push_back(pin);
        return;
    }
    m_seekAccepted = true;
    m_lastSeekTime = time;
    m_seekedPins.assign(1, pin);
    m_currentPosition = time;
    m_seekTarget = time;
    // Before the reader has restarted the pins itself, it will begin at the target anyway; a
    // restart of ours now would cross its own.
    if (!ThreadExists() || !m_readerStarted)
        return;
    BeginFlushPins();
    CallWorker(READER_SEEK);
    EndFlushPins();
}

void CDemuxFilter::BeginFlushPins()
{
    m_flushing = true;
    for (int i = 0; i < GetPinCount(); ++i)
        if (auto* pin = static_cast<CDemuxOutputPin*>(static_cast<CSourceStream*>(GetPin(i))))
            pin->DeliverBeginFlush();
}

void CDemuxFilter::EndFlushPins()
{
    for (int i = 0; i < GetPinCount(); ++i)
        if (auto* pin = static_cast<CDemuxOutputPin*>(static_cast<CSourceStream*>(GetPin(i))))
            pin->DeliverEndFlush();
    m_flushing = false;
    SetEvent(m_readEvent);
}

DWORD CDemuxFilter::ThreadProc()
{
    if (FAILED(PrepareReader())) {
        for (;;) {
            DWORD command = GetRequest();
            Reply(0);
            if (command == READER_EXIT)
                return 0;
        }
    }
    // The parser finds where playback starts before the pins restart: their new segments begin
    // there.
    const auto reposition = [this] {
        const REFERENCE_TIME start = PositionParser(m_seekTarget.load());
        m_seekTarget = start;
        m_seekBase = start;
    };
    {
        CAutoLock serial(&m_seekLock);
        reposition();
        BeginFlushPins();
        EndFlushPins();
        m_readerStarted = true;
    }

    bool serving = false;
    bool positioned = true;
    for (;;) {
        if (!positioned)
            reposition();
        positioned = false;
        if (serving)
            Reply(0);
        // Wait for the pins to restart; an exit that arrives meanwhile is answered at once.
        bool exiting = false;
        while (WaitForSingleObject(m_readEvent, 10) == WAIT_TIMEOUT) {
            DWORD command;
            if (CheckRequest(&command) && command == READER_EXIT) {
                exiting = true;
                break;
            }
        }
        if (!exiting) {
            ReadPackets();
            if (!ReaderCommandPending())
                QueueEndMarkers();
        }
        DWORD command = GetRequest();
        serving = true;
        if (command == READER_EXIT)
            break;
    }
    Reply(0);
    return 0;
}
