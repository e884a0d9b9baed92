#include "io/audio_config.h"

namespace {

// The sampling-frequency index of the nearest standard rate (boundaries half way between them).
int FrequencyIndex(DWORD rate)
{
    constexpr DWORD kLowerBounds[] = {92017, 75132, 55426, 46009, 37566, 27713, 23004, 18783, 13856, 11502, 9391};
    int index = 0;
    for (DWORD bound : kLowerBounds) {
        if (rate >= bound)
            return index;
        ++index;
    }
    return 11;
}

}  // namespace

int WriteAudioSpecificConfig(BYTE* destination, int objectType, DWORD sampleRate, DWORD channels)
{
    const int index = FrequencyIndex(sampleRate);
    const int audioObjectType = (objectType < 0 ? -objectType : objectType) + 1;
    destination[0] = static_cast<BYTE>((audioObjectType << 3) | (index >> 1));
    destination[1] = static_cast<BYTE>(((index & 1) << 7) | (channels << 3));
    if (objectType >= 0)
        return 2;
    // Backward-compatible SBR signalling: sync extension 0x2B7, extension object type 5 (SBR),
    // then the doubled output rate.
    destination[2] = 0x56;
    destination[3] = 0xE5;
    destination[4] = static_cast<BYTE>(0x80 | (FrequencyIndex(sampleRate * 2) << 3));
    return 5;
}
