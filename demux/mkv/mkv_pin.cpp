#include "demux/mkv/mkv_pin.h"

#include <algorithm>

#include "demux/mkv/mkv_filter.h"
#include "framework/com_out.h"

namespace {

// MinCache comes from the file; a deeper reorder list only holds frames back longer.
constexpr size_t kMaxReorderDepth = 32;

}  // namespace

CMKV_OutputPin::CMKV_OutputPin(HRESULT* phr, CMKV_Filter* filter, LPCWSTR name, DWORD streamNumber,
                               std::vector<CMediaType> types, const KMkvTrackEntry& track)
    : CDemuxOutputPinT<KMkvPacket>(WSTR("MKV output pin"), phr, filter, name, streamNumber, std::move(types)),
      m_mkv(filter),
      m_reorderDepth(std::clamp<size_t>(static_cast<size_t>(std::min<std::uint64_t>(track.minCache.value, kMaxReorderDepth)),
                                        2, kMaxReorderDepth)),
      m_defaultDuration(static_cast<REFERENCE_TIME>(std::min<std::uint64_t>(track.defaultDuration.value, 1ull << 62) / 100))
{
}

void CMKV_OutputPin::ClearLists()
{
    m_pending.clear();
    m_timeOrder.clear();
    m_pairs.clear();
    m_frames.clear();
    m_lastFrameStep = 0;
    m_ended = false;
}

HRESULT CMKV_OutputPin::OnThreadStartPlay()
{
    ClearLists();
    // The background index may have found the duration since the last start.
    RefreshDuration();
    return CDemuxOutputPinT<KMkvPacket>::OnThreadStartPlay();
}

HRESULT CMKV_OutputPin::SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags)
{
    const bool seeking = current && (currentFlags & AM_SEEKING_PositioningBitsMask);
    if (seeking)
        m_mkv->PrepareSeek((currentFlags & AM_SEEKING_SeekToKeyFrame) != 0);
    const HRESULT hr = CDemuxOutputPinT<KMkvPacket>::SetPositions(current, currentFlags, stop, stopFlags);
    if (hr != S_OK || !seeking)
        return hr;
    // A key frame before the file's first time: playback starts, but not where asked.
    CAutoLock lock(CSourceSeeking::m_pLock);
    return m_rtStart < 0 ? S_FALSE : S_OK;
}

REFERENCE_TIME CMKV_OutputPin::RefreshDuration()
{
    const REFERENCE_TIME duration = m_mkv->CurrentDuration();
    CAutoLock lock(CSourceSeeking::m_pLock);
    if (m_rtStop == m_rtDuration)
        m_rtStop = duration;
    m_rtDuration = duration;
    return duration;
}

HRESULT CMKV_OutputPin::GetDuration(LONGLONG* duration) { return AnswerThrough(duration, RefreshDuration()); }

void CMKV_OutputPin::SplitIntoFrames(std::unique_ptr<KMkvBlockPacket> packet)
{
    REFERENCE_TIME start = packet->start;
    REFERENCE_TIME stop = packet->stop;
    if (!m_pairs.empty()) {
        std::tie(start, stop) = m_pairs.front();
        m_pairs.pop_front();
    }
    auto& frames = packet->block->frames;
    if (frames.empty()) {
        Recycle(std::move(packet));
        return;
    }
    // Frames of a lace share the block's time span evenly; only the first is a key frame.
    const auto step = static_cast<REFERENCE_TIME>(static_cast<std::uint64_t>(stop - start) / frames.size());
    if (step > 1)
        m_lastFrameStep = step;
    if (frames.size() == 1) {
        // A block of one frame goes on as that frame: the worker allocates nothing for it.
        packet->start = start;
        packet->stop = start + step;
        packet->payload = std::move(frames.front());
        m_frames.push_back(std::move(packet));
        return;
    }
    for (size_t i = 0; i < frames.size(); ++i) {
        auto frame = std::make_unique<KMkvPacket>();
        frame->track = packet->track;
        frame->streamNumber = packet->streamNumber;
        frame->start = start + static_cast<REFERENCE_TIME>(i) * step;
        frame->stop = frame->start + step;
        frame->payload = std::move(frames[i]);
        if (i == 0) {
            frame->discontinuity = packet->discontinuity;
            frame->syncPoint = packet->syncPoint;
        }
        m_frames.push_back(std::move(frame));
    }
    Recycle(std::move(packet));
}

void CMKV_OutputPin::ReleaseTimedBlocks()
{
    while (!m_pending.empty() && m_pending.front()->block->blockDuration.valid) {
        KMkvBlockPacket* timed = m_timeOrder.front();
        m_timeOrder.pop_front();
        m_pairs.emplace_back(timed->start, timed->stop);
        std::unique_ptr<KMkvBlockPacket> next = std::move(m_pending.front());
        m_pending.pop_front();
        SplitIntoFrames(std::move(next));
    }
}

void CMKV_OutputPin::FlushWaitingBlocks()
{
    // The stream has ended: a waiting block ends where the next one starts, and the last,
    // which has none, lets each frame last the track's default duration or as long as the
    // frames before it.
    REFERENCE_TIME frameLength = m_defaultDuration > 0 ? m_defaultDuration : m_lastFrameStep;
    for (auto it = m_timeOrder.begin(); it != m_timeOrder.end(); ++it) {
        KMkvBlockPacket* waiting = *it;
        const auto frames = static_cast<REFERENCE_TIME>(std::max<size_t>(waiting->block->frames.size(), 1));
        if (!waiting->block->blockDuration.valid) {
            waiting->block->blockDuration.value = 1;
            waiting->block->blockDuration.valid = true;
            const auto next = std::next(it);
            if (next != m_timeOrder.end()) {
                if (waiting->start < (*next)->start)
                    waiting->stop = (*next)->start;
            } else if (frameLength > 0 && waiting->HasTime()) {
                waiting->stop = waiting->start + frameLength * frames;
            }
        }
        if (m_defaultDuration <= 0 && waiting->stop - waiting->start > frames)
            frameLength = (waiting->stop - waiting->start) / frames;
    }
    ReleaseTimedBlocks();
}

HRESULT CMKV_OutputPin::TakeQueued()
{
    // One packet is always kept back until another (or the end marker) is queued behind it.
    if (TailHeldBack())
        return S_NOT_READY;
    std::unique_ptr<KMkvPacket> entry = m_queue.Pop();
    if (!entry) {
        FlushWaitingBlocks();
        m_ended = true;
        return S_OK;
    }
    auto* blockPacket = dynamic_cast<KMkvBlockPacket*>(entry.get());
    if (!blockPacket) {
        m_frames.push_back(std::move(entry));
        return S_OK;
    }
    entry.release();
    m_pending.emplace_back(blockPacket);

    // Walk back past at most depth - 1 entries of higher ReferencePriority.
    auto position = m_timeOrder.end();
    const std::uint64_t priority = blockPacket->block->referencePriority.value;
    for (size_t walked = 0; walked + 1 < m_reorderDepth && position != m_timeOrder.begin(); ++walked) {
        auto previous = std::prev(position);
        if (!(priority < (*previous)->block->referencePriority.value))
            break;
        position = previous;
    }
    m_timeOrder.insert(position, blockPacket);

    // A block without a duration ends where the next one in time order starts.
    if (m_timeOrder.size() == m_reorderDepth + 1) {
        KMkvBlockPacket* head = m_timeOrder.front();
        KMkvBlockPacket* second = *std::next(m_timeOrder.begin());
        if (!head->block->blockDuration.valid) {
            head->block->blockDuration.value = 1;
            head->block->blockDuration.valid = true;
            if (head->start < second->start)
                head->stop = second->start;
        }
    }
    ReleaseTimedBlocks();
    return S_OK;
}

HRESULT CMKV_OutputPin::FillSample(IMediaSample*& sample)
{
    while (m_frames.empty()) {
        if (m_ended)
            return S_FALSE;
        const HRESULT hr = TakeQueued();
        if (hr != S_OK)
            return hr;
    }
    std::unique_ptr<KMkvPacket> frame = std::move(m_frames.front());
    m_frames.pop_front();
    const HRESULT hr = FillFromPacket(sample, *frame, SampleRules{false, false});
    Recycle(std::move(frame));
    return hr;
}
