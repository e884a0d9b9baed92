// Stream identification: which elementary stream a PES, transport or PVA payload carries, and
// its media type, from the first payload (or the first collected picture) of each stream. HEVC
// and E-AC-3 are tried last, and only with the extensions switch on.
#include "demux/mpeg_ps/mpeg_reader.h"

#include <algorithm>
#include <cstring>

#include "demux/mpeg_es/mpeg_es_headers.h"
#include "demux/mpeg_es/mpeg_es_media_types.h"

namespace {

// What a header parser looks at to identify a stream: a PES payload is never longer.
constexpr DWORD kIdentifyLimit = 0x10000;

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
    const DWORD wanted = BytesHeld(length ? std::min(length, limit) : limit, start, m_fileSize);
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
    if (FirstType(bytes, stream.type, {TypeOf<ParseMpegVideoSequence, MpegVideoMediaType>, TypeOf<ParseAvcParameterSets, AvcMediaType>}))
        return true;
    return m_extensions && FirstType(bytes, stream.type, {TypeOf<ParseHevcParameterSets, HevcMediaType>});
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
    const std::vector<BYTE> payload = PeekPayload(payloadLength, kIdentifyLimit);
    if (FirstType(payload, stream.type,
                  {TypeOf<ParseAc3Header, Ac3MediaType>, TypeOf<ParseDtsHeader, DtsMediaType>, TypeOf<ParseVc1Sequence, Vc1MediaType>}))
        return true;
    return m_extensions && FirstType(payload, stream.type, {TypeOf<ParseEac3Header, Eac3MediaType>});
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
