// Media types described for a person: names for the types the module uses, and the fields of
// the format block, every one read within the block's stated length.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace vmx::host {

// Braced upper-case form, {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}.
std::string GuidText(REFGUID guid);

// "Video", "Audio", ... or the braced GUID.
std::string MajorTypeName(REFGUID majorType);
// A wave format tag ("MP3 (0x0055)"), four characters ("H264"), a known name, or the braced GUID.
std::string SubtypeName(REFGUID subtype);
// "WaveFormatEx", "VideoInfo", ... or the braced GUID.
std::string FormatTypeName(REFGUID formatType);
// Four printable characters, or the code in hex.
std::string FourccText(DWORD fourcc);

struct FormatField {
    std::string name;
    std::string value;
};

// The fields of the format block for the format types it knows. A block shorter than its
// structure yields the fields that fit and a "warning" field; so does a length inside the block
// that claims more bytes than follow.
std::vector<FormatField> FormatBlockFields(const AM_MEDIA_TYPE& mt);

// Lines describing the type: major type and subtype, format type and size, the sample flags,
// then one line per format field.
std::vector<std::string> DescribeMediaType(const AM_MEDIA_TYPE& mt);

// The format block's bytes (within cbFormat), empty when there is none.
std::span<const BYTE> FormatBlock(const AM_MEDIA_TYPE& mt);

// Two lower-case hex digits per byte, joined by the separator.
std::string HexBytes(std::span<const BYTE> bytes, std::string_view separator = "");

}  // namespace vmx::host
