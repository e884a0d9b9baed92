// MPEG start codes (00 00 01 xx) in a span of bytes.
#pragma once

#include <cstddef>
#include <cstring>
#include <span>

#include "platform/platform.h"

inline constexpr size_t kNoStartCode = size_t(-1);

// The offset of the first 00 00 01 xx at or after `from` whose xx passes the test, or
// kNoStartCode. The 01 bytes are found with memchr: a frame of a high-rate stream is scanned
// whole for its units.
template <typename Accept>
size_t FindStartCodeIn(std::span<const BYTE> bytes, size_t from, Accept accept)
{
    const BYTE* base = bytes.data();
    const size_t size = bytes.size();
    for (size_t at = from + 2; at + 1 < size;) {
        const void* one = std::memchr(base + at, 1, size - 1 - at);
        if (!one)
            return kNoStartCode;
        at = static_cast<size_t>(static_cast<const BYTE*>(one) - base);
        if (base[at - 1] == 0 && base[at - 2] == 0 && accept(base[at + 1]))
            return at - 2;
        ++at;
    }
    return kNoStartCode;
}
