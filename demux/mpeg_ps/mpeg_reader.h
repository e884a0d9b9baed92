// KMpegReader: bit-level access to an MPEG program stream, transport stream, bare PES stream or
// PVA file; detection of which it is; the pack, system, PES, transport-packet, PSI and PVA header
// parsers; the identification of elementary streams; and the opening scan that estimates the
// byte rate and the duration.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "demux/mpeg_es/video_header_collector.h"
#include "framework/media_type.h"
#include "io/file.h"
#include "platform/platform.h"

// "No time" for the reader's presentation times.
inline constexpr LONGLONG kMpegNoPts = 0x7FFFFFFFFFFFFFFFLL;

enum class MpegKind : DWORD { Unknown = 0, Program = 1, Transport = 2, Pes = 3, Pva = 4 };

enum MpegStreamList : int { kMpegVideoList = 0, kMpegAudioList = 1, kMpegSubpictureList = 2 };

struct MpegStreamInfo {
    CMediaType type;
    DWORD pid = 0;  // 0 outside transport streams
    BYTE streamId = 0;
    BYTE subStreamId = 0;
    // The PID when it is non-zero, else stream id x 256 + sub-stream id.
    DWORD Key() const { return pid ? pid : streamId * 256u + subStreamId; }
};

struct MpegPackHeader {
    int version = 0;  // 1 or 2
    LONGLONG scr = 0;
    DWORD muxRate = 0;  // bits per second
};

struct MpegPesHeader {
    DWORD remaining = 0;  // payload bytes that follow the header (0: unbounded)
    int version = 0;
    bool hasPts = false;
    bool hasDts = false;
    LONGLONG pts = 0;  // 100 ns
    LONGLONG dts = 0;
    DWORD stdBufferSize = 0;
    DWORD scrambling = 0;
    DWORD headerDataLength = 0;
};

struct MpegTransportPacket {
    bool unitStart = false;
    DWORD pid = 0;
    DWORD scrambling = 0;
    bool hasAdaptation = false;
    bool hasPayload = false;
    DWORD continuity = 0;
    DWORD payloadLength = 0;
    LONGLONG nextPacket = 0;
};

struct MpegPvaPacket {
    LONGLONG start = 0;  // where its "AV" sync stands
    DWORD streamId = 0;  // 1 video, 2 audio
    DWORD counter = 0;
    bool hasPts = false;
    LONGLONG pts = 0;
    DWORD payloadLength = 0;
};

// One packet of the container, whatever the file's kind: a PES packet of a program stream or
// bare PES stream, a transport packet with the PES header it starts (if it starts one), or a PVA
// packet. The opening scan, the time search and the filter all walk the file in these.
struct MpegUnit {
    LONGLONG start = 0;  // the packet's start code, transport packet or "AV" sync
    BYTE streamId = 0;   // the PES's (a transport packet that starts none: 0)
    bool hasPes = false;
    MpegPesHeader pes;
    MpegTransportPacket transport;
    MpegPvaPacket pva;
    LONGLONG payloadStart = 0;  // a transport packet's payload, before the PES header in it
    LONGLONG next = 0;          // where the next packet is looked for
};

// Unit: a packet, the reader after its headers. Again: the reader moved past something that is
// not a packet (a pack or system header, another start code, a header that does not parse).
// Stuck: nothing parses where the reader stands; a scan stops there, playback steps over a byte.
enum class MpegStep { Unit, Again, Stuck };

class KMpegReader {
public:
    // How far a program stream is searched for its next start code in one step.
    static constexpr DWORD kStartCodeLimit = 0x10000;

    KMpegReader();
    KMpegReader(const KMpegReader&) = delete;
    KMpegReader& operator=(const KMpegReader&) = delete;

    // Opens the file, detects its kind and runs the opening scan. False for a file that cannot
    // be opened, of no known kind, scrambled, or without two distinct presentation times.
    // The file is read through the reader given (a plain file reader when none).
    bool Open(LPCWSTR path, std::unique_ptr<KFileBase> file = nullptr);
    void Close();
    // HEVC and E-AC-3 streams are identified too (before Open).
    void ReadExtensions(bool on) { m_extensions = on; }

    // The next n bits (n up to 32), most significant first; with peek they stay unread. Bits past
    // the end of the file read as 0 and set the past-end flag.
    DWORD GetBits(unsigned n, bool peek = false);
    void AlignByte() { if (m_bitOffset) { m_bitOffset = 0; ++m_bytePos; } }
    // Moves to a byte position (clamped to the file); the past-end flag stays until the next parse.
    void Seek(LONGLONG position);
    LONGLONG Position() const { return m_bytePos + (m_bitOffset ? 1 : 0); }
    LONGLONG FileSize() const { return m_fileSize; }
    bool PastEnd() const { return m_pastEnd; }
    bool ReadBytes(BYTE* destination, DWORD count);
    // Consumes bytes until the last four form 00 00 01 xx and returns xx; -1 after limit bytes or
    // at the end of the file.
    int FindStartCode(DWORD limit);

    bool ParsePackHeader(MpegPackHeader& pack);
    bool ParseSystemHeader();
    bool ParsePesHeader(BYTE streamId, MpegPesHeader& pes);
    bool ParseTransportPacket(MpegTransportPacket& packet);
    bool ParsePvaPacket(MpegPvaPacket& packet);
    // A PSI section on a PID where a unit starts, read at the payload's position: PAT and PMT
    // update the program map. The reader stays where it is.
    void ParsePsiSection(DWORD pid, LONGLONG payloadStart);
    // The next packet from the position, whatever the file's kind.
    MpegStep NextUnit(MpegUnit& unit);

    // Classifies the payload at the current position and adds a new stream to its list; returns
    // the stream key. For private stream 1 without a PID, the sub-stream header is consumed.
    DWORD IdentifyStream(DWORD pid, BYTE streamId, DWORD payloadLength);

    bool ScanWindow(LONGLONG start, LONGLONG end);
    // The next presentation time (less the first) of the stream from the current position, with
    // the reader at that packet's start; -1 at the end of the file.
    // The walk gives up after limit bytes.
    LONGLONG FindNextPts(DWORD key, LONGLONG limit);

    MpegKind Kind() const { return m_kind; }
    const std::vector<MpegStreamInfo>& Streams(int list) const { return m_lists[list]; }
    const MpegStreamInfo* StreamByKey(DWORD key) const;
    LONGLONG FirstPts() const { return m_firstPts; }
    // A presentation time (100 ns) as the time since the first, across a wrap of the 33 bits.
    LONGLONG SinceFirst(LONGLONG pts) const;
    DWORD ByteRate() const { return m_byteRate; }
    // file size x 10^7 / byte rate; 0 when the rate is 0.
    REFERENCE_TIME Duration() const;
    DWORD TransportPacketSize() const { return m_packetSize; }
    const std::map<DWORD, std::pair<DWORD, std::vector<DWORD>>>& ProgramMap() const { return m_programMap; }

private:
    bool FillBuffer(LONGLONG position);
    int ByteAt(LONGLONG position);
    bool ReadPts(LONGLONG& time);
    void NotePts(LONGLONG pts);
    // The opening scan's use of one packet; false for a scrambled one.
    bool ScanUnit(const MpegUnit& unit);
    bool DetectKind();
    void InsertStream(int list, MpegStreamInfo stream);
    bool IsKnown(DWORD key) const;
    // The payload bytes at the current position (at most limit) without consuming them.
    std::vector<BYTE> PeekPayload(DWORD length, DWORD limit);
    bool IdentifyVideo(MpegStreamInfo& stream, DWORD payloadLength);
    bool IdentifyVideoBytes(MpegStreamInfo& stream, const std::vector<BYTE>& bytes);
    // The opening scan's part in finding video whose headers lie past the first payload of a
    // picture: the payload at the position (of a PES, or of a transport packet that starts or
    // continues one) is collected for the stream until its next unit starts.
    void CollectVideo(DWORD key, BYTE streamId, bool unitStart, DWORD payloadLength);
    void IdentifyCollected(const KCollectedVideo& unit);
    bool IdentifyAudio(MpegStreamInfo& stream, DWORD payloadLength);
    bool IdentifyTransportPrivate(MpegStreamInfo& stream, DWORD payloadLength);

    std::unique_ptr<KFileBase> m_file;
    LONGLONG m_fileSize = 0;
    MpegKind m_kind = MpegKind::Unknown;
    bool m_extensions = false;
    std::array<std::vector<MpegStreamInfo>, 3> m_lists;

    LONGLONG m_firstPts = kMpegNoPts;
    LONGLONG m_largestPts = 0;
    LONGLONG m_firstPtsPosition = 0;
    LONGLONG m_largestPtsPosition = 0;

    LONGLONG m_bytePos = 0;
    unsigned m_bitOffset = 0;
    bool m_pastEnd = false;
    std::vector<BYTE> m_buffer;
    LONGLONG m_bufferStart = 0;
    DWORD m_bufferLength = 0;

    DWORD m_packetSize = 0;
    DWORD m_byteRate = 0;
    DWORD m_muxRate = 0;
    std::map<DWORD, BYTE> m_streamIdByPid;
    KVideoHeaderCollector m_videoCollector;
    // PMT PID -> (program number, elementary PIDs)
    std::map<DWORD, std::pair<DWORD, std::vector<DWORD>>> m_programMap;
};
