// CMKV_OutputPin: one Matroska track's pin. Its worker takes block packets from the queue, puts
// them in time order within the track's reorder depth, completes missing durations from the
// blocks that follow, and delivers one sample per frame.
#pragma once

#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <utility>
#include <vector>

#include "demux/mkv/mkv_packet.h"
#include "demux/mkv/mkv_tracks.h"
#include "framework/demux_pin.h"

class CMKV_Filter;

class CMKV_OutputPin final : public CDemuxOutputPinT<KMkvPacket> {
public:
    CMKV_OutputPin(HRESULT* phr, CMKV_Filter* filter, LPCWSTR name, DWORD streamNumber,
                   std::vector<CMediaType> types, const KMkvTrackEntry& track);

    // The take step: blocks go through the reorder lists, leave as one sample per frame.
    HRESULT FillSample(IMediaSample*& sample) override;
    HRESULT OnThreadStartPlay() override;
    HRESULT STDMETHODCALLTYPE SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop,
                                           DWORD stopFlags) override;
    HRESULT STDMETHODCALLTYPE GetDuration(LONGLONG* duration) override;

private:
    // The duration as the file (or the finished background index) gives it now, stored as the
    // pin's duration; a stop the host has not moved follows it.
    REFERENCE_TIME RefreshDuration();
    // Takes one queued entry into the lists; S_FALSE at the end marker, S_NOT_READY when the
    // queue has nothing to give yet.
    HRESULT TakeQueued();
    // Moves the pending blocks whose durations are known into the frame list.
    void ReleaseTimedBlocks();
    // Gives every block still waiting a duration (the stream has ended).
    void FlushWaitingBlocks();
    void SplitIntoFrames(std::unique_ptr<KMkvBlockPacket> packet);
    void ClearLists();

    CMKV_Filter* m_mkv;
    size_t m_reorderDepth;
    REFERENCE_TIME m_defaultDuration;  // 100-ns units, 0 when the track has none
    REFERENCE_TIME m_lastFrameStep = 0;  // the last frame length a block gave, for the last block
    bool m_ended = false;
    // Worker-thread state: blocks in arrival order and in time order (the same packets), the
    // (start, stop) pairs taken from the time order, and frames ready to go out.
    std::deque<std::unique_ptr<KMkvBlockPacket>> m_pending;
    std::list<KMkvBlockPacket*> m_timeOrder;
    std::deque<std::pair<REFERENCE_TIME, REFERENCE_TIME>> m_pairs;
    std::deque<std::unique_ptr<KMkvPacket>> m_frames;
};
