// The MPEG elementary-stream headers on bytes built field by field: what each parser accepts or
// refuses, and the rates, sizes and aspects the media types carry.
#include <gtest/gtest.h>

#include <cstring>

#include "demux/mpeg_es/mpeg_es_headers.h"
#include "demux/mpeg_es/mpeg_es_media_types.h"
#include "demux/mpeg_es/video_header_collector.h"
#include "framework/format_blocks.h"
#include "framework/module_subtypes.h"
#include "tests/bit_writer.h"

namespace {

using vmx::test::BitWriter;

struct SequenceFields {
    unsigned width = 720, height = 480, aspect = 3, rate = 4;
    bool extension = true;
    unsigned extensionMarker = 1, rateN = 0, rateD = 0;
};

std::vector<BYTE> Sequence(const SequenceFields& f)
{
    BitWriter w;
    w.U(32, 0x000001B3);
    w.U(12, f.width), w.U(12, f.height), w.U(4, f.aspect), w.U(4, f.rate);
    w.U(18, 20000), w.U(1, 1), w.U(10, 112), w.U(1, 0), w.U(1, 0), w.U(1, 0);
    if (f.extension) {
        w.U(32, 0x000001B5);
        w.U(4, 1), w.U(1, 0), w.U(3, 4), w.U(4, 8), w.U(1, 1), w.U(2, 1), w.U(2, 0), w.U(2, 0);
        w.U(12, 0), w.U(1, f.extensionMarker), w.U(8, 0), w.U(1, 0), w.U(2, f.rateN), w.U(5, f.rateD);
    }
    w.U(32, 0x00000100);  // a picture follows
    return w.Bytes();
}

template <typename Record>
Record FormatRecord(const CMediaType& type, size_t offset = 0)
{
    EXPECT_GE(type.FormatLength(), offset + sizeof(Record));
    return GetRecord<Record>(type.Format(), offset);
}

}  // namespace

TEST(MpegVideoSequence, FrameRatesAspectsAndTheExtension)
{
    struct Case {
        const char* what;
        SequenceFields fields;
        bool mpeg2;
        DWORD duration, aspectX, aspectY;
    } cases[] = {
        {"MPEG-2 at 30000/1001", {}, true, 333666, 16, 9},
        {"frame rate extension halves the period", {.rate = 4, .rateN = 1, .rateD = 0}, true, 166833, 16, 9},
        {"4:3 display", {.aspect = 2}, true, 333666, 4, 3},
        {"square pels keep the picture's own ratio", {.width = 352, .height = 288, .aspect = 1}, true, 333666, 11, 9},
        {"MPEG-1 SIF, square pels", {.width = 352, .height = 240, .aspect = 1, .rate = 3, .extension = false}, false, 400000, 22, 15},
        {"MPEG-1 pel aspect 0.6735", {.width = 352, .height = 288, .aspect = 2, .rate = 3, .extension = false}, false, 400000, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto seq = ParseMpegVideoSequence(Sequence(c.fields));
        ASSERT_TRUE(seq);
        EXPECT_EQ(seq->mpeg2, c.mpeg2);
        EXPECT_EQ(seq->width, c.fields.width);
        EXPECT_EQ(seq->frameDuration, c.duration);
        EXPECT_EQ(seq->bitRate, 20000u * 400);
        if (c.aspectX) {
            EXPECT_EQ(seq->aspectX, c.aspectX);
            EXPECT_EQ(seq->aspectY, c.aspectY);
        } else {
            // round(352 / 0.6735) = 523 : 288
            EXPECT_EQ(seq->aspectX, 523u);
            EXPECT_EQ(seq->aspectY, 288u);
        }
        EXPECT_EQ(seq->sequenceBytes.size(), c.mpeg2 ? 22u : 12u);
        const CMediaType type = MpegVideoMediaType(*seq);
        if (c.mpeg2) {
            EXPECT_EQ(*type.Subtype(), MEDIASUBTYPE_MPEG2_VIDEO);
            const auto info = FormatRecord<MPEG2VIDEOINFO>(type);
            EXPECT_EQ(info.hdr.AvgTimePerFrame, c.duration);
            EXPECT_EQ(info.hdr.dwPictAspectRatioX, c.aspectX);
            EXPECT_EQ(info.cbSequenceHeader, 22u);
            EXPECT_EQ(info.dwProfile, 4u);
            EXPECT_EQ(info.dwLevel, 8u);
            EXPECT_EQ(type.FormatLength(), kMpeg2VideoInfoHeaderSize + 22);
        } else {
            EXPECT_EQ(*type.Subtype(), MEDIASUBTYPE_Mpeg1Payload);
            EXPECT_EQ(*type.FormatType(), FORMAT_VideoInfo);
            const auto info = FormatRecord<VIDEOINFOHEADER>(type);
            EXPECT_EQ(info.bmiHeader.biXPelsPerMeter, static_cast<LONG>(c.fields.width * seq->aspectY));
            EXPECT_EQ(info.bmiHeader.biYPelsPerMeter, static_cast<LONG>(c.fields.height * seq->aspectX));
            EXPECT_EQ(GetRecord<DWORD>(type.Format(), offsetof(MPEG1VIDEOINFO, cbSequenceHeader)), 12u);
            EXPECT_EQ(type.FormatLength(), 96u + 12);
        }
    }
    // A zero marker in the sequence extension makes the stream unreadable.
    EXPECT_FALSE(ParseMpegVideoSequence(Sequence({.extensionMarker = 0})));
    // A header cut short by the end of the payload is refused, not read past it.
    std::vector<BYTE> cut = Sequence({});
    cut.resize(9);
    EXPECT_FALSE(ParseMpegVideoSequence(cut));
}

TEST(MpegAudioHeaders, AcceptedHeadersAndTheirFormats)
{
    // MPEG-1 Layer II, 384 kbit/s, 48 kHz, single channel, original, no CRC.
    const BYTE layer2[] = {0x12, 0xFF, 0xFD, 0xE4, 0xC4, 0x00};
    auto mpeg = ParseMpegAudioHeader(layer2);
    ASSERT_TRUE(mpeg);
    CMediaType type = MpegAudioMediaType(*mpeg);
    ASSERT_EQ(type.FormatLength(), sizeof(MPEG1WAVEFORMAT));
    const auto wave = FormatRecord<MPEG1WAVEFORMAT>(type);
    EXPECT_EQ(wave.wfx.wFormatTag, 0x50);
    EXPECT_EQ(wave.wfx.nChannels, 1);
    EXPECT_EQ(wave.wfx.nSamplesPerSec, 48000u);
    EXPECT_EQ(wave.wfx.nBlockAlign, 1152);
    EXPECT_EQ(wave.fwHeadLayer, 2);
    EXPECT_EQ(wave.fwHeadMode, 8);
    EXPECT_EQ(wave.fwHeadFlags, 4 | 16);
    // Layer III is the plain MP3 format; a reserved emphasis is refused.
    const BYTE layer3[] = {0xFF, 0xFB, 0x90, 0x44};
    type = MpegAudioMediaType(*ParseMpegAudioHeader(layer3));
    EXPECT_EQ(FormatRecord<WAVEFORMATEX>(type).wFormatTag, WAVE_FORMAT_MPEGLAYER3);
    EXPECT_EQ(type.FormatLength(), sizeof(WAVEFORMATEX));
    const BYTE reservedEmphasis[] = {0xFF, 0xFB, 0x90, 0x46};
    EXPECT_FALSE(ParseMpegAudioHeader(reservedEmphasis));

    // ADTS LC, 48 kHz, channel configuration 7: announced as stereo.
    const BYTE adts[] = {0xFF, 0xF1, 0x4D, 0xC0, 0x1B, 0x7F, 0xFC};
    const auto aac = ParseAdtsHeader(adts);
    ASSERT_TRUE(aac);
    EXPECT_EQ(aac->channelConfiguration, 7u);
    type = AdtsMediaType(*aac);
    const auto aacWave = FormatRecord<WAVEFORMATEX>(type);
    EXPECT_EQ(aacWave.nChannels, 2);
    EXPECT_EQ(aacWave.nBlockAlign, aac->frameLength);
    EXPECT_EQ(aacWave.cbSize, 2);
    const BYTE config[] = {0x11, 0x90};  // LC, 48 kHz, 2 channels
    EXPECT_EQ(std::memcmp(type.Format() + sizeof(WAVEFORMATEX), config, 2), 0);
}

TEST(MpegAudioHeaders, Ac3DtsAndLpcmRules)
{
    const auto ac3 = [](unsigned fscod, unsigned bsid, unsigned acmod, unsigned lfe) {
        BitWriter w;
        w.U(16, 0x0B77), w.U(16, 0), w.U(2, fscod), w.U(6, 20), w.U(5, bsid), w.U(3, 0), w.U(3, acmod);
        if ((acmod & 1) && acmod != 1)
            w.U(2, 0);
        if (acmod & 4)
            w.U(2, 0);
        if (acmod == 2)
            w.U(2, 0);
        w.U(1, lfe), w.U(16, 0);
        return ParseAc3Header(w.Bytes());
    };
    const auto half = ac3(0, 10, 2, 0);
    ASSERT_TRUE(half);
    EXPECT_EQ(Ac3SampleRate(*half), 12000u);  // bsid 10 quarters 48 kHz
    const auto surround = ac3(0, 8, 7, 1);
    ASSERT_TRUE(surround);
    const auto ac3Wave = FormatRecord<WAVEFORMATEX>(Ac3MediaType(*surround));
    EXPECT_EQ(ac3Wave.nChannels, 6);
    EXPECT_EQ(ac3Wave.nAvgBytesPerSec, 192000u / 8);
    EXPECT_EQ(ac3Wave.nBlockAlign, 768);
    EXPECT_FALSE(ac3(0, 16, 2, 0)) << "E-AC-3";
    EXPECT_FALSE(ac3(3, 8, 2, 0)) << "reserved sample rate";

    BitWriter dts;
    dts.U(32, 0x7FFE8001), dts.U(1, 1), dts.U(5, 31), dts.U(1, 0), dts.U(7, 15), dts.U(14, 1005), dts.U(6, 9),
        dts.U(4, 13), dts.U(5, 15), dts.U(16, 0);
    const auto dtsHeader = ParseDtsHeader(dts.Bytes());
    ASSERT_TRUE(dtsHeader);
    const auto dtsWave = FormatRecord<WAVEFORMATEX>(DtsMediaType(*dtsHeader));
    EXPECT_EQ(dtsWave.nAvgBytesPerSec, 94312u);  // 754500 / 8
    EXPECT_EQ(dtsWave.nChannels, 5);
    EXPECT_EQ(dtsWave.nSamplesPerSec, 48000u);
    EXPECT_EQ(dtsWave.nBlockAlign, 1006);

    const auto lpcm = [](unsigned channelField, unsigned reserved) {
        BitWriter w;
        w.U(2, 0), w.U(1, reserved), w.U(5, 12), w.U(2, 0), w.U(2, 2), w.U(1, 0), w.U(3, channelField), w.U(8, 0x80);
        return ParseLpcmHeader(w.Bytes());
    };
    const auto stereo = lpcm(1, 0);
    ASSERT_TRUE(stereo);
    const auto lpcmWave = FormatRecord<WAVEFORMATEX>(LpcmMediaType(*stereo));
    EXPECT_EQ(lpcmWave.nSamplesPerSec, 44100u);
    EXPECT_EQ(lpcmWave.nBlockAlign, 4);
    EXPECT_EQ(lpcmWave.nAvgBytesPerSec, 176400u);
    EXPECT_FALSE(lpcm(3, 0)) << "four channels";
    EXPECT_FALSE(lpcm(1, 1)) << "reserved bit";
}

TEST(MpegAudioHeaders, Eac3FramesAndWhatIsRefused)
{
    const auto eac3 = [](unsigned streamType, unsigned fscod, unsigned fscod2OrBlocks, unsigned acmod, unsigned bsid) {
        BitWriter w;
        w.U(16, 0x0B77), w.U(2, streamType), w.U(3, 0), w.U(11, 191), w.U(2, fscod), w.U(2, fscod2OrBlocks);
        w.U(3, acmod), w.U(1, 1), w.U(5, bsid), w.U(16, 0);
        return ParseEac3Header(w.Bytes());
    };
    const auto surround = eac3(0, 0, 3, 7, 16);
    ASSERT_TRUE(surround);
    EXPECT_EQ(surround->frameSize, 384u);
    EXPECT_EQ(surround->samplesPerFrame, 1536u);
    const auto wave = FormatRecord<WAVEFORMATEX>(Eac3MediaType(*surround));
    EXPECT_EQ(wave.nChannels, 6);
    EXPECT_EQ(wave.nSamplesPerSec, 48000u);
    EXPECT_EQ(wave.nAvgBytesPerSec, 12000u);  // 96 kbit/s
    const auto half = eac3(0, 3, 1, 2, 16);  // fscod 3: half of 44.1 kHz, six blocks
    ASSERT_TRUE(half);
    EXPECT_EQ(half->sampleRate, 22050u);
    EXPECT_EQ(half->samplesPerFrame, 1536u);
    EXPECT_EQ(eac3(0, 0, 0, 2, 16)->samplesPerFrame, 256u);
    EXPECT_FALSE(eac3(0, 0, 3, 2, 8)) << "AC-3";
    EXPECT_FALSE(eac3(1, 0, 3, 2, 16)) << "a dependent substream alone";
    EXPECT_FALSE(eac3(0, 3, 3, 2, 16)) << "reserved rate";
}

// An SPS of 1920x1088 coded, 8 lines cropped by the conformance window, behind `subLayers`
// sub-layers whose profile and level fields are skipped.
std::vector<BYTE> HevcSps(unsigned subLayers, unsigned chroma = 1)
{
    BitWriter w;
    w.U(16, 0x4201), w.U(4, 0), w.U(3, subLayers), w.U(1, 1);
    w.U(8, 0x01), w.U(32, 0x60000000), w.U(48, 0x900000000000ULL), w.U(8, 123);
    for (unsigned i = 0; i < subLayers; ++i)
        w.U(1, 1), w.U(1, 1);
    if (subLayers > 0)
        w.U(2 * (8 - subLayers), 0);
    for (unsigned i = 0; i < subLayers; ++i)
        w.U(32, 0xFFFFFFFF), w.U(32, 0xFFFFFFFF), w.U(24, 0xFFFFFF), w.U(8, 0xFF);
    w.UE(0), w.UE(chroma), w.UE(1920), w.UE(1088);
    w.U(1, 1), w.UE(0), w.UE(0), w.UE(0), w.UE(4);
    w.UE(2), w.UE(2);  // 10-bit
    return w.Nal();
}

std::vector<BYTE> AnnexB(std::initializer_list<std::vector<BYTE>> units)
{
    std::vector<BYTE> bytes;
    for (const auto& unit : units) {
        bytes.insert(bytes.end(), {0, 0, 0, 1});
        bytes.insert(bytes.end(), unit.begin(), unit.end());
    }
    return bytes;
}

TEST(MpegVideoSequence, HevcParameterSetsMakeTheConfigurationRecord)
{
    const std::vector<BYTE> vps = {0x40, 0x01, 0x0C, 0x01, 0xFF}, pps = {0x44, 0x01, 0xC1, 0x72};
    const std::vector<BYTE> delimiter = {0x46, 0x01, 0x50};
    for (unsigned subLayers : {0u, 2u}) {
        SCOPED_TRACE(subLayers);
        const std::vector<BYTE> sps = HevcSps(subLayers);
        const auto sets = ParseHevcParameterSets(AnnexB({delimiter, vps, sps, pps}));
        ASSERT_TRUE(sets);
        EXPECT_EQ(sets->width, 1920u);
        EXPECT_EQ(sets->height, 1080u);
        EXPECT_EQ(sets->profile, 1u);
        EXPECT_EQ(sets->level, 123u);
        const std::vector<BYTE>& record = sets->configuration;
        ASSERT_EQ(record.size(), 23 + 3 * 5 + vps.size() + sps.size() + pps.size());
        EXPECT_EQ(record[0], 1);
        EXPECT_EQ(record[12], 123);  // level after the profile, compatibility and constraint bytes
        EXPECT_EQ(record[16], 0xFC | 1);  // 4:2:0
        EXPECT_EQ(record[17], 0xF8 | 2);
        EXPECT_EQ(record[21], ((subLayers + 1) << 3) | 4 | 3);  // temporal layers, nested, 4-byte lengths
        EXPECT_EQ(record[22], 3);
        EXPECT_EQ(record[23], 32);
        EXPECT_TRUE(std::equal(sps.begin(), sps.end(), record.begin() + 23 + 5 + vps.size() + 5));
        const auto type = HevcMediaType(*sets);
        EXPECT_EQ(*type.Subtype(), MEDIASUBTYPE_HEVC);
        const auto info = FormatRecord<MPEG2VIDEOINFO>(type);
        EXPECT_EQ(info.cbSequenceHeader, record.size());
        EXPECT_EQ(info.dwFlags, 4u);
    }
    EXPECT_FALSE(ParseHevcParameterSets(AnnexB({vps, HevcSps(0)}))) << "no PPS";
    EXPECT_FALSE(ParseHevcParameterSets(AnnexB({vps, HevcSps(0, 4), pps}))) << "chroma format 4";
    EXPECT_FALSE(ParseHevcParameterSets(AnnexB({vps, HevcSps(7), pps}))) << "eight sub-layers";
    std::vector<BYTE> shortSps = HevcSps(0);
    shortSps.resize(10);
    EXPECT_FALSE(ParseHevcParameterSets(AnnexB({vps, shortSps, pps}))) << "cut inside the profile";
}

TEST(MpegVideoSequence, Vc1AdvancedProfileHeader)
{
    BitWriter w;
    w.U(32, 0x0000010F);
    w.U(2, 3), w.U(3, 1), w.U(2, 1), w.U(3, 7), w.U(5, 31), w.U(1, 0);
    w.U(12, 959), w.U(12, 539);  // 1920 x 1080
    w.U(4, 0), w.U(1, 0), w.U(1, 0);
    w.U(1, 1), w.U(14, 1919), w.U(14, 1079);  // display extension
    w.U(1, 1), w.U(4, 15), w.U(8, 1), w.U(8, 1);  // explicit aspect
    w.U(1, 1), w.U(1, 0), w.U(8, 2), w.U(4, 2);   // 25 / 1.001
    w.U(10, 0);  // to the byte boundary
    w.U(32, 0x0000010E), w.U(32, 0x12345678);  // entry point: part of the stored header
    w.U(32, 0x0000010D);                       // first frame: not
    const std::vector<BYTE> bytes = w.Bytes();
    const auto seq = ParseVc1Sequence(bytes);
    ASSERT_TRUE(seq);
    EXPECT_EQ(seq->codedWidth, 1920u);
    EXPECT_EQ(seq->codedHeight, 1080u);
    EXPECT_EQ(seq->frameDuration, 400400);
    EXPECT_EQ(seq->header.size(), bytes.size() - 4);
    const CMediaType type = Vc1MediaType(*seq);
    EXPECT_EQ(type.FormatLength(), sizeof(VIDEOINFOHEADER) + 1 + seq->header.size());
    EXPECT_EQ(FormatRecord<VIDEOINFOHEADER>(type).rcSource.right, 1920);
    // Simple and main profiles have no sequence header in the stream.
    std::vector<BYTE> main = bytes;
    main[4] &= 0x3F;
    EXPECT_FALSE(ParseVc1Sequence(main));
}

TEST(VideoHeaderCollector, AUnitIsHandedBackWhenTakenOrAtTheLimitAndNotCollectedAfter)
{
    KVideoHeaderCollector collector;
    const std::vector<BYTE> head = {0, 0, 0, 1, 9, 0xF0}, more(1000, 0xAB);
    collector.Begin(0x100, 0xE0, 900, head);
    EXPECT_FALSE(collector.Continue(0x100, more));
    EXPECT_FALSE(collector.Continue(0x101, more));  // another PID, never begun
    EXPECT_FALSE(collector.Collecting(0x101));
    const auto unit = collector.Take(0x100);
    ASSERT_TRUE(unit);
    EXPECT_EQ(unit->streamId, 0xE0);
    EXPECT_EQ(unit->pts, 900);
    EXPECT_EQ(unit->bytes.size(), head.size() + more.size());
    EXPECT_FALSE(collector.Collecting(0x100));

    // A unit runs to the limit at most; once there it is handed back and collecting stops.
    collector.Begin(0x100, 0xE0, -1, head);
    std::optional<KCollectedVideo> full;
    size_t appended = 0;
    while (!full && appended < 2 * KVideoHeaderCollector::kLimit) {
        full = collector.Continue(0x100, more);
        appended += more.size();
    }
    ASSERT_TRUE(full);
    EXPECT_EQ(full->bytes.size(), KVideoHeaderCollector::kLimit);
    EXPECT_TRUE(std::equal(head.begin(), head.end(), full->bytes.begin()));
    EXPECT_FALSE(collector.Continue(0x100, more));
    collector.Begin(0x1E0, 0xE0, -1, head);
    collector.Begin(0x1E1, 0xE1, -1, head);
    EXPECT_EQ(collector.TakeAll().size(), 2u);
    EXPECT_FALSE(collector.Collecting(0x1E0));
}
