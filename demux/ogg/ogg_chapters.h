// Chapters of an Ogg file, written as comments: CHAPTERnn=HH:MM:SS.mmm with CHAPTERnnNAME=title
// (what oggenc -c, mkvextract's simple chapter format and similar tools write).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/platform.h"

struct OggChapter {
    int number = 0;         // the nn of its tags
    REFERENCE_TIME start = 0;  // 100 ns
    std::string title;      // UTF-8; empty without a NAME tag
};

// From a comment header (Vorbis comment layout after the 7-byte signature): the chapters whose
// time reads, in order of number. A NAME without a time is no chapter; tags match in any case.
std::vector<OggChapter> ParseOggChapters(std::span<const std::uint8_t> commentPacket);
