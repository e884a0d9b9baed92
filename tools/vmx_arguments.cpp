#include "tools/vmx_arguments.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace vmx::tool {

namespace {

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
    if (option == "filter" || option == "set")
        return true;
    if (option == "verbose" || option == "wait-index")
        return command == Command::Info;
    if (option == "json")
        return command == Command::Info || command == Command::Packets;
    if (option == "seek" || option == "do")
        return command == Command::Packets || command == Command::Timeline;
    if (option == "timeout")
        return true;
    return false;
}

bool TakesValue(std::string_view option)
{
    return option == "filter" || option == "seek" || option == "timeout" || option == "do" || option == "set";
}

const char* CommandName(Command command)
{
    switch (command) {
    case Command::Info:
        return "info";
    case Command::Packets:
        return "packets";
    case Command::Extract:
        return "extract";
    case Command::Timeline:
        return "timeline";
    }
    return "";
}

}  // namespace

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

std::optional<Command> FileCommand(const std::string& word)
{
    for (Command command : {Command::Info, Command::Packets, Command::Extract, Command::Timeline})
        if (word == CommandName(command))
            return command;
    return std::nullopt;
}

int ParseArguments(Command command, int argc, char** argv, Arguments& args)
{
    args.command = command;
    bool seekGiven = false;
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
            return UsageError("unknown option '" + std::string(arg) + "' for " + CommandName(command));
        if (!TakesValue(name)) {
            if (value)
                return UsageError("option --" + std::string(name) + " takes no value");
            (name == "json" ? args.json : name == "verbose" ? args.verbose : args.waitIndex) = true;
            continue;
        }
        if (!value) {
            if (i + 1 >= argc)
                return UsageError("option --" + std::string(name) + " needs a value");
            value = argv[++i];
        }
        if (name == "filter") {
            args.filter = *value;
        } else if (name == "set") {
            const std::optional<host::FilterSetting> setting = host::ParseFilterSetting(*value);
            if (!setting)
                return UsageError("--set takes NAME=VALUE, not '" + *value + "'");
            args.settings.push_back(*setting);
        } else if (name == "do") {
            if (args.script)
                return UsageError("give the actions in one --do");
            host::ParsedScript parsed = host::ParseGraphScript(*value);
            if (!parsed.error.empty())
                return UsageError("--do: " + parsed.error);
            args.script = std::move(parsed.actions);
        } else if (name == "seek") {
            // Up to what 100-ns units in 63 bits can hold, with room to spare.
            args.seekSeconds = ParseSeconds(*value, 9e11);
            if (!args.seekSeconds)
                return Fail("--seek takes a number of seconds (0 or more), not '" + *value + "'");
            seekGiven = true;
        } else {
            const std::optional<double> seconds = ParseSeconds(*value, 4e6);
            if (!seconds || *seconds <= 0)
                return Fail("--timeout takes a positive number of seconds, not '" + *value + "'");
            args.timeoutSeconds = *seconds;
        }
    }
    if (seekGiven && args.script)
        return UsageError("--seek is the short form of --do \"pause; seek S; run; end\": give one of them");
    const size_t wanted = command == Command::Extract || command == Command::Timeline ? 2 : 1;
    if (args.files.size() != wanted) {
        const char* takes = command == Command::Extract ? " takes FILE and DIR"
            : command == Command::Timeline              ? " takes FILE and OUT.svg"
                                                        : " takes one FILE";
        return UsageError(std::string(CommandName(command)) + takes);
    }
    return 0;
}

std::vector<host::GraphAction> ScriptOf(const Arguments& args)
{
    if (args.script)
        return *args.script;
    std::optional<REFERENCE_TIME> seekTo;
    if (args.seekSeconds)
        seekTo = std::llround(*args.seekSeconds * 1e7);
    return host::DefaultScript(seekTo);
}

}  // namespace vmx::tool
