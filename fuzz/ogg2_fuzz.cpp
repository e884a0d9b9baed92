// libFuzzer target: the second Ogg source on arbitrary bytes, their pages' checksums made right.
#include "framework/extensions.h"
#include "fuzz/fuzz_play.h"
#include "fuzz/ogg_page_checksums.h"
#include "module/templates.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::uint8_t> bytes(data, data + size);
    FixOggPageChecksums(bytes);
    // Odd-sized inputs play with the extensions switch on, so both readings are fuzzed.
    OverrideExtensions(size % 2 == 1);
    return FuzzPlay(bytes.data(), bytes.size(), CLSID_VmxOgg2Source);
}
