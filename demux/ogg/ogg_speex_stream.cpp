// Speex in Ogg: an 80-byte header ("Speex   " and little-endian fields), a comment packet and
// as many extra headers as the header names; then packets of frames_per_packet frames of
// frame_size samples each. The granule counts samples at the header's rate.
#include "demux/ogg/ogg_counted_stream.h"
#include "framework/module_subtypes.h"
#include "io/byte_reader.h"

namespace ogg_kinds {
namespace {

constexpr size_t kSpeexHeaderBytes = 80;
// Frame sizes are 160 (narrowband) to 640 (ultra-wideband) samples, at most 10 frames a packet
// in practice; anything far past that is a damaged header.
constexpr std::uint32_t kMaxFrameSize = 2048;
constexpr std::uint32_t kMaxFramesPerPacket = 64;

class KOggSpeexStream final : public KOggCountedStream {
public:
    explicit KOggSpeexStream(int serial) : KOggCountedStream(OggStreamKind::Speex, serial) {}

    bool ParseHeader(const OggPacket& packet) override
    {
        const auto bytes = PacketBytes(packet);
        if (m_headers[0].empty()) {
            if (bytes.size() < kSpeexHeaderBytes || ClassifyExtensionPacket(bytes) != OggStreamKind::Speex)
                return false;
            const std::uint8_t* p = bytes.data();
            m_rate = ReadLE32(p + 36);
            m_channels = ReadLE32(p + 48);
            m_frameSize = ReadLE32(p + 56);
            m_framesPerPacket = ReadLE32(p + 64);
            if (m_rate == 0 || m_channels < 1 || m_channels > 2 || m_frameSize == 0 || m_frameSize > kMaxFrameSize ||
                m_framesPerPacket > kMaxFramesPerPacket)
                return false;
            m_framesPerPacket = std::max<std::uint32_t>(m_framesPerPacket, 1);
            StoreHeader(0, packet);
            return true;
        }
        // The comment. Extra headers, which no encoder writes, are not looked for.
        if (m_headers[1].empty()) {
            StoreHeader(1, packet);
            TakeLanguage(packet, 0);
            return true;
        }
        return false;
    }

    unsigned MissingHeaders() const override { return MissingOfThree() & 3u; }

    bool IsHeader(std::span<const std::uint8_t> bytes) const override
    {
        return ClassifyExtensionPacket(bytes) == OggStreamKind::Speex || IsStoredHeader(bytes);
    }

    bool GetMediaType(CMediaType* type) override
    {
        const FormatBytes block = WaveFormatWithHeader(static_cast<WORD>(MEDIASUBTYPE_Speex.Data1), static_cast<WORD>(m_channels),
                                                       m_rate, 0, m_headers[0]);
        *type = MakeMediaType(CMediaType(&MEDIATYPE_Audio), MEDIASUBTYPE_Speex, FORMAT_WaveFormatEx, block);
        m_sampleSizeHint = 4096;
        return true;
    }

    std::int64_t PacketSamples(std::span<const std::uint8_t> bytes) const override
    {
        return bytes.empty() ? 0 : static_cast<std::int64_t>(m_frameSize) * m_framesPerPacket;
    }

private:
    std::uint32_t m_channels = 0;
    std::uint32_t m_frameSize = 0;
    std::uint32_t m_framesPerPacket = 1;
};

}  // namespace

std::unique_ptr<KOGG2ReadStream> MakeSpeexStream(int serial) { return std::make_unique<KOggSpeexStream>(serial); }

}  // namespace ogg_kinds
