// The output pin shared by the module's demuxers: a CSourceStream with IMediaSeeking whose
// worker drains the pin's packet queue through the shared delivery loop and FillSample.
#pragma once

#include <atomic>
#include <limits>
#include <memory>
#include <vector>

#include "framework/source_seeking.h"
#include "framework/source_stream.h"
#include "io/packet_pool.h"
#include "io/packet_queue.h"

class CDemuxFilter;

class CDemuxOutputPin : public CSourceStream, public CSourceSeeking {
public:
    CDemuxOutputPin(const WCHAR* objectName, HRESULT* phr, CDemuxFilter* filter, LPCWSTR pinName,
                    DWORD streamNumber, std::vector<CMediaType> offeredTypes);

    // One COM identity: the seeking part answers through the pin.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE NonDelegatingAddRef() override;
    ULONG STDMETHODCALLTYPE NonDelegatingRelease() override;

    HRESULT FillBuffer(IMediaSample*) override { return E_NOTIMPL; }
    HRESULT DoBufferProcessingLoop() override;
    // Fills the sample in the slot, or releases it and puts another (or none) there. S_OK
    // delivers what is in the slot, S_FALSE ends the stream, S_NOT_READY retries after 1 ms.
    virtual HRESULT FillSample(IMediaSample*& sample) = 0;
    HRESULT OnThreadStartPlay() override;
    HRESULT Active() override;

    HRESULT CheckMediaType(const CMediaType* mt) override;
    HRESULT GetMediaType(int position, CMediaType* mt) override;
    using CSourceStream::GetMediaType;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
    HRESULT DeliverBeginFlush() override;
    HRESULT DeliverEndFlush() override;

    HRESULT ChangeStart() override;
    HRESULT ChangeStop() override;
    HRESULT ChangeRate() override;

    DWORD StreamNumber() const { return m_streamNumber; }
    // Sets the seeking duration and stop (the filter's duration, once known).
    void SetDuration(REFERENCE_TIME duration);
    // Bytes a queue may hold before the reader waits: 1.5 x the connection's sample size,
    // clamped to the filter's range.
    ULONG QueueByteLimit() const;

    virtual void ClearQueue() = 0;
    virtual ULONG QueuedBytes() = 0;
    virtual ULONG QueuedCount() = 0;
    // The queue's hand-off waits (see KPacketQueueT): both give up after the timeout, so that
    // each side looks at its commands as often as it did polling.
    virtual void WaitUntilTakeable(DWORD timeoutMs) = 0;
    virtual void WaitForRoom(ULONG bytes, ULONG count, DWORD timeoutMs) = 0;
    // Reader: wakes the worker for what is queued, short of a batch.
    virtual void WakeWorker() = 0;
    // Worker, after each FillSample: lets go of the packet it filled from.
    virtual void ReleaseTaken() {}

protected:
    // The back-pressure wait of QueuePacket: S_OK once there is room; E_FAIL when the worker
    // has gone or a command is pending for the reader thread.
    HRESULT WaitForQueueRoom();
    double SeekingRate();
    // The start of the pin's current segment.
    REFERENCE_TIME SegmentStart() const;
    // The most a sample of this pin can need, when the demuxer knows more than the media type's
    // sample size tells (no chunk outgrows the file that holds it): the buffer is sized from the
    // smaller of the two, and a larger packet enlarges it when it comes.
    virtual LONGLONG LargestSampleSize() const { return std::numeric_limits<LONGLONG>::max(); }

    std::vector<CMediaType> m_offered;
    DWORD m_streamNumber;
    std::atomic<LONG> m_discontinuity{0};
    CDemuxFilter* m_pDemux;
};

template <class Packet>
class CDemuxFilterT;

template <class Packet>
class CDemuxOutputPinT : public CDemuxOutputPin {
public:
    using CDemuxOutputPin::CDemuxOutputPin;

    // Reader thread: hands the packet (or, when null, the end marker) to the queue.
    HRESULT QueuePacket(std::unique_ptr<Packet> packet)
    {
        HRESULT hr = WaitForQueueRoom();
        if (FAILED(hr))
            return hr;  // the packet is destroyed here
        m_queue.Push(packet);
        return S_OK;
    }

    // The plain FillSample: one packet per sample, times divided by the rate.
    HRESULT FillSample(IMediaSample*& sample) override
    {
        if (m_queue.Count() == 0)
            return S_NOT_READY;
        Recycle(std::move(m_taken));
        m_taken = m_queue.Pop();
        if (!m_taken)
            return S_FALSE;
        return FillFromPacket(sample, *m_taken);
    }

    void ClearQueue() override { m_queue.Clear(); }
    ULONG QueuedBytes() override { return m_queue.Bytes(); }
    ULONG QueuedCount() override { return m_queue.Count(); }
    void WaitUntilTakeable(DWORD timeoutMs) override { m_queue.WaitUntilTakeable(m_holdsBack ? 2 : 1, timeoutMs); }
    void WaitForRoom(ULONG bytes, ULONG count, DWORD timeoutMs) override { m_queue.WaitForRoom(bytes, count, timeoutMs); }
    void WakeWorker() override { m_queue.WakeTaker(); }
    void ReleaseTaken() override { Recycle(std::move(m_taken)); }

protected:
    // The take of the pins that keep the last queued packet back until another packet (or the
    // end marker) follows it, as demuxers that may still extend it need: S_OK with a timed
    // packet, S_FALSE at the end marker, S_NOT_READY otherwise (an untimed packet is dropped).
    // The packet stays the pin's until its sample is filled (ReleaseTaken).
    HRESULT TakeHeldBack(Packet*& packet)
    {
        packet = nullptr;
        if (TailHeldBack())
            return S_NOT_READY;
        Recycle(std::move(m_taken));
        m_taken = m_queue.Pop();
        if (!m_taken)
            return S_FALSE;
        packet = m_taken.get();
        return packet->HasTime() ? S_OK : S_NOT_READY;
    }

    // Worker: gives a used packet back to the filter's pool, a batch at a time.
    void Recycle(std::unique_ptr<Packet> packet);

    // Whether nothing can be taken while the newest packet is kept back. A pin that asks waits
    // for two entries (or the end marker) when it has nothing to send.
    bool TailHeldBack()
    {
        m_holdsBack = true;
        const DWORD queued = m_queue.Count();
        return queued == 0 || (queued == 1 && m_queue.TailIsPacket());
    }

    // How a packet's flags become the sample's.
    struct SampleRules {
        bool syncOnRestart = false;   // the first sample after a (re)start is a sync point
        bool applyMediaType = true;   // a packet's media type is attached to its sample
        bool mediaTimes = false;      // media times: segment start plus sample time, in 10 ms units
        bool packetMediaTimes = false;  // media times as the packet carries them
    };

    // Copies one packet into the sample in the slot (growing the buffer when the packet does not
    // fit) and sets times divided by the rate, preroll for negative starts, and the flags.
    HRESULT FillFromPacket(IMediaSample*& sample, Packet& packet, SampleRules rules = {})
    {
        if (packet.payload.size() > static_cast<size_t>(sample->GetSize())) {
            HRESULT hr = EnlargeBuffer(sample, packet.payload.size());
            if (FAILED(hr))
                return hr;
        }
        BYTE* buffer = nullptr;
        HRESULT hr = sample->GetPointer(&buffer);
        if (FAILED(hr))
            return hr;
        std::copy(packet.payload.begin(), packet.payload.end(), buffer);
        sample->SetActualDataLength(static_cast<LONG>(packet.payload.size()));
        LONGLONG mediaStart = 0, mediaStop = 0;
        bool mediaTimes = false;
        if (packet.HasTime()) {
            double rate = SeekingRate();
            REFERENCE_TIME start = static_cast<REFERENCE_TIME>(static_cast<double>(packet.start) / rate);
            REFERENCE_TIME stop = static_cast<REFERENCE_TIME>(static_cast<double>(packet.stop) / rate);
            sample->SetTime(&start, &stop);
            sample->SetPreroll(start < 0);
            if (rules.mediaTimes) {
                const REFERENCE_TIME segmentStart = SegmentStart();
                mediaStart = (segmentStart + start) / 100000;
                mediaStop = (segmentStart + stop) / 100000;
                mediaTimes = true;
            }
        } else {
            sample->SetTime(nullptr, nullptr);
            sample->SetPreroll(FALSE);
        }
        if constexpr (requires { packet.mediaStart; }) {
            if (rules.packetMediaTimes && packet.HasTime()) {
                mediaStart = packet.mediaStart;
                mediaStop = packet.mediaStop;
                mediaTimes = true;
            }
        }
        if (mediaTimes)
            sample->SetMediaTime(&mediaStart, &mediaStop);
        else
            sample->SetMediaTime(nullptr, nullptr);
        const bool restart = m_discontinuity.load() != 0;
        sample->SetDiscontinuity(packet.discontinuity || restart);
        sample->SetSyncPoint(packet.syncPoint || (rules.syncOnRestart && restart));
        if (rules.applyMediaType && packet.mediaType)
            sample->SetMediaType(packet.mediaType.get());
        m_discontinuity = 0;
        return S_OK;
    }

    KPacketQueueT<Packet> m_queue;

private:
    static constexpr std::size_t kRecycleBatch = 32;
    static constexpr DWORD kLargestRecycled = 64 * 1024;

    // The worker's own.
    bool m_holdsBack = false;
    std::unique_ptr<Packet> m_taken;  // the packet of the sample last filled
    std::vector<std::unique_ptr<Packet>> m_used;
    KPacketPoolT<Packet>* m_pool = nullptr;
    bool m_poolFound = false;
};
