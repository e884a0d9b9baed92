// What the tests of both ASF filters share: a fixture's pins against the ffprobe streams they
// carry, and the damaged files both must play.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tests/fixture_reference.h"

namespace vmx::test {

struct AsfPinCase {
    const char* file;                                // under asf/
    std::vector<std::pair<std::string, int>> pins;  // name, ffprobe stream index
};

// The fixtures both filters give the same pins.
inline const std::vector<AsfPinCase> kAsfFilesOfOneLanguage = {
    {"wmv2-wma2.wmv", {{"Video Pin", 0}, {"Audio Pin", 1}}},
    {"msmpeg4v3-mp3.asf", {{"Video Pin", 0}, {"Audio Pin", 1}}},
    {"audio-only.wma", {{"Audio Pin", 0}}},
    {"small-packets.wmv", {{"Video Pin", 0}, {"Audio Pin", 1}}},
    {"compressed-payloads.wmv", {{"Audio Pin", 0}}},
    {"spread-audio.wmv", {{"Video Pin", 0}, {"Audio Pin", 1}}},
};

// Plays the case's file: pin p bears its listed name and delivers every packet of its ffprobe
// stream, size, checksum and time (plus shift); flags checks each sample's flags, which the two
// filters set by rules of their own.
inline void ExpectAsfPinsDeliverTheirStreams(
    const AsfPinCase& c, const char* filter, REFERENCE_TIME shift,
    const std::function<void(const host::SinkEvent& sample, const RefFrame& packet, size_t index)>& flags)
{
    SCOPED_TRACE(c.file);
    const std::string name(c.file);
    const auto frames = LoadFrames("asf/" + name.substr(0, name.rfind('.')));
    const host::PlayResult played = PlayFixture("asf/" + name, filter);
    ASSERT_TRUE(played.Succeeded()) << played.error;
    ASSERT_EQ(played.report.pins.size(), c.pins.size());
    for (size_t p = 0; p < c.pins.size(); ++p) {
        const host::PinReport& pin = played.report.pins[p];
        EXPECT_EQ(pin.name, c.pins[p].first);
        const auto& expected = frames.at(c.pins[p].second);
        const auto samples = SamplesOf(pin);
        ASSERT_EQ(samples.size(), expected.size()) << pin.name;
        for (size_t k = 0; k < samples.size(); ++k) {
            SCOPED_TRACE(k);
            EXPECT_EQ(samples[k].length, expected[k].size);
            EXPECT_EQ(samples[k].adler32, expected[k].adler32);
            EXPECT_EQ(samples[k].start, expected[k].start + shift);
            flags(samples[k], expected[k], k);
        }
    }
}

// A cut file, noise in a packet and a zeroed packet header: the filter resynchronises or ends,
// and delivers most of the intact file's samples either way.
inline void ExpectDamagedAsfFilesPlay(const char* filter)
{
    for (const char* file : {"asf/damaged/truncated.wmv", "asf/damaged/garbage.wmv", "asf/damaged/zeroed-packet-header.wmv"}) {
        SCOPED_TRACE(file);
        const host::PlayResult played = PlayFixture(file, filter);
        ASSERT_TRUE(played.Succeeded()) << played.error;
        size_t samples = 0;
        for (const host::PinReport& pin : played.report.pins)
            samples += SamplesOf(pin).size();
        EXPECT_GE(samples, 55u);
        EXPECT_LE(samples, 97u);
    }
}

}  // namespace vmx::test
