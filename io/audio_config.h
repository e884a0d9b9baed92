// The MPEG-4 AudioSpecificConfig that follows a WAVEFORMATEX of format tag 0xFF.
#pragma once

#include "platform/platform.h"

// Writes the config for an ADTS profile (0 Main, 1 LC, 2 SSR, 3 LTP; negative asks for explicit
// SBR signalling), a sample rate and a channel count; returns the bytes written (2, or 5 with
// the SBR extension). The destination needs room for 5 bytes.
int WriteAudioSpecificConfig(BYTE* destination, int objectType, DWORD sampleRate, DWORD channels);
