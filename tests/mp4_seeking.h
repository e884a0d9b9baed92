// What the MP4 seek tests share, with the extensions switch on or off: the video key frames of a
// packet table, and where each pin must restart after a seek lands on one.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <vector>

#include "tests/play_session.h"

namespace vmx::test {

inline std::vector<REFERENCE_TIME> KeyDecodeTimes(const std::vector<RefFrame>& video)
{
    std::vector<REFERENCE_TIME> keys;
    for (const RefFrame& frame : video)
        if (frame.key)
            keys.push_back(frame.decodeTime);
    return keys;
}

// Where a seek must leave both pins.
struct KeyFrameRestart {
    REFERENCE_TIME key;           // the decode time of the key frame the seek lands on
    REFERENCE_TIME segmentStart;  // the pins' new segment: at the key frame, or at the time asked for
    bool firstFlagged = false;    // the first sample of each pin a sync point and a discontinuity
    bool prerollBefore = false;   // the samples before the segment's start marked preroll
};

// Both pins' last segment starts where the restart says: video from the key frame on, audio from
// the unit whose span holds the key time, every unit to the end, timed from the segment's start.
inline void ExpectPinsRestartAtKeyFrame(const PlaySession& session, const std::map<int, std::vector<RefFrame>>& streams,
                                        const KeyFrameRestart& restart)
{
    const REFERENCE_TIME key = restart.key;
    for (size_t pin = 0; pin < 2; ++pin) {
        SCOPED_TRACE(pin);
        REFERENCE_TIME segment = -1;
        const auto samples = session.LastSegment(pin, &segment);
        EXPECT_EQ(segment, restart.segmentStart);
        const std::vector<RefFrame>& frames = streams.at(static_cast<int>(pin));
        auto first = std::find_if(frames.begin(), frames.end(), [&](const RefFrame& f) {
            return pin == 0 ? f.key && f.decodeTime == key : f.start >= key;
        });
        ASSERT_NE(first, frames.end());
        if (pin == 1 && first != frames.begin() && first->start > key)
            --first;
        ASSERT_EQ(samples.size(), static_cast<size_t>(frames.end() - first));
        for (size_t k = 0; k < samples.size(); ++k) {
            const RefFrame& frame = first[static_cast<std::ptrdiff_t>(k)];
            ASSERT_EQ(samples[k].adler32, frame.adler32) << k;
            EXPECT_EQ(samples[k].start, frame.start - restart.segmentStart) << k;
            if (restart.prerollBefore) {
                EXPECT_EQ(samples[k].preroll, frame.start < restart.segmentStart) << k;
            }
        }
        if (restart.firstFlagged && !samples.empty()) {
            EXPECT_TRUE(samples.front().syncPoint);
            EXPECT_TRUE(samples.front().discontinuity);
        }
    }
}

}  // namespace vmx::test
