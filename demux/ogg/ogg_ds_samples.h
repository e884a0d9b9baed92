// The "Direct Show Samples embedded in Ogg" stream kind: its first packet carries a whole media
// type in the 32-bit AM_MEDIA_TYPE layout, and its data packets are framed as OGM packets.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "framework/media_type.h"

// Whether a stream's first packet opens this kind: 0x01 and the signature.
bool IsDirectShowSamplesHeader(std::span<const std::uint8_t> packet);

// The media type the header packet carries, its format block as it stands; none when the packet
// is cut short of its fields or of the format block it declares.
std::optional<CMediaType> ParseDirectShowSamplesHeader(std::span<const std::uint8_t> packet);
