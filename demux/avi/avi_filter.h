// CAVI2_Filter: the AVI source. Load reads the file's streams and indexes (a background scan
// indexes files without one while they play); the first video stream gets the pin "Video", each
// audio stream "Audio %02d". The reader hands out chunks in interleaved time order, audio up to a
// second ahead; a seek moves every stream, snapping to video key frames when asked.
#pragma once

#include <atomic>

#include "demux/avi/avi_read_handler.h"
#include "demux/avi/ivmx_avi.h"
#include "framework/demux_filter.h"

class CAVI2_Filter;

class CAVI2_OutputPin final : public CDemuxOutputPinT<KPacket2> {
public:
    CAVI2_OutputPin(HRESULT* phr, CAVI2_Filter* filter, LPCWSTR name, DWORD streamNumber, const CMediaType& type);

    HRESULT FillSample(IMediaSample*& sample) override;
    HRESULT STDMETHODCALLTYPE SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop,
                                           DWORD stopFlags) override;

protected:
    // The media type's sample size is the headers' word, which a damaged file can make a
    // gigabyte: the buffers are sized as if it were no larger than the file when opened.
    LONGLONG LargestSampleSize() const override;

private:
    CAVI2_Filter* m_avi;
};

class CAVI2_Filter final : public CDemuxFilterT<KPacket2>, public IVmxAVI {
public:
    CAVI2_Filter(const WCHAR* name, IUnknown* outer, HRESULT* phr);
    ~CAVI2_Filter() override;

    DECLARE_IUNKNOWN
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    // The scan of a file without an index stops with the filter and resumes with it.
    HRESULT STDMETHODCALLTYPE Stop() override;
    HRESULT STDMETHODCALLTYPE Pause() override;

    // IVmxAVI
    HRESULT STDMETHODCALLTYPE SetUserValue(DWORD value) override;
    HRESULT STDMETHODCALLTYPE GetUserValue(DWORD* value) override;
    HRESULT STDMETHODCALLTYPE SetNotify(void* target) override;
    HRESULT STDMETHODCALLTYPE GetIndexedDuration(LONGLONG* duration) override;
    HRESULT STDMETHODCALLTYPE SetAnchoring(DWORD value) override;
    HRESULT STDMETHODCALLTYPE GetAnchoring(DWORD* value) override;
    HRESULT STDMETHODCALLTYPE SetSeekKeyFrame(BOOL on) override;
    HRESULT STDMETHODCALLTYPE GetSeekKeyFrame(BOOL* on) override;

    // Whether the coming seek moves the start (set by the seeking pin).
    void PrepareSeek(bool changed) { m_seekChanges = changed; }
    bool SeekKeyFrame() const { return m_seekKeyFrame; }
    KAvi2ReadHandler& Handler() { return m_handler; }

protected:
    HRESULT LoadFile(LPCOLESTR fileName) override;
    void DiscardFile() override { m_handler.Close(); }
    // Streams keep their positions across Stop; only a seek moves them.
    Positioning ParserPositioning() const override { return Positioning::OnSeek; }
    void PositionAfterLoad() override;
    REFERENCE_TIME PositionParser(REFERENCE_TIME target) override;
    void ReadPackets() override;
    HRESULT NextPacket(std::unique_ptr<KPacket2>& packet) override;

private:
    KAvi2ReadHandler m_handler;
    std::atomic<DWORD> m_userValue{0};
    std::atomic<DWORD> m_anchoring{0};
    std::atomic<bool> m_seekKeyFrame{true};
    std::atomic<bool> m_seekChanges{false};
};
