// CAsfEx_Filter: the native ASF source. Load parses the header and chooses the streams: "Video
// Pin" for the video stream, "Audio Pin" (or "Audio Pin." and the language) for each audio
// stream. The reader hands out whole media objects timed from the file's whole-second time base;
// seeks go by the Simple Index or by the index a background thread builds while the file plays.
#pragma once

#include <atomic>

#include "demux/asf/asf_read_handler.h"
#include "demux/asf/ivmx_asfex.h"
#include "framework/demux_filter.h"

class CAsfEx_Filter;

class CAsfEx_OutputPin final : public CDemuxOutputPinT<KPacket> {
public:
    CAsfEx_OutputPin(HRESULT* phr, CAsfEx_Filter* filter, LPCWSTR name, DWORD streamNumber, const CMediaType& type);

    HRESULT FillSample(IMediaSample*& sample) override;

private:
    CAsfEx_Filter* m_asf;
};

class CAsfEx_Filter final : public CDemuxFilterT<KPacket>, public IVmxASFEX {
public:
    CAsfEx_Filter(const WCHAR* name, IUnknown* outer, HRESULT* phr);
    ~CAsfEx_Filter() override;

    DECLARE_IUNKNOWN
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IVmxASFEX
    HRESULT STDMETHODCALLTYPE GetIndexedDuration(LONGLONG* duration) override;
    HRESULT STDMETHODCALLTYPE SetPrerollOption(DWORD option) override;
    HRESULT STDMETHODCALLTYPE GetPrerollOption(DWORD* option) override;

    bool MarkPreroll() const { return m_preroll.load() != 0; }

    const KAsfExReadHandler& Handler() const { return m_handler; }

protected:
    HRESULT LoadFile(LPCOLESTR fileName) override;
    void DiscardFile() override { m_handler.Close(); }
    REFERENCE_TIME PositionParser(REFERENCE_TIME target) override;
    // Playback starts at the target itself, where the pins began their segments.
    bool RestartsPinsWhenReaderStarts() const override { return false; }
    HRESULT NextPacket(std::unique_ptr<KPacket>& packet) override;

private:
    KAsfExReadHandler m_handler;
    std::atomic<DWORD> m_preroll{1};
};
