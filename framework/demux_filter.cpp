#include "framework/demux_filter.h"

#include <algorithm>
#include <limits>

#include "framework/extensions.h"

CDemuxFilter::CDemuxFilter(const WCHAR* name, IUnknown* outer, REFCLSID clsid, HRESULT* phr,
                           const KQueueLimits& limits)
    : CSource(name, outer, clsid, phr), m_readEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr)), m_limits(limits),
      m_extensions(ExtensionsEnabled())
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
    if (m_loaded)  // another thread's Load got the lock first
        return E_FAIL;
    if (FAILED(LoadFile(fileName))) {
        // Nothing of a file that did not load may stay: its pins would play nothing, and what
        // they and the demuxer point into goes with the next Load.
        DeletePins();
        DiscardFile();
        return E_FAIL;
    }
    // No seek can come before the file is loaded, and no reader reads before then.
    if (ParserPositioning() == Positioning::OnSeek)
        PositionAfterLoad();
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
    // Read before the workers start, each of which begins its segment at the target it reads as
    // it starts: never newer than theirs, so a seek in between shows as a difference. Without
    // m_seekLock: Run calls here under the state lock, which a seek takes inside m_seekLock.
    if (wasStopped)
        m_announcedStart = m_seekTarget.load();
    HRESULT hr = CSource::Pause();
    if (SUCCEEDED(hr) && wasStopped && !ThreadExists())
        Create();
    return hr;
}

// Run from Stopped pauses first through the virtual Pause, which starts the reader.
HRESULT CDemuxFilter::Run(REFERENCE_TIME start) { return CSource::Run(start); }

CDemuxOutputPin* CDemuxFilter::PinForStream(DWORD streamNumber)
{
    // The reader asks for every packet: it looks in the list made when its pass began, as pins
    // and their connections change only while the filter is stopped, when no pass runs.
    if (m_passPinsValid && GetCurrentThreadId() == m_readerThread) {
        for (const auto& [stream, pin] : m_passPins)
            if (stream == streamNumber)
                return pin;
        return nullptr;
    }
    for (int i = 0; i < GetPinCount(); ++i) {
        auto* pin = static_cast<CDemuxOutputPin*>(static_cast<CSourceStream*>(GetPin(i)));
        if (pin && pin->StreamNumber() == streamNumber)
            return pin->IsConnected() || m_threadless ? pin : nullptr;
    }
    return nullptr;
}

REFERENCE_TIME CDemuxFilter::SeekFromPin(CDemuxOutputPin* pin, REFERENCE_TIME time)
{
    CAutoLock serial(&m_seekLock);
    // The graph seeks every pin to one time, and may pass on the start the first pin reported.
    if (m_seekAccepted && (time == m_lastSeekTime || time == m_seekTarget.load())
        && std::find(m_seekedPins.begin(), m_seekedPins.end(), pin) == m_seekedPins.end()) {
        m_seekedPins.push_back(pin);
        return m_seekTarget.load();
    }
    m_seekAccepted = true;
    m_lastSeekTime = time;
    m_seekedPins.assign(1, pin);
    m_currentPosition = time;
    m_seekTarget = time;
    const bool positionHere = ParserPositioning() == Positioning::OnSeek && m_loaded;
    if (ThreadExists() && m_readerStarted) {
        BeginFlushPins();
        // The reader repositions before it replies. One that has just gone (Stop on another
        // thread) leaves the parser to us; it no longer reads.
        if (CallWorker(READER_SEEK) != 0 && positionHere)
            Reposition(time);
        EndFlushPins();
    } else if (positionHere) {
        // No reader reads now: one just created waits for this lock before its first pass and
        // starts where the parser landed; with none, the demuxer says where the next start is.
        Reposition(time, !ThreadExists());
    }
    return m_seekTarget.load();
}

REFERENCE_TIME CDemuxFilter::QueryGraphPosition()
{
    REFERENCE_TIME current = std::numeric_limits<REFERENCE_TIME>::min();
    IMediaSeeking* seeking = nullptr;
    if (m_pGraph && SUCCEEDED(m_pGraph->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&seeking))) && seeking) {
        if (FAILED(seeking->GetCurrentPosition(&current)))
            current = std::numeric_limits<REFERENCE_TIME>::min();
        seeking->Release();
    }
    return current;
}

void CDemuxFilter::Reposition(REFERENCE_TIME target, bool readerIdle)
{
    const REFERENCE_TIME landed = PositionParser(target);
    const REFERENCE_TIME start = readerIdle ? IdleSeekStart(target, landed) : landed;
    m_seekTarget = start;
    m_seekBase = start;
}

void CDemuxFilter::BeginFlushPins()
{
    m_flushing = true;
    for (int i = 0; i < GetPinCount(); ++i)
        if (auto* pin = static_cast<CDemuxOutputPin*>(static_cast<CSourceStream*>(GetPin(i))))
            pin->DeliverBeginFlush();
}

void CDemuxFilter::ListPassPins()
{
    m_passPinsValid = false;
    m_passPins.clear();
    for (int i = 0; i < GetPinCount(); ++i)
        if (auto* pin = static_cast<CDemuxOutputPin*>(static_cast<CSourceStream*>(GetPin(i))))
            m_passPins.emplace_back(pin->StreamNumber(), pin->IsConnected() ? pin : nullptr);
    m_readerThread = GetCurrentThreadId();
    m_passPinsValid = true;
}

void CDemuxFilter::WakePinWorkers()
{
    for (int i = 0; i < GetPinCount(); ++i)
        if (auto* pin = static_cast<CDemuxOutputPin*>(static_cast<CSourceStream*>(GetPin(i))))
            pin->WakeWorker();
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
    // Nothing to read: answer every command until told to exit.
    if (!m_loaded || FAILED(PrepareReader())) {
        for (;;) {
            const DWORD command = GetRequest();
            if (command == READER_EXIT) {
                MarkGone();
                Reply(0);
                return 0;
            }
            Reply(0);
        }
    }
    // The parser finds where playback starts before the pins restart: their new segments begin
    // there. Pins whose segments already begin there (no seek since they started) may be left
    // alone.
    {
        CAutoLock serial(&m_seekLock);
        if (ParserPositioning() == Positioning::EachPass)
            Reposition(m_seekTarget.load());
        if (RestartsPinsWhenReaderStarts() || m_seekTarget.load() != m_announcedStart) {
            BeginFlushPins();
            EndFlushPins();
        } else {
            m_flushing = false;
            SetEvent(m_readEvent);
        }
        m_readerStarted = true;
    }

    bool serving = false;
    bool positioned = true;
    for (;;) {
        if (!positioned)
            Reposition(m_seekTarget.load());
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
            ListPassPins();
            BeginReadPass();
            ReadPackets();
            WakePinWorkers();
            m_passPinsValid = false;
            if (!ReaderCommandPending())
                QueueEndMarkers();
        }
        const DWORD command = GetRequest();
        serving = true;
        if (command == READER_EXIT)
            break;
    }
    // Gone before the reply: a seek that takes the mailbox next must not wait for this thread.
    MarkGone();
    Reply(0);
    return 0;
}
