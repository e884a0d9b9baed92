// KAacReader and WriteAudioSpecificConfig on bytes built here: the format block, the ten-byte
// search, ADIF and frame-count durations, frame payloads and times, and damaged headers.
#include <gtest/gtest.h>

#include <fstream>

#include "demux/audio/aac_reader.h"
#include "io/audio_config.h"
#include "tests/test_support.h"

using vmx::test::ScopedTempDir;

namespace {

using Bytes = std::vector<BYTE>;

// One ADTS frame: LC profile, the given rate index and channel configuration, frame_length
// header included, payload filled with a pattern.
Bytes AdtsFrame(DWORD frameLength, DWORD rateIndex = 4, DWORD channels = 2, BYTE fill = 0x21)
{
    Bytes frame(std::max<DWORD>(frameLength, 7), fill);
    frame[0] = 0xFF;
    frame[1] = 0xF1;  // MPEG-4, layer 0, no CRC
    frame[2] = static_cast<BYTE>((1 << 6) | (rateIndex << 2) | (channels >> 2));
    frame[3] = static_cast<BYTE>(((channels & 3) << 6) | ((frameLength >> 11) & 3));
    frame[4] = static_cast<BYTE>(frameLength >> 3);
    frame[5] = static_cast<BYTE>(((frameLength & 7) << 5) | 0x1F);
    frame[6] = 0xFC;
    return frame;
}

Bytes Frames(int count, DWORD frameLength, DWORD rateIndex = 4, DWORD channels = 2)
{
    Bytes out;
    for (int i = 0; i < count; ++i) {
        Bytes frame = AdtsFrame(frameLength, rateIndex, channels, static_cast<BYTE>(0x20 + i));
        out.insert(out.end(), frame.begin(), frame.end());
    }
    return out;
}

Bytes Id3v2(size_t bodySize)
{
    Bytes tag = {'I', 'D', '3', 4, 0, 0, 0, 0, static_cast<BYTE>(bodySize >> 7), static_cast<BYTE>(bodySize & 0x7F)};
    tag.resize(10 + bodySize, 0);
    return tag;
}

// An ADIF header without copyright id, with the 23-bit bitrate, padded to a length.
Bytes Adif(DWORD bitrate, size_t length)
{
    Bytes header(length, 0);
    std::copy_n("ADIF", 4, header.begin());
    header[4] = static_cast<BYTE>((bitrate >> 19) & 0x0F);
    header[5] = static_cast<BYTE>(bitrate >> 11);
    header[6] = static_cast<BYTE>(bitrate >> 3);
    header[7] = static_cast<BYTE>((bitrate & 7) << 5);
    return header;
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

struct AacFile {
    explicit AacFile(const Bytes& bytes)
    {
        std::string path = dir.file("test.aac");
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
        wide = std::u16string(path.begin(), path.end());
    }
    BOOL Open(KAacReader& reader) const { return reader.Open(wide.c_str()); }
    ScopedTempDir dir;
    std::u16string wide;
};

}  // namespace

TEST(AudioSpecificConfig, WritesTheTwoAndFiveByteForms)
{
    BYTE bytes[5] = {};
    ASSERT_EQ(WriteAudioSpecificConfig(bytes, 1, 44100, 2), 2);
    EXPECT_EQ(Bytes(bytes, bytes + 2), (Bytes{0x12, 0x10}));
    ASSERT_EQ(WriteAudioSpecificConfig(bytes, -1, 24000, 2), 5);
    EXPECT_EQ(Bytes(bytes, bytes + 5), (Bytes{0x13, 0x10, 0x56, 0xE5, 0x98}));
    // Rates between the standard ones take the nearer index (44000 is still index 4).
    ASSERT_EQ(WriteAudioSpecificConfig(bytes, 1, 44000, 1), 2);
    EXPECT_EQ(Bytes(bytes, bytes + 2), (Bytes{0x12, 0x08}));
}

TEST(AacReader, BuildsTheFormatBlockFromTheFirstFrame)
{
    struct Case {
        DWORD rateIndex, channels, frameLength;
        WORD expectedChannels;
        DWORD rate, avgBytes;
    };
    const Case cases[] = {
        {4, 2, 400, 2, 44100, 400 * 44100 / 2048},
        {3, 1, 371, 1, 48000, 8695},
        {4, 0, 300, 0, 44100, 300 * 44100 / 2048},  // configuration 0: channels in the stream
        {4, 7, 300, 2, 44100, 300 * 44100 / 2048},  // 7 (7.1) is shown as 2
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.frameLength);
        AacFile file(Frames(10, c.frameLength, c.rateIndex, c.channels));
        KAacReader reader;
        ASSERT_TRUE(file.Open(reader));
        const WAVEFORMATEX& format = reader.Format();
        EXPECT_EQ(format.wFormatTag, 0xFF);
        EXPECT_EQ(format.nChannels, c.expectedChannels);
        EXPECT_EQ(format.nSamplesPerSec, c.rate);
        EXPECT_EQ(format.nBlockAlign, c.frameLength);
        EXPECT_EQ(format.nAvgBytesPerSec, c.avgBytes);
        EXPECT_EQ(format.wBitsPerSample, 0);
        EXPECT_EQ(format.cbSize, 2);
        EXPECT_EQ(reader.FormatBlock().size(), 20u);
        // Ten frames of 1024 samples, counted at load.
        EXPECT_EQ(reader.Duration(), static_cast<REFERENCE_TIME>(10.0f / (static_cast<float>(c.rate) / 1024.0f) * 1e7f));
    }
}

TEST(AacReader, DeliversPayloadsWithoutHeadersAndRunningTimes)
{
    AacFile file(Concat({Id3v2(40), Frames(6, 200)}));
    KAacReader reader;
    ASSERT_TRUE(file.Open(reader));
    EXPECT_EQ(reader.DataStart(), 50);
    REFERENCE_TIME previous = 0;
    for (int i = 0; i < 6; ++i) {
        DWORD size = 0;
        REFERENCE_TIME start = 0, stop = 0;
        ASSERT_EQ(reader.ReadFrame(size, start, stop), 0) << i;
        ASSERT_EQ(size, 193u);
        Bytes payload(size);
        ASSERT_TRUE(reader.CopyFrame(payload.data()));
        EXPECT_EQ(payload, Bytes(193, static_cast<BYTE>(0x20 + i)));
        EXPECT_EQ(start, previous);
        EXPECT_NEAR(static_cast<double>(stop - start), 232199.5, 2.0);  // 1024 samples at 44.1 kHz
        previous = stop;
    }
    DWORD size;
    REFERENCE_TIME start, stop;
    EXPECT_EQ(reader.ReadFrame(size, start, stop), KAacReader::kEnd);
}

TEST(AacReader, FindsFramesOnlyInTenByteStepsAndEstimatesAdif)
{
    KAacReader reader;
    // Five bytes after the tag: between two steps, so never found.
    EXPECT_FALSE(AacFile(Concat({Id3v2(20), Bytes(5, 0), Frames(5, 100)})).Open(reader));
    // Ten bytes after the tag: found.
    EXPECT_TRUE(AacFile(Concat({Id3v2(20), Bytes(10, 0), Frames(5, 100)})).Open(reader));

    // ADIF in front gives whole seconds from its bitrate: 8 × 4030 bytes / 16000 bit/s = 2.015 s → 2 s.
    Bytes adif = Concat({Adif(16000, 30), Frames(40, 100)});
    KAacReader adifReader;
    ASSERT_TRUE(AacFile(adif).Open(adifReader));
    EXPECT_EQ(adifReader.DataStart(), 30);
    EXPECT_EQ(adifReader.Duration(), 20000000);
    // A zero bitrate gives no estimate: the frames are counted instead.
    KAacReader zeroRate;
    ASSERT_TRUE(AacFile(Concat({Adif(0, 30), Frames(40, 100)})).Open(zeroRate));
    EXPECT_EQ(zeroRate.Duration(), static_cast<REFERENCE_TIME>(40.0f / (44100.0f / 1024.0f) * 1e7f));
}

TEST(AacReader, DamagedFramesFailOrEndCleanly)
{
    KAacReader reader;
    EXPECT_FALSE(AacFile(Bytes(3000, 0x5A)).Open(reader));
    EXPECT_FALSE(AacFile(Concat({Bytes{'I', 'D', '3', 4, 0, 0, 0x7F, 0x7F, 0x7F, 0x7F}, Frames(3, 100)})).Open(reader));
    // A first frame_length of 0 or below the header size is not a header.
    for (DWORD length : {0u, 5u}) {
        Bytes bad = Concat({AdtsFrame(length), Bytes(3, 0), Frames(3, 100)});
        KAacReader damaged;
        EXPECT_FALSE(AacFile(bad).Open(damaged)) << length;
    }
    // In the middle: the bad frame is skipped and the good ones around it play.
    Bytes middle = Concat({Frames(3, 100), AdtsFrame(0), Frames(3, 100)});
    AacFile file(middle);
    KAacReader skipping;
    ASSERT_TRUE(file.Open(skipping));
    const int frames = vmx::test::WholeFrames(skipping, 200);
    EXPECT_GE(frames, 5);
    EXPECT_LE(frames, 6);
    // A last frame running past the end ends the stream before it.
    Bytes cut = Frames(4, 100);
    cut.resize(cut.size() - 30);
    AacFile truncated(cut);
    KAacReader partial;
    ASSERT_TRUE(truncated.Open(partial));
    EXPECT_EQ(vmx::test::WholeFrames(partial, 200), 3);
}

TEST(AacReader, SeeksInProportionToTheData)
{
    AacFile file(Frames(100, 100));
    KAacReader reader;
    ASSERT_TRUE(file.Open(reader));
    ASSERT_TRUE(reader.SeekTo(reader.Duration() / 2));
    DWORD size;
    REFERENCE_TIME start, stop;
    ASSERT_EQ(reader.ReadFrame(size, start, stop), 0);
    EXPECT_EQ(start, reader.Duration() / 2);
    Bytes payload(size);
    reader.CopyFrame(payload.data());
    EXPECT_EQ(payload[0], 0x20 + 50);
    ASSERT_TRUE(reader.SeekTo(0));
    ASSERT_EQ(reader.ReadFrame(size, start, stop), 0);
    reader.CopyFrame(payload.data());
    EXPECT_EQ(payload[0], 0x20);
}
