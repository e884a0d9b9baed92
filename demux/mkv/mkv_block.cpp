#include "demux/mkv/mkv_block.h"

#include <algorithm>
#include <bit>

#include "demux/mkv/mkv_reader.h"

namespace {

enum class Lacing { kNone = 0, kXiph = 1, kFixed = 2, kEbml = 3 };

// The lace table and header are read through this: every read is checked against the end of
// the block before it is made, so a damaged table stops at the block's last byte.
class KBlockBytes {
public:
    KBlockBytes(KEbmlElement& element, LONGLONG end) : element_(element), end_(end) {}

    std::uint64_t Left() const
    {
        const LONGLONG left = end_ - element_.reader->Tell();
        return left > 0 ? static_cast<std::uint64_t>(left) : 0;
    }

    bool Byte(std::uint8_t& out) { return Left() >= 1 && SUCCEEDED(element_.reader->Read1(out)); }

    // The vint's width comes from its first byte, so the whole of it is known to fit before the
    // shared reader takes it.
    bool Vint(CLength& out)
    {
        const LONGLONG start = element_.reader->Tell();
        std::uint8_t first = 0;
        if (!Byte(first) || first == 0)
            return false;
        const auto width = static_cast<std::uint64_t>(std::countl_zero(first)) + 1;
        element_.reader->Seek(start);
        return width <= Left() && SUCCEEDED(out.Read(element_));
    }

private:
    KEbmlElement& element_;
    LONGLONG end_;
};

// The sizes of all frames but the last, which takes what the table leaves of the block.
bool ReadXiphSizes(KBlockBytes& bytes, unsigned count, std::vector<std::uint64_t>& sizes)
{
    std::uint64_t sum = 0;
    for (unsigned i = 0; i < count; ++i) {
        std::uint64_t size = 0;
        std::uint8_t part = 0;
        do {
            if (!bytes.Byte(part))
                return false;
            size += part;
        } while (part == 0xFF);
        sum += size;
        if (sum > bytes.Left())
            return false;
        sizes.push_back(size);
    }
    return true;
}

bool ReadEbmlSizes(KBlockBytes& bytes, unsigned count, std::vector<std::uint64_t>& sizes)
{
    CLength first;
    if (!bytes.Vint(first) || first.value > bytes.Left())
        return false;
    sizes.push_back(first.value);
    std::uint64_t sum = first.value;
    for (unsigned i = 1; i < count; ++i) {
        CSignedLength difference;
        if (!bytes.Vint(difference))
            return false;
        const std::int64_t size = static_cast<std::int64_t>(sizes.back()) + difference.SignedValue();
        // An all-ones vint reads as an unknown size, a huge value: the block bound catches it.
        if (size < 0 || static_cast<std::uint64_t>(size) > bytes.Left())
            return false;
        sum += static_cast<std::uint64_t>(size);
        if (sum > bytes.Left())
            return false;
        sizes.push_back(static_cast<std::uint64_t>(size));
    }
    return true;
}

// Frame sizes for the block's lacing, the last one included; false when they do not fit.
bool ReadLaceSizes(KBlockBytes& bytes, Lacing lacing, std::vector<std::uint64_t>& sizes)
{
    if (lacing == Lacing::kNone) {
        sizes.push_back(bytes.Left());
        return true;
    }
    std::uint8_t countByte = 0;
    if (!bytes.Byte(countByte))
        return false;
    if (lacing == Lacing::kFixed) {
        const unsigned count = countByte + 1u;
        // Fewer bytes than frames can only come from a damaged count: every frame would be empty.
        if (bytes.Left() < count)
            return false;
        sizes.assign(count, bytes.Left() / count);
        return true;
    }
    if (lacing == Lacing::kEbml && countByte == 0)
        return false;
    if (!(lacing == Lacing::kXiph ? ReadXiphSizes(bytes, countByte, sizes) : ReadEbmlSizes(bytes, countByte, sizes)))
        return false;
    std::uint64_t sum = 0;
    for (std::uint64_t size : sizes)
        sum += size;
    if (sum > bytes.Left())
        return false;
    sizes.push_back(bytes.Left() - sum);
    return true;
}

void ParseTimeSlice(KEbmlElement& element, std::vector<KMkvTimeSlice>& slices)
{
    KMkvTimeSlice& slice = slices.emplace_back();
    ForEachChild(element, [&slice](KEbmlElement& child) {
        switch (child.id.value) {
        case mkv_block_id::kLaceNumber: slice.laceNumber.Read(child); break;
        case mkv_block_id::kFrameNumber: slice.frameNumber.Read(child); break;
        case mkv_block_id::kDelay: slice.delay.Read(child); break;
        case mkv_block_id::kSliceDuration: slice.sliceDuration.Read(child); break;
        default: break;
        }
    });
}

void ParseBlockAdditions(KEbmlElement& element, std::vector<KMkvBlockMore>& additions)
{
    ForEachChild(element, [&additions](KEbmlElement& more) {
        if (more.id.value != mkv_block_id::kBlockMore)
            return;
        KMkvBlockMore& record = additions.emplace_back();
        ForEachChild(more, [&record](KEbmlElement& child) {
            if (child.id.value == mkv_block_id::kBlockAddId)
                record.blockAddId.Read(child);
            else if (child.id.value == mkv_block_id::kBlockAdditional)
                ReadEbmlBinary(child, record.blockAdditional);
        });
    });
}

}  // namespace

size_t KMkvBlock::FrameBytes() const
{
    size_t total = 0;
    for (const KByteBuffer& frame : frames)
        total += frame.size();
    return total;
}

bool ParseBlock(KEbmlElement& element, KMkvBlock& block, bool readFrames)
{
    block.trackNumber = {};
    block.timecode = {};
    block.flags = {};
    block.frames.clear();
    KMkvReader& reader = *element.reader;
    // Track number, timecode and flags take at least four bytes.
    if (element.size.value < 4)
        return false;
    // Frames are read only from a block the file holds whole; a cut block has no complete frame.
    const LONGLONG end = element.End();
    if (readFrames && end > reader.FileSize())
        return false;
    KBlockBytes bytes(element, std::min(end, reader.FileSize()));
    reader.Seek(element.dataPos);
    CShort timecode;
    if (!bytes.Vint(block.trackNumber) || bytes.Left() < 3 || FAILED(timecode.Read(element)) ||
        FAILED(block.flags.Read(element))) {
        block.trackNumber = {};
        block.flags = {};
        return false;
    }
    block.timecode.value = timecode.value;
    block.timecode.valid = true;
    if (!readFrames)
        return true;

    std::vector<std::uint64_t> sizes;
    if (!ReadLaceSizes(bytes, static_cast<Lacing>(block.Lacing()), sizes))
        return false;
    // The sizes were checked against the block, and the block against the file, so this
    // allocation is bounded by the file.
    block.frames.reserve(sizes.size());
    for (std::uint64_t size : sizes) {
        if (size > 0xFFFFFFFFu) {
            block.frames.clear();
            return false;
        }
        KByteBuffer& frame = block.frames.emplace_back(size);
        if (size && FAILED(reader.ReadRaw(frame.data(), static_cast<DWORD>(size)))) {
            block.frames.clear();
            return false;
        }
    }
    return true;
}

bool ParseSimpleBlock(KEbmlElement& element, KMkvBlock& block, bool readFrames)
{
    block = {};
    if (!ParseBlock(element, block, readFrames))
        return false;
    if (block.flags.value < 0x80) {
        block.referenceBlock.value = 0;
        block.referenceBlock.valid = true;
    }
    return true;
}

bool ParseBlockGroup(KEbmlElement& element, KMkvBlock& block, bool readFrames)
{
    block = {};
    bool blockRead = false;
    ForEachChild(element, [&](KEbmlElement& child) {
        switch (child.id.value) {
        case mkv_block_id::kBlock: blockRead = ParseBlock(child, block, readFrames); break;
        case mkv_block_id::kBlockDuration: block.blockDuration.Read(child); break;
        case mkv_block_id::kReferencePriority: block.referencePriority.Read(child); break;
        case mkv_block_id::kReferenceBlock: block.referenceBlock.Read(child); break;
        case mkv_block_id::kReferenceVirtual: block.referenceVirtual.Read(child); break;
        case mkv_block_id::kCodecState: ReadEbmlBinary(child, block.codecState); break;
        case mkv_block_id::kTimeSlice: ParseTimeSlice(child, block.timeSlices); break;
        case mkv_block_id::kSlices:
            ForEachChild(child, [&block](KEbmlElement& slice) {
                if (slice.id.value == mkv_block_id::kTimeSlice)
                    ParseTimeSlice(slice, block.timeSlices);
            });
            break;
        case mkv_block_id::kBlockAdditions:
            if (readFrames)
                ParseBlockAdditions(child, block.blockAdditions);
            break;
        default: break;
        }
    });
    return blockRead;
}

CUInt ReadClusterTimecode(KEbmlElement& cluster)
{
    CUInt timecode;
    if (auto child = cluster.FirstChild(mkv_block_id::kClusterTimecode)) {
        cluster.reader->Seek(child->dataPos);
        timecode.Read(*child);
    }
    return timecode;
}
