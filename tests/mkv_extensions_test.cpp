// The Matroska codecs behind the extensions switch (HEVC, AV1, VP9, Opus, E-AC-3 under its own
// subtype, TrueHD, WebVTT, PGS) against ffprobe's tables of files from ffmpeg and mkvmerge: types
// and configuration records, every frame's bytes, time (less CodecDelay, as ffprobe gives it) and
// key flag, seeks with Opus's SeekPreRoll, damaged records; with the switch off, what these files
// gave before.
#include <gtest/gtest.h>

#include <optional>

#include "demux/mkv/mkv_filter.h"
#include "demux/mkv/mkv_media_types.h"
#include "framework/extensions.h"
#include "framework/format_blocks.h"
#include "tests/fixture_reference.h"
#include "tests/test_support.h"
#include "tests/play_session.h"

namespace {

using namespace vmx::host;
using namespace vmx::test;

std::string TableOf(const std::string& file) { return "ext/" + file.substr(0, file.rfind('.')); }

// The pins' first types as this build gives them with the switch on, per stream of the table.
struct MkvCase {
    const char* file;
    std::vector<GUID> subtypes;  // each stream's preferred subtype, in table order
};

const MkvCase kCases[] = {
    {"vp9-opus.webm", {MEDIASUBTYPE_VP90, MEDIASUBTYPE_Opus}},
    {"hevc-opus.mkv", {MEDIASUBTYPE_HEVC, MEDIASUBTYPE_Opus}},
    {"av1-opus.mkv", {MEDIASUBTYPE_AV01, MEDIASUBTYPE_Opus}},
    {"eac3-truehd-webvtt.mkv", {MEDIASUBTYPE_DolbyDigitalPlus, MEDIASUBTYPE_DolbyTrueHd, MEDIASUBTYPE_WebVtt}},
    {"opus-cues.mka", {MEDIASUBTYPE_Opus}},
};

class MkvExtensions : public testing::TestWithParam<MkvCase> {};

// The configuration record (hvcC, av1C, OpusHead) ends the format block exactly as ffprobe's
// codec data; every frame arrives whole at ffprobe's time less the first Cluster's, video key
// frames flagged as ffprobe flags them.
TEST_P(MkvExtensions, TypesFramesAndTimesMatchTheReference)
{
    const MkvCase& c = GetParam();
    ScopedExtensions on(true);
    std::map<int, std::string> kinds;
    const auto reference = vmx::test::LoadFrames(TableOf(c.file), &kinds);
    const nlohmann::json streams = vmx::test::LoadTable(TableOf(c.file))["streams"];
    OpenedSource source = OpenSourceFile(vmx::test::kFixtureDir + "ext/" + c.file, "mkv");
    ASSERT_TRUE(source) << source.error;
    const REFERENCE_TIME offset = dynamic_cast<CMKV_Filter*>(source.filter.Get())->StartOffset();
    const PlayResult played = vmx::test::PlayFixture(std::string("ext/") + c.file, "mkv");
    ASSERT_TRUE(played.Succeeded()) << played.error;
    ASSERT_EQ(played.report.pins.size(), reference.size());

    for (const auto& [index, frames] : reference) {
        const PinReport& pin = played.report.pins.at(static_cast<size_t>(index));
        SCOPED_TRACE(std::string(c.file) + ", " + pin.name);
        ASSERT_FALSE(pin.mediaTypes.empty());
        const CMediaType& type = pin.mediaTypes[0];
        EXPECT_EQ(*type.Subtype(), c.subtypes.at(static_cast<size_t>(index)));
        const nlohmann::json& stream = streams[static_cast<size_t>(index)];
        const size_t recordSize = stream.value("extradata_size", 0);
        if (kinds[index] != "subtitle" && recordSize > 0) {
            ASSERT_GE(type.FormatLength(), recordSize);
            const std::span<const BYTE> record(type.Format() + type.FormatLength() - recordSize, recordSize);
            EXPECT_EQ(vmx::test::Adler32Text(record), stream["extradata_hash"].get<std::string>());
        }
        const auto samples = SamplesOf(pin);
        ASSERT_EQ(samples.size(), frames.size());
        for (size_t k = 0; k < frames.size(); ++k) {
            ASSERT_EQ(samples[k].length, frames[k].size) << k;
            ASSERT_EQ(samples[k].adler32, frames[k].adler32) << k;
            if (frames[k].laceIndex == 0) {
                EXPECT_NEAR(static_cast<double>(samples[k].start), static_cast<double>(frames[k].start - offset),
                            static_cast<double>(frames[k].tick))
                    << k;
            } else {
                EXPECT_GT(samples[k].start, samples[k - 1].start) << k;
            }
            if (kinds[index] == "video") {
                EXPECT_EQ(samples[k].syncPoint, frames[k].key) << k;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Files, MkvExtensions, testing::ValuesIn(kCases), [](const auto& info) {
    std::string name = info.param.file;
    for (char& ch : name)
        if (ch == '-' || ch == '.')
            ch = '_';
    return name;
});

// With the switch off these files give what they gave before: no pin for a track of a new codec
// (a file of nothing else loads with no pins), E-AC-3 only under the AC-3 type.
TEST(MkvExtensionsOff, TheFilesGiveWhatTheyGaveBefore)
{
    ScopedExtensions off(false);
    for (const MkvCase& c : kCases) {
        SCOPED_TRACE(c.file);
        OpenedSource source = OpenSourceFile(vmx::test::kFixtureDir + "ext/" + c.file, "mkv");
        ASSERT_TRUE(source) << source.error;
        const PlayResult described = DescribeSource(source.filter.Get());
        ASSERT_TRUE(described.Succeeded()) << described.error;
        if (std::string(c.file).starts_with("eac3")) {
            ASSERT_EQ(described.report.pins.size(), 1u);
            ASSERT_EQ(described.report.pins[0].mediaTypes.size(), 1u);
            EXPECT_EQ(*described.report.pins[0].mediaTypes[0].Subtype(), FourccGuid(0x2000));
        } else {
            EXPECT_TRUE(described.report.pins.empty());
        }
    }
}

// Records built here: each rule of the extension types at its edge.
TEST(MkvExtensionTypes, RecordsTheirFieldsAndTheirLimits)
{
    std::vector<BYTE> hvcc(23, 0);
    hvcc[0] = 1;
    hvcc[1] = 0x22;  // tier 1, profile 2
    hvcc[12] = 93;   // level 3.1
    hvcc[21] = 0x0F;  // four-byte NAL lengths
    const std::vector<BYTE> av1c = {0x81, 0x45, 0x00, 0x00};  // profile 2, level 5
    std::vector<BYTE> opusHead = {'O', 'p', 'u', 's', 'H', 'e', 'a', 'd', 1, 6, 0x38, 0x01, 0x80, 0xBB, 0, 0, 0, 0, 1};
    struct Case {
        const char* codecId;
        std::uint64_t trackType;
        std::vector<BYTE> priv;
        GUID subtype;  // GUID_NULL: no pin
        DWORD profile, level, flags;  // MPEG2VIDEOINFO
    };
    const Case cases[] = {
        {"V_MPEGH/ISO/HEVC", mkv_track_type::kVideo, hvcc, MEDIASUBTYPE_HEVC, 2, 93, 4},
        {"V_MPEGH/ISO/HEVC", mkv_track_type::kVideo, std::vector<BYTE>(hvcc.begin(), hvcc.end() - 1), GUID_NULL, 0, 0, 0},
        {"V_MPEGH/ISO/HEVC", mkv_track_type::kVideo, std::vector<BYTE>(23, 0), GUID_NULL, 0, 0, 0},
        {"V_AV1", mkv_track_type::kVideo, av1c, MEDIASUBTYPE_AV01, 2, 5, 0},
        {"V_AV1", mkv_track_type::kVideo, {0x01, 0x45, 0, 0}, GUID_NULL, 0, 0, 0},
        {"V_VP9", mkv_track_type::kVideo, {}, MEDIASUBTYPE_VP90, 0, 0, 0},
        {"A_OPUS", mkv_track_type::kAudio, opusHead, MEDIASUBTYPE_Opus, 0, 0, 0},
        {"A_OPUS", mkv_track_type::kAudio, std::vector<BYTE>(opusHead.begin(), opusHead.end() - 1), GUID_NULL, 0, 0, 0},
        {"A_TRUEHD", mkv_track_type::kAudio, {}, MEDIASUBTYPE_DolbyTrueHd, 0, 0, 0},
        {"S_HDMV/PGS", mkv_track_type::kSubtitle, {}, MEDIASUBTYPE_HdmvPgs, 0, 0, 0},
        {"D_WEBVTT/SUBTITLES", mkv_track_type::kSubtitle, {}, MEDIASUBTYPE_WebVtt, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.codecId) + ", " + std::to_string(c.priv.size()) + " bytes");
        KMkvTrackEntry track;
        track.codecId = c.codecId;
        track.trackType.value = c.trackType;
        track.codecPrivate = c.priv;
        KMkvTrackCounters counters;
        const KMkvTrackTypes off = BuildTrackTypes(track, counters, false);
        EXPECT_TRUE(off.types.empty());
        const KMkvTrackTypes on = BuildTrackTypes(track, counters, true);
        if (c.subtype == GUID_NULL) {
            EXPECT_TRUE(on.types.empty());
            continue;
        }
        ASSERT_EQ(on.types.size(), 1u);
        const CMediaType& type = on.types[0];
        EXPECT_EQ(*type.Subtype(), c.subtype);
        // The record as the file holds it ends the block.
        ASSERT_GE(type.FormatLength(), c.priv.size());
        EXPECT_TRUE(std::equal(c.priv.begin(), c.priv.end(), type.Format() + type.FormatLength() - c.priv.size()));
        if (*type.FormatType() == FORMAT_MPEG2Video) {
            const auto info = GetRecord<MPEG2VIDEOINFO>(type.Format(), 0);
            EXPECT_EQ(info.dwProfile, c.profile);
            EXPECT_EQ(info.dwLevel, c.level);
            EXPECT_EQ(info.dwFlags, c.flags);
            EXPECT_EQ(info.cbSequenceHeader, c.priv.size());
        } else if (*type.FormatType() == FORMAT_WaveFormatEx && c.subtype == MEDIASUBTYPE_Opus) {
            const auto format = GetRecord<WAVEFORMATEX>(type.Format(), 0);
            EXPECT_EQ(format.wFormatTag, 0x704F);
            EXPECT_EQ(format.nChannels, 6);  // OpusHead's count, whatever the track says
            EXPECT_EQ(format.cbSize, c.priv.size());
        }
    }
}

// After a seek Opus starts SeekPreRoll (80 ms) before the block the seek lands on, at the start
// of the Cluster that holds that point; what comes before the landing point is preroll, and the
// rest follows as in the file.
TEST(MkvExtensionsSeeking, OpusStartsSeekPreRollBeforeTheLandingPoint)
{
    ScopedExtensions on(true);
    const auto frames = vmx::test::LoadFrames("ext/opus-cues").at(0);
    vmx::test::PlaySession session("ext/opus-cues.mka", "mkv");
    ASSERT_TRUE(session.connected);
    const REFERENCE_TIME target = 2 * kSecond;
    REFERENCE_TIME segmentStart = -1;
    ASSERT_TRUE(session.SeekAndPlayToTheEnd(1, target));
    const auto samples = session.LastSegment(0, &segmentStart);
    ASSERT_FALSE(samples.empty());
    // The Cues name Clusters of 100 ms: the seek lands on the first one at or after the target.
    EXPECT_GE(segmentStart, target);
    EXPECT_LT(segmentStart, target + kSecond / 10);
    EXPECT_LE(samples.front().start, -800000);
    EXPECT_GT(samples.front().start, -800000 - kSecond / 4);
    const auto first = std::find_if(frames.begin(), frames.end(), [&](const RefFrame& f) { return f.adler32 == samples.front().adler32; });
    ASSERT_NE(first, frames.end());
    ASSERT_EQ(samples.size(), static_cast<size_t>(frames.end() - first));
    for (size_t k = 0; k < samples.size(); ++k) {
        ASSERT_EQ(samples[k].adler32, first[static_cast<std::ptrdiff_t>(k)].adler32) << k;
        EXPECT_EQ(samples[k].preroll, samples[k].start < 0) << k;
    }
    EXPECT_TRUE(samples.front().preroll);
    session.driver.Stop();
}

// A configuration record cut short costs its own track's pin, nothing else.
TEST(MkvExtensionsDamaged, AShortRecordCostsOnlyItsTrack)
{
    ScopedExtensions on(true);
    const auto reference = vmx::test::LoadFrames("ext/hevc-opus");
    const std::pair<const char*, int> cases[] = {{"hevc-short-hvcc", 1}, {"opus-short-head", 0}};
    for (const auto& [file, survivor] : cases) {
        SCOPED_TRACE(file);
        const PlayResult played = vmx::test::PlayFixture(std::string("ext/damaged/") + file + ".mkv", "mkv");
        ASSERT_TRUE(played.Succeeded()) << played.error;
        ASSERT_EQ(played.report.pins.size(), 1u);
        const auto samples = SamplesOf(played.report.pins[0]);
        const auto& frames = reference.at(survivor);
        ASSERT_EQ(samples.size(), frames.size());
        for (size_t k = 0; k < samples.size(); ++k)
            ASSERT_EQ(samples[k].adler32, frames[k].adler32) << k;
    }
}

}  // namespace
