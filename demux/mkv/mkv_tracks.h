// The TrackEntry record of a Matroska file with its Video and Audio records, and the parsers
// that fill them from a Tracks element.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "demux/mkv/content_encoding.h"
#include "demux/mkv/ebml_values.h"

namespace mkv_track_type {
constexpr std::uint64_t kVideo = 1;
constexpr std::uint64_t kAudio = 2;
constexpr std::uint64_t kSubtitle = 17;
}  // namespace mkv_track_type

struct KMkvVideo {
    CUInt flagInterlaced;
    CUInt stereoMode;
    CUInt pixelWidth;
    CUInt pixelHeight;
    CUInt displayWidth;
    CUInt displayHeight;
    CUInt displayUnit;
    CUInt aspectRatioType;
    CUInt colourSpace;
    CFloat gammaValue;
    CFloat frameRate;
    // The rate was computed from the AVC configuration, not read from the file.
    bool frameRateDerived = false;

    void Parse(KEbmlElement& element);
};

struct KMkvAudio {
    CFloat samplingFrequency;
    CFloat outputSamplingFrequency;
    CUInt channels;
    std::vector<BYTE> channelPositions;
    CUInt bitDepth;

    KMkvAudio();
    void Parse(KEbmlElement& element);
};

struct KMkvTrackEntry {
    CUInt trackNumber;
    CUInt trackUid;
    CUInt trackType;
    CUInt flagEnabled;
    CUInt flagDefault;
    CUInt flagLacing;
    CUInt minCache;
    CUInt maxCache;
    CUInt defaultDuration;  // nanoseconds
    CFloat trackTimecodeScale;
    WString name;
    std::string language;
    std::string codecId;
    std::vector<BYTE> codecPrivate;
    WString codecName;
    WString codecSettings;
    std::string codecInfoUrl;
    std::string codecDownloadUrl;
    CUInt codecDecodeAll;
    CUInt trackOverlay;
    CUInt codecDelay;   // nanoseconds the decoder's output lags the block times (Opus pre-skip)
    CUInt seekPreRoll;  // nanoseconds to decode before a seek target for the output to be right
    KMkvVideo video;
    bool hasVideo = false;
    KMkvAudio audio;
    bool hasAudio = false;
    std::vector<KMkvContentEncoding> contentEncodings;

    KMkvTrackEntry();
    void Parse(KEbmlElement& element);
};

// Appends one record per TrackEntry child of a Tracks element, in file order.
void ParseTracks(KEbmlElement& tracks, std::vector<KMkvTrackEntry>& out);
