// The media type of an AVI stream: a VIDEOINFOHEADER around the video format, the WAVEFORMATEX
// of an audio stream as stored, and the subtype a bitmap header names.
#pragma once

#include <optional>
#include <span>

#include "demux/avi/avi_read_stream.h"
#include "framework/media_type.h"

// The subtype of a bitmap header: its compression code, or for uncompressed pictures the RGB
// subtype of its bit count (and colour masks).
GUID GetBitmapSubtype(std::span<const BYTE> bitmapHeader);

// None for streams that are neither video nor audio, or have no format.
std::optional<CMediaType> AviMediaType(const KAvi2ReadStream& stream);
