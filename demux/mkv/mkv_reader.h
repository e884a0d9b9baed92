// KMkvReader: the byte source of the Matroska demuxer (a position over a cached file, checked
// big-endian reads), the EBML header record, the SeekHead index and the opening walk.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "demux/mkv/ebml_element.h"
#include "demux/mkv/mkv_segment.h"
#include "io/cache_file.h"

struct KEbmlHeader {
    CUInt version;
    CUInt readVersion;
    CUInt maxIdLength;
    CUInt maxSizeLength;
    std::string docType;
    CUInt docTypeVersion;
    CUInt docTypeReadVersion;

    void Parse(KEbmlElement& element);
};

class KMkvReader {
public:
    static constexpr DWORD kCacheSize = 512000;
    static constexpr DWORD kLargeFrame = 64 * 1024;
    static constexpr DWORD kHeaderBufferSize = 4096;
    static constexpr int kHeaderRefillLimit = 8;

    KMkvReader() = default;

    // S_OK with no file when the file cannot be opened; E_FAIL when it does not start with an
    // EBML header ID.
    HRESULT Open(LPCWSTR path);
    bool HasFile() const { return file_ != nullptr; }

    // n bytes at the position; E_FAIL unless all arrive.
    HRESULT ReadRaw(void* buffer, DWORD count);
    HRESULT Read1(std::uint8_t& out);
    HRESULT Read2(std::uint16_t& out);
    HRESULT Read4(std::uint32_t& out);
    HRESULT Read8(std::uint64_t& out);
    // Clamps to [0, fileSize] and returns the new position.
    LONGLONG Seek(LONGLONG target);
    LONGLONG Tell() const { return position_; }
    LONGLONG FileSize() const { return fileSize_; }
    LONGLONG Remaining() const { return fileSize_ - position_; }

    // The first SeekHead entry for id pointing at or after minPos; 0 when there is none.
    LONGLONG SeekIndexLookup(std::uint32_t id, LONGLONG minPos) const;

    const KEbmlHeader& EbmlHeader() const { return ebmlHeader_; }
    KMkvSegment& Segment() { return segment_; }
    const KMkvSegment& Segment() const { return segment_; }
    REFERENCE_TIME startOffset = 0;

private:
    // Reads that miss the window between large frames: see ReadRaw.
    HRESULT ReadBetweenFrames(void* buffer, DWORD count);

    std::unique_ptr<KCacheFile> file_;
    // Between large frames the few header bytes come from a small buffer of their own, so that
    // the window is not refilled with the next frame, which would then be copied twice.
    std::vector<BYTE> headerBuffer_;
    LONGLONG headerStart_ = 0;
    DWORD headerLength_ = 0;
    int headerRefills_ = 0;    // since the last large frame
    bool largeFrames_ = false;
    LONGLONG position_ = 0;
    LONGLONG fileSize_ = 0;
    KEbmlHeader ebmlHeader_;
    KMkvSegment segment_;
};

// The walk every record parser makes over a master element: each child in file order, with the
// reader positioned at the child's data, until there is no next sibling.
template <typename Visit>
void ForEachChild(KEbmlElement& element, Visit&& visit)
{
    auto child = element.FirstChild();
    if (!child)
        return;
    do {
        child->reader->Seek(child->dataPos);
        visit(*child);
    } while (child->NextSibling());
}
