// What vmx prints: the text and JSON forms of "vmx info" and "vmx packets".
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "host/file_player.h"
#include "host/filter_options.h"
#include "host/index_progress.h"
#include "host/matroska_info.h"
#include "module/templates.h"

namespace vmx::tool {

// Everything "vmx info" reads from a loaded filter besides its pins.
struct FilterDetails {
    std::optional<host::MatroskaInfo> matroska;
    std::optional<std::vector<host::ChapterLine>> oggChapters;
    std::optional<host::PrivateInterface> privateInterface;
    std::optional<host::IndexWait> index;  // with --wait-index, when the filter builds one
    bool waitedForIndex = false;
};

std::string TimeText(REFERENCE_TIME time);

void PrintInfo(const std::string& path, const CFactoryTemplate& tmpl, const host::PlayReport& report, bool verbose,
               const FilterDetails& details);
void PrintPacketTable(const std::string& path, const CFactoryTemplate& tmpl, const host::PlayReport& report);
// played: the report holds a play, so end of stream is known.
void WriteJsonReport(const CFactoryTemplate& tmpl, const host::PlayReport& report, bool played,
                     const FilterDetails* details = nullptr);

}  // namespace vmx::tool
