// The picture "vmx timeline" draws of what a source delivered. Each pin is a lane over media
// time; each packet a mark as tall as its bytes (relative to the lane's largest), sync points
// ticked above the lane, discontinuities as red lines, preroll pale, and the seek target and
// where each pin landed after it. Long files put the packets of one pixel column into one mark.
#pragma once

#include <optional>
#include <string>

#include "host/file_player.h"

namespace vmx::host {

struct TimelineLabels {
    std::string title;  // the file
    std::string subtitle;  // the filter and the actions
};

// The SVG document.
std::string DrawTimeline(const PlayReport& report, const TimelineLabels& labels);

}  // namespace vmx::host
