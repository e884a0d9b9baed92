// KMpeg2ReadHandler: the transport-stream parser of the second MPEG filter. It detects 188- and
// 192-byte transport streams and MPEG-1/2 program streams, follows the PAT and PMT, discovers the
// elementary streams and their shared first time, estimates the duration from the last time
// stamps, seeks by interpolation, and yields the frames its streams cut.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "demux/mpeg_es/video_header_collector.h"
#include "demux/mpeg_ts/mpeg2_read_stream.h"
#include "io/file.h"

class KMpeg2ReadHandler {
public:
    enum Kind : int { kUnknown = 0, kTransport188 = 1, kProgram2 = 2, kTransport192 = 3, kProgram1 = 4 };

    KMpeg2ReadHandler();
    KMpeg2ReadHandler(const KMpeg2ReadHandler&) = delete;
    KMpeg2ReadHandler& operator=(const KMpeg2ReadHandler&) = delete;

    // 0 on success; a file of no known kind or without streams fails. extensions: HEVC and
    // E-AC-3 streams are read too.
    int Open(LPCWSTR path, bool extensions = false);
    void Close();
    // Positions reading a little before the time (100 ns) and resets every stream.
    void SeekTo(REFERENCE_TIME time);
    // The next frame of any stream; false at the end of the file once every stream is flushed.
    bool GetNextFrame(Mpeg2Frame& frame);
    KMpeg2ReadStream* FindStream(DWORD pid);

    const std::vector<std::unique_ptr<KMpeg2ReadStream>>& Streams() const { return m_streams; }
    REFERENCE_TIME Duration() const { return m_duration; }
    int Kind() const { return m_kind; }
    bool IsTransport() const { return m_kind == kTransport188 || m_kind == kTransport192; }

private:
    // One transport packet's header fields and where its payload stands in the packet buffer.
    struct Packet {
        bool unitStart = false;
        DWORD pid = 0;
        DWORD scrambling = 0;
        size_t payload = 0;  // offset in the packet buffer
        size_t payloadLength = 0;
    };
    // A program-stream PES read whole, with the key of its stream.
    struct ProgramPes {
        BYTE streamId = 0;
        DWORD key = 0;
        LONGLONG position = 0;
        std::vector<BYTE> bytes;  // from the start code, a private stream 1 sub-stream header removed
    };
    // A DVD data-search packet: the VOB it belongs to and the span of times the VOB covers.
    struct NavigationEntry {
        DWORD vobId = 0;
        LONGLONG position = 0;
        LONGLONG startPtm = 0;
        LONGLONG endPtm = 0;
    };

    // Buffered reading.
    void SeekFile(LONGLONG position);
    LONGLONG FilePosition() const { return m_bufferStart + static_cast<LONGLONG>(m_bufferPos); }
    DWORD ReadFile(BYTE* destination, DWORD count);

    // Reads the next transport packet into m_packet (sliding a byte at a time to a sync byte).
    bool ReadPacket();
    bool ParsePacket(Packet& packet) const;
    void ParseSection(std::span<const BYTE> payload);
    // The PTS of a PES starting in the packet's payload, 90 kHz; -1 when none.
    LONGLONG PacketPts(const Packet& packet) const;

    // The next PES of a program stream from the current position (pack and system headers and
    // padding are passed over, navigation packets recorded); false at the end. Reading for
    // playback takes a private stream 1 sub-stream header out of the payload; the time stamps of
    // a DVD's later VOBs are mapped onto the first one's timeline.
    bool ReadProgramPes(ProgramPes& pes, bool forDiscovery);

    // Records a data-search packet read at the position (a VOB following the last one).
    void NoteNavigation(std::span<const BYTE> pes, LONGLONG position);
    // With two VOBs or more, the PES's time stamps onto the one timeline of the VOBs before it.
    void MapTimes(ProgramPes& pes) const;

    void DiscoverTransport();
    void DiscoverProgram();
    void FindFirstTimes();
    void FindDuration();
    void FindLanguages();
    void AddStream(std::unique_ptr<KMpeg2ReadStream> stream, LONGLONG pts);
    // A stream of the video headers in a collected unit, added; null when they are not there.
    KMpeg2ReadStream* AddCollectedStream(const KCollectedVideo& unit);
    // The PID's stream type in the program map; -1 when it is not listed.
    int ListedType(DWORD pid) const;
    Mpeg2StreamHints Hints(int listedType) const;
    // The time (100 ns from the first time) of the next PES start with a PTS of a known stream
    // at or after the position, and that packet's position; false when none before limit.
    bool ProbeTime(LONGLONG from, LONGLONG limit, LONGLONG& time, LONGLONG& position);

    std::unique_ptr<KFile> m_file;
    LONGLONG m_fileSize = 0;
    int m_kind = kUnknown;
    bool m_extensions = false;
    DWORD m_packetSize = 0;
    REFERENCE_TIME m_duration = 0;

    std::vector<BYTE> m_buffer;
    LONGLONG m_bufferStart = 0;
    size_t m_bufferPos = 0;
    size_t m_bufferLength = 0;
    std::vector<BYTE> m_packet;

    std::vector<std::unique_ptr<KMpeg2ReadStream>> m_streams;
    DWORD m_pmtPid = 0xFFFF;
    std::vector<std::pair<BYTE, DWORD>> m_programTable;  // (stream type, PID)
    std::vector<BYTE> m_savedPmt;
    std::map<DWORD, std::vector<BYTE>> m_videoProbe;     // sequence header bytes per PID
    std::vector<NavigationEntry> m_navigation;

    KMpeg2ReadStream* m_current = nullptr;
    size_t m_flushNext = 0;
    bool m_atEnd = false;
    REFERENCE_TIME m_lastSeekTarget = -1;
    LONGLONG m_lastSeekPosition = 0;
};
