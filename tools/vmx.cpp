// vmx: the command line of the module. "vmx filters" lists the filters the module carries and
// whether they are registered, "vmx register" / "vmx unregister" have the module file write or
// remove its registration; "vmx info", "vmx packets" and "vmx extract" open a file with one of
// them and show its pins and types, list every packet it delivers, or write each pin's payload out.
#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <dlfcn.h>

#include "host/file_player.h"
#include "host/json_writer.h"
#include "host/matroska_info.h"
#include "host/media_type_text.h"
#include "host/source_factory.h"
#include "io/wide_text.h"
#include "module/templates.h"
#include "platform/platform.h"

extern "C" HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv);

using namespace vmx::host;

namespace {

constexpr const char* kUsage =
    "usage: vmx filters\n"
    "       vmx register | unregister [MODULE]   (default: libvmx.so beside vmx)\n"
    "       vmx info FILE [--filter X] [--verbose] [--json]\n"
    "       vmx packets FILE [--filter X] [--seek SECONDS] [--timeout SECONDS] [--json]\n"
    "       vmx extract FILE DIR [--filter X] [--timeout SECONDS]\n"
    "X is a filter's name, short name (see vmx filters) or class identifier {...}.\n";

constexpr double kDefaultTimeoutSeconds = 60;

int Fail(const std::string& message)
{
    std::fprintf(stderr, "vmx: %s\n", message.c_str());
    return 1;
}

int UsageError(const std::string& message)
{
    std::fprintf(stderr, "vmx: %s (see vmx help)\n", message.c_str());
    return 2;
}

std::string Hex32(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string TimeText(REFERENCE_TIME time)
{
    char text[64];
    std::snprintf(text, sizeof text, "%" PRId64 ", %.6f", static_cast<std::int64_t>(time), time / 1e7);
    return text;
}

// ---- filters, register, unregister ----

bool IsRegistered(REFCLSID clsid)
{
    const WString path = WString(WSTR("CLSID\\")) + WideFromUtf8(GuidText(clsid)) + WSTR("\\InprocServer32");
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != static_cast<LONG>(ERROR_SUCCESS))
        return false;
    DWORD type = REG_NONE;
    DWORD size = 0;
    const LONG error = RegQueryValueExW(key, nullptr, nullptr, &type, nullptr, &size);
    RegCloseKey(key);
    // A server key without a module path would not load anything.
    return error == static_cast<LONG>(ERROR_SUCCESS) && type == REG_SZ && size > sizeof(WCHAR);
}

int ListFilters()
{
    std::printf("%-3s %-6s %-30s %-40s %-16s %s\n", "#", "name", "filter", "class identifier", "creates",
                "registration");
    int failures = 0;
    for (int i = 0; i < g_cTemplates; ++i) {
        const CFactoryTemplate& tmpl = g_Templates[i];
        // Each entry is checked the way a host uses it: through the exported class factory.
        IClassFactory* factory = nullptr;
        IBaseFilter* filter = nullptr;
        HRESULT hr = DllGetClassObject(*tmpl.m_ClsID, IID_IClassFactory, reinterpret_cast<void**>(&factory));
        if (SUCCEEDED(hr)) {
            hr = factory->CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&filter));
            factory->Release();
        }
        if (filter)
            filter->Release();
        if (FAILED(hr))
            ++failures;
        const std::string status = SUCCEEDED(hr) ? "ok" : "error " + Hex32(static_cast<std::uint32_t>(hr));
        const std::string_view shortName =
            static_cast<size_t>(i) < kFilterNamings.size() ? kFilterNamings[i].shortName : "";
        std::printf("%-3d %-6.*s %-30s %-40s %-16s %s\n", i, static_cast<int>(shortName.size()), shortName.data(),
                    Utf8FromWide(tmpl.m_Name).c_str(), GuidText(*tmpl.m_ClsID).c_str(), status.c_str(),
                    IsRegistered(*tmpl.m_ClsID) ? "registered" : "not registered");
    }
    return failures ? 1 : 0;
}

// libvmx.so in this program's own directory, wherever it is run from.
std::filesystem::path DefaultModulePath()
{
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : self.parent_path() / "libvmx.so";
}

// Loads the module and calls its own DllRegisterServer or DllUnregisterServer, so the server key
// names the module's path, exactly as when a host registers it.
int Register(bool doRegister, const char* moduleArgument)
{
    const char* verb = doRegister ? "register" : "unregister";
    const char* entryName = doRegister ? "DllRegisterServer" : "DllUnregisterServer";
    std::filesystem::path module = moduleArgument ? std::filesystem::path(moduleArgument) : DefaultModulePath();
    if (module.empty())
        return Fail(std::string(verb) + ": cannot find this program's directory; name the module file");
    std::error_code error;
    if (!std::filesystem::is_regular_file(module, error))
        return Fail(std::string(verb) + ": no module file " + module.string());
    // An absolute path, so dlopen does not search the library path and the registry records a
    // path that works from any directory.
    const std::filesystem::path resolved = std::filesystem::canonical(module, error);
    if (error)
        return Fail(std::string(verb) + ": cannot resolve " + module.string() + ": " + error.message());
    module = resolved;
    void* library = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library)
        return Fail(std::string(verb) + ": cannot load " + module.string() + ": " + dlerror());
    using ServerEntry = HRESULT (*)();
    auto entry = reinterpret_cast<ServerEntry>(dlsym(library, entryName));
    if (!entry) {
        dlclose(library);
        return Fail(std::string(verb) + ": " + module.string() + " does not export " + entryName);
    }
    const HRESULT hr = entry();
    dlclose(library);
    if (FAILED(hr))
        return Fail(std::string(verb) + " failed: " + Hex32(static_cast<std::uint32_t>(hr)));
    std::printf("vmx: %s %s done\n", verb, module.c_str());
    return 0;
}

// ---- Options of the file commands ----

enum class Command { Info, Packets, Extract };

struct Arguments {
    std::vector<std::string> files;  // FILE, and DIR for extract
    std::string filter;
    bool verbose = false;
    bool json = false;
    std::optional<double> seekSeconds;
    double timeoutSeconds = kDefaultTimeoutSeconds;
};

// Seconds from the command line: a plain non-negative decimal number within the range times
// and waits can hold.
std::optional<double> ParseSeconds(const std::string& text, double limit)
{
    if (text.empty())
        return std::nullopt;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(value) || value < 0 || value > limit)
        return std::nullopt;
    return value;
}

bool Allows(Command command, std::string_view option)
{
    if (option == "filter")
        return true;
    if (option == "verbose")
        return command == Command::Info;
    if (option == "json")
        return command != Command::Extract;
    if (option == "seek")
        return command == Command::Packets;
    if (option == "timeout")
        return command != Command::Info;
    return false;
}

// 0 when parsed; otherwise the exit status after the message was printed.
int ParseArguments(Command command, int argc, char** argv, Arguments& args)
{
    for (int i = 2; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg.size() < 2 || arg.substr(0, 2) != "--") {
            args.files.emplace_back(arg);
            continue;
        }
        std::string_view name = arg.substr(2);
        std::optional<std::string> value;
        if (size_t equals = name.find('='); equals != std::string_view::npos) {
            value = std::string(name.substr(equals + 1));
            name = name.substr(0, equals);
        }
        if (!Allows(command, name))
            return UsageError("unknown option '" + std::string(arg) + "' for " + argv[1]);
        const bool takesValue = name == "filter" || name == "seek" || name == "timeout";
        if (!takesValue) {
            if (value)
                return UsageError("option --" + std::string(name) + " takes no value");
            (name == "json" ? args.json : args.verbose) = true;
            continue;
        }
        if (!value) {
            if (i + 1 >= argc)
                return UsageError("option --" + std::string(name) + " needs a value");
            value = argv[++i];
        }
        if (name == "filter") {
            args.filter = *value;
        } else if (name == "seek") {
            // Up to what 100-ns units in 63 bits can hold, with room to spare.
            args.seekSeconds = ParseSeconds(*value, 9e11);
            if (!args.seekSeconds)
                return Fail("--seek takes a number of seconds (0 or more), not '" + *value + "'");
        } else {
            const std::optional<double> seconds = ParseSeconds(*value, 4e6);
            if (!seconds || *seconds <= 0)
                return Fail("--timeout takes a positive number of seconds, not '" + *value + "'");
            args.timeoutSeconds = *seconds;
        }
    }
    const size_t wanted = command == Command::Extract ? 2 : 1;
    if (args.files.size() != wanted)
        return UsageError(std::string(argv[1]) + (command == Command::Extract ? " takes FILE and DIR" : " takes one FILE"));
    return 0;
}

// ---- Reports ----

std::string FilterName(const CFactoryTemplate& tmpl) { return Utf8FromWide(tmpl.m_Name); }

void WriteJsonMatroska(JsonWriter& json, const MatroskaInfo& info)
{
    json.Key("matroska").BeginObject();
    json.Key("editions").UInt(info.editionCount);
    json.Key("chapters").BeginArray();
    for (const ChapterLine& chapter : info.chapters) {
        json.BeginObject(JsonWriter::Layout::Compact);
        json.Key("edition").UInt(chapter.edition);
        json.Key("depth").Int(chapter.depth);
        json.Key("uid").UInt(chapter.uid);
        json.Key("start").Double(chapter.startSeconds);
        json.Key("end");
        chapter.endSeconds ? json.Double(*chapter.endSeconds) : json.Null();
        json.Key("title").String(chapter.title);
        json.Key("language").String(chapter.language);
        json.Key("hidden").Bool(chapter.hidden);
        json.Key("enabled").Bool(chapter.enabled);
        json.EndObject();
    }
    json.EndArray();
    json.Key("attachments").BeginArray();
    for (const AttachmentLine& attachment : info.attachments) {
        json.BeginObject(JsonWriter::Layout::Compact);
        json.Key("name").String(attachment.name);
        json.Key("mime_type").String(attachment.mimeType);
        json.Key("size").UInt(attachment.size);
        json.EndObject();
    }
    json.EndArray();
    json.Key("fonts").BeginArray();
    for (const FontLine& font : info.fonts) {
        json.BeginObject(JsonWriter::Layout::Compact);
        json.Key("family").String(font.family);
        json.Key("size").UInt(font.size);
        json.EndObject();
    }
    json.EndArray();
    json.EndObject();
}

void WriteJsonReport(const CFactoryTemplate& tmpl, const PlayReport& report, bool played,
                     const MatroskaInfo* matroska = nullptr)
{
    JsonWriter json;
    using Layout = JsonWriter::Layout;
    json.BeginObject();
    json.Key("filter").String(FilterName(tmpl));
    json.Key("clsid").String(GuidText(*tmpl.m_ClsID));
    json.Key("duration");
    report.duration ? json.Int(*report.duration) : json.Null();
    json.Key("pins").BeginArray();
    for (const PinReport& pin : report.pins) {
        json.BeginObject();
        json.Key("index").UInt(pin.index);
        json.Key("name").String(pin.name);
        json.Key("media_types").BeginArray();
        for (const CMediaType& mt : pin.mediaTypes) {
            json.BeginObject(Layout::Compact);
            json.Key("major").String(GuidText(mt.majortype));
            json.Key("subtype").String(GuidText(mt.subtype));
            json.Key("format").String(GuidText(mt.formattype));
            json.Key("fixed_size").Bool(mt.bFixedSizeSamples != FALSE);
            json.Key("temporal_compression").Bool(mt.bTemporalCompression != FALSE);
            json.Key("sample_size").UInt(mt.lSampleSize);
            json.Key("format_block").String(HexBytes(FormatBlock(mt)));
            json.EndObject();
        }
        json.EndArray();
        json.Key("segments").BeginArray();
        for (const SinkEvent& event : pin.events) {
            if (event.kind != SinkEvent::Kind::NewSegment)
                continue;
            json.BeginObject(Layout::Compact);
            json.Key("start").Int(event.start);
            json.Key("stop").Int(event.stop);
            json.Key("rate").Double(event.rate);
            json.EndObject();
        }
        json.EndArray();
        json.Key("samples").BeginArray();
        for (const SinkEvent& event : pin.events) {
            if (event.kind != SinkEvent::Kind::Sample)
                continue;
            json.BeginObject(Layout::Compact);
            json.Key("start");
            event.startValid ? json.Int(event.start) : json.Null();
            json.Key("stop");
            event.stopValid ? json.Int(event.stop) : json.Null();
            json.Key("size").Int(event.length);
            json.Key("sync").Bool(event.syncPoint);
            json.Key("discontinuity").Bool(event.discontinuity);
            json.Key("preroll").Bool(event.preroll);
            json.Key("adler32").UInt(event.adler32);
            json.EndObject();
        }
        json.EndArray();
        json.Key("end_of_stream");
        played ? json.Bool(pin.endOfStream) : json.Null();
        json.EndObject();
    }
    json.EndArray();
    json.Key("events").BeginArray();
    for (const GraphEvent& event : report.graphEvents) {
        json.BeginObject(Layout::Compact);
        json.Key("code").Int(event.code);
        json.Key("param1").Int(event.param1);
        json.Key("param2").Int(event.param2);
        // Where it arrived: how many of each pin's listed samples came before it.
        json.Key("samples_before").BeginArray();
        for (const PinReport& pin : report.pins) {
            auto earlierSample = [&event](const SinkEvent& sunk) {
                return sunk.kind == SinkEvent::Kind::Sample && sunk.arrival < event.arrival;
            };
            json.UInt(static_cast<std::uint64_t>(std::count_if(pin.events.begin(), pin.events.end(), earlierSample)));
        }
        json.EndArray();
        json.EndObject();
    }
    json.EndArray();
    if (matroska)
        WriteJsonMatroska(json, *matroska);
    json.EndObject();
    std::fputs(json.Text().c_str(), stdout);
}

void PrintHexBlock(std::span<const BYTE> block, const char* indent)
{
    for (size_t offset = 0; offset < block.size(); offset += 16)
        std::printf("%s%04zx  %s\n", indent, offset,
                    HexBytes(block.subspan(offset, std::min<size_t>(16, block.size() - offset)), " ").c_str());
}

void PrintHeader(const std::string& path, const CFactoryTemplate& tmpl, const PlayReport& report, const char* prefix)
{
    std::printf("%sfile: %s\n", prefix, path.c_str());
    std::printf("%sfilter: %s %s\n", prefix, FilterName(tmpl).c_str(), GuidText(*tmpl.m_ClsID).c_str());
    if (report.duration)
        std::printf("%sduration: %s s\n", prefix, TimeText(*report.duration).c_str());
    else
        std::printf("%sduration: unknown\n", prefix);
}

void PrintMatroska(const MatroskaInfo& info)
{
    std::printf("chapters:%s\n", info.editionCount ? "" : " none");
    for (size_t edition = 0; edition < info.editionCount; ++edition) {
        std::printf("  edition %zu\n", edition);
        for (const ChapterLine& chapter : info.chapters) {
            if (chapter.edition != edition)
                continue;
            char end[32] = "?";
            if (chapter.endSeconds)
                std::snprintf(end, sizeof end, "%.6f", *chapter.endSeconds);
            std::printf("  %*s  %.6f - %s s: \"%s\" (%s)%s%s\n", chapter.depth * 2, "", chapter.startSeconds, end,
                        chapter.title.c_str(), chapter.language.c_str(), chapter.hidden ? " hidden" : "",
                        chapter.enabled ? "" : " disabled");
        }
    }
    std::printf("attachments:%s\n", info.attachments.empty() ? " none" : "");
    for (const AttachmentLine& attachment : info.attachments)
        std::printf("  %s, %s, %" PRIu64 " bytes\n", attachment.name.c_str(), attachment.mimeType.c_str(),
                    attachment.size);
    std::printf("registered fonts:%s\n", info.fonts.empty() ? " none" : "");
    for (const FontLine& font : info.fonts)
        std::printf("  %s, %zu bytes\n", font.family.empty() ? "(no family name)" : font.family.c_str(), font.size);
}

int Info(const Arguments& args)
{
    OpenedSource source = OpenSourceFile(args.files[0], args.filter);
    if (!source)
        return Fail(source.error);
    PlayResult result = DescribeSource(source.filter.Get());
    if (!result.Succeeded())
        return Fail(result.error);
    const std::optional<MatroskaInfo> matroska = DescribeMatroska(source.filter.Get());
    if (args.json) {
        WriteJsonReport(*source.tmpl, result.report, false, matroska ? &*matroska : nullptr);
        return 0;
    }
    PrintHeader(args.files[0], *source.tmpl, result.report, "");
    for (const PinReport& pin : result.report.pins) {
        std::printf("pin %zu: %s\n", pin.index, pin.name.c_str());
        for (size_t t = 0; t < pin.mediaTypes.size(); ++t) {
            const std::vector<std::string> lines = DescribeMediaType(pin.mediaTypes[t]);
            for (size_t l = 0; l < lines.size(); ++l) {
                if (l == 0)
                    std::printf("  type %zu: %s\n", t, lines[l].c_str());
                else
                    std::printf("    %s\n", lines[l].c_str());
            }
            if (args.verbose)
                PrintHexBlock(FormatBlock(pin.mediaTypes[t]), "    ");
        }
        if (pin.mediaTypes.empty())
            std::printf("  no media types offered\n");
    }
    if (matroska)
        PrintMatroska(*matroska);
    if (const auto chapters = DescribeOggChapters(source.filter.Get(), result.report.duration)) {
        std::printf("chapters:%s\n", chapters->empty() ? " none" : "");
        for (const ChapterLine& chapter : *chapters) {
            char end[32] = "?";
            if (chapter.endSeconds)
                std::snprintf(end, sizeof end, "%.6f", *chapter.endSeconds);
            std::printf("  %.6f - %s s: \"%s\"\n", chapter.startSeconds, end, chapter.title.c_str());
        }
    }
    return 0;
}

void PrintGraphEvent(const GraphEvent& event)
{
    std::printf("graph-event, %s, %" PRIdPTR ", %" PRIdPTR "\n", Hex32(static_cast<std::uint32_t>(event.code)).c_str(),
                static_cast<std::intptr_t>(event.param1), static_cast<std::intptr_t>(event.param2));
}

void PrintPacketTable(const PlayReport& report)
{
    std::printf("# pin, kind, start (100 ns), start (s), stop (100 ns), stop (s), size, sync, discontinuity, "
                "preroll, adler32\n");
    std::printf("# graph-event, code, param1, param2: before the first listed line that arrived after it\n");
    // The pins are listed one after the other, so an event lands in the listing of the first pin
    // that still had lines to deliver when it arrived.
    size_t nextGraphEvent = 0;
    auto printGraphEventsBefore = [&](std::uint64_t arrival) {
        for (; nextGraphEvent < report.graphEvents.size() && report.graphEvents[nextGraphEvent].arrival < arrival;
             ++nextGraphEvent)
            PrintGraphEvent(report.graphEvents[nextGraphEvent]);
    };
    for (const PinReport& pin : report.pins) {
        if (FAILED(pin.connection))
            std::printf("# pin %zu (%s) not connected: %s\n", pin.index, pin.name.c_str(),
                        Hex32(static_cast<std::uint32_t>(pin.connection)).c_str());
        for (const SinkEvent& event : pin.events) {
            printGraphEventsBefore(event.arrival);
            switch (event.kind) {
            case SinkEvent::Kind::NewSegment:
                std::printf("%zu, segment, %s, %s, rate %g\n", pin.index, TimeText(event.start).c_str(),
                            TimeText(event.stop).c_str(), event.rate);
                break;
            case SinkEvent::Kind::Sample:
                std::printf("%zu, sample, %s, %s, %d, %d, %d, %d, %08x\n", pin.index,
                            event.startValid ? TimeText(event.start).c_str() : "-, -",
                            event.stopValid ? TimeText(event.stop).c_str() : "-, -", static_cast<int>(event.length),
                            event.syncPoint, event.discontinuity, event.preroll, static_cast<unsigned>(event.adler32));
                break;
            case SinkEvent::Kind::EndOfStream:
                std::printf("%zu, end-of-stream\n", pin.index);
                break;
            case SinkEvent::Kind::BeginFlush:
                std::printf("%zu, begin-flush\n", pin.index);
                break;
            case SinkEvent::Kind::EndFlush:
                std::printf("%zu, end-flush\n", pin.index);
                break;
            }
        }
    }
    for (; nextGraphEvent < report.graphEvents.size(); ++nextGraphEvent)
        PrintGraphEvent(report.graphEvents[nextGraphEvent]);
}

DWORD TimeoutMs(const Arguments& args) { return static_cast<DWORD>(std::ceil(args.timeoutSeconds * 1000)); }

int Packets(const Arguments& args)
{
    OpenedSource source = OpenSourceFile(args.files[0], args.filter);
    if (!source)
        return Fail(source.error);
    PlayOptions options;
    if (args.seekSeconds)
        options.seekTo = std::llround(*args.seekSeconds * 1e7);
    options.timeoutMs = TimeoutMs(args);
    PlayResult result = PlaySource(source.filter.Get(), options);
    // What arrived is printed even when the play failed: it shows where it stopped.
    if (args.json) {
        WriteJsonReport(*source.tmpl, result.report, true);
    } else {
        PrintHeader(args.files[0], *source.tmpl, result.report, "# ");
        PrintPacketTable(result.report);
    }
    std::fflush(stdout);
    return result.Succeeded() ? 0 : Fail(result.error);
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

int Extract(const Arguments& args)
{
    const std::filesystem::path directory = args.files[1];
    std::error_code error;
    if (std::filesystem::exists(directory, error) && !std::filesystem::is_directory(directory, error))
        return Fail(args.files[1] + " exists and is not a directory");
    OpenedSource source = OpenSourceFile(args.files[0], args.filter);
    if (!source)
        return Fail(source.error);
    PlayOptions options;
    options.keepSampleBytes = true;
    options.timeoutMs = TimeoutMs(args);
    PlayResult result = PlaySource(source.filter.Get(), options);
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

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return UsageError("no command given");
    const std::string_view command = argv[1];
    if (command == "help" || command == "--help" || command == "-h") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command == "filters") {
        if (argc > 2)
            return UsageError("filters takes no arguments");
        return ListFilters();
    }
    if (command == "register" || command == "unregister") {
        if (argc > 3)
            return UsageError(std::string(command) + " takes at most one MODULE");
        return Register(command == "register", argc == 3 ? argv[2] : nullptr);
    }
    std::optional<Command> fileCommand;
    if (command == "info")
        fileCommand = Command::Info;
    else if (command == "packets")
        fileCommand = Command::Packets;
    else if (command == "extract")
        fileCommand = Command::Extract;
    if (!fileCommand)
        return UsageError("unknown command '" + std::string(command) + "'");
    Arguments args;
    if (int status = ParseArguments(*fileCommand, argc, argv, args))
        return status;
    switch (*fileCommand) {
    case Command::Info:
        return Info(args);
    case Command::Packets:
        return Packets(args);
    case Command::Extract:
        return Extract(args);
    }
    return 1;
}
