// The one walk over the packets of a program stream, bare PES stream, transport stream or PVA
// file, and its two users inside the reader: the opening scan and the search for a stream's
// next time. The filter's playback walks the same way.
#include <algorithm>

#include "demux/mpeg_ps/mpeg_reader.h"

namespace {

bool IsPesId(int id) { return id >= 0xBD && id <= 0xEF; }

bool IsElementaryPid(DWORD pid) { return pid >= 16 && pid <= 8190; }

}  // namespace

MpegStep KMpegReader::NextUnit(MpegUnit& unit)
{
    const LONGLONG before = Position();
    switch (m_kind) {
    case MpegKind::Program:
    case MpegKind::Pes: {
        const int id = FindStartCode(kStartCodeLimit);
        if (id < 0)
            return MpegStep::Again;
        unit.start = Position() - 4;
        if (id == 0xBA) {
            MpegPackHeader pack;
            ParsePackHeader(pack);
            return MpegStep::Again;
        }
        if (id == 0xBB) {
            ParseSystemHeader();
            return MpegStep::Again;
        }
        if (!IsPesId(id))
            return MpegStep::Again;
        const LONGLONG headerStart = Position();
        if (!ParsePesHeader(static_cast<BYTE>(id), unit.pes)) {
            Seek(headerStart);
            return MpegStep::Again;
        }
        unit.streamId = static_cast<BYTE>(id);
        unit.hasPes = true;
        unit.payloadStart = Position();
        unit.next = unit.payloadStart + unit.pes.remaining;
        return MpegStep::Unit;
    }
    case MpegKind::Transport: {
        MpegTransportPacket& packet = unit.transport;
        if (!ParseTransportPacket(packet))
            return Position() == before ? MpegStep::Stuck : MpegStep::Again;
        unit.start = packet.nextPacket - m_packetSize;
        unit.payloadStart = Position();
        unit.next = packet.nextPacket;
        unit.streamId = 0;
        unit.hasPes = false;
        if (packet.unitStart && packet.hasPayload && IsElementaryPid(packet.pid)) {
            const int id = FindStartCode(4);
            if (id >= 0 && ParsePesHeader(static_cast<BYTE>(id), unit.pes)) {
                unit.streamId = static_cast<BYTE>(id);
                unit.hasPes = true;
            } else {
                Seek(unit.payloadStart);
            }
        }
        return MpegStep::Unit;
    }
    case MpegKind::Pva: {
        if (!ParsePvaPacket(unit.pva))
            return MpegStep::Stuck;
        unit.start = unit.pva.start;
        unit.payloadStart = Position();
        unit.next = unit.payloadStart + unit.pva.payloadLength;
        return MpegStep::Unit;
    }
    case MpegKind::Unknown:
        break;
    }
    return MpegStep::Stuck;
}

bool KMpegReader::ScanUnit(const MpegUnit& unit)
{
    switch (m_kind) {
    case MpegKind::Program:
    case MpegKind::Pes: {
        const MpegPesHeader& pes = unit.pes;
        if (pes.version == 2 && pes.scrambling != 0)
            return false;
        if (pes.hasPts)
            NotePts(pes.pts);
        const DWORD key = IdentifyStream(0, unit.streamId, pes.remaining);
        if (unit.streamId >= 0xE0 && unit.streamId <= 0xEF) {
            // A picture runs from a timed PES over the untimed ones that follow it.
            Seek(unit.payloadStart);
            CollectVideo(key, unit.streamId, pes.hasPts, pes.remaining);
        }
        break;
    }
    case MpegKind::Transport: {
        const MpegTransportPacket& packet = unit.transport;
        if (!packet.hasPayload || !IsElementaryPid(packet.pid))
            break;
        if (unit.hasPes) {
            if (unit.pes.version == 2 && unit.pes.scrambling != 0)
                return false;
            if (unit.pes.hasPts)
                NotePts(unit.pes.pts);
        }
        const LONGLONG used = Position() - unit.payloadStart;
        if (used < packet.payloadLength) {
            const LONGLONG payloadAt = Position();
            const DWORD length = static_cast<DWORD>(packet.payloadLength - used);
            IdentifyStream(packet.pid, unit.streamId, length);
            const auto remembered = m_streamIdByPid.find(packet.pid);
            if (remembered != m_streamIdByPid.end() && remembered->second >= 0xE0 && remembered->second <= 0xEF) {
                Seek(payloadAt);
                CollectVideo(packet.pid, remembered->second, unit.streamId != 0, length);
            }
        }
        break;
    }
    case MpegKind::Pva:
        if (unit.pva.hasPts)
            NotePts(unit.pva.pts);
        if (unit.pva.streamId == 1 || unit.pva.streamId == 2)
            IdentifyStream(unit.pva.streamId, unit.pva.streamId == 1 ? 0xE0 : 0xC0, unit.pva.payloadLength);
        break;
    case MpegKind::Unknown:
        break;
    }
    Seek(unit.next);
    return true;
}

bool KMpegReader::ScanWindow(LONGLONG start, LONGLONG end)
{
    Seek(start);
    MpegUnit unit;
    while (Position() < std::min(end, m_fileSize)) {
        const LONGLONG before = Position();
        const MpegStep step = NextUnit(unit);
        if (step == MpegStep::Stuck)
            break;
        if (step == MpegStep::Unit && !ScanUnit(unit))
            return false;
        if (Position() <= before)
            Seek(before + 1);  // never stand still on a header that does not parse
    }
    // The windows lie apart: what was collected in this one ends here.
    for (const KCollectedVideo& collected : m_videoCollector.TakeAll())
        IdentifyCollected(collected);
    return true;
}

LONGLONG KMpegReader::FindNextPts(DWORD key, LONGLONG limit)
{
    const LONGLONG end = Position() + limit;
    MpegUnit unit;
    // The size is asked anew each turn: a read that fails ends the file where it failed.
    while (Position() < std::min(end, m_fileSize)) {
        const LONGLONG before = Position();
        const MpegStep step = NextUnit(unit);
        if (step == MpegStep::Stuck)
            return -1;
        if (step == MpegStep::Unit) {
            bool found = false;
            LONGLONG pts = 0;
            switch (m_kind) {
            case MpegKind::Program:
            case MpegKind::Pes:
                found = unit.pes.hasPts && IdentifyStream(0, unit.streamId, unit.pes.remaining) == key;
                pts = unit.pes.pts;
                break;
            case MpegKind::Transport:
                found = unit.hasPes && unit.transport.pid == key && unit.pes.hasPts;
                pts = unit.pes.pts;
                break;
            case MpegKind::Pva:
                found = unit.pva.hasPts && unit.pva.streamId == key;
                pts = unit.pva.pts;
                break;
            case MpegKind::Unknown:
                break;
            }
            if (found) {
                Seek(unit.start);
                return SinceFirst(pts);
            }
            Seek(unit.next);
        }
        if (Position() <= before)
            Seek(before + 1);
    }
    return -1;
}
