// The payload of video streams whose first packet held no codec header, collected across the
// packets that continue it. x264 puts its settings (an SEI of several hundred bytes) in front of
// a key frame, and a remux from MP4 or Matroska inserts the parameter sets after that SEI: in a
// transport stream they lie past the first packet of the PES, in a program stream they may lie
// past the first PES of the picture. Both MPEG demuxers collect such a stream's unit (one PES, or
// one timed PES and those that continue it) and try the video headers on what they collected.
#pragma once

#include <map>
#include <optional>
#include <span>
#include <vector>

#include "platform/platform.h"

struct KCollectedVideo {
    DWORD key = 0;
    BYTE streamId = 0;
    LONGLONG pts = -1;  // of the unit's first PES, as the demuxer keeps it; -1 when none
    std::vector<BYTE> bytes;
};

class KVideoHeaderCollector {
public:
    // A unit is tried when it ends or once this much of it is collected.
    static constexpr size_t kLimit = 1 << 20;

    // A unit of the stream begins with these bytes (one being collected is dropped: take it
    // first).
    void Begin(DWORD key, BYTE streamId, LONGLONG pts, std::span<const BYTE> bytes);
    // More of the stream's unit; ignored when none is being collected. The unit is handed back
    // when it reached the limit, and nothing more is collected of it.
    std::optional<KCollectedVideo> Continue(DWORD key, std::span<const BYTE> bytes);
    bool Collecting(DWORD key) const { return m_units.count(key) != 0; }
    // The stream's unit, complete (its next one begins); none is collected after it.
    std::optional<KCollectedVideo> Take(DWORD key);
    // The units still being collected (the scan ended), in key order; none are kept.
    std::vector<KCollectedVideo> TakeAll();

private:
    std::map<DWORD, KCollectedVideo> m_units;
};
