// Builds a container's bytes field by field in the byte order the format fixes, so that tests can
// write the objects and tags no encoder makes.
#pragma once

#include <cstdint>
#include <vector>

namespace vmx::test {

enum class ByteOrder { Big, Little };

// Self: the format's writer, which adds its own fields (a GUID, a string) and gets itself back
// from every call.
template <class Self, ByteOrder Order>
class ByteWriter {
public:
    Self& U8(std::uint64_t v) { return Put(v, 1); }
    Self& U16(std::uint64_t v) { return Put(v, 2); }
    Self& U24(std::uint64_t v) { return Put(v, 3); }
    Self& U32(std::uint64_t v) { return Put(v, 4); }
    Self& U64(std::uint64_t v) { return Put(v, 8); }
    Self& Raw(const std::vector<std::uint8_t>& bytes)
    {
        data.insert(data.end(), bytes.begin(), bytes.end());
        return static_cast<Self&>(*this);
    }
    std::vector<std::uint8_t> data;

protected:
    Self& Put(std::uint64_t v, int n)
    {
        for (int i = 0; i < n; ++i)
            data.push_back(static_cast<std::uint8_t>(v >> (8 * (Order == ByteOrder::Big ? n - 1 - i : i))));
        return static_cast<Self&>(*this);
    }
};

}  // namespace vmx::test
