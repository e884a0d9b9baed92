#include "demux/ogg/ogg_ds_samples.h"

#include <cstring>
#include <string_view>

#include "io/byte_reader.h"

namespace {

constexpr std::string_view kSignature = "Direct Show Samples embedded in Ogg";
// Offsets in the packet of the 32-bit AM_MEDIA_TYPE fields (16 bytes before them are unused).
constexpr size_t kMajorType = 52, kSubtype = 68, kFixedSize = 84, kTemporal = 88, kSampleSize = 92, kFormatType = 96,
                 kFormatLength = 116, kFormat = 124;

GUID GuidAt(const std::uint8_t* p)
{
    GUID guid{};
    guid.Data1 = ReadLE32(p);
    guid.Data2 = ReadLE16(p + 4);
    guid.Data3 = ReadLE16(p + 6);
    std::memcpy(guid.Data4, p + 8, 8);
    return guid;
}

}  // namespace

bool IsDirectShowSamplesHeader(std::span<const std::uint8_t> packet)
{
    return packet.size() > kSignature.size() && packet[0] == 1 &&
           std::memcmp(packet.data() + 1, kSignature.data(), kSignature.size()) == 0;
}

std::optional<CMediaType> ParseDirectShowSamplesHeader(std::span<const std::uint8_t> packet)
{
    if (!IsDirectShowSamplesHeader(packet) || packet.size() < kFormat)
        return std::nullopt;
    const std::uint8_t* p = packet.data();
    const std::uint32_t formatLength = ReadLE32(p + kFormatLength);
    if (formatLength > packet.size() - kFormat)
        return std::nullopt;
    const GUID major = GuidAt(p + kMajorType), subtype = GuidAt(p + kSubtype), formatType = GuidAt(p + kFormatType);
    CMediaType type(&major);
    type.SetSubtype(&subtype);
    type.SetFormatType(&formatType);
    type.SetTemporalCompression(ReadLE32(p + kTemporal) != 0);
    if (ReadLE32(p + kFixedSize) != 0)
        type.SetSampleSize(ReadLE32(p + kSampleSize));
    else
        type.SetVariableSize();
    if (formatLength > 0)
        type.SetFormat(p + kFormat, formatLength);
    return type;
}
