#include "demux/asf/asf_media_types.h"

#include <cstddef>

#include "framework/format_blocks.h"
#include "io/byte_reader.h"

std::optional<CMediaType> AsfStreamMediaType(const KAsfEXReadStream& stream)
{
    if (stream.format.empty())
        return std::nullopt;
    CMediaType type;
    if (stream.kind == KAsfEXReadStream::kVideo) {
        if (stream.format.size() < sizeof(VIDEOINFOHEADER))
            return std::nullopt;
        const DWORD compression = ReadLE32(stream.format.data() + kVideoInfoHeaderSize + offsetof(BITMAPINFOHEADER, biCompression));
        type = MakeMediaType(CMediaType(&MEDIATYPE_Video), FourccGuid(compression), FORMAT_VideoInfo, stream.format);
    } else if (stream.kind == KAsfEXReadStream::kAudio) {
        type = MakeMediaType(CMediaType(&MEDIATYPE_Audio), FourccGuid(ReadLE16(stream.format.data())), FORMAT_WaveFormatEx, stream.format);
    } else {
        return std::nullopt;
    }
    type.SetSampleSize(1);
    return type;
}
