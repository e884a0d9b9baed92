// MP4 boxes built inline for the MP4 tests: big-endian fields, boxes and full boxes.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "platform/platform.h"

namespace vmx::test::mp4 {

using Bytes = std::vector<BYTE>;

inline Bytes U32(std::uint32_t v) { return {BYTE(v >> 24), BYTE(v >> 16), BYTE(v >> 8), BYTE(v)}; }
inline Bytes U16(std::uint16_t v) { return {BYTE(v >> 8), BYTE(v)}; }

inline Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

inline Bytes Box(const char (&type)[5], const Bytes& body)
{
    return Cat({U32(static_cast<std::uint32_t>(8 + body.size())), Bytes(type, type + 4), body});
}

// A full box with its version and flags word.
inline Bytes Full(const char (&type)[5], std::uint32_t versionFlags, const Bytes& body)
{
    return Box(type, Cat({U32(versionFlags), body}));
}

}  // namespace vmx::test::mp4
