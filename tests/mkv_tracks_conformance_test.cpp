// The pins of every Matroska fixture against ffprobe's stream list: which streams get a pin, the
// subtype each codec maps to, and the format block fields ffprobe also reports (geometry, rate,
// channels, codec private data), plus pin names, the track map and damaged files.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <map>

#include "demux/mkv/mkv_filter.h"
#include "demux/mkv/mkv_media_types.h"
#include "tests/fixture_reference.h"

namespace {

using nlohmann::json;
using namespace vmx::host;
using vmx::test::kFixtureDir;
using vmx::test::LoadTable;
using Bytes = std::vector<BYTE>;

json LoadStreams(const std::string& name)
{
    const json doc = LoadTable("mkv/" + name);
    json streams = json::array();
    for (const json& stream : doc["streams"])
        if (stream["codec_type"] != "attachment")
            streams.push_back(stream);
    return streams;
}

std::uint32_t Adler(const BYTE* bytes, size_t size)
{
    return static_cast<std::uint32_t>(adler32(adler32(0, nullptr, 0), bytes, static_cast<uInt>(size)));
}

std::uint32_t RefAdler(const json& stream)
{
    const std::string hash = stream["extradata_hash"].get<std::string>();
    return static_cast<std::uint32_t>(std::stoul(hash.substr(hash.find(':') + 1), nullptr, 16));
}

template <typename Record>
Record FormatAs(const CMediaType& type)
{
    Record record{};
    if (type.FormatLength() >= sizeof record)
        std::memcpy(&record, type.Format(), sizeof record);
    return record;
}

// The subtypes a codec as ffprobe names it maps to, preferred first; empty: no pin.
std::vector<GUID> ExpectedSubtypes(const json& stream)
{
    static const std::map<std::string, std::vector<GUID>> kByCodec = {
        {"h264", {FourccGuid(MakeFourcc('A', 'V', 'C', '1'))}},
        {"mpeg4", {FourccGuid(MakeFourcc('M', 'P', '4', 'V'))}},
        {"mpeg2video", {MEDIASUBTYPE_MPEG2_VIDEO}},
        {"vp8", {FourccGuid(MakeFourcc('V', 'P', '8', '0'))}},
        {"theora", {FourccGuid(MakeFourcc('T', 'H', 'E', 'O'))}},
        {"aac", {FourccGuid(0xFF)}},
        {"mp3", {FourccGuid(0x55)}},
        {"ac3", {FourccGuid(0x2000)}},
        {"eac3", {FourccGuid(0x2000)}},
        {"dts", {FourccGuid(0x2001)}},
        {"pcm_s16le", {FourccGuid(1)}},
        {"pcm_f32le", {FourccGuid(3)}},
        {"tta", {FourccGuid(0x77A1)}},
        {"flac", {MEDIASUBTYPE_FLAC_Framed, FourccGuid(0xF1AC)}},
        {"vorbis", {MEDIASUBTYPE_Vorbis2, MEDIASUBTYPE_Vorbis}},
        {"subrip", {MEDIASUBTYPE_UTF8}},
        {"ass", {MEDIASUBTYPE_ASS}},
        {"opus", {}},
    };
    const std::string codec = stream["codec_name"].get<std::string>();
    // Tracks stored with a bitmap header keep their four-character code.
    const std::string tag = stream.value("codec_tag_string", "");
    if (tag.size() == 4 && tag[0] != '[')
        return {FourccGuid(MakeFourcc(tag[0], tag[1], tag[2], tag[3]))};
    const auto found = kByCodec.find(codec);
    EXPECT_NE(found, kByCodec.end()) << "no expectation for " << codec;
    return found == kByCodec.end() ? std::vector<GUID>{} : found->second;
}

void CheckVideo(const CMediaType& type, const json& stream)
{
    const int width = stream["width"].get<int>();
    const int height = stream["height"].get<int>();
    const GUID& format = *type.FormatType();
    if (format == FORMAT_MPEG2Video) {
        const auto info = FormatAs<MPEG2VIDEOINFO>(type);
        const BYTE* sequenceHeader = type.Format() + offsetof(MPEG2VIDEOINFO, dwSequenceHeader);
        ASSERT_EQ(type.FormatLength(), offsetof(MPEG2VIDEOINFO, dwSequenceHeader) + info.cbSequenceHeader);
        if (*type.Subtype() == FourccGuid(MakeFourcc('T', 'H', 'E', 'O'))) {
            // Theora's size is read from the macroblock counts: whole 16-pixel blocks.
            EXPECT_EQ(info.hdr.bmiHeader.biWidth, (width + 15) / 16 * 16);
            EXPECT_EQ(info.hdr.bmiHeader.biHeight, (height + 15) / 16 * 16);
        } else {
            EXPECT_EQ(info.hdr.bmiHeader.biWidth, width);
            EXPECT_EQ(info.hdr.bmiHeader.biHeight, height);
        }
        if (*type.Subtype() == FourccGuid(MakeFourcc('A', 'V', 'C', '1'))) {
            // The configuration record without its 5 leading bytes and two count bytes, and
            // without the 4 chroma and bit-depth bytes a High-profile record ends with.
            const unsigned highProfileTail = info.dwProfile >= 100 ? 4 : 0;
            EXPECT_EQ(info.cbSequenceHeader + 7 + highProfileTail, stream["extradata_size"].get<unsigned>());
        } else {
            ASSERT_EQ(info.cbSequenceHeader, stream["extradata_size"].get<unsigned>());
            EXPECT_EQ(Adler(sequenceHeader, info.cbSequenceHeader), RefAdler(stream));
        }
    } else {
        ASSERT_TRUE(format == FORMAT_VideoInfo || format == FORMAT_VideoInfo2);
        const size_t bitmapAt = format == FORMAT_VideoInfo ? offsetof(VIDEOINFOHEADER, bmiHeader)
                                                           : offsetof(VIDEOINFOHEADER2, bmiHeader);
        BITMAPINFOHEADER bitmap{};
        ASSERT_GE(type.FormatLength(), bitmapAt + sizeof bitmap);
        std::memcpy(&bitmap, type.Format() + bitmapAt, sizeof bitmap);
        EXPECT_EQ(bitmap.biWidth, width);
        EXPECT_EQ(bitmap.biHeight, height);
        // What follows the bitmap header is what ffprobe calls extradata.
        const size_t extra = type.FormatLength() - bitmapAt - sizeof bitmap;
        EXPECT_EQ(extra, stream.value("extradata_size", 0u));
    }
}

void CheckAudio(const CMediaType& type, const json& stream)
{
    if (*type.FormatType() != FORMAT_WaveFormatEx) {
        // The two Vorbis blocks start with the channel count and the rate.
        std::uint32_t fields[2] = {};
        ASSERT_GE(type.FormatLength(), sizeof fields);
        std::memcpy(fields, type.Format(), sizeof fields);
        EXPECT_EQ(fields[0] & 0xFFFF, stream["channels"].get<unsigned>());
        EXPECT_EQ(fields[1], stream["sample_rate"].get<unsigned>());
        return;
    }
    const auto format = FormatAs<WAVEFORMATEX>(type);
    EXPECT_EQ(format.nChannels, stream["channels"].get<unsigned>());
    EXPECT_EQ(format.nSamplesPerSec, stream["sample_rate"].get<unsigned>());
    ASSERT_EQ(type.FormatLength(), sizeof(WAVEFORMATEX) + format.cbSize);
    const std::string codec = stream["codec_name"].get<std::string>();
    if (codec == "aac") {
        // The AudioSpecificConfig is the codec private data itself.
        ASSERT_EQ(format.cbSize, stream["extradata_size"].get<unsigned>());
        EXPECT_EQ(Adler(type.Format() + sizeof(WAVEFORMATEX), format.cbSize), RefAdler(stream));
    } else if (codec == "flac") {
        // ffprobe keeps STREAMINFO only; we pass "fLaC", the block header and every block.
        EXPECT_GE(format.cbSize, stream["extradata_size"].get<unsigned>() + 8);
        EXPECT_EQ(std::memcmp(type.Format() + sizeof(WAVEFORMATEX), "fLaC", 4), 0);
    } else {
        EXPECT_EQ(format.cbSize, 0);
    }
}

void CheckSubtitle(const CMediaType& type, const json& stream)
{
    SUBTITLEINFO info{};
    ASSERT_GE(type.FormatLength(), sizeof info);
    std::memcpy(&info, type.Format(), sizeof info);
    EXPECT_EQ(std::string(info.IsoLang), stream.value("language", ""));
    const size_t extra = type.FormatLength() - sizeof info;
    EXPECT_EQ(extra, stream.value("extradata_size", 0u));
    if (extra) {
        EXPECT_EQ(Adler(type.Format() + sizeof info, extra), RefAdler(stream));
    }
}

class MkvTracks : public testing::TestWithParam<const char*> {};

TEST_P(MkvTracks, PinsAndTypesAgreeWithFfprobe)
{
    const std::string name = GetParam();
    const json streams = LoadStreams(name);
    ASSERT_FALSE(streams.empty());
    const std::string file = name + (name == "vp8-vorbis" ? ".webm" : ".mkv");
    OpenedSource source = OpenSourceFile(kFixtureDir + "mkv/" + file, "mkv");
    ASSERT_TRUE(source) << source.error;
    PlayResult described = DescribeSource(source.filter.Get());
    ASSERT_TRUE(described.Succeeded()) << described.error;

    size_t pin = 0;
    for (const json& stream : streams) {
        const std::vector<GUID> subtypes = ExpectedSubtypes(stream);
        if (subtypes.empty())
            continue;
        ASSERT_LT(pin, described.report.pins.size()) << "no pin for stream " << stream["index"];
        const PinReport& report = described.report.pins[pin++];
        SCOPED_TRACE(name + ", pin " + report.name);
        // The display-aspect rule puts a VIDEOINFOHEADER2 copy in front of a VIDEOINFOHEADER type.
        std::vector<GUID> offered;
        for (const CMediaType& type : report.mediaTypes)
            if (*type.FormatType() != FORMAT_VideoInfo2)
                offered.push_back(*type.Subtype());
        EXPECT_EQ(offered, subtypes);
        const std::string kind = stream["codec_type"].get<std::string>();
        for (const CMediaType& type : report.mediaTypes) {
            if (kind == "video")
                CheckVideo(type, stream);
            else if (kind == "audio")
                CheckAudio(type, stream);
            else
                CheckSubtitle(type, stream);
        }
    }
    EXPECT_EQ(pin, described.report.pins.size());
}

INSTANTIATE_TEST_SUITE_P(Fixtures, MkvTracks,
                         testing::Values("h264-aac", "mpeg4-mp3", "mpeg2-ac3", "vp8-vorbis", "theora-flac", "vfw",
                                         "pcm-int", "pcm-float", "eac3", "dts", "tta", "opus", "subtitles",
                                         "display-16x9", "display-h264", "default-duration", "zlib-private",
                                         "laced-xiph", "laced-fixed", "live-unknown-size", "nonzero-start",
                                         "chapters-attachments"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             for (char& c : name)
                                 if (c == '-')
                                     c = '_';
                             return name;
                         });

PlayResult Describe(const std::string& file)
{
    OpenedSource source = OpenSourceFile(kFixtureDir + "mkv/" + file, "mkv");
    if (!source) {
        PlayResult failed;
        failed.error = source.error;
        return failed;
    }
    return DescribeSource(source.filter.Get());
}

TEST(MkvTrackNames, LanguagesAndNamesFromTheTrackHeaders)
{
    const PlayResult described = Describe("subtitles.mkv");
    ASSERT_TRUE(described.Succeeded()) << described.error;
    std::vector<std::string> names;
    for (const PinReport& pin : described.report.pins)
        names.push_back(pin.name);
    // ffmpeg tags the video "und"; ger has a name, its terminology twin deu has none.
    const std::vector<std::string> expected = {"Undetermined (Video 1)", "Japanese, Commentary (Audio 1)",
                                               "Japanese, 日本語 (Subtitle 1)", "Spanish, Español (Subtitle 2)",
                                               "German, Deutsch (ASS) (Subtitle 3)", " (Subtitle 4)"};
    EXPECT_EQ(names, expected);
}

TEST(MkvTrackTypes, AspectAndDurationAdjustTheVideoTypes)
{
    const PlayResult vfw = Describe("display-16x9.mkv");
    ASSERT_TRUE(vfw.Succeeded()) << vfw.error;
    ASSERT_EQ(vfw.report.pins.size(), 1u);
    const auto& types = vfw.report.pins[0].mediaTypes;
    ASSERT_EQ(types.size(), 2u);
    ASSERT_EQ(*types[0].FormatType(), FORMAT_VideoInfo2);
    // mkvmerge stores 16:9 of a 240-line picture as 427 x 240.
    const auto info2 = FormatAs<VIDEOINFOHEADER2>(types[0]);
    EXPECT_EQ(info2.dwPictAspectRatioX, 427u);
    EXPECT_EQ(info2.dwPictAspectRatioY, 240u);

    const PlayResult avc = Describe("display-h264.mkv");
    ASSERT_TRUE(avc.Succeeded()) << avc.error;
    const auto info = FormatAs<MPEG2VIDEOINFO>(avc.report.pins[0].mediaTypes[0]);
    EXPECT_EQ(info.hdr.dwPictAspectRatioX * 9, info.hdr.dwPictAspectRatioY * 16);

    // 24000/1001 fps written as DefaultDuration 41708333 ns.
    const PlayResult film = Describe("default-duration.mkv");
    ASSERT_TRUE(film.Succeeded()) << film.error;
    EXPECT_EQ(FormatAs<MPEG2VIDEOINFO>(film.report.pins[0].mediaTypes[0]).hdr.AvgTimePerFrame, 417083);
}

TEST(MkvTrackMap, ARepeatedTrackNumberKeepsBothPinsAndMapsTheLaterTrack)
{
    OpenedSource source = OpenSourceFile(kFixtureDir + "mkv/dup-tracknumber.mkv", "mkv");
    ASSERT_TRUE(source) << source.error;
    auto* filter = dynamic_cast<CMKV_Filter*>(source.filter.Get());
    ASSERT_NE(filter, nullptr);
    ASSERT_EQ(filter->GetPinCount(), 2);
    ASSERT_EQ(filter->Tracks().size(), 2u);
    const std::uint64_t number = filter->Tracks()[0]->trackNumber.value;
    EXPECT_EQ(filter->Tracks()[1]->trackNumber.value, number);
    EXPECT_EQ(filter->TrackForNumber(static_cast<std::uint32_t>(number)), filter->Tracks()[1]);
}

TEST(MkvDamaged, BrokenTracksAreDroppedAndBrokenFilesFailCleanly)
{
    // A file that is not Matroska past its magic, or cut inside Tracks (no Cluster left), fails.
    for (const char* name : {"random.mkv", "truncated-tracks.mkv"}) {
        OpenedSource source = OpenSourceFile(kFixtureDir + "mkv/damaged/" + name, "mkv");
        EXPECT_FALSE(source) << name;
        EXPECT_FALSE(source.error.empty()) << name;
    }
    struct Case {
        const char* name;
        size_t pins;  // the damaged track loses its pin, the others keep theirs
    };
    // A file whose only track is dropped still loads: it has a Segment and Clusters.
    const Case cases[] = {{"theora-short-private.mkv", 1}, {"vfw-short-private.mkv", 0}, {"avc-bad-config.mkv", 1},
                          {"info-size-ff.mkv", 2},         {"lace-oversize.mkv", 1},      {"garbage-between-clusters.mkv", 1}};
    for (const Case& c : cases) {
        const PlayResult described = Describe(std::string("damaged/") + c.name);
        ASSERT_TRUE(described.Succeeded()) << c.name << ": " << described.error;
        EXPECT_EQ(described.report.pins.size(), c.pins) << c.name;
    }
}

}  // namespace
