#include "host/graph_driver.h"

#include <chrono>
#include <string>

#include "host/memory_allocator.h"

namespace vmx::host {

GraphDriver::GraphDriver(IBaseFilter* source) : graph_(FilterGraph::Create()), source_(source)
{
    setupResult_ = RegisterMemoryAllocatorClass();
    if (FAILED(setupResult_))
        return;
    if (!graph_) {
        setupResult_ = E_OUTOFMEMORY;
        return;
    }
    if (!source_) {
        setupResult_ = E_POINTER;
        return;
    }
    setupResult_ = graph_->AddFilter(source_.Get(), u"Source");
    if (FAILED(setupResult_))
        return;

    ComPtr<IEnumPins> pins;
    setupResult_ = source_->EnumPins(pins.Receive());
    if (FAILED(setupResult_))
        return;
    if (!pins) {
        setupResult_ = E_POINTER;
        return;
    }
    ComPtr<IPin> pin;
    while (pins->Next(1, pin.Receive(), nullptr) == S_OK && pin) {
        PIN_DIRECTION direction = PINDIR_INPUT;
        if (SUCCEEDED(pin->QueryDirection(&direction)) && direction == PINDIR_OUTPUT)
            streams_.push_back(Stream{pin, nullptr, nullptr});
    }
}

GraphDriver::~GraphDriver()
{
    if (!graph_)
        return;
    Stop();
    for (Stream& stream : streams_) {
        stream.seeking.Reset();
        if (!stream.sink)
            continue;
        graph_->Disconnect(stream.pin.Get());
        graph_->Disconnect(stream.sink->InputPin());
        graph_->RemoveFilter(stream.sink.Get());
    }
    streams_.clear();
    if (source_)
        graph_->RemoveFilter(source_.Get());
}

HRESULT GraphDriver::ConnectPin(size_t pinIndex)
{
    if (pinIndex >= streams_.size())
        return E_INVALIDARG;
    Stream& stream = streams_[pinIndex];
    if (stream.sink)
        return VFW_E_ALREADY_CONNECTED;
    ComPtr<RecordingSink> sink = RecordingSink::Create();
    if (!sink)
        return E_OUTOFMEMORY;
    if (prepareSink_)
        prepareSink_(pinIndex, *sink);
    std::string number = std::to_string(pinIndex);
    std::u16string name = u"Sink " + std::u16string(number.begin(), number.end());
    HRESULT hr = graph_->AddFilter(sink.Get(), name.c_str());
    if (FAILED(hr))
        return hr;
    hr = graph_->TrackPositionOf(*sink);
    if (SUCCEEDED(hr))
        hr = stream.pin->Connect(sink->InputPin(), nullptr);
    if (FAILED(hr)) {
        graph_->RemoveFilter(sink.Get());
        return hr;
    }
    stream.sink = std::move(sink);
    return S_OK;
}

HRESULT GraphDriver::ConnectAll()
{
    if (FAILED(setupResult_))
        return setupResult_;
    if (streams_.empty())
        return VFW_E_NOT_FOUND;
    HRESULT first = S_OK;
    for (size_t i = 0; i < streams_.size(); ++i) {
        if (streams_[i].sink)
            continue;
        HRESULT hr = ConnectPin(i);
        if (FAILED(hr) && SUCCEEDED(first))
            first = hr;
    }
    return first;
}

HRESULT GraphDriver::ConnectPins(const std::vector<size_t>& pinIndices)
{
    if (FAILED(setupResult_))
        return setupResult_;
    for (size_t index : pinIndices) {
        HRESULT hr = ConnectPin(index);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

// Downstream first, as a graph does: stopped sinks refuse samples and free any held Receive,
// so the source's threads can end.
template <typename Change>
HRESULT GraphDriver::ChangeState(Change change)
{
    if (FAILED(setupResult_))
        return setupResult_;
    HRESULT first = S_OK;
    auto note = [&first](HRESULT hr) {
        if (FAILED(hr) && SUCCEEDED(first))
            first = hr;
    };
    for (Stream& stream : streams_)
        if (stream.sink)
            note(change(static_cast<IBaseFilter*>(stream.sink.Get())));
    note(change(source_.Get()));
    return first;
}

HRESULT GraphDriver::Pause() { return ChangeState([](IBaseFilter* filter) { return filter->Pause(); }); }
HRESULT GraphDriver::Run() { return ChangeState([](IBaseFilter* filter) { return filter->Run(0); }); }
HRESULT GraphDriver::Stop() { return ChangeState([](IBaseFilter* filter) { return filter->Stop(); }); }

IPin* GraphDriver::OutputPin(size_t pinIndex) const
{
    return pinIndex < streams_.size() ? streams_[pinIndex].pin.Get() : nullptr;
}

RecordingSink* GraphDriver::Sink(size_t pinIndex) const
{
    return pinIndex < streams_.size() ? streams_[pinIndex].sink.Get() : nullptr;
}

IMediaSeeking* GraphDriver::Seeking(size_t pinIndex)
{
    if (pinIndex >= streams_.size())
        return nullptr;
    Stream& stream = streams_[pinIndex];
    if (!stream.seeking)
        stream.pin.QueryInterface(IID_IMediaSeeking, &stream.seeking);
    return stream.seeking.Get();
}

HRESULT GraphDriver::Seek(size_t pinIndex, REFERENCE_TIME start)
{
    if (pinIndex >= streams_.size())
        return E_INVALIDARG;
    IMediaSeeking* seeking = Seeking(pinIndex);
    if (!seeking)
        return E_NOINTERFACE;
    LONGLONG position = start;
    return seeking->SetPositions(&position, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning);
}

bool GraphDriver::WaitForEndOfStream(DWORD timeoutMs) const
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    bool anyConnected = false;
    for (const Stream& stream : streams_) {
        if (!stream.sink)
            continue;
        anyConnected = true;
        DWORD remaining = INFINITE;
        if (timeoutMs != INFINITE) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            remaining = left > 0 ? static_cast<DWORD>(left) : 0;
        }
        if (!stream.sink->WaitForEndOfStream(remaining))
            return false;
    }
    return anyConnected;
}

}  // namespace vmx::host
