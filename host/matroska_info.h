// What "vmx info" shows of a Matroska file beyond its pins: the chapters, the attachments and
// the fonts the process has registered from memory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vmx::host {

struct ChapterLine {
    size_t edition = 0;
    int depth = 0;  // 0 for an edition's own atoms
    std::uint64_t uid = 0;
    double startSeconds = 0;
    std::optional<double> endSeconds;
    std::string title;     // the first ChapString; empty when the atom has none
    std::string language;  // of that string
    bool hidden = false;
    bool enabled = true;
};

struct AttachmentLine {
    std::string name;
    std::string mimeType;
    std::uint64_t size = 0;
};

struct FontLine {
    std::string family;
    size_t size = 0;
};

struct MatroskaInfo {
    size_t editionCount = 0;
    std::vector<ChapterLine> chapters;  // depth first, in file order
    std::vector<AttachmentLine> attachments;
    std::vector<FontLine> fonts;
};

// Null when the filter is not the Matroska source or has not loaded a file.
std::optional<MatroskaInfo> DescribeMatroska(IBaseFilter* filter);

// The chapters an Ogg file's comments name, through the first Ogg filter's IVmxOGG; each ends
// where the next starts, the last at the duration. Null for a filter without that interface.
std::optional<std::vector<ChapterLine>> DescribeOggChapters(IBaseFilter* filter, std::optional<REFERENCE_TIME> duration);

}  // namespace vmx::host
