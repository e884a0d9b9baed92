#include "demux/mpeg/mpeg_reader.h"

#include <algorithm>
#include <cstring>

#include "demux/mpeg_es/mpeg_es_headers.h"
#include "demux/mpeg_es/mpeg_es_media_types.h"
#include "io/byte_reader.h"

namespace {

// The read window. Larger than a sector so that a PES payload usually comes from one refill.
constexpr DWORD kBufferSize = 0x8000;
// A refill that goes on where the last one ended reads this much: playback and the opening scan
// read the file in order, where a few large reads cost less than many small ones. A seek's
// probes stay small.
constexpr DWORD kInOrderBufferSize = 8 * kBufferSize;
constexpr DWORD kStartCodeLimit = 0x10000;
constexpr DWORD kMaxPvaPayload = 6136;
// What a header parser looks at to identify a stream: a PES payload is never longer.
constexpr DWORD kIdentifyLimit = 0x10000;

bool IsPesId(int id) { return id >= 0xBD && id <= 0xEF; }

// A header parser and the media type of what it parsed, as one try.
using TypeTry = std::optional<CMediaType> (*)(EsBytes);

template <auto Parse, auto Make>
std::optional<CMediaType> TypeOf(EsBytes payload)
{
    if (const auto parsed = Parse(payload))
        return Make(*parsed);
    return std::nullopt;
}

// The type of the first try that accepts the payload.
bool FirstType(const std::vector<BYTE>& payload, CMediaType& type, std::initializer_list<TypeTry> tries)
{
    for (const TypeTry attempt : tries)
        if (auto made = attempt(payload)) {
            type = std::move(*made);
            return true;
        }
    return false;
}

}  // namespace

KMpegReader::KMpegReader() : m_buffer(kInOrderBufferSize) {}

void KMpegReader::Close()
{
    m_file.reset();
    m_fileSize = 0;
    m_kind = MpegKind::Unknown;
    for (auto& list : m_lists)
        list.clear();
    m_streamIdByPid.clear();
    m_programMap.clear();
    m_packetSize = 0;
    m_byteRate = 0;
    m_muxRate = 0;
    m_bufferLength = 0;
    m_bytePos = 0;
    m_bitOffset = 0;
}

// ---- Bit access ---------------------------------------------------------------------------------

bool KMpegReader::FillBuffer(LONGLONG position)
{
    const bool inOrder = m_bufferLength > 0 && position == m_bufferStart + static_cast<LONGLONG>(m_bufferLength);
    m_bufferLength = 0;
    m_bufferStart = position;
    if (!m_file || position < 0 || position >= m_fileSize || m_file->Seek(position) != position)
        return false;
    m_bufferLength = m_file->Read(m_buffer.data(), inOrder ? kInOrderBufferSize : kBufferSize);
    // A read that fails inside the file ends it there: every walk stops at the end of the file,
    // where it would otherwise stand still on a byte it cannot read.
    if (m_bufferLength == 0)
        m_fileSize = position;
    return m_bufferLength > 0;
}

int KMpegReader::ByteAt(LONGLONG position)
{
    if (position < m_bufferStart || position >= m_bufferStart + m_bufferLength) {
        if (!FillBuffer(position))
            return -1;
    }
    return m_buffer[static_cast<size_t>(position - m_bufferStart)];
}

DWORD KMpegReader::GetBits(unsigned n, bool peek)
{
    const LONGLONG savedPos = m_bytePos;
    const unsigned savedOffset = m_bitOffset;
    DWORD value = 0;
    while (n > 0) {
        int byte = ByteAt(m_bytePos);
        if (byte < 0) {
            m_pastEnd = true;
            byte = 0;
        }
        const unsigned left = 8 - m_bitOffset;
        const unsigned take = std::min(n, left);
        value = (value << take) | ((static_cast<unsigned>(byte) >> (left - take)) & ((1u << take) - 1));
        n -= take;
        m_bitOffset += take;
        if (m_bitOffset == 8) {
            m_bitOffset = 0;
            ++m_bytePos;
        }
    }
    if (peek) {
        m_bytePos = savedPos;
        m_bitOffset = savedOffset;
    }
    return value;
}

void KMpegReader::Seek(LONGLONG position)
{
    m_bytePos = std::clamp<LONGLONG>(position, 0, m_fileSize);
    m_bitOffset = 0;
}

bool KMpegReader::ReadBytes(BYTE* destination, DWORD count)
{
    AlignByte();
    if (count == 0)
        return true;
    if (m_bytePos < 0 || m_bytePos + count > m_fileSize) {
        m_pastEnd = true;
        return false;
    }
    DWORD done = 0;
    if (m_bytePos >= m_bufferStart && m_bytePos < m_bufferStart + m_bufferLength) {
        const DWORD offset = static_cast<DWORD>(m_bytePos - m_bufferStart);
        done = std::min(count, m_bufferLength - offset);
        std::memcpy(destination, m_buffer.data() + offset, done);
    }
    // Whole windows go straight to the destination; the tail comes through the window.
    while (count - done >= kBufferSize) {
        const LONGLONG at = m_bytePos + done;
        if (m_file->Seek(at) != at)
            return false;
        const DWORD got = m_file->Read(destination + done, kBufferSize);
        if (got == 0) {
            m_fileSize = at;  // unreadable from here on, as in FillBuffer
            return false;
        }
        done += got;
    }
    while (done < count) {
        if (!FillBuffer(m_bytePos + done))
            return false;
        const DWORD take = std::min(count - done, m_bufferLength);
        std::memcpy(destination + done, m_buffer.data(), take);
        done += take;
    }
    m_bytePos += count;
    return true;
}

int KMpegReader::FindStartCode(DWORD limit)
{
    AlignByte();
    DWORD last = 0xFFFFFFFF;
    for (DWORD consumed = 0; consumed < limit; ++consumed) {
        const int byte = ByteAt(m_bytePos);
        if (byte < 0)
            return -1;
        ++m_bytePos;
        last = (last << 8) | static_cast<DWORD>(byte);
        if ((last & 0xFFFFFF00) == 0x00000100)
            return static_cast<int>(last & 0xFF);
    }
    return -1;
}

// ---- Headers ------------------------------------------------------------------------------------

bool KMpegReader::ReadPts(LONGLONG& time)
{
    LONGLONG value = static_cast<LONGLONG>(GetBits(3)) << 30;
    if (!GetBits(1))
        return false;
    value |= static_cast<LONGLONG>(GetBits(15)) << 15;
    if (!GetBits(1))
        return false;
    value |= GetBits(15);
    if (!GetBits(1))
        return false;
    time = value * 10000 / 90;
    return true;
}

bool KMpegReader::ParsePackHeader(MpegPackHeader& pack)
{
    m_pastEnd = false;
    const DWORD first = GetBits(8, true);
    if ((first & 0xF1) == 0x21) {
        pack.version = 1;
        GetBits(4);
        LONGLONG scr = static_cast<LONGLONG>(GetBits(3)) << 30;
        bool markers = GetBits(1);
        scr |= static_cast<LONGLONG>(GetBits(15)) << 15;
        markers = GetBits(1) && markers;
        scr |= GetBits(15);
        markers = GetBits(1) && GetBits(1) && markers;
        pack.muxRate = GetBits(22) * 400;
        markers = GetBits(1) && markers;
        pack.scr = scr;
        return markers && !m_pastEnd;
    }
    if ((first & 0xC4) == 0x44) {
        pack.version = 2;
        GetBits(2);
        LONGLONG scr = static_cast<LONGLONG>(GetBits(3)) << 30;
        bool markers = GetBits(1);
        scr |= static_cast<LONGLONG>(GetBits(15)) << 15;
        markers = GetBits(1) && markers;
        scr |= GetBits(15);
        markers = GetBits(1) && markers;
        const LONGLONG extension = GetBits(9);
        markers = GetBits(1) && markers;
        pack.scr = scr * 300 + extension;
        pack.muxRate = GetBits(22) * 400;
        markers = GetBits(1) && GetBits(1) && markers;
        GetBits(5);
        const DWORD stuffing = GetBits(3);
        for (DWORD i = 0; i < stuffing; ++i)
            GetBits(8);
        return markers && !m_pastEnd;
    }
    return false;
}

bool KMpegReader::ParseSystemHeader()
{
    m_pastEnd = false;
    const DWORD length = GetBits(16);
    bool markers = GetBits(1);
    GetBits(22);  // rate bound
    markers = GetBits(1) && markers;
    GetBits(6);  // audio bound
    GetBits(4);  // fixed, CSPS, audio lock, video lock
    markers = GetBits(1) && markers;
    GetBits(5);  // video bound
    GetBits(8);
    if (length >= 6)
        Seek(Position() + (length - 6) / 3 * 3);
    return markers && !m_pastEnd;
}

bool KMpegReader::ParsePesHeader(BYTE streamId, MpegPesHeader& pes)
{
    m_pastEnd = false;
    pes = MpegPesHeader{};
    DWORD length = GetBits(16);
    if (streamId == 0xBE || streamId == 0xBF) {
        pes.remaining = length;
        return !m_pastEnd;
    }
    for (int i = 0; i < 16 && GetBits(8, true) == 0xFF; ++i) {
        GetBits(8);
        if (length > 0)
            --length;
    }
    if (GetBits(2, true) == 2) {
        pes.version = 2;
        GetBits(2);
        pes.scrambling = GetBits(2);
        GetBits(4);  // priority, data alignment, rights, original
        pes.hasPts = GetBits(1);
        pes.hasDts = GetBits(1);
        GetBits(6);  // ESCR, ES rate, trick mode, additional copy info, CRC, extension
        pes.headerDataLength = GetBits(8);
        if (pes.hasPts) {
            if (GetBits(4) != (pes.hasDts ? 3u : 2u) || !ReadPts(pes.pts))
                return false;
        }
        if (pes.hasDts) {
            if (GetBits(4) != 1 || !ReadPts(pes.dts))
                return false;
        }
        const DWORD timeBytes = (pes.hasPts ? 5 : 0) + (pes.hasDts ? 5 : 0);
        if (pes.headerDataLength < timeBytes)
            return false;
        if (length > 0) {
            if (length < pes.headerDataLength + 3)
                return false;
            length -= pes.headerDataLength + 3;
        }
        Seek(Position() + (pes.headerDataLength - timeBytes));
    } else {
        pes.version = 1;
        DWORD bits = GetBits(2);
        if (bits == 1) {
            const DWORD scale = GetBits(1);
            pes.stdBufferSize = GetBits(13) * (scale ? 1024 : 128);
            if (length > 0)
                length = length >= 2 ? length - 2 : 0;
            bits = GetBits(2);
        }
        if (bits != 0)
            return false;
        pes.hasPts = GetBits(1);
        pes.hasDts = GetBits(1);
        if (pes.hasPts && !ReadPts(pes.pts))
            return false;
        if (pes.hasDts && (GetBits(4) != 1 || !ReadPts(pes.dts)))
            return false;
        if (!pes.hasPts && !pes.hasDts && GetBits(4) != 15)
            return false;
        const DWORD headerBytes = 1 + (pes.hasPts ? 4 : 0) + (pes.hasDts ? 5 : 0);
        if (length > 0) {
            if (length < headerBytes)
                return false;
            length -= headerBytes;
        }
    }
    pes.remaining = length;
    return !m_pastEnd;
}

bool KMpegReader::ParseTransportPacket(MpegTransportPacket& packet)
{
    m_pastEnd = false;
    AlignByte();
    const LONGLONG begin = m_bytePos;
    if (m_packetSize == 0) {
        for (LONGLONG at = begin; at < begin + 192 && m_packetSize == 0; ++at) {
            if (ByteAt(at) != 0x47)
                continue;
            if (ByteAt(at + 188) == 0x47)
                m_packetSize = 188;
            else if (ByteAt(at + 192) == 0x47)
                m_packetSize = 192;
        }
        if (m_packetSize == 0)
            return false;
    }
    bool synced = false;
    for (DWORD examined = 0; examined < m_packetSize; ++examined) {
        const int byte = ByteAt(m_bytePos);
        if (byte < 0)
            return false;
        if (byte == 0x47 && (examined == 0 || ByteAt(m_bytePos + m_packetSize) == 0x47)) {
            synced = true;
            break;
        }
        ++m_bytePos;
    }
    if (!synced)
        return false;
    // A 192-byte packet carries a 4-byte prefix before the sync byte: the next packet's sync is
    // a whole packet further on.
    packet = MpegTransportPacket{};
    packet.nextPacket = m_bytePos + m_packetSize;
    GetBits(8);
    GetBits(1);  // transport error
    packet.unitStart = GetBits(1);
    GetBits(1);  // priority
    packet.pid = GetBits(13);
    packet.scrambling = GetBits(2);
    packet.hasAdaptation = GetBits(1);
    packet.hasPayload = GetBits(1);
    packet.continuity = GetBits(4);
    LONGLONG payload = 184;
    if (packet.hasAdaptation) {
        const DWORD length = GetBits(8);
        if (length > 0)
            Seek(Position() + length);
        payload = 184 - 1 - static_cast<LONGLONG>(length);
    }
    if (payload < 0 || m_pastEnd)
        return false;
    packet.payloadLength = static_cast<DWORD>(payload);
    return true;
}

void KMpegReader::ParsePsiSection(DWORD pid)
{
    if (pid != 0 && !m_programMap.contains(pid))
        return;
    const LONGLONG start = Position();
    BYTE section[184];
    const DWORD available = static_cast<DWORD>(std::min<LONGLONG>(184, m_fileSize - start));
    if (!ReadBytes(section, available)) {
        Seek(start);
        return;
    }
    Seek(start);
    KByteReader reader(std::span<const BYTE>(section, available));
    std::uint8_t pointer = 0, tableId = 0;
    std::uint16_t flagsLength = 0, extension = 0;
    std::uint8_t version = 0, number = 0, last = 0;
    if (!reader.Read1(&pointer) || !reader.Skip(pointer) || !reader.Read1(&tableId) || !reader.ReadBE2(&flagsLength)
        || !reader.ReadBE2(&extension) || !reader.Read1(&version) || !reader.Read1(&number) || !reader.Read1(&last))
        return;
    if (!(flagsLength & 0x8000) || (flagsLength & 0x4000))
        return;
    const DWORD sectionLength = flagsLength & 0x0FFF;
    if (pid == 0 && tableId == 0) {
        std::vector<DWORD> programs;
        for (DWORD i = 0; sectionLength >= 9 && i < (sectionLength - 9) / 4; ++i) {
            std::uint16_t program = 0, mapPid = 0;
            if (!reader.ReadBE2(&program) || !reader.ReadBE2(&mapPid))
                return;
            if (program == 0)
                continue;
            programs.push_back(program);
            auto& entry = m_programMap[mapPid & 0x1FFF];
            entry.first = program;
        }
        std::erase_if(m_programMap, [&](const auto& entry) {
            return std::find(programs.begin(), programs.end(), entry.second.first) == programs.end();
        });
        return;
    }
    if (tableId != 2 || pid == 0)
        return;
    auto& elementary = m_programMap[pid].second;
    elementary.clear();
    std::uint16_t pcrPid = 0, infoLength = 0;
    if (!reader.ReadBE2(&pcrPid) || !reader.ReadBE2(&infoLength) || !reader.Skip(infoLength & 0x0FFF))
        return;
    LONGLONG left = static_cast<LONGLONG>(sectionLength) - 13 - (infoLength & 0x0FFF);
    while (left >= 5 && elementary.size() < 16) {
        std::uint8_t streamType = 0;
        std::uint16_t esPid = 0, esInfo = 0;
        if (!reader.Read1(&streamType) || !reader.ReadBE2(&esPid) || !reader.ReadBE2(&esInfo) || !reader.Skip(esInfo & 0x0FFF))
            return;
        elementary.push_back(esPid & 0x1FFF);
        left -= 5 + (esInfo & 0x0FFF);
    }
}

bool KMpegReader::ParsePvaPacket(MpegPvaPacket& packet)
{
    m_pastEnd = false;
    AlignByte();
    bool found = false;
    for (DWORD tries = 0; tries < 0x10000; ++tries) {
        BYTE header[8];
        int i = 0;
        for (; i < 8; ++i) {
            const int byte = ByteAt(m_bytePos + i);
            if (byte < 0)
                return false;
            header[i] = static_cast<BYTE>(byte);
        }
        const std::uint64_t value = ReadBE64(header);
        if ((value & ~0x3FF001FFFFFULL) == 0x4156000055000000ULL) {
            found = true;
            break;
        }
        ++m_bytePos;
    }
    if (!found)
        return false;
    packet = MpegPvaPacket{};
    packet.start = m_bytePos;
    GetBits(16);
    packet.streamId = GetBits(8);
    packet.counter = GetBits(8);
    GetBits(8);
    GetBits(3);
    packet.hasPts = GetBits(1);
    GetBits(2);  // pre-bytes
    const DWORD postBytes = GetBits(2);
    DWORD length = GetBits(16);
    if (length > kMaxPvaPayload)
        return false;
    const LONGLONG afterLength = Position();
    if (packet.streamId == 1 && packet.hasPts) {
        packet.pts = static_cast<LONGLONG>(GetBits(32)) * 10000 / 90;
    } else if (packet.streamId == 2 && (packet.hasPts || (GetBits(32, true) & 0xFFFFFFE0) == 0x000001C0)) {
        const int id = FindStartCode(4);
        MpegPesHeader pes;
        if (id < 0xC0 || id > 0xDF || !ParsePesHeader(static_cast<BYTE>(id), pes))
            return false;
        packet.hasPts = pes.hasPts;
        packet.pts = pes.pts;
    }
    for (DWORD i = 0; i < postBytes; ++i)
        GetBits(8);
    const LONGLONG consumed = Position() - afterLength;
    if (consumed > length || m_pastEnd)
        return false;
    packet.payloadLength = length - static_cast<DWORD>(consumed);
    return true;
}

// ---- Streams ------------------------------------------------------------------------------------

const MpegStreamInfo* KMpegReader::StreamByKey(DWORD key) const
{
    for (const auto& list : m_lists)
        for (const auto& stream : list)
            if (stream.Key() == key)
                return &stream;
    return nullptr;
}

bool KMpegReader::IsKnown(DWORD key) const { return StreamByKey(key) != nullptr; }

void KMpegReader::InsertStream(int list, MpegStreamInfo stream)
{
    const DWORD key = stream.Key();
    if (key != 0 && IsKnown(key))
        return;
    auto& streams = m_lists[list];
    auto at = std::find_if(streams.begin(), streams.end(), [&](const MpegStreamInfo& s) { return s.Key() > key; });
    streams.insert(at, std::move(stream));
}

std::vector<BYTE> KMpegReader::PeekPayload(DWORD length, DWORD limit)
{
    AlignByte();
    const LONGLONG start = m_bytePos;
    DWORD wanted = length ? std::min(length, limit) : limit;
    wanted = static_cast<DWORD>(std::min<LONGLONG>(wanted, std::max<LONGLONG>(m_fileSize - start, 0)));
    std::vector<BYTE> bytes(wanted);
    if (!ReadBytes(bytes.data(), wanted))
        bytes.clear();
    Seek(start);
    return bytes;
}

bool KMpegReader::IdentifyVideo(MpegStreamInfo& stream, DWORD payloadLength)
{
    return IdentifyVideoBytes(stream, PeekPayload(payloadLength, kIdentifyLimit));
}

bool KMpegReader::IdentifyVideoBytes(MpegStreamInfo& stream, const std::vector<BYTE>& bytes)
{
    return FirstType(bytes, stream.type, {TypeOf<ParseMpegVideoSequence, MpegVideoMediaType>, TypeOf<ParseAvcParameterSets, AvcMediaType>});
}

void KMpegReader::IdentifyCollected(const KCollectedVideo& unit)
{
    MpegStreamInfo stream;
    stream.pid = m_kind == MpegKind::Transport ? unit.key : 0;
    stream.streamId = unit.streamId;
    if (!IsKnown(stream.Key()) && IdentifyVideoBytes(stream, unit.bytes))
        InsertStream(kMpegVideoList, std::move(stream));
}

void KMpegReader::CollectVideo(DWORD key, BYTE streamId, bool unitStart, DWORD payloadLength)
{
    if (IsKnown(key))
        return;
    if (!unitStart) {
        if (m_videoCollector.Collecting(key))
            if (auto unit = m_videoCollector.Continue(key, PeekPayload(payloadLength, kIdentifyLimit)))
                IdentifyCollected(*unit);
        return;
    }
    if (auto unit = m_videoCollector.Take(key)) {
        IdentifyCollected(*unit);
        if (IsKnown(key))
            return;
    }
    m_videoCollector.Begin(key, streamId, -1, PeekPayload(payloadLength, kIdentifyLimit));
}

bool KMpegReader::IdentifyAudio(MpegStreamInfo& stream, DWORD payloadLength)
{
    return FirstType(PeekPayload(payloadLength, kIdentifyLimit), stream.type,
                     {TypeOf<ParseMpegAudioHeader, MpegAudioMediaType>,
                      TypeOf<[](EsBytes payload) { return ParseAdtsHeader(payload); }, [](const AdtsHeader& header) { return AdtsMediaType(header); }>});
}

bool KMpegReader::IdentifyTransportPrivate(MpegStreamInfo& stream, DWORD payloadLength)
{
    return FirstType(PeekPayload(payloadLength, kIdentifyLimit), stream.type,
                     {TypeOf<ParseAc3Header, Ac3MediaType>, TypeOf<ParseDtsHeader, DtsMediaType>,
                      TypeOf<ParseVc1Sequence, Vc1MediaType>});
}

DWORD KMpegReader::IdentifyStream(DWORD pid, BYTE streamId, DWORD payloadLength)
{
    AlignByte();
    if (pid != 0) {
        if (streamId != 0) {
            m_streamIdByPid[pid] = streamId;
        } else if (auto known = m_streamIdByPid.find(pid); known != m_streamIdByPid.end()) {
            streamId = known->second;
        }
    }
    MpegStreamInfo stream;
    stream.pid = pid;
    stream.streamId = streamId;
    if (streamId >= 0xE0 && streamId <= 0xEF) {
        if (!IsKnown(stream.Key()) && IdentifyVideo(stream, payloadLength))
            InsertStream(kMpegVideoList, std::move(stream));
        return pid ? pid : streamId * 256u;
    }
    if (streamId >= 0xC0 && streamId <= 0xDF) {
        if (!IsKnown(stream.Key()) && IdentifyAudio(stream, payloadLength))
            InsertStream(kMpegAudioList, std::move(stream));
        return pid ? pid : streamId * 256u;
    }
    if ((streamId == 0xBD || streamId == 0xFD) && pid != 0) {
        const int list = IdentifyTransportPrivate(stream, payloadLength) ? (*stream.type.Type() == MEDIATYPE_Video ? 0 : 1) : -1;
        if (list >= 0 && !IsKnown(pid))
            InsertStream(list, std::move(stream));
        return pid;
    }
    if (streamId != 0xBD || pid != 0)
        return pid ? pid : streamId * 256u;

    // Private stream 1 in program and PES streams: a sub-stream header says what follows.
    const LONGLONG start = Position();
    const DWORD first32 = GetBits(32, true);
    const DWORD b = first32 >> 24;
    const DWORD first16 = first32 >> 16;
    enum class Parser { None, Ac3, Dts, Lpcm, Subpicture } parser = Parser::None;
    DWORD consumed = 0;
    if (b >= 0x80 && b <= 0x87) {
        stream.subStreamId = static_cast<BYTE>(b), consumed = 4, parser = Parser::Ac3;
    } else if (first16 == 0x0B77) {
        stream.subStreamId = 0x80, parser = Parser::Ac3;
    } else if (b >= 0x88 && b <= 0x8F) {
        stream.subStreamId = static_cast<BYTE>(b), consumed = 4, parser = Parser::Dts;
    } else if (first32 == 0x7FFE8001) {
        stream.subStreamId = 0x88, parser = Parser::Dts;
    } else if (b >= 0xA0 && b <= 0xA7) {
        stream.subStreamId = static_cast<BYTE>(b), consumed = 7, parser = Parser::Lpcm;
    } else if ((b >= 0x20 && b <= 0x3F) || (b >= 0x70 && b <= 0x7F) || b <= 0x0F) {
        stream.subStreamId = static_cast<BYTE>(b), consumed = 1, parser = Parser::Subpicture;
    } else if (first16 == 0xFF90) {
        // The two bytes after the marker number the stream, so that two such AC-3 streams stay
        // apart; the frame follows the 4-byte header.
        Seek(start + 4);
        const DWORD sync = GetBits(16, true);
        Seek(start);
        stream.subStreamId = 0xFF;
        stream.pid = 0x90 * 65536 + (first32 & 0xFFFF);
        consumed = 4;
        if (sync == 0x0B77)
            parser = Parser::Ac3;
    } else {
        return streamId * 256u;
    }
    const DWORD key = stream.Key();
    if (payloadLength != 0 && consumed > payloadLength) {
        Seek(start + payloadLength);
        return key;
    }
    if (parser != Parser::None && !IsKnown(key)) {
        const std::vector<BYTE> payload = PeekPayload(payloadLength ? payloadLength : 0, kIdentifyLimit);
        const EsBytes data = EsBytes(payload).subspan(std::min<size_t>(parser == Parser::Lpcm ? 4 : consumed, payload.size()));
        int list = kMpegAudioList;
        bool identified = false;
        switch (parser) {
        case Parser::Ac3:
            if (auto header = ParseAc3Header(data))
                stream.type = Ac3MediaType(*header), identified = true;
            break;
        case Parser::Dts:
            if (auto header = ParseDtsHeader(data))
                stream.type = DtsMediaType(*header), identified = true;
            break;
        case Parser::Lpcm:
            if (auto header = ParseLpcmHeader(data))
                stream.type = LpcmMediaType(*header), identified = true;
            break;
        case Parser::Subpicture:
            stream.type = SubpictureMediaType(stream.subStreamId), identified = true, list = kMpegSubpictureList;
            break;
        case Parser::None: break;
        }
        if (identified)
            InsertStream(list, std::move(stream));
    }
    Seek(start + consumed);
    return key;
}

// ---- Opening ------------------------------------------------------------------------------------

bool KMpegReader::DetectKind()
{
    Seek(0);
    if (GetBits(32, true) == MakeFourcc('c', 'r', 'F', 'T'))  // "TFrc" read big-endian
        Seek(1660);
    // Zeros in front (a damaged or padded start) are passed over, as far as a program stream's
    // pack header may be: the packets after them are looked for where the zeros end.
    for (DWORD zeros = 0; zeros < kStartCodeLimit && ByteAt(m_bytePos) == 0; ++zeros)
        ++m_bytePos;
    bool transport = true;
    for (int i = 0; i < 4 && transport; ++i) {
        MpegTransportPacket packet;
        transport = ParseTransportPacket(packet);
        if (transport)
            Seek(packet.nextPacket);
    }
    if (transport) {
        m_kind = MpegKind::Transport;
        return true;
    }
    m_packetSize = 0;

    Seek(0);
    bool pva = true;
    for (int i = 0; i < 4 && pva; ++i) {
        MpegPvaPacket packet;
        pva = ParsePvaPacket(packet);
        if (pva)
            Seek(Position() + packet.payloadLength);
    }
    if (pva) {
        m_kind = MpegKind::Pva;
        return true;
    }

    Seek(0);
    for (int i = 0; i < 4 && m_kind == MpegKind::Unknown; ++i) {
        const int id = FindStartCode(kStartCodeLimit);
        if (id < 0)
            break;
        const LONGLONG after = Position();
        if (id == 0xBA) {
            MpegPackHeader pack;
            if (ParsePackHeader(pack)) {
                m_kind = MpegKind::Program;
                m_muxRate = pack.muxRate / 8;
                m_byteRate = m_muxRate;
            }
        } else if ((id >= 0xC0 && id <= 0xEF) || id == 0xBD) {
            MpegPesHeader pes;
            if (ParsePesHeader(static_cast<BYTE>(id), pes))
                m_kind = MpegKind::Pes;
        }
        if (m_kind == MpegKind::Unknown)
            Seek(after);
    }
    return m_kind != MpegKind::Unknown;
}

LONGLONG KMpegReader::SinceFirst(LONGLONG pts) const
{
    // Time stamps count 33 bits of 90 kHz and wrap every 26.5 hours; a broadcast recording may
    // start anywhere in that range. The nearer of the two readings continues the timeline. The
    // times were converted from 90 kHz with truncation, so the one past the wrap is converted
    // anew from its 90 kHz value (which the truncated time still determines) plus 2^33.
    constexpr LONGLONG kWrap = 1LL << 33;
    constexpr LONGLONG kHalf = kWrap * 1000 / 9 / 2;
    const auto ticks = [](LONGLONG time) { return (time * 9 + 999) / 1000; };
    const auto wrapped = [&](LONGLONG time) { return (ticks(time) + kWrap) * 1000 / 9; };
    const LONGLONG since = pts - m_firstPts;
    if (since < -kHalf && pts >= 0)
        return wrapped(pts) - m_firstPts;
    if (since > kHalf && m_firstPts >= 0)
        return pts - wrapped(m_firstPts);
    return since;
}

void KMpegReader::NotePts(LONGLONG pts)
{
    if (m_firstPts == kMpegNoPts) {
        m_firstPts = m_largestPts = pts;
        m_firstPtsPosition = Position();
        return;
    }
    const LONGLONG since = SinceFirst(pts);
    if (since > 0 && since > m_largestPts - m_firstPts) {
        m_largestPts = m_firstPts + since;
        m_largestPtsPosition = Position();
    }
}

bool KMpegReader::ScanWindow(LONGLONG start, LONGLONG end)
{
    Seek(start);
    const LONGLONG limit = std::min(end, m_fileSize);
    while (Position() < limit) {
        const LONGLONG before = Position();
        if (m_kind == MpegKind::Program || m_kind == MpegKind::Pes) {
            const int id = FindStartCode(kStartCodeLimit);
            if (id < 0) {
                if (Position() >= m_fileSize)
                    break;
                continue;
            }
            if (id == 0xBA) {
                MpegPackHeader pack;
                ParsePackHeader(pack);
            } else if (id == 0xBB) {
                ParseSystemHeader();
            } else if (IsPesId(id)) {
                const LONGLONG headerStart = Position();
                MpegPesHeader pes;
                if (!ParsePesHeader(static_cast<BYTE>(id), pes)) {
                    Seek(headerStart);
                    continue;
                }
                if (pes.version == 2 && pes.scrambling != 0)
                    return false;
                if (pes.hasPts)
                    NotePts(pes.pts);
                const LONGLONG payloadStart = Position();
                const DWORD key = IdentifyStream(0, static_cast<BYTE>(id), pes.remaining);
                if (id >= 0xE0 && id <= 0xEF) {
                    // A picture runs from a timed PES over the untimed ones that follow it.
                    Seek(payloadStart);
                    CollectVideo(key, static_cast<BYTE>(id), pes.hasPts, pes.remaining);
                }
                Seek(payloadStart + pes.remaining);
            }
        } else if (m_kind == MpegKind::Transport) {
            MpegTransportPacket packet;
            if (!ParseTransportPacket(packet)) {
                if (Position() == before)
                    break;
                continue;
            }
            const LONGLONG payloadStart = Position();
            if (packet.hasPayload && packet.pid >= 16 && packet.pid <= 8190) {
                BYTE streamId = 0;
                if (packet.unitStart) {
                    const int id = FindStartCode(4);
                    MpegPesHeader pes;
                    if (id >= 0 && ParsePesHeader(static_cast<BYTE>(id), pes)) {
                        if (pes.version == 2 && pes.scrambling != 0)
                            return false;
                        if (pes.hasPts)
                            NotePts(pes.pts);
                        streamId = static_cast<BYTE>(id);
                    } else {
                        Seek(payloadStart);
                    }
                }
                const LONGLONG used = Position() - payloadStart;
                if (used < packet.payloadLength) {
                    const LONGLONG payloadAt = Position();
                    const DWORD length = static_cast<DWORD>(packet.payloadLength - used);
                    IdentifyStream(packet.pid, streamId, length);
                    const auto remembered = m_streamIdByPid.find(packet.pid);
                    if (remembered != m_streamIdByPid.end() && remembered->second >= 0xE0 && remembered->second <= 0xEF) {
                        Seek(payloadAt);
                        CollectVideo(packet.pid, remembered->second, streamId != 0, length);
                    }
                }
            }
            Seek(packet.nextPacket);
        } else {
            MpegPvaPacket packet;
            if (!ParsePvaPacket(packet))
                break;
            if (packet.hasPts)
                NotePts(packet.pts);
            const LONGLONG payloadStart = Position();
            if (packet.streamId == 1 || packet.streamId == 2)
                IdentifyStream(packet.streamId, packet.streamId == 1 ? 0xE0 : 0xC0, packet.payloadLength);
            Seek(payloadStart + packet.payloadLength);
        }
        if (Position() <= before)
            Seek(before + 1);  // never stand still on a header that does not parse
    }
    // The windows lie apart: what was collected in this one ends here.
    for (const KCollectedVideo& unit : m_videoCollector.TakeAll())
        IdentifyCollected(unit);
    return true;
}

bool KMpegReader::Open(LPCWSTR path, std::unique_ptr<KFileBase> file)
{
    Close();
    m_file = file ? std::move(file) : std::make_unique<KFile>();
    if (!m_file->Open(path)) {
        m_file.reset();
        return false;
    }
    m_fileSize = m_file->GetSize();
    if (m_fileSize <= 0 || !DetectKind()) {
        Close();
        return false;
    }
    m_firstPts = kMpegNoPts;
    m_largestPts = 0;
    m_firstPtsPosition = m_largestPtsPosition = 0;
    LONGLONG previousEnd = 0;
    for (int k = 0; k <= 5; ++k) {
        LONGLONG point = k * m_fileSize / 5;
        point = std::max<LONGLONG>(0, std::min(point, m_fileSize - 131072));
        const LONGLONG start = std::max(point, previousEnd);
        const LONGLONG end = start + (k == 0 ? 0x500000 : 0x20000);
        if (!ScanWindow(start, end)) {
            Close();
            return false;
        }
        previousEnd = end;
    }
    const LONGLONG positionSpan = m_largestPtsPosition - m_firstPtsPosition;
    const LONGLONG timeSpan = m_largestPts - m_firstPts;
    if (m_firstPts == kMpegNoPts || positionSpan < 1 || timeSpan < 1) {
        Close();
        return false;
    }
    const DWORD estimate = static_cast<DWORD>(static_cast<double>(positionSpan) * 1e7 / static_cast<double>(timeSpan));
    if (m_muxRate == 0 || static_cast<double>(estimate) / m_muxRate < 1.1
        || std::abs(static_cast<LONGLONG>(estimate) - static_cast<LONGLONG>(m_muxRate)) < 51200)
        m_byteRate = estimate;
    else
        m_byteRate = m_muxRate;
    Seek(0);
    return true;
}

REFERENCE_TIME KMpegReader::Duration() const
{
    if (m_byteRate == 0)
        return 0;
    return static_cast<REFERENCE_TIME>(static_cast<double>(m_fileSize) * 1e7 / m_byteRate);
}

LONGLONG KMpegReader::FindNextPts(DWORD key, LONGLONG limit)
{
    const LONGLONG end = Position() + limit;
    while (Position() < std::min(end, m_fileSize)) {
        const LONGLONG before = Position();
        if (m_kind == MpegKind::Program || m_kind == MpegKind::Pes) {
            const int id = FindStartCode(kStartCodeLimit);
            if (id < 0)
                continue;
            const LONGLONG packetStart = Position() - 4;
            if (id == 0xBA) {
                MpegPackHeader pack;
                ParsePackHeader(pack);
            } else if (id == 0xBB) {
                ParseSystemHeader();
            } else if (IsPesId(id)) {
                MpegPesHeader pes;
                if (!ParsePesHeader(static_cast<BYTE>(id), pes)) {
                    Seek(packetStart + 4);
                    continue;
                }
                const LONGLONG payloadStart = Position();
                if (pes.hasPts && IdentifyStream(0, static_cast<BYTE>(id), pes.remaining) == key) {
                    Seek(packetStart);
                    return SinceFirst(pes.pts);
                }
                Seek(payloadStart + pes.remaining);
            }
        } else if (m_kind == MpegKind::Transport) {
            MpegTransportPacket packet;
            if (!ParseTransportPacket(packet)) {
                if (Position() == before)
                    return -1;
                continue;
            }
            const LONGLONG packetStart = packet.nextPacket - m_packetSize;
            if (packet.unitStart && packet.hasPayload && packet.pid >= 16 && packet.pid <= 8190 && packet.pid == key) {
                const int id = FindStartCode(4);
                MpegPesHeader pes;
                if (id >= 0 && ParsePesHeader(static_cast<BYTE>(id), pes) && pes.hasPts) {
                    Seek(packetStart);
                    return SinceFirst(pes.pts);
                }
            }
            Seek(packet.nextPacket);
        } else {
            MpegPvaPacket packet;
            if (!ParsePvaPacket(packet))
                return -1;
            if (packet.hasPts && packet.streamId == key) {
                Seek(packet.start);
                return SinceFirst(packet.pts);
            }
            Seek(Position() + packet.payloadLength);
        }
        if (Position() <= before)
            Seek(before + 1);
    }
    return -1;
}
