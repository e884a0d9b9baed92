// MP4 with the module's extensions on: the extension codecs' configuration records, movie
// fragments and the random-access table on bytes built here, the edit-list rule, and the
// fixtures played against ffprobe's packet tables made with edit lists applied (per pin the same
// units, bytes, times and key flags, and the configuration record ffprobe reports); seeks through
// fragments and edited tracks; damaged fragments. With the switch off the same files give what
// the classic reading gives.
#include <gtest/gtest.h>

#include <zlib.h>

#include <fstream>

#include "demux/mp4/mp4_codec_boxes.h"
#include "demux/mp4/mp4_edits.h"
#include "demux/mp4/mp4_fragments.h"
#include "demux/mp4/mp4_read_handler.h"
#include "framework/extensions.h"
#include "framework/format_blocks.h"
#include "framework/module_subtypes.h"
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

std::uint32_t Adler(std::span<const BYTE> bytes) { return static_cast<std::uint32_t>(adler32(1, bytes.data(), static_cast<uInt>(bytes.size()))); }
std::uint32_t HashOf(const nlohmann::json& stream)
{
    const std::string hash = stream.value("extradata_hash", std::string("adler32:0"));
    return static_cast<std::uint32_t>(std::stoul(hash.substr(hash.find(':') + 1), nullptr, 16));
}

int StreamOf(const std::string& pinName) { return std::stoi(pinName.substr(pinName.find('(') + 1)) - 1; }

}  // namespace

// ---- Records on bytes --------------------------------------------------------------------------

TEST(Mp4ExtensionRecords, DamagedConfigurationsAreRefused)
{
    const Bytes streamInfo = Cat({U16(4096), U16(4096), Bytes(6, 0), Bytes{0x0B, 0xB8, 0x02, 0xF0}, Bytes(4, 0), Bytes(16, 0)});
    struct Case {
        const char* name;
        std::uint32_t type;
        Bytes payload;
        bool decodes;
    };
    const Bytes hvcHead = Cat({Bytes{1, 0x01}, Bytes(10, 0), Bytes{93}, Bytes(8, 0)});
    const Case cases[] = {
        {"hvcC, one VPS of 2 bytes", Mp4Type("hvcC"), Cat({hvcHead, Bytes{0xFF, 1, 0x20, 0, 1, 0, 2, 0x40, 0x01}}), true},
        {"hvcC, a NAL unit past the record", Mp4Type("hvcC"), Cat({hvcHead, Bytes{0xFF, 1, 0x20, 0, 1, 0, 9, 0x40}}), false},
        {"hvcC, 3-byte lengths", Mp4Type("hvcC"), Cat({hvcHead, Bytes{0xFE, 0}}), false},
        {"hvcC, version 0", Mp4Type("hvcC"), Cat({Bytes{0}, Bytes(21, 0), Bytes{0xFF, 0}}), false},
        {"av1C", Mp4Type("av1C"), Bytes{0x81, 0x04, 0x0C, 0x00}, true},
        {"av1C without its marker", Mp4Type("av1C"), Bytes{0x01, 0x04, 0x0C, 0x00}, false},
        {"vpcC version 1", Mp4Type("vpcC"), Cat({U32(0x01000000), Bytes{0, 10, 0x80, 2, 2, 2}, U16(0)}), true},
        {"vpcC init data past the end", Mp4Type("vpcC"), Cat({U32(0x01000000), Bytes{0, 10, 0x80, 2, 2, 2}, U16(4)}), false},
        {"vpcC version 0", Mp4Type("vpcC"), Cat({U32(0), Bytes{0, 10, 0x80, 2, 2, 2}, U16(0)}), false},
        {"dOps without channels", Mp4Type("dOps"), Cat({Bytes{0, 0}, U16(312), U32(48000), U16(0), Bytes{0}}), false},
        {"dOps, mapping table cut", Mp4Type("dOps"), Cat({Bytes{0, 3}, U16(312), U32(48000), U16(0), Bytes{1, 2, 1, 0}}), false},
        {"dfLa", Mp4Type("dfLa"), Cat({U32(0), Bytes{0x80, 0, 0, 34}, streamInfo}), true},
        {"dfLa, a block past the box", Mp4Type("dfLa"), Cat({U32(0), Bytes{0x80, 0, 0, 35}, streamInfo}), false},
        {"dfLa not opening with STREAMINFO", Mp4Type("dfLa"), Cat({U32(0), Bytes{0x84, 0, 0, 34}, streamInfo}), false},
        {"dec3 cut short", Mp4Type("dec3"), Bytes{0x0C, 0x00, 0x20}, false},
        {"alac cut short", Mp4Type("alac"), Cat({U32(0), Bytes(20, 1)}), false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DecodeExtensionRecord(c.type, c.payload) != nullptr, c.decodes) << c.name;
}

TEST(Mp4ExtensionRecords, OpusAndFlacHeadersTakeTheFormDecodersRead)
{
    // dOps is big-endian with no magic; decoders take the little-endian OpusHead of Ogg.
    Mp4DOps dOps;
    ASSERT_TRUE(dOps.Parse(Cat({Bytes{0, 3}, U16(312), U32(44100), U16(0xFF00), Bytes{1, 2, 1, 0, 2, 1}})));
    const Bytes head = {'O', 'p', 'u', 's', 'H', 'e', 'a', 'd', 1, 3, 0x38, 0x01, 0x44, 0xAC, 0, 0, 0x00, 0xFF, 1, 2, 1, 0, 2, 1};
    EXPECT_EQ(dOps.head, head);
    // dfLa's blocks behind "fLaC", as a FLAC stream begins; STREAMINFO's 48 kHz, stereo, 16 bits.
    const Bytes streamInfo = Cat({U16(4096), U16(4096), Bytes(6, 0), Bytes{0x0B, 0xB8, 0x02, 0xF0}, Bytes(4, 0), Bytes(16, 0)});
    Mp4DfLa dfLa;
    ASSERT_TRUE(dfLa.Parse(Cat({U32(0), Bytes{0x00, 0, 0, 34}, streamInfo, Bytes{0x81, 0, 0, 2, 7, 7}})));
    EXPECT_EQ(dfLa.sampleRate, 48000u);
    EXPECT_EQ(dfLa.channels, 2);
    EXPECT_EQ(dfLa.bitsPerSample, 16);
    EXPECT_EQ(dfLa.header, Cat({Bytes{'f', 'L', 'a', 'C', 0x00, 0, 0, 34}, streamInfo, Bytes{0x81, 0, 0, 2, 7, 7}}));
}

TEST(Mp4Edits, FirstMediaEditShiftsAndEmptyEditsDelay)
{
    struct Case {
        const char* name;
        std::vector<Mp4Elst::Entry> edits;
        std::uint64_t movieScale, trackScale;
        std::int64_t shift;
    };
    const Case cases[] = {
        {"B-frame delay", {{2000, 1024}}, 1000, 12800, -1024},
        {"1 s empty, then priming", {{1000, -1}, {2000, 1024}}, 1000, 12800, 12800 - 1024},
        {"two empty edits add up", {{500, -1}, {250, -1}, {100, 0}}, 1000, 44100, 33075},
        {"empty edit rounded to the nearest tick", {{1, -1}, {10, 0}}, 600, 44100, 74},
        {"later edits are not followed", {{100, 50}, {100, 900}}, 1000, 1000, -50},
        {"only an empty edit", {{1000, -1}}, 1000, 1000, 0},
        {"an undefined negative media time starts at 0", {{1000, -7}}, 1000, 1000, 0},
        {"a movie scale of 0", {{1000, -1}, {10, 5}}, 0, 1000, 0},
    };
    for (const Case& c : cases) {
        Mp4Elst elst;
        elst.entries = c.edits;
        EXPECT_EQ(EditShiftTicks(elst, c.movieScale, c.trackScale), c.shift) << c.name;
    }
}

// ---- Fragments on bytes ------------------------------------------------------------------------

namespace {

// A movie of one video track (ID 1, 8 kHz ticks) with empty tables and a trex: description 1,
// 100 ticks, 10 bytes, not sync.
Bytes EmptyMovie()
{
    const Bytes tkhd = Full("tkhd", 1, Cat({U32(0), U32(0), U32(1), U32(0), U32(0), Bytes(16, 0),
                                           U32(0x10000), Bytes(12, 0), U32(0x10000), Bytes(12, 0), U32(0x40000000), U32(16 << 16), U32(16 << 16)}));
    const Bytes mdhd = Full("mdhd", 0, Cat({U32(0), U32(0), U32(8000), U32(0), U16(0x55C4), U16(0)}));
    const Bytes hdlr = Full("hdlr", 0, Cat({U32(0), Bytes{'v', 'i', 'd', 'e'}, Bytes(12, 0), Bytes{0}}));
    const Bytes entry = Box("jpeg", Cat({Bytes(6, 0), U16(1), U16(0), U16(0), U32(0), U32(0), U32(0), U16(16), U16(16), U32(0x480000),
                                         U32(0x480000), U32(0), U16(1), Bytes(32, 0), U16(24), U16(0xFFFF)}));
    const Bytes stbl = Box("stbl", Cat({Full("stsd", 0, Cat({U32(1), entry})), Full("stts", 0, U32(0)), Full("stsc", 0, U32(0)),
                                        Full("stsz", 0, Cat({U32(0), U32(0)})), Full("stco", 0, U32(0))}));
    const Bytes minf = Box("minf", Cat({Full("vmhd", 0, Bytes(8, 0)), stbl}));
    const Bytes trak = Box("trak", Cat({tkhd, Box("mdia", Cat({mdhd, hdlr, minf}))}));
    const Bytes mvex = Box("mvex", Full("trex", 0, Cat({U32(1), U32(1), U32(100), U32(10), U32(kMp4SampleNotSync)})));
    return Cat({Box("ftyp", Cat({Bytes{'i', 's', 'o', '6'}, U32(0)})),
                Box("moov", Cat({Full("mvhd", 0, Cat({U32(0), U32(0), U32(1000), U32(0), Bytes(80, 0)})), trak, mvex}))});
}

struct OpenedFragments {
    explicit OpenedFragments(const Bytes& bytes) : path(dir.file("fragments.mp4"))
    {
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        opened = handler.Open(WideFromUtf8(path).c_str(), true);
    }
    ScopedTempDir dir;
    std::string path;
    KMp4ReadHandler handler;
    bool opened = false;
};

}  // namespace

TEST(Mp4Fragments, TrunsTakeTheirDefaultsAndTheRandomAccessTableDecidesSeeks)
{
    // Fragment 1: default-base-is-moof, tfdt 5000, data offset, first-sample flags 0 (sync), three
    // sizes of its own; durations and the other flags from trex. Fragment 2: no tfdt (its times
    // follow on), a tfhd duration of 200, two samples that take every other default.
    const Bytes movie = EmptyMovie();
    const auto moof = [](const Bytes& traf) { return Box("moof", Cat({Full("mfhd", 0, U32(1)), Box("traf", traf)})); };
    const Bytes traf1Head = Cat({Full("tfhd", Mp4Tfhd::kBaseIsMoof, U32(1)), Full("tfdt", 0x01000000, Cat({U32(0), U32(5000)}))});
    const std::uint32_t trun1Flags = Mp4Trun::kDataOffset | Mp4Trun::kFirstFlags | Mp4Trun::kSize;
    const std::size_t moof1Size = moof(Cat({traf1Head, Full("trun", trun1Flags, Bytes(4 * 6, 0))})).size();
    const Bytes moof1 = moof(Cat({traf1Head, Full("trun", trun1Flags, Cat({U32(3), U32(static_cast<std::uint32_t>(moof1Size + 8)), U32(0),
                                                                            U32(10), U32(20), U32(30)}))}));
    const Bytes mdat1 = Box("mdat", Bytes(60, 1));
    const Bytes traf2Head = Full("tfhd", Mp4Tfhd::kBaseIsMoof | Mp4Tfhd::kDuration, Cat({U32(1), U32(200)}));
    const std::size_t moof2Size = moof(Cat({traf2Head, Full("trun", Mp4Trun::kDataOffset, Bytes(8, 0))})).size();
    const Bytes moof2 = moof(Cat({traf2Head, Full("trun", Mp4Trun::kDataOffset, Cat({U32(2), U32(static_cast<std::uint32_t>(moof2Size + 8))}))}));
    const Bytes mdat2 = Box("mdat", Bytes(20, 2));
    const std::uint32_t moof2At = static_cast<std::uint32_t>(movie.size() + moof1.size() + mdat1.size());
    // tfra: 32-bit times and offsets, one byte for each number; sample 2 of fragment 2's trun.
    const Bytes mfra = Box("mfra", Full("tfra", 0, Cat({U32(1), U32(0), U32(1), U32(5500), U32(moof2At), Bytes{1, 1, 2}})));
    const Bytes body = Cat({movie, moof1, mdat1, moof2, mdat2});

    for (const bool withMfra : {true, false}) {
        SCOPED_TRACE(withMfra);
        OpenedFragments file(withMfra ? Cat({body, mfra}) : body);
        ASSERT_TRUE(file.opened);
        ASSERT_EQ(file.handler.Tracks().size(), 1u);
        Mp4Track& track = *file.handler.Tracks()[0];
        ASSERT_EQ(track.sampleCount, 5u);
        struct Unit {
            std::uint64_t offset;
            std::uint32_t size;
            REFERENCE_TIME time;
            bool sync;
            bool operator==(const Unit&) const = default;
        };
        std::vector<Unit> units;
        do {
            bool sync = false;
            const std::uint32_t size = track.CurrentSize();
            const REFERENCE_TIME time = track.CurrentTime(&sync);
            units.push_back({track.CurrentOffset(), size, time, sync});
        } while (track.Advance());
        const std::uint64_t data1 = movie.size() + moof1.size() + 8, data2 = moof2At + moof2.size() + 8;
        const std::vector<Unit> expected = {
            {data1, 10, 5000 * kSecond / 8000, true},       {data1 + 10, 20, 5100 * kSecond / 8000, false},
            {data1 + 30, 30, 5200 * kSecond / 8000, false}, {data2, 10, 5300 * kSecond / 8000, false},
            {data2 + 10, 10, 5500 * kSecond / 8000, false},
        };
        EXPECT_EQ(units, expected);
        // The movie box says no duration: the fragments' decode times do.
        EXPECT_EQ(file.handler.MovieDuration(), 5700u * 1000 / 8000);
        // Wherever a seek aims, it lands on the sample tfra names; without it, on the sync sample.
        ASSERT_TRUE(track.Seek(5000 * kSecond / 8000, false));
        EXPECT_EQ(track.currentSample, withMfra ? 4u : 0u);
        ASSERT_TRUE(track.Seek(5500 * kSecond / 8000, true));
        EXPECT_EQ(track.currentSample, withMfra ? 4u : 0u);
    }
}

// ---- Fixtures against ffprobe ------------------------------------------------------------------

namespace {

GUID SubtypeOf(const std::string& codec)
{
    if (codec == "hevc") return MEDIASUBTYPE_HEVC;
    if (codec == "av1") return MEDIASUBTYPE_AV01;
    if (codec == "vp9") return MEDIASUBTYPE_VP90;
    if (codec == "opus") return MEDIASUBTYPE_Opus;
    if (codec == "flac") return MEDIASUBTYPE_Flac;
    if (codec == "eac3") return MEDIASUBTYPE_DolbyDigitalPlus;
    if (codec == "alac") return MEDIASUBTYPE_Alac;
    if (codec == "h264") return FourccGuid(MakeFourcc('A', 'V', 'C', '1'));
    if (codec == "aac") return FourccGuid(0x00FF);
    return GUID_NULL;
}

// The preferred type against ffprobe's stream: subtype, size or sound format, and the
// configuration record where ffprobe reports the same bytes.
void ExpectExtensionType(const CMediaType& type, const nlohmann::json& stream)
{
    const std::string codec = stream["codec_name"];
    EXPECT_EQ(*type.Subtype(), SubtypeOf(codec)) << codec;
    EXPECT_NE(SubtypeName(*type.Subtype()).front(), '{');
    if (stream["codec_type"] == "video") {
        ASSERT_EQ(*type.FormatType(), FORMAT_MPEG2Video);
        ASSERT_GE(type.FormatLength(), kMpeg2VideoInfoHeaderSize);
        const auto info = GetRecord<MPEG2VIDEOINFO>(type.Format(), 0);
        EXPECT_EQ(info.hdr.bmiHeader.biWidth, stream["width"].get<int>());
        EXPECT_EQ(info.hdr.bmiHeader.biHeight, stream["height"].get<int>());
        EXPECT_EQ(info.hdr.AvgTimePerFrame, kSecond / 25);
        ASSERT_GE(type.FormatLength(), kMpeg2VideoInfoHeaderSize + info.cbSequenceHeader);
        const std::span<const BYTE> record(type.Format() + kMpeg2VideoInfoHeaderSize, info.cbSequenceHeader);
        // hvcC and av1C are ffmpeg's extradata byte for byte; AVC1 carries its parameter sets.
        if (codec == "hevc" || codec == "av1") {
            EXPECT_EQ(record.size(), stream["extradata_size"].get<std::size_t>());
            EXPECT_EQ(Adler(record), HashOf(stream));
        }
        if (codec == "hevc") {
            EXPECT_EQ(info.dwFlags, 4u);
        }
        return;
    }
    ASSERT_EQ(*type.FormatType(), FORMAT_WaveFormatEx);
    const auto wave = GetRecord<WAVEFORMATEX>(type.Format(), 0);
    EXPECT_EQ(wave.nChannels, stream["channels"].get<int>());
    EXPECT_EQ(wave.nSamplesPerSec, static_cast<DWORD>(stream["sample_rate"].get<int>()));
    ASSERT_EQ(type.FormatLength(), sizeof(WAVEFORMATEX) + wave.cbSize);
    const std::span<const BYTE> extra(type.Format() + sizeof(WAVEFORMATEX), wave.cbSize);
    // OpusHead is ffmpeg's extradata; its FLAC extradata is STREAMINFO alone, which follows "fLaC"
    // and the block header here; its ALAC extradata is the whole "alac" box around the cookie.
    if (codec == "opus") {
        EXPECT_EQ(Adler(extra), HashOf(stream));
    }
    if (codec == "flac") {
        ASSERT_GE(extra.size(), 8u + 34u);
        EXPECT_EQ(Adler(extra.subspan(8, 34)), HashOf(stream));
    }
    if (codec == "alac") {
        EXPECT_EQ(extra.size(), stream["extradata_size"].get<std::size_t>() - 12);
    }
}

}  // namespace

TEST(Mp4ExtensionPlayback, EveryPinDeliversFfprobesPacketsWithEditsApplied)
{
    // Tables of ffprobe's default reading: the first edit's media time comes off every time (AAC,
    // Opus and E-AC-3 priming start before 0, as preroll; the B-frame delay is gone) and an empty
    // edit delays its track.
    ScopedExtensions on(true);
    for (const char* file : {"hevc-flac.mp4", "hev1.mp4", "av1-opus.mp4", "vp9-opus.mp4", "h264-eac3.mp4", "alac.m4a",
                             "fragmented.mp4", "fragmented-no-mfra.mp4", "fragmented-moov-samples.mp4",
                             "h264-aac-moov-last.mp4", "edit-empty.mp4"}) {
        SCOPED_TRACE(file);
        const std::string name = std::string(file).substr(0, std::string(file).rfind('.'));
        std::map<int, std::string> kinds;
        const auto streams = LoadFrames("mp4/" + name + ".edits", &kinds);
        const nlohmann::json table = vmx::test::LoadTable("mp4/" + name + ".edits");
        const PlayResult played = vmx::test::PlayFixture("mp4/" + std::string(file), "mp4");
        ASSERT_TRUE(played.Succeeded()) << played.error;
        EXPECT_EQ(played.report.pins.size(), kinds.size());
        for (const PinReport& pin : played.report.pins) {
            SCOPED_TRACE(pin.name);
            const std::size_t stream = static_cast<std::size_t>(StreamOf(pin.name));
            ASSERT_FALSE(pin.mediaTypes.empty());
            ExpectExtensionType(pin.mediaTypes.front(), table["streams"][stream]);
            const std::vector<RefFrame>& frames = streams.at(static_cast<int>(stream));
            const auto samples = SamplesOf(pin);
            ASSERT_EQ(samples.size(), frames.size());
            for (std::size_t k = 0; k < samples.size(); ++k) {
                ASSERT_EQ(samples[k].length, frames[k].size) << k;
                ASSERT_EQ(samples[k].adler32, frames[k].adler32) << k;
                EXPECT_EQ(samples[k].start, frames[k].start) << k;
                EXPECT_EQ(samples[k].syncPoint, k == 0 || frames[k].key) << k;
            }
        }
    }
}

TEST(Mp4ExtensionPlayback, SeeksLandOnKeyFramesThroughFragmentsAndEdits)
{
    // A seek forward to half a second past the second key frame lands on the third (fragmented
    // files: on the second, their last), at its decode time after the edit rule; the audio
    // restarts with the unit that holds that time.
    ScopedExtensions on(true);
    struct Case {
        const char* file;
        const char* table;
    };
    for (const Case& c : {Case{"fragmented.mp4", "fragmented.edits"}, Case{"fragmented-no-mfra.mp4", "fragmented-no-mfra.edits"},
                          Case{"keys-4s.mp4", "keys-4s.edits"}}) {
        SCOPED_TRACE(c.file);
        const auto streams = LoadFrames(std::string("mp4/") + c.table);
        const std::vector<REFERENCE_TIME> keys = KeyDecodeTimes(streams.at(0));
        ASSERT_GE(keys.size(), 2u);
        const REFERENCE_TIME key = keys.size() > 2 ? keys[2] : keys[1];
        vmx::test::PlaySession session(std::string("mp4/") + c.file, "mp4");
        ASSERT_TRUE(session.connected);
        ASSERT_EQ(session.driver.Pause(), S_OK);
        ASSERT_TRUE(session.SeekAndPlayToTheEnd(2, keys[1] + kSecond / 2));
        ExpectPinsRestartAtKeyFrame(session, streams, {key, key});
        EXPECT_EQ(session.driver.Stop(), S_OK);
    }
    // A seek to 0 of an edited file: the first key frame decodes at -0.08 s, yet the seek
    // succeeds at 0 and every unit plays again, the AAC priming first, as preroll.
    const auto streams = LoadFrames("mp4/h264-aac-moov-last.edits");
    vmx::test::PlaySession session("mp4/h264-aac-moov-last.mp4", "mp4");
    ASSERT_TRUE(session.connected);
    ASSERT_EQ(session.driver.Pause(), S_OK);
    ASSERT_TRUE(session.SeekAndPlayToTheEnd(2, 0));
    for (std::size_t pin = 0; pin < 2; ++pin) {
        REFERENCE_TIME segment = -1;
        const auto samples = session.LastSegment(pin, &segment);
        EXPECT_EQ(segment, 0) << pin;
        ASSERT_EQ(samples.size(), streams.at(static_cast<int>(pin)).size()) << pin;
        EXPECT_EQ(samples.front().preroll, pin == 1) << pin;
    }
    EXPECT_EQ(session.driver.Stop(), S_OK);
}

TEST(Mp4ExtensionPlayback, DamagedFragmentsPlayWhatTheyHold)
{
    // Expected counts come from the undamaged file's table: the samples whose bytes the cut file
    // still holds; all of them when a trun claims more samples than it lists; all but the first
    // fragment's video (the frames before the second key frame) when its traf names a track the
    // movie lacks.
    ScopedExtensions on(true);
    const auto streams = LoadFrames("mp4/fragmented.edits");
    std::size_t total = 0, firstFragmentVideo = 0;
    for (const auto& [index, frames] : streams)
        total += frames.size();
    for (std::size_t k = 1; k < streams.at(0).size() && !streams.at(0)[k].key; ++k)
        firstFragmentVideo = k + 1;
    const auto heldIn = [&streams](const std::string& file) {
        const auto size = static_cast<long long>(vmx::test::FixtureBytes(file).size());
        std::size_t held = 0;
        for (const auto& [index, frames] : streams)
            held += static_cast<std::size_t>(std::count_if(frames.begin(), frames.end(),
                                                           [size](const RefFrame& f) { return f.pos + f.size <= size; }));
        return held;
    };
    struct Case {
        const char* file;
        std::size_t samples;
    };
    const Case cases[] = {
        {"damaged/fragmented-truncated.mp4", heldIn("mp4/damaged/fragmented-truncated.mp4")},
        {"damaged/trun-count-huge.mp4", total},
        {"damaged/tfhd-unknown-track.mp4", total - firstFragmentVideo},
    };
    ASSERT_EQ(firstFragmentVideo, 25u);
    ASSERT_LT(cases[0].samples, total);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const PlayResult played = vmx::test::PlayFixture(std::string("mp4/") + c.file, "mp4");
        ASSERT_TRUE(played.Succeeded()) << played.error;
        std::size_t samples = 0;
        for (const PinReport& pin : played.report.pins)
            samples += SamplesOf(pin).size();
        EXPECT_EQ(samples, c.samples);
    }
}

// ---- The switch off ----------------------------------------------------------------------------

TEST(Mp4ExtensionsOff, TheNewFixturesGiveWhatTheClassicReadingGives)
{
    ScopedExtensions off(false);
    // No track the classic reading plays: the file is refused, as before.
    for (const char* file : {"hevc-flac.mp4", "hev1.mp4", "av1-opus.mp4", "vp9-opus.mp4", "alac.m4a", "fragmented.mp4",
                             "fragmented-no-mfra.mp4", "damaged/fragmented-truncated.mp4", "damaged/trun-count-huge.mp4",
                             "damaged/tfhd-unknown-track.mp4"}) {
        const PlayResult played = vmx::test::PlayFixture(std::string("mp4/") + file, "mp4");
        EXPECT_FALSE(played.Succeeded()) << file;
        EXPECT_NE(played.error.find("could not load"), std::string::npos) << file << ": " << played.error;
    }
    // H.264 without its E-AC-3, and the moov's samples alone of a file with fragments after it,
    // at the times of a reading that ignores edit lists (the classic tables).
    for (const char* name : {"h264-eac3", "fragmented-moov-samples"}) {
        SCOPED_TRACE(name);
        const auto streams = LoadFrames(std::string("mp4/") + name);
        const nlohmann::json table = vmx::test::LoadTable(std::string("mp4/") + name);
        const PlayResult played = vmx::test::PlayFixture(std::string("mp4/") + name + ".mp4", "mp4");
        ASSERT_TRUE(played.Succeeded()) << played.error;
        ASSERT_EQ(played.report.pins.size(), std::string(name) == "h264-eac3" ? 1u : 2u);
        for (const PinReport& pin : played.report.pins) {
            SCOPED_TRACE(pin.name);
            const int stream = StreamOf(pin.name);
            const auto samples = SamplesOf(pin);
            ASSERT_EQ(samples.size(), table["streams"][static_cast<std::size_t>(stream)]["nb_frames"].get<std::size_t>());
            const std::vector<RefFrame>& frames = streams.at(stream);
            for (std::size_t k = 0; k < samples.size(); ++k) {
                ASSERT_EQ(samples[k].adler32, frames[k].adler32) << k;
                EXPECT_EQ(samples[k].start, frames[k].start) << k;
            }
        }
    }
}

TEST(Mp4ExtensionsOff, VmxInfoNamesEveryNewSubtype)
{
    EXPECT_EQ(SubtypeName(MEDIASUBTYPE_HEVC), "HEVC");
    EXPECT_EQ(SubtypeName(MEDIASUBTYPE_AV01), "AV01");
    EXPECT_EQ(SubtypeName(MEDIASUBTYPE_VP90), "VP90");
    EXPECT_EQ(SubtypeName(MEDIASUBTYPE_Opus), "Opus (0x704F)");
    EXPECT_EQ(SubtypeName(MEDIASUBTYPE_Flac), "FLAC (0xF1AC)");
    EXPECT_EQ(SubtypeName(MEDIASUBTYPE_Alac), "ALAC (0x6C61)");
    EXPECT_EQ(SubtypeName(MEDIASUBTYPE_DolbyDigitalPlus), "Dolby Digital Plus");
}
