// The second MPEG filter's streams on bytes built here: the media types a class announces, how
// H.264 access units are rewritten and timed, and the program map's languages in a transport
// stream written for the test.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "demux/mpeg_ts/mpeg2_filter.h"
#include "demux/mpeg_ts/mpeg2_read_handler.h"
#include "demux/mpeg_es/mpeg_es_headers.h"
#include "framework/format_blocks.h"
#include "io/wide_text.h"
#include "tests/bit_writer.h"

namespace {

using vmx::test::BitWriter;

std::vector<BYTE> Join(std::initializer_list<std::vector<BYTE>> parts)
{
    std::vector<BYTE> joined;
    for (const auto& part : parts)
        joined.insert(joined.end(), part.begin(), part.end());
    return joined;
}

// An MPEG-2 PES header with a PTS (90 kHz) and no length (video) or the payload's length.
std::vector<BYTE> Pes(BYTE streamId, LONGLONG pts, const std::vector<BYTE>& payload, bool bounded)
{
    const size_t length = bounded ? payload.size() + 8 : 0;
    std::vector<BYTE> pes = {0, 0, 1, streamId, static_cast<BYTE>(length >> 8), static_cast<BYTE>(length), 0x80, 0x80, 5,
                             static_cast<BYTE>(0x21 | ((pts >> 29) & 0x0E)), static_cast<BYTE>(pts >> 22),
                             static_cast<BYTE>(0x01 | ((pts >> 14) & 0xFE)), static_cast<BYTE>(pts >> 7),
                             static_cast<BYTE>(0x01 | ((pts << 1) & 0xFE))};
    pes.insert(pes.end(), payload.begin(), payload.end());
    return pes;
}

std::string Narrow(const WString& text) { return Utf8FromWide(text.c_str()); }

}  // namespace

TEST(Mpeg2Streams, PinNamesByKindLanguageAndNumber)
{
    EXPECT_EQ(Narrow(Mpeg2PinName(MEDIATYPE_Audio, "eng", 4352, false)), "Audio /eng (4352)");
    EXPECT_EQ(Narrow(Mpeg2PinName(MEDIATYPE_Audio, "deu", 4353, false)), "Audio /deu (4353)");
    EXPECT_EQ(Narrow(Mpeg2PinName(MEDIATYPE_Video, "", 256, false)), "Video (256)");
    EXPECT_EQ(Narrow(Mpeg2PinName(MEDIATYPE_Video, "", 0xE0, true)), "Video (e0)");
    EXPECT_EQ(Narrow(Mpeg2PinName(MEDIATYPE_Text, "fra", 33, false)), "Subtitle /fra (33)");
    EXPECT_EQ(Narrow(Mpeg2PinName(MEDIATYPE_Stream, "", 31, false)), "Stream / 0x1f");
}

TEST(Mpeg2Streams, TypesOfVc1LpcmAndAac)
{
    // VC-1: a VIDEOINFOHEADER2 type first, then the VIDEOINFOHEADER one, the sequence header
    // right behind the bitmap header in both.
    BitWriter vc1;
    vc1.U(32, 0x0000010F), vc1.U(2, 3), vc1.U(3, 1), vc1.U(2, 1), vc1.U(3, 0), vc1.U(5, 0), vc1.U(1, 0);
    vc1.U(12, 639), vc1.U(12, 359), vc1.U(6, 0), vc1.U(1, 0), vc1.U(1, 0), vc1.U(7, 0);
    vc1.U(32, 0x0000010D);
    auto stream = CreateMpeg2Stream(0x1011, 0xFD, vc1.Bytes(), {});
    ASSERT_TRUE(stream);
    EXPECT_EQ(stream->code, KMpeg2ReadStream::kVc1);
    CMediaType primary, alternative;
    stream->GetMediaTypes(primary, alternative);
    EXPECT_EQ(*primary.FormatType(), FORMAT_VideoInfo2);
    EXPECT_EQ(*alternative.FormatType(), FORMAT_VideoInfo);
    const auto bitmap = GetRecord<BITMAPINFOHEADER>(alternative.Format(), kVideoInfoHeaderSize);
    EXPECT_EQ(bitmap.biWidth, 1280);
    EXPECT_EQ(bitmap.biHeight, 720);
    EXPECT_EQ(bitmap.biSize, 40u + (alternative.FormatLength() - sizeof(VIDEOINFOHEADER)));
    EXPECT_EQ(stream->InitialBufferSize(), 1280u * 720 * 3);

    // LPCM with its sub-stream header: 20 bits, 96 kHz, stereo; a quantisation of 3 is refused.
    const std::vector<BYTE> lpcm = {0xA0, 0x07, 0x00, 0x04, 0x0C, 0x51, 0x80, 0, 0, 0, 0};
    stream = CreateMpeg2Stream(0xA0, 0xBD, lpcm, {});
    ASSERT_TRUE(stream);
    stream->GetMediaTypes(primary, alternative);
    const auto wave = GetRecord<WAVEFORMATEX>(primary.Format(), 0);
    EXPECT_EQ(wave.wFormatTag, 0);
    EXPECT_EQ(wave.wBitsPerSample, 20);
    EXPECT_EQ(wave.nSamplesPerSec, 96000u);
    EXPECT_EQ(wave.nBlockAlign, 5);
    EXPECT_EQ(wave.nAvgBytesPerSec, 480000u);
    EXPECT_FALSE(alternative.IsValid());
    std::vector<BYTE> badLpcm = lpcm;
    badLpcm[5] = 0xD1;
    EXPECT_FALSE(CreateMpeg2Stream(0xA0, 0xBD, badLpcm, {}));

    // ADTS whose channel configuration is 0 (given in the stream): announced as stereo.
    const std::vector<BYTE> adts = {0xFF, 0xF1, 0x4C, 0x00, 0x02, 0x1F, 0xFC, 0, 0, 0};
    stream = CreateMpeg2Stream(0x101, 0xC0, adts, {});
    ASSERT_TRUE(stream);
    EXPECT_EQ(stream->code, KMpeg2ReadStream::kAac);
    stream->GetMediaTypes(primary, alternative);
    EXPECT_EQ(GetRecord<WAVEFORMATEX>(primary.Format(), 0).nChannels, 2);

    // Sampling index 12: 7350 Hz, which transport streams carry (a program stream's ADTS rule
    // stops at 8000 Hz).
    std::vector<BYTE> adts7350 = adts;
    adts7350[2] = 0x70;  // LC, index 12, no private bit
    stream = CreateMpeg2Stream(0x101, 0xC0, adts7350, {kStreamTypeAdts});
    ASSERT_TRUE(stream);
    stream->GetMediaTypes(primary, alternative);
    EXPECT_EQ(GetRecord<WAVEFORMATEX>(primary.Format(), 0).nSamplesPerSec, 7350u);
    EXPECT_FALSE(ParseAdtsHeader(adts7350));
}

TEST(Mpeg2Streams, H264AccessUnitsLoseTheirDelimitersAndTakeLengths)
{
    // A stream made from its first PES (SPS, PPS), then access units one PES each.
    BitWriter sps;
    sps.U(8, 0x67), sps.U(8, 66), sps.U(8, 0), sps.U(8, 30);
    sps.UE(0), sps.UE(0), sps.UE(0), sps.UE(0), sps.UE(1), sps.U(1, 0), sps.UE(9), sps.UE(7), sps.U(1, 1), sps.U(1, 0),
        sps.U(1, 0), sps.U(1, 0);
    const std::vector<BYTE> aud = {0, 0, 0, 1, 0x09, 0xF0};
    const std::vector<BYTE> spsNal = Join({{0, 0, 0, 1}, sps.Nal()});
    const std::vector<BYTE> pps = {0, 0, 0, 1, 0x68, 0xCE, 0x38, 0x80};
    const std::vector<BYTE> idr = {0, 0, 1, 0x65, 0x88, 0x80, 0x00, 0x00};  // trailing zeros go
    const std::vector<BYTE> slice = {0, 0, 0, 1, 0x41, 0x9A};
    const std::vector<BYTE> first = Join({aud, spsNal, pps, idr});
    auto stream = CreateMpeg2Stream(0x100, 0xE0, first, {});
    ASSERT_TRUE(stream);
    stream->firstTime = 90000;
    stream->Reset();  // a seek, to 40 ms say: the times of the PES below are past it
    stream->Append(true, Pes(0xE0, 90000 + 3600, first, false));
    stream->Append(true, Pes(0xE0, 90000 + 7200, Join({aud, slice}), false));
    Mpeg2Frame frame;
    // A PES of unknown length ends when the next one starts, and a unit when a delimiter-led
    // PES follows it: nothing is ready yet.
    EXPECT_FALSE(stream->GetFrame(frame, false));
    stream->Append(true, Join({{0, 0, 1, 0xE0, 0, 0, 0x80, 0x00, 0}, aud, slice}));  // no time
    ASSERT_TRUE(stream->GetFrame(frame, false));
    // The first unit after a reset stands at the stream's start (preroll once rebased) and is a
    // key frame, whatever its PES time.
    EXPECT_TRUE(frame.timed);
    EXPECT_EQ(frame.start, 0);
    EXPECT_TRUE(frame.sync);
    const std::vector<BYTE> expected = Join({{0, 0, 0, static_cast<BYTE>(spsNal.size() - 4)}, {spsNal.begin() + 4, spsNal.end()},
                                             {0, 0, 0, 4, 0x68, 0xCE, 0x38, 0x80}, {0, 0, 0, 3, 0x65, 0x88, 0x80}});
    EXPECT_EQ(stream->TakeFrame(), expected);
    EXPECT_FALSE(stream->GetFrame(frame, false));
    // The end of the file hands out the rest; a PES without a time keeps the last one.
    ASSERT_TRUE(stream->GetFrame(frame, true));
    EXPECT_EQ(frame.start, 7200 * 1000 / 9);
    EXPECT_FALSE(frame.sync);
    EXPECT_EQ(stream->TakeFrame(), (std::vector<BYTE>{0, 0, 0, 2, 0x41, 0x9A}));
    ASSERT_TRUE(stream->GetFrame(frame, true));
    EXPECT_EQ(frame.start, 7200 * 1000 / 9);
    EXPECT_FALSE(stream->GetFrame(frame, true));

    // Delimiters that say "any picture type" (as x264 writes them): an IDR slice makes the sync
    // point.
    stream->Reset();
    for (const auto& unit : {Join({aud, slice}), Join({aud, slice}), Join({aud, idr}), Join({aud, slice})})
        stream->Append(true, Pes(0xE0, 90000, unit, false));
    std::vector<bool> syncs;
    while (stream->GetFrame(frame, true)) {
        syncs.push_back(frame.sync);
        stream->TakeFrame();
    }
    EXPECT_EQ(syncs, (std::vector<bool>{true, false, true, false}));  // the first after a reset, the IDR
}

TEST(Mpeg2Streams, MpegVideoIsAFrameAPesWhateverPicturesItHolds)
{
    // 720x480 at 29.97 fps, then the two field pictures of each frame in one PES, as a muxer
    // writes field-coded MPEG-2: one frame a PES at the PES time; a PES without a time follows
    // the last by a frame; bytes of the next PES in front of its first picture end this frame.
    BitWriter sequence;
    sequence.U(32, 0x000001B3), sequence.U(12, 720), sequence.U(12, 480), sequence.U(4, 3), sequence.U(4, 4);
    sequence.U(18, 20000), sequence.U(1, 1), sequence.U(10, 112), sequence.U(3, 0);
    const std::vector<BYTE> field = {0, 0, 1, 0x00, 0x00, 0x0F, 0xFF, 0xF8, 0x11, 0x22};
    const std::vector<BYTE> tail = {0x33, 0x44, 0x55};
    const std::vector<BYTE> first = Join({sequence.Bytes(), field, field});
    auto stream = CreateMpeg2Stream(0x100, 0xE0, first, {});
    ASSERT_TRUE(stream);
    EXPECT_EQ(stream->code, KMpeg2ReadStream::kMpeg2Video);
    stream->firstTime = 90000;
    stream->Reset();
    stream->Append(true, Pes(0xE0, 90000, first, false));
    stream->Append(true, Pes(0xE0, 90000 + 3003, Join({tail, field, field}), false));
    stream->Append(true, Join({{0, 0, 1, 0xE0, 0, 0, 0x80, 0x00, 0}, field, field}));  // no time
    stream->Append(true, Pes(0xE0, 90000 + 9009, field, false));
    std::vector<std::pair<LONGLONG, size_t>> frames;  // start, size
    Mpeg2Frame frame;
    while (stream->GetFrame(frame, frames.size() >= 2)) {  // the end of the file ends the last
        EXPECT_TRUE(frame.timed);
        EXPECT_EQ(frame.sync, frames.empty());
        frames.push_back({frame.start, stream->TakeFrame().size()});
    }
    const std::vector<std::pair<LONGLONG, size_t>> expected = {
        {0, first.size() + tail.size()}, {333666, 2 * field.size()}, {2 * 333666, 2 * field.size()}, {9009 * 1000 / 9, field.size()}};
    EXPECT_EQ(frames, expected);
}

TEST(Mpeg2Streams, TheLastProgramOfThePatIsFollowedForLanguages)
{
    // PAT with programs 1 (PMT on 0x100) and 2 (PMT on 0x200); both PMTs list PID 0x300 with a
    // different language. MP2 on 0x300.
    std::vector<BYTE> file;
    const auto packet = [&](DWORD pid, bool unitStart, std::vector<BYTE> payload) {
        std::vector<BYTE> ts = {0x47, static_cast<BYTE>((unitStart ? 0x40 : 0) | (pid >> 8)), static_cast<BYTE>(pid), 0x10};
        payload.resize(184, 0xFF);
        ts.insert(ts.end(), payload.begin(), payload.end());
        file.insert(file.end(), ts.begin(), ts.end());
    };
    const auto pmt = [&](DWORD pid, DWORD program, const char* language) {
        packet(pid, true, {0x00, 0x02, 0xB0, 0x1C, 0x00, static_cast<BYTE>(program), 0xC1, 0x00, 0x00, 0xE3, 0x00, 0xF0, 0x00,
                           0x03, 0xE3, 0x00, 0xF0, 0x06, 0x0A, 0x04, static_cast<BYTE>(language[0]), static_cast<BYTE>(language[1]),
                           static_cast<BYTE>(language[2]), 0x00, 0, 0, 0, 0});
    };
    packet(0, true, {0x00, 0x00, 0xB0, 0x11, 0x00, 0x01, 0xC1, 0x00, 0x00, 0x00, 0x01, 0xE1, 0x00, 0x00, 0x02, 0xE2, 0x00, 0, 0, 0, 0});
    pmt(0x100, 1, "eng");
    pmt(0x200, 2, "deu");
    const std::vector<BYTE> frame = Join({{0xFF, 0xFD, 0xE4, 0xC4}, std::vector<BYTE>(150, 0x55)});
    for (int i = 0; i < 8; ++i)
        packet(0x300, true, Pes(0xC0, 90000 + i * 2160, frame, true));
    const std::filesystem::path path = std::filesystem::temp_directory_path() / "vmx-two-programs.ts";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    KMpeg2ReadHandler handler;
    ASSERT_EQ(handler.Open(WideFromUtf8(path.string()).c_str()), 0);
    ASSERT_EQ(handler.Streams().size(), 1u);
    EXPECT_EQ(handler.Streams()[0]->pid, 0x300u);
    EXPECT_EQ(handler.Streams()[0]->language, "deu");
    // The duration walks back from the packet before the last (the one whose following sync
    // byte can be checked): six frames of 24 ms after the first.
    EXPECT_EQ(handler.Duration(), 6 * 2160 * 1000 / 9);
    handler.Close();
    std::filesystem::remove(path);
}
