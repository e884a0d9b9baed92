// UTF-16 <-> UTF-8 at the system boundary. Every code page maps to UTF-8 here.
#include <string>

#include "platform/posix/text.h"
#include "platform/win32.h"

namespace vmx::posix {

std::string ToUtf8(const WCHAR* text, std::size_t count)
{
    std::string out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;  // a lone surrogate cannot be encoded
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string ToUtf8(const WCHAR* text) { return text ? ToUtf8(text, std::char_traits<char16_t>::length(text)) : std::string(); }

std::u16string FromUtf8(const char* text, std::size_t count)
{
    std::u16string out;
    out.reserve(count);
    std::size_t i = 0;
    auto byteAt = [&](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
    while (i < count) {
        std::uint32_t c = byteAt(i);
        std::size_t extra = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : 99;
        if (extra == 99 || i + extra >= count + (extra ? 0 : 1)) {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        if (extra) {
            c &= 0x3F >> extra;
            bool valid = true;
            for (std::size_t k = 1; k <= extra; ++k) {
                if ((byteAt(i + k) & 0xC0) != 0x80)
                    valid = false;
                c = (c << 6) | (byteAt(i + k) & 0x3F);
            }
            if (!valid) {
                out += u'\uFFFD';
                ++i;
                continue;
            }
        }
        i += extra + 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

}  // namespace vmx::posix

using namespace vmx::posix;

int lstrlenW(LPCWSTR text) { return text ? static_cast<int>(std::char_traits<char16_t>::length(text)) : 0; }

int WideCharToMultiByte(UINT, DWORD, LPCWSTR wide, int wideCount, LPSTR multi, int multiCount, LPCSTR, BOOL* usedDefault)
{
    if (usedDefault)
        *usedDefault = FALSE;
    if (!wide || multiCount < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // -1 means "up to and including the terminator".
    std::size_t count = wideCount < 0 ? static_cast<std::size_t>(lstrlenW(wide)) + 1 : static_cast<std::size_t>(wideCount);
    std::string text = ToUtf8(wide, count);
    if (multiCount == 0)
        return static_cast<int>(text.size());
    if (text.size() > static_cast<std::size_t>(multiCount)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    text.copy(multi, text.size());
    return static_cast<int>(text.size());
}

int MultiByteToWideChar(UINT, DWORD, LPCSTR multi, int multiCount, LPWSTR wide, int wideCount)
{
    if (!multi || wideCount < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::size_t count = multiCount < 0 ? std::char_traits<char>::length(multi) + 1 : static_cast<std::size_t>(multiCount);
    std::u16string text = FromUtf8(multi, count);
    if (wideCount == 0)
        return static_cast<int>(text.size());
    if (text.size() > static_cast<std::size_t>(wideCount)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    text.copy(wide, text.size());
    return static_cast<int>(text.size());
}
