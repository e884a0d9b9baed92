// The logical streams of an Ogg file: what kind a stream is from its first packet, the headers
// each kind needs before it can play, its media type, and its time arithmetic (granules, frame
// counts or OGM units to 100 ns). Both Ogg filters keep one KOGG2ReadStream per stream.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "demux/ogg/ogg_framing.h"
#include "framework/media_type.h"

enum class OggStreamKind : int {
    OgmAudio = 1,
    OgmVideo = 2,
    Vorbis = 3,
    Theora = 4,
    OgmText = 5,
    KStream = 6,
    NotHeader = 7,
    // Found by the first Ogg filter alone, from the stream's first packet.
    DirectShowSamples = 8,
    // Behind the extensions switch: their first packets carry no type byte before the signature.
    Opus = 9,
    Flac = 10,
    Speex = 11,
};

// By the signature after a packet's first byte.
OggStreamKind ClassifyOggPacket(std::span<const std::uint8_t> packet);
// The kinds behind the extensions switch, by their first packet ("OpusHead", 0x7F "FLAC",
// "Speex   "); NotHeader for any other.
OggStreamKind ClassifyExtensionPacket(std::span<const std::uint8_t> packet);
inline bool IsExtensionKind(OggStreamKind kind)
{
    return kind == OggStreamKind::Opus || kind == OggStreamKind::Flac || kind == OggStreamKind::Speex;
}

inline std::span<const std::uint8_t> PacketBytes(const OggPacket& packet)
{
    return {packet.packet, packet.bytes > 0 ? static_cast<size_t>(packet.bytes) : 0};
}

// The stream header of an OGM stream, the record after the first packet's type byte.
struct OgmStreamHeader {
    static constexpr size_t kRecordSize = 56;  // the extra codec data follows

    std::array<char, 8> streamType{};
    std::array<char, 4> subtype{};
    std::uint32_t size = 0;  // of the record with its extra data
    std::int64_t timeUnit = 0;  // 100 ns
    std::int64_t samplesPerUnit = 0;
    std::uint32_t defaultLength = 0;
    std::uint32_t bufferSize = 0;
    std::uint16_t bitsPerSample = 0;
    std::uint32_t width = 0, height = 0;  // video
    std::uint16_t channels = 0, blockAlign = 0;  // audio
    std::uint32_t averageBytesPerSecond = 0;
    std::vector<std::uint8_t> extra;

    // record: the packet from byte 1 on.
    static bool Parse(std::span<const std::uint8_t> record, OgmStreamHeader* header);
};

// The first "LANGUAGE" value of a comment header (Vorbis comment layout after the kind's
// signature: 7 bytes for Vorbis and OGM, 8 for "OpusTags", 4 for FLAC's metadata block header,
// none for Speex), the tag matched in any case; empty without one.
std::string OggCommentLanguage(std::span<const std::uint8_t> commentPacket, size_t signatureBytes = 7);

class KOGG2ReadStream {
public:
    static constexpr REFERENCE_TIME kNoTime = -1;

    // The stream object for a kind (1 to 6), else null.
    static std::unique_ptr<KOGG2ReadStream> Create(OggStreamKind kind, int serial);

    KOGG2ReadStream(OggStreamKind kind, int serial);
    virtual ~KOGG2ReadStream();
    KOGG2ReadStream(const KOGG2ReadStream&) = delete;
    KOGG2ReadStream& operator=(const KOGG2ReadStream&) = delete;

    // Takes one header packet; false when the packet is not one of this stream's headers.
    virtual bool ParseHeader(const OggPacket& packet) { (void)packet; return false; }
    // Bits 1, 2, 4 for each of three headers still missing; 0 once the stream can play.
    virtual unsigned MissingHeaders() const { return m_headers[0].empty() ? 1 : 0; }
    // Also sets the sample-size hint.
    virtual bool GetMediaType(CMediaType* type) { (void)type; return false; }
    // Bytes in front of a data packet's payload.
    virtual unsigned DataOffset(const OggPacket& packet) const { (void)packet; return 0; }
    virtual bool IsKeyFrame(const OggPacket& packet) const { (void)packet; return false; }
    // kNoTime for a negative granule.
    virtual REFERENCE_TIME TimeOfGranule(std::int64_t granule);
    // The time of a data packet; moves the running position on.
    virtual REFERENCE_TIME PacketTime(const OggPacket& packet) { (void)packet; return 0; }
    virtual REFERENCE_TIME CurrentTime() const { return 0; }
    virtual REFERENCE_TIME SampleStart(const OggPacket& packet) { return PacketTime(packet); }
    virtual REFERENCE_TIME SampleStop(const OggPacket& packet)
    {
        const REFERENCE_TIME start = packet.granulepos >= 0 ? PacketTime(packet) : CurrentTime();
        return start < INT64_MAX ? start + 1 : start;
    }
    virtual LONGLONG MediaStart(const OggPacket& packet) { (void)packet; return 0; }
    virtual LONGLONG MediaStop(const OggPacket& packet) { (void)packet; return 0; }
    // Undoes what PacketTime adds for a packet without a granule: after a seek the position is
    // found back from the first granule, over the packets before it.
    virtual void StepBack(const OggPacket& packet) { (void)packet; }
    // Back to the start: position 0, waiting for a key frame.
    virtual void Reset();
    void ClearKeyWait() { m_waitForKey = false; }
    virtual bool WaitsForKeyFrame() const { return false; }
    // Whether a packet of this stream is one of its headers rather than data.
    virtual bool IsHeader(std::span<const std::uint8_t> bytes) const { return ClassifyOggPacket(bytes) != OggStreamKind::NotHeader; }
    // How much a decoder must see before a seek target for its output there to be right.
    virtual REFERENCE_TIME SeekPreroll() const { return 0; }
    // The stream's first packets are timed back from the first granule, as after a seek, rather
    // than from 0: an encoder may start its granules anywhere.
    virtual bool TimedFromFirstGranule() const { return false; }

    OggStreamKind Kind() const { return m_kind; }
    int Serial() const { return m_serial; }
    KOggLogicalStream* State() { return &m_state; }
    const std::vector<std::uint8_t>& Header(size_t index) const { return m_headers[index]; }
    // Gives a copy of another stream's stored headers, as the seek-index thread's private
    // stream objects need them.
    bool AdoptHeaders(const KOGG2ReadStream& other);
    const std::string& Language() const { return m_language; }
    ULONG SampleSizeHint() const { return m_sampleSizeHint; }
    bool EndOfStream() const { return m_endOfStream; }
    void SetEndOfStream(bool end) { m_endOfStream = end; }
    bool IsVideo() const { return m_kind == OggStreamKind::OgmVideo || m_kind == OggStreamKind::Theora; }

protected:
    // Bits 1, 2, 4 for each of the three headers not stored yet.
    unsigned MissingOfThree() const
    {
        unsigned mask = 0;
        for (unsigned i = 0; i < 3; ++i)
            if (m_headers[i].empty())
                mask |= 1u << i;
        return mask;
    }
    void StoreHeader(size_t index, const OggPacket& packet);
    void TakeLanguage(const OggPacket& commentPacket, size_t signatureBytes = 7)
    {
        m_language = OggCommentLanguage(PacketBytes(commentPacket), signatureBytes);
    }

    OggStreamKind m_kind;
    int m_serial;
    std::array<std::vector<std::uint8_t>, 3> m_headers;
    int m_headerCount = 0;
    std::int64_t m_position = 0;  // granule, frame count or OGM units, per kind
    ULONG m_sampleSizeHint = 0;
    KOggLogicalStream m_state;
    std::string m_language;
    bool m_endOfStream = false;
    bool m_waitForKey = true;
};

// A stream's pin name: "Video", "Audio", "Subtitle", "KStream" or "Stream", with " / " and the
// stream's language when it has one.
std::string OggPinName(const KOGG2ReadStream& stream, const GUID& majorType);

// The OGM length bytes after a packet's first byte: their count and the number they hold.
unsigned OgmLengthBytes(std::uint8_t first);
std::uint64_t OgmLengthValue(std::span<const std::uint8_t> packet, unsigned count);
