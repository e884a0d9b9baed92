// A packet: one timestamped unit of elementary-stream data, cut from the container by a
// demuxer's reader thread and owned by exactly one holder at a time on its way to a pin.
#pragma once

#include <memory>
#include <vector>

#include "platform/platform.h"

// Start time of a packet that carries none.
inline constexpr LONGLONG PACKET_NO_TIME = static_cast<LONGLONG>(0x8000000000000000ULL);

// Frees a task-memory media-type record together with its format block and interface.
struct KMediaTypeDeleter {
    void operator()(AM_MEDIA_TYPE* mediaType) const;
};
using KMediaTypePtr = std::unique_ptr<AM_MEDIA_TYPE, KMediaTypeDeleter>;

class KPacket {
public:
    KPacket() = default;
    KPacket(const KPacket&) = delete;
    KPacket& operator=(const KPacket&) = delete;
    virtual ~KPacket() = default;

    // The payload size.
    virtual DWORD GetSize() const;
    bool HasTime() const { return start != PACKET_NO_TIME; }
    // Back to a new packet's state, the payload emptied but its capacity kept for reuse.
    void Recycle();

    DWORD streamNumber = 0;
    BOOL discontinuity = FALSE;
    BOOL syncPoint = FALSE;
    // Continues the payload of the packet before it; the queue may merge it there.
    BOOL continuation = FALSE;
    LONGLONG start = PACKET_NO_TIME;
    LONGLONG stop = PACKET_NO_TIME;
    std::vector<BYTE> payload;
    // A type to switch to at this packet; null when the type stays.
    KMediaTypePtr mediaType;
};

// The packet of the demuxers that also hand out media times; deliberately not a KPacket.
class KPacket2 {
public:
    KPacket2() = default;
    KPacket2(const KPacket2&) = delete;
    KPacket2& operator=(const KPacket2&) = delete;
    virtual ~KPacket2() = default;

    virtual DWORD GetSize() const;
    bool HasTime() const { return start != PACKET_NO_TIME; }
    void Recycle();

    DWORD streamNumber = 0;
    BOOL discontinuity = FALSE;
    BOOL syncPoint = FALSE;
    BOOL continuation = FALSE;
    LONGLONG start = PACKET_NO_TIME;
    LONGLONG stop = PACKET_NO_TIME;
    LONGLONG mediaStart = 0;
    LONGLONG mediaStop = 0;
    std::vector<BYTE> payload;
    KMediaTypePtr mediaType;
};
