// Mp4Track: one "trak" turned into a chunk table (where each chunk lies, which samples it holds,
// when its first sample is decoded, its stretch of the time-to-sample runs), the sample sizes and
// sync samples, and a cursor over them. The reader thread asks it, unit by unit, how many bytes
// to read from where, at which time; a seek asks it which sample a time falls on. Times leave
// here in 100 ns.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "demux/mp4/mp4_box.h"
#include "demux/mp4/mp4_codec_boxes.h"

enum class Mp4TrackType : std::uint32_t { Video = 0, Audio = 1, None = 2 };

struct Mp4ChunkEntry {
    std::uint64_t offset = 0;
    std::uint32_t descriptionIndex = 0;  // 1-based
    std::uint32_t samples = 0;
    std::uint32_t firstSample = 0;
    std::uint64_t firstDts = 0;  // track ticks
    // The time-to-sample runs this chunk spans, each clipped to the chunk: (count, delta).
    std::vector<std::pair<std::uint32_t, std::uint32_t>> runs;
};

// Where a time falls: the chunk, the sample and the run index inside the chunk.
struct Mp4Location {
    std::uint32_t chunk = 0;
    std::uint32_t sample = 0;
    std::uint32_t run = 0;
};

class Mp4Track {
public:
    // Builds the track from its "trak" box; null when a mandatory box is missing, a table is
    // empty or the codec setup fails. The adjustment is added to every chunk offset. With
    // extensions on, empty sample tables are allowed (fragments may fill them) and the codec
    // setup waits for FinishSetup.
    static std::unique_ptr<Mp4Track> Build(const Mp4Box& trak, std::int64_t chunkOffsetAdjustment, bool extensions = false);
    // The codec setup and the cursor at the first sample; false when the track cannot play.
    bool FinishSetup();

    // The next unit's time (decode time plus composition offset) and whether it is a sync sample.
    REFERENCE_TIME CurrentTime(bool* sync = nullptr) const;
    // Bytes of the next read unit (one sample, or several for constant-size audio).
    std::uint32_t CurrentSize();
    std::uint64_t CurrentOffset() const;
    // Moves past the unit; false once the track has no more samples.
    bool Advance();
    // Moves past every unit left in the current chunk; false once the track has no more samples.
    bool AdvancePastChunk();
    // Decode time of a sample, without composition offset.
    REFERENCE_TIME TimeOfSample(std::uint32_t sample) const;
    bool Locate(REFERENCE_TIME time, bool snapToSync, bool preferEarlier, Mp4Location* location) const;
    // Locate with snapping, and the cursor moved there.
    bool Seek(REFERENCE_TIME time, bool preferEarlier);
    // The time reachable within the first byteCount bytes of the file.
    REFERENCE_TIME AvailableTime(LONGLONG byteCount) const;

    std::uint32_t trackId = 0;
    bool enabled = false;
    bool active = false;  // the reader thread still delivers from it
    Mp4TrackType type = Mp4TrackType::None;
    std::array<char, 4> language{};
    std::int32_t width = 0;
    std::int32_t height = 0;
    float displayAspect = 0;
    float pixelAspect = 0;
    std::uint64_t timeScale = 0;
    std::uint64_t duration = 0;

    std::uint32_t currentSample = 0;
    std::uint32_t currentChunk = 0;
    std::uint32_t syncCursor = 0;
    std::uint32_t sampleCount = 0;
    std::vector<Mp4ChunkEntry> chunks;
    std::uint32_t constantSize = 0;
    std::vector<std::uint32_t> sizes;
    std::uint32_t blockAlign = 0;
    std::uint32_t maxBitRate = 0;
    std::uint32_t avgBitRate = 0;

    const Mp4Box* stbl = nullptr;
    const Mp4Box* stsd = nullptr;
    const Mp4Box* sampleEntry = nullptr;
    // The sound entry as the read units see it: the codec setup adjusts version and packet sizes.
    Mp4SoundEntry sound;
    std::uint8_t codec = 0;
    // The wave-format or bitmap-info header with the codec's extra data behind it.
    std::vector<BYTE> format;
    std::vector<BYTE> extraData;
    std::uint32_t lastSize = 0;
    bool swap16 = false;
    bool flipRaw = false;

    const std::vector<std::uint32_t>* syncSamples = nullptr;  // null without "stss"
    const Mp4RunTable* compositionOffsets = nullptr;          // null without "ctts"

    // Extensions only. The codec of an extension sample entry.
    Mp4Extension extension = Mp4Extension::None;
    // Added to every sample's time, in track ticks: the edit list's delay less its media time.
    std::int64_t editTicks = 0;
    // Sync samples and composition offsets once fragments add to the tables of the movie box.
    std::vector<std::uint32_t> ownedSync;
    Mp4RunTable ownedComposition;
    // Where seeks may land when the file's random-access table names samples; else the sync
    // samples decide.
    std::vector<std::uint32_t> randomAccess;

private:
    bool BuildChunkTable(std::int64_t adjustment);
    bool BuildSampleTable();
    // Decode ticks of a sample inside chunk c, walking the chunk's runs.
    std::uint64_t DtsInChunk(std::uint32_t c, std::uint32_t sample) const;
    std::int32_t CompositionOffset(std::uint32_t sample) const;
    // Byte offset of the current sample from its chunk's start (per-sample sizes only).
    void RecomputeOffsetInChunk();
    void MoveSyncCursor();

    std::uint64_t m_offsetInChunk = 0;
    // Where the decode-time walk last stood: chunk, run, the run's first sample and its ticks.
    mutable std::size_t m_dtsChunk = static_cast<std::size_t>(-1);
    mutable std::size_t m_dtsRun = 0;
    mutable std::uint32_t m_dtsRunFirst = 0;
    mutable std::uint64_t m_dtsRunStart = 0;
    // Where the composition-offset lookup last stood: the run and its first sample.
    mutable std::size_t m_cttsRun = 0;
    mutable std::uint32_t m_cttsRunStart = 0;
};

// Ticks of a time scale in 100 ns, truncated toward zero, without overflow.
REFERENCE_TIME Mp4TicksToTime(std::int64_t ticks, std::uint64_t timeScale);
