#include "demux/flv/flv_media_types.h"

#include <cmath>

#include "framework/format_blocks.h"

namespace {

// Metadata rates are kbit/s as doubles; a value no DWORD holds is no rate.
DWORD BitRate(double kilobits)
{
    const double bits = kilobits * 1000;
    return std::isfinite(bits) && bits > 0 && bits < 4294967295.0 ? static_cast<DWORD>(bits) : 0;
}

BITMAPINFOHEADER FlvBitmap(const FlvVideoFormat& format)
{
    BITMAPINFOHEADER bitmap{};
    bitmap.biSize = sizeof(BITMAPINFOHEADER);
    bitmap.biWidth = format.width;
    bitmap.biHeight = format.height;
    bitmap.biCompression = format.compression;
    return bitmap;
}

}  // namespace

std::optional<CMediaType> FlvAudioMediaType(const FlvAudioFormat& format)
{
    GUID subtype;
    switch (format.formatTag) {
    case WAVE_FORMAT_PCM:
    case WAVE_FORMAT_MPEGLAYER3:
    case 0xFF:
        subtype = FourccGuid(format.formatTag);
        break;
    case 2:
        subtype = FourccGuid(MakeFourcc('A', 'S', 'W', 'F'));
        break;
    case 0x3200:
    case 0xA100:
    case 0xA200:
        subtype = FourccGuid(MakeFourcc('N', 'E', 'L', 'L'));
        break;
    default:
        return std::nullopt;
    }
    WAVEFORMATEX wave{};
    wave.wFormatTag = format.formatTag;
    wave.nChannels = format.channels;
    wave.nSamplesPerSec = format.sampleRate;
    wave.wBitsPerSample = format.bitsPerSample;
    wave.nBlockAlign = static_cast<WORD>(format.bitsPerSample * format.channels / 8);
    wave.nAvgBytesPerSec = format.sampleRate * wave.nBlockAlign;
    wave.cbSize = static_cast<WORD>(format.extra.size());
    FormatBytes block(sizeof(WAVEFORMATEX));
    PutRecord(block, 0, wave);
    AppendBytes(block, format.extra);
    CMediaType type = MakeMediaType(CMediaType(&MEDIATYPE_Audio), subtype, FORMAT_WaveFormatEx, block);
    type.SetSampleSize(1);
    return type;
}

std::optional<CMediaType> FlvVideoMediaType(const FlvVideoFormat& format, const FlvMetadata& metadata)
{
    const DWORD bitRate = BitRate(metadata.videodatarate);
    if (format.compression == MakeFourcc('A', 'V', 'C', '1')) {
        BITMAPINFOHEADER bitmap = FlvBitmap(format);
        bitmap.biPlanes = 1;
        bitmap.biBitCount = 24;
        const FlvAvcConfig& avc = format.avc;
        FormatBytes block(sizeof(MPEG2VIDEOINFO) + avc.sequenceHeader.size(), 0);
        const FormatBytes head = Mpeg2VideoInfoBlock(bitmap, avc.sequenceHeader, avc.profile, avc.level, avc.nalLengthSize);
        std::copy(head.begin(), head.end(), block.begin());
        PutRecord(block, offsetof(VIDEOINFOHEADER2, dwBitRate), bitRate);
        PutRecord(block, offsetof(VIDEOINFOHEADER2, AvgTimePerFrame), avc.averageFrameDuration);
        PutRecord(block, offsetof(VIDEOINFOHEADER2, dwPictAspectRatioX), static_cast<DWORD>(format.width));
        PutRecord(block, offsetof(VIDEOINFOHEADER2, dwPictAspectRatioY), static_cast<DWORD>(format.height));
        return MakeMediaType(CMediaType(&MEDIATYPE_Video), FourccGuid(format.compression), FORMAT_MPEG2Video, block);
    }
    if (format.compression != MakeFourcc('F', 'L', 'V', '1') && format.compression != MakeFourcc('F', 'L', 'V', '4'))
        return std::nullopt;
    FormatBytes block = VideoInfoBlock(FlvBitmap(format), {});
    PutRecord(block, offsetof(VIDEOINFOHEADER, dwBitRate), bitRate);
    // Without a frame rate in the metadata the frame duration is left unknown (0).
    const double frameDuration = metadata.framerate > 0 ? 1e7 / metadata.framerate : 0;
    PutRecord(block, offsetof(VIDEOINFOHEADER, AvgTimePerFrame),
              static_cast<REFERENCE_TIME>(std::isfinite(frameDuration) && frameDuration < 1e15 ? frameDuration : 0));
    return MakeMediaType(CMediaType(&MEDIATYPE_Video), FourccGuid(format.compression), FORMAT_VideoInfo, block);
}
