// Discovery in the transport-stream filter: the tables, then the elementary streams found in the
// first PES of each PID (or of each stream of a program stream), up to a bound of packets.
#include "demux/mpeg_ts/mpeg2_read_handler.h"

#include <algorithm>
#include <cstring>

#include "io/byte_reader.h"
#include "io/start_code.h"

namespace {

constexpr int kTableScanPackets = 5577;
constexpr int kDiscoveryPackets = 55770;
constexpr size_t kVideoProbeBytes = 384;
constexpr LONGLONG kSecond = 10000000;

}  // namespace

void KMpeg2ReadHandler::AddStream(std::unique_ptr<KMpeg2ReadStream> stream, LONGLONG pts)
{
    if (pts > 0)
        stream->firstTime = pts;
    stream->LimitPesSize(m_fileSize);
    m_streams.push_back(std::move(stream));
}

int KMpeg2ReadHandler::ListedType(DWORD pid) const
{
    for (const auto& [type, listed] : m_programTable)
        if (listed == pid)
            return type;
    return -1;
}

Mpeg2StreamHints KMpeg2ReadHandler::Hints(int listedType) const
{
    Mpeg2StreamHints hints;
    hints.listedType = listedType;
    hints.extensions = m_extensions;
    return hints;
}

KMpeg2ReadStream* KMpeg2ReadHandler::FindStream(DWORD pid)
{
    for (auto& stream : m_streams)
        if (stream->pid == pid)
            return stream.get();
    return nullptr;
}

void KMpeg2ReadHandler::DiscoverTransport()
{
    SeekFile(0);
    Packet packet;
    for (int i = 0; i < kTableScanPackets && ReadPacket(); ++i) {
        if (!ParsePacket(packet))
            continue;
        const bool section = packet.unitStart && (packet.pid == 0 || packet.pid == m_pmtPid);
        if (section)
            ParseSection(std::span<const BYTE>(m_packet.data() + packet.payload, packet.payloadLength));
        else if (!m_programTable.empty())
            break;
    }
    const auto listedType = [this](DWORD pid) { return ListedType(pid); };
    KVideoHeaderCollector collector;
    SeekFile(0);
    for (int i = 0; i < kDiscoveryPackets && ReadPacket(); ++i) {
        if (!ParsePacket(packet) || packet.payloadLength == 0)
            continue;
        const std::span<const BYTE> payload(m_packet.data() + packet.payload, packet.payloadLength);
        if (packet.unitStart && (packet.pid == 0 || packet.pid == m_pmtPid)) {
            ParseSection(payload);
            continue;
        }
        KMpeg2ReadStream* known = FindStream(packet.pid);
        if (!known && collector.Collecting(packet.pid)) {
            if (!packet.unitStart) {
                if (auto unit = collector.Continue(packet.pid, payload))
                    AddCollectedStream(*unit);
                continue;
            }
            // The unit collected so far is whole: a new PES starts.
            if (auto unit = collector.Take(packet.pid))
                known = AddCollectedStream(*unit);
        }
        if (packet.unitStart) {
            if (known) {
                const LONGLONG pts = PacketPts(packet);
                if (pts > 0 && (known->firstTime < 0 || PtsDistance(known->firstTime, pts) < 0))
                    known->firstTime = pts;
                continue;
            }
            size_t code = FindStartCodeIn(payload, 0, [](BYTE id) { return id >= 0xBC; });
            bool sawPes = false;
            while (code != size_t(-1)) {
                const auto header = ParseMpeg2PesHeader(payload.subspan(code));
                if (header) {
                    sawPes = true;
                    const size_t body = std::min(payload.size(), code + header->payloadOffset);
                    auto stream = CreateMpeg2Stream(packet.pid, header->streamId, payload.subspan(body), Hints(listedType(packet.pid)));
                    if (stream)
                        AddStream(std::move(stream), header->hasPts ? header->pts : -1);
                    else if (header->streamId >= 0xE0 && header->streamId <= 0xEF)
                        collector.Begin(packet.pid, header->streamId, header->hasPts ? header->pts : -1, payload.subspan(body));
                    break;
                }
                code = FindStartCodeIn(payload, code + 1, [](BYTE id) { return id >= 0xBC; });
            }
            if (!sawPes)
                if (auto stream = CreateMpeg2StreamFromRaw(packet.pid, payload))
                    AddStream(std::move(stream), -1);
        } else if (!known && listedType(packet.pid) == 2) {
            // An MPEG-2 video PID whose sequence header came in a continuation packet.
            std::vector<BYTE>& probe = m_videoProbe[packet.pid];
            size_t from = 0;
            if (probe.empty()) {
                from = FindStartCodeIn(payload, 0, [](BYTE id) { return id >= 0xB3; });
                if (from == size_t(-1) || payload[from + 3] != 0xB3)
                    continue;
            }
            const size_t take = std::min(payload.size() - from, kVideoProbeBytes - probe.size());
            probe.insert(probe.end(), payload.begin() + static_cast<std::ptrdiff_t>(from), payload.begin() + static_cast<std::ptrdiff_t>(from + take));
            if (probe.size() >= kVideoProbeBytes) {
                if (auto stream = CreateMpeg2VideoStream(packet.pid, probe))
                    AddStream(std::move(stream), -1);
                probe.clear();
            }
        }
    }
    for (const KCollectedVideo& unit : collector.TakeAll())
        AddCollectedStream(unit);
}

KMpeg2ReadStream* KMpeg2ReadHandler::AddCollectedStream(const KCollectedVideo& unit)
{
    if (FindStream(unit.key))
        return nullptr;
    auto stream = CreateMpeg2Stream(unit.key, unit.streamId, unit.bytes, Hints(ListedType(unit.key)));
    if (!stream)
        return nullptr;
    KMpeg2ReadStream* added = stream.get();
    AddStream(std::move(stream), unit.pts);
    return added;
}

void KMpeg2ReadHandler::DiscoverProgram()
{
    KVideoHeaderCollector collector;
    SeekFile(0);
    ProgramPes pes;
    for (int step = 0; step < 700 && ReadProgramPes(pes, true); ++step) {
        const auto header = ParseMpeg2PesHeader(pes.bytes);
        if (header && !FindStream(pes.key)) {
            const size_t body = std::min<size_t>(pes.bytes.size(), header->payloadOffset);
            const std::span<const BYTE> payload = std::span<const BYTE>(pes.bytes).subspan(body);
            const size_t offered = pes.streamId == 0xBD || pes.streamId == 0xC0 ? 2048 : 188;
            const LONGLONG pts = header->hasPts ? header->pts : -1;
            if (auto stream = CreateMpeg2Stream(pes.key, pes.streamId, payload.first(std::min(payload.size(), offered)), Hints(-1))) {
                AddStream(std::move(stream), pts);
            } else if (pes.streamId >= 0xE0 && pes.streamId <= 0xEF) {
                // A picture runs from a timed PES over the untimed ones that follow it.
                if (!header->hasPts && collector.Collecting(pes.key)) {
                    if (auto unit = collector.Continue(pes.key, payload))
                        AddCollectedStream(*unit);
                } else {
                    if (auto unit = collector.Take(pes.key); !unit || !AddCollectedStream(*unit))
                        collector.Begin(pes.key, pes.streamId, pts, payload);
                }
            }
        }
        const bool video = std::any_of(m_streams.begin(), m_streams.end(), [](const auto& s) { return s->IsVideo(); });
        const bool audio = std::any_of(m_streams.begin(), m_streams.end(), [](const auto& s) { return !s->IsVideo(); });
        if (step > 100 && video && audio)
            break;
    }
    for (const KCollectedVideo& unit : collector.TakeAll())
        AddCollectedStream(unit);
}

void KMpeg2ReadHandler::FindFirstTimes()
{
    SeekFile(0);
    if (IsTransport()) {
        Packet packet;
        for (int i = 0; i < kTableScanPackets && ReadPacket(); ++i) {
            if (!ParsePacket(packet))
                continue;
            KMpeg2ReadStream* stream = FindStream(packet.pid);
            const LONGLONG pts = stream ? PacketPts(packet) : -1;
            if (pts > 0 && (stream->firstTime < 0 || PtsDistance(stream->firstTime, pts) < 0))
                stream->firstTime = pts;
        }
    } else {
        ProgramPes pes;
        for (int i = 0; i < 100 && ReadProgramPes(pes, false); ++i) {
            KMpeg2ReadStream* stream = FindStream(pes.key);
            const auto header = ParseMpeg2PesHeader(pes.bytes);
            if (stream && header && header->hasPts && header->pts > 0
                && (stream->firstTime < 0 || PtsDistance(stream->firstTime, header->pts) < 0))
                stream->firstTime = header->pts;
        }
    }
    // One video stream plays: of two, the one with the larger PID goes.
    if (std::count_if(m_streams.begin(), m_streams.end(), [](const auto& s) { return s->IsVideo(); }) >= 2) {
        auto largest = m_streams.end();
        for (auto it = m_streams.begin(); it != m_streams.end(); ++it)
            if ((*it)->IsVideo() && (largest == m_streams.end() || (*it)->pid > (*largest)->pid))
                largest = it;
        m_streams.erase(largest);
    }
    // All streams share the earliest first time.
    LONGLONG first = -1;
    for (const auto& stream : m_streams)
        if (stream->firstTime >= 0 && (first < 0 || PtsDistance(first, stream->firstTime) < 0))
            first = stream->firstTime;
    for (auto& stream : m_streams)
        stream->firstTime = std::max<LONGLONG>(first, 0);
}

void KMpeg2ReadHandler::FindDuration()
{
    const LONGLONG first = m_streams.empty() ? 0 : m_streams.front()->firstTime;
    const auto durationOf = [&](LONGLONG pts) { return std::max<LONGLONG>(PtsDistance(first, pts), 0) * 1000 / 9; };
    if (IsTransport()) {
        const LONGLONG size = m_packetSize;
        const LONGLONG syncAt = size == 192 ? 4 : 0;
        LONGLONG position = (m_fileSize - 2 * size) / size * size + syncAt;
        bool synchronised = false;
        std::vector<BYTE> probe(static_cast<size_t>(size + 1));
        for (int i = 0; i <= 71 && position >= 2 * size; ++i, position -= size + 2) {
            SeekFile(position);
            if (ReadFile(probe.data(), static_cast<DWORD>(size + 1)) == size + 1 && probe.front() == 0x47 && probe.back() == 0x47) {
                synchronised = true;
                break;
            }
        }
        if (!synchronised)
            return;
        Packet packet;
        for (int i = 0; i < 10000 && position >= 2 * size; ++i, position -= size) {
            SeekFile(position - syncAt);
            if (ReadFile(m_packet.data(), m_packetSize) != m_packetSize || !ParsePacket(packet))
                continue;
            const LONGLONG pts = FindStream(packet.pid) ? PacketPts(packet) : -1;
            if (pts > 0) {
                m_duration = durationOf(pts);
                return;
            }
        }
        return;
    }
    // Program streams: PES headers met walking back from the end.
    std::vector<BYTE> window(188);
    for (LONGLONG position = m_fileSize - 2000; position >= 0; position -= 185) {
        SeekFile(position);
        if (ReadFile(window.data(), 188) < 188)
            break;
        const size_t code = FindStartCodeIn(window, 0, [](BYTE id) { return id >= 0xBD; });
        if (code == size_t(-1) || window[code + 3] == 0xBF)
            continue;
        SeekFile(position + static_cast<LONGLONG>(code));
        ProgramPes pes;
        if (!ReadProgramPes(pes, false) || pes.position != position + static_cast<LONGLONG>(code) || !FindStream(pes.key))
            continue;
        const auto header = ParseMpeg2PesHeader(pes.bytes);
        if (header && header->hasPts && durationOf(header->pts) >= kSecond) {
            m_duration = durationOf(header->pts);
            return;
        }
    }
}

void KMpeg2ReadHandler::FindLanguages()
{
    if (m_savedPmt.size() < 12)
        return;
    const std::span<const BYTE> pmt(m_savedPmt);
    const size_t length = ((pmt[1] & 0x0Fu) << 8) | pmt[2];
    const size_t end = std::min(pmt.size(), 3 + length) - std::min<size_t>(4, pmt.size());  // before the CRC
    size_t entry = 12 + (ReadBE16(pmt.data() + 10) & 0x0FFF);
    while (entry + 5 <= end) {
        const DWORD pid = ReadBE16(pmt.data() + entry + 1) & 0x1FFF;
        const size_t esInfo = ReadBE16(pmt.data() + entry + 3) & 0x0FFF;
        const size_t descriptorsEnd = std::min(end, entry + 5 + esInfo);
        for (size_t at = entry + 5; at + 2 <= descriptorsEnd; at += 2 + pmt[at + 1]) {
            if (pmt[at] == 10 && pmt[at + 1] >= 3 && at + 5 <= descriptorsEnd) {
                if (KMpeg2ReadStream* stream = FindStream(pid))
                    stream->language.assign(reinterpret_cast<const char*>(pmt.data() + at + 2), 3);
                break;
            }
        }
        entry += 5 + esInfo;
    }
}

int KMpeg2ReadHandler::Open(LPCWSTR path, bool extensions)
{
    Close();
    m_extensions = extensions;
    m_file = std::make_unique<KFile>();
    if (!m_file->Open(path)) {
        Close();
        return -1;
    }
    m_fileSize = m_file->GetSize();
    BYTE head[384];
    SeekFile(0);
    if (ReadFile(head, sizeof head) != sizeof head) {
        Close();
        return -1;
    }
    if (head[0] == 0x47 && head[188] == 0x47) {
        m_kind = kTransport188, m_packetSize = 188;
    } else if (head[4] == 0x47 && head[196] == 0x47) {
        m_kind = kTransport192, m_packetSize = 192;
    } else if (ReadBE32(head) == 0x000001BA) {
        if ((head[4] & 0xC0) == 0x40)
            m_kind = kProgram2;
        else if ((head[4] & 0xF0) == 0x20)
            m_kind = kProgram1;
    }
    if (m_kind == kUnknown) {
        Close();
        return -1;
    }
    if (IsTransport())
        DiscoverTransport();
    else
        DiscoverProgram();
    if (m_streams.empty()) {
        Close();
        return -1;
    }
    FindFirstTimes();
    FindDuration();
    FindLanguages();
    for (auto& stream : m_streams)
        stream->Reset();
    SeekFile(0);
    return 0;
}
