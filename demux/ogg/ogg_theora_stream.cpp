// Theora in Ogg: three header packets, key frames and times from the granule's two parts.
#include "demux/ogg/ogg_stream_kinds.h"

#include <algorithm>
#include <cstring>

#include "framework/format_blocks.h"
#include "framework/module_subtypes.h"
#include "io/byte_reader.h"

namespace ogg_kinds {
namespace {

class KOgg2TheoraStream final : public KOGG2ReadStream {
public:
    explicit KOgg2TheoraStream(int serial) : KOGG2ReadStream(OggStreamKind::Theora, serial) {}

    bool ParseHeader(const OggPacket& packet) override
    {
        const auto bytes = PacketBytes(packet);
        if (m_headerCount > 2 || !SignatureAt(bytes, "theora"))
            return false;
        const size_t index = bytes[0] & 15;
        if (index > 2)
            return false;
        if (bytes[0] == 0x80) {
            if (bytes.size() < 42)
                return false;
            m_keyShift = ((bytes[40] & 3) << 3) | (bytes[41] >> 5);
            const int major = bytes[7], minor = bytes[8], revision = bytes[9];
            m_versionFlag = (major >= 4 || (major == 3 && minor >= 3) || (major == 3 && minor == 2 && revision >= 1)) ? 1 : 0;
            const std::uint32_t numerator = ReadBE32(bytes.data() + 22);
            const std::uint32_t denominator = ReadBE32(bytes.data() + 26);
            m_frameDuration = numerator ? static_cast<REFERENCE_TIME>(static_cast<std::uint64_t>(denominator) * kSecond / numerator) : 0;
            m_width = ReadBE24(bytes.data() + 14);
            m_height = ReadBE24(bytes.data() + 17);
            m_bitRate = ReadBE24(bytes.data() + 37);
        }
        StoreHeader(index, packet);
        return true;
    }

    unsigned MissingHeaders() const override { return MissingOfThree(); }

    bool GetMediaType(CMediaType* type) override
    {
        FormatBytes headers;
        for (const auto& header : m_headers) {
            if (header.size() > 0xFFFF)
                return false;
            headers.push_back(static_cast<BYTE>(header.size() >> 8));
            headers.push_back(static_cast<BYTE>(header.size()));
            AppendBytes(headers, header);
        }
        BITMAPINFOHEADER bitmap{};
        bitmap.biSize = static_cast<DWORD>(sizeof(BITMAPINFOHEADER) + headers.size());
        bitmap.biWidth = static_cast<LONG>(m_width);
        bitmap.biHeight = static_cast<LONG>(m_height);
        bitmap.biPlanes = 1;
        bitmap.biBitCount = static_cast<WORD>(static_cast<WORD>(m_width * m_height));
        bitmap.biCompression = MakeFourcc('T', 'H', 'E', 'O');
        FormatBytes block = VideoInfoBlock(bitmap, headers);
        PutRecord(block, offsetof(VIDEOINFOHEADER, AvgTimePerFrame), m_frameDuration);
        PutRecord(block, offsetof(VIDEOINFOHEADER, dwBitRate), m_bitRate);
        *type = MakeMediaType(CMediaType(&MEDIATYPE_Video), FourccGuid(bitmap.biCompression), FORMAT_VideoInfo, block);
        m_sampleSizeHint = 10u * bitmap.biBitCount;
        return true;
    }

    bool IsKeyFrame(const OggPacket& packet) const override
    {
        return packet.bytes > 0 && (packet.packet[0] & 0x80) == 0 && (packet.packet[0] & 0x40) == 0;
    }

    // The granule's end-of-frame count: key frame number plus frames since it.
    REFERENCE_TIME TimeOfGranule(std::int64_t granule) override
    {
        if (granule < 0)
            return kNoTime;
        const std::int64_t key = granule >> m_keyShift;
        return Scale(Add(key, granule - (key << m_keyShift)), m_frameDuration, 1);
    }

    REFERENCE_TIME PacketTime(const OggPacket& packet) override
    {
        if (packet.bytes > 0 && (packet.packet[0] & 0x80))
            return kNoTime;
        if (packet.granulepos >= 0) {
            const std::int64_t key = packet.granulepos >> m_keyShift;
            const std::int64_t frames = Add(key, packet.granulepos - (key << m_keyShift) - m_versionFlag);
            m_time = Scale(frames, m_frameDuration, 1);
        } else {
            m_time = Add(m_time, m_frameDuration);
        }
        return m_time;
    }

    REFERENCE_TIME CurrentTime() const override { return m_time; }

    void StepBack(const OggPacket&) override { m_time = Add(m_time, -m_frameDuration); }

    void Reset() override
    {
        KOGG2ReadStream::Reset();
        m_time = 0;
    }

    bool WaitsForKeyFrame() const override { return m_waitForKey; }

private:
    int m_keyShift = 0;
    int m_versionFlag = 0;
    REFERENCE_TIME m_frameDuration = 0;
    REFERENCE_TIME m_time = 0;
    std::uint32_t m_width = 0, m_height = 0, m_bitRate = 0;
};

}  // namespace

std::unique_ptr<KOGG2ReadStream> MakeTheoraStream(int serial) { return std::make_unique<KOgg2TheoraStream>(serial); }

}  // namespace ogg_kinds
