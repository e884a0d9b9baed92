// KAvi2ReadStream: one AVI stream ("strl"): its header and format, and its sample index (from an
// OpenDML index, "idx1", or the background scanner), with the timing and seeking rules over it.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "framework/unknown.h"

// The 56-byte "strh" record.
#pragma pack(push, 1)
struct AviStreamHeader {
    std::uint32_t fccType;
    std::uint32_t fccHandler;
    std::uint32_t dwFlags;
    std::uint16_t wPriority;
    std::uint16_t wLanguage;
    std::uint32_t dwInitialFrames;
    std::uint32_t dwScale;
    std::uint32_t dwRate;
    std::uint32_t dwStart;
    std::uint32_t dwLength;
    std::uint32_t dwSuggestedBufferSize;
    std::uint32_t dwQuality;
    std::uint32_t dwSampleSize;
    std::int16_t rcFrame[4];
};
#pragma pack(pop)
static_assert(sizeof(AviStreamHeader) == 56);

struct AviIndexEntry {
    std::uint64_t offset;   // of the chunk data, after its 8-byte header
    std::uint32_t size;
    std::uint32_t key;
    std::uint64_t bytesBefore;  // this stream's bytes in the entries before this one
};

class KAvi2ReadStream {
public:
    bool IsVideo() const { return header.fccType == AviFourcc("vids"); }
    bool IsAudio() const { return header.fccType == AviFourcc("auds"); }
    // Audio timed by its bytes rather than by its chunks.
    bool ByteTimed() const { return IsAudio() && (header.dwSampleSize != 0 || rate > 1000); }

    // Fixes the MP3 rate, computes the rate and the chunk identifier once header and format are read.
    void Finish(std::uint32_t number);

    // Appends an entry an index lists, in file order; one before the last is dropped.
    void Append(std::uint64_t offset, std::uint32_t size, bool key) { Add(offset, size, key, true); }
    // Appends a chunk the scan found, unless the stream's own index lists it already (a stream
    // whose OpenDML index is whole, in a file scanned for another's sake).
    void AppendScanned(std::uint64_t offset, std::uint32_t size, bool key) { Add(offset, size, key, false); }
    std::size_t Count();
    // Start time of entry k (k == count: the time after the last one).
    REFERENCE_TIME TimeAt(std::size_t k);
    REFERENCE_TIME Duration() { return TimeAt(Count()); }
    // Moves the position to where time t starts; video moves back to a key frame, or forward
    // when forward is set. Returns the position's start time.
    REFERENCE_TIME SeekTo(REFERENCE_TIME t, bool forward);
    // The entry at the position, if any; the position moves past it.
    bool Take(AviIndexEntry* entry, REFERENCE_TIME* start, REFERENCE_TIME* stop);
    // The start time of the entry at the position; false when none is indexed there (yet).
    bool NextTime(REFERENCE_TIME* start);
    // Largest buffer a chunk of the stream plausibly needs (the media type's sample size).
    std::uint32_t BufferSize() const;
    const std::vector<BYTE>& Format() const { return format; }

    AviStreamHeader header{};
    std::vector<BYTE> format;
    std::vector<BYTE> superIndex;
    double rate = 1.0;
    std::uint32_t number = 0;
    std::array<char, 2> twoDigits{};
    std::uint32_t chunkId = 0;  // 0 for streams that are neither audio nor video
    REFERENCE_TIME superIndexDuration = -1;  // from the super index, when it has one

    static constexpr std::uint32_t AviFourcc(const char (&text)[5])
    {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(text[0]))
            | (static_cast<std::uint32_t>(static_cast<unsigned char>(text[1])) << 8)
            | (static_cast<std::uint32_t>(static_cast<unsigned char>(text[2])) << 16)
            | (static_cast<std::uint32_t>(static_cast<unsigned char>(text[3])) << 24);
    }

private:
    void Add(std::uint64_t offset, std::uint32_t size, bool key, bool repeats);
    REFERENCE_TIME TimeOf(std::size_t k, std::uint64_t bytes) const;

    CCritSec m_lock;  // index and position, against the scanner
    std::vector<AviIndexEntry> m_index;
    std::size_t m_position = 0;
};
