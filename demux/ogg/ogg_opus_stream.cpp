// Opus in Ogg: OpusHead and OpusTags, then packets whose table-of-contents byte gives their
// length; the granule counts 48 kHz samples including the pre-skip OpusHead names.
#include <string_view>

#include "demux/ogg/ogg_counted_stream.h"
#include "framework/module_subtypes.h"
#include "io/byte_reader.h"

namespace ogg_kinds {
namespace {

constexpr size_t kOpusHeadBytes = 19;
constexpr std::uint32_t kOpusRate = 48000;
// A decoder converges within 80 ms of a seek.
constexpr REFERENCE_TIME kOpusSeekPreroll = 800000;

bool StartsWith(std::span<const std::uint8_t> bytes, std::string_view text)
{
    return bytes.size() >= text.size() && std::equal(text.begin(), text.end(), bytes.begin(),
                                                     [](char c, std::uint8_t b) { return static_cast<std::uint8_t>(c) == b; });
}

class KOggOpusStream final : public KOggCountedStream {
public:
    explicit KOggOpusStream(int serial) : KOggCountedStream(OggStreamKind::Opus, serial) { m_rate = kOpusRate; }

    bool ParseHeader(const OggPacket& packet) override
    {
        const auto bytes = PacketBytes(packet);
        if (StartsWith(bytes, "OpusHead")) {
            // Only version 0.x is defined; a higher major version is a different layout.
            if (bytes.size() < kOpusHeadBytes || (bytes[8] & 0xF0) != 0 || bytes[9] == 0)
                return false;
            m_channels = bytes[9];
            m_preSkip = ReadLE16(bytes.data() + 10);
            StoreHeader(0, packet);
            return true;
        }
        if (StartsWith(bytes, "OpusTags") && !m_headers[0].empty()) {
            StoreHeader(1, packet);
            TakeLanguage(packet, 8);
            return true;
        }
        return false;
    }

    unsigned MissingHeaders() const override { return MissingOfThree() & 3u; }

    bool IsHeader(std::span<const std::uint8_t> bytes) const override
    {
        return StartsWith(bytes, "OpusHead") || StartsWith(bytes, "OpusTags");
    }

    bool GetMediaType(CMediaType* type) override
    {
        const FormatBytes block = WaveFormatWithHeader(static_cast<WORD>(MEDIASUBTYPE_Opus.Data1), m_channels, kOpusRate, 0, m_headers[0]);
        *type = MakeMediaType(CMediaType(&MEDIATYPE_Audio), MEDIASUBTYPE_Opus, FORMAT_WaveFormatEx, block);
        m_sampleSizeHint = 1275 * 3 * std::max<std::uint32_t>(m_channels, 1);
        return true;
    }

    REFERENCE_TIME SeekPreroll() const override { return kOpusSeekPreroll; }

    // The TOC byte: the configuration fixes the frame length, the low two bits the frame count
    // (code 3 gives it in the next byte).
    std::int64_t PacketSamples(std::span<const std::uint8_t> bytes) const override
    {
        if (bytes.empty())
            return 0;
        static constexpr std::int64_t kSilk[4] = {480, 960, 1920, 2880};
        static constexpr std::int64_t kCelt[4] = {120, 240, 480, 960};
        const unsigned config = bytes[0] >> 3;
        const std::int64_t frame = config < 12 ? kSilk[config & 3] : config < 16 ? (config & 1 ? 960 : 480) : kCelt[config & 3];
        std::int64_t frames = 1;
        switch (bytes[0] & 3) {
        case 0: frames = 1; break;
        case 1:
        case 2: frames = 2; break;
        default: frames = bytes.size() > 1 ? (bytes[1] & 0x3F) : 0; break;
        }
        return frame * frames;
    }

private:
    std::uint8_t m_channels = 0;
};

}  // namespace

FormatBytes WaveFormatWithHeader(WORD tag, WORD channels, DWORD rate, WORD bits, std::span<const std::uint8_t> header)
{
    WAVEFORMATEX format{};
    format.wFormatTag = tag;
    format.nChannels = channels;
    format.nSamplesPerSec = rate;
    format.wBitsPerSample = bits;
    format.nBlockAlign = static_cast<WORD>(static_cast<WORD>(bits * channels) / 8);
    format.nAvgBytesPerSec = format.nBlockAlign * rate;
    format.cbSize = static_cast<WORD>(std::min<size_t>(header.size(), 0xFFFF));
    FormatBytes block(sizeof(WAVEFORMATEX));
    PutRecord(block, 0, format);
    AppendBytes(block, header.first(format.cbSize));
    return block;
}

std::unique_ptr<KOGG2ReadStream> MakeOpusStream(int serial) { return std::make_unique<KOggOpusStream>(serial); }

}  // namespace ogg_kinds
