#include "demux/mpeg_ts/mpeg2_read_handler.h"

#include <algorithm>
#include <cstring>

#include "io/byte_reader.h"
#include "io/start_code.h"

namespace {

constexpr DWORD kReadBuffer = 24576;
// A refill that goes on where the last one ended reads this much: playback reads the file in
// order, and a few large reads cost less than many small ones. A seek's probes stay small.
constexpr DWORD kPlaybackReadBuffer = 8 * kReadBuffer;
constexpr LONGLONG kSecond = 10000000;

bool HasNoPts(BYTE streamId)
{
    return streamId == 0xBC || streamId == 0xBE || streamId == 0xBF || streamId == 0xF0 || streamId == 0xF1
        || streamId == 0xF2 || streamId == 0xF8 || streamId == 0xFF;
}

}  // namespace

KMpeg2ReadHandler::KMpeg2ReadHandler() : m_packet(192) {}

void KMpeg2ReadHandler::Close()
{
    m_file.reset();
    m_fileSize = 0;
    m_kind = kUnknown;
    m_packetSize = 0;
    m_duration = 0;
    m_streams.clear();
    m_pmtPid = 0xFFFF;
    m_programTable.clear();
    m_savedPmt.clear();
    m_videoProbe.clear();
    m_navigation.clear();
    m_current = nullptr;
    m_flushNext = 0;
    m_atEnd = false;
    m_lastSeekTarget = -1;
    m_bufferLength = m_bufferPos = 0;
}

// ---- Buffered reading ---------------------------------------------------------------------------

void KMpeg2ReadHandler::SeekFile(LONGLONG position)
{
    position = std::clamp<LONGLONG>(position, 0, m_fileSize);
    if (position >= m_bufferStart && position <= m_bufferStart + static_cast<LONGLONG>(m_bufferLength)) {
        m_bufferPos = static_cast<size_t>(position - m_bufferStart);
        return;
    }
    m_bufferStart = position;
    m_bufferPos = m_bufferLength = 0;
}

DWORD KMpeg2ReadHandler::ReadFile(BYTE* destination, DWORD count)
{
    DWORD done = 0;
    while (done < count) {
        if (m_bufferPos == m_bufferLength) {
            const LONGLONG at = FilePosition();
            const bool inOrder = m_bufferLength > 0 && at == m_bufferStart + static_cast<LONGLONG>(m_bufferLength);
            m_bufferStart = at;
            m_bufferPos = m_bufferLength = 0;
            if (!m_file || at >= m_fileSize || m_file->Seek(at) != at)
                break;
            // The buffer grows as reads need it, never past what the file holds.
            const DWORD wanted = BytesHeld(inOrder ? kPlaybackReadBuffer : kReadBuffer, at, m_fileSize);
            if (m_buffer.size() < wanted)
                m_buffer.resize(wanted);
            m_bufferLength = m_file->Read(m_buffer.data(), wanted);
            if (m_bufferLength == 0)
                break;
        }
        const size_t take = std::min<size_t>(count - done, m_bufferLength - m_bufferPos);
        std::memcpy(destination + done, m_buffer.data() + m_bufferPos, take);
        m_bufferPos += take;
        done += static_cast<DWORD>(take);
    }
    return done;
}

// ---- Transport packets and tables ---------------------------------------------------------------

bool KMpeg2ReadHandler::ReadPacket()
{
    const size_t syncAt = m_packetSize == 192 ? 4 : 0;
    for (;;) {
        if (ReadFile(m_packet.data(), m_packetSize) < m_packetSize)
            return false;
        if (m_packet[syncAt] == 0x47)
            return true;
        SeekFile(FilePosition() - (m_packetSize - 1));  // slide one byte on
    }
}

bool KMpeg2ReadHandler::ParsePacket(Packet& packet) const
{
    const size_t syncAt = m_packetSize == 192 ? 4 : 0;
    const BYTE* p = m_packet.data() + syncAt;
    if (p[0] != 0x47)
        return false;
    packet = Packet{};
    packet.unitStart = (p[1] & 0x40) != 0;
    packet.pid = ((p[1] & 0x1Fu) << 8) | p[2];
    packet.scrambling = (p[3] >> 6) & 3;
    const DWORD adaptation = (p[3] >> 4) & 3;
    size_t at = 4;
    if (adaptation & 2)
        at += 1 + p[4];
    if (at > 188)
        return false;
    if (adaptation & 1) {
        packet.payload = syncAt + at;
        packet.payloadLength = 188 - at;
    }
    return true;
}

void KMpeg2ReadHandler::ParseSection(std::span<const BYTE> payload)
{
    if (payload.empty())
        return;
    const size_t at = 1 + payload[0];
    if (at + 3 > payload.size())
        return;
    const std::span<const BYTE> section = payload.subspan(at);
    const BYTE tableId = section[0];
    if ((section[1] & 0x80) == 0)
        return;
    const size_t length = ((section[1] & 0x0Fu) << 8) | section[2];
    const size_t end = std::min(section.size(), 3 + length);
    if (tableId == 0 && length >= 13 && end >= 8) {
        // Only one program is followed: the last one the table lists.
        const size_t entries = (length - 9) / 4;
        for (size_t i = 0; i < entries && 8 + 4 * i + 4 <= end; ++i) {
            const DWORD program = ReadBE16(section.data() + 8 + 4 * i);
            const DWORD pid = ReadBE16(section.data() + 10 + 4 * i) & 0x1FFF;
            if (i + 1 == entries && program != 0)
                m_pmtPid = pid;
        }
    } else if (tableId == 2 && end >= 12) {
        const size_t infoLength = ReadBE16(section.data() + 10) & 0x0FFF;
        LONGLONG left = static_cast<LONGLONG>(length) - static_cast<LONGLONG>(infoLength) - 9;
        size_t entry = 12 + infoLength;
        m_programTable.clear();
        while (left >= 9 && entry + 5 <= end && m_programTable.size() < 32) {
            const BYTE type = section[entry];
            const DWORD pid = ReadBE16(section.data() + entry + 1) & 0x1FFF;
            const size_t esInfo = ReadBE16(section.data() + entry + 3) & 0x0FFF;
            m_programTable.emplace_back(type, pid);
            entry += 5 + esInfo;
            left -= 5 + static_cast<LONGLONG>(esInfo);
        }
        m_savedPmt.assign(section.begin(), section.begin() + static_cast<std::ptrdiff_t>(end));
    }
}

LONGLONG KMpeg2ReadHandler::PacketPts(const Packet& packet) const
{
    if (!packet.unitStart || packet.payloadLength == 0)
        return -1;
    const std::span<const BYTE> payload(m_packet.data() + packet.payload, packet.payloadLength);
    const size_t code = FindStartCodeIn(payload, 0, [](BYTE id) { return id >= 0xBC; });
    if (code == size_t(-1) || HasNoPts(payload[code + 3]))
        return -1;
    const auto header = ParseMpeg2PesHeader(payload.subspan(code));
    return header && header->hasPts ? header->pts : -1;
}

// ---- Program streams ----------------------------------------------------------------------------

bool KMpeg2ReadHandler::ReadProgramPes(ProgramPes& pes, bool forDiscovery)
{
    for (;;) {
        // The next start code, a byte at a time through the buffer.
        DWORD last = 0xFFFFFFFF;
        for (;;) {
            BYTE byte;
            if (ReadFile(&byte, 1) != 1)
                return false;
            last = (last << 8) | byte;
            if ((last & 0xFFFFFF00) == 0x00000100)
                break;
        }
        const BYTE id = static_cast<BYTE>(last);
        const LONGLONG start = FilePosition() - 4;
        if (id == 0xBA) {
            BYTE pack[10];
            if (ReadFile(pack, 1) != 1)
                return false;
            if ((pack[0] & 0xC0) == 0x40) {
                if (ReadFile(pack + 1, 9) != 9)
                    return false;
                SeekFile(FilePosition() + (pack[9] & 7));
            } else {
                SeekFile(FilePosition() + 7);
            }
            continue;
        }
        if (id < 0xBB)
            continue;
        BYTE lengthBytes[2];
        if (ReadFile(lengthBytes, 2) != 2)
            return false;
        const DWORD length = ReadBE16(lengthBytes);
        if (id == 0xBF && length > 0) {
            std::vector<BYTE> navigation(6 + length);
            if (ReadFile(navigation.data() + 6, length) != length)
                return false;
            NoteNavigation(navigation, start);
            continue;
        }
        if (id == 0xBB || id == 0xBE || length == 0) {
            SeekFile(FilePosition() + length);
            continue;
        }
        pes.bytes.resize(6 + length);
        std::memcpy(pes.bytes.data(), "\0\0\1", 3);
        pes.bytes[3] = id;
        pes.bytes[4] = lengthBytes[0];
        pes.bytes[5] = lengthBytes[1];
        if (ReadFile(pes.bytes.data() + 6, length) != length)
            return false;
        pes.streamId = id;
        pes.position = start;
        pes.key = id;
        if (id == 0xBD) {
            const auto header = ParseMpeg2PesHeader(pes.bytes);
            if (!header || header->payloadOffset >= pes.bytes.size())
                continue;
            const BYTE sub = pes.bytes[header->payloadOffset];
            size_t strip = 0;
            if (sub >= 0x80 && sub <= 0x8F)
                pes.key = sub, strip = 4;
            else if (sub >= 0xA0 && sub <= 0xA7)
                pes.key = sub, strip = 7;
            if (!forDiscovery && strip > 0) {
                // The sub-stream header goes; the PES length says so.
                strip = std::min(strip, pes.bytes.size() - header->payloadOffset);
                pes.bytes.erase(pes.bytes.begin() + header->payloadOffset, pes.bytes.begin() + header->payloadOffset + static_cast<std::ptrdiff_t>(strip));
                const DWORD corrected = static_cast<DWORD>(pes.bytes.size() - 6);
                pes.bytes[4] = static_cast<BYTE>(corrected >> 8);
                pes.bytes[5] = static_cast<BYTE>(corrected);
            }
        }
        MapTimes(pes);
        return true;
    }
}

void KMpeg2ReadHandler::NoteNavigation(std::span<const BYTE> pes, LONGLONG position)
{
    if (pes.size() < 59 || pes[6] != 1)
        return;  // not a data-search packet
    NavigationEntry entry;
    entry.vobId = ReadBE16(pes.data() + 31);
    entry.position = position;
    entry.startPtm = ReadBE32(pes.data() + 51);
    entry.endPtm = ReadBE32(pes.data() + 55);
    if (m_navigation.empty() || (entry.vobId == m_navigation.back().vobId + 1 && position > m_navigation.back().position))
        m_navigation.push_back(entry);
}

void KMpeg2ReadHandler::MapTimes(ProgramPes& pes) const
{
    if (m_navigation.size() < 2)
        return;
    // The VOB the PES stands in: the last one that begins before it.
    size_t vob = 0;
    while (vob + 1 < m_navigation.size() && m_navigation[vob + 1].position <= pes.position)
        ++vob;
    if (m_navigation[vob].position > pes.position)
        return;
    LONGLONG offset = m_navigation[0].startPtm - m_navigation[vob].startPtm;
    for (size_t j = 0; j < vob; ++j)
        offset += m_navigation[j].endPtm - m_navigation[j].startPtm;
    const auto header = ParseMpeg2PesHeader(pes.bytes);
    if (!header || offset == 0)
        return;
    const auto write = [&](DWORD at, LONGLONG value) {
        value &= (1LL << 33) - 1;
        BYTE* p = pes.bytes.data() + at;
        p[0] = static_cast<BYTE>((p[0] & 0xF1) | ((value >> 29) & 0x0E));
        p[1] = static_cast<BYTE>(value >> 22);
        p[2] = static_cast<BYTE>(((value >> 14) & 0xFE) | 1);
        p[3] = static_cast<BYTE>(value >> 7);
        p[4] = static_cast<BYTE>(((value << 1) & 0xFE) | 1);
    };
    if (header->hasPts)
        write(header->ptsOffset, header->pts + offset);
    if (header->hasDts)
        write(header->dtsOffset, header->dts + offset);
}

// ---- Seeking and reading ------------------------------------------------------------------------

bool KMpeg2ReadHandler::ProbeTime(LONGLONG from, LONGLONG limit, LONGLONG& time, LONGLONG& position)
{
    SeekFile(from);
    if (IsTransport()) {
        Packet packet;
        while (FilePosition() < limit && ReadPacket()) {
            if (!ParsePacket(packet))
                continue;
            KMpeg2ReadStream* stream = FindStream(packet.pid);
            const LONGLONG pts = stream ? PacketPts(packet) : -1;
            if (pts > 0) {
                time = stream->TimeOf(pts);
                position = FilePosition() - m_packetSize;
                return true;
            }
        }
        return false;
    }
    ProgramPes pes;
    while (FilePosition() < limit && ReadProgramPes(pes, false)) {
        KMpeg2ReadStream* stream = FindStream(pes.key);
        const auto header = ParseMpeg2PesHeader(pes.bytes);
        if (stream && header && header->hasPts) {
            time = stream->TimeOf(header->pts);
            position = pes.position;
            return true;
        }
    }
    return false;
}

void KMpeg2ReadHandler::SeekTo(REFERENCE_TIME time)
{
    for (auto& stream : m_streams)
        stream->Reset();
    m_current = nullptr;
    m_flushNext = 0;
    m_atEnd = false;
    if (time < 1) {
        SeekFile(0);
        return;
    }
    if (time == m_lastSeekTarget) {
        SeekFile(m_lastSeekPosition);
        return;
    }
    // Interpolation between the two ends, aiming a second before the target.
    const LONGLONG aim = std::max<LONGLONG>(time - kSecond, 0);
    LONGLONG lowPosition = 0, lowTime = 0, highPosition = m_fileSize, highTime = m_duration;
    while (highPosition - lowPosition >= 8193 && highTime > lowTime) {
        LONGLONG probe = lowPosition
            + static_cast<LONGLONG>(static_cast<float>(highPosition - lowPosition) * static_cast<float>(aim - lowTime)
                                    / static_cast<float>(highTime - lowTime));
        if (highPosition - probe < 4096)
            probe = std::max<LONGLONG>(highPosition - 4096, 0);
        else if (probe - lowPosition < 4096)
            probe = lowPosition + 4096;
        if (IsTransport())
            probe = probe / m_packetSize * m_packetSize;
        else
            probe = std::max<LONGLONG>(probe - 2048, 0);
        LONGLONG found = 0, position = 0;
        if (!ProbeTime(probe, highPosition, found, position)) {
            highPosition = probe;  // nothing timed between the probe and the high end
            continue;
        }
        if (found < aim && position > lowPosition) {
            lowPosition = position;
            lowTime = found;
        } else {
            highPosition = probe;
            highTime = std::max(found, lowTime + 1);
        }
    }
    SeekFile(lowPosition);
    m_lastSeekTarget = time;
    m_lastSeekPosition = lowPosition;
}

bool KMpeg2ReadHandler::GetNextFrame(Mpeg2Frame& frame)
{
    if (m_current && m_current->GetFrame(frame, false))
        return true;
    while (!m_atEnd) {
        KMpeg2ReadStream* stream = nullptr;
        if (IsTransport()) {
            Packet packet;
            if (!ReadPacket()) {
                m_atEnd = true;
                break;
            }
            if (!ParsePacket(packet) || packet.payloadLength == 0 || packet.scrambling != 0)
                continue;
            stream = FindStream(packet.pid);
            if (!stream)
                continue;
            stream->Append(packet.unitStart, std::span<const BYTE>(m_packet.data() + packet.payload, packet.payloadLength));
        } else {
            ProgramPes pes;
            if (!ReadProgramPes(pes, false)) {
                m_atEnd = true;
                break;
            }
            stream = FindStream(pes.key);
            if (!stream)
                continue;
            stream->Append(true, pes.bytes);
        }
        if (stream->GetFrame(frame, false)) {
            m_current = stream;
            return true;
        }
    }
    // The end of the file: every stream hands out what it still holds.
    while (m_flushNext < m_streams.size()) {
        KMpeg2ReadStream* stream = m_streams[m_flushNext].get();
        if (stream->GetFrame(frame, true)) {
            m_current = stream;
            return true;
        }
        ++m_flushNext;
    }
    return false;
}
