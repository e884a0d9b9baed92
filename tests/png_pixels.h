// Reads the pixels of an 8-bit RGB or RGBA PNG (what a browser's screenshot writes), so a test
// can look at what was drawn.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace vmx::test {

struct Pixels {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> rgb;  // three bytes a pixel, rows top down

    std::uint32_t CountNear(std::uint8_t r, std::uint8_t g, std::uint8_t b, int tolerance = 24) const
    {
        std::uint32_t count = 0;
        for (size_t i = 0; i + 2 < rgb.size(); i += 3)
            count += std::abs(rgb[i] - r) <= tolerance && std::abs(rgb[i + 1] - g) <= tolerance
                && std::abs(rgb[i + 2] - b) <= tolerance;
        return count;
    }
};

inline std::optional<Pixels> ReadPng(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    static constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (file.size() < 8 || !std::equal(kSignature, kSignature + 8, file.begin()))
        return std::nullopt;
    auto be32 = [&](size_t at) {
        return static_cast<std::uint32_t>(file[at]) << 24 | file[at + 1] << 16 | file[at + 2] << 8 | file[at + 3];
    };
    Pixels pixels;
    unsigned channels = 0;
    std::vector<std::uint8_t> compressed;
    for (size_t at = 8; at + 12 <= file.size();) {
        const std::uint32_t length = be32(at);
        const std::string type(file.begin() + static_cast<long>(at) + 4, file.begin() + static_cast<long>(at) + 8);
        if (at + 12 + length > file.size())
            return std::nullopt;
        const size_t data = at + 8;
        if (type == "IHDR") {
            pixels.width = be32(data);
            pixels.height = be32(data + 4);
            if (file[data + 8] != 8 || file[data + 12] != 0 || (file[data + 9] != 2 && file[data + 9] != 6))
                return std::nullopt;  // only 8-bit, non-interlaced RGB or RGBA
            channels = file[data + 9] == 2 ? 3 : 4;
        } else if (type == "IDAT") {
            compressed.insert(compressed.end(), file.begin() + static_cast<long>(data),
                              file.begin() + static_cast<long>(data + length));
        }
        at += 12 + length;
    }
    const size_t stride = static_cast<size_t>(pixels.width) * channels;
    uLongf size = static_cast<uLongf>((stride + 1) * pixels.height);
    std::vector<std::uint8_t> raw(size);
    if (channels == 0 || uncompress(raw.data(), &size, compressed.data(), static_cast<uLong>(compressed.size())) != Z_OK
        || size != raw.size())
        return std::nullopt;
    std::vector<std::uint8_t> previous(stride, 0), row(stride);
    for (std::uint32_t y = 0; y < pixels.height; ++y) {
        const std::uint8_t* line = &raw[y * (stride + 1)];
        for (size_t x = 0; x < stride; ++x) {
            const int a = x >= channels ? row[x - channels] : 0;
            const int b = previous[x];
            const int c = x >= channels ? previous[x - channels] : 0;
            int predicted = 0;
            switch (line[0]) {
            case 1: predicted = a; break;
            case 2: predicted = b; break;
            case 3: predicted = (a + b) / 2; break;
            case 4: {
                const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
                predicted = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
                break;
            }
            default: break;
            }
            row[x] = static_cast<std::uint8_t>(line[1 + x] + predicted);
        }
        for (std::uint32_t x = 0; x < pixels.width; ++x)
            pixels.rgb.insert(pixels.rgb.end(), &row[x * channels], &row[x * channels] + 3);
        previous = row;
    }
    return pixels;
}

}  // namespace vmx::test
