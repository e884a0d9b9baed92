// Throughput of the packet path: a scripted demuxer's packets through the reader thread,
// DispatchPacket, the pin queues, FillSample and delivery into recording sinks. Prints packets
// per second and context switches per packet (voluntary and involuntary, from getrusage), the
// cost of the threads handing packets to each other.
// Usage: packet_path_bench [packets per stream] [packet bytes] [streams]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>

#include "host/graph_driver.h"
#include "tests/test_demuxer.h"

using namespace vmx::host;
using namespace vmx::test;

namespace {

long ContextSwitches()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_nvcsw + usage.ru_nivcsw;
}

}  // namespace

int main(int argc, char** argv)
{
    const int perStream = argc > 1 ? std::atoi(argv[1]) : 20000;
    const size_t bytes = argc > 2 ? static_cast<size_t>(std::atoll(argv[2])) : 4096;
    const int streams = argc > 3 ? std::atoi(argv[3]) : 2;
    if (perStream <= 0 || bytes == 0 || streams <= 0 || streams > 8) {
        std::fprintf(stderr, "usage: packet_path_bench [packets per stream] [packet bytes] [streams 1-8]\n");
        return 2;
    }

    Script script;
    for (int s = 0; s < streams; ++s)
        script.streams.push_back({static_cast<DWORD>(s + 1), u"Stream", s == 0 ? VideoType(1280, 720) : AudioType()});
    for (int i = 0; i < perStream * streams; ++i) {
        REFERENCE_TIME start = (i / streams) * 100000LL;
        script.packets.push_back({static_cast<DWORD>(i % streams + 1), start, start + 100000, bytes});
    }
    script.duration = perStream * 100000LL;

    auto* filter = new CTestDemuxFilter(script);
    filter->AddRef();
    if (FAILED(filter->Load(u"bench", nullptr))) {
        std::fprintf(stderr, "load failed\n");
        return 1;
    }
    double seconds = 0;
    long switches = 0;
    {
        GraphDriver driver(filter);
        if (FAILED(driver.ConnectAll()))
            return 1;
        const long switchesBefore = ContextSwitches();
        auto begin = std::chrono::steady_clock::now();
        driver.Run();
        if (!driver.WaitForEndOfStream(600000)) {
            std::fprintf(stderr, "no end of stream\n");
            return 1;
        }
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        switches = ContextSwitches() - switchesBefore;
        driver.Stop();
    }
    filter->Release();
    double packets = static_cast<double>(perStream) * streams;
    std::printf("%d streams x %d packets of %zu bytes: %.3f s, %.0f packets/s, %.1f MB/s, %.3f context switches per packet\n",
                streams, perStream, bytes, seconds, packets / seconds, packets * static_cast<double>(bytes) / seconds / 1e6,
                static_cast<double>(switches) / packets);
    return 0;
}
