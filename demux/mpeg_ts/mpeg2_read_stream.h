// KMpeg2ReadStream and its classes: one elementary stream of a transport (or program) stream. A
// stream assembles its PID's payloads into whole PES packets, cuts them into frames with times
// by the rules of its codec, and describes itself as one or two media types.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "framework/media_type.h"

// A frame a stream has ready: its bytes wait in the stream until TakeFrame.
struct Mpeg2Frame {
    DWORD pid = 0;
    DWORD size = 0;
    LONGLONG start = 0;  // 100 ns from the streams' shared first time
    LONGLONG stop = 0;
    bool timed = false;
    bool sync = false;
};

// The PES header fields frame cutting uses; times stay in 90 kHz units.
struct Mpeg2PesHeader {
    BYTE streamId = 0;
    DWORD length = 0;         // the PES packet length field (0: unbounded until the next PES)
    DWORD payloadOffset = 0;  // from the start code to the payload
    bool hasPts = false;
    bool hasDts = false;
    LONGLONG pts = 0;
    LONGLONG dts = 0;
    DWORD ptsOffset = 0;  // where the 5-byte stamps stand, from the start code
    DWORD dtsOffset = 0;
};

// Parses the PES header at the start of bytes (00 00 01, stream id, length, then the MPEG-1 or
// MPEG-2 header). None when it is cut short, malformed or of a stream id below 0xBC.
std::optional<Mpeg2PesHeader> ParseMpeg2PesHeader(std::span<const BYTE> bytes);

// How far (90 kHz) a time stamp lies after another, across a wrap of their 33 bits: the nearer
// reading, so a recording that starts anywhere in the 26.5 hours the stamps count runs on through
// the wrap. Negative when `to` lies before `from`.
inline LONGLONG PtsDistance(LONGLONG from, LONGLONG to)
{
    constexpr LONGLONG kWrap = 1LL << 33;
    LONGLONG distance = (to - from) % kWrap;
    if (distance >= kWrap / 2)
        distance -= kWrap;
    else if (distance < -kWrap / 2)
        distance += kWrap;
    return distance;
}

// One whole PES packet of a stream.
struct Mpeg2Pes {
    Mpeg2PesHeader header;
    std::vector<BYTE> bytes;  // from its start code
    std::span<const BYTE> Payload() const
    {
        return std::span<const BYTE>(bytes).subspan(std::min<size_t>(header.payloadOffset, bytes.size()));
    }
};

class KMpeg2ReadStream {
public:
    // Class codes; codes below 5 are video.
    enum Code : int { kHevc = 1, kMpeg2Video = 2, kAvc = 3, kVc1 = 4, kMpegAudio = 5, kAc3 = 6, kAac = 7, kDts = 8, kLpcm = 9 };

    KMpeg2ReadStream(DWORD pid, int code, CMediaType primary, CMediaType alternative = CMediaType());
    KMpeg2ReadStream(const KMpeg2ReadStream&) = delete;
    KMpeg2ReadStream& operator=(const KMpeg2ReadStream&) = delete;
    virtual ~KMpeg2ReadStream() = default;

    // The primary media type and, where the class has one, an alternative (else left empty).
    void GetMediaTypes(CMediaType& primary, CMediaType& alternative) const;
    // Adds a payload; a unit start beginning with a start code closes the PES before it.
    void Append(bool unitStart, std::span<const BYTE> bytes);
    // Whether a frame is ready; with flush (the end of the file) whatever is held makes one.
    bool GetFrame(Mpeg2Frame& frame, bool flush);
    // Hands over the bytes of the frame GetFrame made ready.
    std::vector<BYTE> TakeFrame() { return std::move(m_frame); }
    virtual DWORD InitialBufferSize() const { return 10240; }
    // No PES is larger than this (the file's size).
    void LimitPesSize(LONGLONG bytes) { m_pesLimit = static_cast<size_t>(std::max<LONGLONG>(bytes, 0)); }
    // Forgets everything buffered (a seek).
    virtual void Reset();

    bool IsVideo() const { return code < 5; }
    // 100-ns time of a 90 kHz PTS since the first time; a PTS a little before it gives a negative
    // start.
    LONGLONG TimeOf(LONGLONG pts) const { return PtsDistance(firstTime, pts) * 1000 / 9; }

    const DWORD pid;
    const int code;
    LONGLONG firstTime = -1;  // 90 kHz; -1 until known
    std::string language;     // ISO 639 code from the program map, or empty

protected:
    // Cuts the next frame from the whole PES packets into m_frame.
    virtual bool CutFrame(Mpeg2Frame& frame, bool flush);
    void ClosePes();

    std::deque<Mpeg2Pes> m_complete;  // whole PES packets, oldest first
    std::vector<BYTE> m_open;         // the PES being assembled
    size_t m_largestPesSeen = 0;      // bytes of the largest PES closed; 0 before the first
    size_t m_pesLimit = SIZE_MAX;     // the file's size
    std::vector<BYTE> m_frame;
    LONGLONG m_lastStart = -1;  // 100 ns; -1 after a reset
    bool m_afterReset = true;
    CMediaType m_primary;
    CMediaType m_alternative;
};

// Program-map stream types that decide between kinds a payload alone leaves open.
inline constexpr int kStreamTypeAdts = 0x0F;
inline constexpr int kStreamTypeHevc = 0x24;

// What the creation of a stream knows beside its first payload.
struct Mpeg2StreamHints {
    int listedType = -1;      // the PID's stream type in the program map; -1 when not listed
    bool extensions = false;  // HEVC and E-AC-3 are read
};

// Creates the stream of a PES that starts on a PID that has none yet, trying the classes the
// stream id asks for; payload is what follows the PES header. None when no class accepts it.
std::unique_ptr<KMpeg2ReadStream> CreateMpeg2Stream(DWORD pid, BYTE streamId, std::span<const BYTE> payload,
                                                    const Mpeg2StreamHints& hints);
// A stream from a payload without a PES header (DTS, AC-3, then MPEG-2 video).
std::unique_ptr<KMpeg2ReadStream> CreateMpeg2StreamFromRaw(DWORD pid, std::span<const BYTE> payload);
// The MPEG-2 video stream of a sequence header collected across packets.
std::unique_ptr<KMpeg2ReadStream> CreateMpeg2VideoStream(DWORD pid, std::span<const BYTE> sequence);
