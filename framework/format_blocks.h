// Building format blocks and media types the way every demuxer does: plain records copied byte
// for byte into a block, codec data appended behind them, and the VIDEOINFOHEADER2 twin of a
// VIDEOINFOHEADER type.
#pragma once

#include <cstddef>
#include <cstring>
#include <span>
#include <vector>

#include "framework/media_type.h"

using FormatBytes = std::vector<BYTE>;

inline constexpr std::size_t kVideoInfoHeaderSize = offsetof(VIDEOINFOHEADER, bmiHeader);                          // 48
inline constexpr std::size_t kVideoInfo2Extra = offsetof(VIDEOINFOHEADER2, bmiHeader) - kVideoInfoHeaderSize;  // 24
inline constexpr std::size_t kMpeg2VideoInfoHeaderSize = offsetof(MPEG2VIDEOINFO, dwSequenceHeader);           // 132

// Blocks need not be aligned: records go in and out by copy.
template <typename Record>
void PutRecord(FormatBytes& block, std::size_t offset, const Record& record)
{
    std::memcpy(block.data() + offset, &record, sizeof record);
}

template <typename Record>
Record GetRecord(const BYTE* block, std::size_t offset)
{
    Record record;
    std::memcpy(&record, block + offset, sizeof record);
    return record;
}

void AppendBytes(FormatBytes& block, std::span<const BYTE> bytes);

// A copy of base with the subtype, format type and block set.
CMediaType MakeMediaType(const CMediaType& base, const GUID& subtype, const GUID& formatType, const FormatBytes& block);

// VIDEOINFOHEADER (rectangles and rates zero) with the bitmap header, then the codec data.
FormatBytes VideoInfoBlock(const BITMAPINFOHEADER& bitmap, std::span<const BYTE> extra);

// MPEG2VIDEOINFO with the bitmap header and the sequence header behind it.
FormatBytes Mpeg2VideoInfoBlock(const BITMAPINFOHEADER& bitmap, std::span<const BYTE> sequenceHeader, DWORD profile = 0,
                                DWORD level = 0, DWORD flags = 0);

// The VIDEOINFOHEADER2 form of a VIDEOINFOHEADER type, with the given picture aspect.
CMediaType ToVideoInfo2(const CMediaType& type, DWORD aspectX, DWORD aspectY);
