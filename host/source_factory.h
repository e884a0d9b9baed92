// Choosing and creating the module's source filter for a file, the way a player does: by the
// user's choice or the file's extension, through the module's exported class factory, and by
// trying every filter when neither says which.
#pragma once

#include <array>
#include <cstddef>
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

// The table indices to try, in order: an explicit choice alone; otherwise the extension's filter
// first, then every other filter in table order.
std::vector<size_t> FilterCandidates(std::string_view path, std::optional<size_t> choice);

// Creates the filter of one table entry through DllGetClassObject and the class factory, and
// loads the file into it. The filter is set only when Load succeeded.
HRESULT CreateSourceFilter(const CFactoryTemplate& tmpl, const WString& path, ComPtr<IBaseFilter>* filter);

struct OpenedSource {
    ComPtr<IBaseFilter> filter;
    const CFactoryTemplate* tmpl = nullptr;
    std::string error;  // one line saying why, when no filter was opened

    explicit operator bool() const { return static_cast<bool>(filter); }
};

// Checks that the file exists and is readable, then creates and loads the filter the choice
// (empty: the file's extension, then every filter) points to.
OpenedSource OpenSourceFile(std::string_view path, std::string_view filterChoice = {});

}  // namespace vmx::host
