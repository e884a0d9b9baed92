// The Segment record of a Matroska file: where its data lies, the SeekHead index, Info, the
// track records, Cues, Chapters and Attachments, and the parse that fills them.
#pragma once

#include <cstdint>
#include <vector>

#include "demux/mkv/ebml_values.h"
#include "demux/mkv/mkv_attachments.h"
#include "demux/mkv/mkv_chapters.h"
#include "demux/mkv/mkv_cues.h"
#include "demux/mkv/mkv_tracks.h"

struct KMkvSeekEntry {
    CID seekId;
    CUInt seekPosition;  // relative to the Segment's data
};

struct KMkvSeekHead {
    std::vector<KMkvSeekEntry> entries;

    void Parse(KEbmlElement& element);
};

struct KMkvInfo {
    std::vector<BYTE> segmentUid;
    WString segmentFilename;
    std::vector<BYTE> prevUid;
    WString prevFilename;
    std::vector<BYTE> nextUid;
    WString nextFilename;
    CUInt timecodeScale;  // nanoseconds per tick
    CFloat duration;      // ticks
    CInt dateUtc;
    WString title;
    WString muxingApp;
    WString writingApp;

    KMkvInfo();
    void Parse(KEbmlElement& element);
};

struct KMkvSegment {
    LONGLONG dataPos = 0;
    CLength size;
    KMkvInfo info;
    std::vector<KMkvSeekHead> seekHeads;
    std::vector<KMkvTrackEntry> tracks;
    std::vector<KMkvCues> cues;
    std::vector<KMkvAttachments> attachments;
    std::vector<KMkvChapters> chapters;
};

// Reads the SeekHead, Info, Tracks and Cues elements at the head of a Segment (the first 100
// children at most; it stops once it has seen three SeekHead, Info or Tracks elements). When it
// saw three, Cues (unless already read), Chapters and Attachments are looked up through the
// SeekHead index. Clusters and Tags are not read.
void ParseSegment(KEbmlElement& segment, KMkvSegment& record);

// Ticks to 100-ns units, truncating toward zero; saturates where a damaged scale or timecode
// would overflow.
REFERENCE_TIME TicksToReferenceTime(std::int64_t ticks, std::uint64_t timecodeScale);

// The file duration in 100-ns units from Info (0 when Info has no duration).
REFERENCE_TIME SegmentDuration(const KMkvInfo& info);
