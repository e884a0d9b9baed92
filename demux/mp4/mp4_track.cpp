#include "demux/mp4/mp4_track.h"

#include <algorithm>
#include <limits>

#include "demux/mp4/mp4_media_types.h"

namespace {

constexpr std::int64_t kUnitsPerSecond = 10000000;
// Constant-size audio of small samples is read this many samples at a time.
constexpr std::uint32_t kBatchSamples = 1024;

// How the reader cuts a track into read units.
enum class UnitKind { PerSample, FixedSample, WholeChunk, Packet, Batch };

template <typename Record>
const Record* PayloadAt(const Mp4Box& from, std::string_view path)
{
    const Mp4Box* box = FindBox(from, path);
    return box ? box->Payload<Record>() : nullptr;
}

// Decode ticks plus signed offsets, kept inside 64 bits: a fragment's decode time may be any
// 64-bit value.
std::int64_t ShiftedTicks(std::uint64_t dts, std::int64_t offset)
{
    return static_cast<std::int64_t>(std::clamp<__int128>(static_cast<__int128>(dts) + offset, std::numeric_limits<std::int64_t>::min(),
                                                          std::numeric_limits<std::int64_t>::max()));
}

// The integer part of a signed 16.16 matrix entry, truncated toward zero.
std::int64_t FixedInteger(std::uint32_t value) { return static_cast<std::int32_t>(value) / 65536; }

}  // namespace

REFERENCE_TIME Mp4TicksToTime(std::int64_t ticks, std::uint64_t timeScale)
{
    if (timeScale == 0)
        return 0;
    const __int128 time = static_cast<__int128>(ticks) * kUnitsPerSecond / static_cast<__int128>(timeScale);
    return static_cast<REFERENCE_TIME>(std::clamp<__int128>(time, std::numeric_limits<std::int64_t>::min(),
                                                            std::numeric_limits<std::int64_t>::max()));
}

std::unique_ptr<Mp4Track> Mp4Track::Build(const Mp4Box& trak, std::int64_t chunkOffsetAdjustment, bool extensions)
{
    const auto* tkhd = PayloadAt<Mp4Tkhd>(trak, "tkhd");
    if (!tkhd)
        return nullptr;
    auto track = std::make_unique<Mp4Track>();
    track->trackId = tkhd->trackId;
    track->enabled = (tkhd->flags & 1) != 0;
    track->width = static_cast<std::int32_t>(tkhd->width >> 16);
    track->height = static_cast<std::int32_t>(tkhd->height >> 16);
    const std::int64_t numerator = FixedInteger(tkhd->matrix[0]) * track->width;
    const std::int64_t denominator = static_cast<std::int64_t>(track->height) * FixedInteger(tkhd->matrix[4]);
    if (denominator != 0)
        track->displayAspect = static_cast<float>(numerator) / static_cast<float>(denominator);

    const auto* mdhd = PayloadAt<Mp4Mdhd>(trak, "mdia/mdhd");
    const auto* hdlr = PayloadAt<Mp4Hdlr>(trak, "mdia/hdlr");
    if (!mdhd || !hdlr)
        return nullptr;
    track->timeScale = mdhd->timeScale;
    track->duration = mdhd->duration;
    track->language = mdhd->language;
    if (hdlr->handlerType == Mp4Type("vide") && FindBox(trak, "mdia/minf/vmhd"))
        track->type = Mp4TrackType::Video;
    else if (hdlr->handlerType == Mp4Type("soun") && FindBox(trak, "mdia/minf/smhd"))
        track->type = Mp4TrackType::Audio;
    else
        return nullptr;
    // Edit lists ("edts/elst") are applied by the read handler, and only with extensions on.
    track->stbl = FindBox(trak, "mdia/minf/stbl");
    track->stsd = FindBox(trak, "mdia/minf/stbl/stsd");
    if (!track->stbl || !track->stsd)
        return nullptr;
    // A movie box written for fragments has empty tables: the fragments fill them later.
    const bool built = track->BuildChunkTable(chunkOffsetAdjustment);
    if (!built && !extensions)
        return nullptr;
    if (built && !track->BuildSampleTable())
        return nullptr;
    if (const auto* stss = PayloadAt<Mp4Stss>(*track->stbl, "stss"))
        track->syncSamples = &stss->samples;
    if (const auto* ctts = PayloadAt<Mp4RunTable>(*track->stbl, "ctts"); ctts && !ctts->runs.empty())
        track->compositionOffsets = ctts;
    if (!extensions && !track->FinishSetup())
        return nullptr;
    return track;
}

bool Mp4Track::FinishSetup()
{
    if (chunks.empty() || sampleCount == 0 || !SetUpMp4Codec(*this))
        return false;
    // Chunks before the first "stsc" entry hold no samples.
    while (currentChunk + 1 < chunks.size() && chunks[currentChunk].samples == 0)
        ++currentChunk;
    RecomputeOffsetInChunk();
    MoveSyncCursor();
    return true;
}

bool Mp4Track::BuildChunkTable(std::int64_t adjustment)
{
    const auto* offsets = PayloadAt<Mp4ChunkOffsets>(*stbl, "stco");
    if (!offsets)
        offsets = PayloadAt<Mp4ChunkOffsets>(*stbl, "co64");
    const auto* stsc = PayloadAt<Mp4Stsc>(*stbl, "stsc");
    if (!offsets || !stsc || offsets->offsets.empty() || stsc->entries.empty())
        return false;
    chunks.resize(offsets->offsets.size());
    for (std::size_t i = 0; i < chunks.size(); ++i)
        chunks[i].offset = offsets->offsets[i] + static_cast<std::uint64_t>(adjustment);
    // Each entry covers its first chunk up to where the next entry begins; walked from the last.
    std::size_t bound = chunks.size();
    for (auto e = stsc->entries.rbegin(); e != stsc->entries.rend(); ++e) {
        if (e->firstChunk == 0)
            continue;
        const std::size_t first = e->firstChunk - 1;
        for (std::size_t c = first; c < bound; ++c) {
            chunks[c].samples = e->samplesPerChunk;
            chunks[c].descriptionIndex = e->descriptionIndex;
        }
        bound = std::min(bound, first);
    }
    std::uint64_t next = 0;
    for (Mp4ChunkEntry& chunk : chunks) {
        chunk.firstSample = static_cast<std::uint32_t>(std::min<std::uint64_t>(next, std::numeric_limits<std::uint32_t>::max()));
        next += chunk.samples;
    }
    return true;
}

bool Mp4Track::BuildSampleTable()
{
    const auto* stts = PayloadAt<Mp4RunTable>(*stbl, "stts");
    const auto* stsz = PayloadAt<Mp4Stsz>(*stbl, "stsz");
    if (!stts || !stsz)
        return false;
    sampleCount = stsz->sampleCount;
    constantSize = stsz->sampleSize;
    if (constantSize == 0) {
        sizes = stsz->sizes;
        // A size table cut short ends the track where it ends.
        sampleCount = std::min<std::uint32_t>(sampleCount, static_cast<std::uint32_t>(sizes.size()));
    }
    std::uint64_t time = 0;
    std::uint64_t placed = 0;
    std::size_t run = 0;
    std::uint32_t used = 0;
    for (Mp4ChunkEntry& chunk : chunks) {
        chunk.firstDts = time;
        std::uint32_t left = chunk.samples;
        while (left > 0 && run < stts->runs.size()) {
            const auto& [count, delta] = stts->runs[run];
            const std::uint32_t n = std::min(count - used, left);
            if (n > 0) {
                chunk.runs.emplace_back(n, delta);
                // A run whose delta exceeds its own length in seconds would push every later
                // chunk far out; it counts only inside its chunk.
                if (delta <= (static_cast<std::uint64_t>(n) + 1) * timeScale)
                    time += static_cast<std::uint64_t>(delta) * n;
                left -= n;
                used += n;
                placed += n;
            }
            if (used >= count) {
                ++run;
                used = 0;
            }
        }
    }
    // Samples without a decode time are not delivered.
    sampleCount = static_cast<std::uint32_t>(std::min<std::uint64_t>(sampleCount, placed));
    return true;
}

namespace {

UnitKind KindOf(const Mp4Track& track)
{
    if (track.constantSize == 0)
        return UnitKind::PerSample;
    // Compressed frames of the extension codecs are one sample a unit whatever their size.
    if (track.type != Mp4TrackType::Audio || track.extension != Mp4Extension::None)
        return UnitKind::FixedSample;
    if (track.sound.version == 1) {
        // ffmpeg's ima4 tables count packets, not samples: each table sample is one packet.
        if (track.codec == mp4_codec::kIma4 && track.constantSize == track.sound.bytesPerFrame)
            return UnitKind::FixedSample;
        return track.blockAlign <= 1 ? UnitKind::WholeChunk : UnitKind::Packet;
    }
    return track.constantSize < 257 ? UnitKind::Batch : UnitKind::FixedSample;
}

}  // namespace

std::uint64_t Mp4Track::DtsInChunk(std::uint32_t c, std::uint32_t sample) const
{
    const Mp4ChunkEntry& chunk = chunks[c];
    // Samples are asked for in order: the walk goes on from the run it last stood in, so a long
    // chunk of varying durations costs one step a sample, not a walk from its start.
    if (c != m_dtsChunk || sample < m_dtsRunFirst) {
        m_dtsChunk = c;
        m_dtsRun = 0;
        m_dtsRunFirst = chunk.firstSample;
        m_dtsRunStart = chunk.firstDts;
    }
    while (m_dtsRun + 1 < chunk.runs.size()
           && static_cast<std::uint64_t>(sample) >= static_cast<std::uint64_t>(m_dtsRunFirst) + chunk.runs[m_dtsRun].first) {
        m_dtsRunStart += static_cast<std::uint64_t>(chunk.runs[m_dtsRun].first) * chunk.runs[m_dtsRun].second;
        m_dtsRunFirst += chunk.runs[m_dtsRun].first;
        ++m_dtsRun;
    }
    if (chunk.runs.empty() || sample < m_dtsRunFirst)
        return chunk.firstDts;
    return m_dtsRunStart + static_cast<std::uint64_t>(sample - m_dtsRunFirst) * chunk.runs[m_dtsRun].second;
}

std::int32_t Mp4Track::CompositionOffset(std::uint32_t sample) const
{
    if (!compositionOffsets)
        return 0;
    const auto& runs = compositionOffsets->runs;
    // Samples are asked for in order; the lookup goes on from where it stood.
    if (sample < m_cttsRunStart || m_cttsRun > runs.size()) {
        m_cttsRun = 0;
        m_cttsRunStart = 0;
    }
    while (m_cttsRun < runs.size() && static_cast<std::uint64_t>(sample) >= static_cast<std::uint64_t>(m_cttsRunStart) + runs[m_cttsRun].count) {
        m_cttsRunStart += runs[m_cttsRun].count;
        ++m_cttsRun;
    }
    return m_cttsRun < runs.size() ? static_cast<std::int32_t>(runs[m_cttsRun].value) : 0;
}

REFERENCE_TIME Mp4Track::CurrentTime(bool* sync) const
{
    const auto c = static_cast<std::uint32_t>(std::min<std::size_t>(currentChunk, chunks.size() - 1));
    const std::int64_t dts = ShiftedTicks(DtsInChunk(c, currentSample), std::int64_t{CompositionOffset(currentSample)} + editTicks);
    if (sync)
        *sync = !syncSamples || (syncCursor < syncSamples->size() && (*syncSamples)[syncCursor] == currentSample);
    return Mp4TicksToTime(dts, timeScale);
}

std::uint32_t Mp4Track::CurrentSize()
{
    const Mp4ChunkEntry& chunk = chunks[std::min<std::size_t>(currentChunk, chunks.size() - 1)];
    // A chunk that claims more samples than the tables hold ends with the last of them.
    const std::uint64_t chunkEnd = std::min<std::uint64_t>(chunk.firstSample + static_cast<std::uint64_t>(chunk.samples), sampleCount);
    const std::uint64_t leftInChunk = chunkEnd > currentSample ? chunkEnd - currentSample : 0;
    std::uint64_t size = constantSize;
    switch (KindOf(*this)) {
    case UnitKind::PerSample:
        size = currentSample < sizes.size() ? sizes[currentSample] : 0;
        break;
    case UnitKind::FixedSample:
        break;
    case UnitKind::WholeChunk:
        if (sound.samplesPerPacket && sound.bytesPerFrame)
            size = static_cast<std::uint64_t>(chunk.samples / sound.samplesPerPacket) * sound.bytesPerFrame;
        break;
    case UnitKind::Packet:
        if (sound.samplesPerPacket && sound.bytesPerFrame)
            size = sound.bytesPerFrame;
        break;
    case UnitKind::Batch:
        size = std::min<std::uint64_t>(leftInChunk, kBatchSamples) * constantSize;
        break;
    }
    lastSize = static_cast<std::uint32_t>(std::min<std::uint64_t>(size, std::numeric_limits<std::uint32_t>::max()));
    return lastSize;
}

std::uint64_t Mp4Track::CurrentOffset() const
{
    const Mp4ChunkEntry& chunk = chunks[std::min<std::size_t>(currentChunk, chunks.size() - 1)];
    const std::uint64_t intoChunk = currentSample > chunk.firstSample ? currentSample - chunk.firstSample : 0;
    switch (KindOf(*this)) {
    case UnitKind::PerSample:
        return chunk.offset + m_offsetInChunk;
    case UnitKind::WholeChunk:
        return chunk.offset;
    case UnitKind::Packet:
        if (sound.samplesPerPacket && sound.bytesPerFrame)
            return chunk.offset + intoChunk / sound.samplesPerPacket * sound.bytesPerFrame;
        return chunk.offset + intoChunk * constantSize;
    case UnitKind::FixedSample:
    case UnitKind::Batch:
        break;
    }
    return chunk.offset + intoChunk * constantSize;
}

bool Mp4Track::Advance()
{
    if (currentChunk >= chunks.size())
        return false;
    const Mp4ChunkEntry& chunk = chunks[currentChunk];
    const std::uint64_t chunkEnd = chunk.firstSample + static_cast<std::uint64_t>(chunk.samples);
    const std::uint64_t leftInChunk = chunkEnd > currentSample ? chunkEnd - currentSample : 1;
    // No unit runs into the next chunk: each chunk's units start at its own first sample.
    std::uint64_t step = 1;
    switch (KindOf(*this)) {
    case UnitKind::PerSample:
        if (currentSample < sizes.size())
            m_offsetInChunk += sizes[currentSample];
        break;
    case UnitKind::FixedSample:
        break;
    case UnitKind::WholeChunk:
        step = leftInChunk;
        break;
    case UnitKind::Packet:
        step = std::min<std::uint64_t>(std::max<std::uint32_t>(sound.samplesPerPacket, 1), leftInChunk);
        break;
    case UnitKind::Batch:
        step = std::min<std::uint64_t>(leftInChunk, kBatchSamples);
        break;
    }
    const std::uint64_t next = currentSample + std::max<std::uint64_t>(step, 1);
    if (next >= sampleCount)
        return false;
    currentSample = static_cast<std::uint32_t>(next);
    if (currentSample >= chunkEnd) {
        do {
            if (++currentChunk >= chunks.size())
                return false;
        } while (currentSample >= chunks[currentChunk].firstSample + static_cast<std::uint64_t>(chunks[currentChunk].samples));
        RecomputeOffsetInChunk();
    }
    if (syncSamples)
        while (syncCursor < syncSamples->size() && (*syncSamples)[syncCursor] < currentSample)
            ++syncCursor;
    return true;
}

bool Mp4Track::AdvancePastChunk()
{
    if (currentChunk >= chunks.size())
        return false;
    const Mp4ChunkEntry& chunk = chunks[currentChunk];
    const std::uint64_t last = std::min<std::uint64_t>(chunk.firstSample + static_cast<std::uint64_t>(chunk.samples), sampleCount);
    // From the chunk's last sample, one step leaves the chunk.
    if (last > static_cast<std::uint64_t>(currentSample) + 1)
        currentSample = static_cast<std::uint32_t>(last - 1);
    return Advance();
}

void Mp4Track::RecomputeOffsetInChunk()
{
    m_offsetInChunk = 0;
    if (constantSize != 0 || currentChunk >= chunks.size())
        return;
    const std::uint32_t first = chunks[currentChunk].firstSample;
    for (std::uint32_t s = first; s < currentSample && s < sizes.size(); ++s)
        m_offsetInChunk += sizes[s];
}

void Mp4Track::MoveSyncCursor()
{
    syncCursor = 0;
    if (!syncSamples)
        return;
    const auto found = std::lower_bound(syncSamples->begin(), syncSamples->end(), currentSample);
    syncCursor = static_cast<std::uint32_t>(found - syncSamples->begin());
}

REFERENCE_TIME Mp4Track::TimeOfSample(std::uint32_t sample) const
{
    std::uint32_t c = static_cast<std::uint32_t>(chunks.size() - 1);
    for (std::uint32_t i = 0; i + 1 < chunks.size(); ++i)
        if (chunks[i].firstSample <= sample && sample < chunks[i + 1].firstSample) {
            c = i;
            break;
        }
    const std::uint64_t dts = sample == chunks[c].firstSample ? chunks[c].firstDts : DtsInChunk(c, sample);
    return Mp4TicksToTime(ShiftedTicks(dts, editTicks), timeScale);
}

bool Mp4Track::Locate(REFERENCE_TIME time, bool snapToSync, bool preferEarlier, Mp4Location* location) const
{
    if (chunks.empty() || timeScale == 0)
        return false;
    // Media ticks: the edit shift comes off the time asked for.
    const auto target = static_cast<std::uint64_t>(std::clamp<__int128>(
        static_cast<__int128>(time) * timeScale / kUnitsPerSecond - editTicks, 0,
        std::numeric_limits<std::uint64_t>::max()));
    std::uint32_t c = static_cast<std::uint32_t>(chunks.size() - 1);
    for (std::uint32_t i = 0; i + 1 < chunks.size(); ++i)
        if (chunks[i].firstDts <= target && target < chunks[i + 1].firstDts) {
            c = i;
            break;
        }
    std::uint64_t sample = chunks[c].firstSample;
    std::uint64_t start = chunks[c].firstDts;
    std::uint32_t run = 0;
    for (; run < chunks[c].runs.size(); ++run) {
        const auto& [count, delta] = chunks[c].runs[run];
        const std::uint64_t end = start + static_cast<std::uint64_t>(count) * delta;
        if (end >= target) {
            if (delta != 0 && target > start)
                sample += (target - start) / delta;
            break;
        }
        sample += count;
        start = end;
    }
    if (sample >= sampleCount)
        return false;
    const std::vector<std::uint32_t>* points = randomAccess.empty() ? syncSamples : &randomAccess;
    if (snapToSync && points && !points->empty()) {
        const auto found = std::lower_bound(points->begin(), points->end(), sample);
        if (found == points->end())
            sample = points->back();
        else if (preferEarlier && found != points->begin())
            sample = *std::prev(found);
        else
            sample = *found;
    }
    while (c > 0 && sample < chunks[c].firstSample)
        --c;
    while (c + 1 < chunks.size() && sample >= chunks[c].firstSample + static_cast<std::uint64_t>(chunks[c].samples))
        ++c;
    location->chunk = c;
    location->sample = static_cast<std::uint32_t>(sample);
    location->run = run;
    return true;
}

bool Mp4Track::Seek(REFERENCE_TIME time, bool preferEarlier)
{
    Mp4Location location;
    if (!Locate(time, true, preferEarlier, &location))
        return false;
    currentChunk = location.chunk;
    currentSample = location.sample;
    RecomputeOffsetInChunk();
    MoveSyncCursor();
    return true;
}

REFERENCE_TIME Mp4Track::AvailableTime(LONGLONG byteCount) const
{
    if (chunks.empty())
        return 0;
    const auto bytes = static_cast<std::uint64_t>(std::max<LONGLONG>(byteCount, 0));
    std::size_t c = chunks.size() - 1;
    for (std::size_t i = 0; i + 1 < chunks.size(); ++i)
        if (chunks[i].offset <= bytes && bytes < chunks[i + 1].offset) {
            c = i;
            break;
        }
    return Mp4TicksToTime(ShiftedTicks(chunks[c].firstDts, editTicks), timeScale);
}
