#include "demux/ogg/ogg_framing.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "io/byte_reader.h"

namespace {

constexpr size_t kHeaderSize = 27;

// Eight tables for eight bytes a step: the checksum of every page is most of the cost of
// reading an Ogg file.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

const CrcTables& CrcTable()
{
    static const CrcTables tables = [] {
        CrcTables t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t r = i << 24;
            for (int k = 0; k < 8; ++k)
                r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
            t[0][i] = r;
        }
        for (std::uint32_t i = 0; i < 256; ++i)
            for (size_t k = 1; k < 8; ++k)
                t[k][i] = (t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 24];
        return t;
    }();
    return tables;
}

std::uint32_t CrcUpdate(std::uint32_t crc, const std::uint8_t* data, size_t size)
{
    const CrcTables& t = CrcTable();
    for (; size >= 8; data += 8, size -= 8) {
        const std::uint32_t high = crc ^ ReadBE32(data);
        crc = t[7][high >> 24] ^ t[6][(high >> 16) & 0xFF] ^ t[5][(high >> 8) & 0xFF] ^ t[4][high & 0xFF] ^ t[3][data[4]] ^
              t[2][data[5]] ^ t[1][data[6]] ^ t[0][data[7]];
    }
    for (; size > 0; ++data, --size)
        crc = (crc << 8) ^ t[0][((crc >> 24) ^ *data) & 0xFF];
    return crc;
}

}  // namespace

int OggPage::Serial() const { return static_cast<int>(ReadLE32(header + 14)); }
std::uint32_t OggPage::Sequence() const { return ReadLE32(header + 18); }
ogg_int64_t OggPage::Granule() const { return static_cast<ogg_int64_t>(ReadLE64(header + 6)); }

std::uint32_t OggPageChecksum(std::span<const std::uint8_t> page)
{
    if (page.size() < 26)
        return CrcUpdate(0, page.data(), page.size());
    static constexpr std::uint8_t kZeros[4] = {};
    std::uint32_t crc = CrcUpdate(0, page.data(), 22);
    crc = CrcUpdate(crc, kZeros, 4);
    return CrcUpdate(crc, page.data() + 26, page.size() - 26);
}

// ---- Sync ----------------------------------------------------------------------------------------

std::uint8_t* KOggSync::Buffer(size_t count)
{
    // Consumed bytes go first, so the buffer does not grow with the file.
    if (m_begin > 0) {
        std::memmove(m_data.data(), m_data.data() + m_begin, m_end - m_begin);
        m_end -= m_begin;
        m_begin = 0;
    }
    if (m_data.size() < m_end + count)
        m_data.resize(m_end + count);
    return m_data.data() + m_end;
}

void KOggSync::Wrote(size_t count) { m_end = std::min(m_end + count, m_data.size()); }

void KOggSync::Reset() { m_begin = m_end = 0; }

long KOggSync::PageSeek(OggPage* page)
{
    const std::uint8_t* data = m_data.data() + m_begin;
    const size_t available = m_end - m_begin;
    if (available < kHeaderSize)
        return 0;
    bool valid = std::memcmp(data, "OggS", 4) == 0 && data[4] == 0;
    if (valid) {
        const size_t headerLength = kHeaderSize + data[26];
        if (available < headerLength)
            return 0;
        size_t bodyLength = 0;
        for (size_t i = 0; i < data[26]; ++i)
            bodyLength += data[kHeaderSize + i];
        if (available < headerLength + bodyLength)
            return 0;
        const std::span<const std::uint8_t> bytes(data, headerLength + bodyLength);
        valid = OggPageChecksum(bytes) == ReadLE32(data + 22);
        if (valid) {
            page->header = data;
            page->header_len = static_cast<long>(headerLength);
            page->body = data + headerLength;
            page->body_len = static_cast<long>(bodyLength);
            m_begin += bytes.size();
            return static_cast<long>(bytes.size());
        }
    }
    // No page here: pass over everything up to the next possible capture pattern.
    const auto* next = static_cast<const std::uint8_t*>(std::memchr(data + 1, 'O', available - 1));
    const size_t skipped = next ? static_cast<size_t>(next - data) : available;
    m_begin += skipped;
    return -static_cast<long>(skipped);
}

// ---- Logical stream ------------------------------------------------------------------------------

bool KOggLogicalStream::PageIn(const OggPage& page)
{
    if (page.Serial() != m_serial)
        return false;
    // A page missing before this one: the packet it would have finished is gone.
    if (m_started && page.Sequence() != m_nextSequence) {
        m_partial.clear();
        m_partialOpen = false;
        m_hole = true;
    }
    m_started = true;
    m_nextSequence = page.Sequence() + 1;

    const std::uint8_t* body = page.body;
    int segment = 0;
    // A continued page whose start we do not hold: its first packet's tail is passed over.
    if (page.Continued() && !m_partialOpen) {
        while (segment < page.Segments()) {
            const std::uint8_t lacing = page.Lacing(segment++);
            body += lacing;
            if (lacing < 255)
                break;
        }
    } else if (!page.Continued() && m_partialOpen) {
        m_partial.clear();  // the page should have gone on with it
        m_partialOpen = false;
        m_hole = true;
    }
    bool first = !page.Continued();
    size_t completedHere = 0;
    for (; segment < page.Segments(); ++segment) {
        const std::uint8_t lacing = page.Lacing(segment);
        m_partial.insert(m_partial.end(), body, body + lacing);
        body += lacing;
        m_partialOpen = true;
        if (lacing == 255)
            continue;
        Complete complete;
        complete.bytes = std::move(m_partial);
        complete.beginsStream = first && page.BeginsStream();
        m_complete.push_back(std::move(complete));
        m_partial.clear();
        m_partialOpen = false;
        first = false;
        ++completedHere;
    }
    if (completedHere > 0) {
        m_complete.back().granule = page.Granule();
        m_complete.back().endsStream = page.EndsStream() && !m_partialOpen;
    }
    return true;
}

int KOggLogicalStream::PacketOut(OggPacket* packet)
{
    if (m_hole) {
        m_hole = false;
        return -1;
    }
    if (m_complete.empty())
        return 0;
    Complete complete = std::move(m_complete.front());
    m_complete.pop_front();
    m_current = std::move(complete.bytes);
    packet->packet = m_current.data();
    packet->bytes = static_cast<long>(m_current.size());
    packet->b_o_s = complete.beginsStream;
    packet->e_o_s = complete.endsStream;
    packet->granulepos = complete.granule;
    return 1;
}

void KOggLogicalStream::Reset()
{
    m_started = false;
    m_nextSequence = 0;
    m_hole = false;
    m_partial.clear();
    m_partialOpen = false;
    m_complete.clear();
}
