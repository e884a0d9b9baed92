// The Chapters record of a Matroska file: editions of nested chapter atoms with their titles,
// and the parser that fills it from a Chapters element.
#pragma once

#include <string>
#include <vector>

#include "demux/mkv/ebml_values.h"

struct KMkvChapterDisplay {
    WString string;
    std::string language;  // defaults to "eng"
    std::string country;

    KMkvChapterDisplay();
    void Parse(KEbmlElement& element);
};

struct KMkvChapterAtom {
    CUInt uid;        // defaults to a random 15-bit value
    CUInt timeStart;  // nanoseconds
    CUInt timeEnd;    // nanoseconds
    CUInt flagHidden;
    CUInt flagEnabled;
    std::vector<KMkvChapterDisplay> displays;
    std::vector<KMkvChapterAtom> atoms;

    KMkvChapterAtom();
    // depth counts the atoms enclosing this one.
    void Parse(KEbmlElement& element, int depth = 0);
};

struct KMkvEditionEntry {
    std::vector<KMkvChapterAtom> atoms;

    void Parse(KEbmlElement& element);
};

struct KMkvChapters {
    std::vector<KMkvEditionEntry> editions;

    void Parse(KEbmlElement& element);
};
