// A most-significant-bit-first reader over a borrowed buffer, for the fixed-layout codec headers
// (MPEG video sequence, AC-3, AAC, VC-1) that a demuxer has already cut to a checked length.
#pragma once

#include <cstdint>

class CMpegBit {
public:
    CMpegBit(const std::uint8_t* buffer, std::uint32_t size);
    CMpegBit(const CMpegBit&) = delete;
    CMpegBit& operator=(const CMpegBit&) = delete;
    virtual ~CMpegBit() = default;

    // Forgets the buffer and rewinds; returns 0.
    virtual int Reset();
    void Attach(const std::uint8_t* buffer, std::uint32_t size);

    // The next n bits, the first one read as the most significant. n above 64 returns 0 and reads
    // nothing. Bits past the end of the buffer read as 0 and the position stops at the end.
    std::uint64_t GetBits(unsigned n);

    // Origin 0 sets the position to offset bits, origin 1 moves it by offset bits. A target below
    // 0 or past the end, or another origin, returns 0 and leaves the position; else returns 1.
    int SetBitPos(std::int32_t offset, int origin);

    std::uint32_t BytePos() const { return bytePos_; }
    std::uint8_t BitPos() const { return bitPos_; }

private:
    const std::uint8_t* buffer_ = nullptr;
    std::uint32_t size_ = 0;
    std::uint32_t bytePos_ = 0;
    std::uint8_t bitPos_ = 0;
};
