// libFuzzer target: the AVI parser alone, without a graph or threads, on arbitrary bytes.
#include "fuzz/parser_drive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    DriveAviParser({data, size});
    return 0;
}
