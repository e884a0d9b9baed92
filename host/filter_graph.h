// The graph a player builds around filters: it owns them, connects pins on request, keeps
// every event the filters report, and answers the playback position a source asks it for.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/com_ptr.h"
#include "host/recording_sink.h"
#include "platform/platform.h"
#include "platform/ref_counted.h"

namespace vmx::host {

struct GraphEvent {
    LONG code = 0;
    LONG_PTR param1 = 0;
    LONG_PTR param2 = 0;
    std::chrono::steady_clock::time_point time{};
    std::uint64_t arrival = 0;  // from NextArrival, so it orders among the sinks' events
};

// IMediaSeeking here only reports the position: a source asks it whether a seek goes backward.
class FilterGraph final : public KRefCounted<IFilterGraph, IMediaEventSink, IMediaSeeking> {
public:
    static ComPtr<FilterGraph> Create();

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;

    STDMETHODIMP AddFilter(IBaseFilter* filter, LPCWSTR name) override;
    STDMETHODIMP RemoveFilter(IBaseFilter* filter) override;
    STDMETHODIMP EnumFilters(IEnumFilters** filters) override;
    STDMETHODIMP FindFilterByName(LPCWSTR name, IBaseFilter** filter) override;
    STDMETHODIMP ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* mt) override;
    STDMETHODIMP Reconnect(IPin* pin) override;
    STDMETHODIMP Disconnect(IPin* pin) override;
    STDMETHODIMP SetDefaultSyncSource() override;

    STDMETHODIMP Notify(LONG eventCode, LONG_PTR param1, LONG_PTR param2) override;

    STDMETHODIMP GetCapabilities(DWORD* capabilities) override;
    STDMETHODIMP CheckCapabilities(DWORD* capabilities) override;
    STDMETHODIMP IsFormatSupported(const GUID* format) override;
    STDMETHODIMP QueryPreferredFormat(GUID* format) override;
    STDMETHODIMP GetTimeFormat(GUID* format) override;
    STDMETHODIMP IsUsingTimeFormat(const GUID* format) override;
    STDMETHODIMP SetTimeFormat(const GUID* format) override;
    STDMETHODIMP GetDuration(LONGLONG* duration) override;
    STDMETHODIMP GetStopPosition(LONGLONG* stop) override;
    // The stream time of the last sample a tracked sink recorded, the latest across the sinks;
    // 0 before any.
    STDMETHODIMP GetCurrentPosition(LONGLONG* current) override;
    STDMETHODIMP ConvertTimeFormat(LONGLONG* target, const GUID* targetFormat, LONGLONG source,
                                   const GUID* sourceFormat) override;
    STDMETHODIMP SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags) override;
    STDMETHODIMP GetPositions(LONGLONG* current, LONGLONG* stop) override;
    STDMETHODIMP GetAvailable(LONGLONG* earliest, LONGLONG* latest) override;
    STDMETHODIMP SetRate(double rate) override;
    STDMETHODIMP GetRate(double* rate) override;
    STDMETHODIMP GetPreroll(LONGLONG* preroll) override;

    // Counts the sink's samples in the position from now on; the sink must be in this graph.
    HRESULT TrackPositionOf(RecordingSink& sink);

    std::vector<GraphEvent> Events() const;
    size_t FilterCount() const;
    // True once an event with this code has been notified (since construction or ClearEvents).
    bool WaitForEvent(LONG eventCode, DWORD timeoutMs) const;
    void ClearEvents();

private:
    FilterGraph() = default;
    ~FilterGraph() override;

    mutable std::mutex filtersLock_;
    std::vector<ComPtr<IBaseFilter>> filters_;

    mutable std::mutex eventsLock_;
    mutable std::condition_variable eventArrived_;
    std::vector<GraphEvent> events_;

    // One cell per tracked sink, written from its Receive thread without a lock (the sinks'
    // threads would otherwise contend for one per sample); the lock guards the list itself.
    // A deque never moves its cells, so a sink keeps the address of its own.
    static constexpr REFERENCE_TIME kNoSampleTime = std::numeric_limits<REFERENCE_TIME>::min();
    mutable std::mutex positionLock_;
    std::deque<std::atomic<REFERENCE_TIME>> lastSampleTimes_;
};

}  // namespace vmx::host
