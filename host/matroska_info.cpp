#include "host/matroska_info.h"

#include "demux/mkv/mkv_filter.h"
#include "demux/ogg/ivmx_ogg.h"
#include "io/wide_text.h"
#include "platform/fonts.h"

namespace vmx::host {

namespace {

void AddChapters(const std::vector<KMkvChapterAtom>& atoms, size_t edition, int depth, std::vector<ChapterLine>& out)
{
    for (const KMkvChapterAtom& atom : atoms) {
        ChapterLine line;
        line.edition = edition;
        line.depth = depth;
        line.uid = atom.uid.value;
        line.startSeconds = static_cast<double>(atom.timeStart.value) / 1e9;
        if (atom.timeEnd.valid)
            line.endSeconds = static_cast<double>(atom.timeEnd.value) / 1e9;
        if (!atom.displays.empty()) {
            line.title = Utf8FromWide(atom.displays.front().string.c_str());
            line.language = atom.displays.front().language;
        }
        line.hidden = atom.flagHidden.value != 0;
        line.enabled = atom.flagEnabled.value != 0;
        out.push_back(std::move(line));
        AddChapters(atom.atoms, edition, depth + 1, out);
    }
}

}  // namespace

std::optional<MatroskaInfo> DescribeMatroska(IBaseFilter* filter)
{
    const auto* matroska = dynamic_cast<const CMKV_Filter*>(filter);
    const KMkvSegment* segment = matroska ? matroska->Segment() : nullptr;
    if (!segment)
        return std::nullopt;
    MatroskaInfo info;
    for (const KMkvChapters& chapters : segment->chapters)
        for (const KMkvEditionEntry& edition : chapters.editions)
            AddChapters(edition.atoms, info.editionCount++, 0, info.chapters);
    for (const KMkvAttachments& attachments : segment->attachments)
        for (const KMkvAttachedFile& file : attachments.files)
            info.attachments.push_back({Utf8FromWide(file.name.c_str()), file.mimeType, file.dataSize.value});
    for (const VmxMemoryFont& font : VmxListMemoryFonts())
        info.fonts.push_back({Utf8FromWide(font.family.c_str()), font.size});
    return info;
}

std::optional<std::vector<ChapterLine>> DescribeOggChapters(IBaseFilter* filter, std::optional<REFERENCE_TIME> duration)
{
    IVmxOGG* ogg = nullptr;
    if (!filter || FAILED(filter->QueryInterface(IID_IVmxOGG, reinterpret_cast<void**>(&ogg))) || !ogg)
        return std::nullopt;
    std::vector<ChapterLine> chapters;
    DWORD count = 0;
    ogg->GetChapterCount(&count);
    for (DWORD i = 0; i < count; ++i) {
        LONGLONG start = 0;
        LPWSTR title = nullptr;
        if (FAILED(ogg->GetChapter(i, &start, &title)))
            continue;
        ChapterLine line;
        line.uid = i + 1;
        line.startSeconds = static_cast<double>(start) / 1e7;
        line.title = title ? Utf8FromWide(title) : std::string();
        CoTaskMemFree(title);
        chapters.push_back(line);
    }
    ogg->Release();
    for (size_t i = 0; i < chapters.size(); ++i) {
        if (i + 1 < chapters.size())
            chapters[i].endSeconds = chapters[i + 1].startSeconds;
        else if (duration)
            chapters[i].endSeconds = static_cast<double>(*duration) / 1e7;
    }
    return chapters;
}

}  // namespace vmx::host
