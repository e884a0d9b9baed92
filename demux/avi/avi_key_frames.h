// Whether a video chunk found by scanning is a key frame, told from its first bytes by the codec
// (the scan has no index to say so).
#pragma once

#include <cstdint>
#include <span>

#include "platform/platform.h"

bool AviChunkIsKeyFrame(DWORD compression, std::span<const BYTE> data);
