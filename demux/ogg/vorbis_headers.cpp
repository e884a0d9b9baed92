#include "demux/ogg/vorbis_headers.h"

#include <cstring>

#include "io/byte_reader.h"

namespace {

bool HasSignature(std::span<const std::uint8_t> packet, std::uint8_t type)
{
    return packet.size() >= 7 && packet[0] == type && std::memcmp(packet.data() + 1, "vorbis", 6) == 0;
}

// Reads a Vorbis bit stream backwards from its last bit: over the bytes in reverse order, most
// significant bit first, which gives each field with its bits in their right order.
class KBackwardBits {
public:
    explicit KBackwardBits(std::span<const std::uint8_t> bytes) : m_bytes(bytes) {}

    size_t Left() const { return m_bytes.size() * 8 - m_position; }
    size_t Position() const { return m_position; }
    void Seek(size_t position) { m_position = position; }
    std::uint32_t Read(int count)
    {
        std::uint32_t value = 0;
        for (int i = 0; i < count && m_position < m_bytes.size() * 8; ++i, ++m_position) {
            const std::uint8_t byte = m_bytes[m_bytes.size() - 1 - m_position / 8];
            value = value << 1 | ((byte >> (7 - m_position % 8)) & 1);
        }
        return value;
    }

private:
    std::span<const std::uint8_t> m_bytes;
    size_t m_position = 0;
};

int BitsFor(std::uint32_t value)
{
    int bits = 0;
    for (; value; value >>= 1)
        ++bits;
    return bits;
}

}  // namespace

bool KVorbisHeaders::Take(std::span<const std::uint8_t> packet, bool beginsStream)
{
    bool taken = false;
    if (m_taken == 0)
        taken = beginsStream && TakeIdentification(packet);
    else if (m_taken == 1)
        taken = TakeComment(packet);
    else if (m_taken == 2)
        taken = TakeSetup(packet);
    if (taken)
        ++m_taken;
    return taken;
}

bool KVorbisHeaders::TakeIdentification(std::span<const std::uint8_t> packet)
{
    // Version, channels, rate, three bitrates, the two block sizes in one byte, the framing bit.
    if (!HasSignature(packet, 1) || packet.size() < 30)
        return false;
    const std::uint8_t* p = packet.data() + 7;
    const std::uint32_t version = ReadLE32(p);
    const std::uint32_t channels = p[4];
    const std::uint32_t rate = ReadLE32(p + 5);
    const long shortBlock = 1L << (p[21] & 15);
    const long longBlock = 1L << (p[21] >> 4);
    if (version != 0 || channels == 0 || rate == 0 || rate > 0x7FFFFFFF || shortBlock < 64 || longBlock < shortBlock ||
        longBlock > 8192 || (p[22] & 1) == 0)
        return false;
    m_channels = channels;
    m_rate = rate;
    m_bitrateUpper = static_cast<std::int32_t>(ReadLE32(p + 9));
    m_bitrateNominal = static_cast<std::int32_t>(ReadLE32(p + 13));
    m_bitrateLower = static_cast<std::int32_t>(ReadLE32(p + 17));
    m_blockSizes[0] = shortBlock;
    m_blockSizes[1] = longBlock;
    return true;
}

// The vendor string and the comments must fit in the packet, the framing bit after them.
bool KVorbisHeaders::TakeComment(std::span<const std::uint8_t> packet) const
{
    if (!HasSignature(packet, 3))
        return false;
    KByteReader reader(packet.subspan(7));
    std::uint32_t vendor = 0, count = 0;
    if (!reader.ReadLE4(&vendor) || !reader.Skip(vendor) || !reader.ReadLE4(&count))
        return false;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t length = 0;
        if (!reader.ReadLE4(&length) || !reader.Skip(length))
            return false;
    }
    std::uint8_t framing = 0;
    return reader.Read1(&framing) && (framing & 1);
}

// The modes end the setup header, after codebooks, floors, residues and mappings of varying
// sizes: they are read backwards from the framing bit. Each is a block flag, a window type and
// a transform type (both 0) and a mapping below 64; a 6-bit count stands in front of them.
bool KVorbisHeaders::TakeSetup(std::span<const std::uint8_t> packet)
{
    if (!HasSignature(packet, 5))
        return false;
    KBackwardBits bits(packet.subspan(7));
    bool framing = false;
    while (!framing && bits.Left() > 97)
        framing = bits.Read(1) != 0;
    const size_t modesEnd = bits.Position();
    if (!framing)
        return false;
    int count = 0, matched = 0;
    while (bits.Left() >= 97) {
        if (bits.Read(8) > 63 || bits.Read(16) != 0 || bits.Read(16) != 0)
            break;
        bits.Read(1);
        if (++count > 64)
            break;
        const size_t mark = bits.Position();
        if (static_cast<int>(bits.Read(6)) + 1 == count)
            matched = count;
        bits.Seek(mark);
    }
    if (matched == 0)
        return false;
    std::vector<bool> longBlock(static_cast<size_t>(matched));
    bits.Seek(modesEnd);
    for (int i = matched - 1; i >= 0; --i) {
        bits.Read(40);
        longBlock[static_cast<size_t>(i)] = bits.Read(1) != 0;
    }
    m_modeLongBlock = std::move(longBlock);
    return true;
}

long KVorbisHeaders::PacketBlockSize(std::span<const std::uint8_t> packet) const
{
    if (m_modeLongBlock.empty() || packet.empty() || (packet[0] & 1) != 0)
        return 0;
    const int bits = BitsFor(static_cast<std::uint32_t>(m_modeLongBlock.size() - 1));
    const size_t mode = (packet[0] >> 1) & ((1u << bits) - 1);
    if (mode >= m_modeLongBlock.size())
        return 0;
    return m_blockSizes[m_modeLongBlock[mode] ? 1 : 0];
}
