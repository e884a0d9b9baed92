// COGG2_Filter: the second Ogg source. One pin per stream of the file (the first video stream
// only): "Video", "Audio", "Subtitle", "KStream", each with " / " and the stream's language when
// it has one. Vorbis and Theora pins send their three headers first, text pins one zero byte.
// Samples carry media times; seeks go by the index the handler builds while the file plays.
#pragma once

#include <atomic>
#include <span>

#include "demux/ogg/ivmx_ogg2.h"
#include "demux/ogg/ogg2_read_handler.h"
#include "framework/demux_filter.h"

class COGG2_Filter;

class COGG2_OutputPin final : public CDemuxOutputPinT<KPacket2> {
public:
    COGG2_OutputPin(HRESULT* phr, COGG2_Filter* filter, LPCWSTR name, KOGG2ReadStream* stream, const CMediaType& type);

    HRESULT FillSample(IMediaSample*& sample) override;
    HRESULT OnThreadStartPlay() override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
    HRESULT STDMETHODCALLTYPE GetDuration(LONGLONG* duration) override;
    HRESULT STDMETHODCALLTYPE SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags) override;

private:
    COGG2_Filter* m_ogg;
    KOGG2ReadStream* m_stream;
};

class COGG2_Filter final : public CDemuxFilterT<KPacket2>, public IVmxOGG2 {
public:
    COGG2_Filter(const WCHAR* name, IUnknown* outer, HRESULT* phr);
    ~COGG2_Filter() override;

    DECLARE_IUNKNOWN
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IVmxOGG2
    HRESULT STDMETHODCALLTYPE SetSeekToKeyFrame(BOOL snap) override;
    HRESULT STDMETHODCALLTYPE GetSeekToKeyFrame(DWORD* snap) override;
    HRESULT STDMETHODCALLTYPE GetDuration(LONGLONG* duration) override;
    HRESULT STDMETHODCALLTYPE SetPrerollMode(DWORD mode) override;
    HRESULT STDMETHODCALLTYPE GetPrerollMode(DWORD* mode) override;

    bool MarkPreroll() const { return m_preroll.load() != 0; }
    // The next seek (from this pin's SetPositions) may snap to a key frame.
    void AllowSnap(bool allow) { m_snapAllowed = allow; }
    REFERENCE_TIME CurrentDuration();
    KOGG2ReadHandler& Handler() { return m_handler; }

protected:
    HRESULT LoadFile(LPCOLESTR fileName) override;
    void DiscardFile() override { m_handler.Close(); }
    Positioning ParserPositioning() const override { return Positioning::OnSeek; }
    REFERENCE_TIME PositionParser(REFERENCE_TIME target) override;
    HRESULT NextPacket(std::unique_ptr<KPacket2>& packet) override;

private:
    KOGG2ReadHandler m_handler;
    std::atomic<bool> m_seekToKeyFrame{false};
    std::atomic<DWORD> m_preroll{1};
    std::atomic<bool> m_snapAllowed{false};
};
