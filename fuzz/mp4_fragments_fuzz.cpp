// libFuzzer target: the MP4 reader with the module's extensions on, driven directly on the bytes
// (held in memory behind a memfd): the box tree, movie fragments with their defaults and
// random-access table, edit lists and the extension codecs' records built into sample tables,
// then every track's read units walked and a few seeks located. No filter, graph or thread.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "demux/mp4/mp4_media_types.h"
#include "demux/mp4/mp4_read_handler.h"
#include "io/wide_text.h"

namespace {

// The walk of one track stops here: a damaged table may claim more units than a run can afford.
constexpr int kMaxUnits = 200000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const int fd = memfd_create("mp4-fragments", 0);
    if (fd < 0 || ftruncate(fd, 0) != 0 || (size > 0 && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)))
        return 0;
    static const WString path = WideFromUtf8("/proc/self/fd/" + std::to_string(fd));
    KMp4ReadHandler handler;
    if (!handler.Open(path.c_str(), true))
        return 0;
    for (auto& track : handler.Tracks()) {
        BuildMp4MediaTypes(*track);
        int units = 0;
        do {
            bool sync = false;
            track->CurrentSize();
            track->CurrentOffset();
            track->CurrentTime(&sync);
        } while (++units < kMaxUnits && track->Advance());
        for (const REFERENCE_TIME time : {REFERENCE_TIME{0}, REFERENCE_TIME{5000000}, REFERENCE_TIME{1} << 40}) {
            track->Seek(time, false);
            track->Seek(time, true);
        }
        if (track->sampleCount > 0)
            track->TimeOfSample(track->sampleCount - 1);
        track->AvailableTime(static_cast<LONGLONG>(size / 2));
    }
    return 0;
}
