// The Attachments record of a Matroska file (files stored beside the tracks, typically the fonts
// of its subtitles), its parser, and the registration of the attached TrueType fonts.
#pragma once

#include <string>
#include <vector>

#include "demux/mkv/ebml_values.h"

class KMkvReader;
struct KMkvSegment;

struct KMkvAttachedFile {
    WString description;
    WString name;
    std::string mimeType;
    // FileData is not read with the record: where its bytes lie and how many there are.
    LONGLONG dataPos = 0;
    CLength dataSize;
    CUInt uid;

    void Parse(KEbmlElement& element);
};

struct KMkvAttachments {
    std::vector<KMkvAttachedFile> files;

    void Parse(KEbmlElement& element);
};

// Hands every attachment of MIME type application/x-truetype-font to the system's memory-font
// call, appending each handle it returns. The fonts stay registered for the life of the process.
// Does nothing when the system has no such call.
void RegisterAttachedFonts(KMkvReader& reader, const KMkvSegment& segment, std::vector<HANDLE>& fontHandles);
