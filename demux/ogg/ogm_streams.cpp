// The OGM kinds (video, audio, text) and DirectShow samples in Ogg.
#include "demux/ogg/ogg_stream_kinds.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "demux/ogg/ogg_ds_samples.h"
#include "demux/ogg/vorbis_headers.h"
#include "framework/format_blocks.h"
#include "framework/module_subtypes.h"
#include "io/byte_reader.h"

namespace ogg_kinds {
namespace {

// The OGM kinds share their headers (the stream header, then a Vorbis-style comment packet) and
// their timing. OGM muxers give a page the granule of its last packet's start, so a packet is
// timed at its start and the position then moves past it; timed at its end, as Vorbis is, the
// packet before each page end would share the next one's time.
class KOgg2OgmStream : public KOGG2ReadStream {
public:
    using KOGG2ReadStream::KOGG2ReadStream;

    bool ParseHeader(const OggPacket& packet) override
    {
        const auto bytes = PacketBytes(packet);
        if (m_headerCount > 2 || bytes.empty())
            return false;
        if (bytes[0] == 3 && m_headerCount == 1) {
            TakeLanguage(packet);
            StoreHeader(1, packet);
            return true;
        }
        if (bytes[0] != 1 || !OgmStreamHeader::Parse(bytes.subspan(1), &m_header))
            return false;
        StoreHeader(0, packet);
        return true;
    }

    unsigned DataOffset(const OggPacket& packet) const override
    {
        return packet.bytes > 0 ? 1 + OgmLengthBytes(packet.packet[0]) : 1;
    }

    REFERENCE_TIME TimeOfGranule(std::int64_t granule) override { return granule < 0 ? kNoTime : TimeOf(granule); }

    REFERENCE_TIME PacketTime(const OggPacket& packet) override
    {
        if (packet.bytes > 0 && (packet.packet[0] & 1))
            return 0;  // a header packet
        if (packet.granulepos >= 0)
            m_position = packet.granulepos;
        m_startPosition = m_position;
        m_position = Add(m_position, Step(packet));
        return TimeOf(m_startPosition);
    }

    REFERENCE_TIME CurrentTime() const override { return TimeOf(m_position); }
    REFERENCE_TIME SampleStop(const OggPacket&) override { return Add(TimeOf(m_startPosition), 1); }

    void StepBack(const OggPacket& packet) override
    {
        if (packet.bytes == 0 || (packet.packet[0] & 1) == 0)
            m_position = Add(m_position, -Step(packet));
    }

protected:
    // How far a packet moves the position on.
    virtual std::int64_t Step(const OggPacket& packet) const = 0;
    // Units of the position in 100 ns.
    virtual REFERENCE_TIME TimeOf(std::int64_t units) const { return Scale(units, m_header.timeUnit, 1); }

    // The packet's own duration, from its length bytes; 0 without any.
    std::int64_t PacketDuration(const OggPacket& packet) const
    {
        const auto bytes = PacketBytes(packet);
        return bytes.empty() ? 0 : static_cast<std::int64_t>(std::min<std::uint64_t>(OgmLengthValue(bytes, OgmLengthBytes(bytes[0])), INT32_MAX));
    }
    bool HasLengthBytes(const OggPacket& packet) const { return packet.bytes > 0 && OgmLengthBytes(packet.packet[0]) > 0; }

    OgmStreamHeader m_header;
    std::int64_t m_startPosition = 0;  // of the packet PacketTime timed last
};

class KOgg2VideoStream final : public KOgg2OgmStream {
public:
    explicit KOgg2VideoStream(int serial) : KOgg2OgmStream(OggStreamKind::OgmVideo, serial) {}

    bool GetMediaType(CMediaType* type) override
    {
        const DWORD fourcc = MakeFourcc(m_header.subtype[0], m_header.subtype[1], m_header.subtype[2], m_header.subtype[3]);
        BITMAPINFOHEADER bitmap{};
        bitmap.biSize = sizeof(BITMAPINFOHEADER);
        bitmap.biWidth = static_cast<LONG>(m_header.width);
        bitmap.biHeight = static_cast<LONG>(m_header.height);
        bitmap.biPlanes = 1;
        bitmap.biBitCount = m_header.bitsPerSample;
        bitmap.biCompression = fourcc;
        FormatBytes block = VideoInfoBlock(bitmap, m_header.extra);
        PutRecord(block, offsetof(VIDEOINFOHEADER, AvgTimePerFrame), static_cast<REFERENCE_TIME>(m_header.timeUnit));
        *type = MakeMediaType(CMediaType(&MEDIATYPE_Video), FourccGuid(fourcc), FORMAT_VideoInfo, block);
        // Packed YUV is stored whole: every sample the same size, no frame depending on another.
        const bool uncompressed = fourcc == MakeFourcc('Y', 'U', 'Y', '2') || fourcc == MakeFourcc('U', 'Y', 'V', 'Y') ||
                                  fourcc == MakeFourcc('Y', 'V', 'Y', 'U');
        type->SetTemporalCompression(!uncompressed);
        if (!uncompressed)
            type->SetVariableSize();
        m_sampleSizeHint = static_cast<ULONG>(static_cast<std::uint64_t>(m_header.bufferSize) * 10 / 4096);
        return true;
    }

    bool IsKeyFrame(const OggPacket& packet) const override { return packet.bytes > 0 && (packet.packet[0] & 0x08) != 0; }
    bool WaitsForKeyFrame() const override { return m_waitForKey; }

private:
    // Its own duration, else the default length, else one frame.
    std::int64_t Step(const OggPacket& packet) const override
    {
        const std::int64_t own = PacketDuration(packet);
        return own ? own : m_header.defaultLength ? m_header.defaultLength : 1;
    }
};

class KOgg2AudioStream final : public KOgg2OgmStream {
public:
    explicit KOgg2AudioStream(int serial) : KOgg2OgmStream(OggStreamKind::OgmAudio, serial) {}

    bool ParseHeader(const OggPacket& packet) override
    {
        return KOgg2OgmStream::ParseHeader(packet) && m_header.samplesPerUnit != 0;
    }

    bool GetMediaType(CMediaType* type) override
    {
        // The subtype holds the format tag as hexadecimal text.
        WORD tag = 0;
        for (char c : m_header.subtype) {
            const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (digit < 0)
                break;
            tag = static_cast<WORD>(tag << 4 | digit);
        }
        WAVEFORMATEX wave{};
        wave.wFormatTag = tag;
        wave.nChannels = m_header.channels;
        wave.nSamplesPerSec = static_cast<DWORD>(m_header.samplesPerUnit);
        wave.nAvgBytesPerSec = m_header.averageBytesPerSecond;
        wave.nBlockAlign = m_header.blockAlign;
        wave.wBitsPerSample = m_header.bitsPerSample;
        wave.cbSize = static_cast<WORD>(m_header.extra.size());
        FormatBytes block(sizeof(WAVEFORMATEX));
        PutRecord(block, 0, wave);
        AppendBytes(block, m_header.extra);
        *type = MakeMediaType(CMediaType(&MEDIATYPE_Audio), FourccGuid(tag), FORMAT_WaveFormatEx, block);
        m_sampleSizeHint = static_cast<ULONG>(static_cast<std::uint64_t>(m_header.bufferSize) * 10 / 4096);
        return true;
    }

private:
    // Its own duration when it has length bytes, else the default length.
    std::int64_t Step(const OggPacket& packet) const override
    {
        return HasLengthBytes(packet) ? PacketDuration(packet) : m_header.defaultLength;
    }

    // Units x time_unit / samples_per_unit, to the nearest 100 ns (a half rounds down).
    REFERENCE_TIME TimeOf(std::int64_t units) const override
    {
        const __int128 numerator = static_cast<__int128>(units) * m_header.timeUnit;
        const __int128 denominator = m_header.samplesPerUnit;
        if (denominator <= 0)
            return 0;
        const __int128 rounded = numerator >= 0 ? (2 * numerator + denominator - 1) / (2 * denominator)
                                                : -((-2 * numerator + denominator) / (2 * denominator));
        return static_cast<REFERENCE_TIME>(std::clamp<__int128>(rounded, INT64_MIN, INT64_MAX));
    }
};

class KOgg2TextStream final : public KOgg2OgmStream {
public:
    explicit KOgg2TextStream(int serial) : KOgg2OgmStream(OggStreamKind::OgmText, serial) {}

    bool GetMediaType(CMediaType* type) override
    {
        *type = CMediaType(&MEDIATYPE_Text);
        type->SetSubtype(&GUID_NULL);
        type->SetFormatType(&GUID_NULL);
        m_sampleSizeHint = 20;
        return true;
    }

    bool IsKeyFrame(const OggPacket&) const override { return true; }

    // A text packet lasts as long as its length bytes say.
    REFERENCE_TIME SampleStop(const OggPacket& packet) override { return TimeOfGranule(MediaStop(packet)); }
    LONGLONG MediaStart(const OggPacket&) override { return m_startPosition; }
    LONGLONG MediaStop(const OggPacket& packet) override { return Add(m_startPosition, PacketDuration(packet)); }

private:
    std::int64_t Step(const OggPacket& packet) const override
    {
        const std::int64_t own = PacketDuration(packet);
        return own ? own : m_header.samplesPerUnit;
    }
};

// A stream of DirectShow samples: its first packet carries the media type, its data packets
// are framed and timed as OGM packets, in frames of AvgTimePerFrame (video) or microseconds
// (audio, as ffprobe reads them: the header names no unit).
class KOggDirectShowStream final : public KOgg2OgmStream {
public:
    explicit KOggDirectShowStream(int serial) : KOgg2OgmStream(OggStreamKind::DirectShowSamples, serial) {}

    bool ParseHeader(const OggPacket& packet) override
    {
        const auto bytes = PacketBytes(packet);
        if (m_headerCount == 0) {
            const auto type = ParseDirectShowSamplesHeader(bytes);
            if (!type)
                return false;
            m_type = *type;
            if (m_type.formattype == FORMAT_VideoInfo && m_type.FormatLength() >= sizeof(VIDEOINFOHEADER)) {
                m_header.timeUnit = GetRecord<REFERENCE_TIME>(m_type.Format(), offsetof(VIDEOINFOHEADER, AvgTimePerFrame));
                m_header.samplesPerUnit = 1;
                m_video = true;
            } else if (m_type.formattype == FORMAT_WaveFormatEx && m_type.FormatLength() >= sizeof(WAVEFORMATEX)) {
                m_header.timeUnit = 10;
                m_header.samplesPerUnit = 1;
            }
            if (m_header.timeUnit <= 0 || m_header.samplesPerUnit <= 0)
                return false;
            StoreHeader(0, packet);
            return true;
        }
        // A comment packet may follow, as in OGM streams.
        if (m_headerCount == 1 && !bytes.empty() && bytes[0] == 3) {
            TakeLanguage(packet);
            StoreHeader(1, packet);
            return true;
        }
        return false;
    }

    bool GetMediaType(CMediaType* type) override
    {
        *type = m_type;
        m_sampleSizeHint = m_type.lSampleSize;
        return true;
    }

    bool IsKeyFrame(const OggPacket& packet) const override
    {
        return !m_video || (packet.bytes > 0 && (packet.packet[0] & 0x08) != 0);
    }
    bool WaitsForKeyFrame() const override { return m_video && m_waitForKey; }

private:
    std::int64_t Step(const OggPacket& packet) const override
    {
        const std::int64_t own = PacketDuration(packet);
        return own ? own : 1;
    }
    REFERENCE_TIME TimeOf(std::int64_t units) const override
    {
        return Scale(units, m_header.timeUnit, m_header.samplesPerUnit);
    }

    CMediaType m_type;
    bool m_video = false;
};

}  // namespace

std::unique_ptr<KOGG2ReadStream> MakeOgmStream(OggStreamKind kind, int serial)
{
    switch (kind) {
    case OggStreamKind::OgmVideo:
        return std::make_unique<KOgg2VideoStream>(serial);
    case OggStreamKind::OgmAudio:
        return std::make_unique<KOgg2AudioStream>(serial);
    case OggStreamKind::OgmText:
        return std::make_unique<KOgg2TextStream>(serial);
    case OggStreamKind::DirectShowSamples:
        return std::make_unique<KOggDirectShowStream>(serial);
    default:
        return nullptr;
    }
}

}  // namespace ogg_kinds
