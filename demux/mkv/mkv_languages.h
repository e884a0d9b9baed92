// The ISO 639-2 language table the Matroska pins are named from: English name, three-letter
// code, two-letter code, in order of the English name.
#pragma once

#include <span>
#include <string>
#include <string_view>

struct KLanguageRow {
    const char* name;
    const char* iso639_2;
    const char* iso639_1;
};

// All rows, the empty terminating row included as the last element.
std::span<const KLanguageRow> LanguageTable();
// Linear search for an exact match on the three-letter code; the first match wins. Empty when
// the code is not in the table (or its row has no name).
std::string_view LanguageName(std::string_view iso639_2);
// What a pin name shows for a track's Language element: "English" when the element is empty;
// otherwise the first 3 characters, lowercased, looked up; only the part of the name before the
// first ";" is used ("Spanish; Castilian" -> "Spanish"); an unknown code gives "".
std::string PinLanguage(std::string_view language);
