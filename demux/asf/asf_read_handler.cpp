#include "demux/asf/asf_read_handler.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "io/byte_reader.h"

namespace {

constexpr LONGLONG kSecond = 10000000;
constexpr int kTimeBaseReads = 202;

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
    // A damaged header may declare up to 2^64 units: kept to where a time plus the duration
    // cannot overflow.
    constexpr std::uint64_t kLongest = std::numeric_limits<REFERENCE_TIME>::max() / 4;
    const std::uint64_t play = m_header.fileProperties ? std::min(m_header.fileProperties->playDuration, kLongest) : 0;
    return std::max<REFERENCE_TIME>(static_cast<REFERENCE_TIME>(play) - m_timeBase, 0);
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
    if (!(guid == ASF_Data_Object) || m_dataSize < 50 || m_packetSize < kAsfMinimumPacket || m_packetSize > 0x100000) {
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
