// What the first audio and video tags of an FLV say about their codecs: the wave format of the
// audio, and the picture size (with, for H.264, the decoder configuration) of the video.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/platform.h"

struct FlvAudioFormat {
    WORD formatTag = 0;  // 0: a sound format that gets no pin
    DWORD sampleRate = 0;
    WORD bitsPerSample = 0;
    WORD channels = 0;
    std::vector<BYTE> extra;  // AAC: the first two bytes of the AudioSpecificConfig
};

struct FlvAvcConfig {
    DWORD nalLengthSize = 0;
    DWORD profile = 0;
    DWORD level = 0;
    REFERENCE_TIME averageFrameDuration = 0;  // from the SPS timing, 0 without
    std::vector<BYTE> sequenceHeader;         // SPS and PPS, each behind a 16-bit length
};

struct FlvVideoFormat {
    DWORD compression = 0;  // FOURCC: FLV1, SCRV, SCR2, FLV4 or AVC1
    LONG width = 0;
    LONG height = 0;
    FlvAvcConfig avc;
};

// data: an audio tag's data from its first byte. False for a sound format that cannot be
// played (the tag is then passed over and the next audio tag probed).
bool ProbeFlvAudio(std::span<const std::uint8_t> data, FlvAudioFormat* format);

// data: a video tag's data from its first byte; only a key frame (an H.264 sequence header)
// tells the format.
bool ProbeFlvVideo(std::span<const std::uint8_t> data, FlvVideoFormat* format);
