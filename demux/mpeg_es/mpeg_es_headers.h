// The elementary-stream headers met at the start of a PES payload in program and transport
// streams: MPEG-1/2 video sequences, H.264 parameter sets, VC-1 advanced-profile sequences, MPEG
// audio, ADTS AAC, AC-3, DTS and DVD LPCM. Each parser reads a payload span (never past it),
// decides whether the payload holds that format and returns its plain record.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "io/avc_read.h"
#include "platform/platform.h"

using EsBytes = std::span<const BYTE>;

struct MpegVideoSequence {
    bool mpeg2 = false;
    DWORD width = 0;
    DWORD height = 0;
    DWORD aspectX = 0;  // reduced picture aspect
    DWORD aspectY = 0;
    DWORD bitRate = 0;  // bits per second
    DWORD frameDuration = 0;  // 100 ns
    DWORD profile = 0;
    DWORD level = 0;
    // The sequence header from its start code, then the sequence extension when there is one.
    std::vector<BYTE> sequenceBytes;
};

struct AvcParameterSets {
    AvcPictureFormat picture{};
    // SPS and PPS behind 16-bit lengths, as an MPEG2VIDEOINFO of subtype AVC1 carries them.
    std::vector<BYTE> block;
};

struct Vc1Sequence {
    DWORD codedWidth = 0;
    DWORD codedHeight = 0;
    LONGLONG frameDuration = 0;  // 100 ns; 0 without a usable rate
    // From the sequence start code up to the next start code other than an entry point.
    std::vector<BYTE> header;
};

struct MpegAudioHeader {
    DWORD version = 0;  // the 2-bit field: 3 MPEG-1, 2 MPEG-2
    DWORD layer = 0;    // 1, 2 or 3
    DWORD protection = 0;  // 1 = no CRC
    DWORD bitRate = 0;  // bits per second
    DWORD sampleRate = 0;
    DWORD padding = 0;
    DWORD privateBit = 0;
    DWORD mode = 0;
    DWORD modeExtension = 0;
    DWORD copyright = 0;
    DWORD original = 0;
    DWORD emphasis = 0;
};

struct AdtsHeader {
    DWORD protectionAbsent = 0;
    DWORD profile = 0;
    DWORD samplingIndex = 0;
    DWORD channelConfiguration = 0;
    DWORD frameLength = 0;
};

struct Ac3Header {
    DWORD fscod = 0;
    DWORD frmsizecod = 0;
    DWORD bsid = 0;
    DWORD acmod = 0;
    DWORD lfeon = 0;
};

// E-AC-3, read by the MPEG demuxers only with the extensions switch on.
struct Eac3Header {
    DWORD sampleRate = 0;
    DWORD channels = 0;
    DWORD frameSize = 0;  // bytes
    DWORD samplesPerFrame = 0;
};

struct DtsHeader {
    DWORD frameSize = 0;
    DWORD amode = 0;
    DWORD sfreq = 0;
    DWORD rate = 0;
};

struct LpcmHeader {
    DWORD samplingIndex = 0;
    DWORD channels = 0;
};

// A sequence header (start code 0xB3 within the payload) with the sequence extension that may
// follow it within 8 bytes.
std::optional<MpegVideoSequence> ParseMpegVideoSequence(EsBytes payload);
// The first SPS and PPS among the payload's NAL units (both must be there).
std::optional<AvcParameterSets> ParseAvcParameterSets(EsBytes payload);
// An advanced-profile sequence header at the very start of the payload.
std::optional<Vc1Sequence> ParseVc1Sequence(EsBytes payload);
// The first MPEG audio sync in the payload; a reserved or free-format value there rejects it.
std::optional<MpegAudioHeader> ParseMpegAudioHeader(EsBytes payload);
// The first ADTS header in the payload. The program-stream filter takes sampling indexes below
// 12; the transport-stream filter passes 13 and so also plays 7350 Hz.
std::optional<AdtsHeader> ParseAdtsHeader(EsBytes payload, DWORD samplingIndexLimit = 12);
// AC-3 only: E-AC-3's bsid of 16 is refused.
std::optional<Ac3Header> ParseAc3Header(EsBytes payload);
// E-AC-3 at the first sync word: a bsid of 11 to 16 (AC-3 ones are refused).
std::optional<Eac3Header> ParseEac3Header(EsBytes payload);
std::optional<DtsHeader> ParseDtsHeader(EsBytes payload);
// The 3 bytes of the LPCM header that follow the 4-byte sub-stream header.
std::optional<LpcmHeader> ParseLpcmHeader(EsBytes header);

// Rates and sizes the media types derive from the records.
DWORD AdtsSampleRate(DWORD samplingIndex);
DWORD Ac3SampleRate(const Ac3Header& header);
DWORD Ac3BytesPerSecond(const Ac3Header& header);
DWORD Ac3Channels(const Ac3Header& header);
DWORD DtsSampleRate(DWORD sfreq);
DWORD DtsBitRate(DWORD rate);
DWORD DtsChannels(DWORD amode);
DWORD LpcmSampleRate(DWORD samplingIndex);
