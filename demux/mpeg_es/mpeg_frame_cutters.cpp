#include "demux/mpeg_es/mpeg_frame_cutters.h"

#include "io/start_code.h"

#include <algorithm>
#include <string>

namespace {

std::unique_ptr<KPacket> NewUnit(DWORD streamNumber)
{
    auto unit = std::make_unique<KPacket>();
    unit->streamNumber = streamNumber;
    return unit;
}

bool IsAdtsSync(const std::vector<BYTE>& bytes, size_t at)
{
    return at + 1 < bytes.size() && bytes[at] == 0xFF && (bytes[at + 1] & 0xF6) == 0xF0;
}

// The offset of the next 00 00 01 at or after from, or npos.
size_t FindStartCode(const std::vector<BYTE>& bytes, size_t from)
{
    const size_t code = FindStartCodePrefix(bytes, from);
    return code == kNoStartCode ? std::string::npos : code;
}

// What a NAL unit (behind its 4-byte length) is to the access-unit cutter.
struct NalRole {
    bool delimiter = false;
    bool slice = false;
    bool firstSlice = false;  // the first slice of a picture
    bool leading = false;     // a unit that comes before the slices of a picture
};

NalRole AvcRole(const std::vector<BYTE>& bytes)
{
    const BYTE type = bytes[4] & 0x1F;
    NalRole role;
    role.delimiter = type == 9;
    role.slice = type == 1 || type == 5;
    role.firstSlice = role.slice && bytes.size() > 5 && (bytes[5] & 0x80) != 0;  // first_mb_in_slice 0
    role.leading = type == 6 || type == 7 || type == 8 || (type >= 14 && type <= 18);
    return role;
}

NalRole HevcRole(const std::vector<BYTE>& bytes)
{
    const BYTE type = (bytes[4] >> 1) & 0x3F;
    NalRole role;
    role.delimiter = type == 35;
    role.slice = type < 32;
    // first_slice_segment_in_pic_flag follows the 2-byte header.
    role.firstSlice = role.slice && bytes.size() > 6 && (bytes[6] & 0x80) != 0;
    // VPS, SPS, PPS, prefix SEI and the reserved types that precede a picture.
    role.leading = (type >= 32 && type <= 34) || type == 39 || (type >= 41 && type <= 44) || (type >= 48 && type <= 55);
    return role;
}

}  // namespace

// ---- Timed buffer -------------------------------------------------------------------------------

void KTimedBuffer::Append(KPacket& packet)
{
    streamNumber = packet.streamNumber;
    Append(packet.payload, packet.start, packet.stop, packet.discontinuity);
}

void KTimedBuffer::Append(std::span<const BYTE> payload, LONGLONG start, LONGLONG stop, BOOL discontinuity)
{
    if (start != PACKET_NO_TIME || discontinuity)
        marks_.push_back({bytes.size(), discontinuity, start, stop});
    bytes.insert(bytes.end(), payload.begin(), payload.end());
}

void KTimedBuffer::TakeMarks(size_t offset, KPacket& unit)
{
    while (!marks_.empty() && marks_.front().offset <= offset) {
        const Mark& mark = marks_.front();
        unit.discontinuity = unit.discontinuity || mark.discontinuity;
        if (mark.start != PACKET_NO_TIME) {
            unit.start = mark.start;
            unit.stop = mark.stop;
            unit.syncPoint = TRUE;
        }
        marks_.pop_front();
    }
}

void KTimedBuffer::Drop(size_t count)
{
    count = std::min(count, bytes.size());
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
    for (Mark& mark : marks_)
        mark.offset = mark.offset > count ? mark.offset - count : 0;
}

void KTimedBuffer::Clear()
{
    bytes.clear();
    marks_.clear();
}

// ---- ADTS ---------------------------------------------------------------------------------------

void KAdtsFramer::Push(KPacket& packet, KMpegUnits& units)
{
    std::vector<BYTE>& bytes = m_buffer.bytes;
    // A lone 0xFF kept from the last packet is a sync only if this packet completes it.
    if (bytes.size() == 1 && bytes[0] == 0xFF && !(packet.payload.size() >= 1 && (packet.payload[0] & 0xF6) == 0xF0))
        m_buffer.Clear();
    if (bytes.empty()) {
        const std::vector<BYTE>& payload = packet.payload;
        size_t sync = 0;
        while (sync < payload.size() && !(payload[sync] == 0xFF && (sync + 1 == payload.size() || (payload[sync + 1] & 0xF6) == 0xF0)))
            ++sync;
        if (sync == payload.size())
            return;
        m_buffer.Append(packet);
        m_buffer.Drop(sync);
    } else {
        m_buffer.Append(packet);
    }
    while (bytes.size() > 9) {
        const size_t frameLength = ((bytes[3] & 3u) << 11) | (bytes[4] << 3) | (bytes[5] >> 5);
        const size_t headerLength = (bytes[1] & 1) ? 7 : 9;
        if (frameLength <= headerLength) {
            m_buffer.Clear();
            return;
        }
        if (bytes.size() < frameLength)
            return;
        if (bytes.size() >= frameLength + 2 && !IsAdtsSync(bytes, frameLength)) {
            m_buffer.Clear();
            return;
        }
        // A PES time goes to the first frame that starts at or after the PES's first byte: a
        // frame that crosses into a timed PES leaves that time to the frame after it, where the
        // time belongs, instead of carrying a time a frame early.
        auto unit = NewUnit(m_buffer.streamNumber);
        m_buffer.TakeMarks(0, *unit);
        unit->payload.assign(bytes.begin() + static_cast<std::ptrdiff_t>(headerLength),
                             bytes.begin() + static_cast<std::ptrdiff_t>(frameLength));
        m_buffer.Drop(frameLength);
        units.push_back(std::move(unit));
    }
}

// ---- H.264 and HEVC ---------------------------------------------------------------------------

void KNalAccessUnits::Reset()
{
    m_buffer.Clear();
    m_searchFrom = 0;
    m_unitCode = kNoUnit;
    m_delimiterSeen = false;
    m_sliceSeen = false;
    m_nals.clear();
    m_pendingStart = m_pendingStop = PACKET_NO_TIME;
}

void KNalAccessUnits::Push(KPacket& packet, KMpegUnits& units)
{
    m_buffer.Append(packet);
    CutUnits(units);
}

void KNalAccessUnits::Push(std::span<const BYTE> payload, LONGLONG start, KMpegUnits& units)
{
    m_buffer.Append(payload, start, start);
    CutUnits(units);
}

void KNalAccessUnits::CutUnits(KMpegUnits& units)
{
    std::vector<BYTE>& bytes = m_buffer.bytes;
    for (;;) {
        const size_t code = FindStartCode(bytes, m_searchFrom);
        if (code == std::string::npos)
            break;
        if (m_unitCode != kNoUnit) {
            // The byte before a start code is the unit's own unless it is a 4-byte code's zero.
            CutUnit(code > 0 && bytes[code - 1] != 0 ? code : code - 1, units);
        }
        m_unitCode = code;
        m_searchFrom = code + 3;
    }
    if (m_unitCode == kNoUnit) {
        // Nothing has started yet: keep only what may hold the start of a start code.
        const size_t keep = std::min<size_t>(bytes.size(), 2);
        m_buffer.Drop(bytes.size() - keep);
        m_searchFrom = 0;
        return;
    }
    m_buffer.Drop(m_unitCode);
    m_unitCode = 0;
    // The last two bytes may begin a start code the next packet completes.
    m_searchFrom = std::max<size_t>(3, bytes.size() >= 2 ? bytes.size() - 2 : 0);
}

void KNalAccessUnits::CutUnit(size_t end, KMpegUnits& units)
{
    const std::vector<BYTE>& bytes = m_buffer.bytes;
    const size_t first = m_unitCode + 3;
    if (end <= first)
        return;  // an empty unit between two start codes
    auto nal = NewUnit(m_buffer.streamNumber);
    m_buffer.TakeMarks(m_unitCode, *nal);
    const size_t length = end - first;
    nal->payload.reserve(length + 4);
    for (int shift = 24; shift >= 0; shift -= 8)
        nal->payload.push_back(static_cast<BYTE>(length >> shift));
    nal->payload.insert(nal->payload.end(), bytes.begin() + static_cast<std::ptrdiff_t>(first),
                        bytes.begin() + static_cast<std::ptrdiff_t>(end));
    AddNal(std::move(nal), units);
}

void KNalAccessUnits::AddNal(std::unique_ptr<KPacket> nal, KMpegUnits& units)
{
    const std::vector<BYTE>& bytes = nal->payload;  // behind its 4-byte length
    const NalRole role = m_codec == NalCodec::Avc ? AvcRole(bytes) : HevcRole(bytes);
    if (role.delimiter)
        m_delimiterSeen = true;
    bool startsAccessUnit = role.delimiter;
    if (!m_delimiterSeen) {
        // Without delimiters an access unit starts, once the current one has a slice, at a
        // parameter set, an SEI or the first slice of the next picture (a PES may carry several
        // pictures, and a picture of several slices may span PES packets).
        startsAccessUnit = m_sliceSeen && (role.leading || role.firstSlice);
    }
    const bool vcl = role.slice;
    startsAccessUnit = startsAccessUnit || m_nals.empty();
    // A PES time belongs to the first access unit that starts in the PES: one that arrives with
    // a unit inside an access unit waits for the next.
    if (nal->HasTime() && !startsAccessUnit) {
        m_pendingStart = nal->start;
        m_pendingStop = nal->stop;
        nal->start = nal->stop = PACKET_NO_TIME;
        nal->syncPoint = FALSE;
    }
    if (startsAccessUnit) {
        DeliverAccessUnit(units);
        if (m_pendingStart != PACKET_NO_TIME && !nal->HasTime()) {
            nal->start = m_pendingStart;
            nal->stop = m_pendingStop;
            nal->syncPoint = TRUE;
        }
        m_pendingStart = m_pendingStop = PACKET_NO_TIME;
    }
    m_sliceSeen = m_sliceSeen || vcl;
    m_nals.push_back(std::move(nal));
}

void KNalAccessUnits::DeliverAccessUnit(KMpegUnits& units)
{
    if (m_nals.empty())
        return;
    std::unique_ptr<KPacket> unit = std::move(m_nals.front());
    size_t total = 0;
    for (const auto& nal : m_nals)
        total += nal ? nal->payload.size() : 0;
    unit->payload.reserve(total);
    for (size_t i = 1; i < m_nals.size(); ++i) {
        unit->payload.insert(unit->payload.end(), m_nals[i]->payload.begin(), m_nals[i]->payload.end());
        unit->discontinuity = unit->discontinuity || m_nals[i]->discontinuity;
    }
    m_nals.clear();
    m_sliceSeen = false;
    units.push_back(std::move(unit));
}

void KNalAccessUnits::Flush(KMpegUnits& units)
{
    if (m_unitCode != kNoUnit)
        CutUnit(m_buffer.bytes.size(), units);
    DeliverAccessUnit(units);
    Reset();
}

// ---- VC-1 ---------------------------------------------------------------------------------------

void KVc1Frames::Reset()
{
    m_buffer.Clear();
    m_searchFrom = 0;
    m_inFrame = false;
}

void KVc1Frames::Push(KPacket& packet, KMpegUnits& units)
{
    m_buffer.Append(packet);
    std::vector<BYTE>& bytes = m_buffer.bytes;
    size_t frameStart = 0;
    for (;;) {
        const size_t code = FindStartCode(bytes, m_searchFrom);
        if (code == std::string::npos) {
            m_searchFrom = std::max(m_searchFrom, bytes.size() >= 2 ? bytes.size() - 2 : 0);
            break;
        }
        if (code + 3 >= bytes.size()) {
            m_searchFrom = code;  // its identifier comes with the next packet
            break;
        }
        if (bytes[code + 3] != 0x0D) {
            m_searchFrom = code + 3;
            continue;
        }
        if (m_inFrame && code > frameStart) {
            auto unit = NewUnit(m_buffer.streamNumber);
            m_buffer.TakeMarks(frameStart, *unit);
            unit->payload.assign(bytes.begin() + static_cast<std::ptrdiff_t>(frameStart),
                                 bytes.begin() + static_cast<std::ptrdiff_t>(code));
            units.push_back(std::move(unit));
        }
        m_inFrame = true;
        frameStart = code;
        m_searchFrom = code + 4;
    }
    if (!m_inFrame) {
        // Bytes before the first frame start code are not part of any frame.
        const size_t drop = bytes.size() - std::min<size_t>(bytes.size(), 3);
        m_buffer.Drop(drop);
        m_searchFrom = m_searchFrom > drop ? m_searchFrom - drop : 0;
        return;
    }
    m_buffer.Drop(frameStart);
    m_searchFrom = std::max<size_t>(m_searchFrom - frameStart, 4);
}

void KVc1Frames::Flush(KMpegUnits& units)
{
    if (m_inFrame && !m_buffer.bytes.empty()) {
        auto unit = NewUnit(m_buffer.streamNumber);
        m_buffer.TakeMarks(0, *unit);
        unit->payload = std::move(m_buffer.bytes);
        units.push_back(std::move(unit));
    }
    Reset();
}
