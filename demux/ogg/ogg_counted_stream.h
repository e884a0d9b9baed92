// What the audio kinds behind the extensions switch (Opus, FLAC, Speex) share: a granule that
// counts samples at the end of a page's last packet, and packets whose sample counts their own
// bytes tell. A packet starts where the one before it ended; the first granule after the start or
// a seek fixes where that is, the packets before it walked back over. A packet is stamped with
// its start and its end, less the stream's pre-skip.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>

#include "demux/ogg/ogg_stream_kinds.h"
#include "framework/format_blocks.h"

namespace ogg_kinds {

class KOggCountedStream : public KOGG2ReadStream {
public:
    using KOGG2ReadStream::KOGG2ReadStream;

    REFERENCE_TIME TimeOfGranule(std::int64_t granule) override
    {
        return granule < 0 ? kNoTime : SamplesToTime(Add(granule, -m_preSkip));
    }

    // The end of the packet: its granule where it ends a page, else the last end plus its count.
    // The last page may end inside its last packet (the encoder's padding): that packet starts
    // where the one before ended all the same, and stops at the granule.
    REFERENCE_TIME PacketTime(const OggPacket& packet) override
    {
        const std::int64_t samples = PacketSamples(PacketBytes(packet));
        const std::int64_t end = Add(m_position, samples);
        const bool trimsEnd = m_endOfStream && packet.granulepos >= 0 && packet.granulepos < end;
        m_position = packet.granulepos >= 0 && !trimsEnd ? packet.granulepos : end;
        m_stopSample = trimsEnd ? std::max<std::int64_t>(packet.granulepos, Add(m_position, -samples)) : m_position;
        return SamplesToTime(Add(Add(m_position, -samples), -m_preSkip));
    }

    REFERENCE_TIME CurrentTime() const override { return SamplesToTime(Add(m_position, -m_preSkip)); }
    REFERENCE_TIME SampleStop(const OggPacket&) override { return SamplesToTime(Add(m_stopSample, -m_preSkip)); }
    void StepBack(const OggPacket& packet) override { m_position = Add(m_position, -PacketSamples(PacketBytes(packet))); }
    bool IsKeyFrame(const OggPacket&) const override { return true; }
    bool TimedFromFirstGranule() const override { return true; }

protected:
    // Samples a data packet holds at the granule's rate (0 for a packet that says nothing).
    virtual std::int64_t PacketSamples(std::span<const std::uint8_t> bytes) const = 0;
    REFERENCE_TIME SamplesToTime(std::int64_t samples) const { return Scale(samples, kSecond, m_rate); }
    bool IsStoredHeader(std::span<const std::uint8_t> bytes) const
    {
        for (const auto& header : m_headers)
            if (!header.empty() && header.size() == bytes.size() && std::equal(header.begin(), header.end(), bytes.begin()))
                return true;
        return false;
    }

    std::uint32_t m_rate = 0;     // of the granule
    std::int64_t m_preSkip = 0;   // samples the decoder drops at the start
    std::int64_t m_stopSample = 0;
};

// WAVEFORMATEX with its tag, channels, rate and bits, and the codec's header record behind it.
FormatBytes WaveFormatWithHeader(WORD tag, WORD channels, DWORD rate, WORD bits, std::span<const std::uint8_t> header);

}  // namespace ogg_kinds
