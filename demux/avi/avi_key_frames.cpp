#include "demux/avi/avi_key_frames.h"

#include <algorithm>
#include <array>

#include "io/bit_reader.h"

namespace {

enum class Probe { FirstByteBelow64, Wmv3, Mpeg4V1, Mpeg4Vop, H264, Always };

struct Row {
    std::array<char, 4> code;
    Probe probe;
};

constexpr Row kRows[] = {
    {{'D', 'I', 'V', '2'}, Probe::FirstByteBelow64}, {{'D', 'I', 'V', '3'}, Probe::FirstByteBelow64},
    {{'D', 'I', 'V', '4'}, Probe::FirstByteBelow64}, {{'D', 'I', 'V', '5'}, Probe::FirstByteBelow64},
    {{'D', 'I', 'V', '6'}, Probe::FirstByteBelow64}, {{'M', 'P', '4', '2'}, Probe::FirstByteBelow64},
    {{'M', 'P', '4', '3'}, Probe::FirstByteBelow64}, {{'M', 'P', 'G', '3'}, Probe::FirstByteBelow64},
    {{'3', 'I', 'V', '1'}, Probe::FirstByteBelow64}, {{'3', 'I', 'V', 'D'}, Probe::FirstByteBelow64},
    {{'3', 'V', 'I', 'D'}, Probe::FirstByteBelow64}, {{'A', 'P', '4', '1'}, Probe::FirstByteBelow64},
    {{'W', 'M', 'V', '1'}, Probe::FirstByteBelow64}, {{'W', 'M', 'V', '3'}, Probe::Wmv3},
    {{'D', 'I', 'V', '1'}, Probe::Mpeg4V1},          {{'M', 'P', '4', '1'}, Probe::Mpeg4V1},
    {{'M', 'P', 'G', '4'}, Probe::Mpeg4V1},          {{'X', 'V', 'I', 'D'}, Probe::Mpeg4Vop},
    {{'D', 'I', 'V', 'X'}, Probe::Mpeg4Vop},         {{'D', 'X', '5', '0'}, Probe::Mpeg4Vop},
    {{'M', '4', 'S', '2'}, Probe::Mpeg4Vop},         {{'M', 'P', '4', 'S'}, Probe::Mpeg4Vop},
    {{'M', 'P', '4', 'V'}, Probe::Mpeg4Vop},         {{'3', 'I', 'V', '2'}, Probe::Mpeg4Vop},
    {{'4', '0', '0', '0'}, Probe::Mpeg4Vop},         {{'H', '2', '6', '4'}, Probe::H264},
    {{'X', '2', '6', '4'}, Probe::H264},
};

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Each letter matches in either case, so mixed-case codes as muxers write them ("XviD", "DivX")
// are probed by their row instead of having every frame taken for a key frame.
Probe ProbeFor(DWORD compression)
{
    const std::array<char, 4> code = {Upper(static_cast<char>(compression)), Upper(static_cast<char>(compression >> 8)),
                                      Upper(static_cast<char>(compression >> 16)), Upper(static_cast<char>(compression >> 24))};
    for (const Row& row : kRows)
        if (row.code == code)
            return row.probe;
    return Probe::Always;
}

bool StartsWith(std::span<const BYTE> data, std::array<BYTE, 4> prefix)
{
    return data.size() >= 4 && std::equal(prefix.begin(), prefix.end(), data.begin());
}

}  // namespace

bool AviChunkIsKeyFrame(DWORD compression, std::span<const BYTE> data)
{
    if (data.empty())
        return false;
    switch (ProbeFor(compression)) {
    case Probe::FirstByteBelow64:
        return data[0] < 64;
    case Probe::Wmv3:
        return !(data[0] & 0x20);
    case Probe::Mpeg4V1:
        return !StartsWith(data, {0, 0, 1, 0}) || (data.size() > 4 && !(data[4] & 0x06));
    case Probe::Mpeg4Vop:
        return !StartsWith(data, {0, 0, 1, 0xB6}) || (data.size() > 4 && data[4] < 64);
    case Probe::H264: {
        if (!StartsWith(data, {0, 0, 0, 1}))
            return !(data[0] & 0x20);
        if (data.size() < 5 || (data[4] & 0x1F) != 1)
            return true;
        CBitReader bits;
        bits.Load(data.subspan(5));
        bits.GetUE();  // first_mb_in_slice
        const auto sliceType = bits.GetUE();
        return sliceType == 2 || sliceType == 7;
    }
    case Probe::Always:
        break;
    }
    return true;
}
