// The AAC source against ffprobe's packet tables of ADTS files made by ffmpeg: ffprobe's packets
// are whole frames, ours are the payloads after the 7-byte header; plus seeking and damage.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <zlib.h>

#include "io/audio_config.h"
#include "tests/fixture_reference.h"

using namespace vmx::host;
using namespace vmx::test;

namespace {

std::uint32_t Adler(const BYTE* data, size_t size)
{
    return static_cast<std::uint32_t>(adler32(adler32(0, nullptr, 0), data, static_cast<uInt>(size)));
}

// The Adler-32 of each reference frame without its header, checked against the file first.
std::vector<std::uint32_t> PayloadChecksums(const std::string& file, const Reference& ref)
{
    std::vector<BYTE> bytes = vmx::test::FixtureBytes(file);
    std::vector<std::uint32_t> sums;
    for (const RefPacket& packet : ref.packets) {
        EXPECT_LE(static_cast<size_t>(packet.pos + packet.size), bytes.size());
        EXPECT_EQ(Adler(&bytes[packet.pos], packet.size), packet.adler32) << "fixture and table disagree";
        sums.push_back(Adler(&bytes[packet.pos + 7], packet.size - 7));
    }
    return sums;
}

PlayResult Play(const std::string& file, PlayOptions options = {})
{
    PlayResult result = PlayFixture("aac/" + file, "aac", options);
    EXPECT_TRUE(result.Succeeded()) << result.error;
    return result;
}

constexpr REFERENCE_TIME FrameTime(int rate) { return 10240000000LL / rate; }

}  // namespace

class AacConformance : public testing::TestWithParam<const char*> {};

TEST_P(AacConformance, PayloadsAndTimesMatchTheReference)
{
    const std::string name = GetParam();
    Reference ref = LoadReference("aac/" + name);
    std::vector<std::uint32_t> payloads = PayloadChecksums("aac/" + name + ".aac", ref);
    PlayResult result = Play(name + ".aac");
    ASSERT_EQ(result.report.pins.size(), 1u);
    const PinReport& pin = result.report.pins[0];
    EXPECT_TRUE(pin.endOfStream);

    ASSERT_EQ(pin.mediaTypes.size(), 1u);
    const CMediaType& type = pin.mediaTypes[0];
    EXPECT_EQ(type.subtype, FourccGuid(0xFF));
    ASSERT_EQ(type.cbFormat, 20u);
    const auto* format = reinterpret_cast<const WAVEFORMATEX*>(type.pbFormat);
    EXPECT_EQ(format->cbSize, 2);
    EXPECT_EQ(static_cast<int>(format->nSamplesPerSec), ref.sampleRate);
    EXPECT_EQ(format->nChannels, ref.channels);
    BYTE config[5];
    WriteAudioSpecificConfig(config, 1, format->nSamplesPerSec, format->nChannels);
    EXPECT_EQ(type.pbFormat[18], config[0]);
    EXPECT_EQ(type.pbFormat[19], config[1]);

    std::vector<SinkEvent> samples = SamplesOf(pin);
    ASSERT_EQ(samples.size(), ref.packets.size());
    const REFERENCE_TIME frame = FrameTime(ref.sampleRate);
    for (size_t k = 0; k < samples.size(); ++k) {
        ASSERT_EQ(samples[k].length, ref.packets[k].size - 7) << k;
        ASSERT_EQ(samples[k].adler32, payloads[k]) << k;
        ASSERT_LE(std::llabs(samples[k].start - ref.packets[k].start), frame) << k;
    }
    EXPECT_TRUE(samples[0].syncPoint && samples[0].discontinuity);
}

std::string AacTestName(const testing::TestParamInfo<const char*>& info)
{
    std::string name = info.param;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, AacConformance,
                         testing::Values("lc-44k-stereo", "lc-48k-mono", "lc-22k", "id3-front", "adif-front"), AacTestName);

TEST(AacConformanceFormat, StereoAt44kHzCarriesTheLcConfig)
{
    PlayResult result = Play("lc-44k-stereo.aac");
    ASSERT_FALSE(result.report.pins.empty());
    const CMediaType& type = result.report.pins[0].mediaTypes.at(0);
    ASSERT_EQ(type.cbFormat, 20u);
    EXPECT_EQ(type.pbFormat[18], 0x12);
    EXPECT_EQ(type.pbFormat[19], 0x10);
}

TEST(AacSeeking, LandsWithinASecondOfTheTarget)
{
    Reference ref = LoadReference("aac/lc-44k-stereo");
    std::vector<std::uint32_t> payloads = PayloadChecksums("aac/lc-44k-stereo.aac", ref);
    const REFERENCE_TIME length = ref.packets.back().start;
    for (double fraction : {0.25, 0.5, 0.9}) {
        SCOPED_TRACE(fraction);
        PlayOptions options;
        options.seekTo = static_cast<REFERENCE_TIME>(length * fraction);
        PlayResult result = Play("lc-44k-stereo.aac", options);
        const PinReport& pin = result.report.pins.at(0);
        ASSERT_NE(FirstSegment(pin), nullptr);
        EXPECT_EQ(FirstSegment(pin)->start, *options.seekTo);
        std::vector<SinkEvent> samples = SamplesOf(pin);
        ASSERT_GE(samples.size(), 2u);
        EXPECT_EQ(samples[0].start, 0);
        EXPECT_TRUE(samples[0].syncPoint && samples[0].discontinuity);
        auto at = std::find(payloads.begin(), payloads.end(), samples[0].adler32);
        ASSERT_NE(at, payloads.end());
        const size_t k = static_cast<size_t>(at - payloads.begin());
        EXPECT_LE(std::llabs(ref.packets[k].start - *options.seekTo), 10000000) << "landed on frame " << k;
        EXPECT_EQ(samples.size(), ref.packets.size() - k);
    }
}

TEST(AacDamaged, FailsToLoadOrPlaysWhatIsValid)
{
    // No frame where the search looks, a first frame_length of 0, a tag running past the end.
    for (const char* name : {"garbage.bin", "frame-length-zero.aac", "id3-size-past-end.aac"}) {
        OpenedSource source = OpenSourceFile(kFixtureDir + "aac/damaged/" + name, "aac");
        EXPECT_FALSE(source) << name;
    }

    // Cut inside a frame: ffprobe also returns the cut piece; we end before it.
    Reference cut = LoadReference("aac/damaged/truncated");
    std::vector<SinkEvent> samples = SamplesOf(Play("damaged/truncated.aac").report.pins.at(0));
    EXPECT_EQ(samples.size(), cut.packets.size() - 1);

    // A frame_length of 5 in the middle: that frame is not one, and the frame before it is
    // dropped too (its successor does not check out); everything else plays.
    Reference shortFrame = LoadReference("aac/damaged/frame-length-short");
    samples = SamplesOf(Play("damaged/frame-length-short.aac").report.pins.at(0));
    EXPECT_EQ(samples.size(), shortFrame.packets.size() - 1);

    // An ADIF header with a zero bitrate gives no estimate; the frames are counted instead.
    OpenedSource zero = OpenSourceFile(kFixtureDir + "aac/damaged/adif-zero-bitrate.aac", "aac");
    ASSERT_TRUE(zero) << zero.error;
    PlayResult described = DescribeSource(zero.filter.Get());
    ASSERT_TRUE(described.report.duration.has_value());
    EXPECT_GT(*described.report.duration, 29000000);
    EXPECT_LT(*described.report.duration, 32000000);
}
