// The media type of an ASF stream as both ASF sources offer it: the stream's VIDEOINFOHEADER or
// WAVEFORMATEX with a FOURCC or format-tag subtype and samples of size 1.
#pragma once

#include <optional>

#include "demux/asf/asf_read_handler.h"
#include "framework/media_type.h"

// None for a stream of another kind or with no usable format.
std::optional<CMediaType> AsfStreamMediaType(const KAsfEXReadStream& stream);
