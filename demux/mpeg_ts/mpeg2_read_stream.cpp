#include "demux/mpeg_ts/mpeg2_read_stream.h"

#include <algorithm>
#include <cstring>

#include "demux/mpeg_es/mpeg_es_headers.h"
#include "demux/mpeg_es/mpeg_es_media_types.h"
#include "demux/mpeg_es/mpeg_frame_cutters.h"
#include "framework/format_blocks.h"
#include "io/byte_reader.h"
#include "io/start_code.h"

namespace {

constexpr size_t kNone = kNoStartCode;

bool StartsWithStartCode(std::span<const BYTE> bytes)
{
    return bytes.size() >= 3 && bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 1;
}

LONGLONG ReadTimeStamp(const BYTE* p)
{
    return (static_cast<LONGLONG>((p[0] >> 1) & 7) << 30) | (static_cast<LONGLONG>(p[1]) << 22)
        | (static_cast<LONGLONG>(p[2] >> 1) << 15) | (static_cast<LONGLONG>(p[3]) << 7) | (p[4] >> 1);
}

}  // namespace

// ---- PES header ---------------------------------------------------------------------------------

std::optional<Mpeg2PesHeader> ParseMpeg2PesHeader(std::span<const BYTE> bytes)
{
    if (bytes.size() < 6 || !StartsWithStartCode(bytes) || bytes[3] < 0xBC)
        return std::nullopt;
    Mpeg2PesHeader header;
    header.streamId = bytes[3];
    header.length = (static_cast<DWORD>(bytes[4]) << 8) | bytes[5];
    if (header.streamId == 0xBE || header.streamId == 0xBF) {
        header.payloadOffset = 6;
        return header;
    }
    if (bytes.size() >= 9 && (bytes[6] & 0xC0) == 0x80) {
        const BYTE flags = bytes[7];
        const DWORD dataLength = bytes[8];
        header.payloadOffset = 9 + dataLength;
        header.hasPts = (flags & 0x80) != 0;
        header.hasDts = (flags & 0xC0) == 0xC0;
        if (header.payloadOffset > bytes.size() || (header.hasPts && dataLength < 5) || (header.hasDts && dataLength < 10))
            return std::nullopt;
        header.ptsOffset = 9;
        header.dtsOffset = 14;
        if (header.hasPts)
            header.pts = ReadTimeStamp(bytes.data() + 9);
        if (header.hasDts)
            header.dts = ReadTimeStamp(bytes.data() + 14);
        return header;
    }
    // MPEG-1: stuffing, the STD buffer, then the time stamps or 0x0F.
    size_t at = 6;
    for (int i = 0; i < 16 && at < bytes.size() && bytes[at] == 0xFF; ++i)
        ++at;
    if (at < bytes.size() && (bytes[at] & 0xC0) == 0x40)
        at += 2;
    if (at >= bytes.size())
        return std::nullopt;
    const BYTE marker = bytes[at] & 0xF0;
    if (marker == 0x20 || marker == 0x30) {
        if (at + (marker == 0x30 ? 10 : 5) > bytes.size())
            return std::nullopt;
        header.hasPts = true;
        header.ptsOffset = static_cast<DWORD>(at);
        header.pts = ReadTimeStamp(bytes.data() + at);
        if (marker == 0x30) {
            header.hasDts = true;
            header.dtsOffset = static_cast<DWORD>(at + 5);
            header.dts = ReadTimeStamp(bytes.data() + at + 5);
            at += 5;
        }
        at += 5;
    } else if (bytes[at] == 0x0F) {
        ++at;
    } else {
        return std::nullopt;
    }
    header.payloadOffset = static_cast<DWORD>(at);
    return header;
}

// ---- Base stream --------------------------------------------------------------------------------

KMpeg2ReadStream::KMpeg2ReadStream(DWORD pid, int code, CMediaType primary, CMediaType alternative)
    : pid(pid), code(code), m_primary(std::move(primary)), m_alternative(std::move(alternative))
{
}

void KMpeg2ReadStream::GetMediaTypes(CMediaType& primary, CMediaType& alternative) const
{
    primary = m_primary;
    alternative = m_alternative;
}

void KMpeg2ReadStream::Reset()
{
    m_complete.clear();
    m_open.clear();
    m_frame.clear();
    m_lastStart = -1;
    m_afterReset = true;
}

void KMpeg2ReadStream::ClosePes()
{
    if (m_open.empty())
        return;
    m_largestPesSeen = std::max(m_largestPesSeen, m_open.size());
    if (auto header = ParseMpeg2PesHeader(m_open)) {
        Mpeg2Pes pes;
        pes.header = *header;
        pes.bytes = std::move(m_open);
        m_complete.push_back(std::move(pes));
    }
    m_open.clear();
}

void KMpeg2ReadStream::Append(bool unitStart, std::span<const BYTE> bytes)
{
    if (unitStart && StartsWithStartCode(bytes))
        ClosePes();  // whatever length the last one claimed, it ends here
    else if (m_open.empty() && !StartsWithStartCode(bytes))
        return;  // the middle of a PES whose start was not seen
    // The first PES reserves the picture size the stream's header gives (a damaged header's
    // gigabytes kept to a megabyte, and never more than the file holds), each later one a
    // quarter more than the largest so far: a stream of small PES packets does not reserve a
    // picture for each, and a key frame after small ones is not copied as it grows.
    constexpr size_t kLargestFirstReservation = 1 << 20;
    if (m_open.capacity() < m_open.size() + bytes.size()) {
        const size_t expected = m_largestPesSeen ? m_largestPesSeen + m_largestPesSeen / 4
                                              : std::min<size_t>({InitialBufferSize(), kLargestFirstReservation, m_pesLimit});
        m_open.reserve(std::max<size_t>({expected, 2 * (m_open.size() + bytes.size()), 2 * m_open.capacity()}));
    }
    m_open.insert(m_open.end(), bytes.begin(), bytes.end());
    // A PES of known length is whole once that many bytes are there.
    while (m_open.size() >= 6) {
        const size_t total = 6 + ((static_cast<size_t>(m_open[4]) << 8) | m_open[5]);
        if (total == 6 || m_open.size() < total)
            break;
        std::vector<BYTE> rest(m_open.begin() + static_cast<std::ptrdiff_t>(total), m_open.end());
        m_open.resize(total);
        ClosePes();
        const size_t next = FindStartCodeIn(rest, 0, [](BYTE) { return true; });
        if (next != kNone)
            m_open.assign(rest.begin() + static_cast<std::ptrdiff_t>(next), rest.end());
    }
}

bool KMpeg2ReadStream::GetFrame(Mpeg2Frame& frame, bool flush)
{
    if (flush)
        ClosePes();
    frame = Mpeg2Frame{};
    frame.pid = pid;
    if (!CutFrame(frame, flush))
        return false;
    frame.size = static_cast<DWORD>(m_frame.size());
    if (frame.timed)
        m_lastStart = frame.start;
    m_afterReset = false;
    return true;
}

bool KMpeg2ReadStream::CutFrame(Mpeg2Frame& frame, bool /*flush*/)
{
    if (m_complete.empty())
        return false;
    const Mpeg2Pes pes = std::move(m_complete.front());
    m_complete.pop_front();
    const std::span<const BYTE> payload = pes.Payload();
    m_frame.assign(payload.begin(), payload.end());
    frame.timed = pes.header.hasPts;
    if (frame.timed) {
        frame.start = TimeOf(pes.header.pts);
        frame.stop = frame.start + 1;
    }
    frame.sync = code == kMpegAudio || (payload.size() >= 4 && StartsWithStartCode(payload) && payload[3] == 0xB3);
    return true;
}
