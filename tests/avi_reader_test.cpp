// The AVI reader on bytes built here: which index entries become a stream's entries and their
// times, the MP3 frame timing, and the key-frame probes.
#include <gtest/gtest.h>

#include <cstring>

#include "demux/avi/avi_key_frames.h"
#include "demux/avi/avi_read_handler.h"
#include "io/wide_text.h"
#include "tests/avi_bytes.h"
#include "tests/test_support.h"

namespace {

using namespace vmx::test::avi;

constexpr REFERENCE_TIME kFrame = 400000;  // 25 frames a second

struct Taken {
    std::uint64_t offset;
    std::uint32_t size;
    REFERENCE_TIME start;
    bool operator==(const Taken&) const = default;
};

std::vector<Taken> TakeAll(KAvi2ReadStream& stream)
{
    std::vector<Taken> taken;
    AviIndexEntry entry{};
    REFERENCE_TIME start = 0, stop = 0;
    while (stream.Take(&entry, &start, &stop))
        taken.push_back({entry.offset, entry.size, start});
    return taken;
}

}  // namespace

TEST(AviIndex, ARepeatedEntryPlaysAgainAndAnEarlierOneIsDropped)
{
    // Three frames listed 0, 1, 1, 2, 0: the repeat of frame 1 is a frame of its own (a muxer's
    // repeated frame), so frame 2 keeps its time; the entry pointing back to frame 0 is damage.
    AviFile file;
    file.AddStream(StreamHeader("vids", 1, 25), BitmapFormat(MakeFourcc('M', 'J', 'P', 'G'), 16, 16));
    for (std::size_t size : {10, 11, 12})
        file.AddChunk(0, "dc", Bytes(size, static_cast<BYTE>(size)));
    for (std::size_t chunk : {0, 1, 1, 2, 0})
        file.List(chunk);
    for (const auto index : {AviFile::Index::Idx1, AviFile::Index::StandardIndex}) {
        SCOPED_TRACE(index == AviFile::Index::Idx1 ? "idx1" : "standard index");
        vmx::test::ScopedTempDir dir;
        KAvi2ReadHandler handler;
        ASSERT_TRUE(handler.Open(WideFromUtf8(file.Save(dir.file("repeat.avi"), index)).c_str()));
        ASSERT_TRUE(handler.HasIndex());
        KAvi2ReadStream& stream = *handler.Streams().at(0);
        const std::vector<Taken> taken = TakeAll(stream);
        ASSERT_EQ(taken.size(), 4u);
        const std::uint64_t first = taken[0].offset;
        const std::uint64_t second = first + 10 + 8;
        const std::uint64_t third = second + 12 + 8;
        EXPECT_EQ(taken, (std::vector<Taken>{{first, 10, 0}, {second, 11, kFrame}, {second, 11, 2 * kFrame}, {third, 12, 3 * kFrame}}));
        EXPECT_EQ(stream.Duration(), 4 * kFrame);
    }
}

TEST(AviStreams, Mp3WithABlockAlignOf1152IsTimedByFrames)
{
    // Chunks of 418 bytes at 44.1 kHz. A block align of 1152 makes a chunk one frame of 1152
    // samples whatever scale and rate say; otherwise a rate above 1000 times the stream by bytes.
    struct Case {
        std::uint16_t tag;
        std::uint16_t blockAlign;
        std::uint32_t scale;
        std::uint32_t rate;
        REFERENCE_TIME second;  // start of the second chunk
    };
    const REFERENCE_TIME frame = 1152 * 10000000LL / 44100;
    const REFERENCE_TIME bytes = 418 * 10000000LL / 44100;
    const Case cases[] = {
        {0x55, 1152, 1, 44100, frame},   // the rate equals the sample rate
        {0x55, 1152, 1, 48000, frame},   // a rate of something else
        {0x55, 1152, 1152, 44100, frame},
        {0x55, 1, 1, 44100, bytes},      // CBR: block align 1
        {0x50, 1152, 1, 44100, bytes},   // MPEG audio layer 2
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.tag << " " << c.blockAlign << " " << c.scale << "/" << c.rate);
        KAvi2ReadStream stream;
        const Bytes header = StreamHeader("auds", c.scale, c.rate);
        std::memcpy(&stream.header, header.data(), sizeof stream.header);
        stream.format = WaveFormat(c.tag, 2, 44100, 16000, c.blockAlign, 0);
        stream.Finish(1);
        for (std::uint64_t k = 0; k < 3; ++k)
            stream.Append(1000 + 426 * k, 418, true);
        EXPECT_EQ(stream.TimeAt(1), c.second);
    }
}

TEST(AviKeyFrames, ProbesIgnoreTheLetterCaseOfTheCode)
{
    // An MPEG-4 VOP header: byte 4 below 64 is an intra-coded picture.
    const Bytes intra = {0, 0, 1, 0xB6, 0x10, 0};
    const Bytes predicted = {0, 0, 1, 0xB6, 0x50, 0};
    for (const char* code : {"XVID", "xvid", "XviD", "DivX", "dx50"}) {
        SCOPED_TRACE(code);
        const DWORD fourcc = MakeFourcc(code[0], code[1], code[2], code[3]);
        EXPECT_TRUE(AviChunkIsKeyFrame(fourcc, intra));
        EXPECT_FALSE(AviChunkIsKeyFrame(fourcc, predicted));
    }
    // DivX 3 and WMV1: a first byte of 64 or more is not a key frame, in either case.
    EXPECT_FALSE(AviChunkIsKeyFrame(MakeFourcc('D', 'i', 'v', '3'), Bytes{0x40, 0}));
    EXPECT_TRUE(AviChunkIsKeyFrame(MakeFourcc('w', 'M', 'v', '1'), Bytes{0x3F, 0}));
    // A code without a probe takes every chunk for a key frame.
    EXPECT_TRUE(AviChunkIsKeyFrame(MakeFourcc('M', 'J', 'P', 'G'), predicted));
}
