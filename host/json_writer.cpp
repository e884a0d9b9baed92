#include "host/json_writer.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace vmx::host {

namespace {

// The length of the valid UTF-8 sequence at the start of text, or 0 when it is not one
// (overlong forms, surrogates and values past U+10FFFF included).
size_t Utf8SequenceLength(std::string_view text)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    size_t length;
    std::uint32_t value;
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() < length)
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (byte(i) & 0x3F);
    }
    const bool overlong = (length == 3 && value < 0x800) || (length == 4 && value < 0x10000);
    const bool surrogate = value >= 0xD800 && value <= 0xDFFF;
    if (overlong || surrogate || value > 0x10FFFF)
        return 0;
    return length;
}

}  // namespace

std::string JsonQuoted(std::string_view text)
{
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted += '"';
    while (!text.empty()) {
        const unsigned char c = static_cast<unsigned char>(text.front());
        size_t length = 1;
        switch (c) {
        case '"': quoted += "\\\""; break;
        case '\\': quoted += "\\\\"; break;
        case '\b': quoted += "\\b"; break;
        case '\f': quoted += "\\f"; break;
        case '\n': quoted += "\\n"; break;
        case '\r': quoted += "\\r"; break;
        case '\t': quoted += "\\t"; break;
        default:
            if (c < 0x20) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", c);
                quoted += escape;
            } else if ((length = Utf8SequenceLength(text)) == 0) {
                quoted += "\\ufffd";
                length = 1;
            } else {
                quoted.append(text.substr(0, length));
            }
        }
        text.remove_prefix(length);
    }
    quoted += '"';
    return quoted;
}

void JsonWriter::NewLine(size_t depth)
{
    text_ += '\n';
    text_.append(2 * depth, ' ');
}

void JsonWriter::BeforeValue()
{
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (scopes_.empty())
        return;
    Scope& scope = scopes_.back();
    if (scope.count++ > 0)
        text_ += scope.layout == Layout::Compact ? ", " : ",";
    if (scope.layout == Layout::Indented)
        NewLine(scopes_.size());
}

JsonWriter& JsonWriter::Begin(bool object, Layout layout, char open)
{
    BeforeValue();
    // Inside a compact container everything stays on its line.
    if (!scopes_.empty() && scopes_.back().layout == Layout::Compact)
        layout = Layout::Compact;
    text_ += open;
    scopes_.push_back(Scope{object, layout});
    return *this;
}

JsonWriter& JsonWriter::End(char close)
{
    if (scopes_.empty())
        return *this;
    const Scope scope = scopes_.back();
    scopes_.pop_back();
    if (scope.layout == Layout::Indented && scope.count > 0)
        NewLine(scopes_.size());
    text_ += close;
    if (scopes_.empty())
        text_ += '\n';
    return *this;
}

JsonWriter& JsonWriter::BeginObject(Layout layout) { return Begin(true, layout, '{'); }
JsonWriter& JsonWriter::EndObject() { return End('}'); }
JsonWriter& JsonWriter::BeginArray(Layout layout) { return Begin(false, layout, '['); }
JsonWriter& JsonWriter::EndArray() { return End(']'); }

JsonWriter& JsonWriter::Key(std::string_view key)
{
    BeforeValue();
    text_ += JsonQuoted(key);
    text_ += ": ";
    afterKey_ = true;
    return *this;
}

JsonWriter& JsonWriter::String(std::string_view value)
{
    BeforeValue();
    text_ += JsonQuoted(value);
    return *this;
}

JsonWriter& JsonWriter::Int(std::int64_t value)
{
    BeforeValue();
    text_ += std::to_string(value);
    return *this;
}

JsonWriter& JsonWriter::UInt(std::uint64_t value)
{
    BeforeValue();
    text_ += std::to_string(value);
    return *this;
}

JsonWriter& JsonWriter::Double(double value)
{
    if (!std::isfinite(value))
        return Null();
    BeforeValue();
    // The shortest form that reads back as the same value.
    char number[32];
    const std::to_chars_result written = std::to_chars(number, number + sizeof number, value);
    text_.append(number, written.ptr);
    return *this;
}

JsonWriter& JsonWriter::Bool(bool value)
{
    BeforeValue();
    text_ += value ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::Null()
{
    BeforeValue();
    text_ += "null";
    return *this;
}

}  // namespace vmx::host
