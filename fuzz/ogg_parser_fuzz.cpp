// libFuzzer target: the first Ogg filter's reading alone, without a graph or threads, on arbitrary bytes
// whose Ogg pages get their checksums made right.
#include "fuzz/ogg_page_checksums.h"
#include "fuzz/parser_drive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::uint8_t> bytes(data, data + size);
    FixOggPageChecksums(bytes);
    DriveOggParser(bytes);
    return 0;
}
