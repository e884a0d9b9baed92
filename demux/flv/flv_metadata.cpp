#include "demux/flv/flv_metadata.h"

#include <bit>
#include <cmath>
#include <functional>
#include <optional>
#include <string_view>

#include "io/byte_reader.h"

namespace {

enum AmfType : std::uint8_t {
    kNumber = 0,
    kBoolean = 1,
    kString = 2,
    kObject = 3,
    kNull = 5,
    kUndefined = 6,
    kReference = 7,
    kEcmaArray = 8,
    kObjectEnd = 9,
    kStrictArray = 10,
    kDate = 11,
    kLongString = 12,
};

// Objects nest; a hostile file must not run the stack out.
constexpr int kMaxDepth = 16;

// Where a value read goes, when anywhere: a number (numbers and booleans), the numbers of a
// strict array, or per member of an object a capture chosen by the member's name.
struct AmfCapture {
    std::optional<double>* number = nullptr;
    std::vector<double>* numbers = nullptr;
    std::function<AmfCapture(std::string_view)> member;
};

AmfCapture CaptureNumber(std::optional<double>* number)
{
    AmfCapture capture;
    capture.number = number;
    return capture;
}

AmfCapture CaptureNumbers(std::vector<double>* numbers)
{
    AmfCapture capture;
    capture.numbers = numbers;
    return capture;
}

class AmfReader {
public:
    explicit AmfReader(std::span<const std::uint8_t> data) : m_reader(data) {}

    bool Value(int depth, const AmfCapture& capture)
    {
        std::uint8_t type = 0;
        if (depth > kMaxDepth || !m_reader.Read1(&type))
            return false;
        switch (type) {
        case kNumber: {
            std::uint64_t bits = 0;
            if (!m_reader.ReadBE8(&bits))
                return false;
            if (capture.number)
                *capture.number = std::bit_cast<double>(bits);
            return true;
        }
        case kBoolean: {
            std::uint8_t value = 0;
            if (!m_reader.Read1(&value))
                return false;
            if (capture.number)
                *capture.number = value ? 1.0 : 0.0;
            return true;
        }
        case kString:
            return Text16(nullptr);
        case kLongString: {
            std::uint32_t length = 0;
            return m_reader.ReadBE4(&length) && m_reader.Skip(length);
        }
        case kNull:
        case kUndefined:
            return true;
        case kReference:
            return m_reader.Skip(2);
        case kDate:
            return m_reader.Skip(10);
        case kEcmaArray:  // the count is advisory: the members run to the end marker
            if (!m_reader.Skip(4))
                return false;
            return Members(depth, capture);
        case kObject:
            return Members(depth, capture);
        case kStrictArray: {
            std::uint32_t count = 0;
            if (!m_reader.ReadBE4(&count))
                return false;
            for (std::uint32_t i = 0; i < count; ++i) {
                std::optional<double> element;
                if (!Value(depth + 1, CaptureNumber(capture.numbers ? &element : nullptr)))
                    return false;
                if (capture.numbers && element)
                    capture.numbers->push_back(*element);
            }
            return true;
        }
        default:
            return false;
        }
    }

private:
    bool Text16(std::string_view* text)
    {
        std::uint16_t length = 0;
        std::span<const std::uint8_t> bytes;
        if (!m_reader.ReadBE2(&length) || !m_reader.ReadBytes(length, &bytes))
            return false;
        if (text)
            *text = std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return true;
    }

    // Name/value pairs up to the end marker: an empty name and the type byte 9.
    bool Members(int depth, const AmfCapture& capture)
    {
        for (;;) {
            std::string_view name;
            if (!Text16(&name))
                return false;
            if (name.empty()) {
                std::uint8_t marker = 0;
                if (m_reader.Remaining() > 0 && m_reader.Read1(&marker) && marker == kObjectEnd)
                    return true;
                return false;
            }
            const AmfCapture member = capture.member ? capture.member(name) : AmfCapture{};
            if (!Value(depth + 1, member))
                return false;
        }
    }

    KByteReader m_reader;
};

}  // namespace

bool FlvMetadata::Parse(std::span<const std::uint8_t> data)
{
    AmfReader reader(data);
    if (!reader.Value(0, {}))  // the event name; its text is not compared
        return false;

    struct Named {
        std::string_view name;
        std::optional<double> value;
    };
    Named numbers[] = {{"audiocodecid", {}}, {"audiodatarate", {}}, {"audiodelay", {}}, {"audiosamplerate", {}},
                       {"audiosamplesize", {}}, {"canSeekToEnd", {}}, {"duration", {}}, {"filesize", {}},
                       {"framerate", {}}, {"height", {}}, {"stereo", {}}, {"videocodecid", {}},
                       {"videodatarate", {}}, {"width", {}}};
    std::vector<double> times, positions;
    const AmfCapture keyframes{.member = [&](std::string_view name) {
        if (name == "times")
            return CaptureNumbers(&times);
        if (name == "filepositions")
            return CaptureNumbers(&positions);
        return AmfCapture{};
    }};
    const AmfCapture object{.member = [&](std::string_view name) {
        if (name == "keyframes")
            return keyframes;
        for (Named& entry : numbers)
            if (entry.name == name)
                return CaptureNumber(&entry.value);
        return AmfCapture{};
    }};
    reader.Value(0, object);  // a damaged object keeps the properties read before the damage

    const auto get = [&](std::string_view name) {
        for (const Named& entry : numbers)
            if (entry.name == name && entry.value && std::isfinite(*entry.value))
                return *entry.value;
        return 0.0;
    };
    audiocodecid = get("audiocodecid");
    audiodatarate = get("audiodatarate");
    audiodelay = get("audiodelay");
    audiosamplerate = get("audiosamplerate");
    audiosamplesize = get("audiosamplesize");
    canSeekToEnd = get("canSeekToEnd") != 0;
    // Seconds to whole milliseconds; beyond a century is no duration.
    const double seconds = get("duration");
    durationMs = seconds > 0 && seconds < 3.2e9 ? static_cast<std::int64_t>(seconds * 1000) : 0;
    filesize = get("filesize");
    framerate = get("framerate");
    height = get("height");
    stereo = get("stereo") != 0;
    videocodecid = get("videocodecid");
    videodatarate = get("videodatarate");
    width = get("width");
    if (times.size() == positions.size()) {
        keyframeTimes = std::move(times);
        keyframePositions = std::move(positions);
    }
    return true;
}
