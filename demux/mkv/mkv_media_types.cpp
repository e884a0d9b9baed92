#include "demux/mkv/mkv_media_types.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <limits>
#include <span>
#include <string_view>

#include "demux/mkv/mkv_languages.h"
#include "framework/format_blocks.h"
#include "io/audio_config.h"
#include "io/avc_read.h"
#include "io/byte_reader.h"
#include "io/wide_text.h"

namespace {

using Bytes = FormatBytes;

constexpr size_t kAvgTimePerFrameOffset = offsetof(VIDEOINFOHEADER, AvgTimePerFrame);
static_assert(kAvgTimePerFrameOffset == offsetof(VIDEOINFOHEADER2, AvgTimePerFrame));

// Float fields come from the file: a negative, huge or NaN value must not reach an integer
// conversion, which would be undefined. Truncates toward zero like a plain conversion.
template <typename Integer>
Integer Truncate(double value)
{
    if (!(value > 0.0))
        return 0;
    if (value >= static_cast<double>(std::numeric_limits<Integer>::max()))
        return std::numeric_limits<Integer>::max();
    return static_cast<Integer>(value);
}

// Size, pixel geometry and compression; planes, bit count and the rest stay 0.
BITMAPINFOHEADER Bitmap(const KMkvVideo& video, DWORD compression)
{
    BITMAPINFOHEADER bitmap{};
    bitmap.biSize = sizeof(BITMAPINFOHEADER);
    bitmap.biWidth = static_cast<LONG>(video.pixelWidth.value);
    bitmap.biHeight = static_cast<LONG>(video.pixelHeight.value);
    bitmap.biCompression = compression;
    return bitmap;
}

// The AVC, MPEG-4 and Theora headers also claim one plane of 24 bits.
BITMAPINFOHEADER Bitmap24(const KMkvVideo& video, DWORD compression)
{
    BITMAPINFOHEADER bitmap = Bitmap(video, compression);
    bitmap.biPlanes = 1;
    bitmap.biBitCount = 24;
    return bitmap;
}

// MPEG2VIDEOINFO with the given bitmap header and sequence header bytes behind it.
GUID RgbSubtype(WORD bitCount)
{
    switch (bitCount) {
    case 1: return MEDIASUBTYPE_RGB1;
    case 4: return MEDIASUBTYPE_RGB4;
    case 8: return MEDIASUBTYPE_RGB8;
    case 16: return MEDIASUBTYPE_RGB565;
    case 24: return MEDIASUBTYPE_RGB24;
    case 32: return MEDIASUBTYPE_ARGB32;
    default: return GUID_NULL;
    }
}

// Profile and level of an MPEG-2 sequence extension inside the sequence header bytes.
void Mpeg2ProfileAndLevel(std::span<const BYTE> header, DWORD& profile, DWORD& level)
{
    static constexpr DWORD kProfiles[8] = {0, 5, 4, 3, 2, 1, 0, 0};
    static constexpr DWORD kLevels[16] = {0, 0, 0, 0, 4, 0, 3, 0, 2, 0, 1, 0, 0, 0, 0, 0};
    profile = level = 0;
    for (size_t i = 0; i + 6 < header.size(); ++i) {
        if (header[i] == 0 && header[i + 1] == 0 && header[i + 2] == 1 && header[i + 3] == 0xB5 &&
            (header[i + 4] & 0xF0) == 0x10) {
            profile = kProfiles[header[i + 4] & 7];
            level = kLevels[header[i + 5] >> 4];
            return;
        }
    }
}

// The SPS and PPS units of an AVC configuration record, each behind its 16-bit length. False
// when a length runs past the record.
bool AvcParameterSets(std::span<const BYTE> config, Bytes& blob)
{
    KByteReader reader(config);
    BYTE count = 0;
    if (!reader.Skip(5) || !reader.Read1(&count))
        return false;
    for (int kind = 0; kind < 2; ++kind) {
        if (kind == 1 && !reader.Read1(&count))
            return false;
        const int units = kind == 0 ? (count & 0x1F) : count;
        for (int i = 0; i < units; ++i) {
            std::uint16_t length = 0;
            std::span<const BYTE> unit;
            if (!reader.ReadBE2(&length) || !reader.ReadBytes(length, &unit))
                return false;
            blob.push_back(static_cast<BYTE>(length >> 8));
            blob.push_back(static_cast<BYTE>(length));
            AppendBytes(blob, unit);
        }
    }
    return true;
}

// The frame rate the SPS units of an AVC configuration carry (0 when none has timing).
double AvcFrameRate(std::span<const BYTE> config)
{
    KByteReader reader(config);
    BYTE spsCount = 0;
    if (!reader.Skip(5) || !reader.Read1(&spsCount))
        return 0.0;
    AvcSpsInfo sps{};
    bool parsed = false;
    for (int i = 0; i < (spsCount & 0x1F); ++i) {
        std::uint16_t length = 0;
        std::span<const BYTE> unit;
        if (!reader.ReadBE2(&length) || !reader.ReadBytes(length, &unit))
            break;
        if (unit.empty())
            continue;
        sps = AvcSpsInfo{};
        CAvcRead avc(unit);
        avc.SkipBits(8);
        avc.ParseSPS(&sps);
        parsed = true;
    }
    const std::uint32_t ticks = sps.vui.num_units_in_tick;
    if (!parsed || ticks == 0)
        return 0.0;
    const float divisor = static_cast<float>(ticks) * (sps.vui.fixed_frame_rate_flag ? 2.0f : 25.0f);
    return static_cast<float>(sps.vui.time_scale) / divisor;
}

// The video types of a track, or false when its AVC configuration is malformed.
bool AddVideoTypes(const KMkvTrackEntry& track, const CMediaType& base, std::vector<CMediaType>& types)
{
    const std::string& codec = track.codecId;
    const std::span<const BYTE> priv(track.codecPrivate);
    const KMkvVideo& video = track.video;

    if (codec == "V_MS/VFW/FOURCC") {
        // The stored bitmap header must be whole: downstream reads all of it.
        if (priv.size() < sizeof(BITMAPINFOHEADER))
            return true;
        const auto stored = GetRecord<BITMAPINFOHEADER>(priv.data(), 0);
        GUID subtype = FourccGuid(stored.biCompression);
        if (stored.biCompression == 0 || stored.biCompression == 3)
            subtype = RgbSubtype(stored.biBitCount);
        Bytes block(kVideoInfoHeaderSize);
        AppendBytes(block, priv);
        types.push_back(MakeMediaType(base, subtype, FORMAT_VideoInfo, block));
    } else if (codec == "V_MPEG4/ISO/AVC") {
        if (priv.size() < 6)
            return true;
        Bytes blob;
        if (!AvcParameterSets(priv, blob))
            return false;
        const DWORD avc1 = MakeFourcc('A', 'V', 'C', '1');
        const Bytes block = Mpeg2VideoInfoBlock(Bitmap24(video, avc1), blob, priv[1], priv[3], (priv[4] & 3u) + 1);
        types.push_back(MakeMediaType(base, FourccGuid(avc1), FORMAT_MPEG2Video, block));
    } else if (codec.starts_with("V_MPEG4/")) {
        const DWORD mp4v = MakeFourcc('M', 'P', '4', 'V');
        types.push_back(MakeMediaType(base, FourccGuid(mp4v), FORMAT_MPEG2Video, Mpeg2VideoInfoBlock(Bitmap24(video, mp4v), priv)));
    } else if (codec.starts_with("V_REAL/RV")) {
        // The version digit follows "V_REAL/RV"; a bare "V_REAL/RV" leaves a NUL in its place.
        const char version = codec.size() > 9 ? codec[9] : '\0';
        const DWORD code = MakeFourcc('R', 'V', version, '0');
        types.push_back(MakeMediaType(base, FourccGuid(code), FORMAT_VideoInfo, VideoInfoBlock(Bitmap(video, code), priv)));
    } else if (codec == "V_MPEG2") {
        DWORD profile = 0, level = 0;
        Mpeg2ProfileAndLevel(priv, profile, level);
        types.push_back(MakeMediaType(base, MEDIASUBTYPE_MPEG2_VIDEO, FORMAT_MPEG2Video,
                                 Mpeg2VideoInfoBlock(Bitmap(video, 0), priv, profile, level)));
    } else if (codec == "V_THEORA") {
        // Geometry, rate and aspect come from fixed offsets of the identification header.
        if (priv.size() < 33)
            return true;
        const DWORD theo = MakeFourcc('T', 'H', 'E', 'O');
        BITMAPINFOHEADER bitmap = Bitmap24(video, theo);
        bitmap.biWidth = (priv[13] + 256 * priv[14]) >> 4;
        bitmap.biHeight = (priv[15] + 256 * priv[16]) >> 4;
        Bytes block = Mpeg2VideoInfoBlock(bitmap, priv);
        auto info = GetRecord<MPEG2VIDEOINFO>(block.data(), 0);
        const std::uint32_t numerator = ReadBE32(&priv[25]);
        const std::uint32_t denominator = ReadBE32(&priv[29]);
        if (numerator != 0)
            info.hdr.AvgTimePerFrame = Truncate<REFERENCE_TIME>(denominator * 1.0e7 / numerator);
        info.hdr.dwPictAspectRatioX = ReadBE24(&priv[17]);
        info.hdr.dwPictAspectRatioY = ReadBE24(&priv[20]);
        std::memcpy(block.data(), &info, kMpeg2VideoInfoHeaderSize);
        CMediaType type = MakeMediaType(base, FourccGuid(theo), FORMAT_MPEG2Video, block);
        type.SetVariableSize();
        types.push_back(type);
    } else if (codec == "V_VP8") {
        const DWORD vp80 = MakeFourcc('V', 'P', '8', '0');
        types.push_back(MakeMediaType(base, FourccGuid(vp80), FORMAT_VideoInfo, VideoInfoBlock(Bitmap(video, vp80), priv)));
    }
    return true;
}

// AvgTimePerFrame in 100-ns units, 0 when nothing gives one.
REFERENCE_TIME FrameDuration(KMkvTrackEntry& track)
{
    KMkvVideo& video = track.video;
    if (video.frameRate.value > 0.0)
        return Truncate<REFERENCE_TIME>(1.0e7 / video.frameRate.value);
    if (track.defaultDuration.value != 0)
        return static_cast<REFERENCE_TIME>(track.defaultDuration.value) / 100;
    if (track.codecId == "V_MPEG4/ISO/AVC") {
        const double rate = AvcFrameRate(track.codecPrivate);
        if (rate > 0.0) {
            video.frameRate.value = rate;
            video.frameRateDerived = true;
            return Truncate<REFERENCE_TIME>(1.0e7 / rate);
        }
    }
    return 0;
}

void ApplyFrameDuration(std::vector<CMediaType>& types, REFERENCE_TIME duration)
{
    if (duration == 0)
        return;
    for (CMediaType& type : types) {
        const GUID& format = *type.FormatType();
        if ((format == FORMAT_VideoInfo || format == FORMAT_MPEGVideo || format == FORMAT_MPEG2Video) &&
            type.FormatLength() >= kVideoInfoHeaderSize)
            std::memcpy(type.Format() + kAvgTimePerFrameOffset, &duration, sizeof duration);
    }
}

void ApplyDisplayAspect(std::vector<CMediaType>& types, const KMkvVideo& video)
{
    const auto aspectX = static_cast<DWORD>(video.displayWidth.value);
    const auto aspectY = static_cast<DWORD>(video.displayHeight.value);
    if (aspectX == 0 || aspectY == 0)
        return;
    for (size_t i = 0; i < types.size(); ++i) {
        const GUID format = *types[i].FormatType();
        if (format == FORMAT_VideoInfo && types[i].FormatLength() >= kVideoInfoHeaderSize) {
            types.insert(types.begin() + static_cast<std::ptrdiff_t>(i), ToVideoInfo2(types[i], aspectX, aspectY));
            ++i;  // past the unconverted type
        } else if (format == FORMAT_MPEG2Video && types[i].FormatLength() >= kMpeg2VideoInfoHeaderSize) {
            // Only the two fields: a block without a sequence header is 132 bytes, shorter than
            // the record with its first sequence-header word.
            BYTE* block = types[i].Format();
            std::memcpy(block + offsetof(VIDEOINFOHEADER2, dwPictAspectRatioX), &aspectX, sizeof aspectX);
            std::memcpy(block + offsetof(VIDEOINFOHEADER2, dwPictAspectRatioY), &aspectY, sizeof aspectY);
        }
    }
}

// CodecIDs with a fixed format tag; a negative entry appends the CodecPrivate to the block.
struct KAudioTag {
    std::string_view codecId;
    int entry;
};
constexpr KAudioTag kAudioTags[] = {
    {"A_MPEG/L3", 0x55},   {"A_MPEG/L2", 0x50},         {"A_AC3", 0x2000}, {"A_DTS", 0x2001},
    {"A_EAC3", 0x2000},    {"A_PCM/INT/LIT", 1},        {"A_PCM/FLOAT/IEEE", 3},
    {"A_AAC", -0xFF},      {"A_FLAC", -0xF1AC},         {"A_TTA1", 0x77A1},
};
constexpr WORD kTagFlac = 0xF1AC;
constexpr WORD kTagAac = 0x00FF;

Bytes WaveFormat(const WAVEFORMATEX& format)
{
    Bytes block(sizeof(WAVEFORMATEX));
    PutRecord(block, 0, format);
    return block;
}

}  // namespace

bool SplitXiphHeaders(std::span<const BYTE> priv, std::vector<std::span<const BYTE>>& headers)
{
    KByteReader reader(priv);
    BYTE count = 0;
    if (!reader.Read1(&count))
        return false;
    std::vector<size_t> sizes;
    for (int i = 0; i < count; ++i) {
        size_t size = 0;
        BYTE part = 255;
        while (part == 255) {
            if (!reader.Read1(&part))
                return false;
            size += part;
        }
        sizes.push_back(size);
    }
    for (size_t size : sizes) {
        std::span<const BYTE> header;
        if (!reader.ReadBytes(size, &header))
            return false;
        headers.push_back(header);
    }
    std::span<const BYTE> last;
    reader.ReadBytes(reader.Remaining(), &last);
    headers.push_back(last);
    return true;
}

namespace {

void AddVorbisTypes(const KMkvTrackEntry& track, const CMediaType& base, std::vector<CMediaType>& types)
{
    const auto channels = static_cast<std::uint32_t>(track.audio.channels.value);
    const auto rate = Truncate<std::uint32_t>(track.audio.samplingFrequency.value);
    std::vector<std::span<const BYTE>> headers;
    if (SplitXiphHeaders(track.codecPrivate, headers) && headers.size() == 3) {
        Bytes block(24);
        PutRecord(block, 0, channels & 0xFFFFu);
        PutRecord(block, 4, rate);
        PutRecord(block, 8, static_cast<std::uint32_t>(track.audio.bitDepth.value));
        for (int i = 0; i < 3; ++i) {
            PutRecord(block, 12 + 4 * static_cast<size_t>(i), static_cast<std::uint32_t>(headers[i].size()));
        }
        for (const auto& header : headers)
            AppendBytes(block, header);
        types.push_back(MakeMediaType(base, MEDIASUBTYPE_Vorbis2, FORMAT_Vorbis2, block));
    }
    Bytes block(24);
    PutRecord(block, 0, static_cast<std::uint16_t>(channels));
    PutRecord(block, 4, rate);
    PutRecord(block, 8, 0xFFFFFFFFu);
    PutRecord(block, 12, 0xFFFFFFFFu);
    PutRecord(block, 16, 0xFFFFFFFFu);
    types.push_back(MakeMediaType(base, MEDIASUBTYPE_Vorbis, FORMAT_VorbisFormat, block));
}

int AacProfile(std::string_view codec)
{
    // "/SBR" first: "A_AAC/MPEG4/LC/SBR" names both and is an SBR stream.
    static constexpr std::pair<std::string_view, int> kSuffixes[] = {
        {"/SBR", -1}, {"/MAIN", 0}, {"/LC", 1}, {"/SSR", 2}, {"/LTP", 3}};
    for (const auto& [suffix, profile] : kSuffixes)
        if (codec.find(suffix) != std::string_view::npos)
            return profile;
    return 1;
}

void AddAudioTypes(const KMkvTrackEntry& track, const CMediaType& base, std::vector<CMediaType>& types)
{
    const std::string& codec = track.codecId;
    const std::span<const BYTE> priv(track.codecPrivate);
    const KMkvAudio& audio = track.audio;

    WAVEFORMATEX format{};
    format.nChannels = static_cast<WORD>(audio.channels.value);
    format.nSamplesPerSec = Truncate<DWORD>(audio.samplingFrequency.value);
    format.wBitsPerSample = static_cast<WORD>(audio.bitDepth.value);
    format.nBlockAlign = static_cast<WORD>(static_cast<WORD>(format.wBitsPerSample * format.nChannels) / 8);
    format.nAvgBytesPerSec = format.nBlockAlign * format.nSamplesPerSec;

    for (const KAudioTag& tag : kAudioTags) {
        if (tag.codecId != codec)
            continue;
        format.wFormatTag = static_cast<WORD>(tag.entry < 0 ? -tag.entry : tag.entry);
        if (tag.entry < 0)
            format.cbSize = static_cast<WORD>(priv.size());
        Bytes block = WaveFormat(format);
        if (tag.entry < 0)
            AppendBytes(block, priv);
        const CMediaType type = MakeMediaType(base, FourccGuid(format.wFormatTag), FORMAT_WaveFormatEx, block);
        types.push_back(type);
        if (format.wFormatTag == kTagFlac)
            types.insert(types.begin(), MakeMediaType(type, MEDIASUBTYPE_FLAC_Framed, FORMAT_WaveFormatEx, block));
        return;
    }

    if (codec == "A_VORBIS") {
        AddVorbisTypes(track, base, types);
    } else if (codec == "A_MS/ACM") {
        // The stored structure as it stands, an 18-byte WAVEFORMATEX or a 16-byte WAVEFORMAT
        // alike; under two bytes there is no format tag to name the subtype.
        if (priv.size() < sizeof(WORD))
            return;
        types.push_back(MakeMediaType(base, FourccGuid(ReadLE16(priv.data())), FORMAT_WaveFormatEx, Bytes(priv.begin(), priv.end())));
    } else if (codec.starts_with("A_AAC")) {
        const int profile = AacProfile(codec);
        format.wFormatTag = kTagAac;
        format.cbSize = 2;
        Bytes block = WaveFormat(format);
        block.resize(sizeof(WAVEFORMATEX) + 5);
        const int written = WriteAudioSpecificConfig(block.data() + sizeof(WAVEFORMATEX), profile,
                                                     format.nSamplesPerSec, format.nChannels);
        types.push_back(MakeMediaType(base, FourccGuid(kTagAac), FORMAT_WaveFormatEx, block));
        if (profile < 0 && written == 5) {
            format.cbSize = 5;
            format.nSamplesPerSec *= 2;
            format.nAvgBytesPerSec *= 2;
            PutRecord(block, 0, format);
            types.insert(types.begin(), MakeMediaType(base, FourccGuid(kTagAac), FORMAT_WaveFormatEx, block));
        }
    } else if (codec.starts_with("A_REAL/") && codec.size() >= 11) {
        const DWORD code = MakeFourcc(codec[7], codec[8], codec[9], codec[10]);
        Bytes block = WaveFormat(format);
        AppendBytes(block, priv);
        CMediaType type = MakeMediaType(base, FourccGuid(code), FORMAT_WaveFormatEx, block);
        type.SetTemporalCompression(TRUE);
        types.push_back(type);
    }
}

GUID SubtitleSubtype(std::string_view codec)
{
    static constexpr std::pair<std::string_view, const GUID*> kSubtypes[] = {
        {"S_TEXT/UTF8", &MEDIASUBTYPE_UTF8}, {"S_TEXT/SSA", &MEDIASUBTYPE_SSA}, {"S_SSA", &MEDIASUBTYPE_SSA},
        {"S_TEXT/ASS", &MEDIASUBTYPE_ASS},   {"S_ASS", &MEDIASUBTYPE_ASS},      {"S_TEXT/SSF", &MEDIASUBTYPE_SSF},
        {"S_SSF", &MEDIASUBTYPE_SSF},        {"S_TEXT/USF", &MEDIASUBTYPE_USF}, {"S_USF", &MEDIASUBTYPE_USF},
        {"S_VOBSUB", &MEDIASUBTYPE_VOBSUB}};
    for (const auto& [id, subtype] : kSubtypes)
        if (id == codec)
            return *subtype;
    return GUID_NULL;
}

void AddSubtitleTypes(const KMkvTrackEntry& track, std::vector<CMediaType>& types, bool extensions)
{
    if (track.codecId == "S_TEXT/ASCII") {
        CMediaType type(&MEDIATYPE_Text);
        type.SetSubtype(&GUID_NULL);
        type.SetFormatType(&FORMAT_None);
        type.SetSampleSize(1);
        types.push_back(type);
        return;
    }
    GUID subtype = SubtitleSubtype(track.codecId);
    if (subtype == GUID_NULL && extensions)
        subtype = ExtensionSubtitleSubtype(track.codecId);
    if (subtype == GUID_NULL)
        return;
    SUBTITLEINFO info{};
    info.dwOffset = sizeof(SUBTITLEINFO);
    std::memcpy(info.IsoLang, track.language.data(), track.language.size() < 3 ? track.language.size() : 3);
    const size_t nameUnits = track.name.size() < 255 ? track.name.size() : 255;
    std::memcpy(info.TrackName, track.name.data(), nameUnits * sizeof(WCHAR));
    Bytes block(sizeof info);
    PutRecord(block, 0, info);
    AppendBytes(block, track.codecPrivate);
    CMediaType base(&MEDIATYPE_Subtitle);
    base.SetSampleSize(1);
    types.push_back(MakeMediaType(base, subtype, FORMAT_SubtitleInfo, block));
}

WString PinName(const KMkvTrackEntry& track, const char* kind, int number)
{
    char base[32];
    std::snprintf(base, sizeof base, "%s %d", kind, number);
    // Language names are UTF-8 ("Bokmål"): widening byte by byte would garble them.
    WString name = WideFromUtf8(PinLanguage(track.language));
    if (!track.name.empty())
        name += WSTR(", ") + track.name;
    return name + WSTR(" (") + WideFromUtf8(base) + WSTR(")");
}

}  // namespace

KMkvTrackTypes BuildTrackTypes(KMkvTrackEntry& track, KMkvTrackCounters& counters, bool extensions)
{
    KMkvTrackTypes result;
    CMediaType base;
    base.SetSampleSize(1);
    switch (track.trackType.value) {
    case mkv_track_type::kVideo:
        result.pinName = PinName(track, "Video", ++counters.video);
        base.SetType(&MEDIATYPE_Video);
        if (!(extensions && AddExtensionVideoTypes(track, base, result.types)) && !AddVideoTypes(track, base, result.types)) {
            result.types.clear();
            result.malformed = true;
            return result;
        }
        ApplyFrameDuration(result.types, FrameDuration(track));
        ApplyDisplayAspect(result.types, track.video);
        break;
    case mkv_track_type::kAudio:
        result.pinName = PinName(track, "Audio", ++counters.audio);
        base.SetType(&MEDIATYPE_Audio);
        base.SetSampleSize(256000);
        if (extensions && AddExtensionAudioTypes(track, base, result.types))
            break;
        AddAudioTypes(track, base, result.types);
        // E-AC-3 under its own subtype first; the AC-3 type it always had stays behind it.
        if (extensions && track.codecId == "A_EAC3" && !result.types.empty()) {
            CMediaType plus = result.types.front();
            plus.SetSubtype(&MEDIASUBTYPE_DolbyDigitalPlus);
            result.types.insert(result.types.begin(), plus);
        }
        break;
    case mkv_track_type::kSubtitle:
        result.pinName = PinName(track, "Subtitle", ++counters.subtitle);
        AddSubtitleTypes(track, result.types, extensions);
        break;
    default: break;
    }
    return result;
}
