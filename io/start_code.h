// MPEG start codes (00 00 01 xx) in a span of bytes.
#pragma once

#include <cstddef>
#include <cstring>
#include <span>

#include "platform/platform.h"

inline constexpr size_t kNoStartCode = size_t(-1);

namespace start_code_detail {

// The 01 bytes are found with memchr: a frame of a high-rate stream is scanned whole for its
// units. idNeeded: only codes whose xx byte is in the span, and passes the test, count.
template <typename Accept>
size_t Find(std::span<const BYTE> bytes, size_t from, bool idNeeded, Accept accept)
{
    const BYTE* base = bytes.data();
    const size_t size = bytes.size();
    const size_t end = idNeeded ? (size > 0 ? size - 1 : 0) : size;
    for (size_t at = from + 2; at < end;) {
        const void* one = std::memchr(base + at, 1, end - at);
        if (!one)
            return kNoStartCode;
        at = static_cast<size_t>(static_cast<const BYTE*>(one) - base);
        if (base[at - 1] == 0 && base[at - 2] == 0 && (!idNeeded || accept(base[at + 1])))
            return at - 2;
        ++at;
    }
    return kNoStartCode;
}

}  // namespace start_code_detail

// The offset of the first 00 00 01 xx at or after `from` whose xx passes the test, or
// kNoStartCode.
template <typename Accept>
size_t FindStartCodeIn(std::span<const BYTE> bytes, size_t from, Accept accept)
{
    return start_code_detail::Find(bytes, from, true, accept);
}

// The offset of the first 00 00 01 at or after `from`, its xx byte arrived or not: a cutter that
// reads a stream packet by packet learns where a unit ends before it learns what follows.
inline size_t FindStartCodePrefix(std::span<const BYTE> bytes, size_t from)
{
    return start_code_detail::Find(bytes, from, false, [](BYTE) { return true; });
}

// Each NAL unit of an Annex B byte stream, without its start code and without the zero bytes
// before the next one (a 4-byte code's first zero, trailing_zero_8bits): a NAL unit never ends
// in a zero byte, as its payload ends with a stop bit.
template <typename Visit>
void ForEachAnnexBUnit(std::span<const BYTE> bytes, Visit visit)
{
    for (size_t code = FindStartCodeIn(bytes, 0, [](BYTE) { return true; }); code != kNoStartCode;) {
        const size_t unit = code + 3;
        const size_t next = FindStartCodePrefix(bytes, unit);
        size_t end = next == kNoStartCode ? bytes.size() : next;
        while (end > unit && bytes[end - 1] == 0)
            --end;
        if (end > unit)
            visit(bytes.subspan(unit, end - unit));
        code = next != kNoStartCode && next + 3 < bytes.size() ? next : kNoStartCode;  // a code with its id byte
    }
}
