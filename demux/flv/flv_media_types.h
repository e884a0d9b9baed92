// The media types of an FLV's two pins, from the probed formats and the metadata's rates.
#pragma once

#include <optional>

#include "demux/flv/flv_codecs.h"
#include "demux/flv/flv_metadata.h"
#include "framework/media_type.h"

// None for a sound format without a pin (little-endian PCM).
std::optional<CMediaType> FlvAudioMediaType(const FlvAudioFormat& format);

// None for screen video, which gets no pin.
std::optional<CMediaType> FlvVideoMediaType(const FlvVideoFormat& format, const FlvMetadata& metadata);
