// ASF header objects: the GUIDs that name them and one plain record per object the demuxer
// reads, each parsed from the object's bytes with checked reads. All fields are little-endian;
// a GUID is stored in the platform's own layout, so it compares as read.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/platform.h"

VMX_GUID(ASF_Header_Object, 0x75B22630, 0x668E, 0x11CF, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C);
VMX_GUID(ASF_Data_Object, 0x75B22636, 0x668E, 0x11CF, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C);
VMX_GUID(ASF_File_Properties_Object, 0x8CABDCA1, 0xA947, 0x11CF, 0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65);
VMX_GUID(ASF_Stream_Properties_Object, 0xB7DC0791, 0xA9B7, 0x11CF, 0x8E, 0xE6, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65);
VMX_GUID(ASF_Header_Extension_Object, 0x5FBF03B5, 0xA92E, 0x11CF, 0x8E, 0xE3, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65);
VMX_GUID(ASF_Bitrate_Mutual_Exclusion_Object, 0xD6E229DC, 0x35DA, 0x11D1, 0x90, 0x34, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xBE);
VMX_GUID(ASF_Stream_Bitrate_Properties_Object, 0x7BF875CE, 0x468D, 0x11D1, 0x8D, 0x82, 0x00, 0x60, 0x97, 0xC9, 0xA2, 0xB2);
VMX_GUID(ASF_Extended_Stream_Properties_Object, 0x14E6A5CB, 0xC672, 0x4332, 0x83, 0x99, 0xA9, 0x69, 0x52, 0x06, 0x5B, 0x5A);
VMX_GUID(ASF_Advanced_Mutual_Exclusion_Object, 0xA08649CF, 0x4775, 0x4670, 0x8A, 0x16, 0x6E, 0x35, 0x35, 0x75, 0x66, 0xCD);
VMX_GUID(ASF_Language_List_Object, 0x7C4346A9, 0xEFE0, 0x4BFC, 0xB2, 0x29, 0x39, 0x3E, 0xDE, 0x41, 0x5C, 0x85);
VMX_GUID(ASF_Group_Mutual_Exclusion_Object, 0xD1465A40, 0x5A79, 0x4338, 0xB7, 0x1B, 0xE3, 0x6B, 0x8F, 0xD6, 0xC2, 0x49);
VMX_GUID(ASF_Simple_Index_Object, 0x33000890, 0xE5B1, 0x11CF, 0x89, 0xF4, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xCB);
VMX_GUID(ASF_Audio_Media, 0xF8699E40, 0x5B4D, 0x11CF, 0xA8, 0xFD, 0x00, 0x80, 0x5F, 0x5C, 0x44, 0x2B);
VMX_GUID(ASF_Video_Media, 0xBC19EFC0, 0x5B4D, 0x11CF, 0xA8, 0xFD, 0x00, 0x80, 0x5F, 0x5C, 0x44, 0x2B);
VMX_GUID(ASF_Audio_Spread, 0xBFC3CD50, 0x618F, 0x11CF, 0x8B, 0xB2, 0x00, 0xAA, 0x00, 0xB4, 0xE2, 0x20);

struct AsfFileProperties {
    std::uint64_t fileSize = 0;
    std::uint64_t dataPacketsCount = 0;
    std::uint64_t playDuration = 0;  // 100 ns
    std::uint64_t sendDuration = 0;
    std::uint64_t preroll = 0;  // ms
    std::uint32_t flags = 0;
    std::uint32_t minimumPacketSize = 0;
    std::uint32_t maximumPacketSize = 0;
    std::uint32_t maximumBitrate = 0;
};

struct AsfStreamProperties {
    GUID streamType{};
    GUID errorCorrectionType{};
    std::uint64_t timeOffset = 0;  // 100 ns
    std::uint16_t streamNumber = 0;
    std::vector<BYTE> typeSpecific;
    std::vector<BYTE> errorCorrection;
};

struct AsfExtendedStreamProperties {
    std::uint32_t dataBitrate = 0;
    std::uint16_t streamNumber = 0;
    std::uint16_t languageIndex = 0;
    std::uint64_t averageTimePerFrame = 0;
};

struct AsfExclusion {
    std::vector<std::uint16_t> streamNumbers;
};

struct AsfStreamBitrate {
    std::uint16_t streamNumber = 0;
    std::uint32_t averageBitrate = 0;
};

struct AsfSimpleIndex {
    std::uint64_t interval = 0;  // 100 ns
    std::uint32_t maximumPacketCount = 0;
    struct Entry {
        std::uint32_t packet = 0;
        std::uint16_t count = 0;
    };
    std::vector<Entry> entries;
};

// What the Header Object holds that the demuxer uses.
struct AsfHeader {
    std::optional<AsfFileProperties> fileProperties;
    std::vector<AsfStreamProperties> streams;
    std::vector<AsfExtendedStreamProperties> extendedStreams;
    std::vector<AsfExclusion> advancedExclusions;
    std::vector<std::u16string> languages;
    bool hasLanguageList = false;
    std::optional<AsfExclusion> bitrateExclusion;
    std::vector<AsfStreamBitrate> bitrates;
    bool hasHeaderExtension = false;
};

// Parses the Header Object's bytes after its 24-byte object header (the object count and
// reserved bytes, then the children). False on a malformed or repeated object.
bool ParseAsfHeader(std::span<const BYTE> body, AsfHeader& header);

// The fixed fields of the smallest data packet.
constexpr LONGLONG kAsfMinimumPacket = 11;
// A data packet field of the given length type (0 absent, 1 a byte, 2 a u16, 3 a u32) at `at`,
// which moves past it; false when the packet ends first.
bool ReadAsfTypedField(std::span<const BYTE> bytes, size_t& at, int type, std::uint32_t& value);
// A Simple Index Object's bytes after its object header.
std::optional<AsfSimpleIndex> ParseAsfSimpleIndex(std::span<const BYTE> body);
