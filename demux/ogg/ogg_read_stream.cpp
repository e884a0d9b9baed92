#include "demux/ogg/ogg_read_stream.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "demux/ogg/ogg_stream_kinds.h"
#include "io/byte_reader.h"

OggStreamKind ClassifyOggPacket(std::span<const std::uint8_t> packet)
{
    if (ogg_kinds::SignatureAt(packet, "theora"))
        return OggStreamKind::Theora;
    if (ogg_kinds::SignatureAt(packet, "vorbis"))
        return OggStreamKind::Vorbis;
    if (ogg_kinds::SignatureAt(packet, "video"))
        return OggStreamKind::OgmVideo;
    if (ogg_kinds::SignatureAt(packet, "audio"))
        return OggStreamKind::OgmAudio;
    if (ogg_kinds::SignatureAt(packet, "text"))
        return OggStreamKind::OgmText;
    if (ogg_kinds::SignatureAt(packet, "KStream"))
        return OggStreamKind::KStream;
    return OggStreamKind::NotHeader;
}

OggStreamKind ClassifyExtensionPacket(std::span<const std::uint8_t> packet)
{
    const auto startsWith = [packet](std::string_view text) {
        return packet.size() >= text.size() && std::memcmp(packet.data(), text.data(), text.size()) == 0;
    };
    if (startsWith("OpusHead"))
        return OggStreamKind::Opus;
    if (startsWith("\x7F" "FLAC"))
        return OggStreamKind::Flac;
    if (startsWith("Speex   "))
        return OggStreamKind::Speex;
    return OggStreamKind::NotHeader;
}

bool OgmStreamHeader::Parse(std::span<const std::uint8_t> record, OgmStreamHeader* header)
{
    if (record.size() < 52)
        return false;
    const std::uint8_t* p = record.data();
    OgmStreamHeader h;
    std::copy_n(p, 8, h.streamType.begin());
    std::copy_n(p + 8, 4, h.subtype.begin());
    h.size = ReadLE32(p + 12);
    h.timeUnit = static_cast<std::int64_t>(ReadLE64(p + 16));
    h.samplesPerUnit = static_cast<std::int64_t>(ReadLE64(p + 24));
    h.defaultLength = ReadLE32(p + 32);
    h.bufferSize = ReadLE32(p + 36);
    h.bitsPerSample = ReadLE16(p + 40);
    h.width = ReadLE32(p + 44);
    h.height = ReadLE32(p + 48);
    h.channels = ReadLE16(p + 44);
    h.blockAlign = ReadLE16(p + 46);
    h.averageBytesPerSecond = ReadLE32(p + 48);
    const size_t end = std::min<size_t>(h.size, record.size());
    if (end > kRecordSize)
        h.extra.assign(record.begin() + kRecordSize, record.begin() + static_cast<std::ptrdiff_t>(end));
    *header = std::move(h);
    return true;
}

std::string OggCommentLanguage(std::span<const std::uint8_t> packet, size_t signatureBytes)
{
    KByteReader reader(packet);
    std::uint32_t vendorLength = 0, count = 0;
    if (!reader.Skip(signatureBytes) || !reader.ReadLE4(&vendorLength) || !reader.Skip(vendorLength) || !reader.ReadLE4(&count))
        return {};
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t length = 0;
        std::span<const std::uint8_t> entry;
        if (!reader.ReadLE4(&length) || !reader.ReadBytes(length, &entry))
            return {};
        constexpr std::string_view kTag = "LANGUAGE=";
        if (entry.size() < kTag.size())
            continue;
        bool match = true;
        for (size_t k = 0; k < kTag.size() && match; ++k)
            match = std::toupper(entry[k]) == kTag[k];
        if (match)
            return std::string(entry.begin() + kTag.size(), entry.end());
    }
    return {};
}

std::string OggPinName(const KOGG2ReadStream& stream, const GUID& majorType)
{
    std::string name;
    if (majorType == MEDIATYPE_Video)
        name = "Video";
    else if (majorType == MEDIATYPE_Audio)
        name = "Audio";
    else if (stream.Kind() == OggStreamKind::OgmText)
        name = "Subtitle";
    else if (majorType == MEDIATYPE_Stream && stream.Kind() == OggStreamKind::KStream)
        name = "KStream";
    else
        name = "Stream";
    // The one video pin a file gets is named for what it is, whatever language its comment says.
    if (majorType != MEDIATYPE_Video && !stream.Language().empty())
        name += " / " + stream.Language();
    return name;
}

unsigned OgmLengthBytes(std::uint8_t first)
{
    return ((first & 0x02) << 1) | (first >> 6);
}

std::uint64_t OgmLengthValue(std::span<const std::uint8_t> packet, unsigned count)
{
    std::uint64_t value = 0;
    for (unsigned i = count; i > 0; --i)
        if (i < packet.size())
            value = value << 8 | packet[i];
    return value;
}

std::unique_ptr<KOGG2ReadStream> KOGG2ReadStream::Create(OggStreamKind kind, int serial)
{
    switch (kind) {
    case OggStreamKind::Vorbis:
        return ogg_kinds::MakeVorbisStream(serial);
    case OggStreamKind::Theora:
        return ogg_kinds::MakeTheoraStream(serial);
    case OggStreamKind::KStream:
        return ogg_kinds::MakeKStream(serial);
    case OggStreamKind::Opus:
        return ogg_kinds::MakeOpusStream(serial);
    case OggStreamKind::Flac:
        return ogg_kinds::MakeFlacStream(serial);
    case OggStreamKind::Speex:
        return ogg_kinds::MakeSpeexStream(serial);
    default:
        return ogg_kinds::MakeOgmStream(kind, serial);
    }
}

KOGG2ReadStream::KOGG2ReadStream(OggStreamKind kind, int serial) : m_kind(kind), m_serial(serial), m_state(serial) {}

KOGG2ReadStream::~KOGG2ReadStream() = default;

REFERENCE_TIME KOGG2ReadStream::TimeOfGranule(std::int64_t granule)
{
    if (granule < 0)
        return kNoTime;
    OggPacket packet;
    packet.granulepos = granule;
    return PacketTime(packet);
}

void KOGG2ReadStream::Reset()
{
    m_position = 0;
    m_waitForKey = true;
    m_endOfStream = false;
    m_state.Reset();
}

bool KOGG2ReadStream::AdoptHeaders(const KOGG2ReadStream& other)
{
    for (size_t i = 0; i < m_headers.size(); ++i) {
        if (other.m_headers[i].empty())
            continue;
        OggPacket packet;
        packet.packet = const_cast<unsigned char*>(other.m_headers[i].data());
        packet.bytes = static_cast<long>(other.m_headers[i].size());
        packet.b_o_s = i == 0;
        ParseHeader(packet);
    }
    return MissingHeaders() == 0;
}

void KOGG2ReadStream::StoreHeader(size_t index, const OggPacket& packet)
{
    if (index >= m_headers.size())
        return;
    const auto bytes = PacketBytes(packet);
    m_headers[index].assign(bytes.begin(), bytes.end());
    ++m_headerCount;
}
