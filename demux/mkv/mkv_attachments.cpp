#include "demux/mkv/mkv_attachments.h"

#include <algorithm>

#include "demux/mkv/mkv_reader.h"
#include "platform/fonts.h"

namespace {

// A font file is far below this; a larger FileData is a damaged size, not a font to allocate.
constexpr std::uint64_t kMaxFontSize = 64ull << 20;

using AddFontMemResourceExFn = HANDLE(WINAPI*)(PVOID, DWORD, PVOID, DWORD*);

AddFontMemResourceExFn ResolveAddFontMemResourceEx()
{
    // Looked up rather than linked, so the module loads where gdi32 lacks the call.
    static const AddFontMemResourceExFn function = []() -> AddFontMemResourceExFn {
        HMODULE gdi32 = GetModuleHandleW(WSTR("gdi32.dll"));
        if (!gdi32)
            return nullptr;
        // Through the generic function pointer type, which the compiler accepts for any signature.
        return reinterpret_cast<AddFontMemResourceExFn>(
            reinterpret_cast<void (*)()>(GetProcAddress(gdi32, "AddFontMemResourceEx")));
    }();
    return function;
}

}  // namespace

void KMkvAttachedFile::Parse(KEbmlElement& element)
{
    ForEachChild(element, [this](KEbmlElement& child) {
        switch (child.id.value) {
        case 0x467E: ReadEbmlUtf8(child, description); break;
        case 0x466E: ReadEbmlUtf8(child, name); break;
        case 0x4660: ReplaceWithEbmlAscii(child, mimeType); break;
        case 0x465C:
            dataPos = child.dataPos;
            dataSize = child.size;
            break;
        case 0x46AE: uid.Read(child); break;
        default: break;
        }
    });
}

void KMkvAttachments::Parse(KEbmlElement& element)
{
    ForEachChild(element, [this](KEbmlElement& child) {
        if (child.id.value != 0x61A7)
            return;
        files.emplace_back();
        files.back().Parse(child);
    });
}

void RegisterAttachedFonts(KMkvReader& reader, const KMkvSegment& segment, std::vector<HANDLE>& fontHandles)
{
    const AddFontMemResourceExFn addFont = ResolveAddFontMemResourceEx();
    if (!addFont)
        return;
    const LONGLONG savedPosition = reader.Tell();
    for (const KMkvAttachments& attachments : segment.attachments) {
        for (const KMkvAttachedFile& file : attachments.files) {
            if (file.mimeType != "application/x-truetype-font" || !file.dataSize.valid)
                continue;
            const LONGLONG position = std::clamp<LONGLONG>(file.dataPos, 0, reader.FileSize());
            const std::uint64_t size = file.dataSize.value;
            if (size == 0 || size > kMaxFontSize || size > static_cast<std::uint64_t>(reader.FileSize() - position))
                continue;
            std::vector<BYTE> font(static_cast<size_t>(size));
            reader.Seek(position);
            if (FAILED(reader.ReadRaw(font.data(), static_cast<DWORD>(size))))
                continue;
            DWORD fontCount = 0;
            if (HANDLE handle = addFont(font.data(), static_cast<DWORD>(size), nullptr, &fontCount))
                fontHandles.push_back(handle);
        }
    }
    reader.Seek(savedPosition);
}
