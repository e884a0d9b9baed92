// The filters' private interfaces as a host sees them: every getter read into named values, and
// every setter reachable by name ("seek-key-frame=0"), applied at the stage of loading where a
// host sets it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/source_factory.h"
#include "platform/platform.h"

namespace vmx::host {

struct FilterProperty {
    std::string name;  // as --set names it where there is a setter
    std::string value;  // a number, a time in seconds, or "error 0x..." when the getter failed
    // Set for times (100 ns), so JSON can carry the number; the value then shows seconds.
    std::optional<LONGLONG> time;
    std::optional<std::uint64_t> number;  // set for the other values the getter answered
};

struct PrivateInterface {
    std::string name;  // IVmxMKV, ...
    std::vector<FilterProperty> properties;
    // IVmxOGG's chapters: start (100 ns) and title.
    std::vector<std::pair<LONGLONG, std::string>> chapters;
};

// Every getter of the filter's private interface; none for a filter without one.
std::optional<PrivateInterface> ReadPrivateInterface(IBaseFilter* filter);

struct FilterSetting {
    std::string name;
    std::string value;
};

// "NAME=VALUE" into a setting; none when there is no '=' or no name.
std::optional<FilterSetting> ParseFilterSetting(std::string_view text);

// The interface and the names --set takes for a table entry ("" and none for filters without).
std::string_view PrivateInterfaceName(size_t tableIndex);
std::vector<std::string_view> SettingNames(size_t tableIndex);
// One line per filter with settings: "mkv (IVmxMKV): seek-key-frame=0|1 preroll=N".
std::vector<std::string> SettingsHelp();

// Applies the settings whose stage this is; empty on success, else one line saying which
// setting the filter does not take or refused, and why.
std::string ApplyFilterSettings(IBaseFilter* filter, size_t tableIndex, LoadStage stage,
                                const std::vector<FilterSetting>& settings);

}  // namespace vmx::host
