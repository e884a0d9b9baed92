// The sample entries of the extension codecs (HEVC, AV1, VP9, Opus, FLAC, E-AC-3, ALAC): their
// configuration boxes as plain records, the codec setup of a track that carries one, and the
// media types its pin offers. Read only when the module's extensions are on.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "demux/mp4/mp4_box.h"
#include "framework/media_type.h"

class Mp4Track;

enum class Mp4Extension : std::uint8_t { None, Hevc, Av1, Vp9, Opus, Flac, Eac3, Alac };

// "hvcC": the HEVC decoder configuration record, kept whole for the format block.
struct Mp4HvcC : Mp4Payload {
    std::vector<BYTE> record;
    std::uint8_t profile = 0;
    std::uint8_t level = 0;
    std::uint8_t lengthSize = 0;  // bytes of each NAL unit's length in the samples
    bool Parse(std::span<const BYTE> payload);
};

// "av1C": four bytes of profile, level and depth, then the sequence header OBUs.
struct Mp4Av1C : Mp4Payload {
    std::vector<BYTE> record;
    std::uint8_t profile = 0;
    std::uint8_t level = 0;
    bool Parse(std::span<const BYTE> payload);
};

// "vpcC" (a full box): the VP codec configuration record after version and flags.
struct Mp4VpcC : Mp4Payload {
    std::vector<BYTE> record;
    std::uint8_t profile = 0;
    std::uint8_t level = 0;
    bool Parse(std::span<const BYTE> payload);
};

// "dOps": the Opus header in MP4's big-endian order; head is the same as the little-endian
// "OpusHead" packet Ogg and Matroska carry, which is what decoders take.
struct Mp4DOps : Mp4Payload {
    std::uint8_t channels = 0;
    std::uint16_t preSkip = 0;
    std::uint32_t inputRate = 0;
    std::vector<BYTE> head;
    bool Parse(std::span<const BYTE> payload);
};

// "dfLa" (a full box): the FLAC metadata blocks, STREAMINFO first; header is "fLaC" and the
// blocks, as a FLAC stream begins.
struct Mp4DfLa : Mp4Payload {
    std::uint32_t sampleRate = 0;
    std::uint8_t channels = 0;
    std::uint8_t bitsPerSample = 0;
    std::vector<BYTE> header;
    bool Parse(std::span<const BYTE> payload);
};

// "dec3": the E-AC-3 specific box, kept whole; the data rate and the first substream read out.
struct Mp4Dec3 : Mp4Payload {
    std::vector<BYTE> record;
    std::uint32_t dataRateKbps = 0;
    std::uint8_t fscod = 0;
    std::uint8_t acmod = 0;
    std::uint8_t lfeon = 0;
    bool Parse(std::span<const BYTE> payload);
};

// The "alac" box inside an "alac" entry (a full box): the 24-byte ALAC specific config, the
// "magic cookie" an ALAC decoder takes.
struct Mp4AlacConfig : Mp4Payload {
    std::vector<BYTE> cookie;
    std::uint32_t frameLength = 0;
    std::uint8_t bitDepth = 0;
    std::uint8_t channels = 0;
    std::uint32_t maxFrameBytes = 0;
    std::uint32_t avgBitRate = 0;
    std::uint32_t sampleRate = 0;
    bool Parse(std::span<const BYTE> payload);
};

bool IsExtensionVideoEntry(std::uint32_t type);
bool IsExtensionSoundEntry(std::uint32_t type);
// The configuration record a box of this type decodes into; null for other types and for a
// payload that does not decode. The "alac" box is a record only inside an "alac" entry.
std::unique_ptr<Mp4Payload> DecodeExtensionRecord(std::uint32_t type, std::span<const BYTE> payload);
bool IsExtensionRecord(std::uint32_t type, std::uint32_t parentType);

// Sets the track's extension codec, its extra data and format header from an extension entry;
// false when the entry is not one or its configuration box is missing or damaged.
bool SetUpExtensionCodec(Mp4Track& track, const Mp4Box& entry);

// The types of an extension track: FORMAT_MPEG2Video with the configuration record as the
// sequence header for video, FORMAT_WaveFormatEx with it behind the header for audio.
std::vector<CMediaType> ExtensionMediaTypes(Mp4Track& track);
