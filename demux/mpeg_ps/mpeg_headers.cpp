// The container headers the MPEG reader walks: pack and system headers, PES headers, transport
// packets with their PSI sections, and PVA packets.
#include "demux/mpeg_ps/mpeg_reader.h"

#include <algorithm>
#include <cstring>

#include "io/byte_reader.h"

namespace {

constexpr DWORD kMaxPvaPayload = 6136;

}  // namespace

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

void KMpegReader::ParsePsiSection(DWORD pid, LONGLONG payloadStart)
{
    if (pid != 0 && !m_programMap.contains(pid))
        return;
    const LONGLONG position = Position();
    Seek(payloadStart);
    BYTE section[184];
    const DWORD available = BytesHeld(184, payloadStart, m_fileSize);
    const bool read = ReadBytes(section, available);
    Seek(position);
    if (!read)
        return;
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
        // The search tries every position of a file that is not PVA: the eight bytes come
        // straight from the window when it holds them.
        const LONGLONG offset = m_bytePos - m_bufferStart;
        if (offset >= 0 && offset + 8 <= static_cast<LONGLONG>(m_bufferLength)) {
            std::memcpy(header, m_buffer.data() + offset, sizeof header);
        } else {
            for (int i = 0; i < 8; ++i) {
                const int byte = ByteAt(m_bytePos + i);
                if (byte < 0)
                    return false;
                header[i] = static_cast<BYTE>(byte);
            }
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
