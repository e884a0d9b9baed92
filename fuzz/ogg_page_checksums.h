// For the Ogg fuzz targets: pages whose checksum fails are dropped before any parsing, so every
// page the input frames gets its checksum recomputed first, and mutations reach the stream
// headers and packets.
#pragma once

#include <cstring>
#include <vector>

#include "demux/ogg/ogg_framing.h"

inline void FixOggPageChecksums(std::vector<std::uint8_t>& bytes)
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
        const std::uint32_t crc = OggPageChecksum(std::span(bytes).subspan(at, length));
        for (int i = 0; i < 4; ++i)
            bytes[at + 22 + static_cast<size_t>(i)] = static_cast<std::uint8_t>(crc >> (8 * i));
    }
}
