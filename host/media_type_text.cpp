#include "host/media_type_text.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cinttypes>
#include <cstdio>

#include "demux/mkv/mkv_media_types.h"
#include "demux/mp4/mp4_media_types.h"
#include "framework/module_subtypes.h"
#include "io/wide_text.h"
#include "io/byte_reader.h"

namespace vmx::host {

namespace {

struct NamedGuid {
    GUID guid;
    const char* name;
};

struct NamedTag {
    WORD tag;
    const char* name;
};

constexpr std::array<NamedGuid, 7> kMajorTypes = {{
    {MEDIATYPE_Video, "Video"},
    {MEDIATYPE_Audio, "Audio"},
    {MEDIATYPE_Text, "Text"},
    {MEDIATYPE_Stream, "Stream"},
    {MEDIATYPE_Subtitle, "Subtitle"},
    {MEDIATYPE_Midi, "Midi"},
    {MEDIATYPE_Interleaved, "Interleaved"},
}};

constexpr std::array<NamedGuid, 11> kFormatTypes = {{
    {GUID_NULL, "none"},
    {FORMAT_None, "None"},
    {FORMAT_WaveFormatEx, "WaveFormatEx"},
    {FORMAT_VideoInfo, "VideoInfo"},
    {FORMAT_VideoInfo2, "VideoInfo2"},
    {FORMAT_MPEGVideo, "MPEGVideo"},
    {FORMAT_MPEG2Video, "MPEG2Video"},
    {FORMAT_MPEGStreams, "MPEGStreams"},
    {FORMAT_Vorbis2, "Vorbis2"},
    {FORMAT_VorbisFormat, "VorbisFormat"},
    {FORMAT_SubtitleInfo, "SubtitleInfo"},
}};

// Subtypes not built from a four-character code: the MPEG families, uncompressed RGB, and the
// private ones of the module's demuxers.
constexpr std::array<NamedGuid, 36> kNamedSubtypes = {{
    {{0xe436eb80, 0x524f, 0x11ce, {0x9f, 0x53, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70}}, "MPEG1 Packet"},
    {MEDIASUBTYPE_Mpeg1Payload, "MPEG1 Payload"},
    {{0xe436eb86, 0x524f, 0x11ce, {0x9f, 0x53, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70}}, "MPEG1 Video"},
    {MEDIASUBTYPE_MPEG2_VIDEO, "MPEG2 Video"},
    {{0xe06d802b, 0xdb46, 0x11cf, {0xb4, 0xd1, 0x00, 0x80, 0x5f, 0x6c, 0xbb, 0xea}}, "MPEG2 Audio"},
    {MEDIASUBTYPE_DolbyAc3, "Dolby AC3"},
    {MEDIASUBTYPE_DvdLpcmAudio, "DVD LPCM Audio"},
    {MEDIASUBTYPE_DtsAudio, "DTS"},
    {MEDIASUBTYPE_DvdSubpicture, "DVD Subpicture"},
    {MEDIASUBTYPE_SubpictureKind2, "Subpicture (sub-streams 0x70-0x7F)"},
    {MEDIASUBTYPE_SubpictureKind3, "Subpicture (sub-streams 0x00-0x0F)"},
    {MEDIASUBTYPE_DolbyDigitalPlus, "Dolby Digital Plus"},
    {MEDIASUBTYPE_Qcelp, "QCELP"},
    {MEDIASUBTYPE_Evrc, "EVRC"},
    {MEDIASUBTYPE_RGB1, "RGB1"},
    {MEDIASUBTYPE_RGB4, "RGB4"},
    {MEDIASUBTYPE_RGB8, "RGB8"},
    {MEDIASUBTYPE_RGB565, "RGB565"},
    {MEDIASUBTYPE_RGB555, "RGB555"},
    {MEDIASUBTYPE_RGB24, "RGB24"},
    {MEDIASUBTYPE_RGB32, "RGB32"},
    {MEDIASUBTYPE_ARGB32, "ARGB32"},
    {MEDIASUBTYPE_Vorbis2, "Vorbis2"},
    {MEDIASUBTYPE_Vorbis, "Vorbis"},
    {MEDIASUBTYPE_FLAC_Framed, "FLAC framed"},
    {MEDIASUBTYPE_UTF8, "UTF-8 text"},
    {MEDIASUBTYPE_SSA, "SSA"},
    {MEDIASUBTYPE_ASS, "ASS"},
    {MEDIASUBTYPE_SSF, "SSF"},
    {MEDIASUBTYPE_USF, "USF"},
    {MEDIASUBTYPE_VOBSUB, "VobSub"},
    {MEDIASUBTYPE_KStream, "KStream"},
    {MEDIASUBTYPE_DolbyTrueHd, "Dolby TrueHD"},
    {MEDIASUBTYPE_WebVtt, "WebVTT"},
    {MEDIASUBTYPE_HdmvPgs, "HDMV PGS"},
    {GUID_NULL, "none"},
}};

constexpr std::array<NamedTag, 23> kWaveTags = {{
    {0x0001, "PCM"},
    {0x0002, "MS ADPCM"},
    {0x0003, "IEEE float"},
    {0x0006, "A-law"},
    {0x0007, "mu-law"},
    {0x0011, "IMA ADPCM"},
    {0x0050, "MPEG"},
    {0x0055, "MP3"},
    {0x00FF, "AAC"},
    {0x0160, "WMA1"},
    {0x0161, "WMA2"},
    {0x0162, "WMA Pro"},
    {0x0163, "WMA Lossless"},
    {0x2000, "AC3"},
    {0x2001, "DTS"},
    // The tags the FLV source gives its three Nellymoser sound formats.
    {0x3200, "Nellymoser 16 kHz"},
    // The extension codecs' tags, as Windows' headers give them.
    {0x6C61, "ALAC"},
    {0x704F, "Opus"},
    {0xA100, "Nellymoser 8 kHz"},
    {0xA109, "Speex"},
    {0xA200, "Nellymoser"},
    {0xF1AC, "FLAC"},
    {0xFFFE, "Extensible"},
}};

template <size_t N>
const char* FindName(const std::array<NamedGuid, N>& table, REFGUID guid)
{
    for (const NamedGuid& entry : table)
        if (entry.guid == guid)
            return entry.name;
    return nullptr;
}

std::string Printf(const char* format, auto... values)
{
    char text[128];
    int n = std::snprintf(text, sizeof text, format, values...);
    return std::string(text, n > 0 ? std::min<size_t>(static_cast<size_t>(n), sizeof text - 1) : 0);
}

std::string WaveTagText(WORD tag)
{
    for (const NamedTag& entry : kWaveTags)
        if (entry.tag == tag)
            return Printf("%s (0x%04X)", entry.name, tag);
    return Printf("wave format 0x%04X", tag);
}

// The XXXXXXXX-0000-0010-8000-00AA00389B71 family, whose first field is the code or tag.
bool IsFourccGuid(REFGUID guid)
{
    return guid == FourccGuid(guid.Data1);
}

// Stops a decoder at the first read that does not fit in the block.
#define READ_OR_STOP(read) \
    do {                   \
        if (!(read))       \
            return false;  \
    } while (0)

class FieldList {
public:
    explicit FieldList(std::vector<FormatField>& fields) : fields_(fields) {}
    void Add(const char* name, std::string value) { fields_.push_back({name, std::move(value)}); }
    void Add(const char* name, std::uint64_t value) { Add(name, std::to_string(value)); }
    void AddSigned(const char* name, std::int64_t value) { Add(name, std::to_string(value)); }
    void AddHex(const char* name, std::uint32_t value) { Add(name, Printf("0x%08X", value)); }
    void Warn(std::string text) { Add("warning", std::move(text)); }

private:
    std::vector<FormatField>& fields_;
};

// The bytes a structure's length field claims against what the block holds after it.
void CheckClaim(FieldList& fields, const char* what, std::uint64_t claimed, size_t present)
{
    if (claimed > present)
        fields.Warn(Printf("%s claims %" PRIu64 " bytes, %zu follow", what, claimed, present));
}

bool DecodeWaveFormat(KByteReader& reader, FieldList& fields)
{
    std::uint16_t tag, channels, blockAlign, bits, extraSize;
    std::uint32_t rate, avgBytes;
    READ_OR_STOP(reader.ReadLE2(&tag));
    fields.Add("format tag", WaveTagText(tag));
    READ_OR_STOP(reader.ReadLE2(&channels));
    fields.Add("channels", channels);
    READ_OR_STOP(reader.ReadLE4(&rate));
    fields.Add("sample rate", rate);
    READ_OR_STOP(reader.ReadLE4(&avgBytes));
    fields.Add("avg bytes/s", avgBytes);
    READ_OR_STOP(reader.ReadLE2(&blockAlign));
    fields.Add("block align", blockAlign);
    READ_OR_STOP(reader.ReadLE2(&bits));
    fields.Add("bits per sample", bits);
    READ_OR_STOP(reader.ReadLE2(&extraSize));
    fields.Add("cbSize", extraSize);
    const size_t present = reader.Remaining();
    fields.Add("extra bytes", present);
    CheckClaim(fields, "cbSize", extraSize, present);

    constexpr size_t kMpeg1Extra = sizeof(MPEG1WAVEFORMAT) - sizeof(WAVEFORMATEX);
    if (tag != WAVE_FORMAT_MPEG || extraSize < kMpeg1Extra || present < kMpeg1Extra)
        return true;
    std::uint16_t layer, mode, modeExtension, emphasis, flags;
    std::uint32_t bitrate, ptsLow, ptsHigh;
    READ_OR_STOP(reader.ReadLE2(&layer) && reader.ReadLE4(&bitrate) && reader.ReadLE2(&mode)
                 && reader.ReadLE2(&modeExtension) && reader.ReadLE2(&emphasis) && reader.ReadLE2(&flags)
                 && reader.ReadLE4(&ptsLow) && reader.ReadLE4(&ptsHigh));
    fields.Add("head layer", Printf("0x%04X", layer));
    fields.Add("head bitrate", bitrate);
    fields.Add("head mode", Printf("0x%04X", mode));
    fields.Add("head mode extension", Printf("0x%04X", modeExtension));
    fields.Add("head emphasis", emphasis);
    fields.Add("head flags", Printf("0x%04X", flags));
    fields.Add("PTS", (static_cast<std::uint64_t>(ptsHigh) << 32) | ptsLow);
    return true;
}

std::string CompressionText(std::uint32_t compression)
{
    if (compression == BI_RGB)
        return "BI_RGB (0)";
    if (compression == 3)
        return "BI_BITFIELDS (3)";
    return FourccText(compression);
}

// VIDEOINFOHEADER, or VIDEOINFOHEADER2 when second, up to the end of its BITMAPINFOHEADER.
bool DecodeVideoHeader(KByteReader& reader, FieldList& fields, bool second)
{
    std::uint32_t bitRate, bitErrorRate;
    std::uint64_t frameDuration;
    READ_OR_STOP(reader.Skip(2 * sizeof(RECT)));
    READ_OR_STOP(reader.ReadLE4(&bitRate) && reader.ReadLE4(&bitErrorRate));
    fields.Add("bit rate", bitRate);
    READ_OR_STOP(reader.ReadLE8(&frameDuration));
    const auto duration = static_cast<std::int64_t>(frameDuration);
    fields.AddSigned("frame duration", duration);
    fields.Add("fps", duration > 0 ? Printf("%.3f", 1e7 / static_cast<double>(duration)) : std::string("unknown"));
    if (second) {
        std::uint32_t interlace, copyProtect, aspectX, aspectY, control, reserved;
        READ_OR_STOP(reader.ReadLE4(&interlace) && reader.ReadLE4(&copyProtect));
        fields.AddHex("interlace flags", interlace);
        READ_OR_STOP(reader.ReadLE4(&aspectX) && reader.ReadLE4(&aspectY));
        fields.Add("aspect ratio", Printf("%u:%u", aspectX, aspectY));
        READ_OR_STOP(reader.ReadLE4(&control) && reader.ReadLE4(&reserved));
        fields.AddHex("control flags", control);
    }
    std::uint32_t headerSize, width, height, compression, imageSize;
    std::uint16_t planes, bitCount;
    READ_OR_STOP(reader.ReadLE4(&headerSize));
    READ_OR_STOP(reader.ReadLE4(&width));
    fields.AddSigned("width", static_cast<std::int32_t>(width));
    READ_OR_STOP(reader.ReadLE4(&height));
    fields.AddSigned("height", static_cast<std::int32_t>(height));
    READ_OR_STOP(reader.ReadLE2(&planes) && reader.ReadLE2(&bitCount));
    fields.Add("bit count", bitCount);
    READ_OR_STOP(reader.ReadLE4(&compression));
    fields.Add("compression", CompressionText(compression));
    READ_OR_STOP(reader.ReadLE4(&imageSize));
    fields.Add("image size", imageSize);
    // Pixels per metre and palette counts say nothing about a compressed stream.
    READ_OR_STOP(reader.Skip(4 * sizeof(std::uint32_t)));
    return true;
}

bool DecodeVideoFormat(KByteReader& reader, FieldList& fields, REFGUID formatType)
{
    const bool second = formatType == FORMAT_VideoInfo2 || formatType == FORMAT_MPEG2Video;
    READ_OR_STOP(DecodeVideoHeader(reader, fields, second));
    if (formatType == FORMAT_VideoInfo || formatType == FORMAT_VideoInfo2) {
        fields.Add("codec private bytes", reader.Remaining());
        return true;
    }
    std::uint32_t startTimeCode, sequenceHeaderSize;
    READ_OR_STOP(reader.ReadLE4(&startTimeCode));
    fields.AddHex("start time code", startTimeCode);
    READ_OR_STOP(reader.ReadLE4(&sequenceHeaderSize));
    if (second) {
        std::uint32_t profile, level, flags;
        READ_OR_STOP(reader.ReadLE4(&profile) && reader.ReadLE4(&level) && reader.ReadLE4(&flags));
        fields.Add("profile", profile);
        fields.Add("level", level);
        fields.AddHex("flags", flags);
    }
    fields.Add("sequence header bytes", sequenceHeaderSize);
    CheckClaim(fields, "cbSequenceHeader", sequenceHeaderSize, reader.Remaining());
    return true;
}

#undef READ_OR_STOP

// The size of the structure a format type names, for the truncation warning.
size_t StructureSize(REFGUID formatType)
{
    if (formatType == FORMAT_WaveFormatEx)
        return sizeof(WAVEFORMATEX);
    if (formatType == FORMAT_VideoInfo)
        return sizeof(VIDEOINFOHEADER);
    if (formatType == FORMAT_VideoInfo2)
        return sizeof(VIDEOINFOHEADER2);
    if (formatType == FORMAT_MPEGVideo)
        return offsetof(MPEG1VIDEOINFO, bSequenceHeader);
    if (formatType == FORMAT_MPEG2Video)
        return offsetof(MPEG2VIDEOINFO, dwSequenceHeader);
    return 0;
}

}  // namespace

std::string GuidText(REFGUID guid)
{
    WCHAR text[40];
    return StringFromGUID2(guid, text, 40) > 0 ? Utf8FromWide(text) : std::string();
}

std::string MajorTypeName(REFGUID majorType)
{
    const char* name = FindName(kMajorTypes, majorType);
    return name ? name : GuidText(majorType);
}

std::string SubtypeName(REFGUID subtype)
{
    if (const char* name = FindName(kNamedSubtypes, subtype))
        return name;
    if (!IsFourccGuid(subtype))
        return GuidText(subtype);
    if (subtype.Data1 <= 0xFFFF)
        return WaveTagText(static_cast<WORD>(subtype.Data1));
    return FourccText(subtype.Data1);
}

std::string FormatTypeName(REFGUID formatType)
{
    const char* name = FindName(kFormatTypes, formatType);
    return name ? name : GuidText(formatType);
}

std::string FourccText(DWORD fourcc)
{
    std::string text;
    for (int shift = 0; shift < 32; shift += 8) {
        const char c = static_cast<char>((fourcc >> shift) & 0xFF);
        if (c < 0x20 || c > 0x7E)
            return Printf("0x%08X", fourcc);
        text += c;
    }
    return text;
}

std::span<const BYTE> FormatBlock(const AM_MEDIA_TYPE& mt)
{
    if (!mt.pbFormat || mt.cbFormat == 0)
        return {};
    return std::span<const BYTE>(mt.pbFormat, mt.cbFormat);
}

std::vector<FormatField> FormatBlockFields(const AM_MEDIA_TYPE& mt)
{
    std::vector<FormatField> result;
    FieldList fields(result);
    const std::span<const BYTE> block = FormatBlock(mt);
    KByteReader reader(block);
    bool complete = true;
    if (mt.formattype == FORMAT_WaveFormatEx)
        complete = DecodeWaveFormat(reader, fields);
    else if (mt.formattype == FORMAT_VideoInfo || mt.formattype == FORMAT_VideoInfo2
             || mt.formattype == FORMAT_MPEGVideo || mt.formattype == FORMAT_MPEG2Video)
        complete = DecodeVideoFormat(reader, fields, mt.formattype);
    if (!complete)
        fields.Warn(Printf("the format block holds %zu bytes, %s needs %zu", block.size(),
                           FormatTypeName(mt.formattype).c_str(), StructureSize(mt.formattype)));
    return result;
}

std::vector<std::string> DescribeMediaType(const AM_MEDIA_TYPE& mt)
{
    std::vector<std::string> lines;
    lines.push_back(MajorTypeName(mt.majortype) + ", " + SubtypeName(mt.subtype));
    lines.push_back("format " + FormatTypeName(mt.formattype) + ", " + std::to_string(FormatBlock(mt).size())
                    + " bytes");
    lines.push_back(std::string("samples: ")
                    + (mt.bFixedSizeSamples ? "fixed size " + std::to_string(mt.lSampleSize) : std::string("variable size"))
                    + ", temporal compression " + (mt.bTemporalCompression ? "yes" : "no"));
    for (const FormatField& field : FormatBlockFields(mt))
        lines.push_back(field.name + ": " + field.value);
    return lines;
}

std::string HexBytes(std::span<const BYTE> bytes, std::string_view separator)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * (2 + separator.size()));
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0)
            text += separator;
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0xF];
    }
    return text;
}

}  // namespace vmx::host
