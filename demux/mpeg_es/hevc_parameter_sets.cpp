#include "demux/mpeg_es/hevc_parameter_sets.h"

#include <array>

#include "io/avc_read.h"
#include "io/start_code.h"

namespace {

constexpr BYTE kVps = 32;
constexpr BYTE kSps = 33;
constexpr BYTE kPps = 34;
// The general profile, tier and level fields an hvcC repeats: profile space to level_idc.
constexpr size_t kGeneralPtlBytes = 12;
// The SPS bytes before them: the 2-byte NAL header and the VPS id / sub-layers / nesting byte.
constexpr size_t kPtlOffset = 3;

struct SpsFields {
    std::array<BYTE, kGeneralPtlBytes> generalPtl{};
    DWORD maxSubLayersMinus1 = 0;
    DWORD temporalIdNesting = 0;
    DWORD chromaFormat = 0;
    DWORD bitDepthLumaMinus8 = 0;
    DWORD bitDepthChromaMinus8 = 0;
    DWORD width = 0;
    DWORD height = 0;
};

// The SPS fields up to the bit depths; they stand at the front, before anything whose length
// depends on other parameter sets. Fails on values no real SPS has.
std::optional<SpsFields> ParseSps(std::span<const BYTE> sps)
{
    CAvcRead reader(sps);
    if (reader.BitCount() < 8 * (kPtlOffset + kGeneralPtlBytes))
        return std::nullopt;
    SpsFields fields;
    reader.SkipBits(16);
    reader.SkipBits(4);  // sps_video_parameter_set_id
    fields.maxSubLayersMinus1 = reader.GetBits(3);
    fields.temporalIdNesting = reader.GetBits(1);
    for (BYTE& byte : fields.generalPtl)
        byte = static_cast<BYTE>(reader.GetBits(8));
    const DWORD subLayers = fields.maxSubLayersMinus1;
    if (subLayers > 6)
        return std::nullopt;
    std::array<bool, 8> profilePresent{}, levelPresent{};
    for (DWORD i = 0; i < subLayers; ++i) {
        profilePresent[i] = reader.GetBits(1) != 0;
        levelPresent[i] = reader.GetBits(1) != 0;
    }
    if (subLayers > 0)
        reader.SkipBits(2 * (8 - subLayers));  // reserved_zero_2bits
    for (DWORD i = 0; i < subLayers; ++i) {
        if (profilePresent[i])
            reader.SkipBits(88);
        if (levelPresent[i])
            reader.SkipBits(8);
    }
    if (reader.GetUE() > 15)  // sps_seq_parameter_set_id
        return std::nullopt;
    const std::uint64_t chroma = reader.GetUE();
    if (chroma > 3)
        return std::nullopt;
    fields.chromaFormat = static_cast<DWORD>(chroma);
    if (chroma == 3)
        reader.SkipBits(1);  // separate_colour_plane_flag
    const std::uint64_t width = reader.GetUE();
    const std::uint64_t height = reader.GetUE();
    if (width == 0 || height == 0 || width > kLargestPictureSide || height > kLargestPictureSide)
        return std::nullopt;
    std::uint64_t cropX = 0, cropY = 0;
    if (reader.GetBits(1)) {  // conformance_window_flag: offsets in chroma samples
        const std::uint64_t unitX = chroma == 1 || chroma == 2 ? 2 : 1;
        const std::uint64_t unitY = chroma == 1 ? 2 : 1;
        const std::uint64_t left = reader.GetUE(), right = reader.GetUE();
        const std::uint64_t top = reader.GetUE(), bottom = reader.GetUE();
        cropX = (left + right) * unitX;
        cropY = (top + bottom) * unitY;
    }
    if (cropX >= width || cropY >= height)
        return std::nullopt;
    fields.width = static_cast<DWORD>(width - cropX);
    fields.height = static_cast<DWORD>(height - cropY);
    const std::uint64_t lumaDepth = reader.GetUE(), chromaDepth = reader.GetUE();
    if (lumaDepth > 8 || chromaDepth > 8)
        return std::nullopt;
    fields.bitDepthLumaMinus8 = static_cast<DWORD>(lumaDepth);
    fields.bitDepthChromaMinus8 = static_cast<DWORD>(chromaDepth);
    return fields;
}

void PutBE16(std::vector<BYTE>& out, size_t value)
{
    out.push_back(static_cast<BYTE>(value >> 8));
    out.push_back(static_cast<BYTE>(value));
}

std::vector<BYTE> Configuration(const SpsFields& sps, std::span<const std::span<const BYTE>> sets)
{
    std::vector<BYTE> record;
    record.push_back(1);  // configurationVersion
    record.insert(record.end(), sps.generalPtl.begin(), sps.generalPtl.end());
    record.push_back(0xF0);  // min_spatial_segmentation_idc 0 behind its reserved bits
    record.push_back(0x00);
    record.push_back(0xFC);  // parallelismType unknown
    record.push_back(static_cast<BYTE>(0xFC | sps.chromaFormat));
    record.push_back(static_cast<BYTE>(0xF8 | sps.bitDepthLumaMinus8));
    record.push_back(static_cast<BYTE>(0xF8 | sps.bitDepthChromaMinus8));
    PutBE16(record, 0);  // avgFrameRate unknown
    // constantFrameRate 0, numTemporalLayers, temporalIdNested, lengthSizeMinusOne 3
    record.push_back(static_cast<BYTE>(((sps.maxSubLayersMinus1 + 1) << 3) | (sps.temporalIdNesting << 2) | 3));
    record.push_back(static_cast<BYTE>(sets.size()));
    for (const std::span<const BYTE> set : sets) {
        // array_completeness 0: the stream repeats its parameter sets in band.
        record.push_back(HevcNalType(set[0]));
        PutBE16(record, 1);
        PutBE16(record, set.size());
        record.insert(record.end(), set.begin(), set.end());
    }
    return record;
}

}  // namespace

std::optional<HevcParameterSets> ParseHevcParameterSets(std::span<const BYTE> payload)
{
    std::span<const BYTE> vps, sps, pps;
    ForEachAnnexBUnit(payload, [&](std::span<const BYTE> nal) {
        // A parameter set has a 2-byte header with forbidden_zero_bit clear and layer 0.
        if (nal.size() < 2 || (nal[0] & 0x81) != 0 || (nal[1] & 0xF8) != 0)
            return;
        const BYTE type = HevcNalType(nal[0]);
        if (type == kVps && vps.empty())
            vps = nal;
        else if (type == kSps && sps.empty())
            sps = nal;
        else if (type == kPps && pps.empty())
            pps = nal;
    });
    // Each set goes behind a 16-bit length in the record.
    if (vps.empty() || sps.empty() || pps.empty() || vps.size() > 0xFFFF || sps.size() > 0xFFFF || pps.size() > 0xFFFF)
        return std::nullopt;
    const auto fields = ParseSps(sps);
    if (!fields)
        return std::nullopt;
    HevcParameterSets sets;
    sets.width = fields->width;
    sets.height = fields->height;
    sets.profile = fields->generalPtl[0] & 0x1Fu;
    sets.level = fields->generalPtl[kGeneralPtlBytes - 1];
    const std::array<std::span<const BYTE>, 3> ordered{vps, sps, pps};
    sets.configuration = Configuration(*fields, ordered);
    return sets;
}
