// A bit reader over a private copy of a byte buffer, with the fixed-width and Exp-Golomb reads
// that H.264 headers are made of. A read that does not fit in what is left returns 0 and moves
// nothing, so a truncated header yields zeros for its remaining fields.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

class CBitReader {
public:
    CBitReader() = default;
    CBitReader(const CBitReader&) = delete;
    CBitReader& operator=(const CBitReader&) = delete;
    virtual ~CBitReader() = default;

    // Replaces any loaded data and rewinds to its first bit.
    void Load(std::span<const std::uint8_t> bytes);

    // The next n bits (1 to 32), the first one read as the most significant.
    std::uint32_t GetBits(int n);
    // One unsigned Exp-Golomb code, ue(v).
    std::uint64_t GetUE();
    // One signed Exp-Golomb code, se(v): 0, 1, -1, 2, -2, ... for ue values 0, 1, 2, 3, 4, ...
    std::int64_t GetSE();
    bool SkipBits(std::uint32_t n);
    // Moves to the next byte boundary (stays when already on one).
    void AlignByte();

    std::uint32_t BitIndex() const { return bitIndex_; }
    std::uint32_t BitCount() const { return bitCount_; }
    std::uint32_t BitsLeft() const { return bitCount_ - bitIndex_; }

private:
    bool BitAt(std::uint32_t index) const { return (bytes_[index / 8] >> (7 - index % 8)) & 1; }

    // Kept as bytes rather than one byte per bit; a bit is picked out on each read.
    std::vector<std::uint8_t> bytes_;
    std::uint32_t bitIndex_ = 0;
    std::uint32_t bitCount_ = 0;
};
