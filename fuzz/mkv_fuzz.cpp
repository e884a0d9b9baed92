// libFuzzer target: the Matroska source on arbitrary bytes.
#include "fuzz/fuzz_play.h"
#include "module/templates.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    return FuzzPlay(data, size, CLSID_VmxMkvSource);
}
