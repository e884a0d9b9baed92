// libFuzzer target: the transport-stream source (188- and 192-byte packets, program streams) on
// arbitrary bytes. fuzz/mpeg.dict holds the start codes and headers it meets.
#include "fuzz/fuzz_play.h"
#include "module/templates.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    return FuzzPlay(data, size, CLSID_VmxMpeg2Source);
}
