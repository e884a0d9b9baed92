// The ISO 639-2 table behind the Matroska pin names: lookups by code, the pin's language text,
// and the shape of the generated table (order, bibliographic and terminology pairs, terminator).
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>

#include "demux/mkv/mkv_languages.h"

TEST(MkvLanguages, CodesGiveTheirNameAndThePinShowsTheFirstAlternative)
{
    struct Case {
        std::string_view language;
        std::string_view name;  // LanguageName of the same text
        std::string pin;
    };
    const Case cases[] = {
        {"eng", "English", "English"},
        {"ger", "German", "German"},
        {"deu", "", ""},  // terminology codes have no name of their own
        {"fre", "French", "French"},
        {"fra", "", ""},
        {"fra*", "", ""},
        {"spa", "Spanish; Castilian", "Spanish"},
        {"dut", "Flemish; Dutch", "Flemish"},
        {"nld", "", ""},
        {"nob", "Bokm\u00E5l, Norwegian; Norwegian Bokm\u00E5l", "Bokm\u00E5l, Norwegian"},
        {"zgh", "", ""},  // left out of the table, as is zxx
        {"zxx", "", ""},
        {"chi", "Chinese", "Chinese"},
        {"zho", "", ""},
        {"und", "Undetermined", "Undetermined"},
        {"zul", "Zulu", "Zulu"},
        {"JPN", "", "Japanese"},  // the pin lowercases, the lookup does not
        {"jpn-JP", "", "Japanese"},
        {"jpnx", "", "Japanese"},
        {"", "", "English"},
        {"xx", "", ""},
        {"qqq", "", ""},
        {"qaa-qtz", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.language));
        EXPECT_EQ(LanguageName(c.language), c.name);
        EXPECT_EQ(PinLanguage(c.language), c.pin);
    }
}

TEST(MkvLanguages, TableIsSortedByNameWithTerminologyRowsBehindTheirPartner)
{
    const auto table = LanguageTable();
    ASSERT_EQ(table.size(), 504u + 1u);  // and the terminator
    const KLanguageRow& last = table.back();
    EXPECT_EQ(std::string_view(last.name), "");
    EXPECT_EQ(std::string_view(last.iso639_2), "");
    EXPECT_EQ(std::string_view(last.iso639_1), "");

    std::set<std::string_view> codes;
    std::string_view previousName;
    for (std::size_t i = 0; i + 1 < table.size(); ++i) {
        const KLanguageRow& row = table[i];
        const std::string_view name = row.name;
        const std::string_view code = row.iso639_2;
        const std::string_view shortCode = row.iso639_1;
        SCOPED_TRACE(std::string(code));
        EXPECT_TRUE(codes.insert(code).second) << "duplicate code";
        EXPECT_TRUE(code.size() == 3 || code == "fra*");
        EXPECT_TRUE(shortCode.empty() || shortCode.size() == 2);
        if (name.empty()) {
            // A terminology row: right behind the named bibliographic row of the same language.
            ASSERT_GT(i, 0u);
            const KLanguageRow& partner = table[i - 1];
            EXPECT_NE(std::string_view(partner.name), "");
            EXPECT_FALSE(shortCode.empty());
            EXPECT_EQ(std::string_view(partner.iso639_1), shortCode);
            continue;
        }
        EXPECT_LE(previousName.compare(name), 0) << name << " after " << previousName;
        previousName = name;
    }
    EXPECT_EQ(codes.count("fra"), 0u);  // stored as "fra*" so that it never matches

    const std::pair<std::string_view, std::string_view> pairs[] = {
        {"ger", "deu"}, {"fre", "fra*"}, {"dut", "nld"}, {"chi", "zho"}, {"tib", "bod"}};
    for (const auto& [bibliographic, terminology] : pairs) {
        SCOPED_TRACE(std::string(bibliographic));
        std::size_t i = 0;
        while (i + 1 < table.size() && table[i].iso639_2 != bibliographic)
            ++i;
        ASSERT_LT(i + 1, table.size());
        EXPECT_EQ(std::string_view(table[i + 1].iso639_2), terminology);
    }
}
