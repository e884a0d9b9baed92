// A renderer stand-in: one input pin that accepts what a source pushes and writes down, in
// order, every sample and stream event, so tests and tools can compare what came out.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "framework/media_type.h"
#include "host/com_ptr.h"
#include "platform/platform.h"
#include "platform/ref_counted.h"

namespace vmx::host {

// The checksums recorded for each sample's bytes: FNV-1a for the tests, zlib's Adler-32 for
// the packet tables the tools print.
std::uint64_t Fnv1a64(std::span<const BYTE> bytes);
std::uint32_t Adler32(std::span<const BYTE> bytes);

// One count for every sink and graph in the process: events recorded by different objects, on
// different threads, can be put back in the order they arrived.
std::uint64_t NextArrival();

struct SinkEvent {
    enum class Kind { Sample, NewSegment, EndOfStream, BeginFlush, EndFlush };

    Kind kind = Kind::Sample;
    // A sample's times, each only when set; a NewSegment's start and stop (always set).
    REFERENCE_TIME start = 0;
    REFERENCE_TIME stop = 0;
    bool startValid = false;
    bool stopValid = false;
    double rate = 1.0;  // NewSegment only
    bool syncPoint = false;
    bool discontinuity = false;
    bool preroll = false;
    LONG length = 0;
    std::uint64_t checksum = 0;
    std::uint32_t adler32 = 0;
    std::vector<BYTE> bytes{};  // only while the sink keeps sample bytes
    // Only when the sample carried one; shared, so that a record of many samples stays small.
    std::shared_ptr<const CMediaType> mediaType{};
    std::uint64_t arrival = 0;  // from NextArrival, when recorded
};

// A sink's record: a deque, so that a long record of small samples grows without moving what it
// holds and touches each page of it once.
using SinkRecord = std::deque<SinkEvent>;

class RecordingSink final : public KRefCounted<IBaseFilter> {
public:
    static ComPtr<RecordingSink> Create();

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;

    STDMETHODIMP GetClassID(CLSID* clsid) override;
    STDMETHODIMP Stop() override;
    STDMETHODIMP Pause() override;
    STDMETHODIMP Run(REFERENCE_TIME start) override;
    STDMETHODIMP GetState(DWORD timeoutMs, FILTER_STATE* state) override;
    STDMETHODIMP SetSyncSource(IReferenceClock* clock) override;
    STDMETHODIMP GetSyncSource(IReferenceClock** clock) override;
    STDMETHODIMP EnumPins(IEnumPins** pins) override;
    STDMETHODIMP FindPin(LPCWSTR id, IPin** pin) override;
    STDMETHODIMP QueryFilterInfo(FILTER_INFO* info) override;
    STDMETHODIMP JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override;
    STDMETHODIMP QueryVendorInfo(LPWSTR* vendorInfo) override;

    // The one input pin, "In"; borrowed, it lives as long as the sink.
    IPin* InputPin() const;

    // ---- Controls: thread-safe, take effect at once ----
    void AcceptAllTypes();  // the default
    void RefuseAllTypes();
    void AcceptOnlyMajorType(const GUID& majorType);
    // Takes only this subtype, as a decoder that knows one form of a codec does.
    void AcceptOnlySubtype(const GUID& subtype);
    void KeepSampleBytes(bool keep);
    // On by default; off leaves checksum and adler32 at 0, for timing the source alone.
    void ComputeChecksums(bool compute);
    // Called with each recorded sample's time in stream time (its start placed in the segment it
    // arrived in), under the sink's lock; dropped when the sink leaves its graph.
    void ReportSampleTimesTo(std::function<void(REFERENCE_TIME)> report);
    // Once acceptedSamples samples are recorded, Receive answers refusal (S_FALSE or a failure).
    void LimitReceive(size_t acceptedSamples, HRESULT refusal = S_FALSE);
    void RemoveReceiveLimit();
    // While held, Receive waits until ReleaseHold, BeginFlush or Stop. recordHeldSample records
    // the sample as it arrives, as a paused renderer that holds it has received it; otherwise
    // it is recorded only when the hold is released.
    void HoldReceive(bool recordHeldSample = false);
    void ReleaseHold();

    // ---- Observations ----
    std::vector<SinkEvent> Events() const;
    // The record, moved out without a copy; the sink is left as Reset leaves it.
    SinkRecord TakeEvents();
    std::vector<SinkEvent> Samples() const;
    size_t SampleCount() const;
    // Off: samples are counted (and their bytes) but not recorded, so that a long play measures
    // the source rather than the record. Events other than samples are still recorded.
    void RecordSamples(bool record);
    std::uint64_t SampleBytes() const;
    size_t EndOfStreamCount() const;
    // Receive calls answered without recording (flushing, stopped, after end of stream, limit).
    size_t RefusedSampleCount() const;
    // True from EndOfStream until the next flush or Stop.
    bool ReachedEndOfStream() const;
    bool WaitForEndOfStream(DWORD timeoutMs) const;
    bool WaitForSamples(size_t count, DWORD timeoutMs) const;
    // True once end of stream arrived (since the last flush) or count samples are recorded.
    bool WaitForEndOfStreamOrSamples(size_t count, DWORD timeoutMs) const;
    // True once some Receive call is waiting in a hold.
    bool WaitForHeldReceive(DWORD timeoutMs) const;
    bool IsConnected() const;
    CMediaType ConnectionType() const;
    ComPtr<IMemAllocator> Allocator() const;
    // Forgets what was recorded and the end-of-stream state; the controls stay.
    void Reset();

private:
    class Pin;
    enum class TypePolicy { AcceptAll, RefuseAll, MajorTypeOnly, SubtypeOnly };

    RecordingSink();
    ~RecordingSink() override;

    bool AcceptsLocked(const AM_MEDIA_TYPE& mt) const;
    HRESULT ReceiveSample(IMediaSample* sample);
    void RecordLocked(SinkEvent event);
    // countsSamples: the condition may turn true on a sample, so samples must wake the waiter.
    template <typename Predicate>
    bool WaitUntil(DWORD timeoutMs, bool countsSamples, Predicate ready) const;

    std::unique_ptr<Pin> pin_;
    // Read before the lock is taken: the checksums are the costly part of a Receive.
    std::atomic<bool> computeChecksums_{true};

    mutable std::mutex lock_;
    mutable std::condition_variable changed_;

    FILTER_STATE state_ = State_Stopped;
    ComPtr<IReferenceClock> clock_;
    IFilterGraph* graph_ = nullptr;  // not counted: the graph owns its filters
    std::u16string name_;

    TypePolicy typePolicy_ = TypePolicy::AcceptAll;
    GUID acceptedMajorType_ = GUID_NULL;
    GUID acceptedSubtype_ = GUID_NULL;
    bool keepBytes_ = false;
    std::function<void(REFERENCE_TIME)> reportSampleTime_;
    // The last NewSegment's start and rate: what turns a sample's time into stream time.
    REFERENCE_TIME segmentStart_ = 0;
    double segmentRate_ = 1.0;
    std::optional<size_t> receiveLimit_;
    HRESULT limitRefusal_ = S_FALSE;
    bool held_ = false;
    bool recordHeld_ = false;
    size_t heldReceivers_ = 0;
    // Counted rather than flagged so a held Receive notices a flush that has already ended.
    std::uint64_t flushEpoch_ = 0;
    std::uint64_t stopEpoch_ = 0;

    bool flushing_ = false;
    bool endOfStream_ = false;
    SinkRecord events_;
    // Waiters whose condition counts samples. Without one, a sample wakes nobody: waking the
    // player's thread for each sample cost a context switch per packet.
    mutable size_t sampleWaiters_ = 0;
    size_t sampleCount_ = 0;
    std::uint64_t sampleBytes_ = 0;
    bool recordSamples_ = true;
    size_t endOfStreamCount_ = 0;
    size_t refusedCount_ = 0;

    ComPtr<IPin> connectedTo_;
    CMediaType connectionType_;
    ComPtr<IMemAllocator> allocator_;
};

}  // namespace vmx::host
