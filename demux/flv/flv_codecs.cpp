#include "demux/flv/flv_codecs.h"

#include <array>

#include "framework/media_type.h"
#include "io/avc_read.h"
#include "io/byte_reader.h"

namespace {

constexpr std::array<DWORD, 4> kFlvRates = {5512, 11025, 22050, 44100};
// AAC sampling-frequency indexes; 12 (7350 Hz) is in the AAC table though rare in FLV.
constexpr std::array<DWORD, 13> kAacRates = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                             22050, 16000, 12000, 11025, 8000,  7350};

bool ProbeSorenson(std::span<const std::uint8_t> picture, FlvVideoFormat* format)
{
    CBitReader bits;
    bits.Load(picture.first(std::min<size_t>(picture.size(), 16)));
    if (bits.BitsLeft() < 33 || bits.GetBits(17) != 1)  // the picture start code
        return false;
    bits.SkipBits(5 + 8);  // version, temporal reference
    struct Size {
        LONG width, height;
    };
    static constexpr std::array<Size, 7> kSizes = {{{0, 0}, {0, 0}, {352, 288}, {176, 144}, {128, 96}, {320, 240}, {160, 120}}};
    const std::uint32_t code = bits.GetBits(3);
    if (code == 7)
        return false;
    if (code <= 1) {
        const int width = code == 0 ? 8 : 16;
        if (bits.BitsLeft() < 2u * width)
            return false;
        format->width = static_cast<LONG>(bits.GetBits(width));
        format->height = static_cast<LONG>(bits.GetBits(width));
    } else {
        format->width = kSizes[code].width;
        format->height = kSizes[code].height;
    }
    format->compression = MakeFourcc('F', 'L', 'V', '1');
    return true;
}

// header: the VP6 frame header of a key frame. Its macroblock rows and columns follow two
// bytes, and two more (a partition offset) when the frame has them.
bool ProbeVp6(std::span<const std::uint8_t> header, FlvVideoFormat* format)
{
    if (header.size() < 2 || (header[0] & 0x80) != 0)  // bit 7 set: not a key frame
        return false;
    const bool offsetField = (header[0] & 1) != 0 || (header[1] & 0x06) == 0;
    const size_t at = offsetField ? 4 : 2;
    if (header.size() < at + 2 || header[at] == 0 || header[at + 1] == 0)
        return false;
    format->height = 16 * header[at];
    format->width = 16 * header[at + 1];
    format->compression = MakeFourcc('F', 'L', 'V', '4');
    return true;
}

// record: an AVCDecoderConfigurationRecord.
bool ProbeAvc(std::span<const std::uint8_t> record, FlvVideoFormat* format)
{
    KByteReader reader(record);
    std::uint8_t version = 0, profile = 0, compatibility = 0, level = 0, lengthSize = 0, spsCount = 0;
    if (!reader.Read1(&version) || !reader.Read1(&profile) || !reader.Read1(&compatibility) || !reader.Read1(&level) ||
        !reader.Read1(&lengthSize) || !reader.Read1(&spsCount) || (spsCount & 31) == 0)
        return false;
    std::span<const std::uint8_t> sps, pps;
    for (int i = 0; i < (spsCount & 31); ++i) {
        std::uint16_t length = 0;
        std::span<const std::uint8_t> set;
        if (!reader.ReadBE2(&length) || !reader.ReadBytes(length, &set))
            return false;
        if (i == 0)
            sps = set;
    }
    std::uint8_t ppsCount = 0;
    std::uint16_t ppsLength = 0;
    if (!reader.Read1(&ppsCount) || ppsCount == 0 || !reader.ReadBE2(&ppsLength) || !reader.ReadBytes(ppsLength, &pps) ||
        sps.empty())
        return false;

    CAvcRead avc(sps);
    avc.SkipBits(8);  // the NAL header
    AvcSpsInfo info{};
    avc.ParseSPS(&info);
    const AvcPictureFormat picture = AvcPictureFormatFromSps(info);
    if (picture.width <= 0 || picture.height <= 0 || picture.width > 0xFFFF || picture.height > 0xFFFF)
        return false;
    format->compression = MakeFourcc('A', 'V', 'C', '1');
    format->width = static_cast<LONG>(picture.width);
    format->height = static_cast<LONG>(picture.height);
    format->avc.nalLengthSize = (lengthSize & 3) + 1;
    format->avc.profile = profile;
    format->avc.level = level;
    format->avc.averageFrameDuration = picture.averageFrameDuration;
    format->avc.sequenceHeader = AvcParameterSetBlock(sps, pps);
    return !format->avc.sequenceHeader.empty();
}

}  // namespace

bool ProbeFlvAudio(std::span<const std::uint8_t> data, FlvAudioFormat* format)
{
    if (data.empty())
        return false;
    const std::uint8_t flags = data[0];
    FlvAudioFormat probed;
    probed.sampleRate = kFlvRates[(flags >> 2) & 3];
    probed.bitsPerSample = (flags & 2) ? 16 : 8;
    probed.channels = (flags & 1) ? 2 : 1;
    switch (flags >> 4) {
    case 0:
        probed.formatTag = WAVE_FORMAT_PCM;
        break;
    case 1:
        probed.formatTag = 2;
        break;
    case 2:
        probed.formatTag = WAVE_FORMAT_MPEGLAYER3;
        break;
    case 3:  // little-endian PCM: recognised, not played
        probed.formatTag = 0;
        break;
    case 4:
        probed.formatTag = 0x3200;
        probed.channels = 1;
        probed.sampleRate = 16000;
        break;
    case 5:
        probed.formatTag = 0xA100;
        probed.channels = 1;
        probed.sampleRate = 8000;
        break;
    case 6:
        probed.formatTag = 0xA200;
        break;
    case 10: {
        if (data.size() < 4 || data[1] != 0)  // the first AAC tag must carry the AudioSpecificConfig
            return false;
        const unsigned index = ((data[2] & 7) << 1) | (data[3] >> 7);
        if (index >= kAacRates.size())
            return false;
        probed.formatTag = 0xFF;
        probed.channels = 2;
        probed.bitsPerSample = 16;
        probed.sampleRate = kAacRates[index];
        probed.extra.assign(data.begin() + 2, data.begin() + 4);
        break;
    }
    default:
        return false;
    }
    *format = std::move(probed);
    return true;
}

bool ProbeFlvVideo(std::span<const std::uint8_t> data, FlvVideoFormat* format)
{
    if (data.empty() || (data[0] >> 4) != 1)
        return false;
    FlvVideoFormat probed;
    bool found = false;
    switch (data[0] & 0x0F) {
    case 2:
        found = ProbeSorenson(data.subspan(1), &probed);
        break;
    case 3:
        probed.compression = MakeFourcc('S', 'C', 'R', 'V');
        found = true;
        break;
    case 6:
        probed.compression = MakeFourcc('S', 'C', 'R', '2');
        found = true;
        break;
    case 4:
        found = data.size() > 2 && ProbeVp6(data.subspan(2), &probed);
        break;
    case 5:
        found = data.size() > 5 && ProbeVp6(data.subspan(5), &probed);
        break;
    case 7:
        found = data.size() > 5 && data[1] == 0 && ProbeAvc(data.subspan(5), &probed);
        break;
    default:
        break;
    }
    if (found)
        *format = std::move(probed);
    return found;
}
