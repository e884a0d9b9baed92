#include "host/filter_graph.h"

#include <algorithm>
#include <new>

namespace vmx::host {

ComPtr<FilterGraph> FilterGraph::Create() { return ComPtr<FilterGraph>(new (std::nothrow) FilterGraph()); }

FilterGraph::~FilterGraph()
{
    // Filters keep an uncounted pointer back to the graph; it must not outlive us.
    for (ComPtr<IBaseFilter>& filter : filters_)
        filter->JoinFilterGraph(nullptr, nullptr);
}

STDMETHODIMP FilterGraph::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IFilterGraph)
        return Answer(ppv, static_cast<IFilterGraph*>(this));
    if (riid == IID_IMediaEventSink)
        return Answer(ppv, static_cast<IMediaEventSink*>(this));
    return riid == IID_IMediaSeeking ? Answer(ppv, static_cast<IMediaSeeking*>(this)) : NoInterface(ppv);
}

STDMETHODIMP FilterGraph::AddFilter(IBaseFilter* filter, LPCWSTR name)
{
    if (!filter)
        return E_POINTER;
    ComPtr<IBaseFilter> added(filter);
    {
        std::lock_guard lock(filtersLock_);
        if (std::find(filters_.begin(), filters_.end(), added) != filters_.end())
            return E_INVALIDARG;
        filters_.push_back(added);
    }
    HRESULT hr = filter->JoinFilterGraph(this, name);
    if (FAILED(hr)) {
        std::lock_guard lock(filtersLock_);
        filters_.erase(std::find(filters_.begin(), filters_.end(), added));
    }
    return hr;
}

STDMETHODIMP FilterGraph::RemoveFilter(IBaseFilter* filter)
{
    if (!filter)
        return E_POINTER;
    ComPtr<IBaseFilter> removed;
    {
        std::lock_guard lock(filtersLock_);
        auto found = std::find_if(filters_.begin(), filters_.end(),
                                  [filter](const ComPtr<IBaseFilter>& held) { return held.Get() == filter; });
        if (found == filters_.end())
            return VFW_E_NOT_FOUND;
        removed = std::move(*found);
        filters_.erase(found);
    }
    removed->JoinFilterGraph(nullptr, nullptr);
    return S_OK;
}

STDMETHODIMP FilterGraph::EnumFilters(IEnumFilters**) { return E_NOTIMPL; }
STDMETHODIMP FilterGraph::FindFilterByName(LPCWSTR, IBaseFilter**) { return E_NOTIMPL; }

STDMETHODIMP FilterGraph::ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* mt)
{
    if (!out || !in)
        return E_POINTER;
    return out->Connect(in, mt);
}

STDMETHODIMP FilterGraph::Reconnect(IPin*) { return E_NOTIMPL; }

STDMETHODIMP FilterGraph::Disconnect(IPin* pin)
{
    if (!pin)
        return E_POINTER;
    return pin->Disconnect();
}

STDMETHODIMP FilterGraph::SetDefaultSyncSource() { return E_NOTIMPL; }

STDMETHODIMP FilterGraph::Notify(LONG eventCode, LONG_PTR param1, LONG_PTR param2)
{
    std::lock_guard lock(eventsLock_);
    events_.push_back(GraphEvent{eventCode, param1, param2, std::chrono::steady_clock::now(), NextArrival()});
    eventArrived_.notify_all();
    return S_OK;
}

std::vector<GraphEvent> FilterGraph::Events() const
{
    std::lock_guard lock(eventsLock_);
    return events_;
}

size_t FilterGraph::FilterCount() const
{
    std::lock_guard lock(filtersLock_);
    return filters_.size();
}

bool FilterGraph::WaitForEvent(LONG eventCode, DWORD timeoutMs) const
{
    std::unique_lock lock(eventsLock_);
    auto arrived = [&] {
        return std::any_of(events_.begin(), events_.end(),
                           [eventCode](const GraphEvent& event) { return event.code == eventCode; });
    };
    if (timeoutMs == INFINITE) {
        eventArrived_.wait(lock, arrived);
        return true;
    }
    return eventArrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), arrived);
}

void FilterGraph::ClearEvents()
{
    std::lock_guard lock(eventsLock_);
    events_.clear();
}

// ---- IMediaSeeking: the position only ----

STDMETHODIMP FilterGraph::GetCapabilities(DWORD* capabilities)
{
    if (!capabilities)
        return E_POINTER;
    *capabilities = AM_SEEKING_CanGetCurrentPos;
    return S_OK;
}

STDMETHODIMP FilterGraph::CheckCapabilities(DWORD*) { return E_NOTIMPL; }
STDMETHODIMP FilterGraph::IsFormatSupported(const GUID*) { return E_NOTIMPL; }

STDMETHODIMP FilterGraph::QueryPreferredFormat(GUID* format) { return GetTimeFormat(format); }

STDMETHODIMP FilterGraph::GetTimeFormat(GUID* format)
{
    if (!format)
        return E_POINTER;
    *format = TIME_FORMAT_MEDIA_TIME;
    return S_OK;
}

STDMETHODIMP FilterGraph::IsUsingTimeFormat(const GUID* format)
{
    if (!format)
        return E_POINTER;
    return *format == TIME_FORMAT_MEDIA_TIME ? S_OK : S_FALSE;
}

STDMETHODIMP FilterGraph::SetTimeFormat(const GUID*) { return E_NOTIMPL; }
STDMETHODIMP FilterGraph::GetDuration(LONGLONG*) { return E_NOTIMPL; }
STDMETHODIMP FilterGraph::GetStopPosition(LONGLONG*) { return E_NOTIMPL; }

STDMETHODIMP FilterGraph::GetCurrentPosition(LONGLONG* current)
{
    if (!current)
        return E_POINTER;
    std::lock_guard lock(positionLock_);
    REFERENCE_TIME latest = kNoSampleTime;
    for (const std::atomic<REFERENCE_TIME>& time : lastSampleTimes_)
        latest = std::max(latest, time.load(std::memory_order_relaxed));
    *current = latest == kNoSampleTime ? 0 : latest;
    return S_OK;
}

STDMETHODIMP FilterGraph::ConvertTimeFormat(LONGLONG*, const GUID*, LONGLONG, const GUID*) { return E_NOTIMPL; }
STDMETHODIMP FilterGraph::SetPositions(LONGLONG*, DWORD, LONGLONG*, DWORD) { return E_NOTIMPL; }
STDMETHODIMP FilterGraph::GetPositions(LONGLONG*, LONGLONG*) { return E_NOTIMPL; }
STDMETHODIMP FilterGraph::GetAvailable(LONGLONG*, LONGLONG*) { return E_NOTIMPL; }
STDMETHODIMP FilterGraph::SetRate(double) { return E_NOTIMPL; }
STDMETHODIMP FilterGraph::GetRate(double*) { return E_NOTIMPL; }
STDMETHODIMP FilterGraph::GetPreroll(LONGLONG*) { return E_NOTIMPL; }

HRESULT FilterGraph::TrackPositionOf(RecordingSink& sink)
{
    {
        std::lock_guard lock(filtersLock_);
        const bool member = std::any_of(filters_.begin(), filters_.end(), [&sink](const ComPtr<IBaseFilter>& held) {
            return held.Get() == static_cast<IBaseFilter*>(&sink);
        });
        if (!member)
            return VFW_E_NOT_FOUND;
    }
    std::atomic<REFERENCE_TIME>* cell = nullptr;
    {
        std::lock_guard lock(positionLock_);
        cell = &lastSampleTimes_.emplace_back(kNoSampleTime);
    }
    // The cell lives as long as the graph; the sink drops the report when it leaves the graph,
    // which happens at the latest in our destructor.
    sink.ReportSampleTimesTo([cell](REFERENCE_TIME streamTime) { cell->store(streamTime, std::memory_order_relaxed); });
    return S_OK;
}

}  // namespace vmx::host
