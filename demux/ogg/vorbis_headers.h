// The three Vorbis headers as an Ogg demuxer needs them: the identification header's rates and
// block sizes, a comment header that holds together, and the setup header's modes, which say
// whether an audio packet is a short or a long block.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

class KVorbisHeaders {
public:
    // Takes the next header: the identification header (which must open the stream), then the
    // comment header, then the setup header. False for anything else, the state unchanged.
    bool Take(std::span<const std::uint8_t> packet, bool beginsStream);
    int HeadersTaken() const { return m_taken; }

    std::uint32_t Channels() const { return m_channels; }
    std::uint32_t Rate() const { return m_rate; }
    std::int32_t BitrateUpper() const { return m_bitrateUpper; }
    std::int32_t BitrateNominal() const { return m_bitrateNominal; }
    std::int32_t BitrateLower() const { return m_bitrateLower; }

    // The block size of an audio packet; 0 before the setup header or for a packet that is not
    // audio.
    long PacketBlockSize(std::span<const std::uint8_t> packet) const;

private:
    bool TakeIdentification(std::span<const std::uint8_t> packet);
    bool TakeComment(std::span<const std::uint8_t> packet) const;
    bool TakeSetup(std::span<const std::uint8_t> packet);

    int m_taken = 0;
    std::uint32_t m_channels = 0;
    std::uint32_t m_rate = 0;
    std::int32_t m_bitrateUpper = 0, m_bitrateNominal = 0, m_bitrateLower = 0;
    long m_blockSizes[2] = {0, 0};
    std::vector<bool> m_modeLongBlock;  // per mode
};
