#include "host/index_progress.h"

#include <chrono>

#include "demux/asf/asf_filter.h"
#include "demux/avi/avi_filter.h"
#include "demux/mkv/mkv_filter.h"
#include "demux/ogg/ogg2_filter.h"
#include "demux/ogg/ogg_filter.h"

namespace vmx::host {

std::optional<IndexProgress> ReadIndexProgress(IBaseFilter* filter)
{
    // The filters are this process's own objects: the host reads the builders' state directly,
    // as their private interfaces tell how far, but not whether the builder is done.
    if (auto* mkv = dynamic_cast<CMKV_Filter*>(filter)) {
        const KMkvSegment* segment = mkv->Segment();
        if (!segment)
            return std::nullopt;
        if (mkv->IndexFinished())
            return IndexProgress{true, mkv->CurrentDuration()};
        bool cued;
        {
            CAutoLock lock(mkv->ParserLock());
            cued = !segment->cues.empty();
        }
        return cued ? std::nullopt : std::optional<IndexProgress>(IndexProgress{false, std::nullopt});
    }
    if (auto* avi = dynamic_cast<CAVI2_Filter*>(filter)) {
        KAvi2ReadHandler& handler = avi->Handler();
        if (handler.HasIndex() || (!handler.Scanning() && !handler.ScanFinished()))
            return std::nullopt;
        return IndexProgress{!handler.Scanning(), handler.IndexedDuration()};
    }
    if (auto* asf = dynamic_cast<CAsfEx_Filter*>(filter)) {
        const KAsfExReadHandler& handler = asf->Handler();
        if (!handler.BuildsIndex())
            return std::nullopt;
        return IndexProgress{!handler.Indexing(), handler.IndexedDuration()};
    }
    KOGG2ReadHandler* ogg = nullptr;
    if (auto* ogg2 = dynamic_cast<COGG2_Filter*>(filter))
        ogg = &ogg2->Handler();
    else if (auto* ogg1 = dynamic_cast<COGG_Filter*>(filter))
        ogg = &ogg1->Handler();
    if (ogg) {
        // The builder follows a growing file: it is done once it has read to the end.
        return IndexProgress{ogg->IndexReachedEnd(), ogg->IndexedTime()};
    }
    return std::nullopt;
}

std::optional<IndexWait> WaitForIndex(IBaseFilter* filter, DWORD timeoutMs,
                                      const std::function<void(const IndexProgress&)>& progress)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point begin = Clock::now();
    const Clock::time_point end = begin + std::chrono::milliseconds(timeoutMs);
    std::optional<IndexProgress> reading = ReadIndexProgress(filter);
    if (!reading)
        return std::nullopt;
    IndexWait wait;
    for (;;) {
        if (progress)
            progress(*reading);
        wait.finished = reading->finished;
        wait.indexed = reading->indexed;
        if (reading->finished || Clock::now() >= end)
            break;
        Sleep(20);
        reading = ReadIndexProgress(filter);
        if (!reading)
            break;
    }
    wait.seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    return wait;
}

}  // namespace vmx::host
