// Edit lists ("edts/elst"), applied only with the module's extensions on. The rule: leading empty
// edits delay the track by their length; the first edit with media in it makes its media time
// the track's start. Later edits are not followed: a track plays on from there to its end.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "demux/mp4/mp4_box.h"

struct Mp4Elst : Mp4Payload {
    struct Entry {
        std::uint64_t segmentDuration;  // movie ticks
        std::int64_t mediaTime;         // track ticks; -1 for an empty edit
    };
    std::vector<Entry> entries;
    bool Parse(std::span<const BYTE> payload);
};

// What the edit list adds to every sample's time of a track, in track ticks (0 when the list
// has no media edit, or a scale is 0).
std::int64_t EditShiftTicks(const Mp4Elst& elst, std::uint64_t movieTimeScale, std::uint64_t trackTimeScale);
