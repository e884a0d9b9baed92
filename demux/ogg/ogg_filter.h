// COGG_Filter: the first Ogg source. It reads Ogg files with the second filter's parser, the
// "Direct Show Samples embedded in Ogg" stream kind too, and names the chapters of the file's
// comments. Unlike the other sources it does not stand on the demuxer-pin layer: its pins are
// plain output pins with seeking of their own, and the filter runs the threads: one reader that
// hands packets to the pins' queues, and one delivery thread per connected pin.
#pragma once

#include <atomic>
#include <functional>
#include <span>
#include <vector>

#include "demux/ogg/ivmx_ogg.h"
#include "demux/ogg/ogg2_read_handler.h"
#include "demux/ogg/ogg_chapters.h"
#include "framework/am_thread.h"
#include "framework/base_filter.h"
#include "framework/base_pin.h"
#include "framework/source_seeking.h"
#include "io/packet_queue.h"

class COGG_Filter;

class COGG_OutputPin final : public CBaseOutputPin, public CSourceSeeking, private CAMThread {
public:
    COGG_OutputPin(HRESULT* phr, COGG_Filter* filter, LPCWSTR name, KOGG2ReadStream* stream, const CMediaType& type);
    ~COGG_OutputPin() override;

    // One COM identity: the seeking part answers through the pin.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE NonDelegatingAddRef() override;
    ULONG STDMETHODCALLTYPE NonDelegatingRelease() override;

    HRESULT CheckMediaType(const CMediaType* mt) override;
    HRESULT GetMediaType(int position, CMediaType* mt) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
    HRESULT Inactive() override;

    HRESULT STDMETHODCALLTYPE GetDuration(LONGLONG* duration) override;
    HRESULT ChangeStart() override;
    HRESULT ChangeStop() override;
    HRESULT ChangeRate() override;

    // The filter's side.
    int Serial() const { return m_stream->Serial(); }
    OggStreamKind Kind() const { return m_stream->Kind(); }
    // Starts the delivery thread: a new segment from the start, the stream's headers, then the
    // queue's packets. Stop ends it; the queue keeps what it holds until Clear.
    HRESULT StartDelivery(REFERENCE_TIME start);
    void StopDelivery();
    void ClearQueue() { m_queue.Clear(); }
    // The reader's side: waits while the queue is full; false when the wait was given up (a
    // command for the reader, or no delivery thread).
    bool QueuePacket(std::unique_ptr<KPacket2> packet, const std::function<bool()>& abort);
    void SetSeekingRange(REFERENCE_TIME duration);

private:
    enum Command : DWORD { kRun = 1, kStop = 2 };
    DWORD ThreadProc() override;
    HRESULT DeliverPacket(KPacket2& packet, bool first);

    COGG_Filter* m_ogg;
    KOGG2ReadStream* m_stream;
    CMediaType m_type;
    KPacketQueueT<KPacket2> m_queue;
    std::atomic<REFERENCE_TIME> m_segmentStart{0};
};

class COGG_Filter final : public CBaseFilter, public IFileSourceFilter, public IVmxOGG, private CAMThread {
public:
    COGG_Filter(const WCHAR* name, IUnknown* outer, HRESULT* phr);
    ~COGG_Filter() override;

    DECLARE_IUNKNOWN
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IFileSourceFilter
    HRESULT STDMETHODCALLTYPE Load(LPCOLESTR fileName, const AM_MEDIA_TYPE* mt) override;
    HRESULT STDMETHODCALLTYPE GetCurFile(LPOLESTR* fileName, AM_MEDIA_TYPE* mt) override;
    // IVmxOGG
    HRESULT STDMETHODCALLTYPE GetChapterCount(DWORD* count) override;
    HRESULT STDMETHODCALLTYPE GetChapter(DWORD index, LONGLONG* start, LPWSTR* title) override;

    HRESULT STDMETHODCALLTYPE Stop() override;
    HRESULT STDMETHODCALLTYPE Pause() override;
    HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME start) override;
    int GetPinCount() override;
    CBasePin* GetPin(int n) override;

    // A pin's start changed: the first pin of a seek repositions everything; the others that
    // follow with the same time are only recorded. Returns where playback starts.
    REFERENCE_TIME SeekFromPin(COGG_OutputPin* pin, REFERENCE_TIME time);
    REFERENCE_TIME CurrentDuration();
    REFERENCE_TIME SeekBase() const { return m_seekBase.load(); }
    CCritSec* SeekingLock() { return &m_seekingLock; }
    const std::vector<OggChapter>& Chapters() const { return m_chapters; }
    KOGG2ReadHandler& Handler() { return m_handler; }
    // Whether this filter plays what the module-wide extensions switch adds (read at creation).
    bool ExtensionsOn() const { return m_extensions; }

private:
    enum Command : DWORD { kExit = 0, kRead = 1, kHold = 2 };
    DWORD ThreadProc() override;
    // Positions the parser and starts every connected pin's delivery from where it landed.
    void StartStreaming(REFERENCE_TIME target);
    void StopStreaming();

    CCritSec m_lock;         // the filter state
    CCritSec m_seekingLock;  // the pins' seeking values
    CCritSec m_seekLock;     // one seek or state change at a time; taken before m_lock
    KOGG2ReadHandler m_handler;
    std::vector<COGG_OutputPin*> m_pins;
    std::vector<OggChapter> m_chapters;
    WString m_path;
    std::atomic<bool> m_loaded{false};
    std::atomic<REFERENCE_TIME> m_seekTarget{0};
    std::atomic<REFERENCE_TIME> m_seekBase{0};
    bool m_seekAccepted = false;
    REFERENCE_TIME m_lastSeekTime = 0;
    std::vector<COGG_OutputPin*> m_seekedPins;
    const bool m_extensions;
};
