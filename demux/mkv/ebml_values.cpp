#include "demux/mkv/ebml_values.h"

#include <bit>
#include <cstring>

#include "demux/mkv/ebml_element.h"
#include "demux/mkv/mkv_reader.h"
#include "io/byte_reader.h"

namespace {

// Big-endian bytes of an integer element: only the first eight count.
HRESULT ReadBigEndian(KEbmlElement& element, std::uint64_t& out, DWORD& width)
{
    out = 0;
    width = static_cast<DWORD>(element.size.value < 8 ? element.size.value : 8);
    BYTE bytes[8] = {};
    if (width && FAILED(element.reader->ReadRaw(bytes, width)))
        return E_FAIL;
    for (DWORD i = 0; i < width; ++i)
        out = (out << 8) | bytes[i];
    return S_OK;
}

// The element's data length when the file still holds it all; a size from the file is not
// trusted for an allocation before this check.
bool FitsInFile(KEbmlElement& element)
{
    return element.size.value <= static_cast<std::uint64_t>(element.reader->Remaining());
}

}  // namespace

HRESULT CUInt::Read(KEbmlElement& element)
{
    valid = false;
    DWORD width = 0;
    if (FAILED(ReadBigEndian(element, value, width))) {
        value = 0;
        return E_FAIL;
    }
    valid = true;
    return S_OK;
}

HRESULT CInt::Read(KEbmlElement& element)
{
    value = 0;
    valid = false;
    std::uint64_t raw = 0;
    DWORD width = 0;
    if (FAILED(ReadBigEndian(element, raw, width)))
        return E_FAIL;
    if (width && width < 8 && (raw >> (8 * width - 1)) & 1)
        raw |= ~std::uint64_t{0} << (8 * width);  // sign-extend from the top byte read
    value = static_cast<std::int64_t>(raw);
    valid = true;
    return S_OK;
}

HRESULT CFloat::Read(KEbmlElement& element)
{
    value = 0.0;
    valid = false;
    if (element.size.value == 4) {
        std::uint32_t bits = 0;
        if (FAILED(element.reader->Read4(bits)))
            return E_FAIL;
        value = static_cast<double>(std::bit_cast<float>(bits));
    } else if (element.size.value == 8) {
        std::uint64_t bits = 0;
        if (FAILED(element.reader->Read8(bits)))
            return E_FAIL;
        value = std::bit_cast<double>(bits);
    } else {
        return E_FAIL;
    }
    valid = true;
    return S_OK;
}

HRESULT CID::Read(KEbmlElement& element)
{
    value = 0;
    valid = false;
    std::uint8_t first = 0;
    if (FAILED(element.reader->Read1(first)))
        return E_FAIL;
    int extra = 0;
    if (first >= 0x80)
        extra = 0;
    else if (first >= 0x40)
        extra = 1;
    else if (first >= 0x20)
        extra = 2;
    else if (first >= 0x10)
        extra = 3;
    else
        return E_FAIL;
    // The marker bit stays, so IDs compare equal to their written form.
    std::uint32_t id = first;
    for (int i = 0; i < extra; ++i) {
        std::uint8_t next = 0;
        if (FAILED(element.reader->Read1(next)))
            return E_FAIL;
        id = (id << 8) | next;
    }
    value = id;
    valid = true;
    return S_OK;
}

HRESULT CLength::Read(KEbmlElement& element)
{
    value = 0;
    valid = false;
    unknown = false;
    std::uint8_t first = 0;
    if (FAILED(element.reader->Read1(first)) || first == 0)
        return E_FAIL;
    const int length = std::countl_zero(first) + 1;
    std::uint64_t raw = first & (0xFFu >> length);
    for (int i = 1; i < length; ++i) {
        std::uint8_t next = 0;
        if (FAILED(element.reader->Read1(next)))
            return E_FAIL;
        raw = (raw << 8) | next;
    }
    const std::uint64_t mask = (std::uint64_t{1} << (7 * length)) - 1;
    // All value bits set: an unknown size, which runs to the end of the file.
    if (raw == mask) {
        raw = static_cast<std::uint64_t>(element.reader->Remaining());
        unknown = true;
    }
    if (isSigned)
        raw -= mask >> 1;
    value = raw;
    valid = true;
    return S_OK;
}

HRESULT CByte::Read(KEbmlElement& element)
{
    value = 0;
    valid = true;
    return element.reader->Read1(value);
}

HRESULT CShort::Read(KEbmlElement& element)
{
    value = 0;
    valid = true;
    std::uint16_t raw = 0;
    if (FAILED(element.reader->Read2(raw)))
        return E_FAIL;
    value = static_cast<std::int16_t>(raw);
    return S_OK;
}

HRESULT ReadEbmlAscii(KEbmlElement& element, std::string& text)
{
    // Reads what the file holds of the data, so a size past the end cannot reserve memory.
    const bool whole = FitsInFile(element);
    const std::uint64_t count = whole ? element.size.value : static_cast<std::uint64_t>(element.reader->Remaining());
    const size_t start = text.size();
    text.resize(start + count);
    if (count && FAILED(element.reader->ReadRaw(text.data() + start, static_cast<DWORD>(count)))) {
        text.resize(start);
        return E_FAIL;
    }
    return whole ? S_OK : E_FAIL;
}

HRESULT ReadEbmlUtf8(KEbmlElement& element, WString& text)
{
    text.clear();
    if (!FitsInFile(element) || element.size.value >= 0xFFFFFFFFu)
        return E_FAIL;
    std::vector<char> buffer(element.size.value + 1, 0);
    if (element.size.value && FAILED(element.reader->ReadRaw(buffer.data(), static_cast<DWORD>(element.size.value))))
        return E_FAIL;
    const int wanted = MultiByteToWideChar(CP_UTF8, 0, buffer.data(), -1, nullptr, 0);
    if (wanted <= 0)
        return S_OK;
    text.resize(static_cast<size_t>(wanted));
    MultiByteToWideChar(CP_UTF8, 0, buffer.data(), -1, text.data(), wanted);
    // The conversion includes the terminating NUL; the string ends at the first one.
    const size_t end = text.find(u'\0');
    if (end != WString::npos)
        text.resize(end);
    return S_OK;
}

HRESULT ReadEbmlBinary(KEbmlElement& element, std::vector<BYTE>& data)
{
    data.clear();
    if (!FitsInFile(element) || element.size.value > 0xFFFFFFFFu)
        return E_FAIL;
    data.resize(element.size.value);
    if (!data.empty() && FAILED(element.reader->ReadRaw(data.data(), static_cast<DWORD>(data.size())))) {
        data.clear();
        return E_FAIL;
    }
    return S_OK;
}
