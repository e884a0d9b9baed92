// KMp3Reader on bytes built here: header decoding, synchronisation, the VBR tables and the
// seek positions they give, frame times, and damaged input.
#include <gtest/gtest.h>

#include <fstream>

#include "demux/audio/mp3_reader.h"
#include "tests/test_support.h"

using vmx::test::ScopedTempDir;

namespace {

using Bytes = std::vector<BYTE>;

constexpr BYTE kMpeg1Header[4] = {0xFF, 0xFB, 0x90, 0x00};  // Layer III, 128 kbit/s, 44.1 kHz, stereo
constexpr size_t kMpeg1FrameSize = 417;
constexpr REFERENCE_TIME kMpeg1FrameTime = 261224;  // 11520000000 / 44100

Bytes Frame(const BYTE header[4], size_t size, BYTE fill = 0x11)
{
    Bytes frame(size, fill);
    std::copy(header, header + 4, frame.begin());
    return frame;
}

Bytes Frames(int count, BYTE fillBase = 0x10)
{
    Bytes out;
    for (int i = 0; i < count; ++i) {
        Bytes frame = Frame(kMpeg1Header, kMpeg1FrameSize, static_cast<BYTE>(fillBase + i % 64));
        out.insert(out.end(), frame.begin(), frame.end());
    }
    return out;
}

Bytes Id3v2(size_t bodySize)
{
    Bytes tag = {'I', 'D', '3', 3, 0, 0};
    tag.push_back(static_cast<BYTE>((bodySize >> 21) & 0x7F));
    tag.push_back(static_cast<BYTE>((bodySize >> 14) & 0x7F));
    tag.push_back(static_cast<BYTE>((bodySize >> 7) & 0x7F));
    tag.push_back(static_cast<BYTE>(bodySize & 0x7F));
    tag.resize(10 + bodySize, 0);
    return tag;
}

// A first frame carrying a Xing header: frame count, byte count and a table of contents.
Bytes XingFrame(DWORD frames, DWORD bytes, const BYTE toc[100])
{
    Bytes frame = Frame(kMpeg1Header, kMpeg1FrameSize, 0);
    Bytes xing = {'X', 'i', 'n', 'g', 0, 0, 0, 7};
    for (DWORD value : {frames, bytes})
        for (int shift = 24; shift >= 0; shift -= 8)
            xing.push_back(static_cast<BYTE>(value >> shift));
    xing.insert(xing.end(), toc, toc + 100);
    std::copy(xing.begin(), xing.end(), frame.begin() + 36);
    return frame;
}

class Mp3File {
public:
    explicit Mp3File(const Bytes& bytes)
    {
        path_ = dir_.file("test.mp3");
        std::ofstream(path_, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                     static_cast<std::streamsize>(bytes.size()));
        wide_ = std::u16string(path_.begin(), path_.end());
    }
    BOOL Open(KMp3Reader& reader) const { return reader.Open(wide_.c_str()); }

private:
    ScopedTempDir dir_;
    std::string path_;
    std::u16string wide_;
};

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

}  // namespace

TEST(Mp3Header, DecodesValidHeadersAndRefusesReservedOnes)
{
    struct Case {
        BYTE bytes[4];
        bool valid;
        DWORD layer, sampleRate, channels, frameSize;
    };
    const Case cases[] = {
        {{0xFF, 0xFB, 0x90, 0x00}, true, 3, 44100, 2, 417},  // MPEG-1 128 kbit/s
        {{0xFF, 0xFB, 0x92, 0xC0}, true, 3, 44100, 1, 418},  // padded, single channel
        {{0xFF, 0xF3, 0x80, 0x00}, true, 3, 22050, 2, 208},  // MPEG-2 64 kbit/s: 576 samples
        {{0xFF, 0xE3, 0x28, 0xC0}, true, 3, 8000, 1, 144},   // MPEG-2.5 16 kbit/s
        {{0xFF, 0xFD, 0x84, 0x00}, true, 2, 48000, 2, 384},  // MPEG-1 Layer II 128 kbit/s
        {{0xFF, 0xFF, 0x10, 0x00}, true, 1, 44100, 2, 32},   // MPEG-1 Layer I 32 kbit/s
        {{0xFF, 0xE9, 0x90, 0x00}, false, 0, 0, 0, 0},                   // reserved version with reserved layer
        {{0xFF, 0xF9, 0x90, 0x00}, false, 0, 0, 0, 0},                   // reserved layer
        {{0xFF, 0xFB, 0x00, 0x00}, false, 0, 0, 0, 0},                   // free format
        {{0xFF, 0xFB, 0xF0, 0x00}, false, 0, 0, 0, 0},                   // bitrate index 15
        {{0xFF, 0xE3, 0x2C, 0x00}, false, 0, 0, 0, 0},                   // MPEG-2.5 reserved frequency
        {{0xFE, 0xFB, 0x90, 0x00}, false, 0, 0, 0, 0},
        {{0xFF, 0x1B, 0x90, 0x00}, false, 0, 0, 0, 0},
    };
    KMp3Reader reader;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::vector<int>(c.bytes, c.bytes + 4)));
        KMp3Header header;
        ASSERT_EQ(reader.ParseHeader(c.bytes, header) != FALSE, c.valid);
        if (!c.valid)
            continue;
        EXPECT_EQ(header.layer, c.layer);
        EXPECT_EQ(header.sampleRate, c.sampleRate);
        EXPECT_EQ(header.channels, c.channels);
        EXPECT_EQ(header.frameSize, c.frameSize);
    }
}

TEST(Mp3Reader, SkipsTwoTagsAndCountsFramesToTheLastWholeOne)
{
    Bytes tail(128, 'T');  // an ID3v1 tag behind the audio
    Mp3File file(Concat({Id3v2(300), Id3v2(50), Frames(20), tail}));
    KMp3Reader reader;
    ASSERT_TRUE(file.Open(reader));
    EXPECT_EQ(reader.FirstFramePosition(), 310 + 60);
    EXPECT_EQ(reader.Vbr(), KMp3Reader::VbrKind::None);
    EXPECT_EQ(reader.EndPosition(), 370 + 20 * 417);
    EXPECT_EQ(reader.FrameCount(), 20u);
    EXPECT_EQ(reader.FrameDuration(), kMpeg1FrameTime);
    EXPECT_EQ(reader.Duration(), 20 * kMpeg1FrameTime);
    const WAVEFORMATEX& format = reader.Format();
    EXPECT_EQ(format.wFormatTag, 0x55);
    EXPECT_EQ(format.nChannels, 2);
    EXPECT_EQ(format.nSamplesPerSec, 44100u);
    EXPECT_EQ(format.nAvgBytesPerSec, 0u);
    EXPECT_EQ(format.nBlockAlign, 4);
    EXPECT_EQ(format.wBitsPerSample, 16);
    EXPECT_EQ(format.cbSize, 0);

    // Frames come out whole, with running times.
    for (int i = 0; i < 20; ++i) {
        DWORD size = 0;
        REFERENCE_TIME start = 0, stop = 0;
        ASSERT_EQ(reader.ReadFrame(size, start, stop), 0) << i;
        EXPECT_EQ(size, kMpeg1FrameSize);
        EXPECT_EQ(start, i * kMpeg1FrameTime);
        EXPECT_EQ(stop, (i + 1) * kMpeg1FrameTime);
        Bytes payload(size);
        ASSERT_TRUE(reader.CopyFrame(payload.data()));
        EXPECT_EQ(payload, Frame(kMpeg1Header, kMpeg1FrameSize, static_cast<BYTE>(0x10 + i)));
    }
    DWORD size;
    REFERENCE_TIME start, stop;
    EXPECT_EQ(reader.ReadFrame(size, start, stop), KMp3Reader::kEnd);
}

TEST(Mp3Reader, AHeaderWithoutASecondOneIsNotTheStart)
{
    // A lone valid header, then bytes that are no header where its frame would end.
    Bytes decoy = Frame(kMpeg1Header, 600, 0x00);
    Mp3File file(Concat({decoy, Frames(4)}));
    KMp3Reader reader;
    ASSERT_TRUE(file.Open(reader));
    EXPECT_EQ(reader.FirstFramePosition(), 600);
}

// The sync search reads the file a block at a time: a first frame is found wherever it starts
// against the blocks' edges, behind junk full of 0xFF bytes that begin no frame.
TEST(Mp3Reader, FirstFrameFoundBehindJunkAtAnyOffset)
{
    for (const size_t junk : {1u, 509u, 510u, 511u, 512u, 1021u, 1022u, 1023u, 3000u}) {
        Bytes lead(junk);
        for (size_t i = 0; i < junk; ++i)
            lead[i] = i % 2 ? 0x00 : 0xFF;
        Mp3File file(Concat({lead, Frames(4)}));
        KMp3Reader reader;
        ASSERT_TRUE(file.Open(reader)) << junk;
        EXPECT_EQ(reader.FirstFramePosition(), static_cast<LONGLONG>(junk)) << junk;
        EXPECT_EQ(reader.FrameCount(), 4u) << junk;
    }
}

TEST(Mp3Reader, GarbageBetweenFramesIsSkippedWithoutAdvancingTime)
{
    Mp3File file(Concat({Frames(3), Bytes(150, 0x55), Frames(3, 0x30)}));
    KMp3Reader reader;
    ASSERT_TRUE(file.Open(reader));
    std::vector<REFERENCE_TIME> starts;
    DWORD size;
    REFERENCE_TIME start, stop;
    while (reader.ReadFrame(size, start, stop) == 0) {
        Bytes payload(size);
        ASSERT_TRUE(reader.CopyFrame(payload.data()));
        starts.push_back(start);
    }
    ASSERT_EQ(starts.size(), 6u);
    EXPECT_EQ(starts[3], 3 * kMpeg1FrameTime);
}

TEST(Mp3Reader, XingTableGivesTheSeekPosition)
{
    BYTE toc[100];
    for (int i = 0; i < 100; ++i)
        toc[i] = static_cast<BYTE>(i * 2);
    const DWORD bytes = 20 * kMpeg1FrameSize;
    Mp3File file(Concat({Id3v2(30), XingFrame(40, bytes, toc), Frames(39)}));
    KMp3Reader reader;
    ASSERT_TRUE(file.Open(reader));
    ASSERT_EQ(reader.Vbr(), KMp3Reader::VbrKind::Xing);
    EXPECT_EQ(reader.Duration(), 40 * kMpeg1FrameTime);

    // At the duration: entry 99 (198) towards the end value 256, so x = 256: the byte count.
    ASSERT_TRUE(reader.SeekTo(reader.Duration()));
    DWORD size;
    REFERENCE_TIME start, stop;
    ASSERT_EQ(reader.ReadFrame(size, start, stop), 0);
    EXPECT_EQ(start, reader.Duration());  // the first frame after a seek carries the target
    Bytes payload(size);
    reader.CopyFrame(payload.data());
    EXPECT_EQ(payload[4], 0x10 + 19);  // frame 20 of the file is frame 19 after the Xing frame

    // Half way: entry 50 (100) → 100/256 of the byte count, then on to the next frame start.
    ASSERT_TRUE(reader.SeekTo(reader.Duration() / 2));
    ASSERT_EQ(reader.ReadFrame(size, start, stop), 0);
    reader.CopyFrame(payload.data());
    LONGLONG offset = 100LL * bytes / 256;
    LONGLONG frameIndex = (offset + kMpeg1FrameSize - 1) / kMpeg1FrameSize;
    EXPECT_EQ(payload[4], 0x10 + frameIndex - 1);
}

TEST(Mp3Reader, ConstantBitrateSeekUsesTheFirstFrameValues)
{
    Mp3File file(Frames(50));
    KMp3Reader reader;
    ASSERT_TRUE(file.Open(reader));
    // floor(44100 × t / 11520000000) frames: ten frame times give 9 (the frame time is truncated).
    ASSERT_TRUE(reader.SeekTo(10 * kMpeg1FrameTime));
    DWORD size;
    REFERENCE_TIME start, stop;
    ASSERT_EQ(reader.ReadFrame(size, start, stop), 0);
    Bytes payload(size);
    reader.CopyFrame(payload.data());
    EXPECT_EQ(payload[4], 0x10 + 9);
    EXPECT_EQ(start, 10 * kMpeg1FrameTime);

    ASSERT_TRUE(reader.SeekTo(0));
    ASSERT_EQ(reader.ReadFrame(size, start, stop), 0);
    reader.CopyFrame(payload.data());
    EXPECT_EQ(payload[4], 0x10);
    EXPECT_EQ(start, 0);

    // Past the end there is nothing to synchronise on.
    EXPECT_FALSE(reader.SeekTo(1000 * kMpeg1FrameTime));
    EXPECT_EQ(reader.ReadFrame(size, start, stop), KMp3Reader::kEnd);
}

TEST(Mp3Reader, DamagedFilesFailToOpenOrEndCleanly)
{
    KMp3Reader reader;
    EXPECT_FALSE(Mp3File(Bytes(5000, 0xFF)).Open(reader));
    EXPECT_FALSE(Mp3File(Bytes()).Open(reader));
    EXPECT_FALSE(Mp3File(Concat({Id3v2(0), Bytes{'I', 'D', '3', 3, 0, 0, 0x7F, 0x7F, 0x7F, 0x7F}, Frames(2)}))
                     .Open(reader));
    EXPECT_FALSE(Mp3File(Concat({Bytes(kMpeg1Header, kMpeg1Header + 4), Bytes(3000, 0xAB)})).Open(reader));
    // A Layer II stream is not ours.
    const BYTE layer2[4] = {0xFF, 0xFD, 0x84, 0x00};
    EXPECT_FALSE(Mp3File(Concat({Frame(layer2, 384), Frame(layer2, 384), Frame(layer2, 384)})).Open(reader));

    // Cut inside the last frame: the whole frames play, the cut one ends the stream.
    Bytes cut = Frames(5);
    cut.resize(cut.size() - 100);
    Mp3File truncated(cut);
    KMp3Reader partial;
    ASSERT_TRUE(truncated.Open(partial));
    EXPECT_EQ(vmx::test::WholeFrames(partial, kMpeg1FrameSize), 4);
}
