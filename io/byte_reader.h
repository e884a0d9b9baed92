// Byte helpers shared by every parser: fixed-width big- and little-endian loads, and a cursor
// that knows its bounds so that no length taken from a file can make a read run past its data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

constexpr std::uint16_t ReadBE16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

constexpr std::uint32_t ReadBE24(const std::uint8_t* p)
{
    return (static_cast<std::uint32_t>(p[0]) << 16) | (static_cast<std::uint32_t>(p[1]) << 8) | p[2];
}

constexpr std::uint32_t ReadBE32(const std::uint8_t* p)
{
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | p[3];
}

constexpr std::uint64_t ReadBE64(const std::uint8_t* p)
{
    return (static_cast<std::uint64_t>(ReadBE32(p)) << 32) | ReadBE32(p + 4);
}

constexpr std::uint16_t ReadLE16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

constexpr std::uint32_t ReadLE24(const std::uint8_t* p)
{
    return p[0] | (static_cast<std::uint32_t>(p[1]) << 8) | (static_cast<std::uint32_t>(p[2]) << 16);
}

constexpr std::uint32_t ReadLE32(const std::uint8_t* p)
{
    return p[0] | (static_cast<std::uint32_t>(p[1]) << 8) | (static_cast<std::uint32_t>(p[2]) << 16) |
           (static_cast<std::uint32_t>(p[3]) << 24);
}

constexpr std::uint64_t ReadLE64(const std::uint8_t* p)
{
    return ReadLE32(p) | (static_cast<std::uint64_t>(ReadLE32(p + 4)) << 32);
}

// Every read either succeeds whole and advances, or returns false and leaves the cursor where it
// was. Parsers chain the reads and give up at the first false.
class KByteReader {
public:
    constexpr explicit KByteReader(std::span<const std::uint8_t> data) : data_(data) {}

    constexpr bool Read1(std::uint8_t* out) { return Load<1>(out, [](const std::uint8_t* p) { return *p; }); }
    constexpr bool ReadBE2(std::uint16_t* out) { return Load<2>(out, ReadBE16); }
    constexpr bool ReadBE3(std::uint32_t* out) { return Load<3>(out, ReadBE24); }
    constexpr bool ReadBE4(std::uint32_t* out) { return Load<4>(out, ReadBE32); }
    constexpr bool ReadBE8(std::uint64_t* out) { return Load<8>(out, ReadBE64); }
    constexpr bool ReadLE2(std::uint16_t* out) { return Load<2>(out, ReadLE16); }
    constexpr bool ReadLE4(std::uint32_t* out) { return Load<4>(out, ReadLE32); }
    constexpr bool ReadLE8(std::uint64_t* out) { return Load<8>(out, ReadLE64); }

    constexpr bool Skip(std::size_t count)
    {
        if (count > Remaining())
            return false;
        position_ += count;
        return true;
    }

    // A view of the next count bytes, borrowed from the reader's data.
    constexpr bool ReadBytes(std::size_t count, std::span<const std::uint8_t>* out)
    {
        if (!out || count > Remaining())
            return false;
        *out = data_.subspan(position_, count);
        position_ += count;
        return true;
    }

    constexpr std::size_t Remaining() const { return data_.size() - position_; }
    constexpr std::size_t Position() const { return position_; }

private:
    // Compared against what is left rather than position + width, which could wrap.
    template <std::size_t Width, typename T, typename Decode>
    constexpr bool Load(T* out, Decode decode)
    {
        if (!out || Width > Remaining())
            return false;
        *out = decode(data_.data() + position_);
        position_ += Width;
        return true;
    }

    std::span<const std::uint8_t> data_;
    std::size_t position_ = 0;
};
