// How far a filter's background index has got: the Matroska filter on a file without Cues, AVI
// without an index, ASF without a Simple Index, and both Ogg filters, build one while the file
// plays (or only sits loaded).
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace vmx::host {

struct IndexProgress {
    bool finished = false;
    // How far seeking by the index reaches now; none while the filter tells nothing before it
    // is done (Matroska publishes its Cues at the end).
    std::optional<REFERENCE_TIME> indexed;
};

// None when the filter builds no index for this file.
std::optional<IndexProgress> ReadIndexProgress(IBaseFilter* filter);

struct IndexWait {
    bool finished = false;
    std::optional<REFERENCE_TIME> indexed;  // the last reading
    double seconds = 0;  // from the call to the end, or to the timeout
};

// Polls until the index is finished or the timeout passes, calling progress after each reading.
// None when the filter builds no index.
std::optional<IndexWait> WaitForIndex(IBaseFilter* filter, DWORD timeoutMs,
                                      const std::function<void(const IndexProgress&)>& progress = {});

}  // namespace vmx::host
