#include "demux/mkv/mkv_reader.h"

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
    if (!file_ || file_->Seek(position_) != position_)
        return E_FAIL;
    if (count > Remaining() || file_->Read(buffer, count) != count)
        return E_FAIL;
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
