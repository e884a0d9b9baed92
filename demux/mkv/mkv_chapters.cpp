#include "demux/mkv/mkv_chapters.h"

#include <cstdlib>

#include "demux/mkv/mkv_reader.h"

namespace {

// Atoms nest by recursion; a hostile file could nest them deep enough to exhaust the stack, so
// atoms below this depth are skipped.
constexpr int kMaxChapterDepth = 64;

constexpr std::uint32_t kChapterAtom = 0xB6;

}  // namespace

KMkvChapterDisplay::KMkvChapterDisplay() : language("eng") {}

void KMkvChapterDisplay::Parse(KEbmlElement& element)
{
    ForEachChild(element, [this](KEbmlElement& child) {
        switch (child.id.value) {
        case 0x85: ReadEbmlUtf8(child, string); break;
        case 0x437C: ReplaceWithEbmlAscii(child, language); break;
        case 0x437E: ReplaceWithEbmlAscii(child, country); break;
        default: break;
        }
    });
}

KMkvChapterAtom::KMkvChapterAtom()
{
    SetDefault(uid, std::rand() & 0x7FFF);
    SetDefault(flagHidden, 0);
    SetDefault(flagEnabled, 1);
}

void KMkvChapterAtom::Parse(KEbmlElement& element, int depth)
{
    ForEachChild(element, [this, depth](KEbmlElement& child) {
        switch (child.id.value) {
        case 0x73C4: uid.Read(child); break;
        case 0x91: timeStart.Read(child); break;
        case 0x92: timeEnd.Read(child); break;
        case 0x98: flagHidden.Read(child); break;
        case 0x4598: flagEnabled.Read(child); break;
        case 0x80:
            displays.emplace_back();
            displays.back().Parse(child);
            break;
        case kChapterAtom:
            if (depth + 1 >= kMaxChapterDepth)
                break;
            atoms.emplace_back();
            atoms.back().Parse(child, depth + 1);
            break;
        default: break;
        }
    });
}

void KMkvEditionEntry::Parse(KEbmlElement& element)
{
    ForEachChild(element, [this](KEbmlElement& child) {
        if (child.id.value != kChapterAtom)
            return;
        atoms.emplace_back();
        atoms.back().Parse(child);
    });
}

void KMkvChapters::Parse(KEbmlElement& element)
{
    ForEachChild(element, [this](KEbmlElement& child) {
        if (child.id.value != 0x45B9)
            return;
        editions.emplace_back();
        editions.back().Parse(child);
    });
}
