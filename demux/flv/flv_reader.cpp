#include "demux/flv/flv_reader.h"

#include <algorithm>
#include <array>

#include "io/byte_reader.h"

namespace {

constexpr REFERENCE_TIME kPerMs = 10000;
constexpr int kProbeTags = 200;
// Enough for any audio header and for an H.264 configuration with its parameter sets.
constexpr std::uint32_t kProbeBytes = 0x10000;
constexpr LONGLONG kResyncLimit = 0x500000;
constexpr LONGLONG kLastTagSearch = 0x100000;
constexpr LONGLONG kSeekBlock = 1024;
constexpr LONGLONG kSeekStep = kSeekBlock - (FlvTagWindow::kSize - 1);
// A seek walks tag by tag from its landing; a file of tiny tags far from the estimate must not
// hold the seeking thread for long.
constexpr int kSeekWalkLimit = 200000;

}  // namespace

bool KFlvReader::Open(LPCWSTR path)
{
    Close();
    if (!m_file.Open(path))
        return false;
    std::array<std::uint8_t, 11> header{};
    if (m_file.Read(header.data(), 11) != 11 || header[0] != 'F' || header[1] != 'L' || header[2] != 'V')
        return false;
    m_dataOffset = ReadBE32(header.data() + 5);
    m_fileSize = m_file.GetSize();
    Probe();
    m_duration = m_metadata.durationMs > 0 ? m_metadata.durationMs * kPerMs : LastTagTime();
    m_file.EnlargeWindow(KCacheFile::kPlaybackCapacity);
    return ReadTagAt(m_dataOffset);
}

void KFlvReader::Close()
{
    m_file.Close();
    m_dataOffset = m_fileSize = m_duration = 0;
    m_streamCount = 0;
    m_hasAudio = m_hasVideo = false;
    m_audioStreamId = m_videoStreamId = 0;
    m_audio = {};
    m_video = {};
    m_metadata = {};
    m_tag = {};
}

void KFlvReader::Probe()
{
    bool metadataSeen = false;
    LONGLONG position = m_dataOffset;
    std::vector<std::uint8_t> data;
    for (int i = 0; i < kProbeTags && !(m_hasAudio && m_hasVideo); ++i) {
        FlvTagWindow window;
        if (!WindowAt(position, &window))
            return;
        const LONGLONG dataStart = position + FlvTagWindow::kSize;
        const auto readData = [&](std::uint32_t limit) {
            // A declared size runs to 16 MB: the buffer holds only what the file has there.
            data.resize(BytesHeld(std::min<DWORD>(window.dataSize, limit), dataStart, m_fileSize));
            m_file.Seek(dataStart);
            data.resize(m_file.ReadBypassingWindow(data.data(), static_cast<DWORD>(data.size())));
        };
        if (window.type == 18 && !metadataSeen) {
            metadataSeen = true;
            readData(window.dataSize);
            m_metadata.Parse(data);
        } else if (window.type == 8 && !m_hasAudio) {
            readData(kProbeBytes);
            if (ProbeFlvAudio(data, &m_audio)) {
                m_hasAudio = true;
                m_audioStreamId = window.streamId;
                ++m_streamCount;
            }
        } else if (window.type == 9 && !m_hasVideo) {
            readData(kProbeBytes);
            if (ProbeFlvVideo(data, &m_video)) {
                m_hasVideo = true;
                m_videoStreamId = window.streamId;
                ++m_streamCount;
            }
        }
        position = dataStart + window.dataSize;
    }
}

// The time of the last tag, found from the end of the file: a window whose previous-tag size
// leads back to another tag.
REFERENCE_TIME KFlvReader::LastTagTime()
{
    if (m_fileSize < FlvTagWindow::kSize)
        return 0;
    const LONGLONG last = m_fileSize - FlvTagWindow::kSize;
    const LONGLONG first = std::max<LONGLONG>(0, last - kLastTagSearch + 1);
    std::vector<std::uint8_t> tail(static_cast<size_t>(m_fileSize - first));
    m_file.Seek(first);
    if (m_file.ReadBypassingWindow(tail.data(), static_cast<DWORD>(tail.size())) != tail.size())
        return 0;
    for (LONGLONG position = last; position >= first; --position) {
        const FlvTagWindow window = FlvTagWindow::Parse(std::span(tail).subspan(static_cast<size_t>(position - first)));
        if (!window.IsMedia() || window.timestampMs == 0 || window.dataSize >= m_fileSize ||
            window.previousTagSize < 11 || window.previousTagSize > position)
            continue;
        FlvTagWindow earlier;
        if (!WindowAt(position - window.previousTagSize - 4, &earlier) || !PassesHeaderCheck(earlier))
            continue;
        return kPerMs * (window.streamId == 0 ? window.timestampMs : earlier.timestampMs);
    }
    return 0;
}

bool KFlvReader::PassesHeaderCheck(const FlvTagWindow& window) const
{
    if (window.dataSize >= m_fileSize)
        return false;
    switch (window.type) {
    case 8:
        return (window.streamId & 0xFFFF00) == (m_audioStreamId & 0xFFFF00);
    case 9:
        return (window.streamId & 0xFFFF00) == (m_videoStreamId & 0xFFFF00);
    case 18:
        return window.streamId == 0;
    default:
        return false;
    }
}

bool KFlvReader::WindowAt(LONGLONG position, FlvTagWindow* window)
{
    std::array<std::uint8_t, FlvTagWindow::kSize> bytes{};
    if (position < 0 || m_file.Seek(position) != position || m_file.Read(bytes.data(), FlvTagWindow::kSize) != FlvTagWindow::kSize)
        return false;
    *window = FlvTagWindow::Parse(bytes);
    return true;
}

LONGLONG KFlvReader::ScanForWindow(LONGLONG from, LONGLONG limit)
{
    constexpr LONGLONG kChunk = 0x10000;
    std::vector<std::uint8_t> chunk;
    for (LONGLONG start = from; start < from + limit; start += kChunk) {
        // No bigger than what is left of the file: a resync runs on every damaged tag.
        chunk.resize(BytesHeld(static_cast<DWORD>(kChunk + FlvTagWindow::kSize - 1), start, m_fileSize));
        m_file.Seek(start);
        chunk.resize(m_file.ReadBypassingWindow(chunk.data(), static_cast<DWORD>(chunk.size())));
        if (chunk.size() < FlvTagWindow::kSize)
            return -1;
        const size_t windows = std::min<size_t>(chunk.size() - FlvTagWindow::kSize + 1, static_cast<size_t>(from + limit - start));
        for (size_t i = 0; i < std::min<size_t>(windows, kChunk); ++i)
            if (PassesHeaderCheck(FlvTagWindow::Parse(std::span(chunk).subspan(i))))
                return start + static_cast<LONGLONG>(i);
    }
    return -1;
}

bool KFlvReader::NextTag()
{
    const LONGLONG position = m_file.Tell();
    FlvTagWindow window;
    if (!WindowAt(position, &window))
        return false;
    const LONGLONG dataStart = position + FlvTagWindow::kSize;
    // The codec bytes are read while the window holds them, before the size check looks at the
    // next tag, far away behind a large payload.
    std::array<std::uint8_t, 5> head{};
    const DWORD headRead = window.IsMedia() ? m_file.Read(head.data(), static_cast<DWORD>(std::min<LONGLONG>(window.dataSize, head.size()))) : 0;
    LONGLONG dataSize = window.dataSize;
    LONGLONG nextTagStart = dataStart + dataSize;
    if (nextTagStart > m_fileSize) {
        dataSize = m_fileSize - dataStart;
        nextTagStart = m_fileSize;
    } else {
        // The last tag is followed by its size alone: it ends at its DataSize.
        FlvTagWindow following;
        if (WindowAt(nextTagStart, &following) && !PassesHeaderCheck(following)) {
            const LONGLONG found = ScanForWindow(dataStart, kResyncLimit);
            if (found < 0)
                return false;
            // The tag runs to the next real header, before or beyond its declared end: a size
            // that falls short would cut the frame, and bytes inserted inside a frame push its
            // end past the size (junk between two tags then rides on the first of them). Where
            // the PreviousTagSize behind the declared end confirms the size, the tag is whole
            // and what follows it is damaged: the zeros of a wiped tag stay out of this one.
            if (following.previousTagSize != window.dataSize + 11)
                dataSize = found - dataStart;
            nextTagStart = found;
        }
    }

    FlvTag tag;
    tag.type = window.type;
    tag.time = kPerMs * window.timestampMs;
    tag.tagStart = position;
    tag.previousTagStart = window.previousTagSize == 0 ? 0 : position - window.previousTagSize - 4;
    tag.nextTagStart = nextTagStart;
    tag.payloadStart = dataStart;
    tag.payloadSize = static_cast<std::uint32_t>(dataSize);
    if (tag.IsAudio() || tag.IsVideo()) {
        const DWORD got = static_cast<DWORD>(std::min<LONGLONG>(headRead, dataSize));
        const FlvPayloadHead cut = ParseFlvPayloadHead(static_cast<FlvTagType>(tag.type), std::span(head).first(got));
        tag.firstDataByte = got > 0 ? head[0] : 0;
        tag.payloadStart += cut.headerBytes;
        tag.payloadSize = dataSize > cut.headerBytes ? static_cast<std::uint32_t>(dataSize - cut.headerBytes) : 0;
        tag.time += kPerMs * cut.compositionMs;
        if (cut.codecConfig)
            tag.type = 18;
    }
    m_tag = tag;
    return true;
}

bool KFlvReader::MoveToNextTag()
{
    return ReadTagAt(m_tag.nextTagStart);
}

bool KFlvReader::ReadTagAt(LONGLONG position)
{
    if (position < 0 || m_file.Seek(position) != position)
        return false;
    return NextTag();
}

bool KFlvReader::ReadPayload(std::vector<BYTE>& payload)
{
    payload.resize(m_tag.payloadSize);
    if (m_file.Seek(m_tag.payloadStart) != m_tag.payloadStart)
        return false;
    const DWORD got = m_file.ReadPayload(payload.data(), m_tag.payloadSize);
    payload.resize(got);
    return got == m_tag.payloadSize;
}

bool KFlvReader::LooksLikeSeekTag(std::span<const std::uint8_t> bytes, LONGLONG position)
{
    const FlvTagWindow window = FlvTagWindow::Parse(bytes);
    if ((window.type != 8 && window.type != 9 && window.type != 18) || window.dataSize == 0 || window.streamId != 0 ||
        (m_duration > 0 && kPerMs * window.timestampMs >= m_duration))
        return false;
    // Payload bytes can pass for a header; the tag that follows a real one is a tag too.
    const LONGLONG following = position + FlvTagWindow::kSize + window.dataSize;
    FlvTagWindow next;
    if (following + static_cast<LONGLONG>(FlvTagWindow::kSize) > m_fileSize)
        return following <= m_fileSize;
    return WindowAt(following, &next) && PassesHeaderCheck(next);
}

// A tag at or after the estimate; else the nearest one before it; else the first tag.
LONGLONG KFlvReader::SearchSeekTag(LONGLONG estimate)
{
    std::vector<std::uint8_t> block;
    const auto search = [&](LONGLONG start, bool backward) -> LONGLONG {
        block.resize(kSeekBlock);
        m_file.Seek(start);
        block.resize(m_file.ReadBypassingWindow(block.data(), static_cast<DWORD>(block.size())));
        if (block.size() < FlvTagWindow::kSize)
            return -1;
        const size_t windows = block.size() - FlvTagWindow::kSize + 1;
        for (size_t k = 0; k < windows; ++k) {
            const size_t i = backward ? windows - 1 - k : k;
            // The block is copied: LooksLikeSeekTag reads the file again.
            std::array<std::uint8_t, FlvTagWindow::kSize> window{};
            std::copy_n(block.begin() + static_cast<std::ptrdiff_t>(i), window.size(), window.begin());
            if (LooksLikeSeekTag(window, start + static_cast<LONGLONG>(i)))
                return start + static_cast<LONGLONG>(i);
        }
        return -1;
    };
    for (LONGLONG start = estimate; start + static_cast<LONGLONG>(FlvTagWindow::kSize) <= m_fileSize; start += kSeekStep)
        if (const LONGLONG found = search(start, false); found >= 0)
            return found;
    for (LONGLONG start = estimate - kSeekStep; start > m_dataOffset - kSeekStep; start -= kSeekStep) {
        const LONGLONG from = std::max(start, m_dataOffset);
        if (const LONGLONG found = search(from, true); found >= 0 && found < estimate)
            return found;
    }
    return m_dataOffset;
}

LONGLONG KFlvReader::SeekEstimateStart(REFERENCE_TIME time) const
{
    // The metadata's key-frame table gives the last key frame's tag at or before the time.
    const std::vector<double>& times = m_metadata.keyframeTimes;
    const std::vector<double>& positions = m_metadata.keyframePositions;
    LONGLONG tableStart = -1;
    for (size_t i = 0; i < times.size(); ++i) {
        if (!(times[i] * 1e7 <= static_cast<double>(time)))
            break;
        if (positions[i] > static_cast<double>(m_dataOffset) && positions[i] < static_cast<double>(m_fileSize))
            tableStart = static_cast<LONGLONG>(positions[i]) - 4;  // positions name the tag header, after its size
    }
    if (tableStart >= m_dataOffset)
        return tableStart;
    if (m_fileSize < 0x100000 || m_duration <= 0)
        return m_dataOffset;
    LONGLONG estimate = static_cast<LONGLONG>(static_cast<double>(time) / static_cast<double>(m_duration) * static_cast<double>(m_fileSize));
    if (estimate > m_fileSize - static_cast<LONGLONG>(FlvTagWindow::kSize))
        estimate = m_fileSize - 16;
    return std::max(estimate, m_dataOffset);
}

bool KFlvReader::WalkForwardToKeyFrame(REFERENCE_TIME time)
{
    if (time <= m_tag.time)
        return false;
    LONGLONG lastKey = -1;
    for (int steps = 0; steps < kSeekWalkLimit; ++steps) {
        if (m_tag.IsKeyFrame() && m_tag.time <= time)
            lastKey = m_tag.tagStart;
        if (m_tag.time >= time)
            break;
        const FlvTag before = m_tag;
        if (!MoveToNextTag()) {
            m_tag = before;
            break;
        }
    }
    return lastKey >= 0 && m_hasVideo && ReadTagAt(lastKey);
}

bool KFlvReader::SeekTo(REFERENCE_TIME time)
{
    if (time > 0 && m_duration > 0 && time >= m_duration)
        return false;
    if (!ReadTagAt(SearchSeekTag(time <= 0 ? m_dataOffset : SeekEstimateStart(time))))
        return false;
    if (time <= 0 || WalkForwardToKeyFrame(time))
        return true;

    // Back to a key frame (an audio tag without video) at or before the time.
    for (int steps = 0; steps < kSeekWalkLimit; ++steps) {
        const bool startsPlayback = m_hasVideo ? m_tag.IsKeyFrame() : m_tag.IsAudio();
        if ((startsPlayback && m_tag.time <= time) || m_tag.tagStart <= m_dataOffset)
            return true;
        const LONGLONG previous = m_tag.previousTagStart;
        FlvTagWindow window;
        if (previous >= m_dataOffset && previous < m_tag.tagStart && WindowAt(previous, &window) &&
            PassesHeaderCheck(window) && previous + FlvTagWindow::kSize + window.dataSize == m_tag.tagStart) {
            if (!ReadTagAt(previous))
                return false;
            continue;
        }
        // A previous-tag size that leads nowhere (some muxers write none): walk forward from
        // ever earlier tags instead.
        const LONGLONG stuck = m_tag.tagStart;
        for (LONGLONG back = 0x200000;; back *= 4) {
            const LONGLONG from = std::max(m_dataOffset, stuck - back);
            if (ReadTagAt(SearchSeekTag(from)) && m_tag.tagStart < stuck && WalkForwardToKeyFrame(time))
                return true;
            if (from == m_dataOffset)
                break;
        }
        return ReadTagAt(m_dataOffset);
    }
    return true;
}
