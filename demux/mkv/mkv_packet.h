// The Matroska packets: KMkvPacket carries one payload to one pin (a Vorbis header, or one frame
// of a block once the pin splits it); KMkvBlockPacket carries a whole block with its frames from
// the demux thread to the pin.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "demux/mkv/mkv_block.h"
#include "io/byte_buffer.h"
#include "io/packet.h"

class KMkvPacket {
public:
    KMkvPacket() = default;
    KMkvPacket(const KMkvPacket&) = delete;
    KMkvPacket& operator=(const KMkvPacket&) = delete;
    virtual ~KMkvPacket() = default;

    virtual DWORD GetSize() const { return static_cast<DWORD>(payload.size()); }
    bool HasTime() const { return start != PACKET_NO_TIME; }

    std::uint32_t track = 0;  // TrackNumber
    DWORD streamNumber = 0;   // the pin's stream: the track's index in the filter's track list
    BOOL discontinuity = FALSE;
    BOOL syncPoint = FALSE;   // key frame
    LONGLONG start = PACKET_NO_TIME;
    LONGLONG stop = PACKET_NO_TIME;
    KByteBuffer payload;
    // Matroska packets never continue one another nor switch types (the queue and the shared
    // sample filling ask).
    static constexpr BOOL continuation = FALSE;
    KMediaTypePtr mediaType;
};

class KMkvBlockPacket final : public KMkvPacket {
public:
    explicit KMkvBlockPacket(std::unique_ptr<KMkvBlock> owned) : block(std::move(owned)) {}

    DWORD GetSize() const override { return static_cast<DWORD>(block->FrameBytes()); }

    std::unique_ptr<KMkvBlock> block;
};
