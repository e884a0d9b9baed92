// libFuzzer target: the second Ogg source on arbitrary bytes. Pages whose checksum fails are
// dropped before any parsing, so every page the input frames gets its checksum recomputed
// first: mutations then reach the stream headers and packets.
#include <array>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_play.h"
#include "module/templates.h"

namespace {

std::uint32_t OggCrc(const std::uint8_t* data, size_t size)
{
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t r = i << 24;
            for (int k = 0; k < 8; ++k)
                r = r & 0x80000000u ? (r << 1) ^ 0x04C11DB7u : r << 1;
            t[i] = r;
        }
        return t;
    }();
    std::uint32_t crc = 0;
    for (size_t i = 0; i < size; ++i)
        crc = (crc << 8) ^ table[((crc >> 24) ^ data[i]) & 0xFF];
    return crc;
}

void FixPageChecksums(std::vector<std::uint8_t>& bytes)
{
    for (size_t at = 0; at + 27 <= bytes.size(); ++at) {
        if (std::memcmp(bytes.data() + at, "OggS", 4) != 0)
            continue;
        const size_t segments = bytes[at + 26];
        if (at + 27 + segments > bytes.size())
            break;
        size_t length = 27 + segments;
        for (size_t i = 0; i < segments; ++i)
            length += bytes[at + 27 + i];
        if (at + length > bytes.size())
            continue;
        std::memset(bytes.data() + at + 22, 0, 4);
        const std::uint32_t crc = OggCrc(bytes.data() + at, length);
        for (int i = 0; i < 4; ++i)
            bytes[at + 22 + static_cast<size_t>(i)] = static_cast<std::uint8_t>(crc >> (8 * i));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::uint8_t> bytes(data, data + size);
    FixPageChecksums(bytes);
    return FuzzPlay(bytes.data(), bytes.size(), CLSID_VmxOgg2Source);
}
