// The graph a player builds around filters: it owns them, connects pins on request, and keeps
// every event the filters report.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "host/com_ptr.h"
#include "platform/platform.h"

namespace vmx::host {

struct GraphEvent {
    LONG code = 0;
    LONG_PTR param1 = 0;
    LONG_PTR param2 = 0;
    std::chrono::steady_clock::time_point time{};
};

class FilterGraph final : public IFilterGraph, public IMediaEventSink {
public:
    static ComPtr<FilterGraph> Create();

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP AddFilter(IBaseFilter* filter, LPCWSTR name) override;
    STDMETHODIMP RemoveFilter(IBaseFilter* filter) override;
    STDMETHODIMP EnumFilters(IEnumFilters** filters) override;
    STDMETHODIMP FindFilterByName(LPCWSTR name, IBaseFilter** filter) override;
    STDMETHODIMP ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* mt) override;
    STDMETHODIMP Reconnect(IPin* pin) override;
    STDMETHODIMP Disconnect(IPin* pin) override;
    STDMETHODIMP SetDefaultSyncSource() override;

    STDMETHODIMP Notify(LONG eventCode, LONG_PTR param1, LONG_PTR param2) override;

    std::vector<GraphEvent> Events() const;
    size_t FilterCount() const;
    // True once an event with this code has been notified (since construction or ClearEvents).
    bool WaitForEvent(LONG eventCode, DWORD timeoutMs) const;
    void ClearEvents();

private:
    FilterGraph() = default;
    ~FilterGraph();

    std::atomic<ULONG> references_{0};

    mutable std::mutex filtersLock_;
    std::vector<ComPtr<IBaseFilter>> filters_;

    mutable std::mutex eventsLock_;
    mutable std::condition_variable eventArrived_;
    std::vector<GraphEvent> events_;
};

}  // namespace vmx::host
