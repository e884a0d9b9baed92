// EBML bytes built inline for the Matroska tests: IDs, sizes and elements, and a scratch file
// holding them that a KMkvReader can open.
#pragma once

#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "demux/mkv/mkv_reader.h"
#include "tests/test_support.h"

namespace vmx::test {

using Bytes = std::vector<BYTE>;

inline Bytes EbmlId(std::uint32_t value)
{
    Bytes out;
    for (int shift = 24; shift >= 0; shift -= 8)
        if ((value >> shift) || shift == 0)
            out.push_back(static_cast<BYTE>(value >> shift));
    return out;
}

// One byte below 127, else the eight-byte form.
inline Bytes EbmlSize(std::uint64_t size)
{
    if (size < 0x7F)
        return {static_cast<BYTE>(0x80 | size)};
    Bytes out = {0x01};
    for (int shift = 48; shift >= 0; shift -= 8)
        out.push_back(static_cast<BYTE>(size >> shift));
    return out;
}

inline Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

inline Bytes El(std::uint32_t elementId, const Bytes& payload)
{
    return Concat({EbmlId(elementId), EbmlSize(payload.size()), payload});
}
inline Bytes UnknownSizeEl(std::uint32_t elementId, const Bytes& payload)
{
    return Concat({EbmlId(elementId), {0xFF}, payload});
}

inline const Bytes kEmptyEbmlHeader = {0x1A, 0x45, 0xDF, 0xA3, 0x80};

class MkvFile {
public:
    explicit MkvFile(const Bytes& bytes)
    {
        path_ = dir_.file("test.mkv");
        std::ofstream(path_, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        wide_ = Wide(path_);
    }
    HRESULT Open(KMkvReader& reader) const { return reader.Open(wide_.c_str()); }
    const std::string& Path() const { return path_; }

private:
    ScopedTempDir dir_;
    std::string path_;
    std::u16string wide_;
};

}  // namespace vmx::test
