// The Matroska block layer: a Block or SimpleBlock with its laced frames, the BlockGroup record
// around a Block, and a Cluster's Timecode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "demux/mkv/ebml_element.h"
#include "io/byte_buffer.h"

namespace mkv_block_id {
constexpr std::uint32_t kClusterTimecode = 0xE7;
constexpr std::uint32_t kBlock = 0xA1;
constexpr std::uint32_t kBlockDuration = 0x9B;
constexpr std::uint32_t kReferencePriority = 0xFA;
constexpr std::uint32_t kReferenceBlock = 0xFB;
constexpr std::uint32_t kReferenceVirtual = 0xFD;
constexpr std::uint32_t kCodecState = 0xA4;
// TimeSlice records sit inside a Slices element; some writers put them straight in the group.
constexpr std::uint32_t kSlices = 0x8E;
constexpr std::uint32_t kTimeSlice = 0xE8;
constexpr std::uint32_t kLaceNumber = 0xCC;
constexpr std::uint32_t kFrameNumber = 0xCD;
constexpr std::uint32_t kDelay = 0xCE;
constexpr std::uint32_t kSliceDuration = 0xCF;
constexpr std::uint32_t kBlockAdditions = 0x75A1;
constexpr std::uint32_t kBlockMore = 0xA6;
constexpr std::uint32_t kBlockAddId = 0xEE;
constexpr std::uint32_t kBlockAdditional = 0xA5;
}  // namespace mkv_block_id

struct KMkvTimeSlice {
    CUInt laceNumber;
    CUInt frameNumber;
    CUInt delay;
    CUInt sliceDuration;
};

struct KMkvBlockMore {
    CUInt blockAddId;
    std::vector<BYTE> blockAdditional;
};

struct KMkvBlock {
    CLength trackNumber;
    CInt timecode;  // signed 16-bit ticks relative to the Cluster's Timecode
    CByte flags;    // 0x80 key frame (SimpleBlock only), bits 1-2 the lacing kind
    std::vector<KByteBuffer> frames;  // in lace order
    CUInt blockDuration;
    CUInt referencePriority;
    CInt referenceBlock;
    CInt referenceVirtual;
    std::vector<BYTE> codecState;
    std::vector<KMkvTimeSlice> timeSlices;
    std::vector<KMkvBlockMore> blockAdditions;  // read only together with the frames

    // Having a ReferenceBlock means not being a key frame, for both block kinds.
    bool IsKeyframe() const { return !referenceBlock.valid; }
    int Lacing() const { return (flags.value >> 1) & 3; }
    size_t FrameBytes() const;
};

// A Block (0xA1) or SimpleBlock (0xA3): the header, and with readFrames every laced frame. Sets
// only the header fields and the frames. False when the header cannot be read or the lace table
// does not fit the block; then no frames are kept. No read goes past the element or the file.
bool ParseBlock(KEbmlElement& element, KMkvBlock& block, bool readFrames);
// ParseBlock on a fresh record, then the key frame flag turned into the group form: a
// SimpleBlock without 0x80 gets ReferenceBlock 0.
bool ParseSimpleBlock(KEbmlElement& element, KMkvBlock& block, bool readFrames);
// A BlockGroup (0xA0) into a fresh record; true when its Block child was read.
bool ParseBlockGroup(KEbmlElement& element, KMkvBlock& block, bool readFrames);
// The Cluster's first Timecode child; not valid when it has none.
CUInt ReadClusterTimecode(KEbmlElement& cluster);
