// The FLV reader on bytes written here: metadata values, the bytes in front of each codec's
// payload, the format probes, and tag walking over sizes that lie.
#include <gtest/gtest.h>

#include <bit>
#include <filesystem>
#include <fstream>

#include "demux/flv/flv_reader.h"
#include "io/wide_text.h"
#include "tests/bit_writer.h"
#include "tests/byte_writer.h"

namespace {

class Bytes : public vmx::test::ByteWriter<Bytes, vmx::test::ByteOrder::Big> {
public:
    Bytes& Text(std::string_view s) { return U16(s.size()).Raw(std::vector<std::uint8_t>(s.begin(), s.end())); }
    Bytes& Number(double d) { return U8(0).Put(std::bit_cast<std::uint64_t>(d), 8); }
    Bytes& ObjectEnd() { return U16(0).U8(9); }
};

// A file of tags: each call appends one tag with the previous tag's size in front.
class FlvWriter {
public:
    FlvWriter() { bytes.Raw({'F', 'L', 'V', 1, 5}).U32(9); }
    FlvWriter& Tag(std::uint8_t type, std::uint32_t ms, const std::vector<std::uint8_t>& data, std::int64_t sizeOverride = -1)
    {
        tagStarts.push_back(bytes.data.size());
        bytes.U32(previous).U8(type).U24(sizeOverride >= 0 ? sizeOverride : data.size()).U24(ms & 0xFFFFFF).U8(ms >> 24).U24(0).Raw(data);
        previous = static_cast<std::uint32_t>(11 + data.size());
        return *this;
    }
    FlvWriter& End() { bytes.U32(previous); return *this; }
    std::string Save(const char* name) const
    {
        const auto path = std::filesystem::temp_directory_path() / name;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data.data()), bytes.data.size());
        return path.string();
    }
    Bytes bytes;
    std::vector<size_t> tagStarts;
    std::uint32_t previous = 0;
};

std::vector<std::uint8_t> Mp3Tag(std::uint8_t fill, size_t size = 40)
{
    std::vector<std::uint8_t> data(size, fill);
    data[0] = 0x2F;  // MP3, 44.1 kHz, 16 bits, stereo
    return data;
}

// A Sorenson key frame (or inter frame) of 176 x 144.
std::vector<std::uint8_t> SorensonTag(bool key, size_t size = 60)
{
    vmx::test::BitWriter picture;
    picture.U(17, 1);
    picture.U(5, 0);
    picture.U(8, 0);
    picture.U(3, 3);
    std::vector<std::uint8_t> data{static_cast<std::uint8_t>(key ? 0x12 : 0x22)};
    for (std::uint8_t b : picture.Bytes())
        data.push_back(b);
    data.resize(size, 0x55);
    return data;
}

bool Open(KFlvReader& reader, const std::string& path) { return reader.Open(WideFromUtf8(path).c_str()); }

}  // namespace

TEST(FlvMetadata, ReadsTheObjectsPropertiesAndKeyframeTable)
{
    Bytes script;
    script.U8(2).Text("onMetaData").U8(8).U32(9);
    script.Text("duration").Number(12.3456);
    script.Text("framerate").Number(25);
    script.Text("videodatarate").Number(390.625);
    script.Text("stereo").U8(1).U8(1);
    script.Text("encoder").U8(2).Text("x");
    script.Text("comment").U8(12).U32(3).Raw({'a', 'b', 'c'});
    script.Text("created").U8(11).U32(0).U32(0).U16(0);  // a date: a double and a 16-bit zone
    script.Text("nothing").U8(5);
    script.Text("nested").U8(3).Text("inner").U8(3).Text("width").Number(999).ObjectEnd().ObjectEnd();
    script.Text("keyframes").U8(3);
    script.Text("times").U8(10).U32(3).Number(0).Number(2).Number(4);
    script.Text("filepositions").U8(10).U32(3).Number(100).Number(2000).Number(4000).ObjectEnd();
    script.Text("width").Number(320).Text("height").Number(240);
    script.ObjectEnd();

    FlvMetadata metadata;
    ASSERT_TRUE(metadata.Parse(script.data));
    EXPECT_EQ(metadata.durationMs, 12345);
    EXPECT_EQ(metadata.framerate, 25);
    EXPECT_EQ(metadata.videodatarate, 390.625);
    EXPECT_TRUE(metadata.stereo);
    EXPECT_EQ(metadata.width, 320);  // the nested object's width is not the file's
    EXPECT_EQ(metadata.height, 240);
    EXPECT_EQ(metadata.keyframeTimes, (std::vector<double>{0, 2, 4}));
    EXPECT_EQ(metadata.keyframePositions, (std::vector<double>{100, 2000, 4000}));

    // Cut short, or a value of an unknown kind: what was read before stays.
    for (size_t cut : {script.data.size() - 30, size_t{60}}) {
        FlvMetadata partial;
        EXPECT_TRUE(partial.Parse(std::span(script.data).first(cut)));
        EXPECT_EQ(partial.durationMs, 12345);
    }
    Bytes unknown;
    unknown.U8(2).Text("onMetaData").U8(3).Text("duration").Number(5).Text("odd").U8(0x42).Text("width").Number(1).ObjectEnd();
    FlvMetadata stopped;
    EXPECT_TRUE(stopped.Parse(unknown.data));
    EXPECT_EQ(stopped.durationMs, 5000);
    EXPECT_EQ(stopped.width, 0);

    // Objects nested beyond reason end the parse instead of the stack.
    Bytes deep;
    deep.U8(2).Text("e");
    for (int i = 0; i < 100000; ++i)
        deep.U8(3).Text("o");
    FlvMetadata nested;
    EXPECT_TRUE(nested.Parse(deep.data));
    // Durations that are no number of milliseconds are none.
    for (double bad : {-1.0, std::numeric_limits<double>::quiet_NaN(), 1e300}) {
        Bytes odd;
        odd.U8(2).Text("e").U8(3).Text("duration").Number(bad).ObjectEnd();
        FlvMetadata m;
        EXPECT_TRUE(m.Parse(odd.data));
        EXPECT_EQ(m.durationMs, 0);
    }
    FlvMetadata empty;
    EXPECT_FALSE(empty.Parse({}));
}

TEST(FlvTags, HeaderBytesOfShortAndOddTags)
{
    struct Case {
        FlvTagType type;
        std::vector<std::uint8_t> head;
        std::uint32_t headerBytes;
        std::int32_t compositionMs;
        bool config;
    };
    // What the fixtures do not hold: cut tags and a composition time below zero.
    const Case cases[] = {
        {FlvTagType::Audio, {0xAF}, 2, 0, true},                             // AAC cut before its type
        {FlvTagType::Video, {0x27, 0x01, 0xFF, 0xFF, 0xD8}, 5, -40, false},  // signed composition time
        {FlvTagType::Video, {0x17, 0x01}, 5, 0, true},                       // too short to be a frame
        {FlvTagType::Video, {0x17, 0x02, 0x00, 0x00, 0x00}, 5, 0, false},    // end of sequence: no payload
        {FlvTagType::Script, {0x02, 0x00}, 0, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.head));
        const FlvPayloadHead head = ParseFlvPayloadHead(c.type, c.head);
        EXPECT_EQ(head.headerBytes, c.headerBytes);
        EXPECT_EQ(head.compositionMs, c.compositionMs);
        EXPECT_EQ(head.codecConfig, c.config);
    }
}

TEST(FlvProbes, AudioFormatsTheFixturesDoNotHold)
{
    struct Case {
        std::vector<std::uint8_t> data;
        bool found;
        WORD tag;
        DWORD rate;
        WORD bits, channels;
    };
    const Case cases[] = {
        {{0x22}, true, 0x55, 5512, 16, 1},     // MP3
        {{0x3F}, true, 0, 44100, 16, 2},       // little-endian PCM: known, gets no pin
        {{0xAF, 0x00, 0x13, 0x10, 0x56, 0xE5, 0x00}, true, 0xFF, 24000, 16, 2},  // a 5-byte configuration
        {{0xAE, 0x00, 0x16, 0x08}, true, 0xFF, 7350, 16, 2},
        {{0xAF, 0x00, 0x16, 0x88}, false, 0, 0, 0, 0},  // index 13: reserved
        {{0xAF, 0x01, 0x21, 0x00}, false, 0, 0, 0, 0},  // a frame before the configuration
        {{0xB2}, false, 0, 0, 0, 0},                    // Speex
        {{0x72}, false, 0, 0, 0, 0},                    // G.711
        {{}, false, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.data));
        FlvAudioFormat format;
        ASSERT_EQ(ProbeFlvAudio(c.data, &format), c.found);
        if (!c.found)
            continue;
        EXPECT_EQ(format.formatTag, c.tag);
        EXPECT_EQ(format.sampleRate, c.rate);
        EXPECT_EQ(format.bitsPerSample, c.bits);
        EXPECT_EQ(format.channels, c.channels);
        EXPECT_EQ(format.extra.size(), c.tag == 0xFF ? 2u : 0u);
    }
}

TEST(FlvProbes, PictureSizesTheFixturesDoNotHold)
{
    const auto sorenson = [](int code, int width, int height) {
        vmx::test::BitWriter bits;
        bits.U(17, 1);
        bits.U(5, 0);
        bits.U(8, 7);
        bits.U(3, code);
        const int field = code == 0 ? 8 : 16;
        if (code <= 1) {
            bits.U(field, width);
            bits.U(field, height);
        }
        bits.U(16, 0);
        std::vector<std::uint8_t> data{0x12};
        for (std::uint8_t b : bits.Bytes())
            data.push_back(b);
        return data;
    };
    struct Case {
        std::vector<std::uint8_t> data;
        bool found;
        LONG width, height;
    };
    const Case cases[] = {
        {sorenson(7, 0, 0), false, 0, 0},
        {{0x22, 0x00, 0x00, 0x84, 0x00, 0x60}, false, 0, 0},  // an inter frame tells nothing
        {{0x12, 0x00, 0x00, 0x00, 0x00, 0x60}, false, 0, 0},  // no picture start code
        // VP6: rows then columns of macroblocks, behind the 2-byte partition offset when present.
        {{0x14, 0x00, 0x51, 0x46, 0x00, 0x20, 0x09, 0x0B}, true, 176, 144},
        {{0x15, 0x00, 0x00, 0x00, 0x10, 0x50, 0x46, 0x1E, 0x28}, true, 640, 480},
        {{0x14, 0x00, 0xD0, 0x46, 0x09, 0x0B}, false, 0, 0},  // VP6 inter frame
        {{0x13, 0x00}, true, 0, 0},                           // screen video: known, gets no pin
        {{0x18, 0x00}, false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.data));
        FlvVideoFormat format;
        ASSERT_EQ(ProbeFlvVideo(c.data, &format), c.found);
        if (c.found) {
            EXPECT_EQ(format.width, c.width);
            EXPECT_EQ(format.height, c.height);
        }
    }
}

TEST(FlvReaderTags, SizesThatLieAreRepairedAtTheNextRealTag)
{
    FlvWriter file;
    file.Tag(9, 0, SorensonTag(true)).Tag(8, 0, Mp3Tag(1));
    file.Tag(8, 26, Mp3Tag(2), 200);  // claims 200 bytes: the next header is 40 bytes on
    file.Tag(9, 40, SorensonTag(false));
    file.Tag(8, 52, Mp3Tag(3), 20);  // claims too few: it runs to the next header all the same
    file.Tag(8, 78, Mp3Tag(4), 100);  // the last tag runs past the end: it ends with the file
    file.End();
    KFlvReader reader;
    ASSERT_TRUE(Open(reader, file.Save("flv-sizes.flv")));
    EXPECT_TRUE(reader.HasAudio());
    EXPECT_TRUE(reader.HasVideo());
    EXPECT_EQ(reader.Duration(), 780000);  // no metadata: the last tag's time

    std::vector<std::pair<LONGLONG, std::uint32_t>> tags;  // time, payload size
    do
        tags.emplace_back(reader.Tag().time, reader.Tag().payloadSize);
    while (reader.MoveToNextTag());
    const std::vector<std::pair<LONGLONG, std::uint32_t>> expected = {
        {0, 59}, {0, 39}, {260000, 39}, {400000, 59}, {520000, 39}, {780000, 39 + 4}};
    EXPECT_EQ(tags, expected);
}

TEST(FlvReaderSeeking, LandsOnTheKeyFrameBeforeTheTime)
{
    // Two tags every 40 ms for 8 s, a key frame each second; enough bytes for the estimate path.
    FlvWriter file;
    Bytes script;
    script.U8(2).Text("onMetaData").U8(8).U32(1).Text("duration").Number(8).ObjectEnd();
    file.Tag(18, 0, script.data);
    for (std::uint32_t ms = 0; ms < 8000; ms += 40) {
        file.Tag(9, ms, SorensonTag(ms % 1000 == 0, 6000));
        file.Tag(8, ms, Mp3Tag(7, 400));
    }
    file.End();
    const std::string path = file.Save("flv-seek.flv");
    KFlvReader reader;
    ASSERT_TRUE(Open(reader, path));
    ASSERT_GT(reader.FileSize(), 0x100000);
    for (REFERENCE_TIME target : {30000000LL, 29990000LL, 70000000LL, 5000000LL, 10000000LL, 0LL}) {
        SCOPED_TRACE(target);
        ASSERT_TRUE(reader.SeekTo(target));
        EXPECT_TRUE(reader.Tag().IsKeyFrame() || target == 0);
        EXPECT_EQ(reader.Tag().time, target / 10000000 * 10000000);
    }
    EXPECT_FALSE(reader.SeekTo(80000000));

    // A previous-tag size that leads into the tag before, or none at all (some muxers write
    // zeros): the walk back cannot be trusted and the key frame is found walking forward.
    std::vector<std::uint8_t>& bytes = file.bytes.data;
    bytes[file.tagStarts[1 + 2 * 74] + 3] -= 8;  // the video tag at 2.96 s
    const std::string broken = file.Save("flv-seek-broken.flv");
    ASSERT_TRUE(Open(reader, broken));
    ASSERT_TRUE(reader.SeekTo(29990000));
    EXPECT_TRUE(reader.Tag().IsKeyFrame());
    EXPECT_EQ(reader.Tag().time, 20000000);
    for (size_t start : file.tagStarts)
        std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(start), 4, 0);
    file.Save("flv-seek-broken.flv");
    ASSERT_TRUE(Open(reader, broken));
    for (REFERENCE_TIME target : {29990000LL, 65000000LL, 5000000LL}) {
        ASSERT_TRUE(reader.SeekTo(target));
        EXPECT_TRUE(reader.Tag().IsKeyFrame());
        EXPECT_EQ(reader.Tag().time, target / 10000000 * 10000000);
    }
    std::filesystem::remove(path);
    std::filesystem::remove(broken);
}
