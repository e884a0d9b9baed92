// Ogg framing: pages found in a byte stream (capture pattern, header, lacing, checksum) and the
// packets of one logical stream put back together from its pages. Both Ogg filters read through
// these; the module carries no Ogg library, so the Windows build needs nothing beside it.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <vector>

using ogg_int64_t = std::int64_t;

// A packet as the stream hands it out; the bytes stay valid until the next PacketOut.
struct OggPacket {
    unsigned char* packet = nullptr;
    long bytes = 0;
    long b_o_s = 0;  // the first packet of a beginning-of-stream page
    long e_o_s = 0;  // the last packet of an end-of-stream page
    ogg_int64_t granulepos = -1;  // only on the last packet that ends on a page
};

// A page inside the sync buffer; valid until the buffer is fed or reset.
struct OggPage {
    const std::uint8_t* header = nullptr;
    long header_len = 0;
    const std::uint8_t* body = nullptr;
    long body_len = 0;

    int Serial() const;
    std::uint32_t Sequence() const;
    ogg_int64_t Granule() const;
    bool Continued() const { return (header[5] & 1) != 0; }
    bool BeginsStream() const { return (header[5] & 2) != 0; }
    bool EndsStream() const { return (header[5] & 4) != 0; }
    int Segments() const { return header[26]; }
    std::uint8_t Lacing(int index) const { return header[27 + index]; }
};

// The page checksum: CRC-32 of polynomial 0x04C11DB7, not reflected, over the page with its
// checksum field as zeros.
std::uint32_t OggPageChecksum(std::span<const std::uint8_t> page);

class KOggSync {
public:
    // Room for count more bytes; Wrote says how many were put there.
    std::uint8_t* Buffer(size_t count);
    void Wrote(size_t count);
    // > 0: a page of that many bytes starts the buffer and is consumed; 0: more bytes are needed;
    // < 0: that many bytes were passed over looking for a page.
    long PageSeek(OggPage* page);
    void Reset();

private:
    std::vector<std::uint8_t> m_data;
    size_t m_begin = 0;  // the first byte not consumed
    size_t m_end = 0;    // after the last byte written
};

class KOggLogicalStream {
public:
    explicit KOggLogicalStream(int serial = 0) : m_serial(serial) {}

    int Serial() const { return m_serial; }
    // False for a page of another stream.
    bool PageIn(const OggPage& page);
    // 1 with a packet, 0 when none is complete, -1 once where pages were lost.
    int PacketOut(OggPacket* packet);
    // Forgets every packet and page seen; the next page may start anywhere.
    void Reset();

private:
    struct Complete {
        std::vector<std::uint8_t> bytes;
        ogg_int64_t granule = -1;
        bool beginsStream = false;
        bool endsStream = false;
    };

    int m_serial;
    // Whether the next page's sequence number is known: a new stream starts at page 0, a reset
    // one anywhere.
    bool m_started = true;
    std::uint32_t m_nextSequence = 0;
    bool m_hole = false;
    std::vector<std::uint8_t> m_partial;  // a packet that goes on in the next page
    bool m_partialOpen = false;
    std::deque<Complete> m_complete;
    std::vector<std::uint8_t> m_current;  // the bytes of the packet handed out last
};
