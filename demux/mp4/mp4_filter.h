// CMP4_Filter: the MP4/QuickTime source. Load reads the box tree and builds the tracks; each track
// with a media type gets a CMP4_OutputPin named by its track ID. The reader walks all connected
// tracks in 100 ms slices of movie time, so the tracks interleave whatever their order in the
// file; seeks snap to key frames of the video track and the other tracks follow from there.
#pragma once

#include <atomic>
#include <memory>

#include "demux/mp4/ivmx_mp4.h"
#include "demux/mp4/mp4_read_handler.h"
#include "framework/demux_filter.h"

class CMP4_Filter;

class CMP4_OutputPin final : public CDemuxOutputPinT<KPacket> {
public:
    CMP4_OutputPin(HRESULT* phr, CMP4_Filter* filter, LPCWSTR name, DWORD trackId, std::vector<CMediaType> types);

    HRESULT FillSample(IMediaSample*& sample) override;
    HRESULT STDMETHODCALLTYPE SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop,
                                           DWORD stopFlags) override;

private:
    CMP4_Filter* m_mp4;
};

class CMP4_Filter final : public CDemuxFilterT<KPacket>, public IVmxMP4 {
public:
    CMP4_Filter(const WCHAR* name, IUnknown* outer, HRESULT* phr);

    DECLARE_IUNKNOWN
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IVmxMP4
    HRESULT STDMETHODCALLTYPE SetNotify(void* target) override;
    HRESULT STDMETHODCALLTYPE ClearNotify() override;
    HRESULT STDMETHODCALLTYPE SetNotify2(void* target) override;
    HRESULT STDMETHODCALLTYPE SetUserValue(DWORD value) override;
    HRESULT STDMETHODCALLTYPE GetUserValue(DWORD* value) override;
    HRESULT STDMETHODCALLTYPE GetAvailableDuration(LONGLONG* duration) override;
    HRESULT STDMETHODCALLTYPE SetSeekKeyFrame(BOOL on) override;
    HRESULT STDMETHODCALLTYPE GetSeekKeyFrame(BOOL* on) override;

    // A seek from a pin, on the thread that asks for it: whether it lands on a key frame, and
    // where the graph stands now, which tells its direction.
    void PrepareSeek(bool toKeyFrame);
    // Where the last seek landed (the key frame's time, or the time asked for without key-frame
    // seeking); -1 when the video track has no sample at that time.
    REFERENCE_TIME LastSeekResult() const { return m_seekResult; }
    const KMp4ReadHandler& Handler() const { return m_handler; }

protected:
    HRESULT LoadFile(LPCOLESTR fileName) override;
    void DiscardFile() override { m_handler.Close(); }
    // The track cursors survive Stop: a run goes on where the last one stopped.
    Positioning ParserPositioning() const override { return Positioning::OnSeek; }
    // A loaded file plays from its first samples, key frame or not.
    void PositionAfterLoad() override;
    REFERENCE_TIME PositionParser(REFERENCE_TIME target) override;
    // Stopped, the pins start at the time asked for: the samples from the key frame up to it
    // arrive before the start, as preroll.
    REFERENCE_TIME IdleSeekStart(REFERENCE_TIME requested, REFERENCE_TIME) override { return requested; }
    void BeginReadPass() override;
    HRESULT NextPacket(std::unique_ptr<KPacket>& packet) override;

private:
    // For each video track in turn, drops the one of it and the next video track that has fewer
    // chunks (the later one on a tie).
    void ThinVideoTracks();
    // Reads the unit under the track's cursor into a packet; null when it cannot be read.
    std::unique_ptr<KPacket> ReadUnit(Mp4Track& track);

    KMp4ReadHandler m_handler;
    std::uint64_t m_windowPosition = 0;  // movie time-scale ticks
    REFERENCE_TIME m_windowEnd = 0;
    bool m_windowOpen = false;
    std::size_t m_trackIndex = 0;
    std::vector<bool> m_exhausted;  // per track: nothing left to deliver until a seek

    std::atomic<bool> m_seekKeyFrame{true};
    std::atomic<REFERENCE_TIME> m_graphPosition{0};
    std::atomic<REFERENCE_TIME> m_seekResult{0};
    std::atomic<DWORD> m_userValue{0};
    std::atomic<REFERENCE_TIME> m_availableDuration{0};
};
