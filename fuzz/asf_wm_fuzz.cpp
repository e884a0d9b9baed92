// libFuzzer target: the ASF source on the Windows Media reader (the platform layer's own) on
// arbitrary bytes: its open, delivery and clock threads with the filter's.
#include "fuzz/fuzz_play.h"
#include "module/templates.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    return FuzzPlay(data, size, CLSID_VmxAsfSource);
}
