#include "demux/asf/asf_objects.h"

#include <cstring>

#include "io/byte_reader.h"

namespace {

bool ReadGuid(KByteReader& reader, GUID* guid)
{
    std::span<const BYTE> bytes;
    if (!reader.ReadBytes(sizeof(GUID), &bytes))
        return false;
    std::memcpy(guid, bytes.data(), sizeof(GUID));
    return true;
}

// One child object: its GUID and its body (the bytes after the 24-byte object header).
bool ReadObject(KByteReader& reader, GUID* guid, std::span<const BYTE>* body)
{
    std::uint64_t size = 0;
    const size_t start = reader.Position();
    if (!ReadGuid(reader, guid) || !reader.ReadLE8(&size) || size < 24 || size - 24 > reader.Remaining()
        || !reader.ReadBytes(static_cast<size_t>(size - 24), body)) {
        (void)start;
        return false;
    }
    return true;
}

bool ReadBlock(KByteReader& reader, std::uint32_t length, std::vector<BYTE>* out)
{
    std::span<const BYTE> bytes;
    if (!reader.ReadBytes(length, &bytes))
        return false;
    out->assign(bytes.begin(), bytes.end());
    return true;
}

bool ParseStreamProperties(std::span<const BYTE> body, AsfStreamProperties& stream)
{
    KByteReader reader(body);
    std::uint32_t typeLength = 0, correctionLength = 0, reserved = 0;
    std::uint16_t flags = 0;
    if (!ReadGuid(reader, &stream.streamType) || !ReadGuid(reader, &stream.errorCorrectionType)
        || !reader.ReadLE8(&stream.timeOffset) || !reader.ReadLE4(&typeLength) || !reader.ReadLE4(&correctionLength)
        || !reader.ReadLE2(&flags) || !reader.ReadLE4(&reserved) || !ReadBlock(reader, typeLength, &stream.typeSpecific)
        || !ReadBlock(reader, correctionLength, &stream.errorCorrection))
        return false;
    stream.streamNumber = flags & 0x7F;
    return true;
}

bool ParseExclusion(std::span<const BYTE> body, AsfExclusion& exclusion)
{
    KByteReader reader(body);
    GUID type{};
    std::uint16_t count = 0;
    if (!ReadGuid(reader, &type) || !reader.ReadLE2(&count))
        return false;
    for (std::uint16_t i = 0; i < count; ++i) {
        std::uint16_t number = 0;
        if (!reader.ReadLE2(&number))
            return false;
        exclusion.streamNumbers.push_back(number);
    }
    return true;
}

// An Extended Stream Properties Object, and the Stream Properties Object it may carry.
bool ParseExtendedStream(std::span<const BYTE> body, AsfHeader& header)
{
    KByteReader reader(body);
    AsfExtendedStreamProperties extended;
    std::uint64_t startTime = 0, endTime = 0;
    std::uint32_t skipped[7] = {};
    std::uint32_t flags = 0;
    std::uint16_t nameCount = 0, extensionCount = 0;
    if (!reader.ReadLE8(&startTime) || !reader.ReadLE8(&endTime) || !reader.ReadLE4(&extended.dataBitrate))
        return false;
    for (std::uint32_t& value : skipped)
        if (!reader.ReadLE4(&value))
            return false;
    (void)flags;
    if (!reader.ReadLE2(&extended.streamNumber) || !reader.ReadLE2(&extended.languageIndex)
        || !reader.ReadLE8(&extended.averageTimePerFrame) || !reader.ReadLE2(&nameCount) || !reader.ReadLE2(&extensionCount))
        return false;
    for (std::uint16_t i = 0; i < nameCount; ++i) {
        std::uint16_t language = 0, length = 0;
        if (!reader.ReadLE2(&language) || !reader.ReadLE2(&length) || !reader.Skip(2u * length))
            return false;
    }
    for (std::uint16_t i = 0; i < extensionCount; ++i) {
        GUID system{};
        std::uint16_t size = 0;
        std::uint32_t infoLength = 0;
        if (!ReadGuid(reader, &system) || !reader.ReadLE2(&size) || !reader.ReadLE4(&infoLength) || !reader.Skip(infoLength))
            return false;
    }
    header.extendedStreams.push_back(extended);
    // An embedded Stream Properties Object may follow; anything else is left as read.
    GUID next{};
    std::span<const BYTE> nested;
    KByteReader rest = reader;
    if (reader.Remaining() > 0 && ReadObject(rest, &next, &nested) && next == ASF_Stream_Properties_Object) {
        AsfStreamProperties stream;
        if (!ParseStreamProperties(nested, stream))
            return false;
        header.streams.push_back(std::move(stream));
    }
    return true;
}

bool ParseLanguageList(std::span<const BYTE> body, AsfHeader& header)
{
    KByteReader reader(body);
    std::uint16_t count = 0;
    if (!reader.ReadLE2(&count))
        return false;
    for (std::uint16_t i = 0; i < count; ++i) {
        std::uint8_t length = 0;
        std::span<const BYTE> text;
        if (!reader.Read1(&length) || !reader.ReadBytes(length, &text))
            return false;
        std::u16string language;
        for (size_t at = 0; at + 1 < text.size(); at += 2)
            language.push_back(static_cast<char16_t>(ReadLE16(text.data() + at)));
        while (!language.empty() && language.back() == 0)
            language.pop_back();
        header.languages.push_back(std::move(language));
    }
    header.hasLanguageList = true;
    return true;
}

bool ParseHeaderExtension(std::span<const BYTE> body, AsfHeader& header)
{
    KByteReader reader(body);
    GUID reserved{};
    std::uint16_t reserved2 = 0;
    std::uint32_t dataSize = 0;
    std::span<const BYTE> data;
    if (!ReadGuid(reader, &reserved) || !reader.ReadLE2(&reserved2) || !reader.ReadLE4(&dataSize)
        || !reader.ReadBytes(dataSize, &data))
        return false;
    KByteReader nested(data);
    while (nested.Remaining() > 0) {
        GUID guid{};
        std::span<const BYTE> child;
        if (!ReadObject(nested, &guid, &child))
            return false;
        if (guid == ASF_Extended_Stream_Properties_Object) {
            if (!ParseExtendedStream(child, header))
                return false;
        } else if (guid == ASF_Advanced_Mutual_Exclusion_Object) {
            AsfExclusion exclusion;
            if (!ParseExclusion(child, exclusion))
                return false;
            header.advancedExclusions.push_back(std::move(exclusion));
        } else if (guid == ASF_Language_List_Object) {
            if (header.hasLanguageList || !ParseLanguageList(child, header))
                return false;
        }
    }
    return true;
}

}  // namespace

bool ParseAsfHeader(std::span<const BYTE> body, AsfHeader& header)
{
    header = AsfHeader{};
    KByteReader reader(body);
    std::uint32_t count = 0;
    std::uint8_t reserved1 = 0, reserved2 = 0;
    if (!reader.ReadLE4(&count) || !reader.Read1(&reserved1) || !reader.Read1(&reserved2))
        return false;
    for (std::uint32_t i = 0; i < count; ++i) {
        GUID guid{};
        std::span<const BYTE> child;
        if (!ReadObject(reader, &guid, &child))
            return false;
        if (guid == ASF_File_Properties_Object) {
            KByteReader fields(child);
            AsfFileProperties properties;
            GUID fileId{};
            std::uint64_t creationDate = 0;
            if (header.fileProperties || !ReadGuid(fields, &fileId) || !fields.ReadLE8(&properties.fileSize)
                || !fields.ReadLE8(&creationDate) || !fields.ReadLE8(&properties.dataPacketsCount)
                || !fields.ReadLE8(&properties.playDuration) || !fields.ReadLE8(&properties.sendDuration)
                || !fields.ReadLE8(&properties.preroll) || !fields.ReadLE4(&properties.flags)
                || !fields.ReadLE4(&properties.minimumPacketSize) || !fields.ReadLE4(&properties.maximumPacketSize)
                || !fields.ReadLE4(&properties.maximumBitrate))
                return false;
            header.fileProperties = properties;
        } else if (guid == ASF_Stream_Properties_Object) {
            AsfStreamProperties stream;
            if (!ParseStreamProperties(child, stream))
                return false;
            header.streams.push_back(std::move(stream));
        } else if (guid == ASF_Header_Extension_Object) {
            if (header.hasHeaderExtension || !ParseHeaderExtension(child, header))
                return false;
            header.hasHeaderExtension = true;
        } else if (guid == ASF_Bitrate_Mutual_Exclusion_Object) {
            AsfExclusion exclusion;
            if (header.bitrateExclusion || !ParseExclusion(child, exclusion))
                return false;
            header.bitrateExclusion = std::move(exclusion);
        } else if (guid == ASF_Stream_Bitrate_Properties_Object) {
            KByteReader fields(child);
            std::uint16_t records = 0;
            if (!header.bitrates.empty() || !fields.ReadLE2(&records))
                return false;
            for (std::uint16_t r = 0; r < records; ++r) {
                std::uint16_t flags = 0;
                AsfStreamBitrate bitrate;
                if (!fields.ReadLE2(&flags) || !fields.ReadLE4(&bitrate.averageBitrate))
                    return false;
                bitrate.streamNumber = flags & 0x7F;
                header.bitrates.push_back(bitrate);
            }
        }
    }
    return header.fileProperties.has_value();
}

std::optional<AsfSimpleIndex> ParseAsfSimpleIndex(std::span<const BYTE> body)
{
    KByteReader reader(body);
    GUID fileId{};
    AsfSimpleIndex index;
    std::uint32_t count = 0;
    if (!ReadGuid(reader, &fileId) || !reader.ReadLE8(&index.interval) || !reader.ReadLE4(&index.maximumPacketCount)
        || !reader.ReadLE4(&count) || count > reader.Remaining() / 6)
        return std::nullopt;
    index.entries.resize(count);
    for (auto& entry : index.entries)
        if (!reader.ReadLE4(&entry.packet) || !reader.ReadLE2(&entry.count))
            return std::nullopt;
    return index;
}

bool ReadAsfTypedField(std::span<const BYTE> bytes, size_t& at, int type, std::uint32_t& value)
{
    static constexpr size_t kWidth[4] = {0, 1, 2, 4};
    const size_t width = kWidth[type & 3];
    if (at + width > bytes.size())
        return false;
    value = width == 0 ? 0 : width == 1 ? bytes[at] : width == 2 ? ReadLE16(&bytes[at]) : ReadLE32(&bytes[at]);
    at += width;
    return true;
}
