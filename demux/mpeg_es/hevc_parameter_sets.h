// HEVC in a PES payload: the VPS, SPS and PPS of an Annex B byte stream, what the demuxers take
// from the SPS (picture size, profile, level) and the decoder configuration record (hvcC) built
// from them, so that a transport stream's HEVC pin carries the same format block as an MP4's or
// a Matroska file's.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "platform/platform.h"

struct HevcParameterSets {
    DWORD width = 0;  // after the conformance window
    DWORD height = 0;
    DWORD profile = 0;  // general_profile_idc
    DWORD level = 0;    // general_level_idc
    // hvcC with 4-byte NAL lengths: one array each of VPS, SPS and PPS.
    std::vector<BYTE> configuration;
};

// The first VPS, SPS and PPS among the payload's NAL units (all three must be there).
std::optional<HevcParameterSets> ParseHevcParameterSets(std::span<const BYTE> payload);

// NAL unit types the access-unit cutters and key-frame tests need.
inline constexpr BYTE kHevcAccessUnitDelimiter = 35;
inline BYTE HevcNalType(BYTE firstHeaderByte) { return (firstHeaderByte >> 1) & 0x3F; }
// IRAP pictures (BLA, IDR, CRA and the reserved IRAP types): a decoder can start at one.
inline bool IsHevcRandomAccess(BYTE nalType) { return nalType >= 16 && nalType <= 23; }
