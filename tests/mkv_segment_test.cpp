// The Segment parse on bytes built here: Info and TrackEntry fields with their defaults, the two
// DefaultDuration IDs, and where the walk over the Segment's children stops.
#include <gtest/gtest.h>

#include <cstring>

#include "demux/mkv/mkv_reader.h"
#include "tests/ebml_bytes.h"

namespace {

using namespace vmx::test;

Bytes Float64(double value)
{
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    Bytes out;
    for (int shift = 56; shift >= 0; shift -= 8)
        out.push_back(static_cast<BYTE>(bits >> shift));
    return out;
}

Bytes Text(const char* text) { return Bytes(text, text + std::strlen(text)); }

Bytes Segment(const Bytes& children) { return Concat({kEmptyEbmlHeader, El(ebml_id::kSegment, children)}); }

TEST(MkvSegment, InfoAndTrackFieldsWithTheirDefaults)
{
    const Bytes info = El(ebml_id::kInfo, Concat({El(0x4489, Float64(1500.0)), El(0x7BA9, Text("T\xC3\xADtulo"))}));
    const Bytes video = El(0xE0, Concat({El(0xB0, {0x01, 0x40}), El(0xBA, {0xF0}), El(0x2383E3, Float64(25.0))}));
    const Bytes first = El(0xAE, Concat({El(0xD7, {1}), El(0x83, {1}), El(0x86, Text("V_VP8")), El(0x22B59C, Text("jpn")),
                                         El(0x22B59C, Text("spa")), El(0x23E383, {0x02, 0x7A, 0xC4, 0x2D}), video}));
    // Early muxers used the Video FrameRate ID for DefaultDuration at the track level.
    const Bytes second = El(0xAE, Concat({El(0xD7, {2}), El(0x83, {2}), El(0x2383E3, {0x01, 0x45, 0x85, 0x5A}),
                                          El(0xE1, {}), El(0x9C, {0})}));
    const MkvFile file(Segment(Concat({info, El(ebml_id::kTracks, Concat({first, second}))})));
    KMkvReader reader;
    ASSERT_EQ(file.Open(reader), S_OK);
    const KMkvSegment& segment = reader.Segment();

    EXPECT_EQ(segment.info.timecodeScale.value, 1000000u);
    EXPECT_TRUE(segment.info.timecodeScale.valid);
    EXPECT_DOUBLE_EQ(segment.info.duration.value, 1500.0);
    EXPECT_EQ(segment.info.title, WSTR("T\u00EDtulo"));
    EXPECT_EQ(SegmentDuration(segment.info), 15000000);

    ASSERT_EQ(segment.tracks.size(), 2u);
    const KMkvTrackEntry& v = segment.tracks[0];
    EXPECT_EQ(v.codecId, "V_VP8");
    EXPECT_EQ(v.language, "spa");  // a repeated single-valued element replaces the first
    EXPECT_EQ(v.defaultDuration.value, 41600045u);
    EXPECT_TRUE(v.hasVideo);
    EXPECT_FALSE(v.hasAudio);
    EXPECT_EQ(v.video.pixelWidth.value, 320u);
    EXPECT_EQ(v.video.pixelHeight.value, 240u);
    EXPECT_DOUBLE_EQ(v.video.frameRate.value, 25.0);
    EXPECT_EQ(v.flagLacing.value, 1u);

    const KMkvTrackEntry& a = segment.tracks[1];
    EXPECT_EQ(a.defaultDuration.value, 21333338u);
    EXPECT_TRUE(a.hasAudio);
    EXPECT_DOUBLE_EQ(a.audio.samplingFrequency.value, 8000.0);
    EXPECT_TRUE(a.audio.samplingFrequency.valid);
    EXPECT_EQ(a.audio.channels.value, 1u);
    EXPECT_EQ(a.flagLacing.value, 0u);
    EXPECT_TRUE(a.language.empty());
}

TEST(MkvSegment, TheHeadWalkStopsAfterAHundredChildrenOrThreeHeadRecords)
{
    const Bytes tracks = El(ebml_id::kTracks, El(0xAE, El(0xD7, {1})));
    const Bytes info = El(ebml_id::kInfo, El(0x2AD7B1, {0x0F, 0x42, 0x40}));
    Bytes voids;
    for (int i = 0; i < 100; ++i)
        voids = Concat({voids, El(0xEC, {0})});

    {
        const MkvFile file(Segment(Concat({voids, tracks})));
        KMkvReader reader;
        ASSERT_EQ(file.Open(reader), S_OK);
        EXPECT_TRUE(reader.Segment().tracks.empty());
    }
    {
        // 99 children before it: the Tracks element is the hundredth and is read.
        voids.resize(voids.size() - 3);
        const MkvFile file(Segment(Concat({voids, tracks})));
        KMkvReader reader;
        ASSERT_EQ(file.Open(reader), S_OK);
        EXPECT_EQ(reader.Segment().tracks.size(), 1u);
    }
    {
        // SeekHead, Info and Tracks make three: a second Tracks element behind them is not read.
        const Bytes seekHead = El(ebml_id::kSeekHead, {});
        const MkvFile file(Segment(Concat({seekHead, info, tracks, tracks})));
        KMkvReader reader;
        ASSERT_EQ(file.Open(reader), S_OK);
        EXPECT_EQ(reader.Segment().tracks.size(), 1u);
        EXPECT_EQ(reader.Segment().seekHeads.size(), 1u);
        EXPECT_EQ(reader.Segment().info.timecodeScale.value, 1000000u);
    }
}

TEST(MkvSegment, TickConversionTruncatesAndSaturates)
{
    EXPECT_EQ(TicksToReferenceTime(1001, 1000000), 10010000);
    EXPECT_EQ(TicksToReferenceTime(7, 333), 23);
    EXPECT_EQ(TicksToReferenceTime(-7, 333), -23);
    EXPECT_EQ(TicksToReferenceTime(std::int64_t{1} << 62, 1000000), INT64_MAX / 100);
    EXPECT_EQ(TicksToReferenceTime(-(std::int64_t{1} << 62), ~0ull), -(INT64_MAX / 100));
}

}  // namespace
