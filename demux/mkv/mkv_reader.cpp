#include "demux/mkv/mkv_reader.h"

#include <algorithm>
#include <cstring>

#include "io/byte_reader.h"

HRESULT KMkvReader::Open(LPCWSTR path)
{
    auto file = std::make_unique<KCacheFile>(kCacheSize);
    if (!file->Open(path))
        return S_OK;
    file_ = std::move(file);
    fileSize_ = file_->GetSize();
    position_ = 0;
    ebmlHeader_ = {};
    segment_ = {};
    std::uint32_t magic = 0;
    if (FAILED(Read4(magic)) || magic != ebml_id::kEbmlHeader)
        return E_FAIL;

    Seek(0);
    auto root = KEbmlElement::Root(*this);
    auto element = root->FirstChild();
    if (!element)
        return S_OK;
    do {
        if (element->id.value == ebml_id::kEbmlHeader)
            ebmlHeader_.Parse(*element);
        else if (element->id.value == ebml_id::kSegment)
            ParseSegment(*element, segment_);
    } while (element->NextSibling());
    return S_OK;
}

HRESULT KMkvReader::ReadRaw(void* buffer, DWORD count)
{
    if (!file_ || file_->Seek(position_) != position_ || count > Remaining())
        return E_FAIL;
    // Large frames are read once, straight into their buffers; everything else comes through
    // the window, or between large frames through the small header buffer.
    if (count >= kLargeFrame) {
        largeFrames_ = true;
        headerRefills_ = 0;
        if (file_->ReadBypassingWindow(buffer, count) != count)
            return E_FAIL;
    } else if (largeFrames_ && !file_->WindowHolds(position_)) {
        return ReadBetweenFrames(buffer, count);
    } else if (file_->Read(buffer, count) != count) {
        return E_FAIL;
    }
    position_ += count;
    return S_OK;
}

HRESULT KMkvReader::ReadBetweenFrames(void* buffer, DWORD count)
{
    const bool held = position_ >= headerStart_ && position_ + count <= headerStart_ + headerLength_;
    if (!held) {
        // Many small reads in a row mean small blocks: the window serves those better.
        if (++headerRefills_ > kHeaderRefillLimit) {
            largeFrames_ = false;
            if (file_->Read(buffer, count) != count)
                return E_FAIL;
            position_ += count;
            return S_OK;
        }
        if (count > kHeaderBufferSize) {
            if (file_->ReadBypassingWindow(buffer, count) != count)
                return E_FAIL;
            position_ += count;
            return S_OK;
        }
        headerBuffer_.resize(kHeaderBufferSize);
        const auto wanted = static_cast<DWORD>(std::min<LONGLONG>(kHeaderBufferSize, Remaining()));
        if (file_->ReadBypassingWindow(headerBuffer_.data(), wanted) != wanted)
            return E_FAIL;
        headerStart_ = position_;
        headerLength_ = wanted;
        if (count > wanted)
            return E_FAIL;
    }
    std::memcpy(buffer, headerBuffer_.data() + (position_ - headerStart_), count);
    position_ += count;
    return S_OK;
}

HRESULT KMkvReader::Read1(std::uint8_t& out) { return ReadRaw(&out, 1); }

namespace {

// One fixed-width big-endian read: the bytes, then the shared decoder.
template <typename T, T (*Decode)(const std::uint8_t*)>
HRESULT ReadDecoded(KMkvReader& reader, T& out)
{
    BYTE bytes[sizeof(T)];
    if (FAILED(reader.ReadRaw(bytes, sizeof bytes)))
        return E_FAIL;
    out = Decode(bytes);
    return S_OK;
}

}  // namespace

HRESULT KMkvReader::Read2(std::uint16_t& out) { return ReadDecoded<std::uint16_t, ReadBE16>(*this, out); }
HRESULT KMkvReader::Read4(std::uint32_t& out) { return ReadDecoded<std::uint32_t, ReadBE32>(*this, out); }
HRESULT KMkvReader::Read8(std::uint64_t& out) { return ReadDecoded<std::uint64_t, ReadBE64>(*this, out); }

LONGLONG KMkvReader::Seek(LONGLONG target)
{
    position_ = target < 0 ? 0 : (target > fileSize_ ? fileSize_ : target);
    return position_;
}

LONGLONG KMkvReader::SeekIndexLookup(std::uint32_t id, LONGLONG minPos) const
{
    for (const KMkvSeekHead& seekHead : segment_.seekHeads) {
        for (const KMkvSeekEntry& entry : seekHead.entries) {
            if (entry.seekId.value != id)
                continue;
            // A position past the file cannot be an element; also keeps the sum from wrapping.
            if (entry.seekPosition.value > static_cast<std::uint64_t>(fileSize_))
                continue;
            const LONGLONG position = segment_.dataPos + static_cast<LONGLONG>(entry.seekPosition.value);
            if (position >= minPos)
                return position;
        }
    }
    return 0;
}

void KEbmlHeader::Parse(KEbmlElement& element)
{
    auto child = element.FirstChild();
    if (!child)
        return;
    do {
        element.reader->Seek(child->dataPos);
        switch (child->id.value) {
        case 0x4286: version.Read(*child); break;
        case 0x42F7: readVersion.Read(*child); break;
        case 0x42F2: maxIdLength.Read(*child); break;
        case 0x42F3: maxSizeLength.Read(*child); break;
        case 0x4282: ReplaceWithEbmlAscii(*child, docType); break;
        case 0x4287: docTypeVersion.Read(*child); break;
        case 0x4285: docTypeReadVersion.Read(*child); break;
        default: break;
        }
    } while (child->NextSibling());
}
