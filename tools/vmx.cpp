// vmx: the command line of the module. "vmx filters" lists the filters the module carries and
// whether they are registered, "vmx register" / "vmx unregister" have the module file write or
// remove its registration; "vmx info", "vmx packets", "vmx extract" and "vmx timeline" open a
// file with one of them and show its pins, types and private interface, list everything its pins
// deliver through a script of graph actions, write each pin's payload out, or draw it.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

#include <dlfcn.h>

#include "framework/extensions.h"
#include "host/filter_options.h"
#include "host/media_type_text.h"
#include "host/source_factory.h"
#include "io/wide_text.h"
#include "module/templates.h"
#include "platform/platform.h"
#include "tools/vmx_arguments.h"
#include "tools/vmx_commands.h"

extern "C" HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv);

using namespace vmx::host;
using namespace vmx::tool;

namespace {

constexpr const char* kUsage =
    "usage: vmx filters\n"
    "       vmx register | unregister [MODULE]   (default: libvmx.so beside vmx)\n"
    "       vmx info FILE [--filter X] [--set NAME=VALUE]... [--wait-index] [--verbose] [--json]\n"
    "       vmx packets FILE [--filter X] [--set NAME=VALUE]... [--seek SECONDS | --do ACTIONS] [--json]\n"
    "       vmx extract FILE DIR [--filter X] [--set NAME=VALUE]...\n"
    "       vmx timeline FILE OUT.svg [--filter X] [--set NAME=VALUE]... [--seek SECONDS | --do ACTIONS]\n"
    "       (each file command also takes --timeout SECONDS, 60 by default)\n"
    "       --extensions anywhere turns on, for this run, the newer codecs and container features the\n"
    "       module plays when a player sets HKEY_CURRENT_USER\\Software\\VMX \"Extensions\" to 1\n"
    "\n"
    "X is a filter's name, short name (see vmx filters) or class identifier {...}. Without --filter\n"
    "the extension's filter alone is tried, and its refusal is reported; unknown extensions and\n"
    "--filter any try every filter.\n"
    "\n"
    "ACTIONS, separated by ';', played in order from a stopped graph (which is stopped after them):\n"
    "  pause                     pause; each sink holds (and records) its first sample, as a renderer\n"
    "  run                       run\n"
    "  stop                      stop\n"
    "  seek S [key] [rate=R] [stop=T]\n"
    "                            seek every pin to S seconds; key asks for AM_SEEKING_SeekToKeyFrame,\n"
    "                            rate= calls SetRate first, stop= sets the stop position\n"
    "  wait S                    let the graph be for S seconds\n"
    "  end                       wait for end of stream on every pin\n"
    "--seek S stands for --do \"pause; seek S; run; end\"; without either: \"run; end\".\n"
    "The record lists every flush, NewSegment, sample and end of stream each pin received, after\n"
    "a line naming the action they followed.\n"
    "\n"
    "--set NAME=VALUE goes through the filter's private interface (the Matroska filter's before\n"
    "Load, whose first seek reads it; the others' after Load). vmx info prints every getter.\n"
    "--wait-index follows the filter's background index to its end (Matroska without Cues, AVI\n"
    "without an index, ASF without a Simple Index, Ogg), with a progress line on a terminal.\n"
    "Settings:\n";

std::string Hex32(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
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

}  // namespace

int main(int argc, char** argv)
{
    // A switch of the whole run, so it may stand anywhere; the commands never see it.
    const auto extensionsEnd = std::remove_if(argv + 1, argv + argc, [](const char* arg) {
        return std::string_view(arg) == "--extensions";
    });
    if (extensionsEnd != argv + argc) {
        OverrideExtensions(true);
        argc = static_cast<int>(extensionsEnd - argv);
    }
    if (argc < 2)
        return UsageError("no command given");
    const std::string_view command = argv[1];
    if (command == "help" || command == "--help" || command == "-h") {
        std::fputs(kUsage, stdout);
        for (const std::string& line : SettingsHelp())
            std::printf("  %s\n", line.c_str());
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
    const std::optional<Command> fileCommand = FileCommand(std::string(command));
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
    case Command::Timeline:
        return Timeline(args);
    }
    return 1;
}
