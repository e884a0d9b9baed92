// What the pins of both Ogg filters share: the buffer size a stream needs, and the samples a pin
// sends before the stream's packets (Vorbis and Theora headers, a zero byte for text).
#pragma once

#include <functional>

#include "demux/ogg/ogg_read_stream.h"
#include "framework/base_pin.h"

// The stream's size hint, but never less than a header the pin sends.
HRESULT OggDecideBufferSize(const KOGG2ReadStream& stream, IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request);

// Delivers the stream's start samples at time 0, the first marked a sync point and a
// discontinuity; stops early when told to. A header larger than the sample is
// VFW_E_BUFFER_OVERFLOW.
HRESULT DeliverOggStartSamples(CBaseOutputPin& pin, const KOGG2ReadStream& stream, const std::function<bool()>& stop);
