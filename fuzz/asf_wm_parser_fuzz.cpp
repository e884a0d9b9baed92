// libFuzzer target: what the Windows Media reader parses for the ASF filter on it alone, without a graph or threads, on arbitrary bytes.
#include "fuzz/parser_drive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    DriveAsfWmParser({data, size});
    return 0;
}
