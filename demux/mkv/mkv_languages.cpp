#include "demux/mkv/mkv_languages.h"

#include <algorithm>

#include "demux/mkv/mkv_language_rows.h"

std::span<const KLanguageRow> LanguageTable() { return kLanguageRows; }

std::string_view LanguageName(std::string_view iso639_2)
{
    for (const KLanguageRow& row : kLanguageRows)
        if (iso639_2 == row.iso639_2)
            return row.name;
    return {};
}

std::string PinLanguage(std::string_view language)
{
    // A track without a Language element is English by the container's default.
    if (language.empty())
        return "English";
    std::string code(language.substr(0, 3));
    std::transform(code.begin(), code.end(), code.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    const std::string_view name = LanguageName(code);
    return std::string(name.substr(0, name.find(';')));
}
