// Element values: KSimpleVar and its tag classes (integers, floats, IDs, vint lengths), and the
// string and binary element readers. Each Read takes a cursor positioned at the element's data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

class KEbmlElement;

template <typename T, typename Tag>
class KSimpleVar {
public:
    virtual HRESULT Read(KEbmlElement& element) = 0;

    T value{};
    bool valid = false;

protected:
    KSimpleVar() = default;
    KSimpleVar(const KSimpleVar&) = default;
    KSimpleVar& operator=(const KSimpleVar&) = default;
    ~KSimpleVar() = default;
};

// A record field's default: valid with this value before any element is read.
template <typename Field, typename T>
void SetDefault(Field& field, T value)
{
    field.value = value;
    field.valid = true;
}

class CUInt : public KSimpleVar<std::uint64_t, CUInt> {
public:
    HRESULT Read(KEbmlElement& element) override;
};

class CInt : public KSimpleVar<std::int64_t, CInt> {
public:
    HRESULT Read(KEbmlElement& element) override;
};

class CFloat : public KSimpleVar<double, CFloat> {
public:
    HRESULT Read(KEbmlElement& element) override;
};

class CID : public KSimpleVar<std::uint32_t, CID> {
public:
    HRESULT Read(KEbmlElement& element) override;
};

class CLength : public KSimpleVar<std::uint64_t, CLength> {
public:
    HRESULT Read(KEbmlElement& element) override;

    bool isSigned = false;
    // The file wrote all value bits set: the value was made to run to the end of the file.
    bool unknown = false;
};

// The value holds the biased result in two's complement; SignedValue gives it back as signed.
class CSignedLength : public CLength {
public:
    CSignedLength() { isSigned = true; }
    std::int64_t SignedValue() const { return static_cast<std::int64_t>(value); }
};

class CByte : public KSimpleVar<std::uint8_t, CByte> {
public:
    HRESULT Read(KEbmlElement& element) override;
};

class CShort : public KSimpleVar<std::int16_t, CShort> {
public:
    HRESULT Read(KEbmlElement& element) override;
};

// Appends the element's bytes; on a short file keeps what was read and fails.
HRESULT ReadEbmlAscii(KEbmlElement& element, std::string& text);
// A single-valued string field: a repeated element (or one after a default) replaces the text.
inline HRESULT ReplaceWithEbmlAscii(KEbmlElement& element, std::string& text)
{
    text.clear();
    return ReadEbmlAscii(element, text);
}
// UTF-8 data to UTF-16; an embedded NUL ends the string.
HRESULT ReadEbmlUtf8(KEbmlElement& element, WString& text);
HRESULT ReadEbmlBinary(KEbmlElement& element, std::vector<BYTE>& data);
