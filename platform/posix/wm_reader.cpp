// The Windows Media reader of the platform layer: the reader the platform provides on Windows,
// with its interfaces, callbacks and threads, over the module's ASF parser. Open completes on a
// thread of its own; Start delivers whole media objects per stream on another, at presentation
// times less the file's preroll, paced by the user's clock when the user provides one.
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <new>
#include <mutex>
#include <thread>
#include <vector>

#include "demux/asf/asf_media_types.h"
#include "demux/asf/asf_read_handler.h"
#include "platform/ref_counted.h"
#include "platform/wmsdk.h"

namespace {

constexpr REFERENCE_TIME kMillisecond = 10000;

class CNssBuffer final : public KRefCounted<INSSBuffer> {
public:
    explicit CNssBuffer(std::vector<BYTE> bytes) : KRefCounted(1), m_bytes(std::move(bytes)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        return riid == IID_IUnknown || riid == IID_INSSBuffer ? Answer(ppv, static_cast<INSSBuffer*>(this)) : NoInterface(ppv);
    }

    HRESULT STDMETHODCALLTYPE GetLength(DWORD* length) override
    {
        if (!length)
            return E_POINTER;
        *length = static_cast<DWORD>(m_bytes.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetLength(DWORD length) override
    {
        return length <= m_bytes.size() ? (m_bytes.resize(length), S_OK) : E_INVALIDARG;
    }
    HRESULT STDMETHODCALLTYPE GetMaxLength(DWORD* length) override { return GetLength(length); }
    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** buffer) override
    {
        if (!buffer)
            return E_POINTER;
        *buffer = m_bytes.data();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetBufferAndLength(BYTE** buffer, DWORD* length) override
    {
        if (!buffer || !length)
            return E_POINTER;
        *buffer = m_bytes.data();
        *length = static_cast<DWORD>(m_bytes.size());
        return S_OK;
    }

private:
    ~CNssBuffer() override = default;
    std::vector<BYTE> m_bytes;
};

// One stream of the profile: its number, type and an empty name (ASF files rarely name them).
class CWmStreamConfig final : public KRefCounted<IWMStreamConfig, IWMMediaProps> {
public:
    CWmStreamConfig(WORD number, const CMediaType& type) : KRefCounted(1), m_number(number), m_type(type) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IWMStreamConfig)
            return Answer(ppv, static_cast<IWMStreamConfig*>(this));
        return riid == IID_IWMMediaProps ? Answer(ppv, static_cast<IWMMediaProps*>(this)) : NoInterface(ppv);
    }

    HRESULT STDMETHODCALLTYPE GetStreamType(GUID* type) override { return GetType(type); }
    HRESULT STDMETHODCALLTYPE GetStreamNumber(WORD* number) override
    {
        if (!number)
            return E_POINTER;
        *number = m_number;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetStreamNumber(WORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetStreamName(WCHAR* name, WORD* length) override
    {
        if (!length)
            return E_POINTER;
        if (name && *length > 0)
            name[0] = 0;
        *length = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetStreamName(const WCHAR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetConnectionName(WCHAR* name, WORD* length) override { return GetStreamName(name, length); }
    HRESULT STDMETHODCALLTYPE SetConnectionName(const WCHAR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetBitrate(DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetBitrate(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetBufferWindow(DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetBufferWindow(DWORD) override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE GetType(GUID* type) override
    {
        if (!type)
            return E_POINTER;
        *type = m_type.majortype;
        return S_OK;
    }
    // The record, then its format block right behind it, as one piece of the caller's memory.
    HRESULT STDMETHODCALLTYPE GetMediaType(WM_MEDIA_TYPE* type, DWORD* size) override
    {
        if (!size)
            return E_POINTER;
        const DWORD needed = static_cast<DWORD>(sizeof(WM_MEDIA_TYPE) + m_type.cbFormat);
        if (!type) {
            *size = needed;
            return S_OK;
        }
        if (*size < needed) {
            *size = needed;
            return E_INVALIDARG;
        }
        *type = static_cast<const AM_MEDIA_TYPE&>(m_type);
        type->pUnk = nullptr;
        type->pbFormat = m_type.cbFormat ? reinterpret_cast<BYTE*>(type + 1) : nullptr;
        if (m_type.cbFormat)
            std::memcpy(type->pbFormat, m_type.pbFormat, m_type.cbFormat);
        *size = needed;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetMediaType(WM_MEDIA_TYPE*) override { return E_NOTIMPL; }

private:
    ~CWmStreamConfig() override = default;
    WORD m_number;
    CMediaType m_type;
};

class CWmReader final : public KRefCounted<IWMReader, IWMReaderAdvanced, IWMProfile, IWMHeaderInfo> {
public:
    CWmReader() : KRefCounted(1) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IWMReader)
            return Answer(ppv, static_cast<IWMReader*>(this));
        if (riid == IID_IWMReaderAdvanced)
            return Answer(ppv, static_cast<IWMReaderAdvanced*>(this));
        if (riid == IID_IWMProfile)
            return Answer(ppv, static_cast<IWMProfile*>(this));
        return riid == IID_IWMHeaderInfo ? Answer(ppv, static_cast<IWMHeaderInfo*>(this)) : NoInterface(ppv);
    }

    // ---- IWMReader ----

    HRESULT STDMETHODCALLTYPE Open(const WCHAR* url, IWMReaderCallback* callback, void* context) override
    {
        if (!url || !callback)
            return E_INVALIDARG;
        std::lock_guard<std::mutex> control(m_control);
        if (m_callback)
            return E_UNEXPECTED;
        m_callback = callback;
        m_callback->AddRef();
        m_callback->QueryInterface(IID_IWMReaderCallbackAdvanced, reinterpret_cast<void**>(&m_advanced));
        m_context = context;
        WString path = url;
        m_opener = std::thread([this, path] {
            const bool opened = m_handler.Open(path.c_str());
            m_opened = opened;
            Status(WMT_OPENED, opened ? S_OK : E_FAIL);
        });
        return S_OK;
    }

    // Callbacks are made with no lock of the reader's held: the user's callback may take locks of
    // its own that the user holds when it calls the reader.
    HRESULT STDMETHODCALLTYPE Close() override
    {
        IWMReaderCallback* callback = nullptr;
        IWMReaderCallbackAdvanced* advanced = nullptr;
        void* context = nullptr;
        {
            std::lock_guard<std::mutex> control(m_control);
            if (!m_callback)
                return S_OK;
            if (m_opener.joinable())
                m_opener.join();
            StopDelivery();
            m_handler.Close();
            m_opened = false;
            std::swap(callback, m_callback);
            std::swap(advanced, m_advanced);
            std::swap(context, m_context);
        }
        callback->OnStatus(WMT_CLOSED, S_OK, WMT_TYPE_DWORD, nullptr, context);
        if (advanced)
            advanced->Release();
        callback->Release();
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetOutputCount(DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetOutputProps(DWORD, IWMOutputMediaProps**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetOutputProps(DWORD, IWMOutputMediaProps*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetOutputFormatCount(DWORD, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetOutputFormat(DWORD, DWORD, IWMOutputMediaProps**) override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE Start(QWORD start, QWORD, float, void*) override
    {
        std::lock_guard<std::mutex> control(m_control);
        if (!Opened())
            return E_UNEXPECTED;
        StopDelivery();
        m_stopping = false;
        m_delivery = std::thread([this, start] { Deliver(static_cast<REFERENCE_TIME>(std::min<QWORD>(start, 1ULL << 62))); });
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Stop() override
    {
        bool stopped;
        {
            std::lock_guard<std::mutex> control(m_control);
            if (!Opened())
                return E_UNEXPECTED;
            stopped = StopDelivery();
        }
        if (stopped)
            Status(WMT_STOPPED, S_OK);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Pause() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Resume() override { return E_NOTIMPL; }

    // ---- IWMReaderAdvanced ----

    HRESULT STDMETHODCALLTYPE SetUserProvidedClock(BOOL userClock) override
    {
        m_userClock = userClock != 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetUserProvidedClock(BOOL* userClock) override
    {
        if (!userClock)
            return E_POINTER;
        *userClock = m_userClock;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE DeliverTime(QWORD time) override
    {
        {
            std::lock_guard<std::mutex> guard(m_clockLock);
            m_clock = static_cast<REFERENCE_TIME>(std::min<QWORD>(time, 1ULL << 62));
        }
        m_clockMoved.notify_all();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetManualStreamSelection(BOOL manual) override { return manual ? E_NOTIMPL : S_OK; }
    HRESULT STDMETHODCALLTYPE GetManualStreamSelection(BOOL* manual) override
    {
        if (!manual)
            return E_POINTER;
        *manual = FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetStreamsSelected(WORD, WORD*, WMT_STREAM_SELECTION*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetStreamSelected(WORD number, WMT_STREAM_SELECTION* selection) override
    {
        if (!selection)
            return E_POINTER;
        const KAsfEXReadStream* stream = Opened() ? m_handler.StreamByNumber(number) : nullptr;
        if (!stream)
            return E_INVALIDARG;
        *selection = stream->selected ? WMT_ON : WMT_OFF;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetReceiveSelectionCallbacks(BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetReceiveSelectionCallbacks(BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetReceiveStreamSamples(WORD number, BOOL receive) override
    {
        if (!Opened() || !m_handler.StreamByNumber(number) || number >= m_receive.size())
            return E_INVALIDARG;
        m_receive[number] = receive != 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetReceiveStreamSamples(WORD number, BOOL* receive) override
    {
        if (!receive)
            return E_POINTER;
        if (number >= m_receive.size())
            return E_INVALIDARG;
        *receive = m_receive[number];
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetAllocateForOutput(DWORD, BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetAllocateForOutput(DWORD, BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetAllocateForStream(WORD, BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetAllocateForStream(WORD, BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetStatistics(WM_READER_STATISTICS*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetClientInfo(WM_READER_CLIENTINFO*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMaxOutputSampleSize(DWORD, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMaxStreamSampleSize(WORD, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE NotifyLateDelivery(QWORD) override { return S_OK; }

    // ---- IWMProfile ----

    HRESULT STDMETHODCALLTYPE GetVersion(WMT_VERSION* version) override
    {
        if (!version)
            return E_POINTER;
        *version = WMT_VER_9_0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetName(WCHAR*, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetName(const WCHAR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetDescription(WCHAR*, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetDescription(const WCHAR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetStreamCount(DWORD* count) override
    {
        if (!count)
            return E_POINTER;
        *count = Opened() ? static_cast<DWORD>(m_handler.StreamCount()) : 0;
        return Opened() ? S_OK : E_UNEXPECTED;
    }
    HRESULT STDMETHODCALLTYPE GetStream(DWORD index, IWMStreamConfig** config) override
    {
        if (!config)
            return E_POINTER;
        *config = nullptr;
        if (!Opened() || index >= m_handler.StreamCount())
            return E_INVALIDARG;
        const KAsfEXReadStream& stream = m_handler.Stream(index);
        const auto type = AsfStreamMediaType(stream);
        *config = new CWmStreamConfig(stream.number, type ? *type : CMediaType());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetStreamByNumber(WORD, IWMStreamConfig**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RemoveStream(IWMStreamConfig*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RemoveStreamByNumber(WORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE AddStream(IWMStreamConfig*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ReconfigStream(IWMStreamConfig*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CreateNewStream(REFGUID, IWMStreamConfig**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMutualExclusionCount(DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMutualExclusion(DWORD, IWMMutualExclusion**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RemoveMutualExclusion(IWMMutualExclusion*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE AddMutualExclusion(IWMMutualExclusion*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CreateNewMutualExclusion(IWMMutualExclusion**) override { return E_NOTIMPL; }

    // ---- IWMHeaderInfo ----

    HRESULT STDMETHODCALLTYPE GetAttributeCount(WORD, WORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetAttributeByIndex(WORD, WORD*, WCHAR*, WORD*, WMT_ATTR_DATATYPE*, BYTE*, WORD*) override { return E_NOTIMPL; }
    // "Duration" alone: the play duration less the preroll, a QWORD of 100 ns.
    HRESULT STDMETHODCALLTYPE GetAttributeByName(WORD* stream, LPCWSTR name, WMT_ATTR_DATATYPE* type, BYTE* value, WORD* length) override
    {
        static constexpr WCHAR kDuration[] = {'D', 'u', 'r', 'a', 't', 'i', 'o', 'n', 0};
        if (!stream || !name || !type || !length)
            return E_POINTER;
        if (!Opened() || *stream != 0 || WString(name) != kDuration || !m_handler.Header().fileProperties)
            return E_INVALIDARG;  // the platform's "attribute not found" is a failure too
        const auto& file = *m_handler.Header().fileProperties;
        const QWORD preroll = std::min<std::uint64_t>(file.preroll, 1ULL << 40) * static_cast<QWORD>(kMillisecond);
        const QWORD duration = file.playDuration > preroll ? file.playDuration - preroll : 0;
        *type = WMT_TYPE_QWORD;
        if (value) {
            if (*length < sizeof duration)
                return E_INVALIDARG;
            std::memcpy(value, &duration, sizeof duration);
        }
        *length = sizeof duration;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetAttribute(WORD, LPCWSTR, WMT_ATTR_DATATYPE, const BYTE*, WORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMarkerCount(WORD* count) override
    {
        if (!count)
            return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetMarker(WORD, WCHAR*, WORD*, QWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE AddMarker(const WCHAR*, QWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RemoveMarker(WORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetScriptCount(WORD* count) override
    {
        if (!count)
            return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetScript(WORD, WCHAR*, WORD*, WCHAR*, WORD*, QWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE AddScript(const WCHAR*, const WCHAR*, QWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RemoveScript(WORD) override { return E_NOTIMPL; }

private:
    // A reader released while open closes first: its threads and callbacks end before it goes.
    ~CWmReader() override { Close(); }

    bool Opened()
    {
        // Open completes on its thread; until then nothing of the file is known.
        return m_opened.load();
    }

    void Status(WMT_STATUS status, HRESULT result)
    {
        if (m_callback)
            m_callback->OnStatus(status, result, WMT_TYPE_DWORD, nullptr, m_context);
    }

    // Ends the delivery thread; true when one was running.
    bool StopDelivery()
    {
        if (!m_delivery.joinable())
            return false;
        m_stopping = true;
        m_clockMoved.notify_all();
        m_delivery.join();
        return true;
    }

    // From the key frame before the start to the end, each object as the clock reaches it.
    void Deliver(REFERENCE_TIME start)
    {
        const auto& file = *m_handler.Header().fileProperties;
        const REFERENCE_TIME preroll = static_cast<REFERENCE_TIME>(std::min<std::uint64_t>(file.preroll, 1ULL << 40)) * kMillisecond;
        const REFERENCE_TIME offset = m_handler.TimeBase() - preroll;  // the parser's times to the samples'
        // From 0 the first data packet, whatever the preroll.
        m_handler.SeekToKeyFrameBefore(start <= 0 ? 0 : start - offset);
        {
            std::lock_guard<std::mutex> guard(m_clockLock);
            m_clock = -1;
        }
        Status(WMT_STARTED, S_OK);
        bool first = true;
        REFERENCE_TIME announced = -1;
        AsfObject object;
        std::vector<BYTE> bytes;
        while (!m_stopping) {
            if (!m_handler.ReadNextObject(object)) {
                Status(WMT_EOF, S_OK);
                return;
            }
            if (object.streamNumber >= m_receive.size() || !m_receive[object.streamNumber] || object.size == 0 ||
                !m_handler.CopyObject(object.streamNumber, bytes))
                continue;
            const REFERENCE_TIME time = std::max<REFERENCE_TIME>(0, object.time + offset);
            // Wait for the user's clock to pass the sample, telling the user each time it has
            // caught up with it.
            if (m_userClock) {
                std::unique_lock<std::mutex> lock(m_clockLock);
                while (!m_stopping && time >= m_clock) {
                    if (m_clock >= 0 && announced != m_clock && m_advanced) {
                        announced = m_clock;
                        const QWORD reached = static_cast<QWORD>(m_clock);
                        lock.unlock();
                        m_advanced->OnTime(reached, m_context);
                        lock.lock();
                        continue;
                    }
                    m_clockMoved.wait_for(lock, std::chrono::milliseconds(10));
                }
            }
            if (m_stopping)
                return;
            DWORD flags = object.key ? WM_SF_CLEANPOINT : 0;
            if (first)
                flags |= WM_SF_DISCONTINUITY;
            first = false;
            auto* buffer = new CNssBuffer(std::move(bytes));
            bytes = {};
            if (m_advanced)
                m_advanced->OnStreamSample(object.streamNumber, static_cast<QWORD>(time), 0, flags, buffer, m_context);
            buffer->Release();
        }
    }

    std::mutex m_control;  // Open, Close, Start and Stop one at a time
    IWMReaderCallback* m_callback = nullptr;
    IWMReaderCallbackAdvanced* m_advanced = nullptr;
    void* m_context = nullptr;
    KAsfExReadHandler m_handler;
    std::atomic<bool> m_opened{false};
    std::thread m_opener;
    std::thread m_delivery;
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_userClock{false};
    std::mutex m_clockLock;
    std::condition_variable m_clockMoved;
    REFERENCE_TIME m_clock = -1;
    std::vector<bool> m_receive = std::vector<bool>(128, false);  // stream numbers are 1 to 127
};

}  // namespace

HRESULT WMCreateReader(IUnknown*, DWORD, IWMReader** reader)
{
    if (!reader)
        return E_POINTER;
    *reader = new (std::nothrow) CWmReader();
    return *reader ? S_OK : E_OUTOFMEMORY;
}
