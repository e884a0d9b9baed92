#include "tools/vmx_commands.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "host/file_player.h"
#include "host/graph_script.h"
#include "host/index_progress.h"
#include "host/matroska_info.h"
#include "host/source_factory.h"
#include "host/timeline_svg.h"
#include "io/wide_text.h"
#include "tools/vmx_progress.h"
#include "tools/vmx_report.h"

namespace vmx::tool {

using namespace vmx::host;

namespace {

DWORD TimeoutMs(const Arguments& args) { return static_cast<DWORD>(std::ceil(args.timeoutSeconds * 1000)); }

// The filter the arguments choose, loaded, with the --set options applied where a host sets them.
OpenedSource Open(const Arguments& args)
{
    ConfigureSource configure;
    if (!args.settings.empty())
        configure = [&args](IBaseFilter* filter, size_t tableIndex, LoadStage stage) {
            return ApplyFilterSettings(filter, tableIndex, stage, args.settings);
        };
    return OpenSourceFile(args.files[0], args.filter, configure);
}

ScriptOptions ScriptOptionsOf(const Arguments& args)
{
    ScriptOptions options;
    options.timeoutMs = TimeoutMs(args);
    return options;
}

// The pin's name kept to characters safe in any file system, after its index so that two pins
// of the same name do not share a file.
std::string PinFileName(const PinReport& pin)
{
    std::string name;
    for (char c : pin.name) {
        if (c == ' ')
            name += '_';
        else if (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-')
            name += c;
    }
    return std::to_string(pin.index) + "_" + (name.empty() ? "pin" : name);
}

std::string ScriptText(const PlayReport& report)
{
    std::string text;
    for (const ActionRecord& action : report.actions)
        text += (text.empty() ? "" : "; ") + action.text;
    return text;
}

}  // namespace

int Info(const Arguments& args)
{
    OpenedSource source = Open(args);
    if (!source)
        return Fail(source.error);
    FilterDetails details;
    if (args.waitIndex) {
        details.waitedForIndex = true;
        ProgressLine progress;
        details.index = WaitForIndex(source.filter.Get(), TimeoutMs(args), [&progress](const IndexProgress& reading) {
            progress.ShowTime("indexing", reading.indexed, std::nullopt);
        });
    }
    PlayResult result = DescribeSource(source.filter.Get());
    if (!result.Succeeded())
        return Fail(result.error);
    details.matroska = DescribeMatroska(source.filter.Get());
    details.oggChapters = DescribeOggChapters(source.filter.Get(), result.report.duration);
    details.privateInterface = ReadPrivateInterface(source.filter.Get());
    if (args.json)
        WriteJsonReport(*source.tmpl, result.report, false, &details);
    else
        PrintInfo(args.files[0], *source.tmpl, result.report, args.verbose, details);
    return 0;
}

int Packets(const Arguments& args)
{
    OpenedSource source = Open(args);
    if (!source)
        return Fail(source.error);
    PlayResult result = PlayScript(source.filter.Get(), ScriptOf(args), ScriptOptionsOf(args));
    // What arrived is printed even when the play failed: it shows where it stopped.
    if (args.json)
        WriteJsonReport(*source.tmpl, result.report, true);
    else
        PrintPacketTable(args.files[0], *source.tmpl, result.report);
    std::fflush(stdout);
    return result.Succeeded() ? 0 : Fail(result.error);
}

int Extract(const Arguments& args)
{
    const std::filesystem::path directory = args.files[1];
    std::error_code error;
    if (std::filesystem::exists(directory, error) && !std::filesystem::is_directory(directory, error))
        return Fail(args.files[1] + " exists and is not a directory");
    OpenedSource source = Open(args);
    if (!source)
        return Fail(source.error);
    ScriptOptions options = ScriptOptionsOf(args);
    options.keepSampleBytes = true;
    ProgressLine progress;
    if (progress.Shown())
        options.progress = [&progress](std::optional<REFERENCE_TIME> latest, std::optional<REFERENCE_TIME> duration) {
            progress.ShowTime("extracting", latest, duration);
        };
    PlayResult result = PlayScript(source.filter.Get(), DefaultScript(std::nullopt), options);
    progress.Clear();
    if (!result.Succeeded())
        return Fail(result.error);
    std::filesystem::create_directories(directory, error);
    if (error)
        return Fail("cannot create " + args.files[1] + ": " + error.message());

    for (const PinReport& pin : result.report.pins) {
        if (FAILED(pin.connection)) {
            std::printf("pin %zu (%s): not connected, nothing written\n", pin.index, pin.name.c_str());
            continue;
        }
        const std::filesystem::path path = directory / PinFileName(pin);
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        size_t samples = 0;
        size_t bytes = 0;
        for (const SinkEvent& event : pin.events) {
            if (event.kind != SinkEvent::Kind::Sample)
                continue;
            out.write(reinterpret_cast<const char*>(event.bytes.data()), static_cast<std::streamsize>(event.bytes.size()));
            ++samples;
            bytes += event.bytes.size();
        }
        out.close();
        if (!out)
            return Fail("cannot write " + path.string());
        std::printf("pin %zu (%s): %zu samples, %zu bytes -> %s\n", pin.index, pin.name.c_str(), samples, bytes,
                    path.string().c_str());
    }
    return 0;
}

int Timeline(const Arguments& args)
{
    OpenedSource source = Open(args);
    if (!source)
        return Fail(source.error);
    PlayResult result = PlayScript(source.filter.Get(), ScriptOf(args), ScriptOptionsOf(args));
    if (!result.Succeeded())
        return Fail(result.error);
    TimelineLabels labels;
    labels.title = std::filesystem::path(args.files[0]).filename().string();
    labels.subtitle = Utf8FromWide(source.tmpl->m_Name) + " — " + ScriptText(result.report);
    const std::string svg = DrawTimeline(result.report, labels);
    std::ofstream out(args.files[1], std::ios::binary | std::ios::trunc);
    out << svg;
    out.close();
    if (!out)
        return Fail("cannot write " + args.files[1]);
    std::printf("%s: %zu pins -> %s\n", args.files[0].c_str(), result.report.pins.size(), args.files[1].c_str());
    return 0;
}

}  // namespace vmx::tool
