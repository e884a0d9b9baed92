// The onMetaData script object: AMF values read with bounds checks, and the properties a
// player uses (duration, rates, picture size, and the key-frame table some muxers add).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

struct FlvMetadata {
    double audiocodecid = 0;
    double audiodatarate = 0;   // kbit/s
    double audiodelay = 0;
    double audiosamplerate = 0;
    double audiosamplesize = 0;
    bool canSeekToEnd = false;
    std::int64_t durationMs = 0;
    double filesize = 0;
    double framerate = 0;
    double height = 0;
    bool stereo = false;
    double videocodecid = 0;
    double videodatarate = 0;   // kbit/s
    double width = 0;
    // "keyframes": {times (s), filepositions (bytes)}, as yamdi and ffmpeg write it; both
    // kept only when they have the same length.
    std::vector<double> keyframeTimes;
    std::vector<double> keyframePositions;

    // data: a script tag's data. Reads the event name and the object after it; a value the
    // reader does not know ends the parse, keeping what was found before it. False when not
    // even the event name could be read.
    bool Parse(std::span<const std::uint8_t> data);
};
