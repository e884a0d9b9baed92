#include "demux/asfex/asf_read_handler.h"

#include <algorithm>
#include <cstring>

#include "io/byte_reader.h"

namespace {

constexpr LONGLONG kSecond = 10000000;
constexpr int kTimeBaseReads = 202;
constexpr LONGLONG kMinimumPacket = 11;  // the fixed fields of the smallest packet

// A field of the given length type: 0 absent, 1 a byte, 2 a u16, 3 a u32.
bool ReadTyped(std::span<const BYTE> bytes, size_t& at, int type, std::uint32_t& value)
{
    static constexpr size_t kWidth[4] = {0, 1, 2, 4};
    const size_t width = kWidth[type & 3];
    if (at + width > bytes.size())
        return false;
    value = width == 0 ? 0 : width == 1 ? bytes[at] : width == 2 ? ReadLE16(&bytes[at]) : ReadLE32(&bytes[at]);
    at += width;
    return true;
}

}  // namespace

KAsfExReadHandler::KAsfExReadHandler() : m_stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

KAsfExReadHandler::~KAsfExReadHandler()
{
    Close();
    CloseHandle(m_stopEvent);
}

void KAsfExReadHandler::Close()
{
    StopIndexer();
    {
        std::lock_guard<std::mutex> guard(m_indexLock);
        m_built.clear();
        m_indexedDuration = 0;
    }
    m_path.clear();
    m_file.reset();
    m_fileSize = 0;
    m_header = AsfHeader{};
    m_streams.clear();
    m_indexes.clear();
    m_firstPacket = m_dataEnd = 0;
    m_dataSize = 0;
    m_packetSize = 0;
    m_position = 0;
    m_timeBase = 0;
    m_windowCheck = false;
    m_packet = PacketState{};
    m_completed = 0xFFFF;
    m_packetLead = -1;
    m_window.clear();
    m_windowStart = 0;
}

KAsfEXReadStream* KAsfExReadHandler::StreamByNumber(std::uint16_t number)
{
    for (auto& stream : m_streams)
        if (stream.number == number)
            return &stream;
    return nullptr;
}

REFERENCE_TIME KAsfExReadHandler::Duration() const
{
    const REFERENCE_TIME play = m_header.fileProperties ? static_cast<REFERENCE_TIME>(m_header.fileProperties->playDuration) : 0;
    return std::max<REFERENCE_TIME>(play - m_timeBase, 0);
}

bool KAsfExReadHandler::Open(LPCWSTR path)
{
    Close();
    m_file = std::make_unique<KFile>();
    if (!m_file->Open(path)) {
        Close();
        return false;
    }
    m_fileSize = m_file->GetSize();
    BYTE head[30];
    if (m_file->Seek(0) != 0 || m_file->Read(head, 30) != 30) {
        Close();
        return false;
    }
    GUID guid{};
    std::memcpy(&guid, head, sizeof guid);
    // Only the file bounds the header (embedded artwork may take many megabytes), with room
    // after it for the Data Object's fields.
    const std::uint64_t headerSize = ReadLE64(head + 16);
    const auto fileSize = static_cast<std::uint64_t>(m_fileSize);
    if (!(guid == ASF_Header_Object) || headerSize < 30 || headerSize > fileSize || fileSize - headerSize < 50) {
        Close();
        return false;
    }
    std::vector<BYTE> body(static_cast<size_t>(headerSize - 24));
    if (m_file->Seek(24) != 24 || m_file->Read(body.data(), static_cast<DWORD>(body.size())) != body.size()
        || !ParseAsfHeader(body, m_header)) {
        Close();
        return false;
    }
    // The Data Object follows: its fields, then the packets.
    BYTE data[50];
    const LONGLONG dataStart = static_cast<LONGLONG>(headerSize);
    if (m_file->Seek(dataStart) != dataStart || m_file->Read(data, 50) != 50) {
        Close();
        return false;
    }
    std::memcpy(&guid, data, sizeof guid);
    m_dataSize = ReadLE64(data + 16);
    m_packetSize = m_header.fileProperties->minimumPacketSize;
    if (!(guid == ASF_Data_Object) || m_dataSize < 50 || m_packetSize < kMinimumPacket || m_packetSize > 0x100000) {
        Close();
        return false;
    }
    m_firstPacket = dataStart + 50;
    m_dataEnd = std::min<LONGLONG>(dataStart + static_cast<LONGLONG>(std::min<std::uint64_t>(m_dataSize, 1ULL << 62)), m_fileSize);
    if (!BuildStreams()) {
        Close();
        return false;
    }
    SelectStreams();
    if (!FindTimeBase()) {
        Close();
        return false;
    }
    ReadIndexes();
    SeekToPacket(0);
    // A play duration of 0 is unknown, not empty (a live capture writes its header first): its
    // payloads are all kept rather than measured against a span of nothing.
    m_windowCheck = m_header.fileProperties->playDuration != 0;
    m_path = path;
    if (VideoIndex()) {
        std::lock_guard<std::mutex> guard(m_indexLock);
        m_indexedDuration = Duration();
    } else {
        StartIndexer();
    }
    return true;
}

// ---- Stream table and selection -----------------------------------------------------------------

bool KAsfExReadHandler::BuildStreams()
{
    for (const AsfStreamProperties& properties : m_header.streams) {
        KAsfEXReadStream stream;
        stream.number = properties.streamNumber;
        stream.timeOffset = static_cast<LONGLONG>(std::min<std::uint64_t>(properties.timeOffset, 1ULL << 62));
        const std::vector<BYTE>& data = properties.typeSpecific;
        if (properties.streamType == ASF_Audio_Media) {
            stream.kind = KAsfEXReadStream::kAudio;
            stream.format = data;
            if (stream.format.size() < sizeof(WAVEFORMATEX))
                stream.format.resize(sizeof(WAVEFORMATEX), 0);
            const std::vector<BYTE>& spread = properties.errorCorrection;
            if (properties.errorCorrectionType == ASF_Audio_Spread && spread.size() >= 8) {
                stream.span = spread[0];
                stream.virtualPacketLength = ReadLE16(&spread[1]);
                stream.virtualChunkLength = ReadLE16(&spread[3]);
            }
        } else if (properties.streamType == ASF_Video_Media) {
            stream.kind = KAsfEXReadStream::kVideo;
            KByteReader reader(data);
            std::uint32_t width = 0, height = 0;
            std::uint8_t reserved = 0;
            std::uint16_t formatSize = 0;
            std::span<const BYTE> format;
            if (!reader.ReadLE4(&width) || !reader.ReadLE4(&height) || !reader.Read1(&reserved) || !reader.ReadLE2(&formatSize)
                || formatSize < sizeof(BITMAPINFOHEADER) || !reader.ReadBytes(formatSize, &format))
                return false;
            stream.format.assign(48, 0);
            const RECT picture{0, 0, static_cast<LONG>(width), static_cast<LONG>(height)};
            std::memcpy(stream.format.data(), &picture, sizeof picture);
            std::memcpy(stream.format.data() + 16, &picture, sizeof picture);
            stream.format.insert(stream.format.end(), format.begin(), format.end());
        }
        m_streams.push_back(std::move(stream));
    }
    for (const AsfExtendedStreamProperties& extended : m_header.extendedStreams) {
        KAsfEXReadStream* stream = StreamByNumber(extended.streamNumber);
        if (!stream)
            continue;
        stream->bitrate = extended.dataBitrate;
        if (m_header.hasLanguageList && !m_header.languages.empty())
            stream->language = m_header.languages[extended.languageIndex < m_header.languages.size() ? extended.languageIndex : 0];
    }
    for (const AsfStreamBitrate& bitrate : m_header.bitrates)
        if (KAsfEXReadStream* stream = StreamByNumber(bitrate.streamNumber))
            stream->bitrate = bitrate.averageBitrate;
    for (auto& stream : m_streams)
        if (stream.kind == KAsfEXReadStream::kAudio && stream.bitrate == 0)
            stream.bitrate = ReadLE32(stream.format.data() + 8) * 8;
    if (m_header.bitrateExclusion) {
        const auto& listed = m_header.bitrateExclusion->streamNumbers;
        for (auto& stream : m_streams) {
            if (std::find(listed.begin(), listed.end(), stream.number) == listed.end())
                continue;
            for (std::uint16_t other : listed)
                if (other != stream.number && std::find(stream.exclusions.begin(), stream.exclusions.end(), other) == stream.exclusions.end())
                    stream.exclusions.push_back(other);
        }
    }
    return !m_streams.empty();
}

void KAsfExReadHandler::SelectStreams()
{
    // One audio stream per language: a newcomer replaces a chosen one only with a higher bitrate.
    std::vector<KAsfEXReadStream*> audio;
    for (auto& stream : m_streams) {
        if (stream.kind != KAsfEXReadStream::kAudio)
            continue;
        auto same = std::find_if(audio.begin(), audio.end(), [&](const KAsfEXReadStream* chosen) { return chosen->language == stream.language; });
        if (same == audio.end())
            audio.push_back(&stream);
        else if (stream.bitrate > (*same)->bitrate)
            *same = &stream;
    }
    KAsfEXReadStream* video = nullptr;
    KAsfEXReadStream* unrated = nullptr;
    for (auto& stream : m_streams) {
        if (stream.kind != KAsfEXReadStream::kVideo)
            continue;
        const bool excluded = std::any_of(audio.begin(), audio.end(), [&](const KAsfEXReadStream* chosen) {
            return std::find(chosen->exclusions.begin(), chosen->exclusions.end(), stream.number) != chosen->exclusions.end();
        });
        if (excluded)
            continue;
        if (stream.bitrate > 0 && (!video || stream.bitrate > video->bitrate))
            video = &stream;
        if (stream.bitrate == 0 && (!unrated || stream.number > unrated->number))
            unrated = &stream;
    }
    if (!video)
        video = unrated;
    for (KAsfEXReadStream* stream : audio)
        stream->selected = true;
    if (video)
        video->selected = true;
}

bool KAsfExReadHandler::FindTimeBase()
{
    SeekToPacket(0);
    m_windowCheck = false;
    std::vector<LONGLONG> first(m_streams.size(), -1);
    AsfObject object;
    for (int i = 0; i < kTimeBaseReads && ReadNextObject(object); ++i) {
        if (object.streamNumber == 0xFFFF)
            continue;
        for (size_t s = 0; s < m_streams.size(); ++s)
            if (m_streams[s].number == object.streamNumber && (first[s] < 0 || object.time < first[s]))
                first[s] = object.time;
        KAsfEXReadStream* stream = StreamByNumber(object.streamNumber);
        stream->object.clear();
        stream->assembling = false;
        bool all = true;
        for (size_t s = 0; s < m_streams.size(); ++s)
            all = all && (!m_streams[s].selected || first[s] >= 0);
        if (all)
            break;
    }
    LONGLONG smallest = -1;
    for (LONGLONG time : first)
        if (time >= 0 && (smallest < 0 || time < smallest))
            smallest = time;
    if (smallest < 0)
        return false;
    m_timeBase = smallest / kSecond * kSecond;
    return true;
}

void KAsfExReadHandler::ReadIndexes()
{
    LONGLONG at = m_dataEnd;
    for (int guard = 0; guard < 64 && at + 24 <= m_fileSize; ++guard) {
        BYTE head[24];
        if (m_file->Seek(at) != at || m_file->Read(head, 24) != 24)
            return;
        GUID guid{};
        std::memcpy(&guid, head, sizeof guid);
        const std::uint64_t size = ReadLE64(head + 16);
        if (size < 24 || static_cast<LONGLONG>(size) > m_fileSize - at)
            return;
        if (guid == ASF_Simple_Index_Object) {
            std::vector<BYTE> body(static_cast<size_t>(size - 24));
            if (m_file->Read(body.data(), static_cast<DWORD>(body.size())) != body.size())
                return;
            if (auto index = ParseAsfSimpleIndex(body); index && index->entries.size() >= 2)
                m_indexes.push_back(std::move(*index));
        }
        at += static_cast<LONGLONG>(size);
    }
}

// ---- Packets and payloads -----------------------------------------------------------------------

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
        const DWORD wanted = std::max(count, kWindow);
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
        if (available < kMinimumPacket || !ReadAhead(start, static_cast<DWORD>(available), p.bytes))
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
        if (!ReadTyped(p.bytes, at, (flags >> 5) & 3, length) || !ReadTyped(p.bytes, at, (flags >> 1) & 3, sequence)
            || !ReadTyped(p.bytes, at, (flags >> 3) & 3, padding) || at + 6 > p.bytes.size())
            continue;
        sendTime = ReadLE32(&p.bytes[at]);
        at += 6;  // send time and duration
        if (length == 0)
            length = m_packetSize;
        if (length < kMinimumPacket || length > m_dataSize || length > m_packetSize || padding > length)
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
    if (!ReadTyped(b, p.at, p.objectNumberType, objectNumber) || !ReadTyped(b, p.at, p.offsetType, offset)
        || !ReadTyped(b, p.at, p.replicatedType, replicated))
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
        if (!ReadTyped(b, p.at, p.payloadLengthType, length))
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
            stream->object.reserve(objectSize);
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

// ---- Seeking and the built index ----------------------------------------------------------------

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
                if (static_cast<REFERENCE_TIME>(k) * static_cast<REFERENCE_TIME>(index->interval) < m_timeBase + time)
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

void KAsfExReadHandler::StartIndexer()
{
    if (m_indexer || m_path.empty())
        return;
    ResetEvent(m_stopEvent);
    m_indexing = true;
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
            if (Pause(500))
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
            && ReadTyped(packet, at, (flags >> 5) & 3, length) && ReadTyped(packet, at, (flags >> 3) & 3, padding);
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
            if (!ReadTyped(packet, at, (properties >> 4) & 3, objectNumber) || !ReadTyped(packet, at, (properties >> 2) & 3, offset)
                || !ReadTyped(packet, at, properties & 3, replicated) || at + replicated > packet.size())
                break;
            std::uint32_t presentation = 0;
            if (replicated >= 8)
                presentation = ReadLE32(&packet[at + 4]);
            at += replicated == 1 ? 1 : replicated;
            if (multiple) {
                if (!ReadTyped(packet, at, lengthType, payloadLength))
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
