// KEbmlElement: a cursor on one EBML element (ID, size, where its header and data start) with
// the walking operations: first child, next sibling, next block, next cluster, and recovery
// after damaged data.
#pragma once

#include <cstdint>
#include <memory>

#include "demux/mkv/ebml_values.h"

class KMkvReader;

namespace ebml_id {
constexpr std::uint32_t kEbmlHeader = 0x1A45DFA3;
constexpr std::uint32_t kSegment = 0x18538067;
constexpr std::uint32_t kSeekHead = 0x114D9B74;
constexpr std::uint32_t kSeek = 0x4DBB;
constexpr std::uint32_t kSeekId = 0x53AB;
constexpr std::uint32_t kSeekPosition = 0x53AC;
constexpr std::uint32_t kInfo = 0x1549A966;
constexpr std::uint32_t kTracks = 0x1654AE6B;
constexpr std::uint32_t kCues = 0x1C53BB6B;
constexpr std::uint32_t kAttachments = 0x1941A469;
constexpr std::uint32_t kChapters = 0x1043A770;
constexpr std::uint32_t kTags = 0x1254C367;
constexpr std::uint32_t kCluster = 0x1F43B675;
constexpr std::uint32_t kBlockGroup = 0xA0;
constexpr std::uint32_t kSimpleBlock = 0xA3;

constexpr bool IsTopLevel(std::uint32_t id)
{
    return id == kSeekHead || id == kInfo || id == kTracks || id == kCues || id == kAttachments ||
           id == kChapters || id == kTags || id == kCluster;
}
}  // namespace ebml_id

class KEbmlElement {
public:
    KEbmlElement(KMkvReader* reader, KEbmlElement* parent) : parent(parent), reader(reader) {}

    // The whole file as one element: no parent, data from 0, size the file size.
    static std::unique_ptr<KEbmlElement> Root(KMkvReader& reader);

    // Reads ID and size at the reader's position.
    HRESULT ReadHeader();
    // Null when this element is empty or no child matches; a wantedId of 0 takes the first child
    // as it is, even when its header could not be read.
    std::unique_ptr<KEbmlElement> FirstChild(std::uint32_t wantedId = 0, bool scan = true);
    bool NextSibling(bool sameIdOnly = false);
    bool NextBlock();
    bool NextCluster();
    bool Resync();
    bool ClusterResync();

    // dataPos + size, saturated so that a huge size from the file cannot wrap.
    LONGLONG End() const;

    KEbmlElement* parent;
    KMkvReader* reader;
    CID id;
    CLength size;
    LONGLONG headerPos = 0;
    LONGLONG dataPos = 0;

private:
    // For a Cluster of unknown size, finds where it really ends (its last child before the next
    // top-level element) and takes that as its size.
    void ResolveUnknownSize();
    // Moves to the element after this one within the parent; false at the parent's or file's end.
    bool SeekPastThis();
};

