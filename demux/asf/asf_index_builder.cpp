// Seeking in the native ASF reader: through the Simple Index when the file has one, else through
// the index a background thread builds from the data packets.
#include "demux/asf/asf_read_handler.h"

#include <algorithm>
#include <cstring>

#include "io/byte_reader.h"

const AsfSimpleIndex* KAsfExReadHandler::VideoIndex() const
{
    // The k-th Simple Index belongs to the k-th video stream by stream number.
    for (const auto& stream : m_streams) {
        if (stream.kind != KAsfEXReadStream::kVideo || !stream.selected)
            continue;
        size_t below = 0;
        for (const auto& other : m_streams)
            below += other.kind == KAsfEXReadStream::kVideo && other.number < stream.number ? 1 : 0;
        return below < m_indexes.size() ? &m_indexes[below] : nullptr;
    }
    return nullptr;
}

REFERENCE_TIME KAsfExReadHandler::IndexedDuration() const
{
    std::lock_guard<std::mutex> guard(m_indexLock);
    return m_indexedDuration;
}

void KAsfExReadHandler::SeekTo(REFERENCE_TIME time)
{
    SeekToPacket(0);
    if (time <= 0)
        return;
    if (const AsfSimpleIndex* index = VideoIndex()) {
        if (time <= IndexedDuration() && index->interval > 0) {
            for (size_t k = 0; k < index->entries.size(); ++k) {
                // Entry k stands at k intervals; a damaged interval of up to 2^64 must not overflow.
                const auto target = static_cast<std::uint64_t>(m_timeBase + time);
                if (k < target / index->interval + (target % index->interval != 0))
                    continue;
                const LONGLONG position = m_firstPacket + static_cast<LONGLONG>(index->entries[k].packet) * m_packetSize;
                if (position <= m_fileSize) {
                    m_position = position;
                    return;
                }
                break;
            }
        }
    } else if (time <= Duration()) {
        std::lock_guard<std::mutex> guard(m_indexLock);
        if (!m_built.empty()) {
            // The entry at the time, else the last before it, else the first.
            auto after = std::upper_bound(m_built.begin(), m_built.end(), m_timeBase + time,
                                          [](REFERENCE_TIME t, const BuiltEntry& e) { return t < e.time; });
            m_position = after == m_built.begin() ? m_built.front().position : std::prev(after)->position;
        }
        // Nothing indexed yet (a seek right after Load, before the builder's first entry): from
        // the first data packet, so that what lies before the time arrives as preroll rather than
        // the pass ending with nothing.
        return;
    }
    m_position = m_dataEnd;  // nothing knows the time: the pass ends at once
}

// The parser takes the Simple Index entry at or after the time, which names the last key frame
// before the entry's own time: when that frame is still after the time, the entry before it is
// the one.
void KAsfExReadHandler::SeekToKeyFrameBefore(REFERENCE_TIME time)
{
    if (time <= 0) {
        SeekTo(0);
        return;
    }
    REFERENCE_TIME interval = 0;
    for (const AsfSimpleIndex& index : m_indexes)
        interval = std::max<REFERENCE_TIME>(interval, static_cast<REFERENCE_TIME>(std::min<std::uint64_t>(index.interval, 1ULL << 40)));
    std::uint16_t video = 0;
    for (const KAsfEXReadStream& stream : m_streams)
        if (stream.selected && stream.kind == KAsfEXReadStream::kVideo)
            video = stream.number;
    for (REFERENCE_TIME candidate = time; candidate > 0; candidate -= interval) {
        SeekTo(candidate);
        if (interval == 0 || video == 0)
            return;
        AsfObject object;
        std::vector<BYTE> scratch;
        bool after = false;
        for (int objects = 0; objects < 1000 && ReadNextObject(object); ++objects) {
            if (object.streamNumber != 0xFFFF)
                CopyObject(object.streamNumber, scratch);
            if (object.streamNumber == video && object.key) {
                after = object.time > time;
                break;
            }
        }
        if (!after) {
            SeekTo(candidate);
            return;
        }
    }
    SeekTo(0);
}

void KAsfExReadHandler::StartIndexer()
{
    if (m_indexer || m_path.empty())
        return;
    ResetEvent(m_stopEvent);
    m_indexing = true;
    if (m_threadless) {
        BuildIndex();
        m_indexing = false;
        return;
    }
    m_indexer = CreateThread(nullptr, 0, &KAsfExReadHandler::IndexerProc, this, 0, nullptr);
    if (!m_indexer)
        m_indexing = false;
}

void KAsfExReadHandler::StopIndexer()
{
    if (!m_indexer)
        return;
    SetEvent(m_stopEvent);
    WaitForSingleObject(m_indexer, INFINITE);
    CloseHandle(m_indexer);
    m_indexer = nullptr;
}

DWORD WINAPI KAsfExReadHandler::IndexerProc(LPVOID self)
{
    auto* handler = static_cast<KAsfExReadHandler*>(self);
    handler->BuildIndex();
    handler->m_indexing = false;
    return 0;
}

void KAsfExReadHandler::BuildIndex()
{
    // The indexed stream: the selected video stream (key frames), else the last selected audio.
    const KAsfEXReadStream* indexed = nullptr;
    for (const auto& stream : m_streams)
        if (stream.selected && (stream.kind == KAsfEXReadStream::kVideo || !indexed || indexed->kind != KAsfEXReadStream::kVideo))
            indexed = &stream;
    if (!indexed)
        return;
    const bool video = indexed->kind == KAsfEXReadStream::kVideo;
    const REFERENCE_TIME end = m_timeBase + Duration();
    const std::uint64_t packets = m_header.fileProperties->dataPacketsCount;
    KFile file;  // a reader of its own: the reader thread's position stays put
    if (!file.Open(m_path.c_str()))
        return;
    std::vector<BYTE> packet(m_packetSize);
    LONGLONG position = m_firstPacket;
    while (!Pause(0)) {
        {
            std::lock_guard<std::mutex> guard(m_indexLock);
            if (m_built.size() >= packets) {
                m_indexedDuration = Duration();
                return;
            }
        }
        if (position + m_packetSize > m_dataEnd)
            return;
        if (file.Seek(position) != position || file.Read(packet.data(), m_packetSize) != m_packetSize) {
            if (m_threadless || Pause(500))
                return;  // the file may still grow
            continue;
        }
        // Only the headers: error-correction data 0x82 or none, no sequence, one-byte stream
        // numbers, and with several payloads a 16-bit length each.
        size_t at = 0;
        bool valid = true;
        BYTE flags = packet[at++];
        if (flags & 0x80) {
            valid = flags == 0x82 && (packet[1] & 0x0F) <= 2 && (packet[1] >> 4) < 2;
            at = 3;
            flags = packet[at++];
        }
        const BYTE properties = packet[at++];
        const bool multiple = flags & 1;
        std::uint32_t length = 0, padding = 0;
        valid = valid && ((flags >> 1) & 3) == 0 && ((properties >> 6) & 3) == 1
            && ReadAsfTypedField(packet, at, (flags >> 5) & 3, length) && ReadAsfTypedField(packet, at, (flags >> 3) & 3, padding);
        at += 6;
        int count = 1, lengthType = 0;
        if (valid && multiple) {
            count = at < packet.size() ? packet[at] & 0x3F : 0;
            lengthType = at < packet.size() ? (packet[at] >> 6) & 3 : 0;
            ++at;
            valid = lengthType == 2;
        }
        if (!valid) {
            ++position;  // try one byte further
            continue;
        }
        bool found = false;
        for (int i = 0; i < count && at < packet.size(); ++i) {
            const BYTE streamByte = packet[at++];
            std::uint32_t objectNumber = 0, offset = 0, replicated = 0, payloadLength = 0;
            if (!ReadAsfTypedField(packet, at, (properties >> 4) & 3, objectNumber) || !ReadAsfTypedField(packet, at, (properties >> 2) & 3, offset)
                || !ReadAsfTypedField(packet, at, properties & 3, replicated) || at + replicated > packet.size())
                break;
            std::uint32_t presentation = 0;
            if (replicated >= 8)
                presentation = ReadLE32(&packet[at + 4]);
            at += replicated == 1 ? 1 : replicated;
            if (multiple) {
                if (!ReadAsfTypedField(packet, at, lengthType, payloadLength))
                    break;
            } else {
                payloadLength = static_cast<std::uint32_t>(std::max<LONGLONG>(static_cast<LONGLONG>(length ? length : m_packetSize) - padding - static_cast<LONGLONG>(at), 0));
            }
            at += payloadLength;
            const bool qualifies = (streamByte & 0x7F) == indexed->number && replicated >= 8 && offset == 0
                && (!video || (streamByte & 0x80));
            const REFERENCE_TIME time = static_cast<REFERENCE_TIME>(presentation) * 10000;
            if (!qualifies || time > end)
                continue;
            std::lock_guard<std::mutex> guard(m_indexLock);
            if (m_built.empty() || time > m_built.back().time) {
                m_built.push_back({time, position});
                m_indexedDuration = std::max<REFERENCE_TIME>(time - m_timeBase, 0);
                found = true;
            }
            break;
        }
        position += static_cast<LONGLONG>(m_packetSize) * (found ? 10 : 1);
    }
}
