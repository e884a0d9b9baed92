// Ogg stream kinds on packets written here: classification, OGM stream headers and length
// bytes, comment languages, and the time arithmetic of Theora and OGM streams.
#include <gtest/gtest.h>

#include <cstring>

#include "demux/ogg/ogg_chapters.h"
#include "demux/ogg/ogg_ds_samples.h"
#include "demux/ogg/ogg_read_stream.h"

namespace {

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values)
{
    std::vector<std::uint8_t> bytes;
    for (int v : values)
        bytes.push_back(static_cast<std::uint8_t>(v));
    return bytes;
}

std::vector<std::uint8_t> Text(std::uint8_t first, std::string_view text)
{
    std::vector<std::uint8_t> bytes{first};
    bytes.insert(bytes.end(), text.begin(), text.end());
    return bytes;
}

// A Vorbis comment header without its framing bit: vendor "vendor", the count, then each
// comment behind its 32-bit length.
std::vector<std::uint8_t> VorbisComment(const std::vector<std::string_view>& comments)
{
    std::vector<std::uint8_t> comment = Text(0x03, "vorbis");
    const auto append32 = [&](std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            comment.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    const auto appendText = [&](std::string_view s) {
        append32(static_cast<std::uint32_t>(s.size()));
        comment.insert(comment.end(), s.begin(), s.end());
    };
    appendText("vendor");
    append32(static_cast<std::uint32_t>(comments.size()));
    for (std::string_view text : comments)
        appendText(text);
    return comment;
}

void PutLE(std::vector<std::uint8_t>& bytes, size_t at, std::uint64_t value, int width)
{
    for (int i = 0; i < width; ++i)
        bytes[at + static_cast<size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
}

// The first packet of an OGM stream: 0x01 and the 56-byte stream header.
std::vector<std::uint8_t> OgmHeader(std::string_view type, std::string_view subtype, std::int64_t timeUnit, std::int64_t samplesPerUnit,
                                    std::uint32_t defaultLength)
{
    std::vector<std::uint8_t> packet(57, 0);
    packet[0] = 1;
    std::memcpy(packet.data() + 1, type.data(), type.size());
    std::memcpy(packet.data() + 9, subtype.data(), subtype.size());
    PutLE(packet, 13, 56, 4);
    PutLE(packet, 17, static_cast<std::uint64_t>(timeUnit), 8);
    PutLE(packet, 25, static_cast<std::uint64_t>(samplesPerUnit), 8);
    PutLE(packet, 33, defaultLength, 4);
    return packet;
}

OggPacket Packet(std::vector<std::uint8_t>& bytes, ogg_int64_t granule = -1, bool bos = false)
{
    OggPacket packet;
    packet.packet = bytes.data();
    packet.bytes = static_cast<long>(bytes.size());
    packet.granulepos = granule;
    packet.b_o_s = bos;
    return packet;
}

}  // namespace

TEST(OggStreams, KindsLengthBytesAndLanguages)
{
    EXPECT_EQ(ClassifyOggPacket(Text(0x80, "theora")), OggStreamKind::Theora);
    EXPECT_EQ(ClassifyOggPacket(Text(0x01, "vorbis")), OggStreamKind::Vorbis);
    EXPECT_EQ(ClassifyOggPacket(Text(0x03, "vorbis")), OggStreamKind::Vorbis);
    EXPECT_EQ(ClassifyOggPacket(Text(0x01, "video\0\0\0")), OggStreamKind::OgmVideo);
    EXPECT_EQ(ClassifyOggPacket(Text(0x01, "audio")), OggStreamKind::OgmAudio);
    EXPECT_EQ(ClassifyOggPacket(Text(0x01, "text")), OggStreamKind::OgmText);
    EXPECT_EQ(ClassifyOggPacket(Text(0x01, "KStream")), OggStreamKind::KStream);
    EXPECT_EQ(ClassifyOggPacket(Text(0x7F, "FLAC")), OggStreamKind::NotHeader);
    EXPECT_EQ(ClassifyOggPacket(Text(0x4F, "pusHead")), OggStreamKind::NotHeader);
    EXPECT_EQ(ClassifyOggPacket(Text(0x01, "vorbi")), OggStreamKind::NotHeader);  // too short

    // Length bytes: bits 6-7 count 0 to 3, bit 1 adds 4; the value is little-endian.
    EXPECT_EQ(OgmLengthBytes(0x00), 0u);
    EXPECT_EQ(OgmLengthBytes(0x48), 1u);
    EXPECT_EQ(OgmLengthBytes(0x88), 2u);
    EXPECT_EQ(OgmLengthBytes(0xC2), 7u);
    EXPECT_EQ(OgmLengthValue(Bytes({0x88, 0xF4, 0x01, 0x55}), 2), 500u);
    EXPECT_EQ(OgmLengthValue(Bytes({0x88, 0xF4}), 2), 0xF4u);  // cut short: what is there

    // The first LANGUAGE comment, the tag in any case; a comment cut short has none.
    std::vector<std::uint8_t> comment = VorbisComment({"TITLE=x", "language=fre", "LANGUAGE=eng"});
    EXPECT_EQ(OggCommentLanguage(comment), "fre");

    // Pins: the language follows the kind's name, but for video.
    auto video = KOGG2ReadStream::Create(OggStreamKind::OgmVideo, 1);
    auto audio = KOGG2ReadStream::Create(OggStreamKind::OgmAudio, 2);
    std::vector<std::uint8_t> videoHeader = OgmHeader("video", "DIVX", 400000, 1, 1);
    std::vector<std::uint8_t> audioHeader = OgmHeader("audio", "0055", 10000000, 44100, 1);
    ASSERT_TRUE(video->ParseHeader(Packet(videoHeader, 0, true)));
    ASSERT_TRUE(video->ParseHeader(Packet(comment)));
    ASSERT_TRUE(audio->ParseHeader(Packet(audioHeader, 0, true)));
    ASSERT_TRUE(audio->ParseHeader(Packet(comment)));
    EXPECT_EQ(OggPinName(*video, MEDIATYPE_Video), "Video");
    EXPECT_EQ(OggPinName(*audio, MEDIATYPE_Audio), "Audio / fre");

    comment.resize(comment.size() - 20);
    EXPECT_EQ(OggCommentLanguage(comment), "");
}

// Opus, FLAC and Speex carry the same comment behind signatures of their own ("OpusTags", the
// metadata block's header, none): each pin is named with its language as Vorbis's is.
TEST(OggStreams, ExtensionKindsTakeTheLanguageOfTheirComment)
{
    const std::vector<std::uint8_t> vorbis = VorbisComment({"TITLE=x", "LANGUAGE=fre"});
    const std::vector<std::uint8_t> body(vorbis.begin() + 7, vorbis.end());  // past "\x03vorbis"
    const auto behind = [&](std::vector<std::uint8_t> signature) {
        signature.insert(signature.end(), body.begin(), body.end());
        return signature;
    };

    std::vector<std::uint8_t> opusHead = Text('O', "pusHead");
    opusHead.resize(19);
    opusHead[8] = 1;  // version
    opusHead[9] = 2;  // channels
    PutLE(opusHead, 12, 48000, 4);
    std::vector<std::uint8_t> flacFirst = Text(0x7F, "FLAC");
    flacFirst.insert(flacFirst.end(), {1, 0, 0, 1, 'f', 'L', 'a', 'C', 0x80, 0, 0, 34});
    flacFirst.resize(17 + 34);
    flacFirst[17 + 10] = 0x0A, flacFirst[17 + 11] = 0xC4, flacFirst[17 + 12] = 0x42;  // 44100 Hz, stereo, 16 bits
    flacFirst[17 + 13] = 0xF0;
    std::vector<std::uint8_t> speexHead = Text('S', "peex   ");
    speexHead.resize(80);
    PutLE(speexHead, 36, 16000, 4), PutLE(speexHead, 48, 1, 4), PutLE(speexHead, 56, 320, 4), PutLE(speexHead, 64, 1, 4);

    struct {
        OggStreamKind kind;
        std::vector<std::uint8_t> first;
        std::vector<std::uint8_t> comment;
    } cases[] = {
        {OggStreamKind::Opus, opusHead, behind({'O', 'p', 'u', 's', 'T', 'a', 'g', 's'})},
        {OggStreamKind::Flac, flacFirst, behind({0x84, 0, 0, static_cast<std::uint8_t>(body.size())})},
        {OggStreamKind::Speex, speexHead, body},
    };
    for (auto& c : cases) {
        auto stream = KOGG2ReadStream::Create(c.kind, 7);
        ASSERT_TRUE(stream->ParseHeader(Packet(c.first, 0, true))) << int(c.kind);
        ASSERT_TRUE(stream->ParseHeader(Packet(c.comment))) << int(c.kind);
        EXPECT_EQ(OggPinName(*stream, MEDIATYPE_Audio), "Audio / fre") << int(c.kind);
    }
}

TEST(OggStreams, OgmHeadersAndTimesAtPacketStarts)
{
    // Audio: 44.1 kHz, time in 100 ns units of whole seconds over samples; packets 1152
    // samples long by their length bytes, the page granule the last packet's start.
    auto audio = KOGG2ReadStream::Create(OggStreamKind::OgmAudio, 7);
    std::vector<std::uint8_t> header = OgmHeader("audio", "0055", 10000000, 44100, 1);
    ASSERT_TRUE(audio->ParseHeader(Packet(header, 0, true)));
    EXPECT_EQ(audio->MissingHeaders(), 0u);
    std::vector<std::uint8_t> frame = Bytes({0x88, 0x80, 0x04, 0xFF, 0xFB});
    EXPECT_EQ(audio->DataOffset(Packet(frame)), 3u);
    EXPECT_EQ(audio->SampleStart(Packet(frame)), 0);
    EXPECT_EQ(audio->SampleStart(Packet(frame)), 261224);  // 1152 / 44100 s, to the nearest
    EXPECT_EQ(audio->SampleStart(Packet(frame, 2304)), 522449);
    EXPECT_EQ(audio->SampleStart(Packet(frame)), 783673);
    EXPECT_EQ(audio->TimeOfGranule(44100), 10000000);
    // After a seek the position is found back from the first granule.
    audio->Reset();
    audio->PacketTime(Packet(frame, 4608));
    for (int i = 0; i < 3; ++i)
        audio->StepBack(Packet(frame));
    EXPECT_EQ(audio->SampleStart(Packet(frame)), audio->TimeOfGranule(2304));
    EXPECT_EQ(audio->SampleStart(Packet(frame)), audio->TimeOfGranule(3456));
    EXPECT_EQ(audio->SampleStart(Packet(frame, 4608)), audio->TimeOfGranule(4608));
    CMediaType type;
    ASSERT_TRUE(audio->GetMediaType(&type));
    EXPECT_EQ(*type.Subtype(), FourccGuid(0x55));

    // Audio with no samples per unit has no timing: refused.
    std::vector<std::uint8_t> timeless = OgmHeader("audio", "0001", 10000000, 0, 1);
    EXPECT_FALSE(KOGG2ReadStream::Create(OggStreamKind::OgmAudio, 8)->ParseHeader(Packet(timeless, 0, true)));

    // Text: its length bytes give the duration, in media times too.
    auto text = KOGG2ReadStream::Create(OggStreamKind::OgmText, 9);
    std::vector<std::uint8_t> textHeader = OgmHeader("text", "", 10000, 1, 1);
    ASSERT_TRUE(text->ParseHeader(Packet(textHeader, 0, true)));
    std::vector<std::uint8_t> cue = Bytes({0x88, 0xE8, 0x03, 'h', 'i'});
    const OggPacket cuePacket = Packet(cue, 500);
    EXPECT_EQ(text->SampleStart(cuePacket), 5000000);
    EXPECT_EQ(text->SampleStop(cuePacket), 15000000);
    EXPECT_EQ(text->MediaStart(cuePacket), 500);
    EXPECT_EQ(text->MediaStop(cuePacket), 1500);
    std::vector<std::uint8_t> bare = Bytes({0x00, 'x'});
    const REFERENCE_TIME bareStart = text->SampleStart(Packet(bare, 2000));
    EXPECT_EQ(text->SampleStop(Packet(bare, 2000)), bareStart);  // no length bytes: no duration
}

TEST(OggStreams, TheoraFramesByVersionAndKeyFrames)
{
    // An identification header: 160x120, 25 fps, key-frame shift 6, version 3.2.REVISION.
    const auto identification = [](int revision) {
        std::vector<std::uint8_t> bytes = Text(0x80, "theora");
        bytes.resize(42, 0);
        bytes[7] = 3;
        bytes[8] = 2;
        bytes[9] = static_cast<std::uint8_t>(revision);
        bytes[16] = 160;
        bytes[19] = 120;
        bytes[25] = 25;  // FRN
        bytes[29] = 1;   // FRD
        bytes[40] = 0;
        bytes[41] = 6 << 5;
        return bytes;
    };
    for (int revision : {0, 1}) {
        SCOPED_TRACE(revision);
        auto theora = KOGG2ReadStream::Create(OggStreamKind::Theora, 1);
        std::vector<std::uint8_t> id = identification(revision);
        std::vector<std::uint8_t> comment = Text(0x81, "theora");
        std::vector<std::uint8_t> setup = Text(0x82, "theora");
        ASSERT_TRUE(theora->ParseHeader(Packet(id, 0, true)));
        EXPECT_EQ(theora->MissingHeaders(), 6u);
        ASSERT_TRUE(theora->ParseHeader(Packet(comment)));
        ASSERT_TRUE(theora->ParseHeader(Packet(setup)));
        EXPECT_EQ(theora->MissingHeaders(), 0u);
        EXPECT_FALSE(theora->ParseHeader(Packet(setup)));  // three at most
        // Frame 0 is granule 0|1 from 3.2.1 on, 0|0 before: both start at 0.
        std::vector<std::uint8_t> key = Bytes({0x00, 0x11});
        std::vector<std::uint8_t> delta = Bytes({0x40, 0x11});
        EXPECT_TRUE(theora->IsKeyFrame(Packet(key)));
        EXPECT_FALSE(theora->IsKeyFrame(Packet(delta)));
        EXPECT_EQ(theora->SampleStart(Packet(key, revision)), 0);
        EXPECT_EQ(theora->SampleStart(Packet(delta)), 400000);
        // Key frame 64 and two frames after it.
        EXPECT_EQ(theora->SampleStart(Packet(delta, (64 << 6 | 2) + revision)), 66 * 400000);
        EXPECT_EQ(theora->TimeOfGranule(1), 400000);
        EXPECT_EQ(theora->TimeOfGranule(-1), KOGG2ReadStream::kNoTime);
        CMediaType type;
        ASSERT_TRUE(theora->GetMediaType(&type));
        const auto* info = reinterpret_cast<const VIDEOINFOHEADER*>(type.Format());
        EXPECT_EQ(info->bmiHeader.biWidth, 160);
        EXPECT_EQ(info->AvgTimePerFrame, 400000);
        // The three headers follow the bitmap header, each behind a 16-bit length.
        EXPECT_EQ(type.FormatLength(), sizeof(VIDEOINFOHEADER) + 6 + id.size() + comment.size() + setup.size());
        EXPECT_EQ(info->bmiHeader.biSize, 40 + 6 + id.size() + comment.size() + setup.size());
    }
}

TEST(OggChapters, CommentTagsGiveNumberedChapters)
{
    const std::vector<std::string_view> entries = {
        "CHAPTER02=00:01:02.5",            // a short fraction: 62.5 s
        "TITLE=x",
        "CHAPTER01=00:00:00.000",
        "chapter01name=Intro",             // tags in any case
        "CHAPTER02NAME=Schlu\xc3\x9f",
        "CHAPTER03NAME=a title, no time",  // no chapter
        "CHAPTER04=00:61:00.000",          // no time
        "CHAPTER10=100:00:00",             // no fraction, long hours
        "CHAPTER01=00:00:09.000",          // the first time counts
        "CHAPTERX=00:00:01.000",
    };
    std::vector<std::uint8_t> comment = VorbisComment(entries);
    comment.push_back(1);  // the framing bit
    const auto chapters = ParseOggChapters(comment);
    ASSERT_EQ(chapters.size(), 3u);
    EXPECT_EQ(chapters[0].number, 1);
    EXPECT_EQ(chapters[0].start, 0);
    EXPECT_EQ(chapters[0].title, "Intro");
    EXPECT_EQ(chapters[1].start, 625000000);
    EXPECT_EQ(chapters[1].title, "Schlu\xc3\x9f");
    EXPECT_EQ(chapters[2].number, 10);
    EXPECT_EQ(chapters[2].start, 360000LL * 10000000);
    EXPECT_EQ(chapters[2].title, "");
    // A comment cut short keeps what came before the cut.
    EXPECT_EQ(ParseOggChapters(std::span(comment).first(comment.size() - 120)).size(), 2u);
}

TEST(OggDirectShowSamples, TheHeaderCarriesAWholeMediaType)
{
    // 0x01, the signature, 16 unused bytes, the 32-bit AM_MEDIA_TYPE, then the format block.
    std::vector<std::uint8_t> packet = Text(0x01, "Direct Show Samples embedded in Ogg");
    packet.resize(124 + sizeof(VIDEOINFOHEADER), 0);
    const auto putGuid = [&](size_t at, const GUID& guid) {
        PutLE(packet, at, guid.Data1, 4);
        PutLE(packet, at + 4, guid.Data2, 2);
        PutLE(packet, at + 6, guid.Data3, 2);
        std::memcpy(packet.data() + at + 8, guid.Data4, 8);
    };
    putGuid(52, MEDIATYPE_Video);
    putGuid(68, FourccGuid(MakeFourcc('X', 'V', 'I', 'D')));
    PutLE(packet, 84, 0, 4);  // variable-size samples
    PutLE(packet, 88, 1, 4);  // temporal compression
    putGuid(96, FORMAT_VideoInfo);
    PutLE(packet, 116, sizeof(VIDEOINFOHEADER), 4);
    PutLE(packet, 124 + offsetof(VIDEOINFOHEADER, AvgTimePerFrame), 400000, 8);
    PutLE(packet, 124 + offsetof(VIDEOINFOHEADER, bmiHeader) + offsetof(BITMAPINFOHEADER, biWidth), 320, 4);

    ASSERT_TRUE(IsDirectShowSamplesHeader(packet));
    const auto type = ParseDirectShowSamplesHeader(packet);
    ASSERT_TRUE(type);
    EXPECT_EQ(*type->Type(), MEDIATYPE_Video);
    EXPECT_EQ(*type->Subtype(), FourccGuid(MakeFourcc('X', 'V', 'I', 'D')));
    EXPECT_EQ(*type->FormatType(), FORMAT_VideoInfo);
    EXPECT_TRUE(type->IsTemporalCompressed());
    EXPECT_FALSE(type->IsFixedSize());
    ASSERT_EQ(type->FormatLength(), sizeof(VIDEOINFOHEADER));
    const auto* info = reinterpret_cast<const VIDEOINFOHEADER*>(type->Format());
    EXPECT_EQ(info->AvgTimePerFrame, 400000);
    EXPECT_EQ(info->bmiHeader.biWidth, 320);
    // A format block longer than the packet, or a packet cut short of the fields: no type.
    PutLE(packet, 116, sizeof(VIDEOINFOHEADER) + 1, 4);
    EXPECT_FALSE(ParseDirectShowSamplesHeader(packet));
    EXPECT_FALSE(ParseDirectShowSamplesHeader(std::span(packet).first(100)));
    EXPECT_FALSE(IsDirectShowSamplesHeader(Text(0x01, "Direct Show Samples")));
}
