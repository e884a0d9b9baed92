// The host pieces every filter test relies on: allocator, recording sink, graph and driver.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string_view>
#include <thread>
#include <vector>

#include "host/enumerators.h"
#include "host/file_player.h"
#include "host/graph_driver.h"
#include "host/memory_allocator.h"
#include "host/source_factory.h"
#include "tests/test_demuxer.h"

namespace {

using namespace vmx::host;
using namespace std::chrono_literals;

constexpr DWORD kPatience = 5000;  // only ever waited out when something is broken
constexpr REFERENCE_TIME kFrame = 400000;

std::vector<BYTE> SampleBytes(size_t pin, size_t sample)
{
    std::vector<BYTE> bytes(4 + sample);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<BYTE>(pin * 100 + sample * 7 + i);
    return bytes;
}

class FakeSource;

// An output pin that connects and pushes the way a real one does, or an inert input pin.
class FakePin final : public IPin {
public:
    FakePin(FakeSource& filter, PIN_DIRECTION direction, size_t index)
        : filter_(filter), direction_(direction), index_(index)
    {
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid != IID_IUnknown && riid != IID_IPin) {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        *ppv = static_cast<IPin*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP Connect(IPin* receiver, const AM_MEDIA_TYPE* mt) override
    {
        if (direction_ != PINDIR_OUTPUT)
            return VFW_E_INVALID_DIRECTION;
        CMediaType video(&MEDIATYPE_Video);
        HRESULT hr = receiver->ReceiveConnection(this, mt ? mt : &video);
        if (FAILED(hr))
            return hr;
        ComPtr<IMemInputPin> input;
        ComPtr<IMemAllocator> allocator;
        ALLOCATOR_PROPERTIES request{2, 64, 1, 0}, actual{};
        hr = ComPtr<IPin>(receiver).QueryInterface(IID_IMemInputPin, &input);
        if (SUCCEEDED(hr) && FAILED(input->GetAllocator(allocator.Receive())))
            hr = CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                  allocator.ReceiveVoid());
        if (SUCCEEDED(hr))
            hr = allocator->SetProperties(&request, &actual);
        if (SUCCEEDED(hr))
            hr = input->NotifyAllocator(allocator.Get(), FALSE);
        if (FAILED(hr)) {
            receiver->Disconnect();
            return hr;
        }
        peer_ = ComPtr<IPin>(receiver);
        input_ = input;
        allocator_ = allocator;
        return S_OK;
    }
    STDMETHODIMP ReceiveConnection(IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP Disconnect() override
    {
        if (!peer_)
            return S_FALSE;
        peer_.Reset();
        input_.Reset();
        allocator_.Reset();
        return S_OK;
    }
    STDMETHODIMP ConnectedTo(IPin**) override { return E_NOTIMPL; }
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryPinInfo(PIN_INFO*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryDirection(PIN_DIRECTION* direction) override
    {
        *direction = direction_;
        return S_OK;
    }
    STDMETHODIMP QueryId(LPWSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE*) override { return S_OK; }
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes**) override { return E_NOTIMPL; }
    STDMETHODIMP QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP EndOfStream() override { return E_UNEXPECTED; }
    STDMETHODIMP BeginFlush() override { return E_UNEXPECTED; }
    STDMETHODIMP EndFlush() override { return E_UNEXPECTED; }
    STDMETHODIMP NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return E_UNEXPECTED; }

    void Start(size_t samples);
    void Finish()
    {
        if (allocator_)
            allocator_->Decommit();
        if (worker_.joinable())
            worker_.join();
    }

private:
    void Push(size_t samples);

    FakeSource& filter_;
    const PIN_DIRECTION direction_;
    const size_t index_;
    ComPtr<IPin> peer_;
    ComPtr<IMemInputPin> input_;
    ComPtr<IMemAllocator> allocator_;
    std::thread worker_;
};

class FakeSource final : public KRefCounted<IBaseFilter> {
public:
    static ComPtr<FakeSource> Create(std::vector<PIN_DIRECTION> directions, size_t samplesPerPin)
    {
        return ComPtr<FakeSource>(new FakeSource(std::move(directions), samplesPerPin));
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid != IID_IUnknown && riid != IID_IBaseFilter && riid != IID_IMediaFilter && riid != IID_IPersist)
            return NoInterface(ppv);
        return Answer(ppv, static_cast<IBaseFilter*>(this));
    }

    STDMETHODIMP GetClassID(CLSID*) override { return E_NOTIMPL; }
    STDMETHODIMP Stop() override
    {
        for (auto& pin : pins_)
            pin->Finish();
        state_ = State_Stopped;
        return S_OK;
    }
    STDMETHODIMP Pause() override
    {
        if (state_ == State_Stopped)
            for (auto& pin : pins_)
                pin->Start(samplesPerPin_);
        state_ = State_Paused;
        return S_OK;
    }
    STDMETHODIMP Run(REFERENCE_TIME) override
    {
        if (state_ == State_Stopped)
            Pause();
        state_ = State_Running;
        return S_OK;
    }
    STDMETHODIMP GetState(DWORD, FILTER_STATE* state) override
    {
        *state = state_;
        return S_OK;
    }
    STDMETHODIMP SetSyncSource(IReferenceClock*) override { return S_OK; }
    STDMETHODIMP GetSyncSource(IReferenceClock**) override { return E_NOTIMPL; }
    STDMETHODIMP EnumPins(IEnumPins** pins) override
    {
        std::vector<ComPtr<IPin>> list;
        for (auto& pin : pins_)
            list.emplace_back(pin.get());
        *pins = PinEnumerator::Create(std::move(list)).Detach();
        return S_OK;
    }
    STDMETHODIMP FindPin(LPCWSTR, IPin**) override { return E_NOTIMPL; }
    STDMETHODIMP QueryFilterInfo(FILTER_INFO*) override { return E_NOTIMPL; }
    STDMETHODIMP JoinFilterGraph(IFilterGraph* graph, LPCWSTR) override
    {
        graph_ = graph;
        return S_OK;
    }
    STDMETHODIMP QueryVendorInfo(LPWSTR*) override { return E_NOTIMPL; }

    // As our filters do: the graph pointer is uncounted and events go through IMediaEventSink.
    void NotifyGraph(LONG code, LONG_PTR param)
    {
        ComPtr<IMediaEventSink> events;
        if (graph_ && SUCCEEDED(graph_->QueryInterface(IID_IMediaEventSink, events.ReceiveVoid())))
            events->Notify(code, param, 0);
    }
    FakePin* Pin(size_t index) { return pins_[index].get(); }

private:
    FakeSource(std::vector<PIN_DIRECTION> directions, size_t samplesPerPin) : samplesPerPin_(samplesPerPin)
    {
        for (PIN_DIRECTION direction : directions)
            pins_.push_back(std::make_unique<FakePin>(*this, direction, pins_.size()));
    }
    ~FakeSource() override { Stop(); }

    std::vector<std::unique_ptr<FakePin>> pins_;
    IFilterGraph* graph_ = nullptr;
    FILTER_STATE state_ = State_Stopped;
    const size_t samplesPerPin_;
};

STDMETHODIMP_(ULONG) FakePin::AddRef() { return filter_.AddRef(); }
STDMETHODIMP_(ULONG) FakePin::Release() { return filter_.Release(); }

void FakePin::Start(size_t samples)
{
    if (allocator_ && SUCCEEDED(allocator_->Commit()))
        worker_ = std::thread([this, samples] { Push(samples); });
}

void FakePin::Push(size_t samples)
{
    peer_->NewSegment(0, REFERENCE_TIME(samples) * kFrame, 1.0);
    for (size_t i = 0; i < samples; ++i) {
        ComPtr<IMediaSample> sample;
        if (FAILED(allocator_->GetBuffer(sample.Receive(), nullptr, nullptr, 0)))
            return;
        std::vector<BYTE> bytes = SampleBytes(index_, i);
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        std::memcpy(data, bytes.data(), bytes.size());
        sample->SetActualDataLength(LONG(bytes.size()));
        REFERENCE_TIME start = REFERENCE_TIME(i) * kFrame, stop = start + kFrame;
        sample->SetTime(&start, &stop);
        sample->SetSyncPoint(i == 0);
        if (input_->Receive(sample.Get()) != S_OK)
            return;
    }
    peer_->EndOfStream();
    filter_.NotifyGraph(EC_COMPLETE, LONG_PTR(index_));
}

ComPtr<MemoryAllocator> CommittedAllocator(LONG buffers, LONG size)
{
    ComPtr<MemoryAllocator> allocator = MemoryAllocator::Create();
    ALLOCATOR_PROPERTIES request{buffers, size, 1, 0}, actual{};
    EXPECT_EQ(allocator->SetProperties(&request, &actual), S_OK);
    EXPECT_EQ(allocator->Commit(), S_OK);
    return allocator;
}

ComPtr<IMediaSample> TakeSample(IMemAllocator* allocator)
{
    ComPtr<IMediaSample> sample;
    EXPECT_EQ(allocator->GetBuffer(sample.Receive(), nullptr, nullptr, 0), S_OK);
    return sample;
}

ComPtr<IMediaSample> FilledSample(IMemAllocator* allocator, std::string_view text)
{
    ComPtr<IMediaSample> sample = TakeSample(allocator);
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    std::memcpy(data, text.data(), text.size());
    sample->SetActualDataLength(LONG(text.size()));
    return sample;
}

ComPtr<IMemInputPin> InputOf(RecordingSink* sink)
{
    ComPtr<IMemInputPin> input;
    EXPECT_EQ(ComPtr<IPin>(sink->InputPin()).QueryInterface(IID_IMemInputPin, &input), S_OK);
    return input;
}

std::span<const BYTE> Bytes(std::string_view text) { return {reinterpret_cast<const BYTE*>(text.data()), text.size()}; }

// ---- MemoryAllocator ----

TEST(MemoryAllocator, PropertiesAreCheckedAndFixedOnlyWhileDecommitted)
{
    ComPtr<MemoryAllocator> allocator = MemoryAllocator::Create();
    EXPECT_EQ(allocator->Commit(), VFW_E_SIZENOTSET);

    ALLOCATOR_PROPERTIES actual{};
    ALLOCATOR_PROPERTIES badAlign{2, 100, 3, 0}, negative{2, -1, 1, 0};
    EXPECT_EQ(allocator->SetProperties(&badAlign, &actual), VFW_E_BADALIGN);
    EXPECT_EQ(allocator->SetProperties(&negative, &actual), E_INVALIDARG);

    ALLOCATOR_PROPERTIES request{0, 10, 0, 3};
    ASSERT_EQ(allocator->SetProperties(&request, &actual), S_OK);
    EXPECT_EQ(actual.cBuffers, 1);
    EXPECT_EQ(actual.cbBuffer, 10);
    EXPECT_EQ(actual.cbAlign, 1);
    EXPECT_EQ(actual.cbPrefix, 3);

    ALLOCATOR_PROPERTIES aligned{1, 10, 64, 3};
    ASSERT_EQ(allocator->SetProperties(&aligned, &actual), S_OK);
    ASSERT_EQ(allocator->Commit(), S_OK);
    EXPECT_EQ(allocator->SetProperties(&aligned, &actual), VFW_E_ALREADY_COMMITTED);
    ComPtr<IMediaSample> sample = TakeSample(allocator.Get());
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(data) % 64, 0u);
    EXPECT_EQ(sample->GetSize(), 10);

    allocator->Decommit();
    EXPECT_EQ(allocator->SetProperties(&aligned, &actual), VFW_E_BUFFERS_OUTSTANDING);
    sample.Reset();
    ALLOCATOR_PROPERTIES absurd{1 << 20, 1 << 20, 1, 0};
    EXPECT_EQ(allocator->SetProperties(&absurd, &actual), S_OK);
    EXPECT_EQ(allocator->Commit(), E_OUTOFMEMORY);
}

TEST(MemoryAllocator, GetBufferWaitsForASampleToComeBackCleared)
{
    ComPtr<MemoryAllocator> allocator = CommittedAllocator(1, 32);
    ComPtr<IMediaSample> first = TakeSample(allocator.Get());
    REFERENCE_TIME start = 5, stop = 9;
    first->SetTime(&start, &stop);
    first->SetSyncPoint(TRUE);
    first->SetDiscontinuity(TRUE);
    first->SetActualDataLength(3);
    CMediaType type(&MEDIATYPE_Audio);
    first->SetMediaType(&type);
    IMediaSample* firstPointer = first.Get();

    auto waiting = std::async(std::launch::async, [&] { return TakeSample(allocator.Get()); });
    EXPECT_EQ(waiting.wait_for(50ms), std::future_status::timeout);
    first.Reset();
    bool woke = waiting.wait_for(std::chrono::milliseconds(kPatience)) == std::future_status::ready;
    if (!woke)
        allocator->Decommit();  // frees the waiter so a failure does not hang the suite
    ASSERT_TRUE(woke);
    ComPtr<IMediaSample> second = waiting.get();
    ASSERT_EQ(second.Get(), firstPointer);

    EXPECT_EQ(second->GetTime(&start, &stop), VFW_E_SAMPLE_TIME_NOT_SET);
    EXPECT_EQ(second->IsSyncPoint(), S_FALSE);
    EXPECT_EQ(second->IsDiscontinuity(), S_FALSE);
    EXPECT_EQ(second->GetActualDataLength(), 32);
    AM_MEDIA_TYPE* carried = &type;
    EXPECT_EQ(second->GetMediaType(&carried), S_FALSE);
    EXPECT_EQ(carried, nullptr);
}

TEST(MemoryAllocator, DecommitWakesABlockedGetBufferAndOutstandingSamplesStillReturn)
{
    ComPtr<MemoryAllocator> allocator = CommittedAllocator(1, 16);
    ComPtr<IMediaSample> held = TakeSample(allocator.Get());

    auto waiting = std::async(std::launch::async, [&] {
        ComPtr<IMediaSample> sample;
        return allocator->GetBuffer(sample.Receive(), nullptr, nullptr, 0);
    });
    EXPECT_EQ(waiting.wait_for(50ms), std::future_status::timeout);
    EXPECT_EQ(allocator->Decommit(), S_OK);
    bool woke = waiting.wait_for(std::chrono::milliseconds(kPatience)) == std::future_status::ready;
    if (!woke)
        held.Reset();
    ASSERT_TRUE(woke);
    EXPECT_EQ(waiting.get(), VFW_E_NOT_COMMITTED);

    // The outstanding buffer stays usable until it is released.
    BYTE* data = nullptr;
    held->GetPointer(&data);
    std::memset(data, 0xAB, 16);
    EXPECT_EQ(allocator->OutstandingCount(), 1u);
    held.Reset();
    EXPECT_EQ(allocator->OutstandingCount(), 0u);

    ComPtr<IMediaSample> sample;
    EXPECT_EQ(allocator->GetBuffer(sample.Receive(), nullptr, nullptr, 0), VFW_E_NOT_COMMITTED);
    ASSERT_EQ(allocator->Commit(), S_OK);
    EXPECT_EQ(allocator->GetBuffer(sample.Receive(), nullptr, nullptr, 0), S_OK);
}

TEST(MemoryAllocator, SampleKeepsTimesLengthAndItsOwnCopyOfTheMediaType)
{
    ComPtr<MemoryAllocator> allocator = CommittedAllocator(1, 8);
    ComPtr<IMediaSample> sample = TakeSample(allocator.Get());
    REFERENCE_TIME start = 100, stop = 0;
    EXPECT_EQ(sample->GetTime(&start, &stop), VFW_E_SAMPLE_TIME_NOT_SET);
    sample->SetTime(&start, nullptr);
    EXPECT_EQ(sample->GetTime(&start, &stop), VFW_S_NO_STOP_TIME);
    EXPECT_EQ(stop, 101);
    stop = 300;
    sample->SetTime(&start, &stop);
    start = stop = 0;
    EXPECT_EQ(sample->GetTime(&start, &stop), S_OK);
    EXPECT_EQ(start, 100);
    EXPECT_EQ(stop, 300);

    EXPECT_TRUE(FAILED(sample->SetActualDataLength(9)));
    EXPECT_TRUE(FAILED(sample->SetActualDataLength(-1)));
    EXPECT_EQ(sample->GetActualDataLength(), 8);

    CMediaType type(&MEDIATYPE_Audio);
    const BYTE format[] = {1, 2, 3};
    type.SetFormat(format, 3);
    ASSERT_EQ(sample->SetMediaType(&type), S_OK);
    type.Format()[0] = 9;
    AM_MEDIA_TYPE* carried = nullptr;
    ASSERT_EQ(sample->GetMediaType(&carried), S_OK);
    ASSERT_NE(carried, nullptr);
    EXPECT_EQ(carried->majortype, MEDIATYPE_Audio);
    ASSERT_EQ(carried->cbFormat, 3u);
    EXPECT_EQ(carried->pbFormat[0], 1);
    DeleteMediaType(carried);
}

TEST(MemoryAllocator, ClassIsCreatableAfterRegisteringFromSeveralThreads)
{
    std::vector<std::future<HRESULT>> registrations;
    for (int i = 0; i < 4; ++i)
        registrations.push_back(std::async(std::launch::async, RegisterMemoryAllocatorClass));
    for (auto& registration : registrations)
        EXPECT_EQ(registration.get(), S_OK);

    ComPtr<IMemAllocator> allocator;
    ASSERT_EQ(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                               allocator.ReceiveVoid()),
              S_OK);
    ALLOCATOR_PROPERTIES request{1, 4, 1, 0}, actual{};
    EXPECT_EQ(allocator->SetProperties(&request, &actual), S_OK);
    EXPECT_EQ(allocator->Commit(), S_OK);

    ComPtr<IMemAllocator> aggregated;
    EXPECT_EQ(CoCreateInstance(CLSID_MemoryAllocator, allocator.Get(), CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                               aggregated.ReceiveVoid()),
              CLASS_E_NOAGGREGATION);
}

// ---- RecordingSink ----

TEST(RecordingSink, ChecksumIsFnv1a64)
{
    EXPECT_EQ(Fnv1a64({}), 0xcbf29ce484222325ULL);
    EXPECT_EQ(Fnv1a64(Bytes("a")), 0xaf63dc4c8601ec8cULL);
    EXPECT_EQ(Fnv1a64(Bytes("foobar")), 0x85944171f73967e8ULL);
}

TEST(RecordingSink, RecordsSamplesAndStreamEventsInOrder)
{
    ComPtr<RecordingSink> sink = RecordingSink::Create();
    sink->KeepSampleBytes(true);
    sink->Pause();
    ComPtr<MemoryAllocator> allocator = CommittedAllocator(3, 16);
    ComPtr<IMemInputPin> input = InputOf(sink.Get());
    IPin* pin = sink->InputPin();

    pin->NewSegment(10, 1000, 2.0);
    ComPtr<IMediaSample> timed = FilledSample(allocator.Get(), "abc");
    REFERENCE_TIME start = 10, stop = 20;
    timed->SetTime(&start, &stop);
    timed->SetSyncPoint(TRUE);
    ComPtr<IMediaSample> startOnly = FilledSample(allocator.Get(), "defg");
    start = 30;
    startOnly->SetTime(&start, nullptr);
    startOnly->SetDiscontinuity(TRUE);
    startOnly->SetPreroll(TRUE);
    CMediaType type(&MEDIATYPE_Audio);
    startOnly->SetMediaType(&type);
    ComPtr<IMediaSample> empty = FilledSample(allocator.Get(), "");
    EXPECT_EQ(input->Receive(timed.Get()), S_OK);
    EXPECT_EQ(input->Receive(startOnly.Get()), S_OK);
    EXPECT_EQ(input->Receive(empty.Get()), S_OK);
    pin->BeginFlush();
    EXPECT_EQ(input->Receive(timed.Get()), S_FALSE);
    pin->EndFlush();
    pin->EndOfStream();

    using Kind = SinkEvent::Kind;
    std::vector<SinkEvent> events = sink->Events();
    std::vector<Kind> kinds;
    for (const SinkEvent& event : events)
        kinds.push_back(event.kind);
    ASSERT_EQ(kinds, (std::vector<Kind>{Kind::NewSegment, Kind::Sample, Kind::Sample, Kind::Sample,
                                        Kind::BeginFlush, Kind::EndFlush, Kind::EndOfStream}));
    EXPECT_EQ(events[0].start, 10);
    EXPECT_EQ(events[0].stop, 1000);
    EXPECT_EQ(events[0].rate, 2.0);

    const SinkEvent& first = events[1];
    EXPECT_TRUE(first.startValid && first.stopValid && first.syncPoint);
    EXPECT_FALSE(first.discontinuity || first.preroll || first.mediaType);
    EXPECT_EQ(first.start, 10);
    EXPECT_EQ(first.stop, 20);
    EXPECT_EQ(first.length, 3);
    EXPECT_EQ(first.checksum, Fnv1a64(Bytes("abc")));
    EXPECT_EQ(first.bytes, (std::vector<BYTE>{'a', 'b', 'c'}));

    const SinkEvent& second = events[2];
    EXPECT_TRUE(second.startValid && second.discontinuity && second.preroll);
    EXPECT_FALSE(second.stopValid || second.syncPoint);
    EXPECT_EQ(second.start, 30);
    EXPECT_EQ(second.checksum, Fnv1a64(Bytes("defg")));
    ASSERT_TRUE(second.mediaType);
    EXPECT_EQ(second.mediaType->majortype, MEDIATYPE_Audio);

    const SinkEvent& third = events[3];
    EXPECT_FALSE(third.startValid || third.stopValid);
    EXPECT_EQ(third.length, 0);
    EXPECT_EQ(third.checksum, Fnv1a64({}));

    EXPECT_EQ(sink->SampleCount(), 3u);
    EXPECT_EQ(sink->RefusedSampleCount(), 1u);
    EXPECT_EQ(sink->EndOfStreamCount(), 1u);
    sink->Reset();
    EXPECT_TRUE(sink->Events().empty());
}

TEST(RecordingSink, RefusesSamplesWhenStoppedAndAfterEndOfStreamUntilAFlush)
{
    ComPtr<RecordingSink> sink = RecordingSink::Create();
    ComPtr<MemoryAllocator> allocator = CommittedAllocator(1, 4);
    ComPtr<IMediaSample> sample = FilledSample(allocator.Get(), "x");
    ComPtr<IMemInputPin> input = InputOf(sink.Get());

    EXPECT_EQ(input->Receive(sample.Get()), VFW_E_WRONG_STATE);
    sink->Run(0);
    EXPECT_FALSE(sink->WaitForEndOfStream(20));
    auto ending = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(20ms);
        sink->InputPin()->EndOfStream();
    });
    EXPECT_TRUE(sink->WaitForEndOfStream(kPatience));
    ending.get();
    EXPECT_EQ(input->Receive(sample.Get()), VFW_E_WRONG_STATE);
    sink->InputPin()->BeginFlush();
    sink->InputPin()->EndFlush();
    EXPECT_FALSE(sink->ReachedEndOfStream());
    EXPECT_EQ(input->Receive(sample.Get()), S_OK);
    EXPECT_EQ(sink->SampleCount(), 1u);
}

TEST(RecordingSink, ReceiveLimitAnswersTheChosenResultOnceReached)
{
    for (HRESULT refusal : {S_FALSE, E_FAIL}) {
        ComPtr<RecordingSink> sink = RecordingSink::Create();
        sink->Pause();
        sink->LimitReceive(2, refusal);
        ComPtr<MemoryAllocator> allocator = CommittedAllocator(1, 4);
        ComPtr<IMediaSample> sample = FilledSample(allocator.Get(), "x");
        ComPtr<IMemInputPin> input = InputOf(sink.Get());
        EXPECT_EQ(input->Receive(sample.Get()), S_OK);
        EXPECT_EQ(input->Receive(sample.Get()), S_OK);
        EXPECT_EQ(input->Receive(sample.Get()), refusal);
        EXPECT_EQ(sink->SampleCount(), 2u);
        sink->RemoveReceiveLimit();
        EXPECT_EQ(input->Receive(sample.Get()), S_OK);
    }
}

TEST(RecordingSink, HeldReceiveEndsOnReleaseFlushOrStop)
{
    struct Case {
        const char* name;
        void (*end)(RecordingSink&);
        HRESULT expected;
        size_t recorded;
    } cases[] = {
        {"release", [](RecordingSink& sink) { sink.ReleaseHold(); }, S_OK, 1},
        {"flush", [](RecordingSink& sink) { sink.InputPin()->BeginFlush(); sink.InputPin()->EndFlush(); }, S_FALSE, 0},
        {"stop", [](RecordingSink& sink) { sink.Stop(); }, VFW_E_WRONG_STATE, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ComPtr<RecordingSink> sink = RecordingSink::Create();
        sink->Pause();
        sink->HoldReceive();
        ComPtr<MemoryAllocator> allocator = CommittedAllocator(1, 4);
        ComPtr<IMediaSample> sample = FilledSample(allocator.Get(), "x");
        ComPtr<IMemInputPin> input = InputOf(sink.Get());
        auto receiving = std::async(std::launch::async, [&] { return input->Receive(sample.Get()); });
        ASSERT_TRUE(sink->WaitForHeldReceive(kPatience));
        EXPECT_EQ(receiving.wait_for(20ms), std::future_status::timeout);
        c.end(*sink);
        bool ended = receiving.wait_for(std::chrono::milliseconds(kPatience)) == std::future_status::ready;
        sink->ReleaseHold();
        EXPECT_TRUE(ended);
        EXPECT_EQ(receiving.get(), c.expected);
        EXPECT_EQ(sink->SampleCount(), c.recorded);
    }
}

TEST(RecordingSink, ConnectionFollowsTheTypePolicy)
{
    ASSERT_EQ(RegisterMemoryAllocatorClass(), S_OK);  // the fake pin creates the platform's allocator
    ComPtr<FakeSource> source = FakeSource::Create({PINDIR_OUTPUT, PINDIR_INPUT}, 0);
    ComPtr<RecordingSink> sink = RecordingSink::Create();
    IPin* in = sink->InputPin();
    CMediaType video(&MEDIATYPE_Video), audio(&MEDIATYPE_Audio);

    EXPECT_EQ(in->ReceiveConnection(source->Pin(1), &video), VFW_E_INVALID_DIRECTION);
    sink->RefuseAllTypes();
    EXPECT_EQ(in->QueryAccept(&video), S_FALSE);
    EXPECT_EQ(in->ReceiveConnection(source->Pin(0), &video), VFW_E_TYPE_NOT_ACCEPTED);
    sink->AcceptOnlyMajorType(MEDIATYPE_Audio);
    EXPECT_EQ(in->QueryAccept(&video), S_FALSE);
    EXPECT_EQ(in->QueryAccept(&audio), S_OK);
    EXPECT_EQ(in->ReceiveConnection(source->Pin(0), &video), VFW_E_TYPE_NOT_ACCEPTED);
    EXPECT_FALSE(sink->IsConnected());

    ASSERT_EQ(source->Pin(0)->Connect(in, &audio), S_OK);
    EXPECT_EQ(sink->ConnectionType().majortype, MEDIATYPE_Audio);
    EXPECT_TRUE(sink->Allocator());
    EXPECT_EQ(in->ReceiveConnection(source->Pin(0), &audio), VFW_E_ALREADY_CONNECTED);
    ComPtr<IPin> peer;
    EXPECT_EQ(in->ConnectedTo(peer.Receive()), S_OK);
    EXPECT_EQ(peer.Get(), static_cast<IPin*>(source->Pin(0)));

    ComPtr<IEnumMediaTypes> types;
    ASSERT_EQ(in->EnumMediaTypes(types.Receive()), S_OK);
    AM_MEDIA_TYPE* proposed = nullptr;
    ULONG fetched = 1;
    EXPECT_EQ(types->Next(1, &proposed, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);

    EXPECT_EQ(in->Disconnect(), S_OK);
    source->Pin(0)->Disconnect();
    EXPECT_EQ(in->ConnectedTo(peer.Receive()), VFW_E_NOT_CONNECTED);
}

// ---- FilterGraph and GraphDriver ----

TEST(FilterGraph, JoinsFiltersAndRecordsNotifiedEvents)
{
    ComPtr<FilterGraph> graph = FilterGraph::Create();
    ComPtr<RecordingSink> sink = RecordingSink::Create();
    ASSERT_EQ(graph->AddFilter(sink.Get(), u"Renderer"), S_OK);
    FILTER_INFO info{};
    ASSERT_EQ(sink->QueryFilterInfo(&info), S_OK);
    EXPECT_EQ(info.pGraph, static_cast<IFilterGraph*>(graph.Get()));
    EXPECT_EQ(std::u16string_view(info.achName), u"Renderer");
    info.pGraph->Release();

    ComPtr<IMediaEventSink> events;
    ASSERT_EQ(ComPtr<IFilterGraph>(graph.Get()).QueryInterface(IID_IMediaEventSink, &events), S_OK);
    std::thread notifier([&] { events->Notify(EC_ERRORABORT, E_FAIL, 7); });
    EXPECT_TRUE(graph->WaitForEvent(EC_ERRORABORT, kPatience));
    notifier.join();
    EXPECT_FALSE(graph->WaitForEvent(EC_COMPLETE, 20));
    std::vector<GraphEvent> recorded = graph->Events();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].param1, LONG_PTR(E_FAIL));
    EXPECT_EQ(recorded[0].param2, 7);

    EXPECT_EQ(graph->RemoveFilter(sink.Get()), S_OK);
    ASSERT_EQ(sink->QueryFilterInfo(&info), S_OK);
    EXPECT_EQ(info.pGraph, nullptr);
    EXPECT_EQ(graph->RemoveFilter(sink.Get()), VFW_E_NOT_FOUND);
}

TEST(GraphDriver, ConnectsEveryOutputPinAndRecordsEachStream)
{
    constexpr size_t kSamples = 5;
    ComPtr<FakeSource> source = FakeSource::Create({PINDIR_OUTPUT, PINDIR_INPUT, PINDIR_OUTPUT}, kSamples);
    GraphDriver driver(source.Get());
    ASSERT_EQ(driver.ConnectAll(), S_OK);
    ASSERT_EQ(driver.OutputPinCount(), 2u);
    EXPECT_FALSE(driver.WaitForEndOfStream(20));

    ASSERT_EQ(driver.Run(), S_OK);
    ASSERT_TRUE(driver.WaitForEndOfStream(kPatience));
    const size_t sourcePin[] = {0, 2};
    for (size_t output = 0; output < 2; ++output) {
        SCOPED_TRACE(output);
        std::vector<SinkEvent> samples = driver.Sink(output)->Samples();
        ASSERT_EQ(samples.size(), kSamples);
        for (size_t i = 0; i < kSamples; ++i) {
            EXPECT_EQ(samples[i].start, REFERENCE_TIME(i) * kFrame);
            EXPECT_EQ(samples[i].stop, REFERENCE_TIME(i + 1) * kFrame);
            EXPECT_EQ(samples[i].syncPoint, i == 0);
            EXPECT_EQ(samples[i].checksum, Fnv1a64(SampleBytes(sourcePin[output], i)));
        }
        EXPECT_EQ(driver.Sink(output)->Events().front().kind, SinkEvent::Kind::NewSegment);
    }
    ASSERT_TRUE(driver.Graph().WaitForEvent(EC_COMPLETE, kPatience));
    EXPECT_EQ(driver.Stop(), S_OK);
}

TEST(GraphDriver, LeavesUnchosenPinsUnconnected)
{
    ComPtr<FakeSource> source = FakeSource::Create({PINDIR_OUTPUT, PINDIR_OUTPUT}, 2);
    GraphDriver driver(source.Get());
    EXPECT_EQ(driver.ConnectPins({5}), E_INVALIDARG);
    ASSERT_EQ(driver.ConnectPins({1}), S_OK);
    EXPECT_EQ(driver.Sink(0), nullptr);
    ASSERT_NE(driver.Sink(1), nullptr);
    EXPECT_EQ(driver.Seek(1, 0), E_NOINTERFACE);

    ASSERT_EQ(driver.Pause(), S_OK);
    EXPECT_TRUE(driver.WaitForEndOfStream(kPatience));
    EXPECT_EQ(driver.Sink(1)->SampleCount(), 2u);
}

TEST(GraphDriver, StopFreesASourceBlockedInAHeldReceive)
{
    ComPtr<FakeSource> source = FakeSource::Create({PINDIR_OUTPUT}, 3);
    GraphDriver driver(source.Get());
    ASSERT_EQ(driver.ConnectAll(), S_OK);
    driver.Sink(0)->HoldReceive();
    ASSERT_EQ(driver.Run(), S_OK);
    ASSERT_TRUE(driver.Sink(0)->WaitForHeldReceive(kPatience));

    auto stopping = std::async(std::launch::async, [&] { return driver.Stop(); });
    bool prompt = stopping.wait_for(std::chrono::milliseconds(kPatience)) == std::future_status::ready;
    driver.Sink(0)->ReleaseHold();  // lets a wrongly ordered Stop finish instead of hanging the suite
    EXPECT_TRUE(prompt);
    EXPECT_EQ(stopping.get(), S_OK);
    EXPECT_EQ(driver.Sink(0)->SampleCount(), 0u);
}

// ---- The graph's playback position ----

ComPtr<IMediaSeeking> PositionOf(FilterGraph& graph)
{
    ComPtr<IMediaSeeking> seeking;
    EXPECT_EQ(ComPtr<IFilterGraph>(&graph).QueryInterface(IID_IMediaSeeking, &seeking), S_OK);
    return seeking;
}

LONGLONG CurrentPosition(IMediaSeeking* seeking)
{
    LONGLONG current = -1;
    EXPECT_EQ(seeking->GetCurrentPosition(&current), S_OK);
    return current;
}

HRESULT ReceiveAt(IMemInputPin* input, IMemAllocator* allocator, REFERENCE_TIME start)
{
    ComPtr<IMediaSample> sample = FilledSample(allocator, "x");
    REFERENCE_TIME stop = start + kFrame;
    sample->SetTime(&start, &stop);
    return input->Receive(sample.Get());
}

TEST(FilterGraph, SeekingIsTheSameObjectAndOnlyReportsThePosition)
{
    ComPtr<FilterGraph> graph = FilterGraph::Create();
    ComPtr<IMediaSeeking> seeking = PositionOf(*graph);
    ASSERT_TRUE(seeking);
    ComPtr<IUnknown> fromSeeking, fromGraph;
    ASSERT_EQ(seeking.QueryInterface(IID_IUnknown, &fromSeeking), S_OK);
    ASSERT_EQ(ComPtr<IFilterGraph>(graph.Get()).QueryInterface(IID_IUnknown, &fromGraph), S_OK);
    EXPECT_EQ(fromSeeking.Get(), fromGraph.Get());
    ComPtr<IMediaEventSink> events;
    EXPECT_EQ(seeking.QueryInterface(IID_IMediaEventSink, &events), S_OK);

    DWORD capabilities = 0;
    ASSERT_EQ(seeking->GetCapabilities(&capabilities), S_OK);
    EXPECT_EQ(capabilities, AM_SEEKING_CanGetCurrentPos);
    GUID format = GUID_NULL;
    ASSERT_EQ(seeking->GetTimeFormat(&format), S_OK);
    EXPECT_EQ(format, TIME_FORMAT_MEDIA_TIME);
    format = GUID_NULL;
    ASSERT_EQ(seeking->QueryPreferredFormat(&format), S_OK);
    EXPECT_EQ(format, TIME_FORMAT_MEDIA_TIME);
    EXPECT_EQ(seeking->IsUsingTimeFormat(&TIME_FORMAT_MEDIA_TIME), S_OK);
    EXPECT_EQ(seeking->IsUsingTimeFormat(&GUID_NULL), S_FALSE);
    EXPECT_EQ(seeking->GetCurrentPosition(nullptr), E_POINTER);
    LONGLONG position = 0;
    EXPECT_EQ(seeking->SetPositions(&position, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning),
              E_NOTIMPL);
    EXPECT_EQ(seeking->GetDuration(&position), E_NOTIMPL);
    EXPECT_EQ(seeking->SetRate(2.0), E_NOTIMPL);
}

TEST(FilterGraph, PositionIsTheLatestSinkSampleInStreamTime)
{
    ComPtr<FilterGraph> graph = FilterGraph::Create();
    ComPtr<IMediaSeeking> seeking = PositionOf(*graph);
    ComPtr<RecordingSink> first = RecordingSink::Create(), second = RecordingSink::Create(),
                          untracked = RecordingSink::Create();
    EXPECT_EQ(graph->TrackPositionOf(*first), VFW_E_NOT_FOUND);  // not yet in the graph
    for (RecordingSink* sink : {first.Get(), second.Get(), untracked.Get()}) {
        ASSERT_EQ(graph->AddFilter(sink, nullptr), S_OK);
        sink->Pause();
    }
    ASSERT_EQ(graph->TrackPositionOf(*first), S_OK);
    ASSERT_EQ(graph->TrackPositionOf(*second), S_OK);
    ComPtr<MemoryAllocator> allocator = CommittedAllocator(2, 4);
    ComPtr<IMemInputPin> firstInput = InputOf(first.Get()), secondInput = InputOf(second.Get()),
                         untrackedInput = InputOf(untracked.Get());
    EXPECT_EQ(CurrentPosition(seeking.Get()), 0);

    first->InputPin()->NewSegment(10'000'000, 50'000'000, 1.0);
    ASSERT_EQ(ReceiveAt(firstInput.Get(), allocator.Get(), 4 * kFrame), S_OK);
    EXPECT_EQ(CurrentPosition(seeking.Get()), 10'000'000 + 4 * kFrame);

    // Sample times run at the segment's rate: at twice the speed 3 s of samples are 6 s of media.
    second->InputPin()->NewSegment(0, 50'000'000, 2.0);
    ASSERT_EQ(ReceiveAt(secondInput.Get(), allocator.Get(), 30'000'000), S_OK);
    EXPECT_EQ(CurrentPosition(seeking.Get()), 60'000'000);

    // A sink restarted earlier holds its own last sample; the other sink's is now the latest.
    second->InputPin()->BeginFlush();
    EXPECT_EQ(ReceiveAt(secondInput.Get(), allocator.Get(), 40'000'000), S_FALSE);
    EXPECT_EQ(CurrentPosition(seeking.Get()), 60'000'000);
    second->InputPin()->EndFlush();
    second->InputPin()->NewSegment(2'000'000, 50'000'000, 1.0);
    ASSERT_EQ(ReceiveAt(secondInput.Get(), allocator.Get(), 0), S_OK);
    EXPECT_EQ(CurrentPosition(seeking.Get()), 10'000'000 + 4 * kFrame);

    untracked->InputPin()->NewSegment(0, 900'000'000, 1.0);
    ASSERT_EQ(ReceiveAt(untrackedInput.Get(), allocator.Get(), 800'000'000), S_OK);
    EXPECT_EQ(CurrentPosition(seeking.Get()), 10'000'000 + 4 * kFrame);

    // A sink that left the graph no longer moves its position.
    ASSERT_EQ(graph->RemoveFilter(first.Get()), S_OK);
    first->InputPin()->NewSegment(0, 900'000'000, 1.0);
    ASSERT_EQ(ReceiveAt(firstInput.Get(), allocator.Get(), 700'000'000), S_OK);
    EXPECT_EQ(CurrentPosition(seeking.Get()), 10'000'000 + 4 * kFrame);
}

// Samples arrive on the pins' threads while this thread asks; TSan checks the bookkeeping.
TEST(GraphDriver, GraphPositionFollowsThePlayWhileItIsAsked)
{
    constexpr size_t kSamples = 50;  // the fake's buffers hold 60 samples' bytes
    ComPtr<FakeSource> source = FakeSource::Create({PINDIR_OUTPUT, PINDIR_OUTPUT}, kSamples);
    GraphDriver driver(source.Get());
    ASSERT_EQ(driver.ConnectAll(), S_OK);
    ComPtr<IMediaSeeking> seeking = PositionOf(driver.Graph());
    ASSERT_EQ(driver.Run(), S_OK);
    LONGLONG previous = 0;
    bool ended = false;
    while (!ended) {
        ended = driver.WaitForEndOfStream(0);
        const LONGLONG current = CurrentPosition(seeking.Get());
        EXPECT_GE(current, previous);
        EXPECT_LE(current, REFERENCE_TIME(kSamples - 1) * kFrame);
        previous = current;
    }
    EXPECT_EQ(CurrentPosition(seeking.Get()), REFERENCE_TIME(kSamples - 1) * kFrame);
    EXPECT_EQ(driver.Stop(), S_OK);
}

const SinkEvent* LastOfKind(const std::vector<SinkEvent>& events, SinkEvent::Kind kind)
{
    for (auto event = events.rbegin(); event != events.rend(); ++event)
        if (event->kind == kind)
            return &*event;
    return nullptr;
}

TEST(GraphDriver, GraphPositionOfAnMp3SourceBeforeAndAfterASeekBack)
{
    constexpr REFERENCE_TIME kMp3Frame = 261224;  // 1152 samples at 44.1 kHz
    constexpr REFERENCE_TIME kTarget = 10'000'000;
    OpenedSource source = OpenSourceFile(std::string(VMX_FIXTURES) + "/mp3/cbr-info.mp3", "mp3");
    ASSERT_TRUE(source) << source.error;
    GraphDriver driver(source.filter.Get());
    ASSERT_EQ(driver.ConnectAll(), S_OK);
    ComPtr<IMediaSeeking> seeking = PositionOf(driver.Graph());
    EXPECT_EQ(CurrentPosition(seeking.Get()), 0);

    ASSERT_EQ(driver.Run(), S_OK);
    ASSERT_TRUE(driver.WaitForEndOfStream(kPatience));
    RecordingSink* sink = driver.Sink(0);
    std::vector<SinkEvent> events = sink->Events();
    const SinkEvent* segment = LastOfKind(events, SinkEvent::Kind::NewSegment);
    const SinkEvent* last = LastOfKind(events, SinkEvent::Kind::Sample);
    ASSERT_TRUE(segment && last);
    const LONGLONG atTheEnd = CurrentPosition(seeking.Get());
    EXPECT_EQ(atTheEnd, segment->start + last->start);
    EXPECT_GT(atTheEnd, kTarget + kMp3Frame);  // so the seek below goes backward

    // Only the first sample after the seek is recorded, so the position stays on it.
    sink->Reset();
    sink->LimitReceive(1, S_OK);
    ASSERT_EQ(driver.Seek(0, kTarget), S_OK);
    ASSERT_TRUE(sink->WaitForSamples(1, kPatience));
    events = sink->Events();
    segment = LastOfKind(events, SinkEvent::Kind::NewSegment);
    last = LastOfKind(events, SinkEvent::Kind::Sample);
    ASSERT_TRUE(segment && last);
    const LONGLONG afterSeek = CurrentPosition(seeking.Get());
    EXPECT_EQ(afterSeek, segment->start + last->start);
    EXPECT_GE(afterSeek, kTarget - kMp3Frame);
    EXPECT_LT(afterSeek, kTarget + kMp3Frame);
    EXPECT_EQ(driver.Stop(), S_OK);
}

// ---- Graph events in the player's report ----

TEST(FilePlayer, GraphEventKeepsItsPlaceAmongTheSamples)
{
    constexpr size_t kPackets = 40, kNotifyBefore = 25;
    constexpr LONG kDurationKnown = 0xB001;
    vmx::test::Script script;
    script.streams.push_back({1, u"Video", CMediaType(&MEDIATYPE_Video)});
    for (size_t i = 0; i < kPackets; ++i)
        script.packets.push_back({1, REFERENCE_TIME(i) * kFrame, REFERENCE_TIME(i + 1) * kFrame, 16});
    script.duration = REFERENCE_TIME(kPackets) * kFrame;
    auto* filter = new vmx::test::CTestDemuxFilter(script);
    ComPtr<IBaseFilter> owner(filter);
    ASSERT_EQ(filter->Load(u"script", nullptr), S_OK);
    // On the reader thread, as a filter raises it when a background scan finishes.
    filter->beforePacket = [filter](size_t packet) {
        if (packet == kNotifyBefore)
            filter->NotifyEvent(kDurationKnown, 0, 0);
    };

    const PlayResult played = PlaySource(filter);
    ASSERT_TRUE(played.Succeeded()) << played.error;
    std::vector<GraphEvent> raised;
    for (const GraphEvent& event : played.report.graphEvents)
        if (event.code == kDurationKnown)
            raised.push_back(event);
    ASSERT_EQ(raised.size(), 1u);
    EXPECT_EQ(raised[0].param1, 0);
    EXPECT_EQ(raised[0].param2, 0);
    ASSERT_EQ(played.report.pins.size(), 1u);
    const SinkRecord& events = played.report.pins[0].events;
    std::vector<const SinkEvent*> samples;
    for (const SinkEvent& event : events)
        if (event.kind == SinkEvent::Kind::Sample)
            samples.push_back(&event);
    ASSERT_EQ(samples.size(), kPackets);
    // Raised before the reader handed that packet on, so before its sample arrived.
    EXPECT_GT(raised[0].arrival, 0u);
    EXPECT_LT(raised[0].arrival, samples[kNotifyBefore]->arrival);
    for (size_t i = 1; i < events.size(); ++i)
        EXPECT_GT(events[i].arrival, events[i - 1].arrival);
}

}  // namespace
