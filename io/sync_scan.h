// The search for an audio frame's sync pattern in a file (MP3, ADTS): a block at a time, so that
// junk before the first frame costs a copy a block rather than a read a byte. The block is small:
// a resync usually finds its candidate within a few bytes, and the readers' windows are 2 KiB.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>

#include "io/file.h"

// Moves the file to the first position at or after its own where `Length` bytes, the first of
// them 0xFF, pass `match`; false when none does before the end of the file.
template <size_t Length, typename Match>
bool SeekToSync(KFileBase& file, Match match)
{
    static_assert(Length >= 1);
    std::array<BYTE, 512> block;
    LONGLONG at = file.Tell();
    for (;;) {
        const DWORD got = file.Read(block.data(), static_cast<DWORD>(block.size()));
        if (got < Length)
            return false;
        const BYTE* const last = block.data() + got - (Length - 1);  // the end of the starts that fit
        for (const BYTE* start = block.data(); start < last; ++start) {
            start = static_cast<const BYTE*>(std::memchr(start, 0xFF, static_cast<size_t>(last - start)));
            if (!start)
                break;
            if (match(start)) {
                file.Seek(at + (start - block.data()));
                return true;
            }
        }
        if (got < block.size())
            return false;
        // The last Length - 1 bytes may begin a pattern the next block completes.
        at += got - (Length - 1);
        file.Seek(at);
    }
}
