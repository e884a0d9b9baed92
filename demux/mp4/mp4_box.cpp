#include "demux/mp4/mp4_box.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "io/byte_reader.h"

namespace {

// Tables this long are refused outright: no real track has them, and a count taken from a
// damaged file must not size an allocation.
constexpr std::uint32_t kMaxTableEntries = 0x20000000;

// An entry count, refused when absurd; the caller fills only as many entries as the payload holds.
bool ReadCount(KByteReader& r, std::uint32_t* count)
{
    return r.ReadBE4(count) && *count < kMaxTableEntries;
}

// The expandable length of an MPEG-4 descriptor: 7 bits a byte while the high bit is set.
bool ReadDescriptorLength(KByteReader& r, std::uint32_t* length)
{
    *length = 0;
    for (int i = 0; i < 4; ++i) {
        std::uint8_t byte = 0;
        if (!r.Read1(&byte))
            return false;
        *length = (*length << 7) | (byte & 0x7F);
        if (!(byte & 0x80))
            return true;
    }
    return true;
}

}  // namespace

bool ReadMp4FullHeader(KByteReader& r, std::uint8_t* version, std::uint32_t* flags)
{
    std::uint32_t word = 0;
    if (!r.ReadBE4(&word))
        return false;
    *version = static_cast<std::uint8_t>(word >> 24);
    if (flags)
        *flags = word & 0xFFFFFF;
    return true;
}

bool ReadMp4Versioned(KByteReader& r, std::uint8_t version, std::uint64_t* out)
{
    if (version == 1)
        return r.ReadBE8(out);
    std::uint32_t narrow = 0;
    if (!r.ReadBE4(&narrow))
        return false;
    *out = narrow;
    return true;
}

std::string Mp4TypeText(std::uint32_t type)
{
    std::string text(4, ' ');
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>(type >> (24 - 8 * i));
        text[static_cast<std::size_t>(i)] = c >= 0x20 && c < 0x7F ? c : '?';
    }
    return text;
}

bool Mp4Ftyp::Parse(std::span<const BYTE> payload)
{
    KByteReader r(payload);
    if (!r.ReadBE4(&majorBrand) || !r.ReadBE4(&minorVersion))
        return false;
    for (std::uint32_t brand = 0; r.ReadBE4(&brand);)
        compatibleBrands.push_back(brand);
    return true;
}

bool Mp4Mvhd::Parse(std::span<const BYTE> payload)
{
    KByteReader r(payload);
    std::uint64_t creation = 0, modification = 0;
    return ReadMp4FullHeader(r, &version, nullptr) && ReadMp4Versioned(r, version, &creation)
        && ReadMp4Versioned(r, version, &modification) && r.ReadBE4(&timeScale) && ReadMp4Versioned(r, version, &duration);
}

bool Mp4Tkhd::Parse(std::span<const BYTE> payload)
{
    KByteReader r(payload);
    std::uint64_t creation = 0, modification = 0;
    std::uint32_t reserved = 0;
    if (!ReadMp4FullHeader(r, &version, &flags) || !ReadMp4Versioned(r, version, &creation)
        || !ReadMp4Versioned(r, version, &modification) || !r.ReadBE4(&trackId) || !r.ReadBE4(&reserved)
        || !ReadMp4Versioned(r, version, &duration))
        return false;
    // Two reserved words, layer, alternate group, volume and a reserved 16-bit word.
    if (!r.Skip(16))
        return false;
    for (std::uint32_t& entry : matrix)
        if (!r.ReadBE4(&entry))
            return false;
    return r.ReadBE4(&width) && r.ReadBE4(&height);
}

bool Mp4Mdhd::Parse(std::span<const BYTE> payload)
{
    KByteReader r(payload);
    std::uint8_t version = 0;
    std::uint64_t creation = 0, modification = 0;
    std::uint16_t packed = 0;
    if (!ReadMp4FullHeader(r, &version, nullptr) || !ReadMp4Versioned(r, version, &creation)
        || !ReadMp4Versioned(r, version, &modification) || !r.ReadBE4(&timeScale) || !ReadMp4Versioned(r, version, &duration)
        || !r.ReadBE2(&packed))
        return false;
    for (int i = 0; i < 3; ++i)
        language[static_cast<std::size_t>(i)] = static_cast<char>(((packed >> (10 - 5 * i)) & 0x1F) + 0x60);
    return true;
}

bool Mp4Hdlr::Parse(std::span<const BYTE> payload)
{
    KByteReader r(payload);
    std::uint8_t version = 0;
    std::uint32_t predefined = 0;
    if (!ReadMp4FullHeader(r, &version, nullptr) || !r.ReadBE4(&predefined) || !r.ReadBE4(&handlerType))
        return false;
    // Three reserved words, then the name up to its terminator (QuickTime counts it first).
    std::span<const BYTE> rest;
    if (r.Skip(12) && r.ReadBytes(r.Remaining(), &rest)) {
        const auto end = std::find(rest.begin(), rest.end(), BYTE{0});
        name.assign(rest.begin(), end);
    }
    return true;
}

bool Mp4RunTable::Parse(std::span<const BYTE> payload)
{
    KByteReader r(payload);
    std::uint8_t version = 0;
    std::uint32_t count = 0;
    if (!ReadMp4FullHeader(r, &version, nullptr) || !ReadCount(r, &count))
        return false;
    runs.reserve(std::min<std::size_t>(count, r.Remaining() / 8));
    for (Run run{}; runs.size() < count && r.ReadBE4(&run.count) && r.ReadBE4(&run.value);)
        runs.push_back(run);
    return true;
}

bool Mp4Stsz::Parse(std::span<const BYTE> payload)
{
    KByteReader r(payload);
    std::uint8_t version = 0;
    if (!ReadMp4FullHeader(r, &version, nullptr) || !r.ReadBE4(&sampleSize) || !ReadCount(r, &sampleCount))
        return false;
    if (sampleSize == 0) {
        sizes.reserve(std::min<std::size_t>(sampleCount, r.Remaining() / 4));
        for (std::uint32_t size = 0; sizes.size() < sampleCount && r.ReadBE4(&size);)
            sizes.push_back(size);
    }
    return true;
}

bool Mp4Stsc::Parse(std::span<const BYTE> payload)
{
    KByteReader r(payload);
    std::uint8_t version = 0;
    std::uint32_t count = 0;
    if (!ReadMp4FullHeader(r, &version, nullptr) || !ReadCount(r, &count))
        return false;
    entries.reserve(std::min<std::size_t>(count, r.Remaining() / 12));
    for (Entry e{}; entries.size() < count && r.ReadBE4(&e.firstChunk) && r.ReadBE4(&e.samplesPerChunk)
                    && r.ReadBE4(&e.descriptionIndex);)
        entries.push_back(e);
    return true;
}

bool Mp4ChunkOffsets::Parse(std::span<const BYTE> payload, bool wide)
{
    KByteReader r(payload);
    std::uint8_t version = 0;
    std::uint32_t count = 0;
    if (!ReadMp4FullHeader(r, &version, nullptr) || !ReadCount(r, &count))
        return false;
    offsets.reserve(std::min<std::size_t>(count, r.Remaining() / (wide ? 8 : 4)));
    while (offsets.size() < count) {
        std::uint64_t offset = 0;
        if (!ReadMp4Versioned(r, wide ? 1 : 0, &offset))
            break;
        offsets.push_back(offset);
    }
    return true;
}

bool Mp4Stss::Parse(std::span<const BYTE> payload)
{
    KByteReader r(payload);
    std::uint8_t version = 0;
    std::uint32_t count = 0;
    if (!ReadMp4FullHeader(r, &version, nullptr) || !ReadCount(r, &count))
        return false;
    samples.reserve(std::min<std::size_t>(count, r.Remaining() / 4));
    for (std::uint32_t number = 0; samples.size() < count && r.ReadBE4(&number);)
        samples.push_back(number - 1);
    return true;
}

bool Mp4Esds::Parse(std::span<const BYTE> payload)
{
    KByteReader r(payload);
    std::uint8_t version = 0, tag = 0;
    std::uint32_t length = 0;
    if (!ReadMp4FullHeader(r, &version, nullptr) || !r.Read1(&tag))
        return false;
    if (tag == 3) {
        std::uint16_t esId = 0, dependsOn = 0, ocrId = 0;
        std::uint8_t flags = 0, urlLength = 0;
        if (!ReadDescriptorLength(r, &length) || !r.ReadBE2(&esId) || !r.Read1(&flags))
            return false;
        if ((flags & 0x80) && !r.ReadBE2(&dependsOn))
            return false;
        if ((flags & 0x40) && !(r.Read1(&urlLength) && r.Skip(urlLength)))
            return false;
        if ((flags & 0x20) && !r.ReadBE2(&ocrId))
            return false;
        if (!r.Read1(&tag))
            return true;
    }
    if (tag != 4)
        return true;
    std::uint8_t streamByte = 0;
    if (!ReadDescriptorLength(r, &length) || !r.Read1(&objectType) || !r.Read1(&streamByte) || !r.ReadBE3(&bufferSize)
        || !r.ReadBE4(&maxBitRate) || !r.ReadBE4(&avgBitRate))
        return false;
    streamType = streamByte >> 2;
    hasDecoderConfig = true;
    std::span<const BYTE> info;
    if (r.Read1(&tag) && tag == 5 && ReadDescriptorLength(r, &length)
        && r.ReadBytes(std::min<std::size_t>(length, r.Remaining()), &info))
        decoderSpecificInfo.assign(info.begin(), info.end());
    return true;
}

bool Mp4Dcom::Parse(std::span<const BYTE> payload)
{
    KByteReader r(payload);
    return r.ReadBE4(&algorithm);
}

bool Mp4Cmvd::Parse(std::span<const BYTE> payload)
{
    KByteReader r(payload);
    std::span<const BYTE> bytes;
    if (!r.ReadBE4(&uncompressedSize) || !r.ReadBytes(r.Remaining(), &bytes))
        return false;
    compressed.assign(bytes.begin(), bytes.end());
    return true;
}

bool Mp4DecoderRecord::Parse(std::span<const BYTE> payload)
{
    if (payload.size() < 6)
        return false;
    std::copy_n(payload.begin(), 6, record.begin());
    return true;
}

bool Mp4AvcC::Parse(std::span<const BYTE> payload)
{
    bytes.assign(payload.begin(), payload.end());
    return true;
}

bool Mp4Dac3::Parse(std::span<const BYTE> payload)
{
    KByteReader r(payload);
    std::uint32_t bits = 0;
    if (!r.ReadBE3(&bits))
        return false;
    fscod = static_cast<std::uint8_t>((bits >> 22) & 3);
    bsid = static_cast<std::uint8_t>((bits >> 17) & 0x1F);
    bsmod = static_cast<std::uint8_t>((bits >> 14) & 7);
    acmod = static_cast<std::uint8_t>((bits >> 11) & 7);
    lfeon = static_cast<std::uint8_t>((bits >> 10) & 1);
    bitRateCode = static_cast<std::uint8_t>((bits >> 5) & 0x1F);
    return true;
}

bool Mp4Pasp::Parse(std::span<const BYTE> payload)
{
    KByteReader r(payload);
    return r.ReadBE4(&horizontalSpacing) && r.ReadBE4(&verticalSpacing);
}

bool Mp4SoundEntry::Parse(std::span<const BYTE> payload)
{
    KByteReader r(payload);
    std::uint16_t dataReference = 0;
    if (!r.Skip(6) || !r.ReadBE2(&dataReference) || !r.ReadBE2(&version) || !r.ReadBE2(&revision)
        || !r.ReadBE4(&vendor) || !r.ReadBE2(&channels) || !r.ReadBE2(&sampleSize) || !r.ReadBE2(&compressionId)
        || !r.ReadBE2(&packetSize) || !r.ReadBE2(&rate) || !r.ReadBE2(&rateFraction))
        return false;
    childOffset = 28;
    if (version == 1 && r.Remaining() >= 16) {
        r.ReadBE4(&samplesPerPacket);
        r.ReadBE4(&bytesPerPacket);
        r.ReadBE4(&bytesPerFrame);
        r.ReadBE4(&bytesPerSample);
        childOffset = 44;
    }
    return true;
}

bool Mp4VideoEntry::Parse(std::span<const BYTE> payload)
{
    KByteReader r(payload);
    std::uint16_t dataReference = 0, revision = 0;
    std::uint32_t temporalQuality = 0, spatialQuality = 0, horizontalResolution = 0, verticalResolution = 0;
    std::span<const BYTE> name;
    if (!r.Skip(6) || !r.ReadBE2(&dataReference) || !r.ReadBE2(&version) || !r.ReadBE2(&revision)
        || !r.ReadBE4(&vendor) || !r.ReadBE4(&temporalQuality) || !r.ReadBE4(&spatialQuality) || !r.ReadBE2(&width)
        || !r.ReadBE2(&height) || !r.ReadBE4(&horizontalResolution) || !r.ReadBE4(&verticalResolution)
        || !r.ReadBE4(&dataSize) || !r.ReadBE2(&frameCount) || !r.ReadBytes(32, &name) || !r.ReadBE2(&depth)
        || !r.ReadBE2(&colorTableId))
        return false;
    // A Pascal string: the first byte counts the characters.
    const std::size_t length = std::min<std::size_t>(name[0], 31);
    std::copy_n(name.begin() + 1, length, compressorName.begin());
    return true;
}

// ---- Paths ------------------------------------------------------------------------------------

std::string IndexedPath(const char* base, std::uint32_t index)
{
    char text[64];
    std::snprintf(text, sizeof text, "%s[%u]", base, index);
    return text;
}

const Mp4Box* FindBox(const Mp4Box& start, std::string_view path)
{
    const Mp4Box* box = &start;
    std::size_t at = 0;
    if (path.starts_with('/')) {
        while (box->type != Mp4Type("root")) {
            if (!box->parent)
                return nullptr;
            box = box->parent;
        }
        while (at < path.size() && path[at] == '/')
            ++at;
    }
    while (at < path.size()) {
        const std::size_t end = path.find_first_of("/[", at);
        const std::string_view name = path.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
        at = end == std::string_view::npos ? path.size() : end;
        std::size_t index = 0;
        bool indexed = false;
        if (at < path.size() && path[at] == '[') {
            const std::size_t close = path.find(']', at);
            if (close == std::string_view::npos)
                return nullptr;
            const auto [rest, error] = std::from_chars(path.data() + at + 1, path.data() + close, index);
            if (error != std::errc() || rest != path.data() + close)
                return nullptr;
            indexed = true;
            at = close + 1;
        }
        while (at < path.size() && path[at] == '/')
            ++at;

        if (name == ".")
            continue;
        if (name == "..") {
            if (!box->parent)
                return nullptr;
            box = box->parent;
            continue;
        }
        if (name.empty() && !indexed)
            return nullptr;
        if (!name.empty() && name.size() != 4)
            return nullptr;
        const std::uint32_t type = name.empty() ? 0 : Mp4Type({name[0], name[1], name[2], name[3], 0});
        const Mp4Box* found = nullptr;
        for (const auto& child : box->children) {
            if (!name.empty() && child->type != type)
                continue;
            if (index-- == 0) {
                found = child.get();
                break;
            }
        }
        if (!found)
            return nullptr;
        box = found;
    }
    return box;
}

int CountBoxes(const Mp4Box& start, std::string_view path)
{
    const Mp4Box* box = FindBox(start, path);
    if (!box || !box->parent)
        return box ? 1 : 0;
    const auto& siblings = box->parent->children;
    auto it = std::find_if(siblings.begin(), siblings.end(), [box](const auto& child) { return child.get() == box; });
    return 1 + static_cast<int>(std::count_if(std::next(it), siblings.end(),
                                              [box](const auto& child) { return child->type == box->type; }));
}
