#include "framework/format_blocks.h"

void AppendBytes(FormatBytes& block, std::span<const BYTE> bytes)
{
    const std::size_t at = block.size();
    block.resize(at + bytes.size());
    if (!bytes.empty())
        std::memcpy(block.data() + at, bytes.data(), bytes.size());
}

CMediaType MakeMediaType(const CMediaType& base, const GUID& subtype, const GUID& formatType, const FormatBytes& block)
{
    CMediaType type(base);
    type.SetSubtype(&subtype);
    type.SetFormatType(&formatType);
    type.SetFormat(block.data(), static_cast<ULONG>(block.size()));
    return type;
}

FormatBytes VideoInfoBlock(const BITMAPINFOHEADER& bitmap, std::span<const BYTE> extra)
{
    FormatBytes block(sizeof(VIDEOINFOHEADER));
    PutRecord(block, kVideoInfoHeaderSize, bitmap);
    AppendBytes(block, extra);
    return block;
}

FormatBytes Mpeg2VideoInfoBlock(const BITMAPINFOHEADER& bitmap, std::span<const BYTE> sequenceHeader, DWORD profile,
                                DWORD level, DWORD flags)
{
    MPEG2VIDEOINFO info{};
    info.hdr.bmiHeader = bitmap;
    info.cbSequenceHeader = static_cast<DWORD>(sequenceHeader.size());
    info.dwProfile = profile;
    info.dwLevel = level;
    info.dwFlags = flags;
    FormatBytes block(kMpeg2VideoInfoHeaderSize);
    std::memcpy(block.data(), &info, kMpeg2VideoInfoHeaderSize);
    AppendBytes(block, sequenceHeader);
    return block;
}

CMediaType ToVideoInfo2(const CMediaType& type, DWORD aspectX, DWORD aspectY)
{
    const BYTE* old = type.Format();
    FormatBytes block(old, old + kVideoInfoHeaderSize);
    block.resize(kVideoInfoHeaderSize + kVideoInfo2Extra);
    block.insert(block.end(), old + kVideoInfoHeaderSize, old + type.FormatLength());
    PutRecord(block, offsetof(VIDEOINFOHEADER2, dwPictAspectRatioX), aspectX);
    PutRecord(block, offsetof(VIDEOINFOHEADER2, dwPictAspectRatioY), aspectY);
    CMediaType converted(type);
    converted.SetFormatType(&FORMAT_VideoInfo2);
    converted.SetFormat(block.data(), static_cast<ULONG>(block.size()));
    return converted;
}
