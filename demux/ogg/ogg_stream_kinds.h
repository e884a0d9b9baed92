// The kinds of Ogg logical stream the second Ogg filter reads, one file each: what they share, and
// how KOGG2ReadStream::Create makes one.
#pragma once

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>

#include "demux/ogg/ogg_read_stream.h"

namespace ogg_kinds {

inline constexpr REFERENCE_TIME kSecond = 10000000;

inline bool SignatureAt(std::span<const std::uint8_t> packet, std::string_view text)
{
    return packet.size() > text.size() && std::memcmp(packet.data() + 1, text.data(), text.size()) == 0;
}

// Positions come from granules a file may set to anything: sums saturate.
inline std::int64_t Add(std::int64_t a, std::int64_t b)
{
    std::int64_t sum;
    return __builtin_add_overflow(a, b, &sum) ? (b > 0 ? INT64_MAX : INT64_MIN) : sum;
}

// value x numerator / denominator without overflowing on the way; 0 for a zero denominator.
inline std::int64_t Scale(std::int64_t value, std::int64_t numerator, std::int64_t denominator)
{
    if (denominator == 0)
        return 0;
    const __int128 product = static_cast<__int128>(value) * numerator / denominator;
    return static_cast<std::int64_t>(std::clamp<__int128>(product, INT64_MIN, INT64_MAX));
}

std::unique_ptr<KOGG2ReadStream> MakeVorbisStream(int serial);
std::unique_ptr<KOGG2ReadStream> MakeTheoraStream(int serial);
std::unique_ptr<KOGG2ReadStream> MakeOgmStream(OggStreamKind kind, int serial);
std::unique_ptr<KOGG2ReadStream> MakeKStream(int serial);
std::unique_ptr<KOGG2ReadStream> MakeOpusStream(int serial);
std::unique_ptr<KOGG2ReadStream> MakeFlacStream(int serial);
std::unique_ptr<KOGG2ReadStream> MakeSpeexStream(int serial);

}  // namespace ogg_kinds
