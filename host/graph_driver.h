// What every test and tool does with a loaded source filter: give each output pin a recording
// sink, run the graph, seek, and wait for the streams to end.
#pragma once

#include <functional>
#include <vector>

#include "host/com_ptr.h"
#include "host/filter_graph.h"
#include "host/recording_sink.h"
#include "platform/platform.h"

namespace vmx::host {

class GraphDriver {
public:
    // The source is created and loaded by the caller; the driver adds it to its own graph.
    explicit GraphDriver(IBaseFilter* source);
    ~GraphDriver();
    GraphDriver(const GraphDriver&) = delete;
    GraphDriver& operator=(const GraphDriver&) = delete;

    // Connects every output pin it can; S_OK when all connected, else the first failure.
    HRESULT ConnectAll();
    // Connects only these output pins (indices count output pins only), so others stay open.
    HRESULT ConnectPins(const std::vector<size_t>& pinIndices);
    // Called with each new sink before its pin connects, to set what types it takes.
    void PrepareSinksWith(std::function<void(size_t pinIndex, RecordingSink& sink)> prepare)
    {
        prepareSink_ = std::move(prepare);
    }

    // Downstream first, as a graph does: the sinks, then the source.
    HRESULT Pause();
    HRESULT Run();
    HRESULT Stop();

    size_t OutputPinCount() const { return streams_.size(); }
    // Borrowed pointers, valid while the driver lives; null for a bad index.
    IPin* OutputPin(size_t pinIndex) const;
    RecordingSink* Sink(size_t pinIndex) const;  // null while that pin is not connected
    IMediaSeeking* Seeking(size_t pinIndex);  // null when the pin does not seek
    IBaseFilter* Source() const { return source_.Get(); }
    FilterGraph& Graph() const { return *graph_; }

    HRESULT Seek(size_t pinIndex, REFERENCE_TIME start);
    // True once every connected sink has received end of stream; false when none is connected.
    bool WaitForEndOfStream(DWORD timeoutMs) const;
    std::vector<GraphEvent> GraphEvents() const { return graph_->Events(); }

private:
    struct Stream {
        ComPtr<IPin> pin;
        ComPtr<RecordingSink> sink;
        ComPtr<IMediaSeeking> seeking;
    };

    HRESULT ConnectPin(size_t pinIndex);
    template <typename Change>
    HRESULT ChangeState(Change change);

    HRESULT setupResult_ = S_OK;
    std::function<void(size_t, RecordingSink&)> prepareSink_;
    ComPtr<FilterGraph> graph_;
    ComPtr<IBaseFilter> source_;
    std::vector<Stream> streams_;
};

}  // namespace vmx::host
