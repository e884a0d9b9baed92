#include "demux/mp4/mp4_edits.h"

#include <algorithm>
#include <limits>

#include "io/byte_reader.h"

namespace {

// An edit list longer than this is damage: real files have one or two entries.
constexpr std::uint32_t kMaxEdits = 0x100000;
// Times beyond this many ticks are clamped, so that no sum or product overflows.
constexpr __int128 kTickLimit = std::numeric_limits<std::int64_t>::max() / 4;

}  // namespace

bool Mp4Elst::Parse(std::span<const BYTE> payload)
{
    KByteReader r(payload);
    std::uint32_t word = 0, count = 0;
    if (!r.ReadBE4(&word) || !r.ReadBE4(&count) || count > kMaxEdits)
        return false;
    const bool wide = (word >> 24) == 1;
    entries.reserve(std::min<std::size_t>(count, r.Remaining() / (wide ? 20 : 12)));
    while (entries.size() < count) {
        Entry entry{};
        std::uint32_t rate = 0;
        if (wide) {
            std::uint64_t media = 0;
            if (!r.ReadBE8(&entry.segmentDuration) || !r.ReadBE8(&media) || !r.ReadBE4(&rate))
                break;
            entry.mediaTime = static_cast<std::int64_t>(media);
        } else {
            std::uint32_t duration = 0, media = 0;
            if (!r.ReadBE4(&duration) || !r.ReadBE4(&media) || !r.ReadBE4(&rate))
                break;
            entry.segmentDuration = duration;
            entry.mediaTime = static_cast<std::int32_t>(media);
        }
        entries.push_back(entry);
    }
    return true;
}

std::int64_t EditShiftTicks(const Mp4Elst& elst, std::uint64_t movieTimeScale, std::uint64_t trackTimeScale)
{
    if (movieTimeScale == 0 || trackTimeScale == 0)
        return 0;
    __int128 delay = 0;  // movie ticks
    for (const Mp4Elst::Entry& entry : elst.entries) {
        if (entry.mediaTime == -1) {
            delay = std::min<__int128>(delay + entry.segmentDuration, kTickLimit);
            continue;
        }
        // Other negative media times are not defined: such an edit starts at the track's start.
        const __int128 start = std::clamp<__int128>(entry.mediaTime, 0, kTickLimit);
        // The delay in track ticks, rounded to the nearest as players convert it.
        const __int128 delayTicks = (delay * trackTimeScale + movieTimeScale / 2) / movieTimeScale;
        return static_cast<std::int64_t>(std::clamp<__int128>(delayTicks - start, -kTickLimit, kTickLimit));
    }
    return 0;
}
