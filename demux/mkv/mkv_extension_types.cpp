// Media types of the Matroska codecs behind the extensions switch: HEVC, AV1, VP9, Opus, TrueHD,
// E-AC-3 under its own subtype, WebVTT and PGS subtitles. Subtypes follow the platform's
// four-character and format-tag family; the codec's configuration record travels whole in the
// format block, where a decoder finds it without knowing the container.
#include <string_view>

#include "demux/mkv/mkv_media_types.h"
#include "framework/format_blocks.h"
#include "io/byte_reader.h"

namespace {

// hvcC: version 1, then profile, compatibility and constraint flags, the level at byte 12 and
// the NAL length size in the low bits of byte 21; the parameter-set arrays follow byte 22.
constexpr size_t kHvccFixedBytes = 23;
// av1C: a marker bit and version 1 (0x81), then profile and level, two more bytes of flags.
constexpr size_t kAv1cFixedBytes = 4;
// OpusHead: magic, version, channels, pre-skip, rate, gain, mapping family.
constexpr size_t kOpusHeadBytes = 19;

BITMAPINFOHEADER Bitmap(const KMkvVideo& video, DWORD compression, WORD bitCount)
{
    BITMAPINFOHEADER bitmap{};
    bitmap.biSize = sizeof(BITMAPINFOHEADER);
    bitmap.biWidth = static_cast<LONG>(video.pixelWidth.value);
    bitmap.biHeight = static_cast<LONG>(video.pixelHeight.value);
    bitmap.biPlanes = bitCount ? 1 : 0;
    bitmap.biBitCount = bitCount;
    bitmap.biCompression = compression;
    return bitmap;
}

WAVEFORMATEX WaveFormat(const KMkvAudio& audio, WORD tag)
{
    WAVEFORMATEX format{};
    format.wFormatTag = tag;
    format.nChannels = static_cast<WORD>(audio.channels.value);
    const double rate = audio.samplingFrequency.value;
    format.nSamplesPerSec = rate > 0.0 && rate < 4294967295.0 ? static_cast<DWORD>(rate) : 0;
    format.wBitsPerSample = static_cast<WORD>(audio.bitDepth.value);
    format.nBlockAlign = static_cast<WORD>(static_cast<WORD>(format.wBitsPerSample * format.nChannels) / 8);
    format.nAvgBytesPerSec = format.nBlockAlign * format.nSamplesPerSec;
    return format;
}

// WAVEFORMATEX with extra bytes behind it, cbSize counting them.
FormatBytes WaveBlock(WAVEFORMATEX format, std::span<const BYTE> extra)
{
    format.cbSize = static_cast<WORD>(extra.size());
    FormatBytes block(sizeof(WAVEFORMATEX));
    PutRecord(block, 0, format);
    AppendBytes(block, extra);
    return block;
}

}  // namespace

bool AddExtensionVideoTypes(const KMkvTrackEntry& track, const CMediaType& base, std::vector<CMediaType>& types)
{
    const std::string& codec = track.codecId;
    const std::span<const BYTE> priv(track.codecPrivate);
    if (codec == "V_MPEGH/ISO/HEVC") {
        if (priv.size() < kHvccFixedBytes || priv[0] != 1)
            return true;
        const DWORD hevc = MakeFourcc('H', 'E', 'V', 'C');
        const DWORD lengthSize = (priv[21] & 3u) + 1;
        types.push_back(MakeMediaType(base, MEDIASUBTYPE_HEVC, FORMAT_MPEG2Video,
                                      Mpeg2VideoInfoBlock(Bitmap(track.video, hevc, 24), priv, priv[1] & 0x1Fu, priv[12], lengthSize)));
        return true;
    }
    if (codec == "V_AV1") {
        if (priv.size() < kAv1cFixedBytes || priv[0] != 0x81)
            return true;
        const DWORD av01 = MakeFourcc('A', 'V', '0', '1');
        types.push_back(MakeMediaType(base, MEDIASUBTYPE_AV01, FORMAT_MPEG2Video,
                                      Mpeg2VideoInfoBlock(Bitmap(track.video, av01, 24), priv, priv[1] >> 5, priv[1] & 0x1Fu)));
        return true;
    }
    if (codec == "V_VP9") {
        // VP9 needs nothing out of band; a CodecPrivate (feature list) rides behind the header.
        const DWORD vp90 = MakeFourcc('V', 'P', '9', '0');
        types.push_back(MakeMediaType(base, MEDIASUBTYPE_VP90, FORMAT_VideoInfo, VideoInfoBlock(Bitmap(track.video, vp90, 0), priv)));
        return true;
    }
    return false;
}

bool AddExtensionAudioTypes(const KMkvTrackEntry& track, const CMediaType& base, std::vector<CMediaType>& types)
{
    const std::string& codec = track.codecId;
    const std::span<const BYTE> priv(track.codecPrivate);
    if (codec == "A_OPUS") {
        // Without OpusHead there is no channel mapping and no pre-skip to decode with.
        if (priv.size() < kOpusHeadBytes || std::string_view(reinterpret_cast<const char*>(priv.data()), 8) != "OpusHead")
            return true;
        WAVEFORMATEX format = WaveFormat(track.audio, static_cast<WORD>(MEDIASUBTYPE_Opus.Data1));
        format.nChannels = priv[9];
        types.push_back(MakeMediaType(base, MEDIASUBTYPE_Opus, FORMAT_WaveFormatEx, WaveBlock(format, priv)));
        return true;
    }
    if (codec == "A_TRUEHD") {
        // TrueHD has no format tag: the subtype alone names it.
        types.push_back(MakeMediaType(base, MEDIASUBTYPE_DolbyTrueHd, FORMAT_WaveFormatEx, WaveBlock(WaveFormat(track.audio, 0), {})));
        return true;
    }
    return false;
}

GUID ExtensionSubtitleSubtype(std::string_view codecId)
{
    // ffmpeg's Matroska muxer names WebVTT the way WebM first did.
    if (codecId == "S_TEXT/WEBVTT" || codecId == "D_WEBVTT/SUBTITLES")
        return MEDIASUBTYPE_WebVtt;
    if (codecId == "S_HDMV/PGS")
        return MEDIASUBTYPE_HdmvPgs;
    return GUID_NULL;
}
