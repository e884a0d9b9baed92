// Vorbis in Ogg: three header packets, times from the granule of each page's last packet.
#include "demux/ogg/ogg_stream_kinds.h"

#include <algorithm>
#include <cstring>

#include "demux/ogg/vorbis_headers.h"
#include "framework/format_blocks.h"
#include "framework/module_subtypes.h"
#include "io/byte_reader.h"

namespace ogg_kinds {
namespace {

class KOgg2VorbisStream final : public KOGG2ReadStream {
public:
    explicit KOgg2VorbisStream(int serial) : KOGG2ReadStream(OggStreamKind::Vorbis, serial) {}

    bool ParseHeader(const OggPacket& packet) override
    {
        const auto bytes = PacketBytes(packet);
        if (!m_vorbis.Take(bytes, packet.b_o_s != 0))
            return false;
        StoreHeader(bytes[0] / 2, packet);
        if (bytes[0] == 3)
            TakeLanguage(packet);
        return true;
    }

    unsigned MissingHeaders() const override { return MissingOfThree(); }

    bool GetMediaType(CMediaType* type) override
    {
        FormatBytes block(24, 0);
        const std::uint32_t values[5] = {m_vorbis.Channels(), m_vorbis.Rate(), static_cast<std::uint32_t>(m_vorbis.BitrateLower()),
                                         static_cast<std::uint32_t>(m_vorbis.BitrateNominal()),
                                         static_cast<std::uint32_t>(m_vorbis.BitrateUpper())};
        for (size_t i = 0; i < 5; ++i)
            PutRecord(block, 4 * i, values[i]);
        *type = MakeMediaType(CMediaType(&MEDIATYPE_Audio), MEDIASUBTYPE_Vorbis, FORMAT_VorbisFormat, block);
        m_sampleSizeHint = 16384;
        return true;
    }

    REFERENCE_TIME TimeOfGranule(std::int64_t granule) override
    {
        return granule < 0 ? kNoTime : Scale(granule, kSecond, m_vorbis.Rate());
    }

    // A packet that ends a page carries the page's granule; one before it moves on by half its
    // block size.
    REFERENCE_TIME PacketTime(const OggPacket& packet) override
    {
        if (packet.granulepos >= 0)
            m_position = packet.granulepos;
        else
            m_position = Add(m_position, m_vorbis.PacketBlockSize(PacketBytes(packet)) / 2);
        return CurrentTime();
    }

    REFERENCE_TIME CurrentTime() const override { return Scale(m_position, kSecond, m_vorbis.Rate()); }

    void StepBack(const OggPacket& packet) override
    {
        m_position = Add(m_position, -(m_vorbis.PacketBlockSize(PacketBytes(packet)) / 2));
    }

private:
    KVorbisHeaders m_vorbis;
};

}  // namespace

std::unique_ptr<KOGG2ReadStream> MakeVorbisStream(int serial) { return std::make_unique<KOgg2VorbisStream>(serial); }

}  // namespace ogg_kinds
