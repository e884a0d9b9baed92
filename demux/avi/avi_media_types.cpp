#include "demux/avi/avi_media_types.h"

#include <algorithm>

#include "framework/format_blocks.h"
#include "io/byte_reader.h"

GUID GetBitmapSubtype(std::span<const BYTE> bitmap)
{
    if (bitmap.size() < 20)
        return GUID_NULL;
    const std::uint32_t compression = ReadLE32(bitmap.data() + 16);
    if (compression != BI_RGB && compression != BI_BITFIELDS)
        return FourccGuid(compression);
    switch (ReadLE16(bitmap.data() + 14)) {
    case 1: return MEDIASUBTYPE_RGB1;
    case 4: return MEDIASUBTYPE_RGB4;
    case 8: return MEDIASUBTYPE_RGB8;
    case 16: {
        if (compression == BI_RGB)
            return MEDIASUBTYPE_RGB555;
        if (bitmap.size() < 52)
            return GUID_NULL;
        const std::uint32_t red = ReadLE32(bitmap.data() + 40), green = ReadLE32(bitmap.data() + 44),
                            blue = ReadLE32(bitmap.data() + 48);
        if (red == 0x7C00 && green == 0x03E0 && blue == 0x001F)
            return MEDIASUBTYPE_RGB555;
        if (red == 0xF800 && green == 0x07E0 && blue == 0x001F)
            return MEDIASUBTYPE_RGB565;
        return GUID_NULL;
    }
    case 24: return MEDIASUBTYPE_RGB24;
    case 32: return MEDIASUBTYPE_RGB32;
    default: return GUID_NULL;
    }
}

std::optional<CMediaType> AviMediaType(const KAvi2ReadStream& stream)
{
    const std::vector<BYTE>& format = stream.Format();
    if (format.empty())
        return std::nullopt;
    if (stream.IsVideo()) {
        FormatBytes block(std::max<std::size_t>(88, format.size() + kVideoInfoHeaderSize), 0);
        const auto frameTime = static_cast<REFERENCE_TIME>(stream.rate > 0 ? 10000000.0 / stream.rate : 0.0);
        PutRecord(block, offsetof(VIDEOINFOHEADER, AvgTimePerFrame), frameTime);
        std::copy(format.begin(), format.end(), block.begin() + static_cast<std::ptrdiff_t>(kVideoInfoHeaderSize));
        CMediaType type(&MEDIATYPE_Video);
        type = MakeMediaType(type, GetBitmapSubtype(format), FORMAT_VideoInfo, block);
        type.bFixedSizeSamples = FALSE;
        type.bTemporalCompression = TRUE;
        type.lSampleSize = stream.BufferSize();
        return type;
    }
    if (stream.IsAudio()) {
        FormatBytes block(std::max<std::size_t>(sizeof(WAVEFORMATEX), format.size()), 0);
        std::copy(format.begin(), format.end(), block.begin());
        CMediaType type(&MEDIATYPE_Audio);
        type = MakeMediaType(type, FourccGuid(format.size() >= 2 ? ReadLE16(format.data()) : 0), FORMAT_WaveFormatEx, block);
        type.bTemporalCompression = FALSE;
        type.lSampleSize = stream.BufferSize();
        return type;
    }
    return std::nullopt;
}
