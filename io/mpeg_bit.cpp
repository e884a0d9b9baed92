#include "io/mpeg_bit.h"

#include <algorithm>

CMpegBit::CMpegBit(const std::uint8_t* buffer, std::uint32_t size)
{
    Attach(buffer, size);
}

int CMpegBit::Reset()
{
    buffer_ = nullptr;
    size_ = 0;
    bytePos_ = 0;
    bitPos_ = 0;
    return 0;
}

void CMpegBit::Attach(const std::uint8_t* buffer, std::uint32_t size)
{
    Reset();
    buffer_ = buffer;
    size_ = buffer ? size : 0;
}

std::uint64_t CMpegBit::GetBits(unsigned n)
{
    if (n > 64)
        return 0;
    std::uint64_t value = 0;
    unsigned wanted = n;
    while (wanted > 0) {
        if (bytePos_ >= size_) {
            // Past the end: the rest reads as zeros and the position stays at the end.
            value = wanted == 64 ? 0 : value << wanted;  // nothing was read when 64 are wanted
            break;
        }
        const unsigned left = 8u - bitPos_;
        const unsigned take = std::min(wanted, left);
        const unsigned chunk = (buffer_[bytePos_] >> (left - take)) & ((1u << take) - 1u);
        value = (value << take) | chunk;
        wanted -= take;
        bitPos_ = static_cast<std::uint8_t>(bitPos_ + take);
        if (bitPos_ == 8) {
            bitPos_ = 0;
            ++bytePos_;
        }
    }
    return value;
}

int CMpegBit::SetBitPos(std::int32_t offset, int origin)
{
    std::int64_t target = 0;
    if (origin == 0)
        target = offset;
    else if (origin == 1)
        target = static_cast<std::int64_t>(bytePos_) * 8 + bitPos_ + offset;
    else
        return 0;
    if (target < 0 || target > static_cast<std::int64_t>(size_) * 8)
        return 0;
    bytePos_ = static_cast<std::uint32_t>(target / 8);
    bitPos_ = static_cast<std::uint8_t>(target % 8);
    return 1;
}
