// Plays one file through the module into recording sinks as fast as they accept, and reports
// wall time, CPU time, MB/s and samples/s. Usage: play_bench FILE [--filter NAME]
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/resource.h>

#include "host/file_player.h"
#include "host/source_factory.h"

using namespace vmx::host;

namespace {

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2 && !(argc == 4 && std::strcmp(argv[2], "--filter") == 0)) {
        std::fprintf(stderr, "usage: play_bench FILE [--filter NAME]\n");
        return 2;
    }
    OpenedSource source = OpenSourceFile(argv[1], argc == 4 ? argv[3] : "");
    if (!source) {
        std::fprintf(stderr, "play_bench: %s\n", source.error.c_str());
        return 1;
    }
    PlayOptions options;
    options.timeoutMs = 3600000;
    const double cpuBefore = CpuSeconds();
    const auto begin = std::chrono::steady_clock::now();
    PlayResult result = PlaySource(source.filter.Get(), options);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    const double cpu = CpuSeconds() - cpuBefore;
    if (!result.Succeeded()) {
        std::fprintf(stderr, "play_bench: %s\n", result.error.c_str());
        return 1;
    }
    size_t samples = 0;
    double bytes = 0;
    for (const PinReport& pin : result.report.pins)
        for (const SinkEvent& event : pin.events)
            if (event.kind == SinkEvent::Kind::Sample) {
                ++samples;
                bytes += event.length;
            }
    std::printf("wall_s=%.3f cpu_s=%.3f samples=%zu bytes=%.0f mb_per_s=%.1f samples_per_s=%.0f\n", wall, cpu, samples,
                bytes, bytes / wall / 1e6, static_cast<double>(samples) / wall);
    return 0;
}
