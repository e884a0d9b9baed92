// What an MP4 track offers downstream: the codec setup run while the track is built (codec code,
// extra data, the wave-format or bitmap header, the read-unit adjustments of QuickTime sound
// entries) and the list of media types a pin offers for it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "demux/mp4/mp4_track.h"
#include "framework/media_type.h"
#include "framework/module_subtypes.h"

// Codec codes: the MPEG-4 object type indications, and private numbers for the QuickTime codecs.
namespace mp4_codec {
inline constexpr std::uint8_t kMpeg4Visual = 32;
inline constexpr std::uint8_t kAac = 0x40;
inline constexpr std::uint8_t kMp3 = 0x69;
inline constexpr std::uint8_t kMp3Alt = 0x6B;
inline constexpr std::uint8_t kMpeg4VisualQt = 171;
inline constexpr std::uint8_t kAc3 = 226;
inline constexpr std::uint8_t kAlaw = 227;
inline constexpr std::uint8_t kUlaw = 228;
inline constexpr std::uint8_t kG723 = 229;
inline constexpr std::uint8_t kQcelp = 234;
inline constexpr std::uint8_t kEvrc = 235;
inline constexpr std::uint8_t kAmr = 236;
inline constexpr std::uint8_t kRawAudio = 240;
inline constexpr std::uint8_t kTwos = 241;  // audio; for video the same number is "h264"
inline constexpr std::uint8_t kSowt = 242;  // audio; for video the same number is "h263"
inline constexpr std::uint8_t kMace3 = 243;
inline constexpr std::uint8_t kMace6 = 244;  // audio; for video the same number is "avc1"
inline constexpr std::uint8_t kIma4 = 245;
inline constexpr std::uint8_t kIn24 = 248;
inline constexpr std::uint8_t kQdmc = 253;
inline constexpr std::uint8_t kQdm2 = 254;
inline constexpr std::uint8_t kCinepak = 160;
inline constexpr std::uint8_t kJpeg = 161;
inline constexpr std::uint8_t kRle = 163;
inline constexpr std::uint8_t kRpza = 164;
inline constexpr std::uint8_t kMjpegA = 167;
inline constexpr std::uint8_t kMjpegB = 168;
inline constexpr std::uint8_t kSvq1 = 169;
inline constexpr std::uint8_t kSvq3 = 170;
inline constexpr std::uint8_t kDv = 172;
inline constexpr std::uint8_t kRawVideo = 177;
inline constexpr std::uint8_t kH264 = 241;
inline constexpr std::uint8_t kH263 = 242;
inline constexpr std::uint8_t kAvc1 = 244;
inline constexpr std::uint8_t kIndeo41 = 185;
}  // namespace mp4_codec

// Selects the sample entry of chunk 0, adjusts the sound entry's read units, and sets the codec
// code, extra data and format record. False when the entry is missing or has no payload.
bool SetUpMp4Codec(Mp4Track& track);

// The types a pin offers for the track, preferred first; empty when the codec has no mapping.
std::vector<CMediaType> BuildMp4MediaTypes(Mp4Track& track);

// The width and height a video object layer header gives, from an MPEG-4 visual configuration.
bool Mpeg4VisualSize(std::span<const BYTE> config, int* width, int* height);

// The picture aspect written into the video types for a display aspect (0:0 when none fits).
void Mp4AspectRatio(float displayAspect, LONG width, LONG height, DWORD* x, DWORD* y);
