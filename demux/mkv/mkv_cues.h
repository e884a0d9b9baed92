// The Cues record of a Matroska file: the index of CuePoints (a time and, per track, the
// Cluster holding it), and the parser that fills it from a Cues element.
#pragma once

#include <vector>

#include "demux/mkv/ebml_values.h"

struct KMkvCueReference {
    CUInt refTime;
    CUInt refCluster;
    CUInt refNumber;
    CUInt refCodecState;

    void Parse(KEbmlElement& element);
};

struct KMkvCueTrackPositions {
    CUInt track;
    CUInt clusterPosition;  // relative to the Segment's data
    CUInt codecState;
    std::vector<KMkvCueReference> references;

    void Parse(KEbmlElement& element);
};

struct KMkvCuePoint {
    CUInt time;  // ticks
    std::vector<KMkvCueTrackPositions> trackPositions;

    void Parse(KEbmlElement& element);
};

struct KMkvCues {
    std::vector<KMkvCuePoint> points;  // in file order

    void Parse(KEbmlElement& element);
};
