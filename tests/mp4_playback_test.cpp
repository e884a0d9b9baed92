// MP4 and QuickTime: the box tree and sample tables on bytes built here, and the fixtures played
// through the recording sinks against ffprobe's packet tables (made with edit lists ignored, as
// the filter ignores them): per pin the same units, bytes, times and key flags; seeks through
// the video key frames; edited movie boxes; damaged files.
#include <gtest/gtest.h>

#include <zlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <tuple>

#include "demux/mp4/mp4_filter.h"
#include "demux/mp4/mp4_media_types.h"
#include "host/graph_driver.h"
#include "host/media_type_text.h"
#include "io/wide_text.h"
#include "tests/fixture_reference.h"
#include "tests/mp4_bytes.h"
#include "tests/mp4_seeking.h"
#include "tests/test_support.h"

namespace {

using namespace vmx::host;
using namespace vmx::test;
using namespace vmx::test::mp4;

// A full box: version and flags 0.
Bytes Full(const char (&type)[5], const Bytes& body) { return vmx::test::mp4::Full(type, 0, body); }

Bytes Table(std::initializer_list<std::uint32_t> values)
{
    Bytes out;
    for (std::uint32_t v : values)
        out = Cat({out, U32(v)});
    return out;
}

// A sound sample entry of version 0.
Bytes SoundEntry(const char (&type)[5], std::uint16_t channels, std::uint16_t bits, std::uint16_t rate)
{
    return Box(type, Cat({Bytes(6, 0), U16(1), U16(0), U16(0), U32(0), U16(channels), U16(bits), U16(0), U16(0), U16(rate), U16(0)}));
}

// A video sample entry of 16 x 16.
Bytes VideoEntry(const char (&type)[5])
{
    return Box(type, Cat({Bytes(6, 0), U16(1), U16(0), U16(0), U32(0), U32(0), U32(0), U16(16), U16(16), U32(0x480000),
                          U32(0x480000), U32(0), U16(1), Bytes(32, 0), U16(24), U16(0xFFFF)}));
}

// A "trak" of a "soun" or "vide" handler with 8 kHz ticks, the sample entry and the sample tables
// (each already a full box) in the order given.
Bytes Trak(const char (&handler)[5], std::uint32_t trackId, const Bytes& entry, std::initializer_list<Bytes> tables)
{
    const Bytes tkhd = Full("tkhd", Cat({U32(0), U32(0), U32(trackId), U32(0), U32(0), Bytes(16, 0), Table({0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000}), U32(0), U32(0)}));
    const Bytes mdhd = Full("mdhd", Cat({U32(0), U32(0), U32(8000), U32(80000), U16(0x55C4), U16(0)}));
    const Bytes hdlr = Full("hdlr", Cat({U32(0), Bytes(handler, handler + 4), Bytes(12, 0), Bytes{0}}));
    Bytes stbl = Full("stsd", Cat({U32(1), entry}));
    for (const Bytes& table : tables)
        stbl = Cat({stbl, table});
    const bool video = std::string_view(handler) == "vide";
    const Bytes header = video ? Full("vmhd", Bytes(8, 0)) : Full("smhd", U32(0));
    const Bytes minf = Box("minf", Cat({header, Box("stbl", stbl)}));
    return Box("trak", Cat({tkhd, Box("mdia", Cat({mdhd, hdlr, minf}))}));
}

// A sound "trak" with the given sample entry and tables (each already a full box).
Bytes SoundTrak(const Bytes& entry, const Bytes& stts, const Bytes& stsc, const Bytes& stsz, const Bytes& stco,
                const Bytes& extra = {})
{
    return Trak("soun", 2, entry, {stts, stsc, stsz, stco, extra});
}

Bytes Movie(std::initializer_list<Bytes> traks)
{
    Bytes moov = Full("mvhd", Cat({U32(0), U32(0), U32(1000), U32(10000), Bytes(80, 0)}));
    for (const Bytes& trak : traks)
        moov = Cat({moov, trak});
    return Cat({Box("ftyp", Cat({Bytes{'i', 's', 'o', 'm'}, U32(0)})), Box("moov", moov)});
}

// Bytes written to a scratch file and opened by a read handler.
struct OpenedBytes {
    explicit OpenedBytes(const Bytes& bytes, const std::string& name = "test.mp4") : path(dir.file(name))
    {
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        opened = handler.Open(WideFromUtf8(path).c_str());
    }
    ScopedTempDir dir;
    std::string path;
    KMp4ReadHandler handler;
    bool opened = false;
};

}  // namespace

TEST(Mp4Boxes, PathsSizesSignaturesAndTheMovieBoxStandIn)
{
    const Bytes wide = Cat({U32(1), Bytes{'m', 'd', 'a', 't'}, U32(0), U32(24), Bytes(8, 0)});  // 64-bit size
    OpenedBytes file(Cat({Movie({}), Box("trak", {}), wide, Cat({U32(0), Bytes{'f', 'r', 'e', 'e'}})}));
    ASSERT_TRUE(file.opened);
    const Mp4Box& root = file.handler.Root();
    // The size-0 box ends the root's list: it is not in the tree.
    ASSERT_EQ(root.children.size(), 4u);
    EXPECT_EQ(root.children[3]->type, Mp4Type("mdat"));
    EXPECT_EQ(root.children[3]->size, 24u);
    EXPECT_EQ(root.children[3]->HeaderLength(), 16u);
    EXPECT_EQ(FindBox(root, "/moov/mvhd"), root.children[1]->children[0].get());
    EXPECT_EQ(FindBox(root, "[2]"), root.children[2].get());
    EXPECT_EQ(FindBox(*root.children[1]->children[0], "../../trak"), root.children[2].get());
    EXPECT_EQ(FindBox(root, "/moov/mvh"), nullptr);
    EXPECT_EQ(FindBox(root, "/moov/mvhdx"), nullptr);
    EXPECT_EQ(CountBoxes(root, "/moov"), 1);
    EXPECT_EQ(CountBoxes(root, "/moov/trak"), 0);
    EXPECT_EQ(file.handler.MovieTimeScale(), 1000u);

    // Only the known signatures at bytes 4 to 7 open.
    EXPECT_FALSE(OpenedBytes(Box("abcd", Bytes(16, 0))).opened);
    // A root-level "free" holding a movie header stands in for the missing "moov".
    Bytes foov = Movie({});
    std::copy_n("free", 4, foov.begin() + 16 + 4);  // after the 16-byte ftyp
    OpenedBytes standIn(foov);
    ASSERT_TRUE(standIn.opened);
    EXPECT_NE(standIn.handler.FindBox("/moov/mvhd"), nullptr);
}

TEST(Mp4Boxes, ATableThatFailsEndsItsSiblingListAndKeepsWhatCameBefore)
{
    // An "stss" counting 0x20000000 entries is refused, and the walk of its "stbl" ends there.
    // Behind the other tables it leaves a track without sync samples and without the "ctts" that
    // follows it, while the next "trak" is still read; in front of "stsc", where ffmpeg writes
    // it, it takes the track's tables with it and the track is dropped.
    const Bytes stts = Full("stts", Table({1, 4, 1000}));
    const Bytes stsc = Full("stsc", Table({1, 1, 4, 1}));
    const Bytes stsz = Full("stsz", Table({100, 4}));
    const Bytes stco = Full("stco", Table({1, 1000}));
    const Bytes stss = Full("stss", Table({0x20000000, 1}));
    const Bytes ctts = Full("ctts", Table({1, 4, 500}));
    const Bytes sound = SoundTrak(SoundEntry("sowt", 1, 16, 8000), stts, stsc, stsz, stco);
    {
        OpenedBytes file(Movie({Trak("vide", 1, VideoEntry("jpeg"), {stts, stsc, stsz, stco, stss, ctts}), sound}));
        ASSERT_TRUE(file.opened);
        const Mp4Box* stbl = file.handler.FindBox("/moov/trak/mdia/minf/stbl");
        ASSERT_NE(stbl, nullptr);
        ASSERT_EQ(stbl->children.size(), 5u);
        EXPECT_EQ(stbl->children.back()->type, Mp4Type("stco"));
        ASSERT_EQ(file.handler.Tracks().size(), 2u);
        const Mp4Track& video = *file.handler.Tracks()[0];
        EXPECT_EQ(video.syncSamples, nullptr);
        EXPECT_EQ(video.compositionOffsets, nullptr);
    }
    OpenedBytes file(Movie({Trak("vide", 1, VideoEntry("jpeg"), {stts, stss, ctts, stsc, stsz, stco}), sound}));
    ASSERT_TRUE(file.opened);
    ASSERT_EQ(file.handler.Tracks().size(), 1u);
    EXPECT_EQ(file.handler.Tracks()[0]->type, Mp4TrackType::Audio);
}

TEST(Mp4Tables, ChunksRunsAndReadUnits)
{
    // stsc (1, 4, 1) and (3, 2, 1) over five chunks: 4, 4, 2, 2, 2 samples.
    const Bytes stsc = Full("stsc", Table({2, 1, 4, 1, 3, 2, 1}));
    const Bytes stco = Full("stco", Table({5, 1000, 2000, 3000, 4000, 5000}));
    // The last sample lasts 10 s: it must not push later chunks out.
    const Bytes stts = Full("stts", Table({2, 13, 1000, 1, 80000}));
    const Bytes stsz = Full("stsz", Table({0, 14, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23}));
    const Bytes ctts = Full("ctts", Table({2, 4, 500, 10, 0}));
    const Bytes stss = Full("stss", Table({3, 1, 5, 9}));
    OpenedBytes file(Movie({SoundTrak(SoundEntry("mp4a", 2, 16, 8000), stts, stsc, stsz, stco, Cat({ctts, stss}))}));
    ASSERT_TRUE(file.opened);
    ASSERT_EQ(file.handler.Tracks().size(), 1u);
    Mp4Track& track = *file.handler.Tracks()[0];
    const std::uint32_t samples[] = {4, 4, 2, 2, 2}, firsts[] = {0, 4, 8, 10, 12};
    for (std::size_t c = 0; c < 5; ++c) {
        EXPECT_EQ(track.chunks[c].samples, samples[c]) << c;
        EXPECT_EQ(track.chunks[c].firstSample, firsts[c]) << c;
    }
    EXPECT_EQ(track.chunks[4].firstDts, 12000u);
    // Per-sample units: offsets inside the chunk, composition offsets added to the times.
    std::vector<std::pair<std::uint64_t, REFERENCE_TIME>> units;
    do {
        track.CurrentSize();
        units.emplace_back(track.CurrentOffset(), track.CurrentTime());
    } while (track.Advance());
    ASSERT_EQ(units.size(), 14u);
    EXPECT_EQ(units[1], std::make_pair(std::uint64_t{1010}, REFERENCE_TIME{1500 * kSecond / 8000}));
    EXPECT_EQ(units[5], std::make_pair(std::uint64_t{2014}, REFERENCE_TIME{5000 * kSecond / 8000}));
    EXPECT_EQ(units[13].second, 13000 * kSecond / 8000);
    EXPECT_EQ(track.TimeOfSample(1), 1000 * kSecond / 8000);

    // Seeks snap to sync samples 0, 4 and 8; preferring earlier moves back even from a sync one.
    struct Seek {
        REFERENCE_TIME time;
        bool earlier;
        std::uint32_t sample;
    };
    for (const Seek& seek : {Seek{4000 * kSecond / 8000, false, 4}, Seek{4000 * kSecond / 8000, true, 0},
                             Seek{6000 * kSecond / 8000, true, 4}, Seek{13000 * kSecond / 8000, false, 8}}) {
        ASSERT_TRUE(track.Seek(seek.time, seek.earlier));
        EXPECT_EQ(track.currentSample, seek.sample) << seek.time;
        bool sync = false;
        track.CurrentTime(&sync);
        EXPECT_TRUE(sync);
    }
    EXPECT_FALSE(track.Seek(20 * kSecond, false));
}

TEST(Mp4Tables, QuickTimeSoundReadUnits)
{
    // "twos" stereo 16-bit, sample size 2 in stsz: 1024 samples (4096 bytes) a unit, the last of
    // a chunk shorter. "ima4" version 0 stereo: a 68-byte packet of 64 samples a unit.
    struct Case {
        const char* name;
        Bytes entry;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> units;  // (bytes, first sample)
    };
    const Case cases[] = {
        {"twos", SoundEntry("twos", 2, 16, 8000), {{4096, 0}, {4096, 1024}, {4 * 500, 2048}, {4096, 2548}, {4096, 3572}, {4 * 452, 4596}}},
        {"ima4", SoundEntry("ima4", 2, 16, 8000), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool ima = std::string(c.name) == "ima4";
        const Bytes stsz = Full("stsz", Table({ima ? 1u : 2u, 5048}));
        const Bytes stsc = Full("stsc", Table({1, 1, 2548, 1}));
        OpenedBytes file(Movie({SoundTrak(c.entry, Full("stts", Table({1, 5048, 1})), stsc, stsz, Full("stco", Table({2, 100, 20000})))}));
        ASSERT_EQ(file.handler.Tracks().size(), 1u);
        Mp4Track& track = *file.handler.Tracks()[0];
        std::vector<std::pair<std::uint32_t, std::uint32_t>> units;
        do
            units.emplace_back(track.CurrentSize(), track.currentSample);
        while (track.Advance());
        if (!ima) {
            EXPECT_TRUE(track.swap16);
            EXPECT_EQ(units, c.units);
        } else {
            ASSERT_EQ(units.size(), 2548u / 64 + 1 + (5048u - 2548u) / 64 + 1);
            EXPECT_EQ(units[1], std::make_pair(68u, 64u));
            EXPECT_EQ(track.CurrentOffset(), 20000u + (5048u - 2548u) / 64 * 68);
        }
    }
    // 8-bit "twos" samples are single bytes, with no pair to swap (8-bit "raw " is held by the
    // pcm-raw fixture).
    OpenedBytes eightBit(Movie({SoundTrak(SoundEntry("twos", 1, 8, 8000), Full("stts", Table({1, 100, 1})),
                                          Full("stsc", Table({1, 1, 100, 1})), Full("stsz", Table({1, 100})),
                                          Full("stco", Table({1, 100})))}));
    ASSERT_EQ(eightBit.handler.Tracks().size(), 1u);
    EXPECT_FALSE(eightBit.handler.Tracks()[0]->swap16);
}

// ---- Fixtures against ffprobe ------------------------------------------------------------------

namespace {

// How our bytes differ from the file's by design.
enum class Rule { Same, Swap16, Swap24, FlipRgb24 };

Bytes FileBytes(const std::string& file, LONGLONG pos, int size)
{
    std::ifstream in(kFixtureDir + file, std::ios::binary);
    in.seekg(pos);
    Bytes bytes(static_cast<std::size_t>(size));
    in.read(reinterpret_cast<char*>(bytes.data()), size);
    return bytes;
}

Bytes Apply(Rule rule, Bytes bytes, int width)
{
    if (rule == Rule::Swap16)
        for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
            std::swap(bytes[i], bytes[i + 1]);
    if (rule == Rule::Swap24)
        for (std::size_t i = 0; i + 2 < bytes.size(); i += 3)
            std::swap(bytes[i], bytes[i + 2]);
    if (rule == Rule::FlipRgb24) {
        const std::size_t row = static_cast<std::size_t>(width) * 3;
        Bytes flipped;
        for (std::size_t r = bytes.size() / row; r-- > 0;)
            flipped.insert(flipped.end(), bytes.begin() + static_cast<std::ptrdiff_t>(r * row),
                           bytes.begin() + static_cast<std::ptrdiff_t>((r + 1) * row));
        for (std::size_t i = 0; i + 2 < flipped.size(); i += 3)
            std::swap(flipped[i], flipped[i + 2]);
        bytes = flipped;
    }
    return bytes;
}

std::uint32_t Adler(const Bytes& bytes) { return static_cast<std::uint32_t>(adler32(1, bytes.data(), static_cast<uInt>(bytes.size()))); }

// The stream index of a pin: its name carries the track ID, which ffmpeg numbers from 1.
int StreamOf(const std::string& pinName) { return std::stoi(pinName.substr(pinName.find('(') + 1)) - 1; }

// The preferred type's picture size or sound format against ffprobe's stream.
void ExpectTypeMatches(const CMediaType& type, const nlohmann::json& stream)
{
    if (stream["codec_type"] == "video") {
        const std::size_t at = *type.FormatType() == FORMAT_VideoInfo2 ? offsetof(VIDEOINFOHEADER2, bmiHeader)
                             : *type.FormatType() == FORMAT_MPEG2Video ? offsetof(MPEG2VIDEOINFO, hdr.bmiHeader)
                                                                       : offsetof(VIDEOINFOHEADER, bmiHeader);
        ASSERT_GE(type.FormatLength(), at + sizeof(BITMAPINFOHEADER));
        BITMAPINFOHEADER bitmap;
        std::memcpy(&bitmap, type.Format() + at, sizeof bitmap);
        EXPECT_EQ(bitmap.biWidth, stream["width"].get<int>());
        EXPECT_EQ(bitmap.biHeight, stream["height"].get<int>());
    } else {
        ASSERT_GE(type.FormatLength(), sizeof(WAVEFORMATEX) - 2);
        WAVEFORMATEX wave;
        std::memcpy(&wave, type.Format(), sizeof wave - 2);
        // AC-3 with a "dac3" leaves the channel count to the stream itself, and an AAC sample
        // entry may claim 2 channels where its configuration (which the decoder reads) has 1.
        if (*type.Subtype() != MEDIASUBTYPE_DolbyAc3 && *type.Subtype() != FourccGuid(0x00FF)) {
            EXPECT_EQ(wave.nChannels, stream["channels"].get<int>());
        }
        EXPECT_EQ(wave.nSamplesPerSec, static_cast<DWORD>(stream["sample_rate"].get<int>()));
    }
}

}  // namespace

// The tables list what ffprobe gives with edit lists ignored. Its default listing would start
// H.264 0.08 s earlier (the B-frame delay the edit list removes) and AAC, MP3 and AC-3 later by
// their priming; the filter applies no edit list, so each sample keeps its decode time plus its
// composition offset, which is what these tables hold, to the 100 ns.
TEST(Mp4Playback, EveryPinDeliversFfprobesPackets)
{
    struct Case {
        const char* file;
        const char* table;  // the original's table for files derived from it
        Rule rule = Rule::Same;
        int width = 0;
    };
    const Case cases[] = {
        {"h264-aac-moov-last.mp4", "h264-aac-moov-last"}, {"h264-aac-faststart.mp4", "h264-aac-faststart"},
        {"mpeg4-mp3.mp4", "mpeg4-mp3"},                    {"h264-ac3.mp4", "h264-ac3"},
        {"pasp-16x9.mp4", "pasp-16x9"},                    {"edit-empty.mp4", "edit-empty"},
        {"unmapped.mp4", "unmapped"},                      {"h263-aac.3gp", "h263-aac"},
        {"keys-4s.mp4", "keys-4s"},                        {"pcm-sowt.mov", "pcm-sowt"},
        {"pcm-raw.mov", "pcm-raw"},                        {"pcm-ulaw.mov", "pcm-ulaw"},
        {"pcm-twos.mov", "pcm-twos", Rule::Swap16},        {"ima4.mov", "ima4"},
        {"svq1-ima4.mov", "svq1-ima4"},                    {"mjpeg.mov", "mjpeg"},
        {"mjpa.mov", "mjpa"},                              {"qtrle.mov", "qtrle"},
        {"rpza.mov", "rpza"},                              {"cinepak.mov", "cinepak"},
        {"h263.mov", "h263"},                              {"raw-rgb24.mov", "raw-rgb24", Rule::FlipRgb24, 64},
        // Edited movie boxes play like the file they were made from.
        {"cmov-moov-last.mp4", "h264-aac-moov-last"},      {"cmov-moov-first.mp4", "h264-aac-faststart"},
        {"foov.mp4", "h264-aac-moov-last"},                {"co64.mp4", "h264-aac-moov-last"},
        {"m12.mp4", "h264-aac-faststart"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        std::map<int, std::string> kinds;
        const auto streams = LoadFrames("mp4/" + std::string(c.table), &kinds);
        const PlayResult played = vmx::test::PlayFixture("mp4/" + std::string(c.file), "mp4");
        ASSERT_TRUE(played.Succeeded()) << played.error;
        std::ifstream tableFile(kFixtureDir + "mp4/" + c.table + ".ffprobe.json");
        const nlohmann::json table = nlohmann::json::parse(tableFile);
        // Every audio and video stream ffprobe knows a codec for gets a pin, except the unmapped
        // ALAC and text tracks and the shorter of two video tracks.
        std::size_t expectedPins = 0;
        for (const auto& [index, kind] : kinds)
            expectedPins += kind == "video" || (kind == "audio" && std::string(c.file) != "unmapped.mp4");
        EXPECT_EQ(played.report.pins.size(), expectedPins);
        for (const PinReport& pin : played.report.pins) {
            SCOPED_TRACE(pin.name);
            // vmx info names every subtype and format type the filter offers.
            for (const CMediaType& type : pin.mediaTypes) {
                EXPECT_NE(SubtypeName(*type.Subtype()).front(), '{');
                EXPECT_NE(FormatTypeName(*type.FormatType()).front(), '{');
            }
            const std::vector<RefFrame>& frames = streams.at(StreamOf(pin.name));
            ASSERT_FALSE(pin.mediaTypes.empty());
            ExpectTypeMatches(pin.mediaTypes.front(), table["streams"][static_cast<std::size_t>(StreamOf(pin.name))]);
            const auto samples = SamplesOf(pin);
            ASSERT_EQ(samples.size(), frames.size());
            for (std::size_t k = 0; k < samples.size(); ++k) {
                const std::uint32_t expected = c.rule == Rule::Same
                    ? frames[k].adler32
                    : Adler(Apply(c.rule, FileBytes("mp4/" + std::string(c.file), frames[k].pos, frames[k].size), c.width));
                ASSERT_EQ(samples[k].length, frames[k].size) << k;
                ASSERT_EQ(samples[k].adler32, expected) << k;
                EXPECT_EQ(samples[k].start, frames[k].start) << k;
                // The first sample after a start is a sync point whatever the file says.
                EXPECT_EQ(samples[k].syncPoint, k == 0 || frames[k].key) << k;
            }
        }
    }
}

TEST(Mp4Playback, Pcm24ArrivesFrameByFrameInLittleEndianOrder)
{
    // Version-1 "in24" entries are read one packet (one frame) a unit; ffprobe cuts 1024 frames.
    const auto frames = LoadFrames("mp4/pcm-in24").at(0);
    const PlayResult played = vmx::test::PlayFixture("mp4/pcm-in24.mov", "mp4");
    ASSERT_TRUE(played.Succeeded()) << played.error;
    Bytes expected, delivered;
    for (const RefFrame& frame : frames)
    {
        const Bytes bytes = Apply(Rule::Swap24, FileBytes("mp4/pcm-in24.mov", frame.pos, frame.size), 0);
        expected.insert(expected.end(), bytes.begin(), bytes.end());
    }
    const auto samples = SamplesOf(played.report.pins.at(0));
    for (const SinkEvent& sample : samples)
        delivered.insert(delivered.end(), sample.bytes.begin(), sample.bytes.end());
    EXPECT_EQ(delivered, expected);
    ASSERT_EQ(samples.size(), expected.size() / 3);
    EXPECT_EQ(samples[16000 / 2].start, kSecond / 2);
}

// ---- Seeking, edited files, damage, the filter's interface -------------------------------------

namespace {

// A loaded MP4 source in a graph with every pin connected to a recording sink.
struct Session : vmx::test::PlaySession {
    explicit Session(const std::string& file) : PlaySession("mp4/" + file, "mp4") {}
};

// keys-4s, with video key frames decoded at 0, 1, 2 and 3 s (shown 0.08 s later), and its table.
struct KeysSession : Session {
    KeysSession() : Session("keys-4s.mp4"), streams(LoadFrames("mp4/keys-4s")), keys(KeyDecodeTimes(streams.at(0))) {}
    testing::AssertionResult Ready() const
    {
        if (!connected)
            return testing::AssertionFailure() << "not connected";
        if (keys.size() != 4)
            return testing::AssertionFailure() << keys.size() << " key frames";
        return testing::AssertionSuccess();
    }

    std::map<int, std::vector<RefFrame>> streams;
    std::vector<REFERENCE_TIME> keys;
};

}  // namespace

TEST(Mp4Seeking, KeyFramesOnTheSideTheSeekGoesAndAudioFollows)
{
    // A seek starts every pin at the key frame's decode time.
    KeysSession session;
    ASSERT_TRUE(session.Ready());
    const auto& [streams, keys] = std::tie(session.streams, session.keys);
    const REFERENCE_TIME target = keys[1] + kSecond / 2;

    // Nothing played: the graph stands before the target, so the seek goes forward, while paused.
    ASSERT_EQ(session.driver.Pause(), S_OK);
    ASSERT_EQ(session.Seek(0, target), S_OK);
    ASSERT_EQ(session.Seek(1, target), S_OK);
    LONGLONG reported[2] = {};
    session.driver.Seeking(1)->GetPositions(&reported[1], nullptr);
    EXPECT_EQ(reported[1], keys[2]);  // the second pin reports the key frame too
    ASSERT_EQ(session.driver.Run(), S_OK);
    ASSERT_TRUE(session.driver.WaitForEndOfStream(10000));
    // Video from the key frame on; audio from the unit whose span holds the key time.
    ExpectPinsRestartAtKeyFrame(session, streams, {keys[2], keys[2], true});
    // Played to the end: the same target now lies behind, so the seek snaps back, while running.
    ASSERT_EQ(session.Seek(0, target), S_OK);
    ASSERT_EQ(session.Seek(1, target), S_OK);
    ASSERT_TRUE(session.driver.WaitForEndOfStream(10000));
    ExpectPinsRestartAtKeyFrame(session, streams, {keys[1], keys[1], true});
    EXPECT_EQ(session.driver.Stop(), S_OK);
}

TEST(Mp4Seeking, AStoppedSeekKeepsTheTimeAskedForAndPrerollsFromTheKeyFrame)
{
    // keys-4s played to its end, then stopped: a seek to 1.5 s snaps back to the key frame at
    // 1 s, yet the pins start at 1.5 s and what lies before arrives with negative times, as
    // preroll. A seek past the last sample fails: S_FALSE, and -1 for the position.
    KeysSession session;
    ASSERT_TRUE(session.Ready());
    const auto& [streams, keys] = std::tie(session.streams, session.keys);
    ASSERT_EQ(session.driver.Run(), S_OK);
    ASSERT_TRUE(session.driver.WaitForEndOfStream(10000));
    ASSERT_EQ(session.driver.Stop(), S_OK);

    const REFERENCE_TIME target = keys[1] + kSecond / 2;
    for (size_t pin = 0; pin < 2; ++pin) {
        LONGLONG position = target;
        ASSERT_EQ(session.driver.Seeking(pin)->SetPositions(&position, AM_SEEKING_AbsolutePositioning | AM_SEEKING_SeekToKeyFrame,
                                                            nullptr, AM_SEEKING_NoPositioning), S_OK);
        EXPECT_EQ(position, target) << pin;
        LONGLONG reported = 0;
        session.driver.Seeking(pin)->GetPositions(&reported, nullptr);
        EXPECT_EQ(reported, target) << pin;
    }
    ASSERT_EQ(session.driver.Run(), S_OK);
    ASSERT_TRUE(session.driver.WaitForEndOfStream(10000));
    // Video from the key frame, audio from the unit that holds the key frame's time, what comes
    // before the time asked for as preroll.
    ExpectPinsRestartAtKeyFrame(session, streams, {keys[1], target, false, true});

    for (const bool running : {false, true}) {
        SCOPED_TRACE(running);
        if (running) {
            ASSERT_EQ(session.driver.Run(), S_OK);
        }
        LONGLONG past = 100 * kSecond + running;
        EXPECT_EQ(session.driver.Seeking(0)->SetPositions(&past, AM_SEEKING_AbsolutePositioning | AM_SEEKING_SeekToKeyFrame,
                                                           nullptr, AM_SEEKING_NoPositioning), S_FALSE);
        EXPECT_EQ(past, -1);
    }
    EXPECT_EQ(session.driver.Stop(), S_OK);
}

TEST(Mp4Files, CompressedHeadersLeaveNoTemporaryFile)
{
    ScopedTempDir temp;
    ScopedEnv tmpdir("TMPDIR", temp.path().string());
    for (const char* file : {"cmov-moov-last.mp4", "cmov-moov-first.mp4"}) {
        OpenedSource source = OpenSourceFile(kFixtureDir + "mp4/" + file, "mp4");
        EXPECT_TRUE(source) << source.error;
    }
    // A movie header that inflates to a movie without tracks: Load fails after the inflation.
    const Bytes inner = Box("moov", Full("mvhd", Cat({U32(0), U32(0), U32(1000), U32(0), Bytes(80, 0)})));
    Bytes packed(compressBound(static_cast<uLong>(inner.size())));
    uLongf packedSize = static_cast<uLongf>(packed.size());
    ASSERT_EQ(compress(packed.data(), &packedSize, inner.data(), static_cast<uLong>(inner.size())), Z_OK);
    packed.resize(packedSize);
    const Bytes cmov = Box("moov", Box("cmov", Cat({Box("dcom", {'z', 'l', 'i', 'b'}),
                                                    Box("cmvd", Cat({U32(static_cast<std::uint32_t>(inner.size())), packed}))})));
    OpenedBytes file(Cat({Box("ftyp", Cat({Bytes{'q', 't', ' ', ' '}, U32(0)})), cmov}));
    EXPECT_TRUE(file.opened);
    EXPECT_EQ(file.handler.Root().children.back()->type, Mp4Type("moov"));
    EXPECT_EQ(file.handler.Root().children[1]->type, Mp4Type("skip"));
    EXPECT_FALSE(OpenSourceFile(file.path, "mp4"));
    for (const auto& entry : std::filesystem::recursive_directory_iterator(temp.path()))
        EXPECT_FALSE(entry.path().filename().string().starts_with("zum")) << entry.path();
}

TEST(Mp4Files, DamagedFilesFailCleanlyOrPlayWhatTheyHold)
{
    struct Case {
        const char* file;
        bool loads;
        size_t minimumSamples;  // of the undamaged file's 138 (a fuzzer finding: all it has)
    };
    const Case cases[] = {
        {"damaged/zeroed-header.mp4", false, 0},   {"fragmented.mp4", false, 0},
        {"damaged/truncated-moov.mp4", true, 50},  {"damaged/stsz-count-huge.mp4", true, 88},
        {"damaged/garbage-mdat.mp4", true, 138},   {"damaged/stco-past-end.mp4", true, 137},
        {"damaged/truncated.mp4", true, 66},
        // Fuzzer findings: chunks claiming millions of samples past the end of the file, and
        // time scales whose rounding once walked the reader back into the slice it had left.
        {"../fuzz/mp4-samples-past-end.mp4", true, 94}, {"../fuzz/mp4-window-rounding.mp4", true, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const PlayResult played = vmx::test::PlayFixture(std::string("mp4/") + c.file, "mp4");
        if (!c.loads) {
            EXPECT_FALSE(played.Succeeded());
            EXPECT_NE(played.error.find("could not load"), std::string::npos) << played.error;
            continue;
        }
        ASSERT_TRUE(played.Succeeded()) << played.error;
        size_t samples = 0;
        for (const PinReport& pin : played.report.pins)
            samples += SamplesOf(pin).size();
        EXPECT_GE(samples, c.minimumSamples);
        EXPECT_LE(samples, std::max<size_t>(c.minimumSamples, 138));
    }
}

TEST(Mp4Filter, PinsByTrackIdTheLongerVideoAndIVmxMP4)
{
    // The second video track has half the chunks: only the first stays.
    OpenedSource source = OpenSourceFile(kFixtureDir + "mp4/two-video.mp4", "mp4");
    ASSERT_TRUE(source) << source.error;
    const PlayResult described = DescribeSource(source.filter.Get());
    ASSERT_EQ(described.report.pins.size(), 2u);
    EXPECT_EQ(described.report.pins[0].name, "Video (1)");
    EXPECT_EQ(described.report.pins[1].name, "Audio (3)");

    ComPtr<IVmxMP4> options;
    ASSERT_EQ(source.filter.QueryInterface(IID_IVmxMP4, &options), S_OK);
    EXPECT_EQ(options->SetNotify(nullptr), E_POINTER);
    EXPECT_EQ(options->SetNotify(options.Get()), S_OK);
    EXPECT_EQ(options->SetUserValue(0x1234), S_OK);
    DWORD value = 0;
    EXPECT_EQ(options->GetUserValue(&value), S_OK);
    EXPECT_EQ(value, 0x1234u);
    BOOL keyFrames = FALSE;
    EXPECT_EQ(options->GetSeekKeyFrame(&keyFrames), S_OK);
    EXPECT_TRUE(keyFrames);
    EXPECT_EQ(options->SetSeekKeyFrame(FALSE), S_OK);
    EXPECT_EQ(options->GetSeekKeyFrame(&keyFrames), S_OK);
    EXPECT_FALSE(keyFrames);
    // The whole file is there: every track's last chunk is reachable.
    LONGLONG available = 0;
    EXPECT_EQ(options->GetAvailableDuration(&available), S_OK);
    EXPECT_GT(available, kSecond);
    EXPECT_LE(available, described.report.duration.value_or(0));
}

TEST(Mp4Filter, VideoTracksAreThinnedOnePositionAtATime)
{
    // Each video track in turn is compared with the next one, and the one with fewer chunks goes
    // (the later on a tie); the scan then moves to the next position of the shortened list, so a
    // track that moved into the current position is not compared again.
    struct Case {
        std::vector<std::uint32_t> chunks;  // of tracks 1, 2, ...
        std::vector<std::string> pins;
    };
    const Case cases[] = {
        {{3, 3}, {"Video (1)"}},
        {{2, 3, 1}, {"Video (2)", "Video (3)"}},
        {{1, 2, 3, 4}, {"Video (2)", "Video (4)"}},
        {{3, 2, 1}, {"Video (1)", "Video (3)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.chunks));
        Bytes moov = Full("mvhd", Cat({U32(0), U32(0), U32(1000), U32(10000), Bytes(80, 0)}));
        for (std::uint32_t id = 1; id <= c.chunks.size(); ++id) {
            const std::uint32_t n = c.chunks[id - 1];
            Bytes stco = Cat({U32(0), U32(n)});
            for (std::uint32_t k = 0; k < n; ++k)
                stco = Cat({stco, U32(1000 + 100 * k)});
            moov = Cat({moov, Trak("vide", id, VideoEntry("jpeg"), {Full("stts", Table({1, n, 1000})), Full("stsc", Table({1, 1, 1, 1})),
                                                                    Full("stsz", Table({100, n})), Box("stco", stco)})});
        }
        ScopedTempDir dir;
        const std::string path = dir.file("video-tracks.mp4");
        const Bytes bytes = Cat({Box("ftyp", Cat({Bytes{'i', 's', 'o', 'm'}, U32(0)})), Box("moov", moov)});
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        OpenedSource source = OpenSourceFile(path, "mp4");
        ASSERT_TRUE(source) << source.error;
        std::vector<std::string> names;
        for (const PinReport& pin : DescribeSource(source.filter.Get()).report.pins)
            names.push_back(pin.name);
        EXPECT_EQ(names, c.pins);
    }
}

// Seeks and Stop from the application thread against the reader and the pins' workers.
TEST(Mp4Threads, SeekStormsAndStopsFinishPromptly)
{
    const auto frames = LoadFrames("mp4/keys-4s");
    {
        Session session("keys-4s.mp4");
        ASSERT_NO_FATAL_FAILURE(vmx::test::SeekStormThenRestart(session, 2, 40000000));
        // After the storm every packet from the start arrives once more, in order.
        for (size_t pin = 0; pin < 2; ++pin)
            EXPECT_EQ(session.LastSegment(pin).size(), frames.at(static_cast<int>(pin)).size()) << pin;
        vmx::test::ExpectPromptStop(session);
    }
    vmx::test::ExpectStopWhileASinkHolds("mp4/keys-4s.mp4", "mp4");
}
