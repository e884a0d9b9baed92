#include "io/bit_reader.h"

#include <algorithm>
#include <limits>

void CBitReader::Load(std::span<const std::uint8_t> bytes)
{
    // The bit count is 32-bit; anything past what it can address is left out.
    const std::size_t kept = std::min<std::size_t>(bytes.size(), std::numeric_limits<std::uint32_t>::max() / 8);
    bytes_.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(kept));
    bitIndex_ = 0;
    bitCount_ = static_cast<std::uint32_t>(kept * 8);
}

std::uint32_t CBitReader::GetBits(int n)
{
    if (n < 1 || n > 32 || static_cast<std::uint32_t>(n) > BitsLeft())
        return 0;
    std::uint32_t value = 0;
    for (int i = 0; i < n; ++i)
        value = (value << 1) | (BitAt(bitIndex_++) ? 1u : 0u);
    return value;
}

std::uint64_t CBitReader::GetUE()
{
    std::uint32_t zeros = 0;
    while (bitIndex_ + zeros < bitCount_ && !BitAt(bitIndex_ + zeros))
        ++zeros;
    if (bitIndex_ + zeros >= bitCount_)
        return 0;
    // A code of 64 leading zeros or more cannot be held in 64 bits; no valid header has one.
    if (zeros > 63 || 2 * std::uint64_t{zeros} + 1 > BitsLeft())
        return 0;
    bitIndex_ += zeros + 1;
    std::uint64_t suffix = 0;
    for (std::uint32_t i = 0; i < zeros; ++i)
        suffix = (suffix << 1) | (BitAt(bitIndex_++) ? 1u : 0u);
    return ((std::uint64_t{1} << zeros) - 1) + suffix;
}

std::int64_t CBitReader::GetSE()
{
    const std::uint64_t code = GetUE();
    const auto magnitude = static_cast<std::int64_t>(code / 2 + (code & 1));
    return (code & 1) ? magnitude : -magnitude;
}

bool CBitReader::SkipBits(std::uint32_t n)
{
    if (bitCount_ == 0 || n > BitsLeft())
        return false;
    bitIndex_ += n;
    return true;
}

void CBitReader::AlignByte()
{
    SkipBits((bitCount_ - bitIndex_) % 8);
}
