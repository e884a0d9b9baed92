// The data packets of the native ASF reader: packet headers, payloads and sub-payloads, and
// objects put together from their fragments.
#include "demux/asf/asf_read_handler.h"

#include <algorithm>
#include <cstring>

#include "io/byte_reader.h"

void KAsfExReadHandler::SeekToPacket(std::uint64_t packet)
{
    m_position = m_firstPacket + static_cast<LONGLONG>(std::min<std::uint64_t>(packet, 1ULL << 40)) * m_packetSize;
    m_packet = PacketState{};
    for (auto& stream : m_streams) {
        stream.object.clear();
        stream.assembling = false;
    }
    m_completed = 0xFFFF;
}

void KAsfExReadHandler::EndPacket()
{
    if (m_packet.open)
        m_position = m_packet.start + m_packetSize;
    m_packet.open = false;
    m_packet.compressed = false;
}

bool KAsfExReadHandler::ReadAhead(LONGLONG position, DWORD count, std::span<const BYTE>& view)
{
    // Packets are read a window at a time: a system call per packet would cost more than the
    // parsing.
    constexpr DWORD kWindow = 0x40000;
    const LONGLONG end = m_windowStart + static_cast<LONGLONG>(m_window.size());
    if (position < m_windowStart || position + count > end) {
        // No larger than what is left of the file, which a small file's window then holds.
        const DWORD wanted = std::max(count, static_cast<DWORD>(std::clamp<LONGLONG>(m_fileSize - position, 0, kWindow)));
        m_window.resize(wanted);
        m_windowStart = position;
        DWORD got = 0;
        if (m_file->Seek(position) == position)
            got = m_file->Read(m_window.data(), wanted);
        m_window.resize(got);
        if (got < count)
            return false;
    }
    view = std::span<const BYTE>(m_window).subspan(static_cast<size_t>(position - m_windowStart), count);
    return true;
}

bool KAsfExReadHandler::BeginPacket()
{
    PacketState& p = m_packet;
    for (std::uint32_t attempt = 0; attempt < 3 * m_packetSize; ++attempt) {
        const LONGLONG start = m_position + attempt;
        // A file cut short (a partial download) ends inside its last packet: the whole objects
        // before the cut are kept, and the payload the cut runs through is invalid like any other.
        const LONGLONG available = std::min<LONGLONG>(m_packetSize, m_dataEnd - start);
        if (available < kAsfMinimumPacket || !ReadAhead(start, static_cast<DWORD>(available), p.bytes))
            return false;
        size_t at = 0;
        BYTE flags = p.bytes[at++];
        // Sliding over damage, a candidate must open the way the file's first packet does:
        // random bytes pass the other checks too easily.
        if (attempt > 0 && m_packetLead >= 0 && flags != m_packetLead)
            continue;
        if (flags & 0x80) {
            // Error-correction data: only its two-byte form is accepted.
            if ((flags & 0x10) || ((flags >> 5) & 3) != 0 || (flags & 0x0F) != 2)
                continue;
            const BYTE type = p.bytes[at++];
            if ((type & 0x0F) > 2 || (type >> 4) >= 2)
                continue;
            ++at;  // cycle
            flags = p.bytes[at++];
        }
        const BYTE properties = p.bytes[at++];
        p.multiple = (flags & 1) != 0;
        std::uint32_t length = 0, sequence = 0, padding = 0, sendTime = 0;
        if (!ReadAsfTypedField(p.bytes, at, (flags >> 5) & 3, length) || !ReadAsfTypedField(p.bytes, at, (flags >> 1) & 3, sequence)
            || !ReadAsfTypedField(p.bytes, at, (flags >> 3) & 3, padding) || at + 6 > p.bytes.size())
            continue;
        sendTime = ReadLE32(&p.bytes[at]);
        at += 6;  // send time and duration
        if (length == 0)
            length = m_packetSize;
        if (length < kAsfMinimumPacket || length > m_dataSize || length > m_packetSize || padding > length)
            continue;
        p.replicatedType = properties & 3;
        p.offsetType = (properties >> 2) & 3;
        p.objectNumberType = (properties >> 4) & 3;
        p.streamNumberType = (properties >> 6) & 3;
        p.payloadCount = 1;
        p.payloadLengthType = 0;
        if (p.multiple) {
            if (at >= p.bytes.size())
                continue;
            const BYTE payloadFlags = p.bytes[at++];
            p.payloadCount = payloadFlags & 0x3F;
            p.payloadLengthType = (payloadFlags >> 6) & 3;
        }
        (void)sendTime;
        if (start == m_firstPacket)
            m_packetLead = (p.bytes[0] & 0x80) ? p.bytes[0] : -1;
        p.open = true;
        p.start = start;
        p.at = at;
        p.length = length;
        p.padding = padding;
        p.payloadsLeft = p.payloadCount;
        p.compressed = false;
        return true;
    }
    return false;
}

bool KAsfExReadHandler::NextSubPayload(AsfObject& object)
{
    PacketState& p = m_packet;
    KAsfEXReadStream* stream = StreamByNumber(p.compressedStream);
    if (!stream || p.compressedAt >= p.compressedData.size()) {
        p.compressed = false;
        return false;
    }
    const size_t length = p.compressedData[p.compressedAt++];
    if (length == 0 || p.compressedAt + length > p.compressedData.size()) {
        p.compressed = false;
        return false;
    }
    stream->object.assign(p.compressedData.begin() + static_cast<std::ptrdiff_t>(p.compressedAt),
                          p.compressedData.begin() + static_cast<std::ptrdiff_t>(p.compressedAt + length));
    p.compressedAt += length;
    stream->declaredSize = static_cast<std::uint32_t>(length);
    stream->objectTime = (static_cast<LONGLONG>(p.compressedTime) + static_cast<LONGLONG>(p.subPayload) * p.compressedDelta) * 10000
        + stream->timeOffset;
    stream->key = p.compressedKey;
    stream->assembling = false;
    ++p.subPayload;
    if (p.compressedAt >= p.compressedData.size())
        p.compressed = false;
    object.streamNumber = stream->number;
    object.size = static_cast<std::uint32_t>(length);
    object.key = p.compressedKey || stream->kind == KAsfEXReadStream::kAudio;
    object.time = std::max<LONGLONG>(stream->objectTime - m_timeBase, 0);
    m_completed = stream->number;
    return true;
}

bool KAsfExReadHandler::NextPayload(AsfObject& object, bool& completed)
{
    completed = false;
    PacketState& p = m_packet;
    const std::span<const BYTE> b = p.bytes;
    if (p.at >= b.size())
        return false;
    const BYTE streamByte = b[p.at++];
    const bool key = (streamByte & 0x80) != 0;
    const std::uint16_t number = streamByte & 0x7F;
    std::uint32_t objectNumber = 0, offset = 0, replicated = 0;
    if (!ReadAsfTypedField(b, p.at, p.objectNumberType, objectNumber) || !ReadAsfTypedField(b, p.at, p.offsetType, offset)
        || !ReadAsfTypedField(b, p.at, p.replicatedType, replicated))
        return false;
    std::uint32_t objectSize = 0, presentation = offset;
    BYTE delta = 0;
    const bool compressed = replicated == 1;
    if (compressed) {
        if (p.at >= b.size())
            return false;
        delta = b[p.at++];
    } else if (replicated >= 2 && replicated < 8) {
        return false;
    } else if (replicated >= 8) {
        if (p.at + replicated > b.size())
            return false;
        objectSize = ReadLE32(&b[p.at]);
        presentation = ReadLE32(&b[p.at + 4]);
        p.at += replicated;
        if (objectSize > m_dataSize)
            return false;
    }
    std::uint32_t length = 0;
    if (p.multiple) {
        if (!ReadAsfTypedField(b, p.at, p.payloadLengthType, length))
            return false;
    } else {
        const size_t used = p.at + p.padding;
        if (used > p.length)
            return false;
        length = static_cast<std::uint32_t>(p.length - used);
    }
    if (p.at + length > p.length || p.at + length > b.size())
        return false;
    const size_t dataAt = p.at;
    p.at += length;
    if ((compressed || replicated >= 8) && m_windowCheck) {
        const LONGLONG time = static_cast<LONGLONG>(presentation) * 10000;
        if (time < m_timeBase || time > m_timeBase + Duration())
            return false;
    }
    KAsfEXReadStream* stream = StreamByNumber(number);
    if (!stream || !stream->selected || length == 0)
        return true;
    const std::span<const BYTE> data(b.data() + dataAt, length);
    if (compressed) {
        stream->object.clear();
        stream->assembling = false;
        p.compressed = true;
        p.compressedStream = number;
        p.compressedData.assign(data.begin(), data.end());
        p.compressedAt = 0;
        p.compressedTime = presentation;
        p.compressedDelta = delta;
        p.subPayload = 0;
        p.compressedKey = key;
        completed = NextSubPayload(object);
        return true;
    }
    if (replicated >= 8) {
        const LONGLONG time = static_cast<LONGLONG>(presentation) * 10000 + stream->timeOffset;
        if (stream->assembling && stream->objectTime > time)
            return false;
        if (!stream->assembling || stream->objectTime != time) {
            stream->assembling = true;
            stream->key = key;
            stream->declaredSize = objectSize;
            stream->objectTime = time;
            stream->object.clear();
            // The declared size is the file's word: what is reserved is what the data left can hold.
            stream->object.reserve(static_cast<size_t>(std::clamp<LONGLONG>(m_dataEnd - p.start, 0, objectSize)));
        }
    } else if (!stream->assembling) {
        return true;
    }
    if (stream->object.size() + data.size() > stream->declaredSize)
        return false;
    stream->object.insert(stream->object.end(), data.begin(), data.end());
    if (stream->declaredSize != 0 && stream->object.size() == stream->declaredSize) {
        stream->assembling = false;
        object.streamNumber = number;
        object.size = stream->declaredSize;
        object.key = stream->key || stream->kind == KAsfEXReadStream::kAudio;
        object.time = std::max<LONGLONG>(stream->objectTime - m_timeBase, 0);
        m_completed = number;
        completed = true;
    }
    return true;
}

bool KAsfExReadHandler::ReadNextObject(AsfObject& object)
{
    object = AsfObject{};
    if (m_packet.compressed && NextSubPayload(object))
        return true;
    if (!m_packet.open && !BeginPacket())
        return false;
    while (m_packet.payloadsLeft > 0) {
        --m_packet.payloadsLeft;
        bool completed = false;
        if (!NextPayload(object, completed)) {
            EndPacket();  // an invalid payload abandons the rest of the packet
            object = AsfObject{};
            return true;
        }
        if (completed) {
            if (m_packet.payloadsLeft == 0 && !m_packet.compressed)
                EndPacket();
            return true;
        }
    }
    EndPacket();
    object = AsfObject{};
    return true;
}

bool KAsfExReadHandler::CopyObject(std::uint16_t streamNumber, std::vector<BYTE>& destination)
{
    KAsfEXReadStream* stream = StreamByNumber(streamNumber);
    if (!stream)
        return false;
    destination = std::move(stream->object);
    stream->object.clear();
    stream->assembling = false;
    if (stream->kind == KAsfEXReadStream::kAudio)
        Descramble(*stream, destination);
    return true;
}

void KAsfExReadHandler::Descramble(const KAsfEXReadStream& stream, std::vector<BYTE>& data) const
{
    const size_t span = stream.span, packet = stream.virtualPacketLength, chunk = stream.virtualChunkLength;
    if (span <= 1 || packet == 0 || chunk == 0 || packet == chunk || chunk > packet)
        return;
    // Written row by row into span rows of a virtual packet each, read back chunk column by
    // chunk column.
    std::vector<BYTE> out;
    out.reserve(data.size());
    const size_t chunks = packet / chunk;
    for (size_t start = 0; start < data.size(); start += span * packet) {
        const size_t block = std::min(span * packet, data.size() - start);
        for (size_t j = 0; j < chunks && out.size() - start < block; ++j)
            for (size_t i = 0; i < span && out.size() - start < block; ++i) {
                const size_t from = start + i * packet + j * chunk;
                if (from + chunk <= data.size())
                    out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(from),
                               data.begin() + static_cast<std::ptrdiff_t>(from + chunk));
            }
        out.resize(std::min(out.size(), start + block));
    }
    data = std::move(out);
}
