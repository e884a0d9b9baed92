// Memory fonts: the stand-ins for gdi32's AddFontMemResourceEx and the GetModuleHandleW /
// GetProcAddress pair a module uses to find it, and the listing hosts read.
#include "platform/fonts.h"

#include <cstdint>
#include <cstring>
#include <mutex>
#include <span>

namespace {

struct MemoryFont {
    HANDLE handle;
    std::vector<BYTE> bytes;
};

struct FontRegistry {
    std::mutex mutex;
    std::vector<MemoryFont> fonts;
    std::uintptr_t nextHandle = 0x4F000001;
};

FontRegistry& Registry()
{
    static FontRegistry registry;
    return registry;
}

// Only its address is used, as the module handle of gdi32.
const char kGdi32 = 0;

bool EqualsIgnoringAsciiCase(LPCWSTR text, const char* expected)
{
    for (; *expected; ++text, ++expected) {
        WCHAR c = *text;
        if (c >= 'A' && c <= 'Z')
            c = static_cast<WCHAR>(c - 'A' + 'a');
        if (c != static_cast<WCHAR>(*expected))
            return false;
    }
    return *text == 0;
}

bool LooksLikeFont(std::span<const BYTE> bytes)
{
    if (bytes.size() < 4)
        return false;
    static constexpr BYTE kSignatures[][4] = {{0x00, 0x01, 0x00, 0x00}, {'t', 'r', 'u', 'e'}, {'O', 'T', 'T', 'O'}};
    for (const auto& signature : kSignatures)
        if (std::memcmp(bytes.data(), signature, 4) == 0)
            return true;
    return false;
}

std::uint32_t Be16(std::span<const BYTE> bytes, size_t at) { return (std::uint32_t{bytes[at]} << 8) | bytes[at + 1]; }
std::uint32_t Be32(std::span<const BYTE> bytes, size_t at) { return (Be16(bytes, at) << 16) | Be16(bytes, at + 2); }

// The family name (nameID 1) from the 'name' table: the Windows platform's UTF-16BE record
// first, else the Macintosh Roman one; empty when neither lies wholly within the font.
WString FamilyName(std::span<const BYTE> font)
{
    constexpr size_t kDirectorySize = 12;
    constexpr size_t kTableRecordSize = 16;
    constexpr size_t kNameRecordSize = 12;
    if (font.size() < kDirectorySize)
        return WString();
    const size_t tableCount = Be16(font, 4);
    std::span<const BYTE> names;
    for (size_t i = 0; i < tableCount; ++i) {
        const size_t record = kDirectorySize + i * kTableRecordSize;
        if (record + kTableRecordSize > font.size())
            return WString();
        if (std::memcmp(&font[record], "name", 4) != 0)
            continue;
        const size_t offset = Be32(font, record + 8);
        const size_t length = Be32(font, record + 12);
        if (offset > font.size() || length > font.size() - offset)
            return WString();
        names = font.subspan(offset, length);
        break;
    }
    if (names.size() < 6)
        return WString();
    const size_t count = Be16(names, 2);
    const size_t storage = Be16(names, 4);
    WString roman;
    for (size_t i = 0; i < count; ++i) {
        const size_t record = 6 + i * kNameRecordSize;
        if (record + kNameRecordSize > names.size())
            break;
        const std::uint32_t platform = Be16(names, record);
        const std::uint32_t encoding = Be16(names, record + 2);
        if (Be16(names, record + 6) != 1 || !(platform == 3 || (platform == 1 && encoding == 0)))
            continue;
        const size_t length = Be16(names, record + 8);
        const size_t offset = storage + Be16(names, record + 10);
        if (offset > names.size() || length > names.size() - offset)
            continue;
        const std::span<const BYTE> text = names.subspan(offset, length);
        if (platform == 3) {
            WString family;
            for (size_t at = 0; at + 1 < text.size(); at += 2)
                family.push_back(static_cast<WCHAR>(Be16(text, at)));
            return family;
        }
        // Mac Roman agrees with ASCII below 0x80, which is all a family name needs here.
        if (roman.empty())
            for (BYTE c : text)
                roman.push_back(static_cast<WCHAR>(c));
    }
    return roman;
}

}  // namespace

HMODULE GetModuleHandleW(LPCWSTR moduleName)
{
    if (!moduleName || !EqualsIgnoringAsciiCase(moduleName, "gdi32.dll"))
        return nullptr;
    return const_cast<char*>(&kGdi32);
}

FARPROC GetProcAddress(HMODULE module, LPCSTR procName)
{
    if (module != &kGdi32 || !procName || std::strcmp(procName, "AddFontMemResourceEx") != 0)
        return nullptr;
    // Through the generic function pointer type, which the compiler accepts for any signature.
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&AddFontMemResourceEx));
}

HANDLE WINAPI AddFontMemResourceEx(PVOID fontData, DWORD size, PVOID, DWORD* fontCount)
{
    if (!fontData || !fontCount)
        return nullptr;
    const std::span<const BYTE> bytes(static_cast<const BYTE*>(fontData), size);
    if (!LooksLikeFont(bytes))
        return nullptr;
    FontRegistry& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    HANDLE handle = reinterpret_cast<HANDLE>(registry.nextHandle++);
    registry.fonts.push_back({handle, std::vector<BYTE>(bytes.begin(), bytes.end())});
    *fontCount = 1;
    return handle;
}

std::vector<VmxMemoryFont> VmxListMemoryFonts()
{
    FontRegistry& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    std::vector<VmxMemoryFont> listing;
    for (const MemoryFont& font : registry.fonts)
        listing.push_back({font.bytes.size(), FamilyName(font.bytes)});
    return listing;
}
