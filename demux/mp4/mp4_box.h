// Mp4Box: one node of an MP4/QuickTime box tree, and the plain records its payload decodes into.
// Each record has one Parse over the box's payload bytes; a Parse that returns false fails the
// box, which ends the reading of its siblings.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/platform.h"

// A box type as the four bytes stand in the file, most significant first.
constexpr std::uint32_t Mp4Type(const char (&text)[5])
{
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(text[0])) << 24)
        | (static_cast<std::uint32_t>(static_cast<unsigned char>(text[1])) << 16)
        | (static_cast<std::uint32_t>(static_cast<unsigned char>(text[2])) << 8)
        | static_cast<std::uint32_t>(static_cast<unsigned char>(text[3]));
}

// The three "ms" sound entries carry a wave format tag in their last two bytes.
constexpr std::uint32_t Mp4MsType(std::uint16_t formatTag) { return (std::uint32_t{'m'} << 24) | (std::uint32_t{'s'} << 16) | formatTag; }

std::string Mp4TypeText(std::uint32_t type);

class KByteReader;

// Version and flags of a full box (flags may be null).
bool ReadMp4FullHeader(KByteReader& r, std::uint8_t* version, std::uint32_t* flags);
// A 32- or 64-bit field, by the box version.
bool ReadMp4Versioned(KByteReader& r, std::uint8_t version, std::uint64_t* out);

struct Mp4Payload {
    virtual ~Mp4Payload() = default;
};

struct Mp4Ftyp : Mp4Payload {
    std::uint32_t majorBrand = 0;
    std::uint32_t minorVersion = 0;
    std::vector<std::uint32_t> compatibleBrands;
    bool Parse(std::span<const BYTE> payload);
};

struct Mp4Mvhd : Mp4Payload {
    std::uint8_t version = 0;
    std::uint32_t timeScale = 0;
    std::uint64_t duration = 0;
    bool Parse(std::span<const BYTE> payload);
};

struct Mp4Tkhd : Mp4Payload {
    std::uint8_t version = 0;
    std::uint32_t flags = 0;
    std::uint32_t trackId = 0;
    std::uint64_t duration = 0;
    std::array<std::uint32_t, 9> matrix{};
    std::uint32_t width = 0;   // 16.16 fixed point
    std::uint32_t height = 0;  // 16.16 fixed point
    bool Parse(std::span<const BYTE> payload);
};

struct Mp4Mdhd : Mp4Payload {
    std::uint32_t timeScale = 0;
    std::uint64_t duration = 0;
    std::array<char, 4> language{};  // three letters and a terminator
    bool Parse(std::span<const BYTE> payload);
};

struct Mp4Hdlr : Mp4Payload {
    std::uint32_t handlerType = 0;
    std::string name;
    bool Parse(std::span<const BYTE> payload);
};

// "stts", "ctts" and "stsh": (count, value) pairs.
struct Mp4RunTable : Mp4Payload {
    struct Run {
        std::uint32_t count;
        std::uint32_t value;
    };
    std::vector<Run> runs;
    bool Parse(std::span<const BYTE> payload);
};

struct Mp4Stsz : Mp4Payload {
    std::uint32_t sampleSize = 0;
    std::uint32_t sampleCount = 0;
    std::vector<std::uint32_t> sizes;  // only when sampleSize is 0; may hold fewer than the count
    bool Parse(std::span<const BYTE> payload);
};

struct Mp4Stsc : Mp4Payload {
    struct Entry {
        std::uint32_t firstChunk;
        std::uint32_t samplesPerChunk;
        std::uint32_t descriptionIndex;
    };
    std::vector<Entry> entries;
    bool Parse(std::span<const BYTE> payload);
};

// "stco" and "co64".
struct Mp4ChunkOffsets : Mp4Payload {
    std::vector<std::uint64_t> offsets;
    bool Parse(std::span<const BYTE> payload, bool wide);
};

struct Mp4Stss : Mp4Payload {
    std::vector<std::uint32_t> samples;  // 0-based
    bool Parse(std::span<const BYTE> payload);
};

struct Mp4Esds : Mp4Payload {
    bool hasDecoderConfig = false;
    std::uint8_t objectType = 0;
    std::uint8_t streamType = 0;
    std::uint32_t bufferSize = 0;
    std::uint32_t maxBitRate = 0;
    std::uint32_t avgBitRate = 0;
    std::vector<BYTE> decoderSpecificInfo;
    bool Parse(std::span<const BYTE> payload);
};

struct Mp4Dcom : Mp4Payload {
    std::uint32_t algorithm = 0;
    bool Parse(std::span<const BYTE> payload);
};

struct Mp4Cmvd : Mp4Payload {
    std::uint32_t uncompressedSize = 0;
    std::vector<BYTE> compressed;
    bool Parse(std::span<const BYTE> payload);
};

// "dqcp", "d723", "devc": the 8-byte record is also the codec's extra data.
struct Mp4DecoderRecord : Mp4Payload {
    std::array<BYTE, 8> record{};  // vendor (4 bytes), decoder version, frames per sample, 2 zero bytes
    bool Parse(std::span<const BYTE> payload);
};

struct Mp4AvcC : Mp4Payload {
    std::vector<BYTE> bytes;
    bool Parse(std::span<const BYTE> payload);
};

struct Mp4Dac3 : Mp4Payload {
    std::uint8_t fscod = 0, bsid = 0, bsmod = 0, acmod = 0, lfeon = 0, bitRateCode = 0;
    bool Parse(std::span<const BYTE> payload);
};

struct Mp4Pasp : Mp4Payload {
    std::uint32_t horizontalSpacing = 0;
    std::uint32_t verticalSpacing = 0;
    bool Parse(std::span<const BYTE> payload);
};

// A sound sample entry; the box's extra buffer holds the entry body after its first 8 bytes.
struct Mp4SoundEntry : Mp4Payload {
    std::uint16_t version = 0;
    std::uint16_t revision = 0;
    std::uint32_t vendor = 0;
    std::uint16_t channels = 0;
    std::uint16_t sampleSize = 0;  // bits
    std::uint16_t compressionId = 0;
    std::uint16_t packetSize = 0;
    std::uint16_t rate = 0;  // integer part of the 16.16 rate
    std::uint16_t rateFraction = 0;
    std::uint32_t samplesPerPacket = 0;
    std::uint32_t bytesPerPacket = 0;
    std::uint32_t bytesPerFrame = 0;
    std::uint32_t bytesPerSample = 0;
    std::size_t childOffset = 28;  // where child boxes begin, from the payload start
    bool Parse(std::span<const BYTE> payload);
};

struct Mp4VideoEntry : Mp4Payload {
    std::uint16_t version = 0;
    std::uint32_t vendor = 0;
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    std::uint32_t dataSize = 0;
    std::uint16_t frameCount = 0;
    std::array<char, 33> compressorName{};
    std::uint16_t depth = 0;
    std::uint16_t colorTableId = 0;
    static constexpr std::size_t kChildOffset = 78;
    bool Parse(std::span<const BYTE> payload);
};

struct Mp4Box {
    LONGLONG start = 0;
    std::uint32_t type = 0;
    std::uint32_t size32 = 0;
    std::array<BYTE, 16> uuid{};
    std::uint64_t size = 0;
    std::unique_ptr<Mp4Payload> data;
    std::vector<BYTE> extra;  // a sample entry's body after its first 8 bytes
    Mp4Box* parent = nullptr;
    std::vector<std::unique_ptr<Mp4Box>> children;

    std::uint32_t HeaderLength() const
    {
        return 8 + (size32 == 1 ? 8 : 0) + (type == Mp4Type("uuid") ? 16 : 0);
    }
    template <typename Record>
    const Record* Payload() const
    {
        return dynamic_cast<const Record*>(data.get());
    }
};

// The box a path names from start, or null. Components are separated by "/": a leading "/"
// climbs to the root, "." stays, ".." climbs one, a four-character type moves to the n-th child
// of that type ("trak[1]"; n is 0 without an index), and "[n]" alone to the n-th child of any type.
const Mp4Box* FindBox(const Mp4Box& start, std::string_view path);
// A path with an index: IndexedPath("/moov/trak", 2) is "/moov/trak[2]".
std::string IndexedPath(const char* base, std::uint32_t index);
// 0 when the path names no box, else 1 plus the later siblings of the same type.
int CountBoxes(const Mp4Box& start, std::string_view path);
