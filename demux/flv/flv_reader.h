// KFlvReader: opens an FLV, probes its first tags for the audio and video formats and the
// metadata, finds the duration, and walks the tags one at a time. A tag whose size does not
// lead to another tag is cut where the next real tag header starts; seeks go by an estimate (or
// the metadata's key-frame table) and then tag by tag to a video key frame.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "demux/flv/flv_codecs.h"
#include "demux/flv/flv_metadata.h"
#include "demux/flv/flv_tag.h"
#include "io/cache_file.h"

struct FlvTag {
    std::uint8_t type = 0;    // 8, 9 or 18; a codec header reads as 18 (never delivered)
    std::uint8_t firstDataByte = 0;
    std::uint32_t payloadSize = 0;  // after the per-codec header bytes
    REFERENCE_TIME time = 0;        // 100 ns, with the composition time for H.264
    LONGLONG tagStart = 0;          // where its 15-byte window starts
    LONGLONG previousTagStart = 0;
    LONGLONG nextTagStart = 0;
    LONGLONG payloadStart = 0;

    bool IsAudio() const { return type == 8; }
    bool IsVideo() const { return type == 9; }
    bool IsKeyFrame() const { return IsVideo() && IsFlvKeyFrame(firstDataByte); }
};

class KFlvReader {
public:
    // Opens and probes; false when the file is no FLV or its first tag cannot be read.
    bool Open(LPCWSTR path);
    void Close();

    // Reads the tag at the current file position (resynchronising its size when needed).
    bool NextTag();
    // Moves past the current tag and reads the next one.
    bool MoveToNextTag();
    // Positions at the tag playback of the time starts from: a video key frame at or before it
    // (an audio tag in a file without video). False when the time is past the end.
    bool SeekTo(REFERENCE_TIME time);
    // The current tag's payload.
    bool ReadPayload(std::vector<BYTE>& payload);

    const FlvTag& Tag() const { return m_tag; }
    REFERENCE_TIME Duration() const { return m_duration; }
    LONGLONG FileSize() const { return m_fileSize; }
    int StreamCount() const { return m_streamCount; }
    bool HasAudio() const { return m_hasAudio; }
    bool HasVideo() const { return m_hasVideo; }
    const FlvAudioFormat& AudioFormat() const { return m_audio; }
    const FlvVideoFormat& VideoFormat() const { return m_video; }
    const FlvMetadata& Metadata() const { return m_metadata; }

private:
    void Probe();
    REFERENCE_TIME LastTagTime();
    bool PassesHeaderCheck(const FlvTagWindow& window) const;
    // Reads the window at a position; false when 15 bytes are not there.
    bool WindowAt(LONGLONG position, FlvTagWindow* window);
    // The first position in [from, from + limit) whose window passes the header check.
    LONGLONG ScanForWindow(LONGLONG from, LONGLONG limit);
    // What a seek search takes for a tag: a plausible header whose following window is a tag
    // too (or the end of the file).
    bool LooksLikeSeekTag(std::span<const std::uint8_t> window, LONGLONG position);
    LONGLONG SearchSeekTag(LONGLONG estimate);
    bool ReadTagAt(LONGLONG position);
    LONGLONG SeekEstimateStart(REFERENCE_TIME time) const;
    // From the current tag forward to the time: positions at the last key frame on the way.
    bool WalkForwardToKeyFrame(REFERENCE_TIME time);

    KCacheFile m_file;
    LONGLONG m_dataOffset = 0;
    LONGLONG m_fileSize = 0;
    REFERENCE_TIME m_duration = 0;
    int m_streamCount = 0;
    bool m_hasAudio = false;
    bool m_hasVideo = false;
    std::uint32_t m_audioStreamId = 0;
    std::uint32_t m_videoStreamId = 0;
    FlvAudioFormat m_audio;
    FlvVideoFormat m_video;
    FlvMetadata m_metadata;
    FlvTag m_tag;
};
