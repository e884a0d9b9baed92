// FLAC in Ogg (mapping 1.0): a first packet of 0x7F "FLAC", the mapping version, a header count,
// "fLaC" and the STREAMINFO block; then the metadata blocks (the Vorbis comment first), then one
// FLAC frame a packet. The granule counts samples at the stream's rate.
#include "demux/ogg/ogg_counted_stream.h"
#include "framework/module_subtypes.h"
#include "io/byte_reader.h"

namespace ogg_kinds {
namespace {

// 0x7F "FLAC", major and minor version, header count, "fLaC", block header, STREAMINFO.
constexpr size_t kStreamInfoAt = 17;
constexpr size_t kFirstPacketBytes = kStreamInfoAt + 34;
constexpr size_t kNativeHeaderAt = 9;  // "fLaC"
constexpr std::uint8_t kVorbisCommentBlock = 4;
constexpr std::uint8_t kLastBlockFlag = 0x80;

class KOggFlacStream final : public KOggCountedStream {
public:
    explicit KOggFlacStream(int serial) : KOggCountedStream(OggStreamKind::Flac, serial) {}

    bool ParseHeader(const OggPacket& packet) override
    {
        const auto bytes = PacketBytes(packet);
        if (!bytes.empty() && bytes[0] == 0x7F) {
            // Mapping major version 1 only; the STREAMINFO block must be whole.
            if (bytes.size() < kFirstPacketBytes || bytes[5] != 1 || (bytes[13] & 0x7F) != 0 || ReadBE24(bytes.data() + 14) < 34)
                return false;
            const std::uint8_t* info = bytes.data() + kStreamInfoAt;
            m_rate = ReadBE24(info + 10) >> 4;
            m_channels = static_cast<WORD>(((info[12] >> 1) & 7) + 1);
            m_bits = static_cast<WORD>((((info[12] & 1) << 4) | (info[13] >> 4)) + 1);
            m_maxFrame = ReadBE24(info + 7);
            if (m_rate == 0)
                return false;
            StoreHeader(0, packet);
            return true;
        }
        if (!m_headers[0].empty() && m_headers[1].empty() && !bytes.empty() && (bytes[0] & 0x7F) == kVorbisCommentBlock) {
            StoreHeader(1, packet);
            TakeLanguage(packet, 4);  // behind the metadata block's header
            return true;
        }
        return false;
    }

    unsigned MissingHeaders() const override { return MissingOfThree() & 3u; }

    // Frames start with the sync byte 0xFF; a metadata block's type byte never is 0xFF.
    bool IsHeader(std::span<const std::uint8_t> bytes) const override { return bytes.empty() || bytes[0] != 0xFF; }

    // The format block holds what a native FLAC file starts with: "fLaC" and STREAMINFO, marked
    // as the last metadata block since the others stay in the Ogg headers.
    bool GetMediaType(CMediaType* type) override
    {
        std::vector<std::uint8_t> native(m_headers[0].begin() + kNativeHeaderAt, m_headers[0].begin() + kFirstPacketBytes);
        native[4] |= kLastBlockFlag;
        const FormatBytes block = WaveFormatWithHeader(static_cast<WORD>(MEDIASUBTYPE_Flac.Data1), m_channels, m_rate, m_bits, native);
        *type = MakeMediaType(CMediaType(&MEDIATYPE_Audio), MEDIASUBTYPE_Flac, FORMAT_WaveFormatEx, block);
        m_sampleSizeHint = m_maxFrame ? m_maxFrame : 65536;
        return true;
    }

    // The block-size code in the frame header's third byte; codes 6 and 7 put the size after
    // the UTF-8 coded frame or sample number.
    std::int64_t PacketSamples(std::span<const std::uint8_t> bytes) const override
    {
        if (bytes.size() < 5 || bytes[0] != 0xFF || (bytes[1] & 0xFE) != 0xF8)
            return 0;
        const unsigned code = bytes[2] >> 4;
        if (code == 1)
            return 192;
        if (code >= 2 && code <= 5)
            return std::int64_t{576} << (code - 2);
        if (code >= 8)
            return std::int64_t{256} << (code - 8);
        if (code != 6 && code != 7)
            return 0;
        size_t numberBytes = 1;
        for (std::uint8_t lead = bytes[4]; (lead & 0x80) && numberBytes < 8; lead = static_cast<std::uint8_t>(lead << 1))
            ++numberBytes;
        if (numberBytes > 1)
            --numberBytes;  // one leading bit counts the first byte
        KByteReader reader(bytes);
        std::uint8_t small = 0;
        std::uint16_t large = 0;
        if (!reader.Skip(4 + numberBytes))
            return 0;
        if (code == 6)
            return reader.Read1(&small) ? small + 1 : 0;
        return reader.ReadBE2(&large) ? large + 1 : 0;
    }

private:
    WORD m_channels = 0;
    WORD m_bits = 0;
    std::uint32_t m_maxFrame = 0;
};

}  // namespace

std::unique_ptr<KOGG2ReadStream> MakeFlacStream(int serial) { return std::make_unique<KOggFlacStream>(serial); }

}  // namespace ogg_kinds
