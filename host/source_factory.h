// Choosing and creating the module's source filter for a file, the way a player does: by the
// user's choice or the file's extension, through the module's exported class factory, and by
// trying every filter when neither says which.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/com_ptr.h"
#include "module/templates.h"
#include "platform/platform.h"

namespace vmx::host {

// Per entry of the module's table, in table order: the short name a user types and the file
// extensions (space separated, lower case) the filter is the first choice for.
struct FilterNaming {
    std::string_view shortName;
    std::string_view extensions;
};

inline constexpr std::array<FilterNaming, 12> kFilterNamings = {{
    {"avi", "avi"},
    {"ogg", ""},
    {"mpeg", "mpg mpeg vob m2p pva pes"},
    {"mkv", "mkv mka mks webm"},
    {"mp4", "mp4 m4a m4v mov 3gp f4v"},  // F4V, Flash's later format, is MP4 inside
    {"asf", ""},
    {"flv", "flv"},
    {"asfex", "asf wmv wma"},
    {"ogg2", "ogg oga ogv ogm"},
    {"mp3", "mp3 mp2 mpa"},
    {"aac", "aac adts"},
    {"mpeg2", "ts m2ts mts tp trp"},
}};

// The table index a filter choice names: a display name, a short name, or a class identifier
// in braced form (any case). None when it names no filter.
std::optional<size_t> ResolveFilterChoice(std::string_view choice);

// The table index the extension of a path points to (any case); none for other extensions.
std::optional<size_t> FilterForExtension(std::string_view path);

// The choice that tries every filter, the extension's first: what --filter any names.
inline constexpr std::string_view kAnyFilter = "any";

// The table indices to try, in order: an explicit choice alone; otherwise the extension's filter
// first, then every other filter in table order.
std::vector<size_t> FilterCandidates(std::string_view path, std::optional<size_t> choice);

// A failure code with its name and meaning where the platform has one: "0x80004005 (E_FAIL,
// unspecified failure)".
std::string HresultDescription(HRESULT hr);

// Where a host sets a filter's options: some are read by Load itself (the Matroska filter's first
// seek), the rest only once the file is loaded.
enum class LoadStage { BeforeLoad, AfterLoad };
// Called at both stages for the created filter; a non-empty answer refuses the filter with it.
using ConfigureSource = std::function<std::string(IBaseFilter* filter, size_t tableIndex, LoadStage stage)>;

// Creates the filter of one table entry through DllGetClassObject and the class factory, and
// loads the file into it. The filter is set only when Load succeeded. failedStep, when given,
// names the step that failed ("created", "asked for IFileSourceFilter", "loaded").
HRESULT CreateSourceFilter(const CFactoryTemplate& tmpl, const WString& path, ComPtr<IBaseFilter>* filter,
                           const std::function<void(IBaseFilter*)>& beforeLoad = {},
                           std::string* failedStep = nullptr);

struct OpenedSource {
    ComPtr<IBaseFilter> filter;
    const CFactoryTemplate* tmpl = nullptr;
    std::string error;  // one line saying why, when no filter was opened

    explicit operator bool() const { return static_cast<bool>(filter); }
};

// Checks that the file exists and is readable, then creates and loads the filter the choice
// points to. Without a choice the extension's filter alone is tried, and its refusal is the
// answer: a filter that takes any bytes (MP3 finds frames in video data) must not play a file
// the right filter refused. Other extensions, and the choice "any", try every filter, the
// extension's first.
OpenedSource OpenSourceFile(std::string_view path, std::string_view filterChoice = {},
                            const ConfigureSource& configure = {});

}  // namespace vmx::host
