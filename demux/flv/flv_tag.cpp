#include "demux/flv/flv_tag.h"

#include "io/byte_reader.h"

FlvTagWindow FlvTagWindow::Parse(std::span<const std::uint8_t> window)
{
    const std::uint8_t* p = window.data();
    FlvTagWindow tag;
    tag.previousTagSize = ReadBE32(p);
    tag.type = p[4];
    tag.dataSize = ReadBE24(p + 5);
    tag.timestampMs = ReadBE24(p + 8) | (static_cast<std::uint32_t>(p[11]) << 24);
    tag.streamId = ReadBE24(p + 12);
    return tag;
}

FlvPayloadHead ParseFlvPayloadHead(FlvTagType type, std::span<const std::uint8_t> head)
{
    FlvPayloadHead result;
    if (head.empty() || (type != FlvTagType::Audio && type != FlvTagType::Video))
        return result;
    result.headerBytes = 1;
    const std::uint8_t first = head[0];
    if (type == FlvTagType::Audio) {
        if ((first >> 4) == 10) {  // AAC: a packet-type byte, 0 for the AudioSpecificConfig
            result.headerBytes = 2;
            result.codecConfig = head.size() < 2 || head[1] == 0;
        }
        return result;
    }
    switch (first & 0x0F) {
    case 4:  // VP6: the adjustment byte
        result.headerBytes = 2;
        break;
    case 5:  // VP6 with alpha: the adjustment byte and the 24-bit offset of the alpha data
        result.headerBytes = 5;
        break;
    case 7:  // AVC: packet type, then a signed 24-bit composition time
        result.headerBytes = 5;
        if (head.size() < 5) {
            result.codecConfig = true;
            break;
        }
        result.codecConfig = head[1] == 0;
        result.compositionMs = static_cast<std::int32_t>(ReadBE24(head.data() + 2) << 8) >> 8;
        break;
    default:
        break;
    }
    return result;
}
