// The MP3 source against ffprobe's packet tables of real files made by lame and ffmpeg, played
// through the same code path as the vmx tool; and the damaged files, which must fail or play
// what is valid.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>

#include "tests/fixture_reference.h"

using namespace vmx::host;
using namespace vmx::test;

namespace {

const std::string kFixtures = kFixtureDir + "mp3/";

PlayResult Play(const std::string& file, PlayOptions options = {})
{
    PlayResult result = PlayFixture("mp3/" + file, "mp3", options);
    EXPECT_TRUE(result.Succeeded()) << result.error;
    return result;
}

// The first frame of a lame file carries its Xing or Info tag (after the side information).
bool IsTagFrame(const SinkEvent& sample)
{
    std::string head(sample.bytes.begin(), sample.bytes.begin() + std::min<size_t>(64, sample.bytes.size()));
    return head.find("Xing") != std::string::npos || head.find("Info") != std::string::npos;
}

struct Fixture {
    const char* name;
    // ffprobe does not return the frame that carries the tag; we deliver it, at the front.
    int tagFrames;
    REFERENCE_TIME frameDuration;
};

const Fixture kFixtureTable[] = {
    {"cbr-44k-id3", 0, 261224},          {"vbr-xing", 1, 261224},       {"cbr-info", 1, 261224},
    {"mpeg2-22k", 0, 261224},            {"mpeg25-8k-mono", 0, 720000}, {"mono-48k", 1, 240000},
    {"vbr-mono-44k", 1, 261224},         {"vbr-mono-22k", 1, 261224},   {"vbr-22k", 1, 261224},
    {"vbr-mono-8k", 1, 720000},          {"vbr-8k", 1, 720000},         {"ffmpeg-vbr-mono-44k", 1, 261224},
    {"ffmpeg-vbr-22k", 1, 261224},       {"ffmpeg-vbr-mono-8k", 1, 720000},
};

}  // namespace

class Mp3Conformance : public testing::TestWithParam<Fixture> {};

TEST_P(Mp3Conformance, FramesBytesAndTimesMatchTheReference)
{
    const Fixture& fixture = GetParam();
    Reference ref = LoadReference(std::string("mp3/") + fixture.name);
    PlayResult result = Play(std::string(fixture.name) + ".mp3");
    ASSERT_TRUE(result.Succeeded()) << result.error;
    ASSERT_EQ(result.report.pins.size(), 1u);
    const PinReport& pin = result.report.pins[0];
    EXPECT_EQ(pin.name, "Audio Pin");
    EXPECT_TRUE(pin.endOfStream);

    ASSERT_EQ(pin.mediaTypes.size(), 1u);
    const CMediaType& type = pin.mediaTypes[0];
    EXPECT_EQ(type.subtype, FourccGuid(0x55));
    ASSERT_EQ(type.cbFormat, sizeof(WAVEFORMATEX));
    const auto* format = reinterpret_cast<const WAVEFORMATEX*>(type.pbFormat);
    EXPECT_EQ(static_cast<int>(format->nSamplesPerSec), ref.sampleRate);
    EXPECT_EQ(format->nChannels, ref.channels);

    std::vector<SinkEvent> samples = SamplesOf(pin);
    ASSERT_EQ(samples.size(), ref.packets.size() + fixture.tagFrames);
    EXPECT_EQ(IsTagFrame(samples[0]), fixture.tagFrames == 1);
    // Only the first sample after the start is a sync point and a discontinuity.
    EXPECT_TRUE(samples[0].syncPoint && samples[0].discontinuity);
    EXPECT_FALSE(samples[1].syncPoint || samples[1].discontinuity);

    for (size_t k = 0; k < ref.packets.size(); ++k) {
        const SinkEvent& ours = samples[k + fixture.tagFrames];
        const RefPacket& theirs = ref.packets[k];
        ASSERT_EQ(ours.length, theirs.size) << "frame " << k;
        ASSERT_EQ(ours.adler32, theirs.adler32) << "frame " << k;
        // Our clock also counts the tag frame; per frame it advances by the truncated duration.
        REFERENCE_TIME expected = theirs.start + fixture.tagFrames * fixture.frameDuration;
        ASSERT_LE(std::llabs(ours.start - expected), fixture.frameDuration / 100) << "frame " << k;
        ASSERT_EQ(ours.stop - ours.start, fixture.frameDuration);
    }
}

std::string FixtureTestName(const testing::TestParamInfo<Fixture>& info)
{
    std::string name = info.param.name;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, Mp3Conformance, testing::ValuesIn(kFixtureTable), FixtureTestName);

namespace {

// Where a played stretch starts in the reference: three consecutive frames identify it.
std::optional<size_t> Locate(const Reference& ref, const std::vector<SinkEvent>& samples, REFERENCE_TIME near)
{
    std::optional<size_t> best;
    for (size_t k = 0; k + 3 <= ref.packets.size(); ++k) {
        bool same = true;
        for (size_t i = 0; i < 3 && same; ++i)
            same = ref.packets[k + i].adler32 == samples[i].adler32;
        if (same && (!best || std::llabs(ref.packets[k].start - near) < std::llabs(ref.packets[*best].start - near)))
            best = k;
    }
    return best;
}

}  // namespace

TEST(Mp3Seeking, LandsNearTheTargetWithAFreshSegment)
{
    for (const char* name : {"vbr-xing", "cbr-44k-id3"}) {
        Reference ref = LoadReference(std::string("mp3/") + name);
        const REFERENCE_TIME length = ref.packets.back().start;
        for (double fraction : {0.25, 0.5, 0.9}) {
            SCOPED_TRACE(std::string(name) + " at " + std::to_string(fraction));
            const REFERENCE_TIME target = static_cast<REFERENCE_TIME>(length * fraction);
            PlayOptions options;
            options.seekTo = target;
            PlayResult result = Play(std::string(name) + ".mp3", options);
            ASSERT_TRUE(result.Succeeded()) << result.error;
            const PinReport& pin = result.report.pins[0];
            const SinkEvent* segment = FirstSegment(pin);
            ASSERT_NE(segment, nullptr);
            EXPECT_EQ(segment->start, target);
            std::vector<SinkEvent> samples = SamplesOf(pin);
            ASSERT_GE(samples.size(), 3u);
            EXPECT_EQ(samples[0].start, 0);
            EXPECT_TRUE(samples[0].syncPoint && samples[0].discontinuity);
            std::optional<size_t> at = Locate(ref, samples, target);
            ASSERT_TRUE(at.has_value());
            EXPECT_LE(std::llabs(ref.packets[*at].start - target), 5000000) << "landed at frame " << *at;
            // From there on, the rest of the file, frame by frame.
            EXPECT_EQ(samples.size(), ref.packets.size() - *at);
        }
    }
}

TEST(Mp3Seeking, VbrFilesOfEveryVersionAndChannelModeKnowTheirLengthAndSeekByTheirTable)
{
    // Xing headers after 32 bytes of side information (vbr-xing), 17 (MPEG-1 mono, MPEG-2 and
    // 2.5 stereo) and 9 (MPEG-2 and 2.5 mono); lame's files start at a frame, ffmpeg's behind an
    // ID3v2 tag.
    for (const Fixture& fixture : kFixtureTable) {
        const std::string name = fixture.name;
        if (name.find("vbr") == std::string::npos && name != "mono-48k")
            continue;
        SCOPED_TRACE(name);
        const Reference ref = LoadReference("mp3/" + name);
        const OpenedSource source = OpenSourceFile(kFixtures + name + ".mp3", "mp3");
        ASSERT_TRUE(source) << source.error;
        const PlayResult described = DescribeSource(source.filter.Get());
        ASSERT_TRUE(described.report.duration.has_value());
        const REFERENCE_TIME duration = *described.report.duration;
        const double probed = std::stod(LoadTable("mp3/" + name).at("streams")[0].at("duration").get<std::string>());
        EXPECT_LE(std::llabs(duration - std::llround(probed * 1e7)), fixture.frameDuration);

        // A seek resumes at the table's position: at a frame no more than one step of the table
        // (a hundredth of the file) and two frames from the target; the frames from there on are
        // the rest of the file, their times off from a whole play's by that distance alone.
        const REFERENCE_TIME tolerance = duration / 100 + 2 * fixture.frameDuration;
        for (double fraction : {0.4, 0.8}) {
            SCOPED_TRACE(fraction);
            const REFERENCE_TIME target = static_cast<REFERENCE_TIME>(static_cast<double>(duration) * fraction);
            PlayOptions options;
            options.seekTo = target;
            const PlayResult played = Play(name + ".mp3", options);
            ASSERT_TRUE(played.Succeeded()) << played.error;
            // The frames to the end of the file tell where it resumed (a tone repeats its frames).
            const std::vector<SinkEvent> samples = SamplesOf(played.report.pins[0]);
            ASSERT_FALSE(samples.empty());
            ASSERT_LE(samples.size(), ref.packets.size());
            const size_t at = ref.packets.size() - samples.size();
            for (size_t k = 0; k < samples.size(); ++k) {
                ASSERT_EQ(samples[k].adler32, ref.packets[at + k].adler32) << "frame " << at + k;
                const REFERENCE_TIME whole = ref.packets[at + k].start + fixture.tagFrames * fixture.frameDuration;
                ASSERT_LE(std::llabs(target + samples[k].start - whole), tolerance) << "frame " << at + k;
            }
        }
    }
}

TEST(Mp3Damaged, FailsToLoadOrPlaysWhatIsValid)
{
    for (const char* name : {"garbage.bin", "id3-size-past-end.mp3", "one-header-then-garbage.mp3"}) {
        OpenedSource source = OpenSourceFile(kFixtures + "damaged/" + name, "mp3");
        EXPECT_FALSE(source) << name;
        EXPECT_FALSE(source.error.empty());
    }

    // Cut inside a frame: the whole frames play; ffprobe also returns the cut piece.
    Reference cut = LoadReference("mp3/damaged/truncated");
    PlayResult truncated = Play("damaged/truncated.mp3");
    ASSERT_TRUE(truncated.Succeeded()) << truncated.error;
    std::vector<SinkEvent> samples = SamplesOf(truncated.report.pins[0]);
    ASSERT_EQ(samples.size(), 1 + cut.packets.size() - 1);  // the Info frame, no partial frame
    for (size_t k = 0; k + 1 < cut.packets.size(); ++k)
        ASSERT_EQ(samples[k + 1].adler32, cut.packets[k].adler32) << k;
    EXPECT_TRUE(truncated.report.pins[0].endOfStream);

    // Noise between two frames: we drop it and resynchronise; ffprobe glues it onto the next
    // packet, so that one packet differs and every other matches.
    Reference spliced = LoadReference("mp3/damaged/garbage-in-middle");
    PlayResult noisy = Play("damaged/garbage-in-middle.mp3");
    ASSERT_TRUE(noisy.Succeeded()) << noisy.error;
    samples = SamplesOf(noisy.report.pins[0]);
    ASSERT_EQ(samples.size(), spliced.packets.size() + 1);
    int differing = 0;
    for (size_t k = 0; k < spliced.packets.size(); ++k) {
        if (samples[k + 1].adler32 != spliced.packets[k].adler32) {
            ++differing;
            EXPECT_EQ(spliced.packets[k].size, samples[k + 1].length + 300);
            EXPECT_EQ(samples[k + 1].adler32, 0x3636c4dbu);
        }
    }
    EXPECT_EQ(differing, 1);
}
