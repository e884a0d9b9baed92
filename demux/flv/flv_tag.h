// FLV tags as they stand on disk: the 15-byte window a reader takes in one read (the previous
// tag's size, then the tag header), and the per-codec bytes in front of a tag's payload.
#pragma once

#include <cstdint>
#include <span>

enum class FlvTagType : std::uint8_t { Audio = 8, Video = 9, Script = 18 };

struct FlvTagWindow {
    static constexpr std::uint32_t kSize = 15;

    std::uint32_t previousTagSize = 0;
    std::uint8_t type = 0;
    std::uint32_t dataSize = 0;
    std::uint32_t timestampMs = 0;  // the 24-bit time with its extended byte as bits 24-31
    std::uint32_t streamId = 0;

    // window: at least kSize bytes.
    static FlvTagWindow Parse(std::span<const std::uint8_t> window);

    bool IsMedia() const { return type == 8 || type == 9; }
};

// What comes in front of the payload of an audio or video tag, from the tag's own first bytes.
struct FlvPayloadHead {
    std::uint32_t headerBytes = 0;   // bytes before the payload, the first data byte included
    std::int32_t compositionMs = 0;  // AVC: added to the tag time
    bool codecConfig = false;        // an AAC or AVC sequence header: never a sample
};

// head: the first bytes of the tag's data (at most 5 are looked at; fewer when the tag is
// shorter). The payload is what remains after headerBytes, nothing when the tag is too short.
FlvPayloadHead ParseFlvPayloadHead(FlvTagType type, std::span<const std::uint8_t> head);

// A video tag's first data byte says whether it starts a key frame.
constexpr bool IsFlvKeyFrame(std::uint8_t firstDataByte)
{
    return (firstDataByte & 0x30) == 0x10;
}
