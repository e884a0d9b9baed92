// The filter shared by the module's demuxers: IFileSourceFilter, a reader thread that asks the
// parser for packets and dispatches them to the pins' queues, and the seek restart.
#pragma once

#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "framework/am_thread.h"
#include "framework/base_filter.h"
#include "framework/demux_pin.h"

// Back-pressure limits of a filter's pin queues.
struct KQueueLimits {
    ULONG lowerBytes;
    ULONG upperBytes;
    ULONG maxPackets;
    bool fixedBytes;  // the byte limit is lowerBytes, whatever the sample size
};

namespace QueueLimits {
inline constexpr KQueueLimits Mkv{0x800000, 0x5000000, 300, false};
inline constexpr KQueueLimits Mp4{0x1000000, 0x5000000, 300, false};
inline constexpr KQueueLimits Avi{0x800000, 0x5000000, 300, false};
inline constexpr KQueueLimits Flv{0x400000, 0x5000000, 300, false};
inline constexpr KQueueLimits Asf{0xA00000, 0xA00000, 200, true};
inline constexpr KQueueLimits AsfEx{0x700000, 0x5000000, 300, false};
inline constexpr KQueueLimits Mpeg{0x400000, 0x5000000, 300, false};
inline constexpr KQueueLimits Mpeg2{0x1000000, 0x5000000, 300, false};
inline constexpr KQueueLimits Ogg2{0xA00000, 0x5000000, 300, false};
inline constexpr KQueueLimits Mp3{0x300000, 0x300000, 600, false};
inline constexpr KQueueLimits Aac{0x300000, 0x300000, 1000, true};
}  // namespace QueueLimits

class CDemuxFilter : public IFileSourceFilter, public CSource, public CAMThread {
public:
    enum ReaderCommand : DWORD { READER_EXIT = 0, READER_SEEK = 1 };

    CDemuxFilter(const WCHAR* name, IUnknown* outer, REFCLSID clsid, HRESULT* phr, const KQueueLimits& limits);
    ~CDemuxFilter() override;

    DECLARE_IUNKNOWN
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    // The last release stops the filter while the demuxer's parts still exist.
    ULONG STDMETHODCALLTYPE NonDelegatingRelease() override;

    // IFileSourceFilter
    HRESULT STDMETHODCALLTYPE Load(LPCOLESTR fileName, const AM_MEDIA_TYPE* mt) override;
    HRESULT STDMETHODCALLTYPE GetCurFile(LPOLESTR* fileName, AM_MEDIA_TYPE* mt) override;

    HRESULT STDMETHODCALLTYPE Stop() override;
    HRESULT STDMETHODCALLTYPE Pause() override;
    HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME start) override;

    // A pin's start changed. The first pin to ask for a time repositions the reader; the others
    // that follow with the same time are only recorded. Returns where playback starts (a key
    // frame before the time, for some demuxers), the same for every pin of one seek.
    REFERENCE_TIME SeekFromPin(CDemuxOutputPin* pin, REFERENCE_TIME time);
    void BeginFlushPins();
    void EndFlushPins();
    // Reader thread: wakes every pin's worker for what its queue holds, short of a batch. Called
    // before the reader waits (a full queue, a scan not far enough) and when a pass ends.
    void WakePinWorkers();
    // Reader thread: lists the pins for PinForStream at the start of a read pass.
    void ListPassPins();

    const KQueueLimits& QueueLimits() const { return m_limits; }
    // Whether this filter plays what the module-wide extensions switch adds (read at creation).
    bool ExtensionsOn() const { return m_extensions; }
    REFERENCE_TIME SeekTarget() const { return m_seekTarget.load(); }
    REFERENCE_TIME SeekBase() const { return m_seekBase.load(); }
    REFERENCE_TIME CurrentPosition() const { return m_currentPosition.load(); }
    REFERENCE_TIME Duration() const { return m_duration.load(); }
    bool IsFlushing() const { return m_flushing.load(); }
    bool ReaderCommandPending() { return CheckRequest(nullptr) != FALSE; }
    // Guards the pins' seeking values. Kept apart from the state lock because a worker reads
    // them while the application may hold the state lock waiting for that worker.
    CCritSec* SeekingLock() { return &m_seekingLock; }
    // The connected pin that takes packets of a stream, or null.
    CDemuxOutputPin* PinForStream(DWORD streamNumber);
    // Driven without threads (the fuzz targets' parser drives): background indexing runs to its
    // end on the caller's thread where it would start, the file counts as complete (nothing
    // waits for it to grow), and every pin counts as connected, so that every stream is read.
    bool Threadless() const { return m_threadless; }
    // Makes a pin of the filter (Pin's constructor takes the HRESULT and the filter first); one
    // that fails to construct is destroyed, which takes it off the filter. Null then.
    template <typename Pin, typename Filter, typename... Args>
    static Pin* MakePin(Filter* filter, Args&&... args)
    {
        HRESULT hr = S_OK;
        auto* pin = new Pin(&hr, filter, std::forward<Args>(args)...);
        if (SUCCEEDED(hr))
            return pin;
        delete pin;
        return nullptr;
    }

protected:
    // The parser drives call the reader thread's steps (Load, Reposition, a pass's packets) on
    // their own thread.
    friend class KParserDrive;

    // Where a demuxer's parser is positioned. EachPass: at the seek target at the start of every
    // read pass, so a run after Stop replays from the last seek. OnSeek: only by a seek (and at
    // Load, to 0); its cursors survive Stop, so a run continues where the last pass stopped.
    enum class Positioning { EachPass, OnSeek };

    // Per demuxer: open and parse the file and create the pins (called under the state lock).
    // Any failure makes Load fail with E_FAIL; the pins made are then removed and DiscardFile
    // runs, so that another Load starts from an empty filter.
    virtual HRESULT LoadFile(LPCOLESTR fileName) = 0;
    // Per demuxer: drops whatever a failed LoadFile left (the pins are already gone).
    virtual void DiscardFile() {}
    virtual Positioning ParserPositioning() const { return Positioning::EachPass; }
    // Where an OnSeek demuxer stands after Load: by default a seek to 0.
    virtual void PositionAfterLoad() { Reposition(0); }
    // The graph's current position, asked on the seeking thread (the graph may hold its own lock
    // while it seeks, so the reader thread must not call into it); the minimum value when the
    // graph cannot tell.
    REFERENCE_TIME QueryGraphPosition();
    // Optional preparation on the reader thread before the first pass.
    virtual HRESULT PrepareReader() { return S_OK; }
    // Whether the reader's start restarts every pin even when playback begins where the pins
    // announced their segments as they started. A demuxer whose parser may land elsewhere (a key
    // frame before the target) or whose pins count on that restart keeps it.
    virtual bool RestartsPinsWhenReaderStarts() const { return true; }
    // Positions the parser at the target at the start of each pass and returns where playback
    // really starts (a demuxer that can only start at a key frame returns the key frame's time);
    // that time becomes the pins' segment start and the base packet times are rebased by.
    virtual REFERENCE_TIME PositionParser(REFERENCE_TIME target) { return target; }
    // Where the pins' segments start after a seek made while no reader thread exists: by default
    // where the parser landed. A demuxer may keep the requested time instead, so that what lies
    // between the key frame it landed on and that time plays as preroll.
    virtual REFERENCE_TIME IdleSeekStart(REFERENCE_TIME /*requested*/, REFERENCE_TIME landed) { return landed; }
    // Called on the reader thread before each read pass.
    virtual void BeginReadPass() {}
    // One read pass: packets from the parser to DispatchPacket until the end, an error, a
    // refused packet or a pending command.
    virtual void ReadPackets() = 0;
    // Gives every pin the end marker, stopping early when a command is pending.
    virtual void QueueEndMarkers() = 0;

    DWORD ThreadProc() override;
    void SetDuration(REFERENCE_TIME duration) { m_duration = duration; }
    // Positions the parser and makes where it landed the seek target and base (or, for a seek
    // made while no reader exists, what IdleSeekStart makes of it).
    void Reposition(REFERENCE_TIME target, bool readerIdle = false);

    WString m_path;
    std::atomic<bool> m_loaded{false};
    bool m_threadless = false;
    HANDLE m_readEvent;
    std::atomic<bool> m_flushing{false};
    KQueueLimits m_limits;
    const bool m_extensions;

    CCritSec m_seekLock;     // one seek at a time
    CCritSec m_seekingLock;  // the pins' seeking values
    bool m_seekAccepted = false;
    bool m_readerStarted = false;  // the reader has restarted the pins once (under m_seekLock)
    // The seek target when the pins last started from Stopped, where their segments begin.
    std::atomic<REFERENCE_TIME> m_announcedStart{0};
    REFERENCE_TIME m_lastSeekTime = 0;
    std::vector<CDemuxOutputPin*> m_seekedPins;
    // The reader thread's own: each stream's connected pin (or null) during a read pass.
    std::vector<std::pair<DWORD, CDemuxOutputPin*>> m_passPins;
    std::atomic<bool> m_passPinsValid{false};
    std::atomic<DWORD> m_readerThread{0};
    std::atomic<REFERENCE_TIME> m_currentPosition{0};
    std::atomic<REFERENCE_TIME> m_seekTarget{0};
    std::atomic<REFERENCE_TIME> m_seekBase{0};
    std::atomic<REFERENCE_TIME> m_duration{0};
};

template <class Packet>
class CDemuxFilterT : public CDemuxFilter {
public:
    using CDemuxFilter::CDemuxFilter;
    using Pin = CDemuxOutputPinT<Packet>;

    // Reader thread: a packet to fill, from the packets the pins have used when there are any.
    std::unique_ptr<Packet> NewPacket() { return m_packetPool.Take(); }
    KPacketPoolT<Packet>& PacketPool() { return m_packetPool; }

    // Routes a packet to its stream's pin with the times rebased by the seek base. Packets of
    // streams without a connected pin are dropped (S_FALSE: reading goes on).
    HRESULT DispatchPacket(std::unique_ptr<Packet> packet)
    {
        // What the pins gave back is freed here now and then, on the thread that allocated it.
        if (++m_dispatched % kFreeEvery == 0)
            m_packetPool.FreeGiven();
        auto* pin = static_cast<Pin*>(PinForStream(packet->streamNumber));
        if (!pin)
            return S_FALSE;
        if (packet->HasTime()) {
            m_currentPosition = packet->start;
            REFERENCE_TIME base = m_seekBase.load();
            packet->start -= base;
            packet->stop -= base;
        }
        return pin->QueuePacket(std::move(packet));
    }

protected:
    friend class KParserDrive;

    // Per demuxer: S_OK with a packet, S_FALSE at the end, a failure on a broken file.
    virtual HRESULT NextPacket(std::unique_ptr<Packet>& packet) = 0;

    void ReadPackets() override
    {
        while (!ReaderCommandPending()) {
            std::unique_ptr<Packet> packet;
            if (NextPacket(packet) != S_OK || !packet)
                return;
            if (FAILED(DispatchPacket(std::move(packet))))
                return;
        }
    }

    void QueueEndMarkers() override
    {
        for (int i = 0; i < GetPinCount(); ++i) {
            if (ReaderCommandPending())
                return;
            if (auto* pin = static_cast<Pin*>(GetPin(i)))
                pin->QueuePacket(nullptr);
        }
    }

private:
    static constexpr unsigned kFreeEvery = 64;

    KPacketPoolT<Packet> m_packetPool;
    unsigned m_dispatched = 0;  // the reader's own
};

template <class Packet>
void CDemuxOutputPinT<Packet>::Recycle(std::unique_ptr<Packet> packet)
{
    // A large payload is freed here: its cost is in its bytes, and on the reader's thread, which
    // sets the pace of a high-rate file, it would hold up the reading.
    if (!packet || packet->payload.size() > kLargestRecycled)
        return;
    if (!m_poolFound) {
        // Pins of filters built on CDemuxFilterT give back to their filter; others free.
        auto* filter = dynamic_cast<CDemuxFilterT<Packet>*>(m_pDemux);
        m_pool = filter ? &filter->PacketPool() : nullptr;
        m_poolFound = true;
    }
    if (!m_pool)
        return;
    m_used.push_back(std::move(packet));
    if (m_used.size() >= kRecycleBatch)
        m_pool->Give(m_used);
}

// The create routine of a filter class for the module's table: the object name is left to the
// filter (its display name), allocation failure is E_OUTOFMEMORY.
template <class Filter>
CUnknown* CreateFilterInstance(IUnknown* outer, HRESULT* phr)
{
    auto* filter = new (std::nothrow) Filter(nullptr, outer, phr);
    if (!filter && phr)
        *phr = E_OUTOFMEMORY;
    return filter;
}
