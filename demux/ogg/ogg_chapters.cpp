#include "demux/ogg/ogg_chapters.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <string_view>

#include "io/byte_reader.h"

namespace {

constexpr REFERENCE_TIME kMillisecond = 10000;

// HH:MM:SS.mmm; the hours may have more digits, the fraction fewer or none.
std::optional<REFERENCE_TIME> ParseTime(std::string_view text)
{
    long long fields[3] = {0, 0, 0};
    size_t at = 0;
    for (int field = 0; field < 3; ++field) {
        const size_t begin = at;
        while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) && at - begin < 9)
            fields[field] = fields[field] * 10 + (text[at++] - '0');
        if (at == begin)
            return std::nullopt;
        if (field < 2 && (at >= text.size() || text[at++] != ':'))
            return std::nullopt;
    }
    if (fields[1] > 59 || fields[2] > 59)
        return std::nullopt;
    long long milliseconds = 0;
    if (at < text.size()) {
        if (text[at++] != '.')
            return std::nullopt;
        int digits = 0;
        for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at)
            if (digits < 3) {
                milliseconds = milliseconds * 10 + (text[at] - '0');
                ++digits;
            }
        if (at != text.size() || digits == 0)
            return std::nullopt;
        for (; digits < 3; ++digits)
            milliseconds *= 10;
    }
    return ((fields[0] * 3600 + fields[1] * 60 + fields[2]) * 1000 + milliseconds) * kMillisecond;
}

// "CHAPTER" then digits, then nothing (the time) or "NAME" (the title); the number, or -1.
int ChapterTag(std::string_view tag, bool* name)
{
    constexpr std::string_view kPrefix = "CHAPTER";
    if (tag.size() <= kPrefix.size())
        return -1;
    for (size_t i = 0; i < kPrefix.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(tag[i])) != kPrefix[i])
            return -1;
    size_t at = kPrefix.size();
    int number = 0;
    while (at < tag.size() && std::isdigit(static_cast<unsigned char>(tag[at])) && number < 100000)
        number = number * 10 + (tag[at++] - '0');
    if (at == kPrefix.size())
        return -1;
    std::string rest(tag.substr(at));
    std::transform(rest.begin(), rest.end(), rest.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    if (rest.empty())
        *name = false;
    else if (rest == "NAME")
        *name = true;
    else
        return -1;
    return number;
}

}  // namespace

std::vector<OggChapter> ParseOggChapters(std::span<const std::uint8_t> packet)
{
    std::map<int, std::optional<REFERENCE_TIME>> times;
    std::map<int, std::string> titles;
    KByteReader reader(packet);
    std::uint32_t vendor = 0, count = 0;
    if (reader.Skip(7) && reader.ReadLE4(&vendor) && reader.Skip(vendor) && reader.ReadLE4(&count)) {
        for (std::uint32_t i = 0; i < count; ++i) {
            std::uint32_t length = 0;
            std::span<const std::uint8_t> bytes;
            if (!reader.ReadLE4(&length) || !reader.ReadBytes(length, &bytes))
                break;
            const std::string_view entry(reinterpret_cast<const char*>(bytes.data()), bytes.size());
            const size_t equals = entry.find('=');
            bool name = false;
            const int number = equals == std::string_view::npos ? -1 : ChapterTag(entry.substr(0, equals), &name);
            if (number < 0)
                continue;
            const std::string_view value = entry.substr(equals + 1);
            if (name)
                titles.emplace(number, std::string(value));
            else if (const auto time = ParseTime(value))
                times.emplace(number, time);
        }
    }
    std::vector<OggChapter> chapters;
    for (const auto& [number, time] : times) {
        if (!time)
            continue;
        const auto title = titles.find(number);
        chapters.push_back({number, *time, title == titles.end() ? std::string() : title->second});
    }
    return chapters;
}
