#include "demux/ogg/ogg_read_stream.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "demux/ogg/ogg_ds_samples.h"
#include "demux/ogg/vorbis_headers.h"
#include "framework/format_blocks.h"
#include "framework/module_subtypes.h"
#include "io/byte_reader.h"

namespace {

constexpr REFERENCE_TIME kSecond = 10000000;

bool SignatureAt(std::span<const std::uint8_t> packet, std::string_view text)
{
    return packet.size() > text.size() && std::memcmp(packet.data() + 1, text.data(), text.size()) == 0;
}

// Positions come from granules a file may set to anything: sums saturate.
std::int64_t Add(std::int64_t a, std::int64_t b)
{
    std::int64_t sum;
    return __builtin_add_overflow(a, b, &sum) ? (b > 0 ? INT64_MAX : INT64_MIN) : sum;
}

// value x numerator / denominator without overflowing on the way; 0 for a zero denominator.
std::int64_t Scale(std::int64_t value, std::int64_t numerator, std::int64_t denominator)
{
    if (denominator == 0)
        return 0;
    const __int128 product = static_cast<__int128>(value) * numerator / denominator;
    return static_cast<std::int64_t>(std::clamp<__int128>(product, INT64_MIN, INT64_MAX));
}

// ---- Vorbis --------------------------------------------------------------------------------

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

// ---- Theora --------------------------------------------------------------------------------

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

// ---- OGM -----------------------------------------------------------------------------------

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

class KOgg2KStream final : public KOGG2ReadStream {
public:
    explicit KOgg2KStream(int serial) : KOGG2ReadStream(OggStreamKind::KStream, serial) {}

    bool ParseHeader(const OggPacket& packet) override
    {
        const auto bytes = PacketBytes(packet);
        if (m_accepted >= 2 || bytes.empty() || (bytes[0] & 1) == 0)
            return false;
        ++m_accepted;
        if (bytes.size() >= 18 && SignatureAt(bytes, "KStream")) {
            std::copy_n(bytes.begin() + 1, m_id.size(), m_id.begin());
            m_flags = bytes[17];
            StoreHeader(std::min<size_t>(bytes[0] / 2, 2), packet);
        }
        return true;
    }

    bool GetMediaType(CMediaType* type) override
    {
        *type = CMediaType(&MEDIATYPE_Stream);
        type->SetSubtype(&MEDIASUBTYPE_KStream);
        type->SetFormatType(&GUID_NULL);
        return true;
    }

private:
    int m_accepted = 0;
    std::array<std::uint8_t, 16> m_id{};
    std::uint8_t m_flags = 0;
};

}  // namespace

OggStreamKind ClassifyOggPacket(std::span<const std::uint8_t> packet)
{
    if (SignatureAt(packet, "theora"))
        return OggStreamKind::Theora;
    if (SignatureAt(packet, "vorbis"))
        return OggStreamKind::Vorbis;
    if (SignatureAt(packet, "video"))
        return OggStreamKind::OgmVideo;
    if (SignatureAt(packet, "audio"))
        return OggStreamKind::OgmAudio;
    if (SignatureAt(packet, "text"))
        return OggStreamKind::OgmText;
    if (SignatureAt(packet, "KStream"))
        return OggStreamKind::KStream;
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

std::string OggCommentLanguage(std::span<const std::uint8_t> packet)
{
    KByteReader reader(packet);
    std::uint32_t vendorLength = 0, count = 0;
    if (!reader.Skip(7) || !reader.ReadLE4(&vendorLength) || !reader.Skip(vendorLength) || !reader.ReadLE4(&count))
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
        return std::make_unique<KOgg2VorbisStream>(serial);
    case OggStreamKind::Theora:
        return std::make_unique<KOgg2TheoraStream>(serial);
    case OggStreamKind::OgmVideo:
        return std::make_unique<KOgg2VideoStream>(serial);
    case OggStreamKind::OgmAudio:
        return std::make_unique<KOgg2AudioStream>(serial);
    case OggStreamKind::OgmText:
        return std::make_unique<KOgg2TextStream>(serial);
    case OggStreamKind::KStream:
        return std::make_unique<KOgg2KStream>(serial);
    case OggStreamKind::DirectShowSamples:
        return std::make_unique<KOggDirectShowStream>(serial);
    default:
        return nullptr;
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
