// CASF_Filter: the ASF source on the Windows Media reader. Load opens the file with the reader
// and makes a pin for each stream the reader selects (one video and one audio at most, named
// after the stream); a read pass starts the reader at the seek target, whose compressed samples
// arrive through the callback object on the reader's own threads, paced by a clock the filter
// moves on a second at a time, until the reader reports the end or the pass is stopped.
#pragma once

#include <atomic>

#include "framework/demux_filter.h"
#include "platform/ref_counted.h"
#include "platform/wmsdk.h"

class CASF_Filter;

class CASF_OutputPin final : public CDemuxOutputPinT<KPacket> {
public:
    CASF_OutputPin(HRESULT* phr, CDemuxFilter* filter, LPCWSTR name, DWORD streamNumber, const CMediaType& type);

    HRESULT FillSample(IMediaSample*& sample) override;
    // A seek needs the pin's worker, but to the start.
    HRESULT ChangeStart() override;
};

// Forwards the reader's callbacks to the filter while it lives; the filter detaches it first
// thing when it goes.
class CASF_CallbackObj final : public KRefCounted<IWMReaderCallback, IWMReaderCallbackAdvanced> {
public:
    explicit CASF_CallbackObj(CASF_Filter* filter) : KRefCounted(1), m_filter(filter) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;

    HRESULT STDMETHODCALLTYPE OnStatus(WMT_STATUS status, HRESULT hr, WMT_ATTR_DATATYPE type, BYTE* value, void* context) override;
    HRESULT STDMETHODCALLTYPE OnSample(DWORD output, QWORD time, QWORD duration, DWORD flags, INSSBuffer* sample, void* context) override;
    HRESULT STDMETHODCALLTYPE OnStreamSample(WORD stream, QWORD time, QWORD duration, DWORD flags, INSSBuffer* sample, void* context) override;
    HRESULT STDMETHODCALLTYPE OnTime(QWORD time, void* context) override;
    HRESULT STDMETHODCALLTYPE OnStreamSelection(WORD, WORD*, WMT_STREAM_SELECTION*, void*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnOutputPropsChanged(DWORD, WM_MEDIA_TYPE*, void*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE AllocateForStream(WORD, DWORD, INSSBuffer**, void*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE AllocateForOutput(DWORD, DWORD, INSSBuffer**, void*) override { return E_NOTIMPL; }

    // From here on no call reaches the filter; returns once the calls under way have left it.
    void Detach();

private:
    ~CASF_CallbackObj() override = default;
    template <typename Call>
    HRESULT Forward(Call call);

    std::atomic<int> m_calls{0};  // calls on their way through to the filter
    std::atomic<CASF_Filter*> m_filter;
};

class CASF_Filter final : public CDemuxFilterT<KPacket> {
public:
    CASF_Filter(const WCHAR* name, IUnknown* outer, HRESULT* phr);
    ~CASF_Filter() override;

    HRESULT STDMETHODCALLTYPE Stop() override;
    // Each start from Stopped reads from 0: the Windows Media reader is started afresh (a seek
    // made while stopped is refused anyway).
    HRESULT STDMETHODCALLTYPE Pause() override;
    HRESULT STDMETHODCALLTYPE JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override;

    // From the callback object.
    HRESULT OnStatus(WMT_STATUS status, HRESULT result);
    HRESULT OnSample(DWORD stream, QWORD time, QWORD duration, DWORD flags, INSSBuffer* sample);
    HRESULT OnTime(QWORD time);

protected:
    HRESULT LoadFile(LPCOLESTR fileName) override;
    // A reader whose Open failed stays in that state and refuses the next Open: it is closed.
    void DiscardFile() override;
    // The reader starts at the target itself, where the pins began their segments.
    bool RestartsPinsWhenReaderStarts() const override { return false; }
    // The reader runs a pass from Start to the end, an error, or a command for the reader thread.
    void ReadPackets() override;
    HRESULT NextPacket(std::unique_ptr<KPacket>&) override { return S_FALSE; }

private:
    HRESULT DeliverClock();

    IWMReader* m_reader = nullptr;
    IWMReaderAdvanced* m_advanced = nullptr;
    CASF_CallbackObj* m_callback = nullptr;
    HANDLE m_statusEvent;
    std::atomic<HRESULT> m_status{S_OK};
    std::atomic<bool> m_clockStopped{true};
    std::atomic<REFERENCE_TIME> m_clock{0};
};
