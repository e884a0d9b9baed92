// libFuzzer target: the Matroska source on arbitrary bytes.
#include "framework/extensions.h"
#include "fuzz/fuzz_play.h"
#include "module/templates.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Odd-sized inputs play with the extensions switch on, so both readings are fuzzed.
    OverrideExtensions(size % 2 == 1);
    return FuzzPlay(data, size, CLSID_VmxMkvSource);
}
