#include "demux/mpeg_ps/mpeg_reader.h"

#include <algorithm>
#include <cstring>

#include "io/byte_reader.h"

namespace {

// The read window. Larger than a sector so that a PES payload usually comes from one refill.
constexpr DWORD kBufferSize = 0x8000;
// A refill that goes on where the last one ended reads this much: playback and the opening scan
// read the file in order, where a few large reads cost less than many small ones. A seek's
// probes stay small.
constexpr DWORD kInOrderBufferSize = 8 * kBufferSize;
}  // namespace

KMpegReader::KMpegReader() = default;

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
    // The buffer grows as reads need it, never past what the file holds.
    const DWORD wanted = BytesHeld(inOrder ? kInOrderBufferSize : kBufferSize, position, m_fileSize);
    if (m_buffer.size() < wanted)
        m_buffer.resize(wanted);
    m_bufferLength = m_file->Read(m_buffer.data(), wanted);
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
