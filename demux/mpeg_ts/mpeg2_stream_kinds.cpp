// The kinds of elementary stream the transport-stream filter reads (MPEG audio and video, AAC,
// AC-3, DTS, H.264, VC-1, LPCM; HEVC and E-AC-3 with the extensions switch on), each cutting its
// PES payloads into samples, and the choice of kind from a stream's first payload.
#include "demux/mpeg_ts/mpeg2_read_stream.h"

#include <algorithm>
#include <cstring>

#include "demux/mpeg_es/hevc_parameter_sets.h"
#include "demux/mpeg_es/mpeg_es_headers.h"
#include "demux/mpeg_es/mpeg_es_media_types.h"
#include "demux/mpeg_es/mpeg_frame_cutters.h"
#include "framework/format_blocks.h"
#include "io/byte_reader.h"
#include "io/start_code.h"

namespace {

constexpr size_t kNone = kNoStartCode;

size_t FindAc3Sync(std::span<const BYTE> bytes)
{
    for (size_t i = 0; i + 2 <= bytes.size(); ++i)
        if (bytes[i] == 0x0B && bytes[i + 1] == 0x77)
            return i;
    return kNone;
}

bool BeginsWithDelimiter(std::span<const BYTE> payload)
{
    return (payload.size() >= 5 && payload[0] == 0 && payload[1] == 0 && payload[2] == 0 && payload[3] == 1 && (payload[4] & 0x1F) == 9)
        || (payload.size() >= 4 && payload[0] == 0 && payload[1] == 0 && payload[2] == 1 && (payload[3] & 0x1F) == 9);
}

// ---- Classes ------------------------------------------------------------------------------------

// A frame a PES: from the first frame start in its payload (where the payload is advanced to) to
// the first one of the next PES, whose leading bytes it takes over. A PES without a frame start
// before the first frame is dropped.
class KMpeg2PesFrameStream : public KMpeg2ReadStream {
public:
    using KMpeg2ReadStream::KMpeg2ReadStream;

protected:
    virtual size_t FirstCode(std::span<const BYTE> payload) const = 0;
    // Times and sync flag of the frame just cut from the PES.
    virtual void Stamp(Mpeg2Frame& frame, const Mpeg2PesHeader& header) = 0;

    bool CutFrame(Mpeg2Frame& frame, bool flush) override
    {
        for (;;) {
            if (m_complete.empty())
                return false;
            const size_t first = FirstCode(m_complete.front().Payload());
            if (first == kNone) {
                m_complete.pop_front();  // no frame begins in it
                continue;
            }
            // The frame ends in the first later PES with a frame start: wait for it.
            const bool ended = std::any_of(m_complete.begin() + 1, m_complete.end(),
                                           [this](const Mpeg2Pes& pes) { return FirstCode(pes.Payload()) != kNone; });
            if (!ended && !flush)
                return false;
            break;
        }
        Mpeg2Pes current = std::move(m_complete.front());
        m_complete.pop_front();
        std::span<const BYTE> payload = current.Payload();
        m_frame.assign(payload.begin() + static_cast<std::ptrdiff_t>(FirstCode(payload)), payload.end());
        while (!m_complete.empty()) {
            Mpeg2Pes& next = m_complete.front();
            const std::span<const BYTE> nextPayload = next.Payload();
            const size_t code = FirstCode(nextPayload);
            const size_t carried = code == kNone ? nextPayload.size() : code;
            m_frame.insert(m_frame.end(), nextPayload.begin(), nextPayload.begin() + static_cast<std::ptrdiff_t>(carried));
            if (code != kNone) {
                next.header.payloadOffset += static_cast<DWORD>(carried);
                break;
            }
            m_complete.pop_front();
        }
        Stamp(frame, current.header);
        return true;
    }
};

// AC-3: frames start at a sync word; every one is a sync point.
class KMpeg2Ac3Stream : public KMpeg2PesFrameStream {
public:
    KMpeg2Ac3Stream(DWORD pid, CMediaType type) : KMpeg2PesFrameStream(pid, kAc3, std::move(type)) {}

protected:
    size_t FirstCode(std::span<const BYTE> payload) const override { return FindAc3Sync(payload); }
    void Stamp(Mpeg2Frame& frame, const Mpeg2PesHeader& header) override
    {
        frame.timed = header.hasPts;
        if (frame.timed) {
            frame.start = TimeOf(header.pts);
            frame.stop = frame.start + 1;
        }
        frame.sync = true;
    }
};

// MPEG-1/2 video: frames start at a sequence header or a picture start code, so the two fields
// of a field-coded frame, which a muxer puts in one PES, stay one sample with the PES time. A PES
// without a time follows the last by a frame duration.
class KMpeg2VideoStream : public KMpeg2PesFrameStream {
public:
    KMpeg2VideoStream(DWORD pid, CMediaType type, LONGLONG frameDuration, DWORD bufferSize)
        : KMpeg2PesFrameStream(pid, kMpeg2Video, std::move(type)), m_frameDuration(frameDuration), m_bufferSize(bufferSize)
    {
    }
    DWORD InitialBufferSize() const override { return m_bufferSize; }

protected:
    size_t FirstCode(std::span<const BYTE> payload) const override
    {
        return FindStartCodeIn(payload, 0, [](BYTE id) { return id == 0xB3 || id == 0x00; });
    }
    void Stamp(Mpeg2Frame& frame, const Mpeg2PesHeader& header) override
    {
        frame.sync = m_frame.size() >= 4 && m_frame[3] == 0xB3;
        if (header.hasPts) {
            frame.timed = true;
            frame.start = TimeOf(header.pts);
        } else if (m_lastStart >= 0) {
            frame.timed = true;
            frame.start = m_lastStart + m_frameDuration;
        }
        frame.stop = frame.start;
    }

private:
    LONGLONG m_frameDuration;
    DWORD m_bufferSize;
};

// A stream whose access units the NAL cutter finds (H.264 without delimiters, HEVC): PES
// payloads go in with their times, access units of length-prefixed NAL units come out.
class KMpeg2NalStream : public KMpeg2ReadStream {
public:
    KMpeg2NalStream(DWORD pid, int code, CMediaType type, DWORD bufferSize, NalCodec codec)
        : KMpeg2ReadStream(pid, code, std::move(type)), m_bufferSize(bufferSize), m_cutter(codec)
    {
    }
    DWORD InitialBufferSize() const override { return m_bufferSize; }
    void Reset() override
    {
        KMpeg2ReadStream::Reset();
        m_cutter.Reset();
        m_ready.clear();
    }

protected:
    void PushToCutter(const Mpeg2Pes& pes)
    {
        m_cutter.Push(pes.Payload(), pes.header.hasPts ? TimeOf(pes.header.pts) : PACKET_NO_TIME, m_ready);
    }
    // The next access unit the cutter made (with flush, the one it still holds); none yet when
    // the next PES is needed.
    std::unique_ptr<KPacket> TakeCut(bool flush)
    {
        if (m_ready.empty() && flush)
            m_cutter.Flush(m_ready);
        if (m_ready.empty())
            return nullptr;
        std::unique_ptr<KPacket> unit = std::move(m_ready.front());
        m_ready.erase(m_ready.begin());
        return unit;
    }
    // Whether a NAL unit of the access unit (4-byte lengths) passes the test.
    template <typename Test>
    static bool AnyNal(const std::vector<BYTE>& unit, Test test)
    {
        for (size_t at = 0; at + 4 < unit.size(); at += 4 + ReadBE32(unit.data() + at))
            if (test(unit[at + 4]))
                return true;
        return false;
    }

private:
    DWORD m_bufferSize;
    KNalAccessUnits m_cutter;
    KMpegUnits m_ready;
};

// H.264: PES packets are joined until one that begins with an access unit delimiter follows;
// the access unit is then rewritten with 4-byte lengths in place of start codes.
class KMpeg2AvcStream : public KMpeg2NalStream {
public:
    KMpeg2AvcStream(DWORD pid, CMediaType type, DWORD bufferSize)
        : KMpeg2NalStream(pid, kAvc, std::move(type), bufferSize, NalCodec::Avc)
    {
    }
    void Reset() override
    {
        KMpeg2NalStream::Reset();
        m_unit.clear();
        m_unitPes = Mpeg2Pes{};
        m_unitHeader.reset();
    }

protected:
    bool CutFrame(Mpeg2Frame& frame, bool flush) override
    {
        while (!m_complete.empty()) {
            Mpeg2Pes pes = std::move(m_complete.front());
            m_complete.pop_front();
            const std::span<const BYTE> payload = pes.Payload();
            const bool delimited = BeginsWithDelimiter(payload);
            m_delimiterSeen = m_delimiterSeen || delimited;
            if (!m_delimiterSeen) {
                // Without delimiters (a program stream from a DVD muxer, say) a PES may carry
                // several pictures: access units are found from the units themselves, as the
                // first MPEG filter finds them.
                PushToCutter(pes);
                continue;
            }
            if (delimited && m_unitHeader) {
                Finish(frame);
                StartUnit(std::move(pes));
                return true;
            }
            if (!m_unitHeader) {
                StartUnit(std::move(pes));
                continue;
            }
            // A unit over several PES packets is joined; one in a single PES is read in place.
            if (m_unit.empty())
                m_unit.assign(m_unitPes.Payload().begin(), m_unitPes.Payload().end());
            m_unit.insert(m_unit.end(), payload.begin(), payload.end());
        }
        if (flush && m_unitHeader && !UnitBytes().empty()) {
            Finish(frame);
            m_unitHeader.reset();
            return true;
        }
        std::unique_ptr<KPacket> unit = TakeCut(flush && !m_delimiterSeen);
        if (!unit)
            return false;
        // An access unit the cutter made: its NAL units already stand behind lengths.
        m_frame = std::move(unit->payload);
        const bool sync = AnyNal(m_frame, [](BYTE header) { return (header & 0x1F) == 5; });
        Time(frame, unit->HasTime() ? std::optional<LONGLONG>(unit->start) : std::nullopt, sync);
        return true;
    }

private:
    // The first unit after a reset stands at the stream's time 0 as a sync point: after a seek it
    // is preroll, for it may well be a B-frame whose time the decoder cannot know yet. A unit
    // without a time keeps the last.
    void Time(Mpeg2Frame& frame, std::optional<LONGLONG> start, bool sync)
    {
        if (m_afterReset) {
            frame.start = 0;
            sync = true;
        } else {
            frame.start = start.value_or(std::max<LONGLONG>(m_lastStart, 0));
        }
        frame.timed = true;
        frame.stop = frame.start;
        frame.sync = sync;
    }

    void Finish(Mpeg2Frame& frame)
    {
        const std::span<const BYTE> unit = UnitBytes();
        m_frame.clear();
        m_frame.reserve(unit.size() + 16);
        bool sync = false;
        ForEachAnnexBUnit(unit, [&](std::span<const BYTE> nal) {
            const BYTE type = nal[0] & 0x1F;
            if (type == 9) {
                sync = sync || (nal.size() > 1 && (nal[1] == 0x10 || nal[1] == 0xE0));
                return;
            }
            // An IDR slice is a key frame too: x264's delimiters say "any picture type" on every
            // access unit, so the delimiter alone would leave no sync point.
            sync = sync || type == 5;
            for (int shift = 24; shift >= 0; shift -= 8)
                m_frame.push_back(static_cast<BYTE>(nal.size() >> shift));
            m_frame.insert(m_frame.end(), nal.begin(), nal.end());
        });
        Time(frame, m_unitHeader->hasPts ? std::optional<LONGLONG>(TimeOf(m_unitHeader->pts)) : std::nullopt, sync);
        m_unit.clear();
        m_unitPes = Mpeg2Pes{};
    }

    void StartUnit(Mpeg2Pes pes)
    {
        m_unitHeader = pes.header;
        m_unitPes = std::move(pes);
        m_unit.clear();
    }
    std::span<const BYTE> UnitBytes() const { return m_unit.empty() ? m_unitPes.Payload() : std::span<const BYTE>(m_unit); }

    Mpeg2Pes m_unitPes;           // the unit's first PES
    std::vector<BYTE> m_unit;     // the unit joined from several PES packets; empty while it is one
    std::optional<Mpeg2PesHeader> m_unitHeader;
    bool m_delimiterSeen = false;
};

// HEVC: access units are found from the NAL units (by their delimiters when the stream has them)
// and go out as 4-byte lengths and units. Each keeps the time of the PES it starts in and is a
// sync point when it holds an IRAP picture.
class KMpeg2HevcStream : public KMpeg2NalStream {
public:
    KMpeg2HevcStream(DWORD pid, CMediaType type, DWORD bufferSize)
        : KMpeg2NalStream(pid, kHevc, std::move(type), bufferSize, NalCodec::Hevc)
    {
    }

protected:
    bool CutFrame(Mpeg2Frame& frame, bool flush) override
    {
        std::unique_ptr<KPacket> unit;
        while (!(unit = TakeCut(flush && m_complete.empty())) && !m_complete.empty()) {
            PushToCutter(m_complete.front());
            m_complete.pop_front();
        }
        if (!unit)
            return false;
        m_frame = std::move(unit->payload);
        frame.sync = AnyNal(m_frame, [](BYTE header) { return IsHevcRandomAccess(HevcNalType(header)); });
        // A unit of a PES that started another keeps the last time.
        frame.timed = unit->HasTime() || m_lastStart >= 0;
        frame.start = unit->HasTime() ? unit->start : m_lastStart;
        frame.stop = frame.start;
        return true;
    }
};

// VC-1: a frame ends at the second frame start code of a PES; the rest goes in front of the
// next frame.
class KMpeg2Vc1Stream : public KMpeg2ReadStream {
public:
    KMpeg2Vc1Stream(DWORD pid, CMediaType primary, CMediaType alternative, LONGLONG frameDuration, DWORD bufferSize)
        : KMpeg2ReadStream(pid, kVc1, std::move(primary), std::move(alternative)), m_frameDuration(frameDuration),
          m_bufferSize(bufferSize)
    {
    }
    DWORD InitialBufferSize() const override { return m_bufferSize; }
    void Reset() override
    {
        KMpeg2ReadStream::Reset();
        m_held.clear();
        m_lastRaw = -1;
        m_alternate = false;
    }

protected:
    bool CutFrame(Mpeg2Frame& frame, bool flush) override
    {
        if (m_complete.empty()) {
            if (!flush || m_held.empty())
                return false;
            m_frame = std::move(m_held);
            m_held.clear();
            frame.timed = false;
            frame.sync = m_frame.size() >= 4 && m_frame[3] == 0x0F;
            return true;
        }
        Mpeg2Pes pes = std::move(m_complete.front());
        m_complete.pop_front();
        const std::span<const BYTE> payload = pes.Payload();
        const auto isFrame = [](BYTE id) { return id == 0x0D; };
        const size_t first = FindStartCodeIn(payload, 0, isFrame);
        const size_t second = first == kNone ? kNone : FindStartCodeIn(payload, first + 4, isFrame);
        const size_t end = second == kNone ? payload.size() : second;
        m_frame = std::move(m_held);
        m_frame.insert(m_frame.end(), payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(end));
        m_held.assign(payload.begin() + static_cast<std::ptrdiff_t>(end), payload.end());
        frame.sync = m_frame.size() >= 4 && m_frame[0] == 0 && m_frame[1] == 0 && m_frame[2] == 1 && m_frame[3] == 0x0F;
        frame.timed = pes.header.hasPts || pes.header.hasDts;
        if (frame.timed) {
            const LONGLONG raw = pes.header.hasDts ? pes.header.dts : pes.header.pts;
            LONGLONG start = TimeOf(raw);
            // Frames that share a time stand 1 and 1.5 frame durations after the last, in turn.
            if (raw == m_lastRaw && m_lastStart >= 0) {
                start = m_lastStart + (m_alternate ? m_frameDuration * 3 / 2 : m_frameDuration);
                m_alternate = !m_alternate;
            }
            m_lastRaw = raw;
            frame.start = start;
            frame.stop = start;
        }
        return true;
    }

private:
    LONGLONG m_frameDuration;
    DWORD m_bufferSize;
    std::vector<BYTE> m_held;
    LONGLONG m_lastRaw = -1;
    bool m_alternate = false;
};

// ADTS AAC: each PES payload is split into its frames, handed out one at a time without the
// ADTS header. The PES time belongs to its first frame; the others follow at 1024 samples each.
class KMpeg2AacStream : public KMpeg2ReadStream {
public:
    KMpeg2AacStream(DWORD pid, CMediaType type, DWORD sampleRate)
        : KMpeg2ReadStream(pid, kAac, std::move(type)), m_sampleRate(sampleRate ? sampleRate : 48000)
    {
    }
    void Reset() override
    {
        KMpeg2ReadStream::Reset();
        m_frames.clear();
    }

protected:
    bool CutFrame(Mpeg2Frame& frame, bool /*flush*/) override
    {
        while (m_frames.empty() && !m_complete.empty()) {
            const Mpeg2Pes pes = std::move(m_complete.front());
            m_complete.pop_front();
            const std::span<const BYTE> payload = pes.Payload();
            size_t at = 0;
            LONGLONG index = 0;
            while (at + 7 <= payload.size()) {
                if (payload[at] != 0xFF || (payload[at + 1] & 0xF0) != 0xF0) {
                    ++at;
                    continue;
                }
                const size_t length = ((payload[at + 3] & 3u) << 11) | (payload[at + 4] << 3) | (payload[at + 5] >> 5);
                const size_t header = (payload[at + 1] & 1) ? 7 : 9;
                if (length < 9 || at + length > payload.size() || length <= header) {
                    ++at;
                    continue;
                }
                Queued queued;
                queued.bytes.assign(payload.begin() + static_cast<std::ptrdiff_t>(at + header),
                                    payload.begin() + static_cast<std::ptrdiff_t>(at + length));
                queued.timed = pes.header.hasPts;
                if (queued.timed)
                    queued.start = TimeOf(pes.header.pts) + index * 1024 * 10000000LL / m_sampleRate;
                m_frames.push_back(std::move(queued));
                ++index;
                at += length;
            }
        }
        if (m_frames.empty())
            return false;
        Queued& next = m_frames.front();
        m_frame = std::move(next.bytes);
        frame.timed = next.timed;
        frame.start = next.start;
        frame.stop = next.start;
        frame.sync = false;
        m_frames.pop_front();
        return true;
    }

private:
    struct Queued {
        std::vector<BYTE> bytes;
        bool timed = false;
        LONGLONG start = 0;
    };
    DWORD m_sampleRate;
    std::deque<Queued> m_frames;
};

// MPEG audio, DTS and LPCM: one PES payload per frame.
class KMpeg2PesStream : public KMpeg2ReadStream {
public:
    using KMpeg2ReadStream::KMpeg2ReadStream;
};

CMediaType TransportLpcmType(std::span<const BYTE> payload, bool& ok)
{
    ok = false;
    if (payload.size() < 7 || payload[0] < 0xA0 || payload[0] > 0xA8)
        return {};
    const DWORD quantisation = (payload[5] >> 6) & 3;
    const DWORD samplingIndex = (payload[5] >> 4) & 3;
    if (quantisation > 2 || samplingIndex > 1)
        return {};
    const DWORD channels = (payload[5] & 7) + 1;
    const DWORD bits = 16 + 4 * quantisation;
    WAVEFORMATEX wave{};
    wave.wFormatTag = 0;
    wave.nChannels = static_cast<WORD>(channels);
    wave.nSamplesPerSec = samplingIndex ? 96000 : 48000;
    wave.wBitsPerSample = static_cast<WORD>(bits);
    wave.nBlockAlign = static_cast<WORD>(bits * channels / 8);
    wave.nAvgBytesPerSec = bits * wave.nSamplesPerSec * channels / 8;
    FormatBytes block(sizeof(WAVEFORMATEX));
    PutRecord(block, 0, wave);
    ok = true;
    return MakeMediaType(CMediaType(&MEDIATYPE_Audio), MEDIASUBTYPE_DvdLpcmAudio, FORMAT_WaveFormatEx, block);
}

std::unique_ptr<KMpeg2ReadStream> MpegVideoStream(DWORD pid, EsBytes payload)
{
    auto sequence = ParseMpegVideoSequence(payload);
    if (!sequence)
        return nullptr;
    sequence->mpeg2 = true;  // both generations go out as MPEG-2 video
    return std::make_unique<KMpeg2VideoStream>(pid, MpegVideoMediaType(*sequence), sequence->frameDuration,
                                               sequence->width * sequence->height * 3);
}

std::unique_ptr<KMpeg2ReadStream> AvcStream(DWORD pid, EsBytes payload)
{
    auto sets = ParseAvcParameterSets(payload);
    if (!sets)
        return nullptr;
    if (sets->picture.height == 1088)
        sets->picture.height = 1080;  // the coded height of 1080-line pictures
    const auto area = static_cast<DWORD>(sets->picture.width * sets->picture.height);
    return std::make_unique<KMpeg2AvcStream>(pid, AvcMediaType(*sets), area);
}

std::unique_ptr<KMpeg2ReadStream> HevcStream(DWORD pid, EsBytes payload)
{
    const auto sets = ParseHevcParameterSets(payload);
    if (!sets)
        return nullptr;
    return std::make_unique<KMpeg2HevcStream>(pid, HevcMediaType(*sets), sets->width * sets->height);
}

std::unique_ptr<KMpeg2ReadStream> Eac3Stream(DWORD pid, EsBytes payload)
{
    const auto header = ParseEac3Header(payload);
    if (!header)
        return nullptr;
    // Cut as AC-3 is: from a sync word at the start of a PES to the next such PES.
    return std::make_unique<KMpeg2Ac3Stream>(pid, Eac3MediaType(*header));
}

std::unique_ptr<KMpeg2ReadStream> Vc1Stream(DWORD pid, EsBytes payload)
{
    const auto sequence = ParseVc1Sequence(payload);
    if (!sequence)
        return nullptr;
    // Both forms carry the sequence header straight after the bitmap header.
    const DWORD wvc1 = MakeFourcc('W', 'V', 'C', '1');
    BITMAPINFOHEADER bitmap{};
    bitmap.biSize = static_cast<DWORD>(sizeof(BITMAPINFOHEADER) + sequence->header.size());
    bitmap.biWidth = static_cast<LONG>(sequence->codedWidth);
    bitmap.biHeight = static_cast<LONG>(sequence->codedHeight);
    bitmap.biCompression = wvc1;
    const RECT picture{0, 0, bitmap.biWidth, bitmap.biHeight};
    FormatBytes info = VideoInfoBlock(bitmap, sequence->header);
    PutRecord(info, offsetof(VIDEOINFOHEADER, rcSource), picture);
    PutRecord(info, offsetof(VIDEOINFOHEADER, rcTarget), picture);
    PutRecord(info, offsetof(VIDEOINFOHEADER, AvgTimePerFrame), static_cast<REFERENCE_TIME>(sequence->frameDuration));
    const CMediaType alternative = MakeMediaType(CMediaType(&MEDIATYPE_Video), FourccGuid(wvc1), FORMAT_VideoInfo, info);
    CMediaType primary = ToVideoInfo2(alternative, 0, 0);
    return std::make_unique<KMpeg2Vc1Stream>(pid, primary, alternative, sequence->frameDuration,
                                             sequence->codedWidth * sequence->codedHeight * 3);
}

std::unique_ptr<KMpeg2ReadStream> MpegAudioStream(DWORD pid, EsBytes payload)
{
    const auto header = ParseMpegAudioHeader(payload);
    if (!header)
        return nullptr;
    CMediaType type = MpegAudioMediaType(*header);
    // Here the block announces a 1536-sample span of the byte rate.
    WAVEFORMATEX wave = GetRecord<WAVEFORMATEX>(type.Format(), 0);
    if (wave.nSamplesPerSec)
        wave.nBlockAlign = static_cast<WORD>(static_cast<ULONGLONG>(wave.nAvgBytesPerSec) * 1536 / wave.nSamplesPerSec);
    std::memcpy(type.Format(), &wave, sizeof wave);
    return std::make_unique<KMpeg2PesStream>(pid, KMpeg2ReadStream::kMpegAudio, type);
}

std::unique_ptr<KMpeg2ReadStream> Ac3Stream(DWORD pid, EsBytes payload)
{
    const auto header = ParseAc3Header(payload);
    if (!header)
        return nullptr;
    return std::make_unique<KMpeg2Ac3Stream>(pid, Ac3MediaType(*header));
}

std::unique_ptr<KMpeg2ReadStream> DtsStream(DWORD pid, EsBytes payload)
{
    const auto header = ParseDtsHeader(payload);
    if (!header)
        return nullptr;
    return std::make_unique<KMpeg2PesStream>(pid, KMpeg2ReadStream::kDts, DtsMediaType(*header));
}

std::unique_ptr<KMpeg2ReadStream> AacStream(DWORD pid, EsBytes payload)
{
    const auto header = ParseAdtsHeader(payload, 13);
    if (!header)
        return nullptr;
    return std::make_unique<KMpeg2AacStream>(pid, AdtsMediaType(*header, true), AdtsSampleRate(header->samplingIndex));
}

std::unique_ptr<KMpeg2ReadStream> LpcmStream(DWORD pid, EsBytes payload)
{
    bool ok = false;
    CMediaType type = TransportLpcmType(payload, ok);
    if (!ok)
        return nullptr;
    return std::make_unique<KMpeg2PesStream>(pid, KMpeg2ReadStream::kLpcm, type);
}

}  // namespace

// ---- Creation -----------------------------------------------------------------------------------

std::unique_ptr<KMpeg2ReadStream> CreateMpeg2Stream(DWORD pid, BYTE streamId, std::span<const BYTE> payload,
                                                    const Mpeg2StreamHints& hints)
{
    std::unique_ptr<KMpeg2ReadStream> stream;
    if (streamId >= 0xC0 && streamId <= 0xDF) {
        if ((stream = AacStream(pid, payload)))
            return stream;
        if (hints.listedType == kStreamTypeAdts)
            return nullptr;  // its ADTS header may come with the next PES
        if ((stream = MpegAudioStream(pid, payload)) || (stream = DtsStream(pid, payload)) || (stream = Ac3Stream(pid, payload)))
            return stream;
    } else if (streamId >= 0xE0 && streamId <= 0xEF) {
        // A PID the program map lists as HEVC is not tried as H.264, whose tests its units may pass.
        if (hints.extensions && hints.listedType == kStreamTypeHevc)
            return HevcStream(pid, payload);
        if ((stream = MpegVideoStream(pid, payload)) || (stream = AvcStream(pid, payload)))
            return stream;
        if (hints.extensions && (stream = HevcStream(pid, payload)))
            return stream;
    } else if (streamId == 0xBD || streamId == 0xFD) {
        if ((stream = DtsStream(pid, payload)) || (stream = Ac3Stream(pid, payload)) || (stream = Vc1Stream(pid, payload))
            || (stream = LpcmStream(pid, payload)))
            return stream;
        if (hints.extensions && (stream = Eac3Stream(pid, payload)))
            return stream;
    }
    return nullptr;
}

std::unique_ptr<KMpeg2ReadStream> CreateMpeg2StreamFromRaw(DWORD pid, std::span<const BYTE> payload)
{
    std::unique_ptr<KMpeg2ReadStream> stream;
    if ((stream = DtsStream(pid, payload)) || (stream = Ac3Stream(pid, payload)) || (stream = MpegVideoStream(pid, payload)))
        return stream;
    return nullptr;
}

std::unique_ptr<KMpeg2ReadStream> CreateMpeg2VideoStream(DWORD pid, std::span<const BYTE> sequence)
{
    return MpegVideoStream(pid, sequence);
}
