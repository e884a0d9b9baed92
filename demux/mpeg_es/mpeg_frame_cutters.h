// Re-framing of PES payloads into whole frames for the pins whose downstream wants them: ADTS
// AAC (raw frames, headers removed), H.264 and HEVC (access units of length-prefixed NAL units) and VC-1
// (frames from one frame start code to the next). A PES time belongs to the first frame that
// starts in its payload, so each cutter keeps the times at the byte offsets where they arrived.
#pragma once

#include <deque>
#include <memory>
#include <span>
#include <vector>

#include "io/packet.h"

using KMpegUnits = std::vector<std::unique_ptr<KPacket>>;

// A cutter's byte buffer with the times of the packets appended to it.
class KTimedBuffer {
public:
    void Append(KPacket& packet);
    // A payload that comes without a packet around it, with the time of its first byte.
    void Append(std::span<const BYTE> payload, LONGLONG start, LONGLONG stop, BOOL discontinuity = FALSE);
    // Gives the unit the time of the last mark at or before offset (and any discontinuity up
    // to there); those marks are used up.
    void TakeMarks(size_t offset, KPacket& unit);
    // Drops the first count bytes; marks inside them move to the new start.
    void Drop(size_t count);
    void Clear();

    std::vector<BYTE> bytes;
    DWORD streamNumber = 0;

private:
    struct Mark {
        size_t offset;
        BOOL discontinuity;
        LONGLONG start;
        LONGLONG stop;
    };
    std::deque<Mark> marks_;
};

class KAdtsFramer {
public:
    void Push(KPacket& packet, KMpegUnits& units);
    void Reset() { m_buffer.Clear(); }

private:
    KTimedBuffer m_buffer;
};

// H.264 or HEVC: the two differ only in how a NAL header names its type.
enum class NalCodec { Avc, Hevc };

class KNalAccessUnits {
public:
    explicit KNalAccessUnits(NalCodec codec = NalCodec::Avc) : m_codec(codec) {}
    void Push(KPacket& packet, KMpegUnits& units);
    // A PES payload read in place, timed by its PTS when it has one: no packet is made for it.
    void Push(std::span<const BYTE> payload, LONGLONG start, KMpegUnits& units);
    // The end of the stream: the unit and access unit still held are complete.
    void Flush(KMpegUnits& units);
    void Reset();

private:
    void CutUnits(KMpegUnits& units);
    void CutUnit(size_t end, KMpegUnits& units);
    void AddNal(std::unique_ptr<KPacket> nal, KMpegUnits& units);
    void DeliverAccessUnit(KMpegUnits& units);

    NalCodec m_codec;
    KTimedBuffer m_buffer;
    size_t m_searchFrom = 0;
    // Offset of the start code of the unit being collected; none before the first.
    size_t m_unitCode = kNoUnit;
    bool m_delimiterSeen = false;
    bool m_sliceSeen = false;  // the access unit being collected has a slice
    KMpegUnits m_nals;
    // A PES time that arrived inside an access unit, for the next one.
    LONGLONG m_pendingStart = PACKET_NO_TIME;
    LONGLONG m_pendingStop = PACKET_NO_TIME;
    static constexpr size_t kNoUnit = size_t(-1);
};

class KVc1Frames {
public:
    void Push(KPacket& packet, KMpegUnits& units);
    void Flush(KMpegUnits& units);
    void Reset();

private:
    KTimedBuffer m_buffer;
    size_t m_searchFrom = 0;
    bool m_inFrame = false;  // the buffer starts with a frame start code
};
