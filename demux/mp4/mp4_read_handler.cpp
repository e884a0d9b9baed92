#include "demux/mp4/mp4_read_handler.h"

#include <zlib.h>

#include <algorithm>

#include "demux/mp4/mp4_codec_boxes.h"
#include "demux/mp4/mp4_edits.h"
#include "demux/mp4/mp4_fragments.h"
#include "io/byte_reader.h"

namespace {

// How a box's payload is read.
enum class BoxKind {
    Container,    // children only
    EntryList,    // version, flags, count, then entries as children
    Cmov,         // children
    SoundEntry,
    VideoEntry,
    Record,       // a payload record
    Opaque,       // known, left without payload ("mdat" and the like are never read)
    ExtensionRecord,  // a record read only with extensions on
};

struct BoxRow {
    std::uint32_t type;
    BoxKind kind;
};

constexpr BoxRow kBoxTable[] = {
    {Mp4Type("moov"), BoxKind::Container}, {Mp4Type("trak"), BoxKind::Container}, {Mp4Type("mdia"), BoxKind::Container},
    {Mp4Type("moof"), BoxKind::Container}, {Mp4Type("minf"), BoxKind::Container}, {Mp4Type("stbl"), BoxKind::Container},
    {Mp4Type("dinf"), BoxKind::Container}, {Mp4Type("edts"), BoxKind::Container}, {Mp4Type("udta"), BoxKind::Container},
    {Mp4Type("nmhd"), BoxKind::Container}, {Mp4Type("hint"), BoxKind::Container}, {Mp4Type("rmra"), BoxKind::Container},
    {Mp4Type("rmda"), BoxKind::Container}, {Mp4Type("tref"), BoxKind::Container}, {Mp4Type("gmhd"), BoxKind::Container},
    {Mp4Type("wave"), BoxKind::Container}, {Mp4Type("foov"), BoxKind::Container},
    {Mp4Type("dref"), BoxKind::EntryList}, {Mp4Type("stsd"), BoxKind::EntryList},
    {Mp4Type("cmov"), BoxKind::Cmov},
    {Mp4Type("soun"), BoxKind::SoundEntry}, {Mp4MsType(0x0002), BoxKind::SoundEntry}, {Mp4MsType(0x0011), BoxKind::SoundEntry},
    {Mp4MsType(0x0055), BoxKind::SoundEntry}, {Mp4Type(".mp3"), BoxKind::SoundEntry}, {Mp4Type("mp4a"), BoxKind::SoundEntry},
    {Mp4Type("twos"), BoxKind::SoundEntry}, {Mp4Type("sowt"), BoxKind::SoundEntry}, {Mp4Type("QDMC"), BoxKind::SoundEntry},
    {Mp4Type("QDM2"), BoxKind::SoundEntry}, {Mp4Type("ima4"), BoxKind::SoundEntry}, {Mp4Type("IMA4"), BoxKind::SoundEntry},
    {Mp4Type("dvi "), BoxKind::SoundEntry}, {Mp4Type("alaw"), BoxKind::SoundEntry}, {Mp4Type("ulaw"), BoxKind::SoundEntry},
    {Mp4Type("raw "), BoxKind::SoundEntry}, {Mp4Type("MAC3"), BoxKind::SoundEntry}, {Mp4Type("MAC6"), BoxKind::SoundEntry},
    {Mp4Type("Qclp"), BoxKind::SoundEntry}, {Mp4Type("sqcp"), BoxKind::SoundEntry}, {Mp4Type("s723"), BoxKind::SoundEntry},
    {Mp4Type("samr"), BoxKind::SoundEntry}, {Mp4Type("sevc"), BoxKind::SoundEntry}, {Mp4Type("evrc"), BoxKind::SoundEntry},
    {Mp4Type("in24"), BoxKind::SoundEntry}, {Mp4Type("ac-3"), BoxKind::SoundEntry},
    {Mp4Type("vide"), BoxKind::VideoEntry}, {Mp4Type("mp4v"), BoxKind::VideoEntry}, {Mp4Type("SVQ1"), BoxKind::VideoEntry},
    {Mp4Type("ZyGo"), BoxKind::VideoEntry}, {Mp4Type("DIVX"), BoxKind::VideoEntry}, {Mp4Type("h263"), BoxKind::VideoEntry},
    {Mp4Type("h264"), BoxKind::VideoEntry}, {Mp4Type("s263"), BoxKind::VideoEntry}, {Mp4Type("avc1"), BoxKind::VideoEntry},
    {Mp4Type("cvid"), BoxKind::VideoEntry}, {Mp4Type("3IV1"), BoxKind::VideoEntry}, {Mp4Type("3iv1"), BoxKind::VideoEntry},
    {Mp4Type("3IV2"), BoxKind::VideoEntry}, {Mp4Type("3iv2"), BoxKind::VideoEntry}, {Mp4Type("3IVD"), BoxKind::VideoEntry},
    {Mp4Type("3ivd"), BoxKind::VideoEntry}, {Mp4Type("3VID"), BoxKind::VideoEntry}, {Mp4Type("3vid"), BoxKind::VideoEntry},
    {Mp4Type("mjpa"), BoxKind::VideoEntry}, {Mp4Type("mjqt"), BoxKind::VideoEntry}, {Mp4Type("dvc "), BoxKind::VideoEntry},
    {Mp4Type("dvp "), BoxKind::VideoEntry}, {Mp4Type("VP31"), BoxKind::VideoEntry}, {Mp4Type("vp31"), BoxKind::VideoEntry},
    {Mp4Type("dmb1"), BoxKind::VideoEntry}, {Mp4Type("jpeg"), BoxKind::VideoEntry}, {Mp4Type("IV41"), BoxKind::VideoEntry},
    {Mp4Type("rpza"), BoxKind::VideoEntry}, {Mp4Type("rle "), BoxKind::VideoEntry}, {Mp4Type("SVQ3"), BoxKind::VideoEntry},
    {Mp4Type("ftyp"), BoxKind::Record}, {Mp4Type("mvhd"), BoxKind::Record}, {Mp4Type("tkhd"), BoxKind::Record},
    {Mp4Type("mdhd"), BoxKind::Record}, {Mp4Type("hdlr"), BoxKind::Record}, {Mp4Type("stts"), BoxKind::Record},
    {Mp4Type("ctts"), BoxKind::Record}, {Mp4Type("stsh"), BoxKind::Record}, {Mp4Type("stsz"), BoxKind::Record},
    {Mp4Type("stsc"), BoxKind::Record}, {Mp4Type("stco"), BoxKind::Record}, {Mp4Type("co64"), BoxKind::Record},
    {Mp4Type("stss"), BoxKind::Record}, {Mp4Type("esds"), BoxKind::Record}, {Mp4Type("dcom"), BoxKind::Record},
    {Mp4Type("cmvd"), BoxKind::Record}, {Mp4Type("dqcp"), BoxKind::Record}, {Mp4Type("d723"), BoxKind::Record},
    {Mp4Type("devc"), BoxKind::Record}, {Mp4Type("avcC"), BoxKind::Record}, {Mp4Type("dac3"), BoxKind::Record},
    {Mp4Type("pasp"), BoxKind::Record},
};

BoxKind KindOf(std::uint32_t type)
{
    for (const BoxRow& row : kBoxTable)
        if (row.type == type)
            return row.kind;
    return BoxKind::Opaque;
}

template <typename Record>
std::unique_ptr<Mp4Payload> Decode(std::span<const BYTE> payload)
{
    auto record = std::make_unique<Record>();
    return record->Parse(payload) ? std::move(record) : nullptr;
}

std::unique_ptr<Mp4Payload> DecodeRecord(std::uint32_t type, std::span<const BYTE> payload)
{
    switch (type) {
    case Mp4Type("ftyp"): return Decode<Mp4Ftyp>(payload);
    case Mp4Type("mvhd"): return Decode<Mp4Mvhd>(payload);
    case Mp4Type("tkhd"): return Decode<Mp4Tkhd>(payload);
    case Mp4Type("mdhd"): return Decode<Mp4Mdhd>(payload);
    case Mp4Type("hdlr"): return Decode<Mp4Hdlr>(payload);
    case Mp4Type("stts"): case Mp4Type("ctts"): case Mp4Type("stsh"): return Decode<Mp4RunTable>(payload);
    case Mp4Type("stsz"): return Decode<Mp4Stsz>(payload);
    case Mp4Type("stsc"): return Decode<Mp4Stsc>(payload);
    case Mp4Type("stco"): case Mp4Type("co64"): {
        auto record = std::make_unique<Mp4ChunkOffsets>();
        return record->Parse(payload, type == Mp4Type("co64")) ? std::move(record) : nullptr;
    }
    case Mp4Type("stss"): return Decode<Mp4Stss>(payload);
    case Mp4Type("esds"): return Decode<Mp4Esds>(payload);
    case Mp4Type("dcom"): return Decode<Mp4Dcom>(payload);
    case Mp4Type("cmvd"): return Decode<Mp4Cmvd>(payload);
    case Mp4Type("dqcp"): case Mp4Type("d723"): case Mp4Type("devc"): return Decode<Mp4DecoderRecord>(payload);
    case Mp4Type("avcC"): return Decode<Mp4AvcC>(payload);
    case Mp4Type("dac3"): return Decode<Mp4Dac3>(payload);
    case Mp4Type("pasp"): return Decode<Mp4Pasp>(payload);
    default: return nullptr;
    }
}

struct Signature {
    std::uint32_t type;
    LONGLONG treeStart;
    LONGLONG adjustment;
};

constexpr Signature kSignatures[] = {
    {Mp4Type("ftyp"), 0, 0},     {Mp4Type("moov"), 0, 0},     {Mp4Type("foov"), 0, 0},     {Mp4Type("mdat"), 0, 0},
    {Mp4Type("free"), 0, 0},     {Mp4Type("skip"), 0, 0},     {Mp4Type("wide"), 0, 0},     {Mp4Type("udta"), 0, 0},
    {Mp4Type("moof"), 0, 0},     {Mp4Type("pnot"), 0, 0},     {Mp4Type("M1.0"), 64, 64},   {Mp4Type("M1.2"), 178, 88},
    {Mp4Type("M1.3"), 210, 120}, {Mp4Type("M1.5"), 188, 120}, {Mp4Type("M1.6"), 210, 120},
};

// The boxes only extensions read; the rest stay opaque.
BoxKind ExtensionKindOf(const Mp4Box& box)
{
    const std::uint32_t type = box.type;
    const std::uint32_t parentType = box.parent ? box.parent->type : 0;
    if (IsFragmentContainer(type))
        return BoxKind::Container;
    // "alac" names both the sample entry and the configuration box inside it.
    if (IsExtensionRecord(type, parentType))
        return BoxKind::ExtensionRecord;
    if (IsExtensionVideoEntry(type))
        return BoxKind::VideoEntry;
    if (IsExtensionSoundEntry(type))
        return BoxKind::SoundEntry;
    switch (type) {
    case Mp4Type("trex"): case Mp4Type("tfhd"): case Mp4Type("tfdt"): case Mp4Type("trun"): case Mp4Type("tfra"):
    case Mp4Type("elst"):
        return BoxKind::ExtensionRecord;
    default:
        return BoxKind::Opaque;
    }
}

// Whether a box lies inside a "minf" that has a video media header.
bool IsInVideoMedia(const Mp4Box& box)
{
    for (const Mp4Box* up = box.parent; up; up = up->parent)
        if (up->type == Mp4Type("minf"))
            return FindBox(*up, "vmhd") != nullptr;
    return false;
}

LONGLONG EndOf(const Mp4Box& box) { return box.start + static_cast<LONGLONG>(std::min<std::uint64_t>(box.size, INT64_MAX / 2)); }

}  // namespace

KMp4ReadHandler::KMp4ReadHandler() : m_root(std::make_unique<Mp4Box>()) {}

KMp4ReadHandler::~KMp4ReadHandler() { Close(); }

void KMp4ReadHandler::Close()
{
    m_tracks.clear();
    m_root = std::make_unique<Mp4Box>();
    if (m_file)
        m_file->Close();
    m_file.reset();
    m_timeScale = m_duration = 0;
    m_hasVideo = m_hasAudio = false;
    m_adjustment = 0;
    m_openedSize = 0;
    m_extensions = false;
}

bool KMp4ReadHandler::ReadHeader(KCacheFile& file, Mp4Box& box)
{
    BYTE header[32] = {};
    box.start = file.Tell();
    const DWORD got = file.Read(header, sizeof header);
    file.Seek(box.start);
    if (got < 8)
        return false;
    box.size32 = ReadBE32(header);
    box.type = ReadBE32(header + 4);
    box.size = box.size32;
    if (box.size32 == 1) {
        if (got < 16)
            return false;
        box.size = ReadBE64(header + 8);
    }
    if (box.type == Mp4Type("uuid")) {
        const std::uint32_t at = box.size32 == 1 ? 16 : 8;
        if (got < at + 16)
            return false;
        std::copy_n(header + at, 16, box.uuid.begin());
    }
    // A size of 0 would run to the end of the file: here it ends the sibling list instead.
    return box.size >= box.HeaderLength();
}

bool KMp4ReadHandler::ReadBox(KCacheFile& file, Mp4Box& box, int depth)
{
    if (!ReadHeader(file, box))
        return false;
    BoxKind kind = KindOf(box.type);
    if (m_extensions && kind == BoxKind::Opaque)
        kind = ExtensionKindOf(box);
    // "raw " names uncompressed sound and uncompressed video alike: the media's header decides.
    if (box.type == Mp4Type("raw ") && IsInVideoMedia(box))
        kind = BoxKind::VideoEntry;
    const LONGLONG payloadStart = box.start + box.HeaderLength();
    // A root-level "free" that holds a movie header stands in for "moov".
    if (box.type == Mp4Type("free") && box.parent && box.parent->type == Mp4Type("root")) {
        BYTE peek[44] = {};
        file.Seek(box.start);
        const DWORD got = file.Read(peek, sizeof peek);
        const std::uint32_t child = box.HeaderLength() + 4;
        if (got >= child + 8) {
            const std::uint32_t firstType = ReadBE32(peek + child);
            if (firstType == Mp4Type("cmov") || firstType == Mp4Type("mvhd")) {
                box.type = Mp4Type("foov");
                kind = BoxKind::Container;
            }
        }
    }
    if (depth >= kMaxDepth)
        return true;
    switch (kind) {
    case BoxKind::Opaque:
        return true;
    case BoxKind::Container:
    case BoxKind::Cmov:
        if (box.size > box.HeaderLength() + 8)
            ReadChildren(file, box, payloadStart, depth + 1);
        return true;
    case BoxKind::EntryList:
        ReadChildren(file, box, payloadStart + 8, depth + 1);
        return true;
    default:
        break;
    }
    // Payload readers take the whole box; one that the file cannot hold is refused.
    const std::uint64_t payloadSize = box.size - box.HeaderLength();
    if (payloadSize > static_cast<std::uint64_t>(std::max<LONGLONG>(file.GetSize() - payloadStart, 0)) || payloadSize > 0x7FFFFFFF)
        return false;
    std::vector<BYTE> payload(static_cast<std::size_t>(payloadSize));
    file.Seek(payloadStart);
    if (!payload.empty() && file.Read(payload.data(), static_cast<DWORD>(payload.size())) != payload.size())
        return false;
    // A payload that does not decode (cut short, or a table count refused as absurd) fails the
    // box: the walk of its siblings ends there, and what was read before it stays.
    if (kind == BoxKind::Record) {
        box.data = DecodeRecord(box.type, payload);
        return box.data != nullptr;
    }
    if (kind == BoxKind::ExtensionRecord) {
        box.data = DecodeExtensionRecord(box.type, payload);
        if (!box.data)
            box.data = DecodeFragmentRecord(box.type, payload);
        if (!box.data && box.type == Mp4Type("elst"))
            box.data = Decode<Mp4Elst>(payload);
        return box.data != nullptr;
    }
    // Sample entries keep their body after the reserved bytes and data-reference index.
    if (payload.size() >= 8)
        box.extra.assign(payload.begin() + 8, payload.end());
    std::size_t childOffset = Mp4VideoEntry::kChildOffset;
    if (kind == BoxKind::SoundEntry) {
        auto sound = std::make_unique<Mp4SoundEntry>();
        if (!sound->Parse(payload))
            return false;
        childOffset = sound->childOffset;
        box.data = std::move(sound);
    } else {
        auto video = std::make_unique<Mp4VideoEntry>();
        if (!video->Parse(payload))
            return false;
        box.data = std::move(video);
    }
    if (childOffset < payload.size())
        ReadChildren(file, box, payloadStart + static_cast<LONGLONG>(childOffset), depth + 1);
    return true;
}

void KMp4ReadHandler::ReadChildren(KCacheFile& file, Mp4Box& parent, LONGLONG position, int depth)
{
    const LONGLONG end = EndOf(parent);
    while (position + 8 <= end) {
        file.Seek(position);
        if (file.Tell() != position)
            return;
        auto child = std::make_unique<Mp4Box>();
        child->parent = &parent;
        if (!ReadBox(file, *child, depth))
            return;
        const LONGLONG next = EndOf(*child);
        parent.children.push_back(std::move(child));
        if (next >= end)
            return;
        position = next;
    }
}

bool KMp4ReadHandler::Open(LPCWSTR path, bool extensions)
{
    Close();
    m_extensions = extensions;
    m_file = std::make_unique<KCacheFile>(kWindow);
    if (!m_file->Open(path))
        return false;
    BYTE start[8] = {};
    if (m_file->Read(start, sizeof start) != sizeof start)
        return false;
    const std::uint32_t signature = ReadBE32(start + 4);
    const auto found = std::find_if(std::begin(kSignatures), std::end(kSignatures),
                                    [signature](const Signature& s) { return s.type == signature; });
    if (found == std::end(kSignatures))
        return false;
    m_adjustment = found->adjustment;
    m_openedSize = m_file->GetSize();

    m_root->type = Mp4Type("root");
    m_root->size32 = 1;
    m_root->start = 0;
    m_root->size = static_cast<std::uint64_t>(m_openedSize);
    ReadChildren(*m_file, *m_root, found->treeStart, 0);
    if (m_root->children.empty())
        return false;

    if (FindBox("/moov/cmov/cmvd"))
        InflateMovieHeader();
    if (CountBoxes("/moov") < 1) {
        for (auto& child : m_root->children)
            if (child->type == Mp4Type("foov")) {
                child->type = Mp4Type("moov");
                break;
            }
    }
    const Mp4Box* mvhd = FindBox("/moov/mvhd");
    if (!mvhd || !mvhd->Payload<Mp4Mvhd>())
        return false;
    m_timeScale = mvhd->Payload<Mp4Mvhd>()->timeScale;
    m_duration = mvhd->Payload<Mp4Mvhd>()->duration;

    BuildTracks();
    m_file->EnlargeWindow(KCacheFile::kPlaybackCapacity);
    return true;
}

void KMp4ReadHandler::BuildTracks()
{
    const int count = CountBoxes("/moov/trak");
    for (int i = 0; i < count; ++i) {
        const Mp4Box* trak = FindBox(IndexedPath("/moov/trak", static_cast<std::uint32_t>(i)));
        auto track = trak ? Mp4Track::Build(*trak, m_adjustment, m_extensions) : nullptr;
        if (!track)
            continue;
        if (m_extensions) {
            if (const Mp4Box* elst = ::FindBox(*trak, "edts/elst"); elst && elst->Payload<Mp4Elst>())
                track->editTicks = EditShiftTicks(*elst->Payload<Mp4Elst>(), m_timeScale, track->timeScale);
        }
        m_tracks.push_back(std::move(track));
    }
    if (m_extensions) {
        AppendFragments(*m_root, m_tracks, static_cast<std::uint64_t>(std::max<LONGLONG>(m_openedSize, 0)));
        std::erase_if(m_tracks, [](const std::unique_ptr<Mp4Track>& track) { return !track->FinishSetup(); });
        // A movie box written before its fragments knows no duration, or only its own samples':
        // the longest track gives it.
        if (m_timeScale != 0)
            for (const auto& track : m_tracks) {
                const REFERENCE_TIME end = Mp4TicksToTime(
                    static_cast<std::int64_t>(std::min<std::uint64_t>(track->duration, INT64_MAX / 4)) + track->editTicks, track->timeScale);
                m_duration = std::max<std::uint64_t>(
                    m_duration, static_cast<std::uint64_t>(std::max<__int128>(static_cast<__int128>(end) * m_timeScale / 10000000, 0)));
            }
    }
    for (const auto& track : m_tracks) {
        m_hasVideo |= track->type == Mp4TrackType::Video;
        m_hasAudio |= track->type == Mp4TrackType::Audio;
    }
}

void KMp4ReadHandler::InflateMovieHeader()
{
    const Mp4Box* cmvdBox = FindBox("/moov/cmov/cmvd");
    const auto* cmvd = cmvdBox ? cmvdBox->Payload<Mp4Cmvd>() : nullptr;
    if (!cmvd || cmvd->compressed.empty() || cmvd->uncompressedSize == 0)
        return;
    // The declared size is the file's word; a movie header is never near this large.
    if (cmvd->uncompressedSize > 0x10000000)
        return;
    std::vector<BYTE> inflated(cmvd->uncompressedSize);
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK)
        return;
    stream.next_in = const_cast<Bytef*>(cmvd->compressed.data());
    stream.avail_in = static_cast<uInt>(cmvd->compressed.size());
    stream.next_out = inflated.data();
    stream.avail_out = static_cast<uInt>(inflated.size());
    const int result = inflate(&stream, Z_FINISH);
    const uLong produced = stream.total_out;
    inflateEnd(&stream);
    // A stream cut short (or a declared size that is not the truth) leaves the header unread.
    if (result == Z_STREAM_END)
        inflated.resize(produced);
    else if (result != Z_OK)
        return;

    // The inflated movie box is read like any file: through a temporary file of its own.
    WCHAR directory[MAX_PATH] = {};
    WCHAR name[MAX_PATH] = {};
    if (!GetTempPathW(MAX_PATH, directory) || !GetTempFileNameW(directory, WSTR("zums"), 0, name))
        return;
    bool written = false;
    {
        KFile out;
        written = out.OpenWrite(name) && out.Write(inflated.data(), static_cast<DWORD>(inflated.size())) == inflated.size();
        out.Close();
    }
    if (written) {
        KCacheFile header(kWindow);
        if (header.Open(name)) {
            for (auto& child : m_root->children)
                if (child->type == Mp4Type("moov")) {
                    child->type = Mp4Type("skip");
                    break;
                }
            // The inflated boxes join the root after what the file itself holds.
            Mp4Box holder;
            holder.type = Mp4Type("root");
            holder.size = static_cast<std::uint64_t>(header.GetSize());
            holder.parent = nullptr;
            ReadChildren(header, holder, 0, 1);
            for (auto& child : holder.children) {
                child->parent = m_root.get();
                m_root->children.push_back(std::move(child));
            }
            header.Close();
        }
    }
    DeleteFileW(name);
}
