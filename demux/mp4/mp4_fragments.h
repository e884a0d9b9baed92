// Fragmented MP4, read only with the module's extensions on: the movie fragments ("moof/traf"
// with "tfhd", "tfdt" and "trun") are read into the same chunk and sample tables the movie box
// gives, with the defaults of "mvex/trex", and the random-access table ("mfra/tfra") names where
// seeks may land. Each "trun" becomes one chunk: its samples lie back to back.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "demux/mp4/mp4_box.h"
#include "demux/mp4/mp4_track.h"

// Sample flags: the bit that marks a sample that is not a sync sample.
inline constexpr std::uint32_t kMp4SampleNotSync = 0x10000;

struct Mp4Trex : Mp4Payload {
    std::uint32_t trackId = 0;
    std::uint32_t descriptionIndex = 0;
    std::uint32_t duration = 0;
    std::uint32_t size = 0;
    std::uint32_t flags = 0;
    bool Parse(std::span<const BYTE> payload);
};

struct Mp4Tfhd : Mp4Payload {
    static constexpr std::uint32_t kBaseOffset = 0x1, kDescription = 0x2, kDuration = 0x8, kSize = 0x10,
                                   kFlags = 0x20, kBaseIsMoof = 0x20000;
    std::uint32_t flags = 0;
    std::uint32_t trackId = 0;
    std::uint64_t baseOffset = 0;
    std::uint32_t descriptionIndex = 0;
    std::uint32_t duration = 0;
    std::uint32_t size = 0;
    std::uint32_t sampleFlags = 0;
    bool Parse(std::span<const BYTE> payload);
};

struct Mp4Tfdt : Mp4Payload {
    std::uint64_t baseDecodeTime = 0;
    bool Parse(std::span<const BYTE> payload);
};

struct Mp4Trun : Mp4Payload {
    static constexpr std::uint32_t kDataOffset = 0x1, kFirstFlags = 0x4, kDuration = 0x100, kSize = 0x200,
                                   kFlags = 0x400, kComposition = 0x800;
    struct Sample {
        std::uint32_t duration;
        std::uint32_t size;
        std::uint32_t flags;
        std::int32_t composition;
    };
    std::uint32_t flags = 0;
    std::uint32_t sampleCount = 0;  // as the box claims it
    std::int32_t dataOffset = 0;
    std::uint32_t firstFlags = 0;
    // One entry a sample when the box carries per-sample fields, as many as its payload holds;
    // empty when every sample takes the defaults.
    std::vector<Sample> samples;
    bool Parse(std::span<const BYTE> payload);
};

struct Mp4Tfra : Mp4Payload {
    struct Entry {
        std::uint64_t time;
        std::uint64_t moofOffset;
        std::uint32_t trafNumber;  // 1-based, as the next two
        std::uint32_t trunNumber;
        std::uint32_t sampleNumber;
    };
    std::uint32_t trackId = 0;
    std::vector<Entry> entries;
    bool Parse(std::span<const BYTE> payload);
};

// Whether a box of this type is a fragment container, or a record decoded here.
bool IsFragmentContainer(std::uint32_t type);
std::unique_ptr<Mp4Payload> DecodeFragmentRecord(std::uint32_t type, std::span<const BYTE> payload);

// Adds every fragment under root to the tracks it names, in file order, then the random-access
// points of "mfra" to the video tracks. No track grows past fileSize samples: a sample takes at
// least a byte.
void AppendFragments(const Mp4Box& root, std::vector<std::unique_ptr<Mp4Track>>& tracks, std::uint64_t fileSize);
