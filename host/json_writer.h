// A small JSON writer for the tools' reports: values are appended in document order, commas
// and indentation are placed by the writer, and every string is escaped to valid JSON.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vmx::host {

// The string as a JSON literal, quotes included. Control characters are escaped; bytes that are
// not valid UTF-8 become U+FFFD, so the document stays valid whatever the input.
std::string JsonQuoted(std::string_view text);

class JsonWriter {
public:
    // A compact container keeps all its contents on one line (for the many small records).
    enum class Layout { Indented, Compact };

    JsonWriter& BeginObject(Layout layout = Layout::Indented);
    JsonWriter& EndObject();
    JsonWriter& BeginArray(Layout layout = Layout::Indented);
    JsonWriter& EndArray();
    // The key of the next value; only inside an object.
    JsonWriter& Key(std::string_view key);

    JsonWriter& String(std::string_view value);
    JsonWriter& Int(std::int64_t value);
    JsonWriter& UInt(std::uint64_t value);
    // Not-a-number and infinities have no JSON form and are written as null.
    JsonWriter& Double(double value);
    JsonWriter& Bool(bool value);
    JsonWriter& Null();

    // The document so far; complete once every container is closed.
    const std::string& Text() const { return text_; }
    bool Complete() const { return scopes_.empty() && !text_.empty(); }

private:
    struct Scope {
        bool object;
        Layout layout;
        size_t count = 0;
    };

    void BeforeValue();
    void NewLine(size_t depth);
    JsonWriter& Begin(bool object, Layout layout, char open);
    JsonWriter& End(char close);

    std::string text_;
    std::vector<Scope> scopes_;
    bool afterKey_ = false;
};

}  // namespace vmx::host
