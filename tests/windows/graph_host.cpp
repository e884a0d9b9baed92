// Plays one file through the platform's own filter graph: creates the graph and a VMX filter by
// class identifier (so the module must be registered), loads the file, connects every output pin
// to a recording sink of ours, runs to completion, seeks through the graph and runs again. Every
// sample and stream event is printed in the form of `vmx packets`, then the checks' tally.
//
//   vmx_graph_host FILE [--filter {CLSID}] [--seek SECONDS] [--timeout SECONDS]
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "module/templates.h"
#include "platform/platform.h"

namespace {

// ---- Checks ----

int g_passed = 0;
int g_failed = 0;

bool Check(bool ok, const char* what, HRESULT hr = S_OK)
{
    if (ok) {
        ++g_passed;
        std::printf("# ok: %s\n", what);
    } else {
        ++g_failed;
        std::printf("# FAILED: %s (0x%08lX)\n", what, static_cast<unsigned long>(hr));
    }
    return ok;
}

std::string TimeText(REFERENCE_TIME time)
{
    char text[64];
    std::snprintf(text, sizeof text, "%" PRId64 ", %.6f", static_cast<std::int64_t>(time), time / 1e7);
    return text;
}

std::string Narrow(const WCHAR* wide)
{
    if (!wide)
        return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return {};
    std::string text(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), size, nullptr, nullptr);
    text.resize(static_cast<size_t>(size - 1));
    return text;
}

std::uint32_t Adler32(const BYTE* data, size_t size)
{
    constexpr std::uint32_t kModulus = 65521;
    std::uint32_t a = 1;
    std::uint32_t b = 0;
    while (size > 0) {
        // 5552 bytes is the most that cannot overflow b before the reduction.
        size_t chunk = size < 5552 ? size : 5552;
        size -= chunk;
        while (chunk-- > 0) {
            a += *data++;
            b += a;
        }
        a %= kModulus;
        b %= kModulus;
    }
    return (b << 16) | a;
}

template <class T>
void SafeRelease(T*& p)
{
    if (p) {
        p->Release();
        p = nullptr;
    }
}

void FreeMediaTypeFields(AM_MEDIA_TYPE& mt)
{
    if (mt.pbFormat)
        CoTaskMemFree(mt.pbFormat);
    mt.pbFormat = nullptr;
    mt.cbFormat = 0;
    SafeRelease(mt.pUnk);
}

HRESULT CopyMediaType(AM_MEDIA_TYPE& target, const AM_MEDIA_TYPE& source)
{
    target = source;
    target.pbFormat = nullptr;
    if (source.cbFormat && source.pbFormat) {
        target.pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(source.cbFormat));
        if (!target.pbFormat) {
            target.cbFormat = 0;
            return E_OUTOFMEMORY;
        }
        std::memcpy(target.pbFormat, source.pbFormat, source.cbFormat);
    } else {
        target.cbFormat = 0;
    }
    if (target.pUnk)
        target.pUnk->AddRef();
    return S_OK;
}

// ---- The sink: one input pin that accepts anything and writes down what arrives ----

class SinkFilter;

class EmptyMediaTypes final : public IEnumMediaTypes {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IEnumMediaTypes) {
            *ppv = static_cast<IEnumMediaTypes*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        LONG left = InterlockedDecrement(&refs_);
        if (left == 0)
            delete this;
        return static_cast<ULONG>(left);
    }
    HRESULT STDMETHODCALLTYPE Next(ULONG count, AM_MEDIA_TYPE**, ULONG* fetched) override
    {
        if (fetched)
            *fetched = 0;
        return count == 0 ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override { return count == 0 ? S_OK : S_FALSE; }
    HRESULT STDMETHODCALLTYPE Reset() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Clone(IEnumMediaTypes** clone) override
    {
        if (!clone)
            return E_POINTER;
        *clone = new EmptyMediaTypes;
        (*clone)->AddRef();
        return S_OK;
    }

private:
    ~EmptyMediaTypes() = default;
    LONG refs_ = 0;
};

class SinkPin final : public IPin, public IMemInputPin {
public:
    explicit SinkPin(SinkFilter* filter) : filter_(filter) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE Connect(IPin*, const AM_MEDIA_TYPE*) override { return E_UNEXPECTED; }
    HRESULT STDMETHODCALLTYPE ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* mt) override;
    HRESULT STDMETHODCALLTYPE Disconnect() override;
    HRESULT STDMETHODCALLTYPE ConnectedTo(IPin** pin) override;
    HRESULT STDMETHODCALLTYPE ConnectionMediaType(AM_MEDIA_TYPE* mt) override;
    HRESULT STDMETHODCALLTYPE QueryPinInfo(PIN_INFO* info) override;
    HRESULT STDMETHODCALLTYPE QueryDirection(PIN_DIRECTION* dir) override
    {
        if (!dir)
            return E_POINTER;
        *dir = PINDIR_INPUT;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryId(LPWSTR* id) override;
    HRESULT STDMETHODCALLTYPE QueryAccept(const AM_MEDIA_TYPE*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE EnumMediaTypes(IEnumMediaTypes** types) override
    {
        if (!types)
            return E_POINTER;
        *types = new EmptyMediaTypes;
        (*types)->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EndOfStream() override;
    HRESULT STDMETHODCALLTYPE BeginFlush() override;
    HRESULT STDMETHODCALLTYPE EndFlush() override;
    HRESULT STDMETHODCALLTYPE NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;

    // The platform's sample grabber offers no allocator either: the source must bring its own.
    HRESULT STDMETHODCALLTYPE GetAllocator(IMemAllocator**) override { return VFW_E_NO_ALLOCATOR; }
    HRESULT STDMETHODCALLTYPE NotifyAllocator(IMemAllocator*, BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetAllocatorRequirements(ALLOCATOR_PROPERTIES*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Receive(IMediaSample* sample) override;
    HRESULT STDMETHODCALLTYPE ReceiveMultiple(IMediaSample** samples, LONG count, LONG* processed) override;
    HRESULT STDMETHODCALLTYPE ReceiveCanBlock() override { return S_FALSE; }

    IPin* Connected() const { return connected_; }

private:
    SinkFilter* filter_;
    IPin* connected_ = nullptr;
    AM_MEDIA_TYPE type_{};
};

class SinkFilter final : public IBaseFilter, public IMediaSeeking {
public:
    explicit SinkFilter(size_t pinIndex) : pinIndex_(pinIndex), pin_(this) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IPersist || riid == IID_IMediaFilter || riid == IID_IBaseFilter)
            *ppv = static_cast<IBaseFilter*>(this);
        else if (riid == IID_IMediaSeeking)
            *ppv = static_cast<IMediaSeeking*>(this);
        else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        LONG left = InterlockedDecrement(&refs_);
        if (left == 0)
            delete this;
        return static_cast<ULONG>(left);
    }

    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override
    {
        if (!clsid)
            return E_POINTER;
        *clsid = GUID_NULL;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Stop() override
    {
        std::lock_guard lock(mutex_);
        state_ = State_Stopped;
        completePending_ = false;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Pause() override
    {
        std::lock_guard lock(mutex_);
        state_ = State_Paused;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME) override
    {
        bool notify = false;
        {
            std::lock_guard lock(mutex_);
            state_ = State_Running;
            notify = completePending_;
            completePending_ = false;
        }
        // End of stream that came while paused is reported once the graph runs, as renderers do.
        if (notify)
            NotifyComplete();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetState(DWORD, FILTER_STATE* state) override
    {
        if (!state)
            return E_POINTER;
        std::lock_guard lock(mutex_);
        *state = state_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetSyncSource(IReferenceClock*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetSyncSource(IReferenceClock** clock) override
    {
        if (!clock)
            return E_POINTER;
        *clock = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE EnumPins(IEnumPins** pins) override;
    HRESULT STDMETHODCALLTYPE FindPin(LPCWSTR id, IPin** pin) override
    {
        if (!id || !pin)
            return E_POINTER;
        *pin = nullptr;
        if (lstrcmpW(id, L"In") != 0)
            return VFW_E_NOT_FOUND;
        *pin = &pin_;
        pin_.AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryFilterInfo(FILTER_INFO* info) override
    {
        if (!info)
            return E_POINTER;
        lstrcpynW(info->achName, name_.c_str(), 128);
        info->pGraph = graph_;
        if (graph_)
            graph_->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override
    {
        // The graph holds the filter; holding the graph back would keep both alive.
        graph_ = graph;
        name_ = name ? name : L"";
        events_ = nullptr;
        if (graph) {
            IMediaEventSink* events = nullptr;
            if (SUCCEEDED(graph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&events)))) {
                events_ = events;
                events->Release();
            }
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryVendorInfo(LPWSTR*) override { return E_NOTIMPL; }

    // Seeking goes upstream to the source's pin, as a renderer passes it on.
    HRESULT STDMETHODCALLTYPE GetCapabilities(DWORD* c) override
    {
        return Up([&](IMediaSeeking* s) { return s->GetCapabilities(c); });
    }
    HRESULT STDMETHODCALLTYPE CheckCapabilities(DWORD* c) override
    {
        return Up([&](IMediaSeeking* s) { return s->CheckCapabilities(c); });
    }
    HRESULT STDMETHODCALLTYPE IsFormatSupported(const GUID* f) override
    {
        return Up([&](IMediaSeeking* s) { return s->IsFormatSupported(f); });
    }
    HRESULT STDMETHODCALLTYPE QueryPreferredFormat(GUID* f) override
    {
        return Up([&](IMediaSeeking* s) { return s->QueryPreferredFormat(f); });
    }
    HRESULT STDMETHODCALLTYPE GetTimeFormat(GUID* f) override
    {
        return Up([&](IMediaSeeking* s) { return s->GetTimeFormat(f); });
    }
    HRESULT STDMETHODCALLTYPE IsUsingTimeFormat(const GUID* f) override
    {
        return Up([&](IMediaSeeking* s) { return s->IsUsingTimeFormat(f); });
    }
    HRESULT STDMETHODCALLTYPE SetTimeFormat(const GUID* f) override
    {
        return Up([&](IMediaSeeking* s) { return s->SetTimeFormat(f); });
    }
    HRESULT STDMETHODCALLTYPE GetDuration(LONGLONG* d) override
    {
        return Up([&](IMediaSeeking* s) { return s->GetDuration(d); });
    }
    HRESULT STDMETHODCALLTYPE GetStopPosition(LONGLONG* p) override
    {
        return Up([&](IMediaSeeking* s) { return s->GetStopPosition(p); });
    }
    HRESULT STDMETHODCALLTYPE GetCurrentPosition(LONGLONG* p) override
    {
        return Up([&](IMediaSeeking* s) { return s->GetCurrentPosition(p); });
    }
    HRESULT STDMETHODCALLTYPE ConvertTimeFormat(LONGLONG* target, const GUID* targetFormat, LONGLONG source,
                                                const GUID* sourceFormat) override
    {
        return Up([&](IMediaSeeking* s) { return s->ConvertTimeFormat(target, targetFormat, source, sourceFormat); });
    }
    HRESULT STDMETHODCALLTYPE SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop,
                                           DWORD stopFlags) override
    {
        ++seekCalls_;
        return Up([&](IMediaSeeking* s) { return s->SetPositions(current, currentFlags, stop, stopFlags); });
    }
    HRESULT STDMETHODCALLTYPE GetPositions(LONGLONG* current, LONGLONG* stop) override
    {
        return Up([&](IMediaSeeking* s) { return s->GetPositions(current, stop); });
    }
    HRESULT STDMETHODCALLTYPE GetAvailable(LONGLONG* earliest, LONGLONG* latest) override
    {
        return Up([&](IMediaSeeking* s) { return s->GetAvailable(earliest, latest); });
    }
    HRESULT STDMETHODCALLTYPE SetRate(double rate) override
    {
        return Up([&](IMediaSeeking* s) { return s->SetRate(rate); });
    }
    HRESULT STDMETHODCALLTYPE GetRate(double* rate) override
    {
        return Up([&](IMediaSeeking* s) { return s->GetRate(rate); });
    }
    HRESULT STDMETHODCALLTYPE GetPreroll(LONGLONG* preroll) override
    {
        return Up([&](IMediaSeeking* s) { return s->GetPreroll(preroll); });
    }

    IPin* Pin() { return &pin_; }
    int SeekCalls() const { return seekCalls_; }

    // ---- What the pin reports ----
    void Record(const std::string& line)
    {
        std::lock_guard lock(mutex_);
        lines_.push_back(std::to_string(pinIndex_) + ", " + line);
    }
    bool Running()
    {
        std::lock_guard lock(mutex_);
        return state_ != State_Stopped;
    }
    void OnEndOfStream()
    {
        bool notify = false;
        {
            std::lock_guard lock(mutex_);
            lines_.push_back(std::to_string(pinIndex_) + ", end-of-stream");
            ++endOfStreams_;
            if (state_ == State_Running)
                notify = true;
            else
                completePending_ = true;
        }
        if (notify)
            NotifyComplete();
    }
    void OnBeginFlush()
    {
        std::lock_guard lock(mutex_);
        lines_.push_back(std::to_string(pinIndex_) + ", begin-flush");
        // A flush withdraws an end of stream not yet reported.
        completePending_ = false;
    }

    size_t Mark()
    {
        std::lock_guard lock(mutex_);
        return lines_.size();
    }
    std::vector<std::string> LinesSince(size_t mark)
    {
        std::lock_guard lock(mutex_);
        const size_t from = mark < lines_.size() ? mark : lines_.size();
        return {lines_.begin() + static_cast<std::ptrdiff_t>(from), lines_.end()};
    }
    int EndOfStreams()
    {
        std::lock_guard lock(mutex_);
        return endOfStreams_;
    }

private:
    ~SinkFilter() = default;

    template <class Call>
    HRESULT Up(Call call)
    {
        IPin* upstream = pin_.Connected();
        if (!upstream)
            return VFW_E_NOT_CONNECTED;
        IMediaSeeking* seeking = nullptr;
        HRESULT hr = upstream->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&seeking));
        if (FAILED(hr))
            return E_NOTIMPL;
        hr = call(seeking);
        seeking->Release();
        return hr;
    }

    void NotifyComplete()
    {
        if (events_)
            events_->Notify(EC_COMPLETE, S_OK, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(this)));
    }

    LONG refs_ = 0;
    size_t pinIndex_;
    SinkPin pin_;
    std::mutex mutex_;
    FILTER_STATE state_ = State_Stopped;
    bool completePending_ = false;
    int endOfStreams_ = 0;
    int seekCalls_ = 0;
    std::vector<std::string> lines_;
    IFilterGraph* graph_ = nullptr;
    IMediaEventSink* events_ = nullptr;
    std::wstring name_;
};

class SinkPins final : public IEnumPins {
public:
    SinkPins(SinkFilter* filter, ULONG position) : filter_(filter), position_(position) { filter_->AddRef(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IEnumPins) {
            *ppv = static_cast<IEnumPins*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        LONG left = InterlockedDecrement(&refs_);
        if (left == 0)
            delete this;
        return static_cast<ULONG>(left);
    }
    HRESULT STDMETHODCALLTYPE Next(ULONG count, IPin** pins, ULONG* fetched) override
    {
        if (!pins)
            return E_POINTER;
        ULONG given = 0;
        if (count > 0 && position_ == 0) {
            pins[0] = filter_->Pin();
            pins[0]->AddRef();
            given = 1;
            position_ = 1;
        }
        if (fetched)
            *fetched = given;
        return given == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override
    {
        ULONG left = 1 - position_;
        position_ = count >= left ? 1 : position_ + count;
        return count <= left ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override
    {
        position_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnumPins** clone) override
    {
        if (!clone)
            return E_POINTER;
        *clone = new SinkPins(filter_, position_);
        (*clone)->AddRef();
        return S_OK;
    }

private:
    ~SinkPins() { filter_->Release(); }
    LONG refs_ = 0;
    SinkFilter* filter_;
    ULONG position_;
};

HRESULT SinkFilter::EnumPins(IEnumPins** pins)
{
    if (!pins)
        return E_POINTER;
    *pins = new SinkPins(this, 0);
    (*pins)->AddRef();
    return S_OK;
}

HRESULT SinkPin::QueryInterface(REFIID riid, void** ppv)
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

// The pin lives inside its filter and shares the filter's count.
ULONG SinkPin::AddRef() { return filter_->AddRef(); }
ULONG SinkPin::Release() { return filter_->Release(); }

HRESULT SinkPin::ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* mt)
{
    if (!connector || !mt)
        return E_POINTER;
    if (connected_)
        return VFW_E_ALREADY_CONNECTED;
    HRESULT hr = CopyMediaType(type_, *mt);
    if (FAILED(hr))
        return hr;
    connected_ = connector;
    connected_->AddRef();
    return S_OK;
}

HRESULT SinkPin::Disconnect()
{
    if (!connected_)
        return S_FALSE;
    SafeRelease(connected_);
    FreeMediaTypeFields(type_);
    return S_OK;
}

HRESULT SinkPin::ConnectedTo(IPin** pin)
{
    if (!pin)
        return E_POINTER;
    *pin = connected_;
    if (!connected_)
        return VFW_E_NOT_CONNECTED;
    connected_->AddRef();
    return S_OK;
}

HRESULT SinkPin::ConnectionMediaType(AM_MEDIA_TYPE* mt)
{
    if (!mt)
        return E_POINTER;
    if (!connected_) {
        *mt = AM_MEDIA_TYPE{};
        return VFW_E_NOT_CONNECTED;
    }
    return CopyMediaType(*mt, type_);
}

HRESULT SinkPin::QueryPinInfo(PIN_INFO* info)
{
    if (!info)
        return E_POINTER;
    info->pFilter = static_cast<IBaseFilter*>(filter_);
    info->pFilter->AddRef();
    info->dir = PINDIR_INPUT;
    lstrcpynW(info->achName, L"In", 128);
    return S_OK;
}

HRESULT SinkPin::QueryId(LPWSTR* id)
{
    if (!id)
        return E_POINTER;
    *id = static_cast<LPWSTR>(CoTaskMemAlloc(sizeof L"In"));
    if (!*id)
        return E_OUTOFMEMORY;
    std::memcpy(*id, L"In", sizeof L"In");
    return S_OK;
}

HRESULT SinkPin::EndOfStream()
{
    filter_->OnEndOfStream();
    return S_OK;
}

HRESULT SinkPin::BeginFlush()
{
    filter_->OnBeginFlush();
    return S_OK;
}

HRESULT SinkPin::EndFlush()
{
    filter_->Record("end-flush");
    return S_OK;
}

HRESULT SinkPin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate)
{
    char text[160];
    std::snprintf(text, sizeof text, "segment, %s, %s, rate %g", TimeText(start).c_str(), TimeText(stop).c_str(), rate);
    filter_->Record(text);
    return S_OK;
}

HRESULT SinkPin::Receive(IMediaSample* sample)
{
    if (!sample)
        return E_POINTER;
    if (!filter_->Running())
        return VFW_E_WRONG_STATE;
    REFERENCE_TIME start = 0;
    REFERENCE_TIME stop = 0;
    HRESULT timeResult = sample->GetTime(&start, &stop);
    const bool startValid = timeResult == S_OK || timeResult == VFW_S_NO_STOP_TIME;
    const bool stopValid = timeResult == S_OK;
    LONG length = sample->GetActualDataLength();
    BYTE* data = nullptr;
    HRESULT pointerResult = sample->GetPointer(&data);
    std::uint32_t adler = 1;
    if (length > 0 && length <= sample->GetSize() && SUCCEEDED(pointerResult) && data)
        adler = Adler32(data, static_cast<size_t>(length));
    char text[256];
    std::snprintf(text, sizeof text, "sample, %s, %s, %d, %d, %d, %d, %08x",
                  startValid ? TimeText(start).c_str() : "-, -", stopValid ? TimeText(stop).c_str() : "-, -",
                  static_cast<int>(length), sample->IsSyncPoint() == S_OK, sample->IsDiscontinuity() == S_OK,
                  sample->IsPreroll() == S_OK, static_cast<unsigned>(adler));
    filter_->Record(text);
    return S_OK;
}

HRESULT SinkPin::ReceiveMultiple(IMediaSample** samples, LONG count, LONG* processed)
{
    if (!samples || !processed)
        return E_POINTER;
    HRESULT hr = S_OK;
    for (*processed = 0; *processed < count && hr == S_OK; ++*processed)
        hr = Receive(samples[*processed]);
    return hr;
}

// ---- The graph ----

struct Arguments {
    std::wstring file;
    CLSID filter = CLSID_VmxMp3Source;
    double seekSeconds = -1;  // negative: half the duration
    double timeoutSeconds = 30;
};

bool ParseArguments(int argc, wchar_t** argv, Arguments& args)
{
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        if (arg == L"--filter" && i + 1 < argc) {
            if (FAILED(CLSIDFromString(argv[++i], &args.filter)))
                return false;
        } else if (arg == L"--seek" && i + 1 < argc) {
            args.seekSeconds = std::wcstod(argv[++i], nullptr);
        } else if (arg == L"--timeout" && i + 1 < argc) {
            args.timeoutSeconds = std::wcstod(argv[++i], nullptr);
            if (!(args.timeoutSeconds > 0))
                return false;
        } else if (args.file.empty() && !arg.starts_with(L"--")) {
            args.file = arg;
        } else {
            return false;
        }
    }
    return !args.file.empty();
}

// Waits for the graph's EC_COMPLETE; errors and aborts end the wait as failures.
bool WaitForCompletion(IMediaEvent* events, DWORD timeoutMs)
{
    const DWORD begin = GetTickCount();
    for (;;) {
        const DWORD spent = GetTickCount() - begin;
        if (spent >= timeoutMs)
            return false;
        long code = 0;
        LONG_PTR param1 = 0;
        LONG_PTR param2 = 0;
        HRESULT hr = events->GetEvent(&code, &param1, &param2, static_cast<long>(timeoutMs - spent));
        // Wine 8's graph can leave its event signalled with the queue empty, so that GetEvent
        // gives up at once: poll until the deadline instead.
        if (hr == E_ABORT && GetTickCount() - begin < timeoutMs) {
            Sleep(5);
            continue;
        }
        if (FAILED(hr)) {
            std::printf("# no graph event after %lu ms: 0x%08lX\n", static_cast<unsigned long>(GetTickCount() - begin),
                        static_cast<unsigned long>(hr));
            return false;
        }
        events->FreeEventParams(code, param1, param2);
        std::printf("# graph event 0x%02lX, %" PRIdPTR "\n", static_cast<unsigned long>(code),
                    static_cast<std::intptr_t>(param1));
        if (code == EC_COMPLETE)
            return true;
        if (code == EC_ERRORABORT || code == EC_USERABORT)
            return false;
    }
}

struct Graph {
    IGraphBuilder* graph = nullptr;
    IMediaControl* control = nullptr;
    IMediaEvent* events = nullptr;
    IMediaSeeking* seeking = nullptr;
    IMediaFilter* mediaFilter = nullptr;
    IBaseFilter* source = nullptr;
    std::vector<SinkFilter*> sinks;

    ~Graph()
    {
        if (control)
            control->Stop();
        for (SinkFilter* sink : sinks)
            sink->Release();
        SafeRelease(source);
        SafeRelease(mediaFilter);
        SafeRelease(seeking);
        SafeRelease(events);
        SafeRelease(control);
        SafeRelease(graph);
    }
};

void PrintRun(Graph& g, const std::vector<size_t>& marks)
{
    std::printf("# pin, kind, start (100 ns), start (s), stop (100 ns), stop (s), size, sync, discontinuity, "
                "preroll, adler32\n");
    for (size_t i = 0; i < g.sinks.size(); ++i)
        for (const std::string& line : g.sinks[i]->LinesSince(marks[i]))
            std::printf("%s\n", line.c_str());
}

// Runs the graph from its current position to EC_COMPLETE and prints what every sink received.
void PlayOnce(Graph& g, DWORD timeoutMs, const char* name)
{
    std::vector<size_t> marks;
    std::vector<int> endsBefore;
    for (SinkFilter* sink : g.sinks) {
        marks.push_back(sink->Mark());
        endsBefore.push_back(sink->EndOfStreams());
    }
    HRESULT hr = g.control->Run();
    std::string what = std::string(name) + ": the graph runs";
    if (Check(SUCCEEDED(hr), what.c_str(), hr)) {
        what = std::string(name) + ": EC_COMPLETE arrives";
        Check(WaitForCompletion(g.events, timeoutMs), what.c_str(), E_ABORT);
    }
    hr = g.control->Stop();
    what = std::string(name) + ": the graph stops";
    Check(SUCCEEDED(hr), what.c_str(), hr);
    for (size_t i = 0; i < g.sinks.size(); ++i) {
        what = std::string(name) + ": pin " + std::to_string(i) + " ends its stream";
        Check(g.sinks[i]->EndOfStreams() > endsBefore[i], what.c_str(), E_FAIL);
    }
    PrintRun(g, marks);
}

void Play(const Arguments& args)
{
    const DWORD timeoutMs = static_cast<DWORD>(std::ceil(args.timeoutSeconds * 1000));
    Graph g;
    HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                  reinterpret_cast<void**>(&g.graph));
    if (!Check(SUCCEEDED(hr), "the filter graph is created", hr))
        return;
    g.graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&g.control));
    g.graph->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(&g.events));
    g.graph->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&g.seeking));
    g.graph->QueryInterface(IID_IMediaFilter, reinterpret_cast<void**>(&g.mediaFilter));
    if (!Check(g.control && g.events && g.seeking && g.mediaFilter, "the graph has its control interfaces",
               E_NOINTERFACE))
        return;

    hr = CoCreateInstance(args.filter, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                          reinterpret_cast<void**>(&g.source));
    if (!Check(SUCCEEDED(hr), "the source filter is created by class identifier", hr))
        return;
    hr = g.graph->AddFilter(g.source, L"Source");
    if (!Check(SUCCEEDED(hr), "the source joins the graph", hr))
        return;
    IFileSourceFilter* fileSource = nullptr;
    hr = g.source->QueryInterface(IID_IFileSourceFilter, reinterpret_cast<void**>(&fileSource));
    if (!Check(SUCCEEDED(hr), "the source is a file source", hr))
        return;
    hr = fileSource->Load(args.file.c_str(), nullptr);
    fileSource->Release();
    if (!Check(SUCCEEDED(hr), "the file loads", hr))
        return;

    // Every output pin gets a sink of its own.
    std::vector<IPin*> outputs;
    IEnumPins* pins = nullptr;
    if (SUCCEEDED(g.source->EnumPins(&pins))) {
        IPin* pin = nullptr;
        while (pins->Next(1, &pin, nullptr) == S_OK) {
            PIN_DIRECTION dir = PINDIR_INPUT;
            if (SUCCEEDED(pin->QueryDirection(&dir)) && dir == PINDIR_OUTPUT)
                outputs.push_back(pin);
            else
                pin->Release();
        }
        pins->Release();
    }
    if (!Check(!outputs.empty(), "the source has output pins", E_FAIL))
        return;
    bool allConnected = true;
    for (size_t i = 0; i < outputs.size(); ++i) {
        auto* sink = new SinkFilter(i);
        sink->AddRef();
        g.sinks.push_back(sink);
        std::wstring name = L"Sink " + std::to_wstring(i);
        hr = g.graph->AddFilter(static_cast<IBaseFilter*>(sink), name.c_str());
        if (SUCCEEDED(hr))
            hr = g.graph->ConnectDirect(outputs[i], sink->Pin(), nullptr);
        if (FAILED(hr)) {
            std::printf("# pin %zu not connected: 0x%08lX\n", i, static_cast<unsigned long>(hr));
            allConnected = false;
        }
        outputs[i]->Release();
    }
    if (!Check(allConnected, "every output pin connects to a sink", E_FAIL))
        return;

    // No clock: samples are delivered as fast as the source reads them.
    hr = g.mediaFilter->SetSyncSource(nullptr);
    Check(SUCCEEDED(hr), "the graph runs without a clock", hr);

    LONGLONG duration = 0;
    hr = g.seeking->GetDuration(&duration);
    if (Check(SUCCEEDED(hr) && duration > 0, "the graph reports a duration", hr))
        std::printf("# duration: %s s\n", TimeText(duration).c_str());

    std::printf("# run 1\n");
    PlayOnce(g, timeoutMs, "run 1");

    LONGLONG seekTo = args.seekSeconds >= 0 ? std::llround(args.seekSeconds * 1e7) : duration / 2;
    hr = g.seeking->SetPositions(&seekTo, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning);
    Check(SUCCEEDED(hr), "the graph seeks", hr);
    std::printf("# run 2, from %s s\n", TimeText(seekTo).c_str());
    PlayOnce(g, timeoutMs, "run 2");
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    // Output goes to a pipe; unbuffered keeps the lines in order with the graph's threads.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    Arguments args;
    if (!ParseArguments(argc, argv, args)) {
        std::fprintf(stderr, "usage: vmx_graph_host FILE [--filter {CLSID}] [--seek SECONDS] [--timeout SECONDS]\n");
        return 2;
    }
    std::printf("# file: %s\n", Narrow(args.file.c_str()).c_str());
    Check(VmxModuleOf(reinterpret_cast<const void*>(&ParseArguments)) == GetModuleHandleW(nullptr),
          "the platform layer finds the module holding an address", E_FAIL);
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (Check(SUCCEEDED(hr), "COM initialises", hr)) {
        Play(args);
        CoUninitialize();
    }
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
