// Plays one file through the module into recording sinks as fast as they accept, and reports
// wall time, CPU time, MB/s and samples/s. Usage: play_bench FILE [--filter NAME] [--no-checksum]
// [--discard] [--extensions]. --extensions turns on the module's extensions for the run (a
// fragmented MP4 needs them). --no-checksum spares the sinks their checksums over every byte, which a demuxer
// compared with does not do either; --discard makes the sinks count samples and keep no record
// of them (no checksums either), so that the time is the filter's and not the recorder's.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/resource.h>

#include "framework/extensions.h"
#include "host/file_player.h"
#include "host/source_factory.h"

using namespace vmx::host;

namespace {

rusage Usage()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage;
}

double CpuSeconds(const rusage& usage)
{
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

long Switches(const rusage& usage) { return usage.ru_nvcsw + usage.ru_nivcsw; }

}  // namespace

int main(int argc, char** argv)
{
    constexpr const char* kUsage = "usage: play_bench FILE [--filter NAME] [--no-checksum] [--discard] [--extensions]\n";
    const char* file = nullptr;
    const char* filter = "";
    bool checksums = true;
    bool record = true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--filter") == 0 && i + 1 < argc) {
            filter = argv[++i];
        } else if (std::strcmp(argv[i], "--no-checksum") == 0) {
            checksums = false;
        } else if (std::strcmp(argv[i], "--discard") == 0) {
            record = false;
            checksums = false;
        } else if (std::strcmp(argv[i], "--extensions") == 0) {
            OverrideExtensions(true);
        } else if (!file && std::strncmp(argv[i], "--", 2) != 0) {
            file = argv[i];
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (!file) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    OpenedSource source = OpenSourceFile(file, filter);
    if (!source) {
        std::fprintf(stderr, "play_bench: %s\n", source.error.c_str());
        return 1;
    }
    PlayOptions options;
    options.timeoutMs = 3600000;
    options.computeChecksums = checksums;
    options.recordSamples = record;
    const rusage before = Usage();
    const auto begin = std::chrono::steady_clock::now();
    PlayResult result = PlaySource(source.filter.Get(), options);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    const rusage after = Usage();
    const double cpu = CpuSeconds(after) - CpuSeconds(before);
    if (!result.Succeeded()) {
        std::fprintf(stderr, "play_bench: %s\n", result.error.c_str());
        return 1;
    }
    size_t samples = 0;
    double bytes = 0;
    for (const PinReport& pin : result.report.pins) {
        samples += pin.samples;
        bytes += static_cast<double>(pin.sampleBytes);
    }
    // ru_maxrss is in KiB on Linux.
    std::printf("wall_s=%.3f cpu_s=%.3f samples=%zu bytes=%.0f mb_per_s=%.1f samples_per_s=%.0f switches_per_sample=%.3f "
                "max_rss_mb=%.1f checksums=%s record=%s\n",
                wall, cpu, samples, bytes, bytes / wall / 1e6, static_cast<double>(samples) / wall,
                samples ? static_cast<double>(Switches(after) - Switches(before)) / static_cast<double>(samples) : 0.0,
                static_cast<double>(after.ru_maxrss) / 1024.0, checksums ? "on" : "off", record ? "on" : "off");
    return 0;
}
