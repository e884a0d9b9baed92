#include "demux/mkv/ebml_element.h"

#include <algorithm>
#include <array>
#include <limits>

#include "demux/mkv/mkv_reader.h"
#include "io/byte_reader.h"

namespace {

constexpr bool IsBlock(std::uint32_t id) { return id == ebml_id::kBlockGroup || id == ebml_id::kSimpleBlock; }
constexpr std::uint32_t kVoid = 0xEC;
constexpr std::uint32_t kCrc32 = 0xBF;

// The first position from `from` on where the four bytes there pass the test, or -1. The bytes
// are read a block at a time: a read per byte made every resync over damaged data the slowest
// step of a load.
template <typename Test>
LONGLONG FindFourBytes(KMkvReader& reader, LONGLONG from, Test test)
{
    // A block fits the reader's header buffer; consecutive blocks overlap by three bytes so
    // that no position is missed.
    constexpr LONGLONG kBlock = KMkvReader::kHeaderBufferSize - 3;
    std::array<std::uint8_t, KMkvReader::kHeaderBufferSize> bytes{};
    for (LONGLONG start = from;; start += kBlock) {
        reader.Seek(start);
        const LONGLONG length = std::min<LONGLONG>(bytes.size(), reader.Remaining());
        if (length < 4 || FAILED(reader.ReadRaw(bytes.data(), static_cast<DWORD>(length))))
            return -1;
        for (LONGLONG i = 0; i + 4 <= length; ++i)
            if (test(ReadBE32(bytes.data() + i)))
                return start + i;
    }
}

}  // namespace

std::unique_ptr<KEbmlElement> KEbmlElement::Root(KMkvReader& reader)
{
    auto root = std::make_unique<KEbmlElement>(&reader, nullptr);
    root->size.value = static_cast<std::uint64_t>(reader.FileSize());
    root->size.valid = true;
    return root;
}

LONGLONG KEbmlElement::End() const
{
    const std::uint64_t room = static_cast<std::uint64_t>(std::numeric_limits<LONGLONG>::max() - dataPos);
    return size.value > room ? std::numeric_limits<LONGLONG>::max() : dataPos + static_cast<LONGLONG>(size.value);
}

HRESULT KEbmlElement::ReadHeader()
{
    headerPos = reader->Tell();
    dataPos = headerPos;
    if (FAILED(id.Read(*this)) || FAILED(size.Read(*this))) {
        // A failed header counts as an empty element of no kind, so no caller dispatches on it
        // and stepping past it goes nowhere new.
        id.value = 0;
        id.valid = false;
        size.value = 0;
        size.valid = false;
        return E_FAIL;
    }
    dataPos = reader->Tell();
    return S_OK;
}

std::unique_ptr<KEbmlElement> KEbmlElement::FirstChild(std::uint32_t wantedId, bool scan)
{
    if (size.value == 0)
        return nullptr;
    reader->Seek(dataPos);
    auto child = std::make_unique<KEbmlElement>(reader, this);
    const bool headerRead = SUCCEEDED(child->ReadHeader());
    if (wantedId == 0)
        return child;
    if (id.value == ebml_id::kSegment) {
        if (const LONGLONG indexed = reader->SeekIndexLookup(wantedId, 0)) {
            reader->Seek(indexed);
            if (SUCCEEDED(child->ReadHeader()) && child->id.value == wantedId)
                return child;
            return nullptr;
        }
    }
    if (headerRead && child->id.value == wantedId)
        return child;
    if (scan) {
        while (child->NextSibling(false))
            if (child->id.value == wantedId)
                return child;
    }
    return nullptr;
}

void KEbmlElement::ResolveUnknownSize()
{
    // A live-written Cluster has no size: it ends where the next top-level element begins.
    if (!size.unknown || id.value != ebml_id::kCluster)
        return;
    const LONGLONG saved = reader->Tell();
    KEbmlElement child(reader, this);
    LONGLONG position = dataPos;
    for (;;) {
        reader->Seek(position);
        if (FAILED(child.ReadHeader()) || ebml_id::IsTopLevel(child.id.value) || child.End() <= position)
            break;
        position = child.End();
        if (position >= reader->FileSize())
            break;
    }
    size.value = static_cast<std::uint64_t>(std::min(position, reader->FileSize()) - dataPos);
    size.unknown = false;
    reader->Seek(saved);
}

bool KEbmlElement::SeekPastThis()
{
    ResolveUnknownSize();
    const LONGLONG next = End();
    if (next >= parent->End())
        return false;
    return reader->Seek(next) == next;
}

bool KEbmlElement::NextSibling(bool sameIdOnly)
{
    if (!parent)
        return false;
    const std::uint32_t previousId = id.value;
    for (;;) {
        if (!SeekPastThis())
            return false;
        if (FAILED(ReadHeader()) && !Resync())
            return false;
        if (!sameIdOnly || id.value == previousId || (IsBlock(previousId) && IsBlock(id.value)))
            return true;
        if (ebml_id::IsTopLevel(id.value))
            return false;
    }
}

bool KEbmlElement::NextBlock()
{
    if (!parent)
        return false;
    for (;;) {
        if (!SeekPastThis() || FAILED(ReadHeader()))
            return false;
        if (IsBlock(id.value))
            return true;
        // A Cluster holds no top-level element: one here ends a Cluster of unknown size.
        if (ebml_id::IsTopLevel(id.value))
            return false;
    }
}

bool KEbmlElement::NextCluster()
{
    if (!parent)
        return false;
    for (;;) {
        if (!SeekPastThis())
            return false;
        // Between Clusters only top-level elements, Void and CRC-32 belong: anything else is
        // damage that happened to read as a header, and its size would jump anywhere.
        const bool readable = SUCCEEDED(ReadHeader());
        const bool plausible = readable && (ebml_id::IsTopLevel(id.value) || id.value == kVoid || id.value == kCrc32)
                               && End() <= parent->End();
        if (!plausible && !ClusterResync())
            return false;
        if (id.value == ebml_id::kCluster)
            return true;
    }
}

bool KEbmlElement::Resync()
{
    if (!parent || parent->id.value != ebml_id::kSegment)
        return false;
    // From the damaged header on, the four bytes at every position are tried as one of the
    // top-level IDs.
    const LONGLONG found = FindFourBytes(*reader, headerPos, ebml_id::IsTopLevel);
    if (found < 0)
        return false;
    reader->Seek(found);
    return SUCCEEDED(ReadHeader());
}

bool KEbmlElement::ClusterResync()
{
    // Tries every byte offset, not only groups of four from the start, so a Cluster after an odd
    // run of garbage is found too.
    const LONGLONG found = FindFourBytes(*reader, headerPos, [](std::uint32_t candidate) { return candidate == ebml_id::kCluster; });
    if (found < 0)
        return false;
    reader->Seek(found);
    return SUCCEEDED(ReadHeader());
}
