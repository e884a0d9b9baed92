// The options of vmx's file commands and how they are read from the command line.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "host/filter_options.h"
#include "host/graph_script.h"

namespace vmx::tool {

enum class Command { Info, Packets, Extract, Timeline };

struct Arguments {
    Command command = Command::Info;
    std::vector<std::string> files;  // FILE, and DIR or OUT.svg
    std::string filter;
    bool verbose = false;
    bool json = false;
    bool waitIndex = false;
    std::optional<double> seekSeconds;
    // --do, or the script --seek stands for.
    std::optional<std::vector<host::GraphAction>> script;
    std::vector<host::FilterSetting> settings;
    double timeoutSeconds = 60;
};

// The command a word names; none for other words.
std::optional<Command> FileCommand(const std::string& word);

// 0 when parsed; otherwise the exit status after the message was printed.
int ParseArguments(Command command, int argc, char** argv, Arguments& args);

// The actions to play: --do, else the short form of --seek, else from the start to the end.
std::vector<host::GraphAction> ScriptOf(const Arguments& args);

int Fail(const std::string& message);
int UsageError(const std::string& message);

}  // namespace vmx::tool
