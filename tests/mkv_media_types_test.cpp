// The media types and pin names a Matroska track gets, built from track records set up here:
// the codec tables, the format blocks field by field, frame duration, display aspect, and the
// limits on short or broken codec private data.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "demux/mkv/mkv_media_types.h"
#include "io/audio_config.h"

namespace {

using Bytes = std::vector<BYTE>;

template <typename Record>
Record FormatAs(const CMediaType& type, size_t offset = 0)
{
    Record record{};
    EXPECT_GE(type.FormatLength(), offset + sizeof record);
    if (type.FormatLength() >= offset + sizeof record)
        std::memcpy(&record, type.Format() + offset, sizeof record);
    return record;
}

Bytes FormatTail(const CMediaType& type, size_t offset)
{
    return Bytes(type.Format() + offset, type.Format() + type.FormatLength());
}

KMkvTrackEntry Track(std::uint64_t type, const char* codecId, Bytes codecPrivate = {})
{
    KMkvTrackEntry track;
    track.trackType.value = type;
    track.codecId = codecId;
    track.codecPrivate = std::move(codecPrivate);
    return track;
}

KMkvTrackEntry Video(const char* codecId, Bytes codecPrivate = {}, std::uint64_t width = 320, std::uint64_t height = 240)
{
    KMkvTrackEntry track = Track(mkv_track_type::kVideo, codecId, std::move(codecPrivate));
    track.video.pixelWidth.value = width;
    track.video.pixelHeight.value = height;
    return track;
}

KMkvTrackEntry Audio(const char* codecId, Bytes codecPrivate = {}, double rate = 44100.0, std::uint64_t channels = 2,
                     std::uint64_t bitDepth = 16)
{
    KMkvTrackEntry track = Track(mkv_track_type::kAudio, codecId, std::move(codecPrivate));
    track.audio.samplingFrequency.value = rate;
    track.audio.channels.value = channels;
    track.audio.bitDepth.value = bitDepth;
    return track;
}

KMkvTrackTypes Build(KMkvTrackEntry track)
{
    KMkvTrackCounters counters;
    return BuildTrackTypes(track, counters);
}

Bytes Bitmap(DWORD compression, WORD bitCount, Bytes extra = {})
{
    BITMAPINFOHEADER bitmap{};
    bitmap.biSize = static_cast<DWORD>(sizeof bitmap + extra.size());
    bitmap.biWidth = 320;
    bitmap.biHeight = 240;
    bitmap.biPlanes = 1;
    bitmap.biBitCount = bitCount;
    bitmap.biCompression = compression;
    Bytes out(sizeof bitmap + extra.size());
    std::memcpy(out.data(), &bitmap, sizeof bitmap);
    if (!extra.empty())
        std::memcpy(out.data() + sizeof bitmap, extra.data(), extra.size());
    return out;
}

// An AVC configuration record: version, profile, compatibility, level, length size 4, one SPS,
// one PPS.
Bytes AvcConfig(const Bytes& sps, const Bytes& pps)
{
    Bytes out = {1, 0x64, 0x00, 0x1F, 0xFF, 0xE1, static_cast<BYTE>(sps.size() >> 8), static_cast<BYTE>(sps.size())};
    out.insert(out.end(), sps.begin(), sps.end());
    out.push_back(1);
    out.push_back(static_cast<BYTE>(pps.size() >> 8));
    out.push_back(static_cast<BYTE>(pps.size()));
    out.insert(out.end(), pps.begin(), pps.end());
    return out;
}

Bytes ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(MkvVideoTypes, VfwTracksTakeTheStoredBitmapHeaderAndItsSubtype)
{
    struct Case {
        DWORD compression;
        WORD bitCount;
        GUID subtype;
    };
    const Case cases[] = {
        {MakeFourcc('X', 'V', 'I', 'D'), 12, FourccGuid(MakeFourcc('X', 'V', 'I', 'D'))},
        {0, 24, MEDIASUBTYPE_RGB24},
        {3, 16, MEDIASUBTYPE_RGB565},
        {0, 32, MEDIASUBTYPE_ARGB32},
        {0, 8, MEDIASUBTYPE_RGB8},
        {0, 12, GUID_NULL},
    };
    for (const Case& c : cases) {
        const Bytes stored = Bitmap(c.compression, c.bitCount, {1, 2, 3});
        const auto offer = Build(Video("V_MS/VFW/FOURCC", stored));
        ASSERT_EQ(offer.types.size(), 1u);
        const CMediaType& type = offer.types[0];
        EXPECT_EQ(*type.Subtype(), c.subtype) << c.compression << "/" << c.bitCount;
        EXPECT_EQ(*type.FormatType(), FORMAT_VideoInfo);
        EXPECT_EQ(FormatTail(type, 48), stored);
        EXPECT_EQ(FormatAs<VIDEOINFOHEADER>(type).rcSource.right, 0);
    }
    // Too short to hold a bitmap header: no type, so no pin.
    EXPECT_TRUE(Build(Video("V_MS/VFW/FOURCC", Bytes(39, 0))).types.empty());
}

TEST(MkvVideoTypes, AvcConfigurationBecomesTheSequenceHeader)
{
    const Bytes sps = {0x67, 0x64, 0x00, 0x1F, 0xAC};
    const Bytes pps = {0x68, 0xEE, 0x3C};
    auto offer = Build(Video("V_MPEG4/ISO/AVC", AvcConfig(sps, pps), 1280, 720));
    ASSERT_EQ(offer.types.size(), 1u);
    const CMediaType& type = offer.types[0];
    EXPECT_EQ(*type.Subtype(), FourccGuid(MakeFourcc('A', 'V', 'C', '1')));
    EXPECT_EQ(*type.FormatType(), FORMAT_MPEG2Video);
    const auto info = FormatAs<MPEG2VIDEOINFO>(type);
    EXPECT_EQ(info.hdr.bmiHeader.biSize, 40u);
    EXPECT_EQ(info.hdr.bmiHeader.biWidth, 1280);
    EXPECT_EQ(info.hdr.bmiHeader.biHeight, 720);
    EXPECT_EQ(info.hdr.bmiHeader.biCompression, MakeFourcc('A', 'V', 'C', '1'));
    EXPECT_EQ(info.hdr.bmiHeader.biPlanes, 1);
    EXPECT_EQ(info.hdr.bmiHeader.biBitCount, 24);
    EXPECT_EQ(info.dwProfile, 0x64u);
    EXPECT_EQ(info.dwLevel, 0x1Fu);
    EXPECT_EQ(info.dwFlags, 4u);
    const Bytes expected = {0, 5, 0x67, 0x64, 0x00, 0x1F, 0xAC, 0, 3, 0x68, 0xEE, 0x3C};
    EXPECT_EQ(info.cbSequenceHeader, expected.size());
    EXPECT_EQ(FormatTail(type, offsetof(MPEG2VIDEOINFO, dwSequenceHeader)), expected);

    // Under six bytes: no type but not malformed (the track stays registered).
    offer = Build(Video("V_MPEG4/ISO/AVC", {1, 0x64, 0, 0x1F, 0xFF}));
    EXPECT_TRUE(offer.types.empty());
    EXPECT_FALSE(offer.malformed);

    // A parameter set that claims more than the record holds, or a missing PPS count: malformed.
    Bytes cut = AvcConfig(sps, pps);
    cut[7] = 50;
    EXPECT_TRUE(Build(Video("V_MPEG4/ISO/AVC", cut)).malformed);
    Bytes noPpsCount = AvcConfig(sps, pps);
    noPpsCount.resize(8 + sps.size());
    EXPECT_TRUE(Build(Video("V_MPEG4/ISO/AVC", noPpsCount)).malformed);
}

TEST(MkvVideoTypes, FrameDurationComesFromRateThenDefaultDurationThenTheSps)
{
    auto withRate = Video("V_VP8");
    withRate.video.frameRate.value = 25.0;
    withRate.defaultDuration.value = 41708333;
    EXPECT_EQ(FormatAs<VIDEOINFOHEADER>(Build(withRate).types[0]).AvgTimePerFrame, 400000);

    auto withDefault = Video("V_VP8");
    withDefault.defaultDuration.value = 41708333;
    EXPECT_EQ(FormatAs<VIDEOINFOHEADER>(Build(withDefault).types[0]).AvgTimePerFrame, 417083);

    // x264 writes time_scale 50 and num_units_in_tick 1 without the fixed-rate flag; the rule
    // for a variable rate divides by 25 ticks per frame, not 2: 2 frames per second.
    const Bytes sps = ReadFile(std::string(VMX_FIXTURES) + "/h264/baseline-640x480-l30-25.sps");
    ASSERT_FALSE(sps.empty());
    KMkvTrackEntry avc = Video("V_MPEG4/ISO/AVC", AvcConfig(sps, {0x68, 0xCE, 0x38, 0x80}));
    KMkvTrackCounters counters;
    const auto offer = BuildTrackTypes(avc, counters);
    ASSERT_EQ(offer.types.size(), 1u);
    EXPECT_EQ(FormatAs<MPEG2VIDEOINFO>(offer.types[0]).hdr.AvgTimePerFrame, 5000000);
    EXPECT_TRUE(avc.video.frameRateDerived);
    EXPECT_DOUBLE_EQ(avc.video.frameRate.value, 2.0);

    // Nothing to go by: no duration.
    EXPECT_EQ(FormatAs<VIDEOINFOHEADER>(Build(Video("V_VP8")).types[0]).AvgTimePerFrame, 0);
}

TEST(MkvVideoTypes, DisplayAspectAddsAVideoInfo2TypeOrFillsMpeg2VideoInfo)
{
    auto vfw = Video("V_MS/VFW/FOURCC", Bitmap(MakeFourcc('D', 'I', 'V', 'X'), 24));
    vfw.video.displayWidth.value = 16;
    vfw.video.displayHeight.value = 9;
    vfw.defaultDuration.value = 40000000;
    const auto offer = Build(vfw);
    ASSERT_EQ(offer.types.size(), 2u);
    EXPECT_EQ(*offer.types[0].FormatType(), FORMAT_VideoInfo2);
    EXPECT_EQ(*offer.types[1].FormatType(), FORMAT_VideoInfo);
    const auto info2 = FormatAs<VIDEOINFOHEADER2>(offer.types[0]);
    EXPECT_EQ(info2.dwPictAspectRatioX, 16u);
    EXPECT_EQ(info2.dwPictAspectRatioY, 9u);
    EXPECT_EQ(info2.AvgTimePerFrame, 400000);
    EXPECT_EQ(info2.dwInterlaceFlags, 0u);
    EXPECT_EQ(FormatTail(offer.types[0], 72), FormatTail(offer.types[1], 48));
    EXPECT_EQ(*offer.types[0].Subtype(), *offer.types[1].Subtype());

    auto mp4v = Video("V_MPEG4/ISO/ASP", {0, 0, 1, 0xB0, 1});
    mp4v.video.displayWidth.value = 4;
    mp4v.video.displayHeight.value = 3;
    const auto mpeg2 = Build(mp4v);
    ASSERT_EQ(mpeg2.types.size(), 1u);
    const auto info = FormatAs<MPEG2VIDEOINFO>(mpeg2.types[0]);
    EXPECT_EQ(info.hdr.dwPictAspectRatioX, 4u);
    EXPECT_EQ(info.hdr.dwPictAspectRatioY, 3u);
    EXPECT_EQ(info.hdr.bmiHeader.biCompression, MakeFourcc('M', 'P', '4', 'V'));
    EXPECT_EQ(info.cbSequenceHeader, 5u);

    // Without codec data the block ends before the sequence header: only the aspect is written
    // (ASan saw the whole record copied in and out of the 132 bytes).
    auto bare = Video("V_MPEG4/ISO/ASP", {});
    bare.video.displayWidth.value = 16;
    bare.video.displayHeight.value = 9;
    const auto plain = Build(bare);
    ASSERT_EQ(plain.types.size(), 1u);
    ASSERT_EQ(plain.types[0].FormatLength(), offsetof(MPEG2VIDEOINFO, dwSequenceHeader));
    const auto header = FormatAs<VIDEOINFOHEADER2>(plain.types[0]);
    EXPECT_EQ(header.dwPictAspectRatioX, 16u);
    EXPECT_EQ(header.dwPictAspectRatioY, 9u);
}

TEST(MkvVideoTypes, Mpeg2ProfileAndLevelComeFromTheSequenceExtension)
{
    struct Case {
        Bytes header;
        DWORD profile;
        DWORD level;
    };
    const Case cases[] = {
        // Main profile at main level (codes 4 and 8) are 2 and 2 in the platform's numbering.
        {{0, 0, 1, 0xB3, 0x14, 0x00, 0, 0, 1, 0xB5, 0x14, 0x8A, 0, 1, 0, 0}, 2, 2},
        // High profile at high level (codes 1 and 4) are 5 and 4.
        {{0, 0, 1, 0xB5, 0x11, 0x4A, 0, 1, 0}, 5, 4},
        // A picture coding extension (0x8_) is not a sequence extension.
        {{0, 0, 1, 0xB5, 0x84, 0x8A, 0, 1, 0}, 0, 0},
        // The scan stops six bytes before the end.
        {{0, 0, 1, 0xB5, 0x14, 0x8A}, 0, 0},
    };
    for (const Case& c : cases) {
        const auto offer = Build(Video("V_MPEG2", c.header));
        ASSERT_EQ(offer.types.size(), 1u);
        EXPECT_EQ(*offer.types[0].Subtype(), MEDIASUBTYPE_MPEG2_VIDEO);
        const auto info = FormatAs<MPEG2VIDEOINFO>(offer.types[0]);
        EXPECT_EQ(info.dwProfile, c.profile);
        EXPECT_EQ(info.dwLevel, c.level);
        EXPECT_EQ(FormatTail(offer.types[0], offsetof(MPEG2VIDEOINFO, dwSequenceHeader)), c.header);
    }
}

TEST(MkvVideoTypes, TheoraGeometryRateAndAspectComeFromTheIdentificationHeader)
{
    // Xiph lacing (count, two sizes) and then "\x80theora", version, macroblock counts, picture
    // size, offsets, frame rate 30000/1001 and aspect 1:1.
    Bytes priv = {2, 42, 1, 0x80, 't', 'h', 'e', 'o', 'r', 'a', 3, 2, 1,
                  0x00, 0x14, 0x00, 0x0F,        // bytes 13..16: 20 x 15 macroblocks, read as LE >> 4
                  0x00, 0x01, 0x40, 0x00, 0x00, 0xF0,  // bytes 17..22: picture width 320, height 240
                  0, 0,                          // offsets
                  0x00, 0x00, 0x75, 0x30,        // bytes 25..28: 30000
                  0x00, 0x00, 0x03, 0xE9};       // bytes 29..32: 1001
    const auto offer = Build(Video("V_THEORA", priv));
    ASSERT_EQ(offer.types.size(), 1u);
    const CMediaType& type = offer.types[0];
    EXPECT_FALSE(type.IsFixedSize());
    const auto info = FormatAs<MPEG2VIDEOINFO>(type);
    EXPECT_EQ(info.hdr.bmiHeader.biWidth, (0x00 + 256 * 0x14) >> 4);
    EXPECT_EQ(info.hdr.bmiHeader.biHeight, (0x00 + 256 * 0x0F) >> 4);
    EXPECT_EQ(info.hdr.AvgTimePerFrame, 333666);
    EXPECT_EQ(info.hdr.dwPictAspectRatioX, 0x000140u);
    EXPECT_EQ(info.hdr.dwPictAspectRatioY, 0x0000F0u);
    EXPECT_EQ(info.cbSequenceHeader, priv.size());
    // A header too short for the fixed offsets gives no type.
    priv.resize(32);
    EXPECT_TRUE(Build(Video("V_THEORA", priv)).types.empty());
}

TEST(MkvVideoTypes, RealVideoAndVp8CarryABareBitmapHeaderAndThePrivateData)
{
    struct Case {
        const char* codecId;
        DWORD code;
    };
    const Case cases[] = {{"V_REAL/RV40", MakeFourcc('R', 'V', '4', '0')},
                          {"V_REAL/RV", MakeFourcc('R', 'V', '\0', '0')},
                          {"V_VP8", MakeFourcc('V', 'P', '8', '0')}};
    for (const Case& c : cases) {
        const auto offer = Build(Video(c.codecId, {9, 8, 7}));
        ASSERT_EQ(offer.types.size(), 1u) << c.codecId;
        EXPECT_EQ(*offer.types[0].Subtype(), FourccGuid(c.code));
        // Size, geometry and compression only: no planes, no bit count, nothing else.
        BITMAPINFOHEADER expected{};
        expected.biSize = 40;
        expected.biWidth = 320;
        expected.biHeight = 240;
        expected.biCompression = c.code;
        const auto bitmap = FormatAs<VIDEOINFOHEADER>(offer.types[0]).bmiHeader;
        EXPECT_EQ(bitmap.biPlanes, 0) << c.codecId;
        EXPECT_EQ(bitmap.biBitCount, 0) << c.codecId;
        EXPECT_EQ(std::memcmp(&bitmap, &expected, sizeof expected), 0) << c.codecId;
        EXPECT_EQ(FormatTail(offer.types[0], sizeof(VIDEOINFOHEADER)), (Bytes{9, 8, 7}));
    }
    EXPECT_TRUE(Build(Video("V_UNCOMPRESSED")).types.empty());
    EXPECT_TRUE(Build(Video("V_AV1")).types.empty());
}

TEST(MkvAudioTypes, TableCodecsGetTheirFormatTag)
{
    struct Case {
        const char* codecId;
        WORD tag;
        bool appendsPrivate;
    };
    const Case cases[] = {{"A_MPEG/L3", 0x55, false},   {"A_MPEG/L2", 0x50, false},      {"A_AC3", 0x2000, false},
                          {"A_EAC3", 0x2000, false},    {"A_DTS", 0x2001, false},        {"A_PCM/INT/LIT", 1, false},
                          {"A_PCM/FLOAT/IEEE", 3, false}, {"A_TTA1", 0x77A1, false},     {"A_AAC", 0xFF, true},
                          {"A_FLAC", 0xF1AC, true}};
    const Bytes priv = {0x12, 0x10};
    for (const Case& c : cases) {
        const auto offer = Build(Audio(c.codecId, priv, 48000.0, 6, 24));
        ASSERT_FALSE(offer.types.empty()) << c.codecId;
        const CMediaType& type = offer.types.back();
        EXPECT_EQ(*type.Type(), MEDIATYPE_Audio);
        EXPECT_EQ(*type.Subtype(), FourccGuid(c.tag)) << c.codecId;
        EXPECT_EQ(type.GetSampleSize(), 256000u);
        const auto format = FormatAs<WAVEFORMATEX>(type);
        EXPECT_EQ(format.wFormatTag, c.tag);
        EXPECT_EQ(format.nChannels, 6);
        EXPECT_EQ(format.nSamplesPerSec, 48000u);
        EXPECT_EQ(format.wBitsPerSample, 24);
        EXPECT_EQ(format.nBlockAlign, 18);
        EXPECT_EQ(format.nAvgBytesPerSec, 18u * 48000u);
        EXPECT_EQ(format.cbSize, c.appendsPrivate ? 2 : 0);
        EXPECT_EQ(type.FormatLength(), 18u + (c.appendsPrivate ? 2u : 0u));
    }
    const auto flac = Build(Audio("A_FLAC", priv));
    ASSERT_EQ(flac.types.size(), 2u);
    EXPECT_EQ(*flac.types[0].Subtype(), MEDIASUBTYPE_FLAC_Framed);
    EXPECT_TRUE(FormatTail(flac.types[0], 0) == FormatTail(flac.types[1], 0));
    EXPECT_TRUE(Build(Audio("A_OPUS", priv)).types.empty());
}

TEST(MkvAudioTypes, AacProfileSuffixesWriteTheAudioSpecificConfig)
{
    struct Case {
        const char* codecId;
        int profile;
    };
    const Case cases[] = {{"A_AAC/MPEG4/LC", 1},  {"A_AAC/MPEG2/MAIN", 0}, {"A_AAC/MPEG4/SSR", 2},
                          {"A_AAC/MPEG4/LTP", 3}, {"A_AAC/MPEG4/XYZ", 1}};
    for (const Case& c : cases) {
        const auto offer = Build(Audio(c.codecId, {}, 22050.0, 2));
        ASSERT_EQ(offer.types.size(), 1u) << c.codecId;
        BYTE config[5] = {};
        ASSERT_EQ(WriteAudioSpecificConfig(config, c.profile, 22050, 2), 2);
        EXPECT_EQ(FormatAs<WAVEFORMATEX>(offer.types[0]).cbSize, 2);
        EXPECT_EQ(offer.types[0].FormatLength(), 23u);
        EXPECT_EQ(Bytes(offer.types[0].Format() + 18, offer.types[0].Format() + 20), Bytes(config, config + 2)) << c.codecId;
    }

    // "/SBR" is found before "/LC": the preferred type runs at twice the rate with all five bytes.
    const auto sbr = Build(Audio("A_AAC/MPEG4/LC/SBR", {}, 22050.0, 2));
    ASSERT_EQ(sbr.types.size(), 2u);
    const auto doubled = FormatAs<WAVEFORMATEX>(sbr.types[0]);
    const auto plain = FormatAs<WAVEFORMATEX>(sbr.types[1]);
    EXPECT_EQ(doubled.nSamplesPerSec, 44100u);
    EXPECT_EQ(doubled.nAvgBytesPerSec, 2 * plain.nAvgBytesPerSec);
    EXPECT_EQ(doubled.cbSize, 5);
    EXPECT_EQ(plain.nSamplesPerSec, 22050u);
    EXPECT_EQ(plain.cbSize, 2);
    BYTE config[5] = {};
    ASSERT_EQ(WriteAudioSpecificConfig(config, -1, 22050, 2), 5);
    EXPECT_EQ(FormatTail(sbr.types[0], 18), Bytes(config, config + 5));
}

TEST(MkvAudioTypes, VorbisOffersTheHeaderTypeOnlyWithThreeHeaders)
{
    // Xiph lacing: count 2 (three headers), sizes 300 (255 + 45) and 4, the last takes the rest.
    Bytes priv = {2, 255, 45, 4};
    for (int i = 0; i < 300; ++i)
        priv.push_back(static_cast<BYTE>(i));
    priv.insert(priv.end(), {0xA, 0xB, 0xC, 0xD, 0xE, 0xF});
    const auto offer = Build(Audio("A_VORBIS", priv, 44100.0, 2, 0));
    ASSERT_EQ(offer.types.size(), 2u);
    EXPECT_EQ(*offer.types[0].Subtype(), MEDIASUBTYPE_Vorbis2);
    EXPECT_EQ(*offer.types[0].FormatType(), FORMAT_Vorbis2);
    const CMediaType& headers = offer.types[0];
    ASSERT_EQ(headers.FormatLength(), 24u + 306u);
    const auto* fields = headers.Format();
    std::uint32_t values[6];
    std::memcpy(values, fields, sizeof values);
    EXPECT_EQ(values[0], 2u);
    EXPECT_EQ(values[1], 44100u);
    EXPECT_EQ(values[3], 300u);
    EXPECT_EQ(values[4], 4u);
    EXPECT_EQ(values[5], 2u);
    EXPECT_EQ(FormatTail(headers, 24), Bytes(priv.begin() + 4, priv.end()));

    const CMediaType& format = offer.types[1];
    EXPECT_EQ(*format.Subtype(), MEDIASUBTYPE_Vorbis);
    EXPECT_EQ(*format.FormatType(), FORMAT_VorbisFormat);
    const Bytes expected = {2, 0, 0, 0, 0x44, 0xAC, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF,
                            0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
    EXPECT_EQ(FormatTail(format, 0), expected);

    // Two headers, or lace sizes that run past the data: only the second type.
    EXPECT_EQ(Build(Audio("A_VORBIS", {1, 2, 7, 7, 7})).types.size(), 1u);
    EXPECT_EQ(Build(Audio("A_VORBIS", {2, 255, 255, 255})).types.size(), 1u);
    EXPECT_EQ(Build(Audio("A_VORBIS")).types.size(), 1u);
}

TEST(MkvAudioTypes, AcmAndRealAudioTakeTheirBlockFromThePrivateData)
{
    WAVEFORMATEX stored{};
    stored.wFormatTag = 0x0161;
    stored.nChannels = 2;
    stored.cbSize = 2;
    Bytes extended(sizeof stored);
    std::memcpy(extended.data(), &stored, sizeof stored);
    extended.insert(extended.end(), {0x33, 0x44});
    // A 16-byte WAVEFORMAT (no cbSize) of PCM.
    const Bytes plain = {0x01, 0x00, 0x02, 0x00, 0x44, 0xAC, 0, 0, 0x10, 0xB1, 0x02, 0, 0x04, 0x00, 0x10, 0x00};
    struct Case {
        Bytes priv;
        WORD tag;  // 0: no type
    };
    const Case cases[] = {
        {extended, 0x0161},
        {plain, 0x0001},
        {{0x62, 0x01, 0x02}, 0x0162},
        {{0x61, 0x01}, 0x0161},
        {{0x61}, 0},  // no whole format tag
        {{}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.priv.size());
        const auto acm = Build(Audio("A_MS/ACM", c.priv));
        if (c.tag == 0) {
            EXPECT_TRUE(acm.types.empty());
            continue;
        }
        ASSERT_EQ(acm.types.size(), 1u);
        EXPECT_EQ(*acm.types[0].Subtype(), FourccGuid(c.tag));
        EXPECT_EQ(*acm.types[0].FormatType(), FORMAT_WaveFormatEx);
        EXPECT_EQ(FormatTail(acm.types[0], 0), c.priv);
    }

    const auto cook = Build(Audio("A_REAL/COOK", {5, 6}));
    ASSERT_EQ(cook.types.size(), 1u);
    EXPECT_EQ(*cook.types[0].Subtype(), FourccGuid(MakeFourcc('C', 'O', 'O', 'K')));
    EXPECT_TRUE(cook.types[0].IsTemporalCompressed());
    const auto format = FormatAs<WAVEFORMATEX>(cook.types[0]);
    EXPECT_EQ(format.wFormatTag, 0);
    EXPECT_EQ(format.cbSize, 0);
    EXPECT_EQ(FormatTail(cook.types[0], 18), (Bytes{5, 6}));
    EXPECT_TRUE(Build(Audio("A_REAL/CO")).types.empty());
}

TEST(MkvSubtitleTypes, TextTracksCarryLanguageNameAndPrivateData)
{
    auto ass = Track(mkv_track_type::kSubtitle, "S_TEXT/ASS", {'[', 'S', ']'});
    ass.language = "jpn";
    ass.name = WSTR("Signs");
    const auto offer = Build(ass);
    ASSERT_EQ(offer.types.size(), 1u);
    const CMediaType& type = offer.types[0];
    EXPECT_EQ(*type.Type(), MEDIATYPE_Subtitle);
    EXPECT_EQ(*type.Subtype(), MEDIASUBTYPE_ASS);
    EXPECT_EQ(*type.FormatType(), FORMAT_SubtitleInfo);
    const auto info = FormatAs<SUBTITLEINFO>(type);
    EXPECT_EQ(info.dwOffset, 520u);
    EXPECT_EQ(std::string(info.IsoLang, 4), std::string("jpn\0", 4));
    EXPECT_EQ(WString(info.TrackName), WSTR("Signs"));
    EXPECT_EQ(FormatTail(type, 520), (Bytes{'[', 'S', ']'}));

    // A name longer than the field keeps 255 units and its terminating NUL.
    auto longName = Track(mkv_track_type::kSubtitle, "S_TEXT/UTF8");
    longName.name = WString(300, u'x');
    EXPECT_EQ(WString(FormatAs<SUBTITLEINFO>(Build(longName).types[0]).TrackName).size(), 255u);

    const auto ascii = Build(Track(mkv_track_type::kSubtitle, "S_TEXT/ASCII"));
    ASSERT_EQ(ascii.types.size(), 1u);
    EXPECT_EQ(*ascii.types[0].Type(), MEDIATYPE_Text);
    EXPECT_EQ(*ascii.types[0].FormatType(), FORMAT_None);
    EXPECT_EQ(ascii.types[0].FormatLength(), 0u);

    EXPECT_EQ(*Build(Track(mkv_track_type::kSubtitle, "S_SSA")).types[0].Subtype(), MEDIASUBTYPE_SSA);
    EXPECT_EQ(*Build(Track(mkv_track_type::kSubtitle, "S_VOBSUB")).types[0].Subtype(), MEDIASUBTYPE_VOBSUB);
    EXPECT_TRUE(Build(Track(mkv_track_type::kSubtitle, "S_HDMV/PGS")).types.empty());
    EXPECT_TRUE(Build(Track(0x20, "S_TEXT/UTF8")).types.empty());
}

TEST(MkvPinNames, LanguageNameAndNumberPerKind)
{
    KMkvTrackCounters counters;
    auto first = Audio("A_AC3");
    auto second = Audio("A_AC3");
    second.language = "jpn";
    second.name = WSTR("Commentary");
    auto subtitle = Track(mkv_track_type::kSubtitle, "S_TEXT/UTF8");
    subtitle.language = "spa";
    auto unsupported = Video("V_AV1");
    auto video = Video("V_VP8");
    video.language = "JPN";
    auto german = Track(mkv_track_type::kSubtitle, "S_TEXT/UTF8");
    german.language = "deu";
    auto norwegian = Audio("A_AC3");
    norwegian.language = "nob";
    EXPECT_EQ(BuildTrackTypes(first, counters).pinName, WSTR("English (Audio 1)"));
    EXPECT_EQ(BuildTrackTypes(second, counters).pinName, WSTR("Japanese, Commentary (Audio 2)"));
    EXPECT_EQ(BuildTrackTypes(subtitle, counters).pinName, WSTR("Spanish (Subtitle 1)"));
    // The video counter counts tracks without a type too.
    BuildTrackTypes(unsupported, counters);
    EXPECT_EQ(BuildTrackTypes(video, counters).pinName, WSTR("Japanese (Video 2)"));
    // The terminology code has no name in the table.
    EXPECT_EQ(BuildTrackTypes(german, counters).pinName, WSTR(" (Subtitle 2)"));
    // The UTF-8 name arrives as UTF-16: one code unit U+00E5 for the "å".
    const WString bokmal = BuildTrackTypes(norwegian, counters).pinName;
    EXPECT_EQ(bokmal, WSTR("Bokm\u00E5l, Norwegian (Audio 3)"));
    ASSERT_GT(bokmal.size(), 4u);
    EXPECT_EQ(static_cast<std::uint32_t>(bokmal[4]), 0xE5u);
}

}  // namespace
