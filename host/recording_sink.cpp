#include "host/recording_sink.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <new>
#include <string_view>

#include <zlib.h>

#include "host/enumerators.h"

namespace vmx::host {

namespace {

constexpr GUID CLSID_RecordingSink = {0xc60a8b5a, 0x1b02, 0x4505, {0xad, 0x72, 0xc6, 0xd0, 0x80, 0x61, 0x04, 0x2f}};

constexpr std::u16string_view kPinName = u"In";

}  // namespace

std::uint64_t Fnv1a64(std::span<const BYTE> bytes)
{
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (BYTE byte : bytes) {
        hash ^= byte;
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

std::uint32_t Adler32(std::span<const BYTE> bytes)
{
    uLong sum = adler32(0L, Z_NULL, 0);
    // zlib takes a 32-bit length; a span may be longer.
    while (!bytes.empty()) {
        const size_t chunk = std::min<size_t>(bytes.size(), 1u << 30);
        sum = adler32(sum, bytes.data(), static_cast<uInt>(chunk));
        bytes = bytes.subspan(chunk);
    }
    return static_cast<std::uint32_t>(sum);
}

std::uint64_t NextArrival()
{
    static std::atomic<std::uint64_t> arrivals{0};
    return ++arrivals;
}

// ---- The input pin: a COM face over the sink's state, sharing the sink's reference count ----

class RecordingSink::Pin final : public IPin, public IMemInputPin {
public:
    explicit Pin(RecordingSink& sink) : sink_(sink) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IPin)
            *ppv = static_cast<IPin*>(this);
        else if (riid == IID_IMemInputPin)
            *ppv = static_cast<IMemInputPin*>(this);
        else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return sink_.AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return sink_.Release(); }

    // An input pin only answers connections.
    STDMETHODIMP Connect(IPin*, const AM_MEDIA_TYPE*) override { return VFW_E_INVALID_DIRECTION; }

    STDMETHODIMP ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* mt) override
    {
        if (!connector || !mt)
            return E_POINTER;
        PIN_DIRECTION direction = PINDIR_INPUT;
        HRESULT hr = connector->QueryDirection(&direction);
        if (FAILED(hr))
            return hr;
        std::lock_guard lock(sink_.lock_);
        if (sink_.connectedTo_)
            return VFW_E_ALREADY_CONNECTED;
        if (direction != PINDIR_OUTPUT)
            return VFW_E_INVALID_DIRECTION;
        if (sink_.state_ != State_Stopped)
            return VFW_E_NOT_STOPPED;
        if (!sink_.AcceptsLocked(*mt))
            return VFW_E_TYPE_NOT_ACCEPTED;
        CMediaType type(*mt);
        if (mt->cbFormat != 0 && mt->pbFormat && !type.pbFormat)
            return E_OUTOFMEMORY;
        sink_.connectedTo_ = ComPtr<IPin>(connector);
        sink_.connectionType_ = std::move(type);
        return S_OK;
    }

    STDMETHODIMP Disconnect() override
    {
        // Released after the lock: the peer's last reference may go with them.
        ComPtr<IPin> peer;
        ComPtr<IMemAllocator> allocator;
        std::lock_guard lock(sink_.lock_);
        if (sink_.state_ != State_Stopped)
            return VFW_E_NOT_STOPPED;
        if (!sink_.connectedTo_)
            return S_FALSE;
        peer = std::move(sink_.connectedTo_);
        allocator = std::move(sink_.allocator_);
        sink_.connectionType_ = CMediaType();
        return S_OK;
    }

    STDMETHODIMP ConnectedTo(IPin** pin) override
    {
        if (!pin)
            return E_POINTER;
        std::lock_guard lock(sink_.lock_);
        *pin = sink_.connectedTo_.Get();
        if (!*pin)
            return VFW_E_NOT_CONNECTED;
        (*pin)->AddRef();
        return S_OK;
    }

    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE* mt) override
    {
        if (!mt)
            return E_POINTER;
        std::lock_guard lock(sink_.lock_);
        if (!sink_.connectedTo_) {
            *mt = AM_MEDIA_TYPE{};
            return VFW_E_NOT_CONNECTED;
        }
        return CopyMediaType(mt, &sink_.connectionType_);
    }

    STDMETHODIMP QueryPinInfo(PIN_INFO* info) override
    {
        if (!info)
            return E_POINTER;
        info->pFilter = &sink_;
        sink_.AddRef();
        info->dir = PINDIR_INPUT;
        std::fill(std::begin(info->achName), std::end(info->achName), WCHAR{0});
        std::copy(kPinName.begin(), kPinName.end(), info->achName);
        return S_OK;
    }

    STDMETHODIMP QueryDirection(PIN_DIRECTION* direction) override
    {
        if (!direction)
            return E_POINTER;
        *direction = PINDIR_INPUT;
        return S_OK;
    }

    STDMETHODIMP QueryId(LPWSTR* id) override
    {
        if (!id)
            return E_POINTER;
        *id = static_cast<LPWSTR>(CoTaskMemAlloc((kPinName.size() + 1) * sizeof(WCHAR)));
        if (!*id)
            return E_OUTOFMEMORY;
        std::copy(kPinName.begin(), kPinName.end(), *id);
        (*id)[kPinName.size()] = 0;
        return S_OK;
    }

    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE* mt) override
    {
        if (!mt)
            return E_POINTER;
        std::lock_guard lock(sink_.lock_);
        return sink_.AcceptsLocked(*mt) ? S_OK : S_FALSE;
    }

    // No preferences, so the output pin proposes its own types.
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** types) override
    {
        if (!types)
            return E_POINTER;
        *types = MediaTypeEnumerator::Create({}).Detach();
        return *types ? S_OK : E_OUTOFMEMORY;
    }

    STDMETHODIMP QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }

    STDMETHODIMP EndOfStream() override
    {
        std::lock_guard lock(sink_.lock_);
        if (!sink_.flushing_)
            sink_.endOfStream_ = true;
        sink_.RecordLocked(SinkEvent{.kind = SinkEvent::Kind::EndOfStream});
        return S_OK;
    }

    STDMETHODIMP BeginFlush() override
    {
        std::lock_guard lock(sink_.lock_);
        sink_.flushing_ = true;
        sink_.endOfStream_ = false;
        ++sink_.flushEpoch_;
        sink_.RecordLocked(SinkEvent{.kind = SinkEvent::Kind::BeginFlush});
        return S_OK;
    }

    STDMETHODIMP EndFlush() override
    {
        std::lock_guard lock(sink_.lock_);
        sink_.flushing_ = false;
        sink_.RecordLocked(SinkEvent{.kind = SinkEvent::Kind::EndFlush});
        return S_OK;
    }

    STDMETHODIMP NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override
    {
        std::lock_guard lock(sink_.lock_);
        sink_.segmentStart_ = start;
        sink_.segmentRate_ = rate;
        sink_.RecordLocked(SinkEvent{.kind = SinkEvent::Kind::NewSegment,
                                     .start = start,
                                     .stop = stop,
                                     .startValid = true,
                                     .stopValid = true,
                                     .rate = rate});
        return S_OK;
    }

    // The output pin then creates the platform's memory allocator.
    STDMETHODIMP GetAllocator(IMemAllocator** allocator) override
    {
        if (!allocator)
            return E_POINTER;
        *allocator = nullptr;
        return VFW_E_NO_ALLOCATOR;
    }

    STDMETHODIMP NotifyAllocator(IMemAllocator* allocator, BOOL) override
    {
        if (!allocator)
            return E_POINTER;
        ComPtr<IMemAllocator> previous(allocator);
        std::lock_guard lock(sink_.lock_);
        std::swap(previous, sink_.allocator_);
        return S_OK;
    }

    STDMETHODIMP GetAllocatorRequirements(ALLOCATOR_PROPERTIES*) override { return E_NOTIMPL; }

    STDMETHODIMP Receive(IMediaSample* sample) override { return sink_.ReceiveSample(sample); }

    STDMETHODIMP ReceiveMultiple(IMediaSample** samples, LONG count, LONG* processed) override
    {
        if (!samples || !processed)
            return E_POINTER;
        *processed = 0;
        HRESULT hr = S_OK;
        while (*processed < count && hr == S_OK) {
            hr = sink_.ReceiveSample(samples[*processed]);
            if (hr == S_OK)
                ++*processed;
        }
        return hr;
    }

    // A hold can block any Receive.
    STDMETHODIMP ReceiveCanBlock() override { return S_OK; }

private:
    RecordingSink& sink_;
};

// ---- RecordingSink ----

RecordingSink::RecordingSink() : pin_(std::make_unique<Pin>(*this)) {}

RecordingSink::~RecordingSink() = default;

ComPtr<RecordingSink> RecordingSink::Create() { return ComPtr<RecordingSink>(new (std::nothrow) RecordingSink()); }

IPin* RecordingSink::InputPin() const { return pin_.get(); }

STDMETHODIMP RecordingSink::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IPersist || riid == IID_IMediaFilter || riid == IID_IBaseFilter)
        return Answer(ppv, static_cast<IBaseFilter*>(this));
    return NoInterface(ppv);
}

STDMETHODIMP RecordingSink::GetClassID(CLSID* clsid)
{
    if (!clsid)
        return E_POINTER;
    *clsid = CLSID_RecordingSink;
    return S_OK;
}

STDMETHODIMP RecordingSink::Stop()
{
    std::lock_guard lock(lock_);
    state_ = State_Stopped;
    // A renderer forgets a pending flush and end of stream when it stops.
    flushing_ = false;
    endOfStream_ = false;
    ++stopEpoch_;
    changed_.notify_all();
    return S_OK;
}

STDMETHODIMP RecordingSink::Pause()
{
    std::lock_guard lock(lock_);
    state_ = State_Paused;
    changed_.notify_all();
    return S_OK;
}

STDMETHODIMP RecordingSink::Run(REFERENCE_TIME)
{
    std::lock_guard lock(lock_);
    state_ = State_Running;
    changed_.notify_all();
    return S_OK;
}

STDMETHODIMP RecordingSink::GetState(DWORD, FILTER_STATE* state)
{
    if (!state)
        return E_POINTER;
    std::lock_guard lock(lock_);
    *state = state_;
    return S_OK;
}

STDMETHODIMP RecordingSink::SetSyncSource(IReferenceClock* clock)
{
    ComPtr<IReferenceClock> replaced(clock);
    std::lock_guard lock(lock_);
    std::swap(replaced, clock_);
    return S_OK;
}

STDMETHODIMP RecordingSink::GetSyncSource(IReferenceClock** clock)
{
    if (!clock)
        return E_POINTER;
    std::lock_guard lock(lock_);
    *clock = clock_.Get();
    if (*clock)
        (*clock)->AddRef();
    return S_OK;
}

STDMETHODIMP RecordingSink::EnumPins(IEnumPins** pins)
{
    if (!pins)
        return E_POINTER;
    *pins = PinEnumerator::Create({ComPtr<IPin>(pin_.get())}).Detach();
    return *pins ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP RecordingSink::FindPin(LPCWSTR id, IPin** pin)
{
    if (!id || !pin)
        return E_POINTER;
    if (std::u16string_view(id) != kPinName) {
        *pin = nullptr;
        return VFW_E_NOT_FOUND;
    }
    *pin = pin_.get();
    (*pin)->AddRef();
    return S_OK;
}

STDMETHODIMP RecordingSink::QueryFilterInfo(FILTER_INFO* info)
{
    if (!info)
        return E_POINTER;
    std::lock_guard lock(lock_);
    std::fill(std::begin(info->achName), std::end(info->achName), WCHAR{0});
    size_t length = std::min(name_.size(), std::size(info->achName) - 1);
    std::copy_n(name_.begin(), length, info->achName);
    info->pGraph = graph_;
    if (graph_)
        graph_->AddRef();
    return S_OK;
}

STDMETHODIMP RecordingSink::JoinFilterGraph(IFilterGraph* graph, LPCWSTR name)
{
    std::function<void(REFERENCE_TIME)> dropped;  // destroyed after the lock
    std::lock_guard lock(lock_);
    graph_ = graph;
    name_ = graph && name ? std::u16string(name) : std::u16string();
    // The report goes to the graph we leave, which may be going away.
    if (!graph)
        std::swap(dropped, reportSampleTime_);
    return S_OK;
}

STDMETHODIMP RecordingSink::QueryVendorInfo(LPWSTR*) { return E_NOTIMPL; }

bool RecordingSink::AcceptsLocked(const AM_MEDIA_TYPE& mt) const
{
    switch (typePolicy_) {
    case TypePolicy::AcceptAll:
        return true;
    case TypePolicy::RefuseAll:
        return false;
    case TypePolicy::MajorTypeOnly:
        return mt.majortype == acceptedMajorType_;
    case TypePolicy::SubtypeOnly:
        return mt.subtype == acceptedSubtype_;
    }
    return false;
}

HRESULT RecordingSink::ReceiveSample(IMediaSample* sample)
{
    if (!sample)
        return E_POINTER;

    // Read the sample before taking the lock; the caller keeps it unchanged until we return.
    SinkEvent event{.kind = SinkEvent::Kind::Sample};
    REFERENCE_TIME start = 0;
    REFERENCE_TIME stop = 0;
    HRESULT timeResult = sample->GetTime(&start, &stop);
    if (timeResult == S_OK || timeResult == VFW_S_NO_STOP_TIME) {
        event.start = start;
        event.startValid = true;
        event.stopValid = timeResult == S_OK;
        event.stop = event.stopValid ? stop : 0;
    }
    event.syncPoint = sample->IsSyncPoint() == S_OK;
    event.discontinuity = sample->IsDiscontinuity() == S_OK;
    event.preroll = sample->IsPreroll() == S_OK;
    event.length = sample->GetActualDataLength();
    BYTE* data = nullptr;
    HRESULT pointerResult = sample->GetPointer(&data);
    const bool readable = event.length >= 0 && event.length <= sample->GetSize()
        && (event.length == 0 || (SUCCEEDED(pointerResult) && data));
    std::span<const BYTE> bytes;
    if (readable)
        bytes = std::span<const BYTE>(data, static_cast<size_t>(event.length));
    if (readable && computeChecksums_) {
        event.checksum = Fnv1a64(bytes);
        event.adler32 = Adler32(bytes);
    }
    AM_MEDIA_TYPE* carried = nullptr;
    if (sample->GetMediaType(&carried) == S_OK && carried) {
        event.mediaType = std::make_shared<const CMediaType>(*carried);
        DeleteMediaType(carried);
    }

    std::unique_lock lock(lock_);
    auto refuse = [this](HRESULT hr) {
        ++refusedCount_;
        return hr;
    };
    // A length outside the buffer is the sending pin's bug; refusing it makes the bug visible.
    if (!readable)
        return refuse(E_INVALIDARG);
    if (state_ == State_Stopped)
        return refuse(VFW_E_WRONG_STATE);
    if (flushing_)
        return refuse(S_FALSE);
    if (endOfStream_)
        return refuse(VFW_E_WRONG_STATE);
    auto recordSample = [&] {
        if (keepBytes_)
            event.bytes.assign(bytes.begin(), bytes.end());
        if (reportSampleTime_ && event.startValid) {
            // Sample times run at the segment's rate from its start; the product is media time.
            const REFERENCE_TIME offset = segmentRate_ == 1.0
                ? event.start
                : static_cast<REFERENCE_TIME>(std::llround(static_cast<double>(event.start) * segmentRate_));
            reportSampleTime_(segmentStart_ + offset);
        }
        RecordLocked(std::move(event));
    };
    if (held_) {
        const std::uint64_t flushAtStart = flushEpoch_;
        const std::uint64_t stopAtStart = stopEpoch_;
        // A paused renderer has the sample it holds: it counts as received even when a flush
        // or a stop then frees it.
        const bool recorded = recordHeld_;
        if (recorded)
            recordSample();
        ++heldReceivers_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return !held_ || flushEpoch_ != flushAtStart || stopEpoch_ != stopAtStart; });
        --heldReceivers_;
        if (stopEpoch_ != stopAtStart)
            return recorded ? VFW_E_WRONG_STATE : refuse(VFW_E_WRONG_STATE);
        if (flushEpoch_ != flushAtStart)
            return recorded ? S_FALSE : refuse(S_FALSE);
        if (recorded)
            return S_OK;
    }
    if (receiveLimit_ && sampleCount_ >= *receiveLimit_)
        return refuse(limitRefusal_);
    recordSample();
    return S_OK;
}

void RecordingSink::RecordLocked(SinkEvent event)
{
    if (event.kind == SinkEvent::Kind::Sample) {
        ++sampleCount_;
        sampleBytes_ += static_cast<std::uint64_t>(std::max<LONG>(event.length, 0));
        if (!recordSamples_) {
            if (sampleWaiters_ > 0)
                changed_.notify_all();
            return;
        }
    } else if (event.kind == SinkEvent::Kind::EndOfStream) {
        ++endOfStreamCount_;
    }
    const bool wakes = event.kind != SinkEvent::Kind::Sample || sampleWaiters_ > 0;
    event.arrival = NextArrival();
    events_.push_back(std::move(event));
    if (wakes)
        changed_.notify_all();
}

template <typename Predicate>
bool RecordingSink::WaitUntil(DWORD timeoutMs, bool countsSamples, Predicate ready) const
{
    std::unique_lock lock(lock_);
    if (countsSamples)
        ++sampleWaiters_;
    bool met = true;
    if (timeoutMs == INFINITE)
        changed_.wait(lock, ready);
    else
        met = changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
    if (countsSamples)
        --sampleWaiters_;
    return met;
}

void RecordingSink::AcceptAllTypes()
{
    std::lock_guard lock(lock_);
    typePolicy_ = TypePolicy::AcceptAll;
}

void RecordingSink::RefuseAllTypes()
{
    std::lock_guard lock(lock_);
    typePolicy_ = TypePolicy::RefuseAll;
}

void RecordingSink::AcceptOnlyMajorType(const GUID& majorType)
{
    std::lock_guard lock(lock_);
    typePolicy_ = TypePolicy::MajorTypeOnly;
    acceptedMajorType_ = majorType;
}

void RecordingSink::AcceptOnlySubtype(const GUID& subtype)
{
    std::lock_guard lock(lock_);
    typePolicy_ = TypePolicy::SubtypeOnly;
    acceptedSubtype_ = subtype;
}

void RecordingSink::KeepSampleBytes(bool keep)
{
    std::lock_guard lock(lock_);
    keepBytes_ = keep;
}

void RecordingSink::ComputeChecksums(bool compute) { computeChecksums_ = compute; }

void RecordingSink::ReportSampleTimesTo(std::function<void(REFERENCE_TIME)> report)
{
    std::lock_guard lock(lock_);
    std::swap(report, reportSampleTime_);
}

void RecordingSink::LimitReceive(size_t acceptedSamples, HRESULT refusal)
{
    std::lock_guard lock(lock_);
    receiveLimit_ = acceptedSamples;
    limitRefusal_ = refusal;
}

void RecordingSink::RemoveReceiveLimit()
{
    std::lock_guard lock(lock_);
    receiveLimit_.reset();
}

void RecordingSink::HoldReceive(bool recordHeldSample)
{
    std::lock_guard lock(lock_);
    held_ = true;
    recordHeld_ = recordHeldSample;
}

void RecordingSink::ReleaseHold()
{
    std::lock_guard lock(lock_);
    held_ = false;
    changed_.notify_all();
}

std::vector<SinkEvent> RecordingSink::Events() const
{
    std::lock_guard lock(lock_);
    return std::vector<SinkEvent>(events_.begin(), events_.end());
}

SinkRecord RecordingSink::TakeEvents()
{
    SinkRecord taken;
    {
        std::lock_guard lock(lock_);
        taken.swap(events_);
    }
    Reset();
    return taken;
}

std::vector<SinkEvent> RecordingSink::Samples() const
{
    std::lock_guard lock(lock_);
    std::vector<SinkEvent> samples;
    samples.reserve(sampleCount_);
    std::copy_if(events_.begin(), events_.end(), std::back_inserter(samples),
                 [](const SinkEvent& event) { return event.kind == SinkEvent::Kind::Sample; });
    return samples;
}

void RecordingSink::RecordSamples(bool record)
{
    std::lock_guard lock(lock_);
    recordSamples_ = record;
}

std::uint64_t RecordingSink::SampleBytes() const
{
    std::lock_guard lock(lock_);
    return sampleBytes_;
}

size_t RecordingSink::SampleCount() const
{
    std::lock_guard lock(lock_);
    return sampleCount_;
}

size_t RecordingSink::EndOfStreamCount() const
{
    std::lock_guard lock(lock_);
    return endOfStreamCount_;
}

size_t RecordingSink::RefusedSampleCount() const
{
    std::lock_guard lock(lock_);
    return refusedCount_;
}

bool RecordingSink::ReachedEndOfStream() const
{
    std::lock_guard lock(lock_);
    return endOfStream_;
}

bool RecordingSink::WaitForEndOfStream(DWORD timeoutMs) const
{
    return WaitUntil(timeoutMs, false, [this] { return endOfStream_; });
}

bool RecordingSink::WaitForSamples(size_t count, DWORD timeoutMs) const
{
    return WaitUntil(timeoutMs, true, [this, count] { return sampleCount_ >= count; });
}

bool RecordingSink::WaitForEndOfStreamOrSamples(size_t count, DWORD timeoutMs) const
{
    return WaitUntil(timeoutMs, true, [this, count] { return endOfStream_ || sampleCount_ >= count; });
}

bool RecordingSink::WaitForHeldReceive(DWORD timeoutMs) const
{
    return WaitUntil(timeoutMs, false, [this] { return heldReceivers_ > 0; });
}

bool RecordingSink::IsConnected() const
{
    std::lock_guard lock(lock_);
    return static_cast<bool>(connectedTo_);
}

CMediaType RecordingSink::ConnectionType() const
{
    std::lock_guard lock(lock_);
    return connectionType_;
}

ComPtr<IMemAllocator> RecordingSink::Allocator() const
{
    std::lock_guard lock(lock_);
    return allocator_;
}

void RecordingSink::Reset()
{
    std::lock_guard lock(lock_);
    events_.clear();
    sampleCount_ = 0;
    sampleBytes_ = 0;
    endOfStreamCount_ = 0;
    refusedCount_ = 0;
    endOfStream_ = false;
    changed_.notify_all();
}

}  // namespace vmx::host
