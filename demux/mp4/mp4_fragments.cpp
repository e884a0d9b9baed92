#include "demux/mp4/mp4_fragments.h"

#include <algorithm>
#include <limits>
#include <map>
#include <tuple>

#include "io/byte_reader.h"

namespace {

// A count above this is damage; the entries read are bounded by the payload anyway.
constexpr std::uint32_t kMaxEntries = 0x20000000;

// A tfra number of 1 to 4 bytes.
bool ReadSized(KByteReader& r, unsigned bytes, std::uint32_t* out)
{
    *out = 0;
    for (unsigned i = 0; i < bytes; ++i) {
        std::uint8_t byte = 0;
        if (!r.Read1(&byte))
            return false;
        *out = (*out << 8) | byte;
    }
    return true;
}

template <typename Record>
std::unique_ptr<Mp4Payload> Decode(std::span<const BYTE> payload)
{
    auto record = std::make_unique<Record>();
    return record->Parse(payload) ? std::move(record) : nullptr;
}

}  // namespace

bool Mp4Trex::Parse(std::span<const BYTE> payload)
{
    KByteReader r(payload);
    std::uint8_t version = 0;
    std::uint32_t boxFlags = 0;
    return ReadMp4FullHeader(r, &version, &boxFlags) && r.ReadBE4(&trackId) && r.ReadBE4(&descriptionIndex)
        && r.ReadBE4(&duration) && r.ReadBE4(&size) && r.ReadBE4(&flags);
}

bool Mp4Tfhd::Parse(std::span<const BYTE> payload)
{
    KByteReader r(payload);
    std::uint8_t version = 0;
    if (!ReadMp4FullHeader(r, &version, &flags) || !r.ReadBE4(&trackId))
        return false;
    return (!(flags & kBaseOffset) || r.ReadBE8(&baseOffset)) && (!(flags & kDescription) || r.ReadBE4(&descriptionIndex))
        && (!(flags & kDuration) || r.ReadBE4(&duration)) && (!(flags & kSize) || r.ReadBE4(&size))
        && (!(flags & kFlags) || r.ReadBE4(&sampleFlags));
}

bool Mp4Tfdt::Parse(std::span<const BYTE> payload)
{
    KByteReader r(payload);
    std::uint8_t version = 0;
    std::uint32_t flags = 0;
    return ReadMp4FullHeader(r, &version, &flags) && ReadMp4Versioned(r, version, &baseDecodeTime);
}

bool Mp4Trun::Parse(std::span<const BYTE> payload)
{
    KByteReader r(payload);
    std::uint8_t version = 0;
    std::uint32_t offset = 0;
    if (!ReadMp4FullHeader(r, &version, &flags) || !r.ReadBE4(&sampleCount) || sampleCount >= kMaxEntries)
        return false;
    if ((flags & kDataOffset) && !r.ReadBE4(&offset))
        return false;
    dataOffset = static_cast<std::int32_t>(offset);
    if ((flags & kFirstFlags) && !r.ReadBE4(&firstFlags))
        return false;
    const std::size_t perSample = 4u * (((flags & kDuration) != 0) + ((flags & kSize) != 0) + ((flags & kFlags) != 0)
                                        + ((flags & kComposition) != 0));
    if (perSample == 0)
        return true;
    samples.reserve(std::min<std::size_t>(sampleCount, r.Remaining() / perSample));
    while (samples.size() < sampleCount && r.Remaining() >= perSample) {
        Sample s{};
        std::uint32_t composition = 0;
        if (flags & kDuration)
            r.ReadBE4(&s.duration);
        if (flags & kSize)
            r.ReadBE4(&s.size);
        if (flags & kFlags)
            r.ReadBE4(&s.flags);
        if (flags & kComposition)
            r.ReadBE4(&composition);
        // Version 0 offsets are unsigned in the format, but ffmpeg and others write negative ones
        // there too; as a signed number both read right for any offset under 2^31.
        s.composition = static_cast<std::int32_t>(composition);
        samples.push_back(s);
    }
    return true;
}

bool Mp4Tfra::Parse(std::span<const BYTE> payload)
{
    KByteReader r(payload);
    std::uint8_t version = 0;
    std::uint32_t flags = 0, sizes = 0, count = 0;
    if (!ReadMp4FullHeader(r, &version, &flags) || !r.ReadBE4(&trackId) || !r.ReadBE4(&sizes) || !r.ReadBE4(&count)
        || count >= kMaxEntries)
        return false;
    const unsigned trafBytes = ((sizes >> 4) & 3) + 1, trunBytes = ((sizes >> 2) & 3) + 1, sampleBytes = (sizes & 3) + 1;
    const std::size_t entryBytes = (version == 1 ? 16u : 8u) + trafBytes + trunBytes + sampleBytes;
    entries.reserve(std::min<std::size_t>(count, r.Remaining() / entryBytes));
    while (entries.size() < count) {
        Entry e{};
        if (!ReadMp4Versioned(r, version, &e.time) || !ReadMp4Versioned(r, version, &e.moofOffset)
            || !ReadSized(r, trafBytes, &e.trafNumber) || !ReadSized(r, trunBytes, &e.trunNumber)
            || !ReadSized(r, sampleBytes, &e.sampleNumber))
            break;
        entries.push_back(e);
    }
    return true;
}

bool IsFragmentContainer(std::uint32_t type)
{
    return type == Mp4Type("mvex") || type == Mp4Type("traf") || type == Mp4Type("mfra");
}

std::unique_ptr<Mp4Payload> DecodeFragmentRecord(std::uint32_t type, std::span<const BYTE> payload)
{
    switch (type) {
    case Mp4Type("trex"): return Decode<Mp4Trex>(payload);
    case Mp4Type("tfhd"): return Decode<Mp4Tfhd>(payload);
    case Mp4Type("tfdt"): return Decode<Mp4Tfdt>(payload);
    case Mp4Type("trun"): return Decode<Mp4Trun>(payload);
    case Mp4Type("tfra"): return Decode<Mp4Tfra>(payload);
    default: return nullptr;
    }
}

namespace {

// Where one trun's samples went: what a tfra entry names, resolved to a sample.
struct RunPlace {
    std::uint64_t moofStart;
    std::uint32_t trafNumber;
    std::uint32_t trunNumber;
    std::uint32_t firstSample;
    std::uint32_t count;
};

// One track's state while fragments are appended.
struct Appender {
    Mp4Track* track = nullptr;
    const Mp4Trex* trex = nullptr;
    bool prepared = false;
    std::uint64_t nextDts = 0;  // decode ticks after the last sample so far
    std::vector<RunPlace> places;

    // Turns the movie box's tables into ones fragments can add to: per-sample sizes, and sync
    // samples and composition offsets of the track's own.
    void Prepare()
    {
        Mp4Track& t = *track;
        prepared = true;
        while (!t.chunks.empty() && t.chunks.back().firstSample >= t.sampleCount)
            t.chunks.pop_back();
        if (!t.chunks.empty()) {
            Mp4ChunkEntry& last = t.chunks.back();
            last.samples = std::min(last.samples, t.sampleCount - last.firstSample);
            nextDts = last.firstDts;
            std::uint32_t left = last.samples;
            for (auto& [count, delta] : last.runs) {
                count = std::min(count, left);
                left -= count;
                nextDts += static_cast<std::uint64_t>(count) * delta;
            }
        }
        if (t.constantSize != 0)
            t.sizes.assign(t.sampleCount, t.constantSize);
        t.sizes.resize(t.sampleCount);
        t.constantSize = 0;
        if (t.syncSamples)
            std::copy_if(t.syncSamples->begin(), t.syncSamples->end(), std::back_inserter(t.ownedSync),
                         [&t](std::uint32_t s) { return s < t.sampleCount; });
        else
            for (std::uint32_t s = 0; s < t.sampleCount; ++s)
                t.ownedSync.push_back(s);
        std::uint32_t covered = 0;
        if (t.compositionOffsets)
            for (const Mp4RunTable::Run& run : t.compositionOffsets->runs) {
                const std::uint32_t n = std::min(run.count, t.sampleCount - covered);
                if (n > 0)
                    t.ownedComposition.runs.push_back({n, run.value});
                covered += n;
            }
        if (covered < t.sampleCount)
            t.ownedComposition.runs.push_back({t.sampleCount - covered, 0});
        t.syncSamples = &t.ownedSync;
        t.compositionOffsets = &t.ownedComposition;
    }

    void Add(const Mp4Tfhd& tfhd, const Mp4Trun& trun, std::uint64_t offset, std::uint64_t limit, RunPlace place)
    {
        if (!prepared)
            Prepare();
        Mp4Track& t = *track;
        const auto pick = [](bool here, std::uint32_t value, bool inTfhd, std::uint32_t fromTfhd, std::uint32_t fromTrex) {
            return here ? value : inTfhd ? fromTfhd : fromTrex;
        };
        const std::uint32_t trexDuration = trex ? trex->duration : 0, trexSize = trex ? trex->size : 0,
                            trexFlags = trex ? trex->flags : 0;
        const std::uint64_t cap = std::min<std::uint64_t>(limit, kMaxEntries);
        const std::uint64_t room = cap > t.sampleCount ? cap - t.sampleCount : 0;
        const std::uint32_t count = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(trun.samples.empty() ? trun.sampleCount : trun.samples.size(), room));
        if (count == 0)
            return;
        Mp4ChunkEntry chunk;
        chunk.offset = offset;
        chunk.descriptionIndex = tfhd.flags & Mp4Tfhd::kDescription ? tfhd.descriptionIndex : trex ? trex->descriptionIndex : 1;
        chunk.samples = count;
        chunk.firstSample = t.sampleCount;
        chunk.firstDts = nextDts;
        for (std::uint32_t i = 0; i < count; ++i) {
            const Mp4Trun::Sample s = trun.samples.empty() ? Mp4Trun::Sample{} : trun.samples[i];
            const std::uint32_t duration = pick(trun.flags & Mp4Trun::kDuration, s.duration, tfhd.flags & Mp4Tfhd::kDuration,
                                                tfhd.duration, trexDuration);
            const std::uint32_t size = pick(trun.flags & Mp4Trun::kSize, s.size, tfhd.flags & Mp4Tfhd::kSize, tfhd.size, trexSize);
            std::uint32_t flags = pick(trun.flags & Mp4Trun::kFlags, s.flags, tfhd.flags & Mp4Tfhd::kFlags, tfhd.sampleFlags, trexFlags);
            if (i == 0 && (trun.flags & Mp4Trun::kFirstFlags))
                flags = trun.firstFlags;
            if (!chunk.runs.empty() && chunk.runs.back().second == duration)
                ++chunk.runs.back().first;
            else
                chunk.runs.emplace_back(1, duration);
            const auto composition = static_cast<std::uint32_t>(trun.flags & Mp4Trun::kComposition ? s.composition : 0);
            auto& runs = t.ownedComposition.runs;
            if (!runs.empty() && runs.back().value == composition)
                ++runs.back().count;
            else
                runs.push_back({1, composition});
            if (!(flags & kMp4SampleNotSync))
                t.ownedSync.push_back(t.sampleCount + i);
            t.sizes.push_back(size);
            nextDts += duration;
        }
        place.firstSample = t.sampleCount;
        place.count = count;
        places.push_back(place);
        t.sampleCount += count;
        t.chunks.push_back(std::move(chunk));
    }
};

template <typename Record>
const Record* RecordOf(const Mp4Box& box)
{
    return box.Payload<Record>();
}

// The random-access points of the track from its "tfra", as samples; sorted, without repeats.
void ApplyRandomAccess(const Mp4Box& root, Appender& appender)
{
    const Mp4Box* mfra = FindBox(root, "/mfra");
    if (!mfra)
        return;
    for (const auto& child : mfra->children) {
        const auto* tfra = child->type == Mp4Type("tfra") ? RecordOf<Mp4Tfra>(*child) : nullptr;
        if (!tfra || tfra->trackId != appender.track->trackId)
            continue;
        std::vector<std::uint32_t>& points = appender.track->randomAccess;
        std::map<std::tuple<std::uint64_t, std::uint32_t, std::uint32_t>, const RunPlace*> byPlace;
        for (const RunPlace& p : appender.places)
            byPlace.emplace(std::make_tuple(p.moofStart, p.trafNumber, p.trunNumber), &p);
        for (const Mp4Tfra::Entry& e : tfra->entries) {
            const auto place = byPlace.find(std::make_tuple(e.moofOffset, e.trafNumber, e.trunNumber));
            // An entry that names no sample read is left out: the others still hold.
            if (place != byPlace.end() && e.sampleNumber >= 1 && e.sampleNumber <= place->second->count)
                points.push_back(place->second->firstSample + e.sampleNumber - 1);
        }
        std::sort(points.begin(), points.end());
        points.erase(std::unique(points.begin(), points.end()), points.end());
        return;
    }
}

}  // namespace

void AppendFragments(const Mp4Box& root, std::vector<std::unique_ptr<Mp4Track>>& tracks, std::uint64_t fileSize)
{
    std::map<std::uint32_t, Appender> byId;
    for (auto& track : tracks)
        byId[track->trackId].track = track.get();
    if (const Mp4Box* mvex = FindBox(root, "/moov/mvex"))
        for (const auto& child : mvex->children)
            if (const auto* trex = child->type == Mp4Type("trex") ? RecordOf<Mp4Trex>(*child) : nullptr)
                if (auto found = byId.find(trex->trackId); found != byId.end())
                    found->second.trex = trex;

    for (const auto& moof : root.children) {
        if (moof->type != Mp4Type("moof"))
            continue;
        const auto moofStart = static_cast<std::uint64_t>(moof->start);
        // Without an offset of its own, a traf's data follows the previous traf's.
        std::uint64_t dataEnd = moofStart;
        std::uint32_t trafNumber = 0;
        for (const auto& traf : moof->children) {
            if (traf->type != Mp4Type("traf"))
                continue;
            ++trafNumber;
            const Mp4Box* tfhdBox = FindBox(*traf, "tfhd");
            const Mp4Tfhd* tfhd = tfhdBox ? RecordOf<Mp4Tfhd>(*tfhdBox) : nullptr;
            if (!tfhd)
                continue;
            const auto found = byId.find(tfhd->trackId);
            const std::uint64_t base = tfhd->flags & Mp4Tfhd::kBaseOffset ? tfhd->baseOffset
                                     : tfhd->flags & Mp4Tfhd::kBaseIsMoof ? moofStart
                                                                          : dataEnd;
            if (found != byId.end())
                if (const Mp4Box* tfdtBox = FindBox(*traf, "tfdt"); tfdtBox && RecordOf<Mp4Tfdt>(*tfdtBox)) {
                    if (!found->second.prepared)
                        found->second.Prepare();
                    found->second.nextDts = RecordOf<Mp4Tfdt>(*tfdtBox)->baseDecodeTime;
                }
            std::uint64_t next = base;
            std::uint32_t trunNumber = 0;
            for (const auto& child : traf->children) {
                const auto* trun = child->type == Mp4Type("trun") ? RecordOf<Mp4Trun>(*child) : nullptr;
                if (!trun)
                    continue;
                ++trunNumber;
                const std::uint64_t offset = trun->flags & Mp4Trun::kDataOffset
                    ? base + static_cast<std::uint64_t>(static_cast<std::int64_t>(trun->dataOffset))
                    : next;
                // The end of this trun's data, for the next trun without an offset; sizes from the
                // file are summed without trusting them to stay small.
                std::uint64_t bytes = 0;
                if (found != byId.end()) {
                    Appender& appender = found->second;
                    const std::uint32_t before = appender.track->sampleCount;
                    appender.Add(*tfhd, *trun, offset, fileSize, {moofStart, trafNumber, trunNumber, 0, 0});
                    for (std::uint32_t s = before; s < appender.track->sampleCount; ++s)
                        bytes += appender.track->sizes[s];
                }
                next = offset + std::min<std::uint64_t>(bytes, std::numeric_limits<std::uint32_t>::max());
            }
            dataEnd = next;
        }
    }
    for (auto& [id, appender] : byId) {
        // Seeks land on the video track's points; the other tracks follow to the time found,
        // which a table of fragment starts would round away.
        if (appender.track->type == Mp4TrackType::Video)
            ApplyRandomAccess(root, appender);
        // A movie header written before its fragments gives no duration, or only its own
        // samples': the fragments give the rest.
        if (appender.prepared)
            appender.track->duration = std::max(appender.track->duration, appender.nextDts);
    }
}
