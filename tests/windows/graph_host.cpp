// Plays one file through the platform's own filter graph: creates the graph and a VMX filter by
// class identifier (so the module must be registered), loads the file, connects every output pin
// to a recording sink of ours, runs to completion, seeks through the graph and runs again. Every
// sample and stream event is printed in the form of `vmx packets`, then the checks' tally.
//
// With --decode DIR the sinks take only uncompressed media (PCM audio, RGB or YUV video) and each
// pin is joined to its sink by the graph builder, which must find and insert the platform's own
// decoders; each sink writes what it receives to DIR (all of the audio, the first picture of each
// run), and a pin the platform cannot decode is reported with the reason.
//
//   vmx_graph_host FILE [--filter {CLSID}] [--seek SECONDS] [--timeout SECONDS] [--decode DIR]
#include <algorithm>
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
#include "platform/ref_counted.h"

#include <dmo.h>
#include <dmodshow.h>
#include <msacm.h>
#include <vfw.h>

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

void DeleteMediaType(AM_MEDIA_TYPE* mt)
{
    if (!mt)
        return;
    FreeMediaTypeFields(*mt);
    CoTaskMemFree(mt);
}

// ---- Media types in words ----

// mingw-w64's import libraries lack these.
constexpr GUID kDmoAudioDecoders = {0x57F2DB8B, 0xE6BB, 0x4513, {0x9D, 0x43, 0xDC, 0xD2, 0xA6, 0x59, 0x31, 0x25}};
constexpr GUID kDmoVideoDecoders = {0x4A69B442, 0x28BE, 0x4991, {0x96, 0x9C, 0xB5, 0x00, 0xAD, 0xF5, 0xD8, 0xA8}};
constexpr GUID kDmoWrapperFilter = {0x94297043, 0xBD82, 0x4DFD, {0xB0, 0xDE, 0x81, 0x77, 0x73, 0x9C, 0x6D, 0x20}};
constexpr GUID kDmoWrapperInit = {0x52D6F586, 0x9F0F, 0x4824, {0x8F, 0xC8, 0xE3, 0x2C, 0xA0, 0x49, 0x30, 0xC2}};
constexpr GUID kMediaObject = {0xD8AD0F58, 0x5494, 0x4102, {0x97, 0xC5, 0xEC, 0x79, 0x8E, 0x59, 0xBC, 0xF4}};
constexpr GUID kPcmSubFormat = {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

const WAVEFORMATEX* WaveFormat(const AM_MEDIA_TYPE& mt)
{
    if (mt.formattype != FORMAT_WaveFormatEx || !mt.pbFormat || mt.cbFormat < sizeof(WAVEFORMATEX) - 2)
        return nullptr;
    return reinterpret_cast<const WAVEFORMATEX*>(mt.pbFormat);
}

const BITMAPINFOHEADER* BitmapHeader(const AM_MEDIA_TYPE& mt)
{
    if (!mt.pbFormat)
        return nullptr;
    if (mt.formattype == FORMAT_VideoInfo && mt.cbFormat >= sizeof(VIDEOINFOHEADER))
        return &reinterpret_cast<const VIDEOINFOHEADER*>(mt.pbFormat)->bmiHeader;
    if (mt.formattype == FORMAT_VideoInfo2 && mt.cbFormat >= sizeof(VIDEOINFOHEADER2))
        return &reinterpret_cast<const VIDEOINFOHEADER2*>(mt.pbFormat)->bmiHeader;
    return nullptr;
}

std::string GuidText(const GUID& guid)
{
    char text[64];
    std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                  guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

// A subtype made from a four-character code reads as the code, other subtypes as the GUID.
std::string SubtypeText(const GUID& subtype)
{
    GUID base = subtype;
    base.Data1 = 0;
    static const GUID kFourccBase = {0, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
    if (base != kFourccBase)
        return GuidText(subtype);
    std::string code;
    for (int shift = 0; shift < 32; shift += 8) {
        const char c = static_cast<char>((subtype.Data1 >> shift) & 0xFF);
        if (c < 0x20 || c > 0x7E) {
            char text[16];
            std::snprintf(text, sizeof text, "0x%04lX", static_cast<unsigned long>(subtype.Data1));
            return text;
        }
        code += c;
    }
    return code;
}

struct UncompressedVideo {
    const GUID* subtype;
    const char* name;
};

// What a decoder may hand a renderer: RGB and the common YUV layouts (no palettes).
constexpr UncompressedVideo kUncompressedVideo[] = {
    {&MEDIASUBTYPE_RGB555, "RGB555"}, {&MEDIASUBTYPE_RGB565, "RGB565"}, {&MEDIASUBTYPE_RGB24, "RGB24"},
    {&MEDIASUBTYPE_RGB32, "RGB32"},   {&MEDIASUBTYPE_ARGB32, "ARGB32"}, {&MEDIASUBTYPE_YUY2, "YUY2"},
    {&MEDIASUBTYPE_UYVY, "UYVY"},     {&MEDIASUBTYPE_YV12, "YV12"},     {&MEDIASUBTYPE_IYUV, "I420"},
    {&MEDIASUBTYPE_NV12, "NV12"},
};

const char* UncompressedVideoName(const AM_MEDIA_TYPE& mt)
{
    if (mt.majortype != MEDIATYPE_Video || !BitmapHeader(mt))
        return nullptr;
    for (const UncompressedVideo& video : kUncompressedVideo)
        if (mt.subtype == *video.subtype)
            return video.name;
    // I420 under its own code.
    if (mt.subtype.Data1 == MAKEFOURCC('I', '4', '2', '0') && SubtypeText(mt.subtype) == "I420")
        return "I420";
    return nullptr;
}

bool IsPcm(const AM_MEDIA_TYPE& mt)
{
    // The subtype too: DVD LPCM comes as big-endian samples under a PCM format tag.
    const WAVEFORMATEX* wave = WaveFormat(mt);
    if (mt.majortype != MEDIATYPE_Audio || mt.subtype != MEDIASUBTYPE_PCM || !wave)
        return false;
    if (wave->wFormatTag == WAVE_FORMAT_PCM)
        return true;
    if (wave->wFormatTag != WAVE_FORMAT_EXTENSIBLE || mt.cbFormat < sizeof(WAVEFORMATEXTENSIBLE))
        return false;
    return reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(wave)->SubFormat == kPcmSubFormat;
}

// The video a sink takes, one kind after another as a renderer tries its formats: first the RGB
// depth the stream's own header names, which a codec decodes to without converting (Wine's
// Cinepak hands 24-bit pictures on under any other RGB type it agreed, and its Video 1 swaps red
// and blue at 24 bits), then the other RGB layouts, then YUV (GUID_NULL).
std::vector<GUID> VideoChoices(const AM_MEDIA_TYPE& compressed)
{
    std::vector<GUID> choices;
    const BITMAPINFOHEADER* bitmap = BitmapHeader(compressed);
    const WORD depth = bitmap ? bitmap->biBitCount : 0;
    if (depth == 24)
        choices.push_back(MEDIASUBTYPE_RGB24);
    else if (depth == 32)
        choices.push_back(MEDIASUBTYPE_RGB32);
    else if (depth == 15 || depth == 16)
        choices.push_back(MEDIASUBTYPE_RGB555);
    for (const GUID& rgb : {MEDIASUBTYPE_RGB24, MEDIASUBTYPE_RGB32, MEDIASUBTYPE_RGB565, MEDIASUBTYPE_RGB555})
        if (std::find(choices.begin(), choices.end(), rgb) == choices.end())
            choices.push_back(rgb);
    choices.push_back(GUID_NULL);
    return choices;
}

bool VideoChoiceTakes(const GUID& choice, const AM_MEDIA_TYPE& mt)
{
    if (!UncompressedVideoName(mt))
        return false;
    if (choice != GUID_NULL)
        return mt.subtype == choice || (choice == MEDIASUBTYPE_RGB32 && mt.subtype == MEDIASUBTYPE_ARGB32);
    return BitmapHeader(mt)->biCompression != BI_RGB && BitmapHeader(mt)->biCompression != BI_BITFIELDS;
}

// One line per type, in words the CI script reads back: "pcm RATE CHANNELS BITS",
// "video NAME WIDTH HEIGHT up|down", or the compressed kind, code and shape.
std::string DescribeType(const AM_MEDIA_TYPE& mt)
{
    char text[200];
    const WAVEFORMATEX* wave = WaveFormat(mt);
    const BITMAPINFOHEADER* bitmap = BitmapHeader(mt);
    if (IsPcm(mt)) {
        std::snprintf(text, sizeof text, "pcm %lu %u %u", static_cast<unsigned long>(wave->nSamplesPerSec),
                      wave->nChannels, wave->wBitsPerSample);
    } else if (const char* name = UncompressedVideoName(mt)) {
        // Bottom-up is a positive height, and only for RGB.
        const bool up = bitmap->biHeight > 0 && bitmap->biCompression == BI_RGB;
        std::snprintf(text, sizeof text, "video %s %ld %ld %s", name, static_cast<long>(bitmap->biWidth),
                      static_cast<long>(std::labs(bitmap->biHeight)), up ? "up" : "down");
    } else if (mt.majortype == MEDIATYPE_Audio && wave) {
        std::snprintf(text, sizeof text, "audio 0x%04X %lu %u %u", wave->wFormatTag,
                      static_cast<unsigned long>(wave->nSamplesPerSec), wave->nChannels, wave->wBitsPerSample);
    } else if (mt.majortype == MEDIATYPE_Video && bitmap) {
        std::snprintf(text, sizeof text, "video %s %ld %ld", SubtypeText(mt.subtype).c_str(),
                      static_cast<long>(bitmap->biWidth), static_cast<long>(std::labs(bitmap->biHeight)));
    } else {
        std::snprintf(text, sizeof text, "%s %s", mt.majortype == MEDIATYPE_Audio   ? "audio"
                                                  : mt.majortype == MEDIATYPE_Video ? "video"
                                                                                    : "other",
                      SubtypeText(mt.subtype).c_str());
    }
    return text;
}

// ---- The sink: one input pin that accepts anything (decoding: only uncompressed media) and
// writes down what arrives ----

class SinkFilter;

class EmptyMediaTypes final : public KRefCounted<IEnumMediaTypes> {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IEnumMediaTypes)
            return Answer(ppv, static_cast<IEnumMediaTypes*>(this));
        return NoInterface(ppv);
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
    ~EmptyMediaTypes() override = default;
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
    HRESULT STDMETHODCALLTYPE QueryAccept(const AM_MEDIA_TYPE* mt) override;
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
    const AM_MEDIA_TYPE& Type() const { return type_; }
    void ChangeType(const AM_MEDIA_TYPE& mt)
    {
        FreeMediaTypeFields(type_);
        CopyMediaType(type_, mt);
    }

private:
    SinkFilter* filter_;
    IPin* connected_ = nullptr;
    AM_MEDIA_TYPE type_{};
};

class SinkFilter final : public KRefCounted<IBaseFilter, IMediaSeeking> {
public:
    // An empty dump directory: accept any type and keep no bytes.
    SinkFilter(size_t pinIndex, std::wstring dumpDir = {})
        : pinIndex_(pinIndex), pin_(this), dumpDir_(std::move(dumpDir))
    {
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IPersist || riid == IID_IMediaFilter || riid == IID_IBaseFilter)
            return Answer(ppv, static_cast<IBaseFilter*>(this));
        return riid == IID_IMediaSeeking ? Answer(ppv, static_cast<IMediaSeeking*>(this)) : NoInterface(ppv);
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
    SinkPin& InputPin() { return pin_; }
    size_t PinIndex() const { return pinIndex_; }
    int SeekCalls() const { return seekCalls_; }
    bool Accepts(const AM_MEDIA_TYPE& mt) const
    {
        return dumpDir_.empty() || IsPcm(mt) || VideoChoiceTakes(videoChoice_, mt);
    }
    void SetVideoChoice(const GUID& choice) { videoChoice_ = choice; }

    // ---- The decoded bytes: all of the audio, the first picture of each run ----
    bool StartDump(int run)
    {
        std::lock_guard lock(mutex_);
        CloseDumpLocked();
        if (dumpDir_.empty())
            return true;
        dumpPath_ = dumpDir_ + L"\\pin" + std::to_wstring(pinIndex_) + L"-run" + std::to_wstring(run) + L".raw";
        dump_ = _wfopen(dumpPath_.c_str(), L"wb");
        pictureWritten_ = false;
        return dump_ != nullptr;
    }
    void Dump(const BYTE* data, size_t size, bool picture)
    {
        std::lock_guard lock(mutex_);
        if (!dump_ || (picture && pictureWritten_))
            return;
        if (std::fwrite(data, 1, size, dump_) != size)
            dumpFailed_ = true;
        pictureWritten_ = picture;
    }
    // A new segment replaces what the run gave before it: the platform's graph seeks on its own
    // as it starts a run, and only what follows the last segment is compared.
    void RestartDump()
    {
        std::lock_guard lock(mutex_);
        if (!dump_)
            return;
        CloseDumpLocked();
        dump_ = _wfopen(dumpPath_.c_str(), L"wb");
        if (!dump_)
            dumpFailed_ = true;
        pictureWritten_ = false;
    }
    bool FinishDump()
    {
        std::lock_guard lock(mutex_);
        CloseDumpLocked();
        return !dumpFailed_;
    }

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
    ~SinkFilter() override { CloseDumpLocked(); }

    void CloseDumpLocked()
    {
        if (dump_ && std::fclose(dump_) != 0)
            dumpFailed_ = true;
        dump_ = nullptr;
    }

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
    std::wstring dumpDir_;
    std::wstring dumpPath_;
    FILE* dump_ = nullptr;
    bool pictureWritten_ = false;
    bool dumpFailed_ = false;
    GUID videoChoice_ = MEDIASUBTYPE_RGB24;
};

class SinkPins final : public KRefCounted<IEnumPins> {
public:
    SinkPins(SinkFilter* filter, ULONG position) : filter_(filter), position_(position) { filter_->AddRef(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IEnumPins)
            return Answer(ppv, static_cast<IEnumPins*>(this));
        return NoInterface(ppv);
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
    ~SinkPins() override { filter_->Release(); }
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
    if (!filter_->Accepts(*mt))
        return VFW_E_TYPE_NOT_ACCEPTED;
    HRESULT hr = CopyMediaType(type_, *mt);
    if (FAILED(hr))
        return hr;
    connected_ = connector;
    connected_->AddRef();
    return S_OK;
}

HRESULT SinkPin::QueryAccept(const AM_MEDIA_TYPE* mt)
{
    if (!mt)
        return E_POINTER;
    return filter_->Accepts(*mt) ? S_OK : S_FALSE;
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
    filter_->RestartDump();
    return S_OK;
}

HRESULT SinkPin::Receive(IMediaSample* sample)
{
    if (!sample)
        return E_POINTER;
    if (!filter_->Running())
        return VFW_E_WRONG_STATE;
    // A decoder may change the type (a stride, a size) with a sample; later bytes are in the new one.
    AM_MEDIA_TYPE* changed = nullptr;
    if (sample->GetMediaType(&changed) == S_OK && changed) {
        filter_->Record("type, " + DescribeType(*changed));
        if (!filter_->Accepts(*changed)) {
            DeleteMediaType(changed);
            return VFW_E_TYPE_NOT_ACCEPTED;
        }
        ChangeType(*changed);
        DeleteMediaType(changed);
    }
    REFERENCE_TIME start = 0;
    REFERENCE_TIME stop = 0;
    HRESULT timeResult = sample->GetTime(&start, &stop);
    const bool startValid = timeResult == S_OK || timeResult == VFW_S_NO_STOP_TIME;
    const bool stopValid = timeResult == S_OK;
    LONG length = sample->GetActualDataLength();
    BYTE* data = nullptr;
    HRESULT pointerResult = sample->GetPointer(&data);
    std::uint32_t adler = 1;
    if (length > 0 && length <= sample->GetSize() && SUCCEEDED(pointerResult) && data) {
        adler = Adler32(data, static_cast<size_t>(length));
        filter_->Dump(data, static_cast<size_t>(length), type_.majortype == MEDIATYPE_Video);
    }
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
    std::wstring decodeDir;  // empty: sinks take the source's own types
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
        } else if (arg == L"--decode" && i + 1 < argc) {
            args.decodeDir = argv[++i];
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

// ---- Decoders ----

std::string PinName(IPin* pin)
{
    PIN_INFO info{};
    if (FAILED(pin->QueryPinInfo(&info)))
        return {};
    SafeRelease(info.pFilter);
    return Narrow(info.achName);
}

std::string FilterName(IBaseFilter* filter)
{
    FILTER_INFO info{};
    if (FAILED(filter->QueryFilterInfo(&info)))
        return {};
    SafeRelease(info.pGraph);
    return Narrow(info.achName);
}

bool FirstType(IPin* pin, AM_MEDIA_TYPE& type)
{
    IEnumMediaTypes* types = nullptr;
    if (FAILED(pin->EnumMediaTypes(&types)))
        return false;
    AM_MEDIA_TYPE* first = nullptr;
    const bool found = types->Next(1, &first, nullptr) == S_OK && first;
    types->Release();
    if (found) {
        type = *first;
        CoTaskMemFree(first);
    }
    return found;
}

// The filters between the source and a sink, from the source's side.
std::string DecoderChain(IPin* sinkPin, IBaseFilter* source)
{
    std::string chain;
    IPin* pin = sinkPin;
    pin->AddRef();
    for (int depth = 0; depth < 8; ++depth) {
        IPin* upstream = nullptr;
        HRESULT hr = pin->ConnectedTo(&upstream);
        pin->Release();
        pin = nullptr;
        if (FAILED(hr))
            break;
        PIN_INFO info{};
        hr = upstream->QueryPinInfo(&info);
        upstream->Release();
        if (FAILED(hr) || !info.pFilter || info.pFilter == source) {
            SafeRelease(info.pFilter);
            break;
        }
        chain = FilterName(info.pFilter) + (chain.empty() ? "" : " > ") + chain;
        // On through the decoder's connected input.
        IEnumPins* pins = nullptr;
        if (SUCCEEDED(info.pFilter->EnumPins(&pins))) {
            IPin* candidate = nullptr;
            while (!pin && pins->Next(1, &candidate, nullptr) == S_OK) {
                PIN_DIRECTION dir = PINDIR_OUTPUT;
                IPin* peer = nullptr;
                if (SUCCEEDED(candidate->QueryDirection(&dir)) && dir == PINDIR_INPUT &&
                    SUCCEEDED(candidate->ConnectedTo(&peer))) {
                    peer->Release();
                    pin = candidate;
                } else {
                    candidate->Release();
                }
            }
            pins->Release();
        }
        info.pFilter->Release();
        if (!pin)
            break;
    }
    SafeRelease(pin);
    return chain;
}

// The platform's DMO decoders that list the type among their inputs.
std::vector<std::pair<CLSID, std::string>> DmoDecoders(const AM_MEDIA_TYPE& type)
{
    std::vector<std::pair<CLSID, std::string>> found;
    const GUID& category = type.majortype == MEDIATYPE_Audio ? kDmoAudioDecoders : kDmoVideoDecoders;
    DMO_PARTIAL_MEDIATYPE input = {type.majortype, type.subtype};
    IEnumDMO* dmos = nullptr;
    if (FAILED(DMOEnum(category, DMO_ENUMF_INCLUDE_KEYED, 1, &input, 0, nullptr, &dmos)) || !dmos)
        return found;
    CLSID clsid;
    WCHAR* name = nullptr;
    while (dmos->Next(1, &clsid, &name, nullptr) == S_OK) {
        found.emplace_back(clsid, Narrow(name));
        CoTaskMemFree(name);
        name = nullptr;
    }
    dmos->Release();
    return found;
}

enum class Verdict { Accepts, Refuses, Stub };

// What a DMO says to the type: a DMO whose type calls are stubs (E_NOTIMPL, as Wine's Windows Media
// DMOs have them) decodes nothing in a filter graph, whatever it lists.
Verdict DmoVerdict(const CLSID& clsid, const AM_MEDIA_TYPE& type)
{
    IMediaObject* dmo = nullptr;
    if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, kMediaObject, reinterpret_cast<void**>(&dmo))))
        return Verdict::Stub;
    // A DMO's type is laid out as a filter's.
    const auto* dmoType = reinterpret_cast<const DMO_MEDIA_TYPE*>(&type);
    HRESULT hr = dmo->SetInputType(0, dmoType, DMO_SET_TYPEF_TEST_ONLY);
    Verdict verdict = hr == E_NOTIMPL ? Verdict::Stub : hr == S_OK ? Verdict::Accepts : Verdict::Refuses;
    if (verdict == Verdict::Accepts && SUCCEEDED(dmo->SetInputType(0, dmoType, 0))) {
        DMO_MEDIA_TYPE output{};
        hr = dmo->GetOutputType(0, 0, &output);
        if (hr == E_NOTIMPL)
            verdict = Verdict::Stub;
        else if (SUCCEEDED(hr))
            FreeMediaTypeFields(reinterpret_cast<AM_MEDIA_TYPE&>(output));
    }
    dmo->Release();
    return verdict;
}

std::vector<std::string> StubDmos(const AM_MEDIA_TYPE& type)
{
    std::vector<std::string> stubs;
    for (const auto& [clsid, name] : DmoDecoders(type))
        if (DmoVerdict(clsid, type) == Verdict::Stub)
            stubs.push_back(name);
    return stubs;
}

// Whether an ACM codec opens a conversion of the type to the PCM it suggests. A suggestion alone
// says little: Wine's ACM suggests PCM for tags no codec of it reads.
bool AcmDecodes(const AM_MEDIA_TYPE& type)
{
    const WAVEFORMATEX* wave = WaveFormat(type);
    if (!wave || wave->wFormatTag == WAVE_FORMAT_PCM)
        return false;
    WAVEFORMATEX pcm{};
    pcm.wFormatTag = WAVE_FORMAT_PCM;
    if (acmFormatSuggest(nullptr, const_cast<WAVEFORMATEX*>(wave), &pcm, sizeof pcm, ACM_FORMATSUGGESTF_WFORMATTAG) !=
        MMSYSERR_NOERROR)
        return false;
    return acmStreamOpen(nullptr, nullptr, const_cast<WAVEFORMATEX*>(wave), &pcm, nullptr, 0, 0,
                         ACM_STREAMOPENF_QUERY) == MMSYSERR_NOERROR;
}

// Who on the platform claims to decode a type that no graph could be built for: an ACM codec
// that suggests PCM for it, a video codec that opens it, or a registered filter for its exact
// subtype. Empty when nobody does.
std::string DecoderClaiming(const AM_MEDIA_TYPE& type)
{
    if (AcmDecodes(type))
        return "an ACM codec opens a conversion of it to PCM";
    if (const BITMAPINFOHEADER* bitmap = BitmapHeader(type)) {
        HIC codec = ICLocate(ICTYPE_VIDEO, 0, const_cast<BITMAPINFOHEADER*>(bitmap), nullptr, ICMODE_DECOMPRESS);
        if (codec) {
            ICClose(codec);
            return "a video codec opens it for decompression";
        }
    }
    IFilterMapper2* mapper = nullptr;
    if (FAILED(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                reinterpret_cast<void**>(&mapper))))
        return {};
    std::string claims;
    const std::vector<std::string> stubs = StubDmos(type);
    GUID types[2] = {type.majortype, type.subtype};
    IEnumMoniker* monikers = nullptr;
    if (SUCCEEDED(mapper->EnumMatchingFilters(&monikers, 0, TRUE, MERIT_UNLIKELY, TRUE, 1, types, nullptr, nullptr,
                                              FALSE, FALSE, 0, nullptr, nullptr, nullptr)) &&
        monikers) {
        IMoniker* moniker = nullptr;
        while (monikers->Next(1, &moniker, nullptr) == S_OK) {
            IPropertyBag* bag = nullptr;
            if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&bag)))) {
                VARIANT name;
                VariantInit(&name);
                if (SUCCEEDED(bag->Read(L"FriendlyName", &name, nullptr)) && name.vt == VT_BSTR &&
                    std::find(stubs.begin(), stubs.end(), Narrow(name.bstrVal)) == stubs.end())
                    claims += (claims.empty() ? "registered for it: " : ", ") + Narrow(name.bstrVal);
                VariantClear(&name);
                bag->Release();
            }
            moniker->Release();
        }
        monikers->Release();
    }
    mapper->Release();
    return claims;
}

// Each decoder registered for the type's exact subtype, and each DMO decoder that lists it, asked
// whether it takes the type: a filter through its input pin's QueryAccept, a DMO through a test
// SetInputType. Shows a decoder that refuses a pin the graph builder then joined through another.
std::string DecodersAsked(const AM_MEDIA_TYPE& type)
{
    std::string answers;
    std::vector<std::string> asked;
    auto note = [&](const std::string& name, bool accepts) {
        // The filter mapper lists DMOs as filters too.
        if (std::find(asked.begin(), asked.end(), name) != asked.end())
            return;
        asked.push_back(name);
        answers += (answers.empty() ? "" : ", ") + name + (accepts ? " accepts" : " refuses");
    };
    if (const WAVEFORMATEX* wave = WaveFormat(type); wave && wave->wFormatTag != WAVE_FORMAT_PCM)
        note("ACM", AcmDecodes(type));
    for (const auto& [clsid, name] : DmoDecoders(type)) {
        const Verdict verdict = DmoVerdict(clsid, type);
        if (verdict == Verdict::Stub) {
            asked.push_back(name);
            answers += (answers.empty() ? "" : ", ") + name + " has stubs for its type calls";
        } else {
            note(name, verdict == Verdict::Accepts);
        }
    }
    IFilterMapper2* mapper = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                   reinterpret_cast<void**>(&mapper)))) {
        GUID types[2] = {type.majortype, type.subtype};
        IEnumMoniker* monikers = nullptr;
        if (SUCCEEDED(mapper->EnumMatchingFilters(&monikers, 0, TRUE, MERIT_UNLIKELY, TRUE, 1, types, nullptr,
                                                  nullptr, FALSE, FALSE, 0, nullptr, nullptr, nullptr)) &&
            monikers) {
            IMoniker* moniker = nullptr;
            while (monikers->Next(1, &moniker, nullptr) == S_OK) {
                IBaseFilter* filter = nullptr;
                if (SUCCEEDED(moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter,
                                                    reinterpret_cast<void**>(&filter)))) {
                    IEnumPins* pins = nullptr;
                    bool accepts = false;
                    if (SUCCEEDED(filter->EnumPins(&pins))) {
                        IPin* pin = nullptr;
                        while (pins->Next(1, &pin, nullptr) == S_OK) {
                            PIN_DIRECTION dir = PINDIR_OUTPUT;
                            if (SUCCEEDED(pin->QueryDirection(&dir)) && dir == PINDIR_INPUT)
                                accepts = accepts || pin->QueryAccept(&type) == S_OK;
                            pin->Release();
                        }
                        pins->Release();
                    }
                    std::string name = "a filter";
                    IPropertyBag* bag = nullptr;
                    if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag,
                                                         reinterpret_cast<void**>(&bag)))) {
                        VARIANT friendly;
                        VariantInit(&friendly);
                        if (SUCCEEDED(bag->Read(L"FriendlyName", &friendly, nullptr)) && friendly.vt == VT_BSTR)
                            name = Narrow(friendly.bstrVal);
                        VariantClear(&friendly);
                        bag->Release();
                    }
                    note(name, accepts);
                    filter->Release();
                }
                moniker->Release();
            }
            monikers->Release();
        }
        mapper->Release();
    }
    return answers;
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

// Each pin goes to an uncompressed-only sink through whatever the graph builder inserts. A pin
// the graph builder cannot join is tried again through each DMO decoder that lists its type,
// since a filter mapper need not offer DMOs; a pin nothing joins is reported and left out.
void ConnectThroughDecoders(Graph& g, const std::vector<IPin*>& outputs, const std::wstring& dumpDir)
{
    for (size_t i = 0; i < outputs.size(); ++i) {
        AM_MEDIA_TYPE offered{};
        const bool typed = FirstType(outputs[i], offered);
        const std::string pin = std::to_string(i) + " (" + PinName(outputs[i]) + ")";
        const std::string in = typed ? DescribeType(offered) : "no type";
        auto* sink = new SinkFilter(i, dumpDir);
        sink->AddRef();
        const std::wstring name = L"Sink " + std::to_wstring(i);
        HRESULT hr = g.graph->AddFilter(static_cast<IBaseFilter*>(sink), name.c_str());
        const std::vector<GUID> choices = typed ? VideoChoices(offered) : std::vector<GUID>{GUID_NULL};
        sink->SetVideoChoice(choices.front());
        if (SUCCEEDED(hr))
            hr = g.graph->Connect(outputs[i], sink->Pin());
        const bool video = typed && offered.majortype == MEDIATYPE_Video;
        for (size_t choice = 1; FAILED(hr) && video && choice < choices.size(); ++choice) {
            sink->SetVideoChoice(choices[choice]);
            hr = g.graph->Connect(outputs[i], sink->Pin());
        }
        std::string viaDmo;
        std::string dmoRefusals;
        if (FAILED(hr) && typed) {
            for (const auto& [clsid, dmoName] : DmoDecoders(offered)) {
                if (DmoVerdict(clsid, offered) == Verdict::Stub)
                    continue;
                IBaseFilter* wrapper = nullptr;
                IDMOWrapperFilter* init = nullptr;
                const GUID& category = offered.majortype == MEDIATYPE_Audio ? kDmoAudioDecoders
                                                                            : kDmoVideoDecoders;
                HRESULT dmoResult = CoCreateInstance(kDmoWrapperFilter, nullptr, CLSCTX_INPROC_SERVER,
                                                     IID_IBaseFilter, reinterpret_cast<void**>(&wrapper));
                if (SUCCEEDED(dmoResult))
                    dmoResult = wrapper->QueryInterface(kDmoWrapperInit, reinterpret_cast<void**>(&init));
                if (SUCCEEDED(dmoResult))
                    dmoResult = init->Init(clsid, category);
                const std::wstring wrapperName(dmoName.begin(), dmoName.end());
                if (SUCCEEDED(dmoResult))
                    dmoResult = g.graph->AddFilter(wrapper, wrapperName.c_str());
                if (SUCCEEDED(dmoResult))
                    dmoResult = g.graph->Connect(outputs[i], sink->Pin());
                if (SUCCEEDED(dmoResult)) {
                    viaDmo = dmoName;
                    hr = dmoResult;
                } else {
                    char text[200];
                    std::snprintf(text, sizeof text, "%s%s (0x%08lX)", dmoRefusals.empty() ? "" : ", ",
                                  dmoName.c_str(), static_cast<unsigned long>(dmoResult));
                    dmoRefusals += text;
                    if (wrapper)
                        g.graph->RemoveFilter(wrapper);
                }
                SafeRelease(init);
                SafeRelease(wrapper);
                if (!viaDmo.empty())
                    break;
            }
        }
        if (SUCCEEDED(hr)) {
            g.sinks.push_back(sink);
            const std::string chain = DecoderChain(sink->Pin(), g.source);
            std::printf("# decoded pin %s: in %s; out %s; via %s%s\n", pin.c_str(), in.c_str(),
                        DescribeType(sink->InputPin().Type()).c_str(), chain.empty() ? "no decoder" : chain.c_str(),
                        viaDmo.empty() ? "" : " (DMO added by hand)");
        } else {
            g.graph->RemoveFilter(static_cast<IBaseFilter*>(sink));
            sink->Release();
            std::string claim = typed ? DecoderClaiming(offered) : std::string();
            if (!dmoRefusals.empty())
                claim += (claim.empty() ? "DMO decoders refuse it: " : "; DMO decoders refuse it: ") + dmoRefusals;
            if (claim.empty())
                std::printf("# no decoder for pin %s: in %s (0x%08lX)\n", pin.c_str(), in.c_str(),
                            static_cast<unsigned long>(hr));
            else
                std::printf("# decoder refuses pin %s: in %s (0x%08lX); %s\n", pin.c_str(), in.c_str(),
                            static_cast<unsigned long>(hr), claim.c_str());
        }
        if (typed) {
            const std::string asked = DecodersAsked(offered);
            if (!asked.empty())
                std::printf("# decoders asked for pin %s: %s\n", pin.c_str(), asked.c_str());
            FreeMediaTypeFields(offered);
        }
    }
}

void PrintRun(Graph& g, const std::vector<size_t>& marks)
{
    std::printf("# pin, kind, start (100 ns), start (s), stop (100 ns), stop (s), size, sync, discontinuity, "
                "preroll, adler32\n");
    for (size_t i = 0; i < g.sinks.size(); ++i)
        for (const std::string& line : g.sinks[i]->LinesSince(marks[i]))
            std::printf("%s\n", line.c_str());
}

// Runs the graph from its current position to EC_COMPLETE and prints what every sink received.
void PlayOnce(Graph& g, DWORD timeoutMs, int run)
{
    const std::string label = "run " + std::to_string(run);
    const char* name = label.c_str();
    std::vector<size_t> marks;
    std::vector<int> endsBefore;
    for (SinkFilter* sink : g.sinks) {
        marks.push_back(sink->Mark());
        endsBefore.push_back(sink->EndOfStreams());
        if (!sink->StartDump(run))
            Check(false, "the sink opens its dump file", E_FAIL);
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
    for (SinkFilter* sink : g.sinks)
        if (!sink->FinishDump())
            Check(false, "the sink writes its dump file", E_FAIL);
    for (size_t i = 0; i < g.sinks.size(); ++i) {
        what = std::string(name) + ": pin " + std::to_string(g.sinks[i]->PinIndex()) + " ends its stream";
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
    bool connected = true;
    if (!args.decodeDir.empty()) {
        ConnectThroughDecoders(g, outputs, args.decodeDir);
        connected = !g.sinks.empty();
    } else {
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
        }
        connected = Check(allConnected, "every output pin connects to a sink", E_FAIL);
    }
    for (IPin* output : outputs)
        output->Release();
    if (!connected)
        return;

    // No clock: samples are delivered as fast as the source reads them.
    hr = g.mediaFilter->SetSyncSource(nullptr);
    Check(SUCCEEDED(hr), "the graph runs without a clock", hr);

    LONGLONG duration = 0;
    hr = g.seeking->GetDuration(&duration);
    if (Check(SUCCEEDED(hr) && duration > 0, "the graph reports a duration", hr))
        std::printf("# duration: %s s\n", TimeText(duration).c_str());

    std::printf("# run 1\n");
    PlayOnce(g, timeoutMs, 1);

    LONGLONG seekTo = args.seekSeconds >= 0 ? std::llround(args.seekSeconds * 1e7) : duration / 2;
    hr = g.seeking->SetPositions(&seekTo, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning);
    Check(SUCCEEDED(hr), "the graph seeks", hr);
    std::printf("# run 2, from %s s\n", TimeText(seekTo).c_str());
    PlayOnce(g, timeoutMs, 2);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    // Output goes to a pipe; unbuffered keeps the lines in order with the graph's threads.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    Arguments args;
    if (!ParseArguments(argc, argv, args)) {
        std::fprintf(stderr, "usage: vmx_graph_host FILE [--filter {CLSID}] [--seek SECONDS] [--timeout SECONDS] "
                             "[--decode DIR]\n");
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
