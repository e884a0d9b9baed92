#include "demux/mkv/mkv_filter.h"

#include <algorithm>
#include <limits>

#include "demux/mkv/mkv_attachments.h"
#include "demux/mkv/mkv_block.h"
#include "demux/mkv/mkv_media_types.h"
#include "framework/class_ids.h"
#include "framework/com_out.h"
#include "framework/debug_trace.h"

namespace {

// Raised when a file without Cues has been indexed and its duration is known.
constexpr LONG EC_VMX_MKV_DURATION_KNOWN = 0xB001;
// The first blocks of a file tell which key frame flag its muxer sets.
constexpr int kStatisticsBlocks = 100;

// A track's CodecDelay in 100-ns units; a value from the file past an hour is no codec's.
REFERENCE_TIME CodecDelayOf(const KMkvTrackEntry& track)
{
    constexpr std::uint64_t kLimit = 3600ull * 1000000000ull;
    return track.codecDelay.value <= kLimit ? static_cast<REFERENCE_TIME>(track.codecDelay.value / 100) : 0;
}

bool IsBlockElement(std::uint32_t id) { return id == ebml_id::kBlockGroup || id == ebml_id::kSimpleBlock; }

// The Cluster's first BlockGroup or SimpleBlock, whichever comes first.
std::unique_ptr<KEbmlElement> FirstBlockOf(KEbmlElement& cluster)
{
    auto child = cluster.FirstChild();
    while (child && !IsBlockElement(child->id.value))
        if (!child->NextSibling())
            return nullptr;
    return child;
}

// Timecodes and seek targets come from the file and the host; kept well inside the 64-bit range
// so that adding a block's offset or the start offset cannot overflow.
constexpr std::int64_t kTimeLimit = std::int64_t{1} << 60;

std::int64_t ClusterTimecodeOf(KEbmlElement& cluster)
{
    return static_cast<std::int64_t>(std::min<std::uint64_t>(ReadClusterTimecode(cluster).value, kTimeLimit));
}

bool ParseAnyBlock(KEbmlElement& element, KMkvBlock& block, bool readFrames)
{
    return element.id.value == ebml_id::kBlockGroup ? ParseBlockGroup(element, block, readFrames)
                                                    : ParseSimpleBlock(element, block, readFrames);
}

}  // namespace

// ---- Filter ------------------------------------------------------------------------------------

CMKV_Filter::CMKV_Filter(const WCHAR* name, IUnknown* outer, HRESULT* phr)
    : CDemuxFilterT<KMkvPacket>(name ? name : WSTR("Torvane MKV Source Filter"), outer, CLSID_VmxMkvSource, phr,
                                QueueLimits::Mkv)
{
}

CMKV_Filter::~CMKV_Filter() { StopIndexThread(); }

HRESULT CMKV_Filter::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IVmxMKV)
        return GetInterface(static_cast<IVmxMKV*>(this), ppv);
    return CDemuxFilterT<KMkvPacket>::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CMKV_Filter::Stop()
{
    const HRESULT hr = CDemuxFilterT<KMkvPacket>::Stop();
    if (FAILED(hr))
        return hr;
    StopIndexThread();
    return S_OK;
}

HRESULT CMKV_Filter::JoinFilterGraph(IFilterGraph* graph, LPCWSTR name)
{
    CAutoLock lock(&m_eventLock);
    const HRESULT hr = CDemuxFilterT<KMkvPacket>::JoinFilterGraph(graph, name);
    if (SUCCEEDED(hr) && graph && m_indexEventPending && SUCCEEDED(NotifyEvent(EC_VMX_MKV_DURATION_KNOWN, 0, 0)))
        m_indexEventPending = false;
    return hr;
}

void CMKV_Filter::PrepareSeek(bool toKeyFrame)
{
    m_seekKeyFrame = toKeyFrame;
    m_graphPosition = QueryGraphPosition();
}

HRESULT CMKV_Filter::SetSeekKeyFrame(BOOL on)
{
    m_seekKeyFrame = on != FALSE;
    return S_OK;
}

HRESULT CMKV_Filter::GetSeekKeyFrame(BOOL* on) { return AnswerThrough(on, m_seekKeyFrame ? TRUE : FALSE); }

HRESULT CMKV_Filter::SetPreroll(LONGLONG value)
{
    DebugTrace("Preroll %x", static_cast<unsigned>(value));
    m_preroll = static_cast<std::uint32_t>(value) != 0;
    return S_OK;
}

HRESULT CMKV_Filter::GetPreroll(BOOL* on) { return AnswerThrough(on, m_preroll ? TRUE : FALSE); }

const KMkvTrackEntry* CMKV_Filter::TrackForNumber(std::uint64_t trackNumber) const
{
    const auto found = m_trackMap.find(trackNumber);
    return found == m_trackMap.end() ? nullptr : m_tracks[found->second];
}

REFERENCE_TIME CMKV_Filter::CurrentDuration()
{
    if (!m_reader)
        return 0;
    REFERENCE_TIME duration;
    {
        CAutoLock lock(&m_parserLock);
        duration = SegmentDuration(m_reader->Segment().info);
    }
    SetDuration(duration);
    return duration;
}

HRESULT CMKV_Filter::LoadFile(LPCOLESTR fileName)
{
    auto reader = std::make_unique<KMkvReader>();
    if (reader->Open(fileName) != S_OK || !reader->HasFile())
        return E_FAIL;
    m_reader = std::move(reader);
    m_indexPath = fileName;
    const KMkvInfo& info = m_reader->Segment().info;

    m_root = KEbmlElement::Root(*m_reader);
    m_segment = m_root->FirstChild(ebml_id::kSegment);
    std::unique_ptr<KEbmlElement> cluster = m_segment ? m_segment->FirstChild(ebml_id::kCluster) : nullptr;
    if (cluster) {
        const CUInt timecode = ReadClusterTimecode(*cluster);
        m_reader->startOffset = TicksToReferenceTime(static_cast<std::int64_t>(timecode.value), info.timecodeScale.value);
    }
    SetDuration(SegmentDuration(info));
    CreatePins();
    // Without a Cluster there is nothing to play.
    if (!m_segment || !cluster)
        return E_FAIL;
    if (m_reader->Segment().cues.empty())
        StartIndexThread();
    return S_OK;
}

void CMKV_Filter::DiscardFile()
{
    StopIndexThread();
    // The cursors read through the reader and the track list points into its Segment.
    m_block.reset();
    m_cluster.reset();
    m_segment.reset();
    m_root.reset();
    m_headerPackets.clear();
    m_tracks.clear();
    m_trackMap.clear();
    m_fontHandles.clear();  // the fonts stay registered: nothing unregisters them
    m_statistics = {};
    m_indexPath.clear();
    m_reader.reset();
}

void CMKV_Filter::CreatePins()
{
    KMkvTrackCounters counters;
    bool fontsRegistered = false;
    for (KMkvTrackEntry& track : m_reader->Segment().tracks) {
        // Encrypted or undecodable private data: the track is dropped, not just left without a pin.
        if (!DecodeContent(track.contentEncodings, track.codecPrivate, content_scope::kCodecPrivate))
            continue;
        // Subtitle renderers look fonts up by name, so the file's fonts must exist first.
        if (track.trackType.value == mkv_track_type::kSubtitle && !fontsRegistered) {
            RegisterAttachedFonts(*m_reader, m_reader->Segment(), m_fontHandles);
            fontsRegistered = true;
        }
        KMkvTrackTypes offer = BuildTrackTypes(track, counters, ExtensionsOn());
        if (offer.malformed)
            continue;
        const size_t index = m_tracks.size();
        m_tracks.push_back(&track);
        m_trackMap[track.trackNumber.value] = index;
        if (offer.types.empty())
            continue;
        HRESULT hr = S_OK;
        new CMKV_OutputPin(&hr, this, offer.pinName.c_str(), static_cast<DWORD>(index), std::move(offer.types), track);
    }
}

bool CMKV_Filter::IsKeyFrame(const KMkvBlock& block) const
{
    // Some muxers flag key frames only in the SimpleBlock header and never write ReferenceBlock.
    const BlockStatistics& s = m_statistics;
    if (s.withoutReference == s.blocks && s.flagged >= 1 && s.flagged <= 99)
        return block.flags.value & 0x80;
    return block.IsKeyframe();
}

std::uint64_t CMKV_Filter::DefaultTrackNumber() const
{
    for (std::uint64_t kind : {mkv_track_type::kVideo, mkv_track_type::kAudio})
        for (const KMkvTrackEntry* track : m_tracks)
            if (track->trackType.value == kind)
                return track->trackNumber.value;
    return 1;
}

std::unique_ptr<KMkvPacket> CMKV_Filter::MakeBlockPacket(KEbmlElement& element)
{
    auto block = std::make_unique<KMkvBlock>();
    if (!ParseAnyBlock(element, *block, true) || !block->trackNumber.valid)
        return nullptr;
    if (m_statistics.blocks < kStatisticsBlocks) {
        ++m_statistics.blocks;
        if (!block->referenceBlock.valid)
            ++m_statistics.withoutReference;
        if (block->flags.value >= 0x80)
            ++m_statistics.flagged;
    }
    const auto found = m_trackMap.find(block->trackNumber.value);
    if (found == m_trackMap.end())
        return nullptr;
    const KMkvTrackEntry& track = *m_tracks[found->second];
    const std::uint64_t scale = m_reader->Segment().info.timecodeScale.value;

    REFERENCE_TIME start = TicksToReferenceTime(m_clusterTimecode + block->timecode.value, scale);
    REFERENCE_TIME stop = start + (block->blockDuration.valid
                                       ? TicksToReferenceTime(static_cast<std::int64_t>(block->blockDuration.value), scale)
                                       : 1);
    // A subtitle without a duration is shown until the next one: it need not wait for it.
    if (track.trackType.value == mkv_track_type::kSubtitle && !block->blockDuration.valid) {
        block->blockDuration.value = 1;
        block->blockDuration.valid = true;
        stop = start;
    }
    if (!track.contentEncodings.empty())
        for (KByteBuffer& frame : block->frames)
            DecodeContent(track.contentEncodings, frame, content_scope::kFrames);

    auto packet = std::make_unique<KMkvBlockPacket>(std::move(block));
    packet->track = static_cast<std::uint32_t>(track.trackNumber.value);
    packet->streamNumber = static_cast<DWORD>(found->second);
    // The flag-0x80 rule of IsKeyFrame only picks where a seek lands; a sample is a sync point
    // when its block refers to no other.
    packet->syncPoint = packet->block->IsKeyframe();
    // Block times count the codec's built-in delay (Opus pre-skip): taking it off gives the time
    // of the decoded output, before 0 for the first packet.
    const REFERENCE_TIME delay = ExtensionsOn() ? CodecDelayOf(track) : 0;
    packet->start = start - m_reader->startOffset - delay;
    packet->stop = stop - m_reader->startOffset - delay;
    return packet;
}

void CMKV_Filter::QueueVorbisHeaders()
{
    m_headerPackets.clear();
    for (size_t index = 0; index < m_tracks.size(); ++index) {
        const KMkvTrackEntry& track = *m_tracks[index];
        if (track.codecId != "A_VORBIS" || track.codecPrivate.empty())
            continue;
        CDemuxOutputPin* pin = PinForStream(static_cast<DWORD>(index));
        if (!pin || *pin->CurrentMediaType().Subtype() != MEDIASUBTYPE_Vorbis)
            continue;
        std::vector<std::span<const BYTE>> headers;
        SplitXiphHeaders(track.codecPrivate, headers);
        for (const auto& header : headers) {
            auto packet = std::make_unique<KMkvPacket>();
            packet->track = static_cast<std::uint32_t>(track.trackNumber.value);
            packet->streamNumber = static_cast<DWORD>(index);
            packet->start = 0;
            packet->stop = 1;
            packet->payload.assign(header.begin(), header.end());
            m_headerPackets.push_back(std::move(packet));
        }
    }
}

REFERENCE_TIME CMKV_Filter::PositionParser(REFERENCE_TIME target) { return SeekTo(target); }

// Every run starts with the Vorbis headers, wherever the cursors stand.
void CMKV_Filter::BeginReadPass() { QueueVorbisHeaders(); }

HRESULT CMKV_Filter::NextPacket(std::unique_ptr<KMkvPacket>& packet)
{
    if (!m_headerPackets.empty()) {
        packet = std::move(m_headerPackets.front());
        m_headerPackets.pop_front();
        return S_OK;
    }
    const LONGLONG segmentEnd = m_reader->Segment().dataPos + static_cast<LONGLONG>(std::min<std::uint64_t>(
                                    m_reader->Segment().size.value, static_cast<std::uint64_t>(m_reader->FileSize())));
    while (m_cluster) {
        if (!m_blockWalkStarted) {
            m_clusterTimecode = ClusterTimecodeOf(*m_cluster);
            m_block = FirstBlockOf(*m_cluster);
            m_blockWalkStarted = true;
        }
        if (m_block) {
            std::unique_ptr<KMkvPacket> made = MakeBlockPacket(*m_block);
            if (!m_block->NextBlock())
                m_block.reset();
            if (made) {
                packet = std::move(made);
                return S_OK;
            }
            continue;
        }
        // The Cluster is done: on to the next one, skipping damaged bytes between them.
        m_blockWalkStarted = false;
        if (m_reader->Tell() >= segmentEnd || !m_cluster->NextCluster())
            m_cluster.reset();
        if (ReaderCommandPending())
            return S_FALSE;
    }
    return S_FALSE;
}

bool CMKV_Filter::RestartClusterWalk()
{
    m_block.reset();
    m_blockWalkStarted = false;
    m_cluster = m_segment ? m_segment->FirstChild(ebml_id::kCluster) : nullptr;
    return m_cluster != nullptr;
}

REFERENCE_TIME CMKV_Filter::SeekTo(REFERENCE_TIME target)
{
    if (!m_segment)
        return target;
    // Backward when the target lies before what the graph last rendered.
    const REFERENCE_TIME current = m_graphPosition.load();
    bool indexed;
    {
        CAutoLock lock(&m_parserLock);
        indexed = !m_reader->Segment().cues.empty();
    }
    if (!indexed)
        StartIndexThread();
    // Cues count in file time; playback times have the first Cluster's time taken off.
    const REFERENCE_TIME offset = m_reader->startOffset;
    target = std::clamp<REFERENCE_TIME>(target, -kTimeLimit, kTimeLimit);
    // An exact seek needs the key frame at or before the target, whichever way it goes.
    const bool backward = target < current || !m_seekKeyFrame;
    const REFERENCE_TIME key = CueSeek(target + offset, backward) - offset;
    // A codec that needs its SeekPreRoll decoded before the landing point starts that much
    // earlier, at the key frame before it; what comes before the landing point is preroll.
    const REFERENCE_TIME preroll = ExtensionsOn() ? SeekPreRoll() : 0;
    if (preroll > 0 && key > 0)
        CueSeek(std::max<REFERENCE_TIME>(key - preroll, 0) + offset, true);
    return m_seekKeyFrame ? key : target;
}

REFERENCE_TIME CMKV_Filter::SeekPreRoll() const
{
    constexpr std::uint64_t kLimit = 10ull * 1000000000ull;  // nanoseconds: no codec needs more
    REFERENCE_TIME longest = 0;
    for (const KMkvTrackEntry* track : m_tracks)
        if (track->seekPreRoll.value <= kLimit)
            longest = std::max(longest, static_cast<REFERENCE_TIME>(track->seekPreRoll.value / 100));
    return longest;
}

REFERENCE_TIME CMKV_Filter::CueSeek(REFERENCE_TIME target, bool backward)
{
    if (!RestartClusterWalk())
        return target;
    const REFERENCE_TIME offset = m_reader->startOffset;
    if (target - offset <= 0) {
        m_clusterTimecode = ClusterTimecodeOf(*m_cluster);
        m_block = FirstBlockOf(*m_cluster);
        m_blockWalkStarted = true;
        return target;
    }
    const KMkvSegment& segment = m_reader->Segment();
    const std::uint64_t scale = segment.info.timecodeScale.value;
    const std::uint64_t defaultTrack = DefaultTrackNumber();

    // Copies of the CuePoints (time, Cluster position) to try, so the index thread may append
    // meanwhile.
    struct Candidate {
        REFERENCE_TIME time;
        std::uint64_t clusterPosition;
    };
    std::vector<std::vector<Candidate>> cueLists;
    {
        CAutoLock lock(&m_parserLock);
        for (const KMkvCues& cues : segment.cues) {
            std::vector<Candidate> forTrack, all;
            for (const KMkvCuePoint& point : cues.points) {
                if (point.trackPositions.empty())
                    continue;
                const KMkvCueTrackPositions* chosen = &point.trackPositions.back();
                bool hasTrack = false;
                for (const KMkvCueTrackPositions& positions : point.trackPositions)
                    if (positions.track.value == defaultTrack) {
                        chosen = &positions;
                        hasTrack = true;
                        break;
                    }
                const Candidate candidate{TicksToReferenceTime(static_cast<std::int64_t>(point.time.value), scale),
                                          chosen->clusterPosition.value};
                all.push_back(candidate);
                if (hasTrack)
                    forTrack.push_back(candidate);
            }
            cueLists.push_back(forTrack.empty() ? all : forTrack);
        }
    }
    if (cueLists.empty())
        return target;  // no index yet: playback restarts at the first Cluster

    bool haveFallback = false;
    REFERENCE_TIME fallbackTime = 0;
    LONGLONG fallbackCluster = 0;
    LONGLONG fallbackBlock = 0;
    for (const std::vector<Candidate>& points : cueLists) {
        if (points.empty())
            continue;
        // Binary search for the target, then step to the side the direction asks for.
        size_t lo = 0, hi = points.size() - 1, found = 0;
        long last = -1;
        bool exact = false;
        while (lo <= hi) {
            const size_t mid = (lo + hi) / 2;
            if (points[mid].time == target) {
                found = mid;
                exact = true;
                break;
            }
            last = static_cast<long>(mid);
            if (points[mid].time > target) {
                if (mid == 0)
                    break;
                hi = hi == mid ? mid - 1 : mid;
            } else {
                lo = lo == mid ? mid + 1 : mid;
            }
        }
        size_t index = exact ? found : static_cast<size_t>(std::max(last, 0L));
        if (!backward) {
            while (points[index].time < target && index + 1 < points.size())
                ++index;
        } else {
            while (points[index].time > target && index > 0)
                --index;
        }

        for (; index < points.size(); ++index) {
            if (points[index].clusterPosition > static_cast<std::uint64_t>(m_reader->FileSize()))
                continue;
            m_reader->Seek(segment.dataPos + static_cast<LONGLONG>(points[index].clusterPosition));
            auto cluster = std::make_unique<KEbmlElement>(m_reader.get(), m_segment.get());
            if (FAILED(cluster->ReadHeader()) || cluster->id.value != ebml_id::kCluster)
                continue;
            // Scan Clusters from here for the first key frame of the default track.
            do {
                const auto timecode = ClusterTimecodeOf(*cluster);
                for (auto element = FirstBlockOf(*cluster); element;) {
                    KMkvBlock block;
                    if (ParseAnyBlock(*element, block, false)) {
                        const REFERENCE_TIME time = TicksToReferenceTime(timecode + block.timecode.value, scale);
                        if (!haveFallback || fallbackTime <= target) {
                            haveFallback = true;
                            fallbackTime = time;
                            fallbackCluster = cluster->headerPos;
                            fallbackBlock = element->headerPos;
                        }
                        if (block.trackNumber.value == defaultTrack && IsKeyFrame(block)) {
                            m_clusterTimecode = timecode;
                            m_block = std::move(element);
                            m_cluster = std::move(cluster);
                            m_blockWalkStarted = true;
                            return time;
                        }
                    }
                    if (!element->NextBlock())
                        break;
                }
            } while (cluster->NextCluster());
            break;  // the Clusters ran out: the next Cues record
        }
    }

    if (haveFallback) {
        m_reader->Seek(fallbackCluster);
        m_cluster = std::make_unique<KEbmlElement>(m_reader.get(), m_segment.get());
        m_reader->Seek(fallbackCluster);
        if (SUCCEEDED(m_cluster->ReadHeader())) {
            m_clusterTimecode = ClusterTimecodeOf(*m_cluster);
            m_reader->Seek(fallbackBlock);
            m_block = std::make_unique<KEbmlElement>(m_reader.get(), m_cluster.get());
            if (SUCCEEDED(m_block->ReadHeader())) {
                m_blockWalkStarted = true;
                return fallbackTime;
            }
        }
    }
    RestartClusterWalk();
    return target;
}

// ---- Background index --------------------------------------------------------------------------

void CMKV_Filter::StartIndexThread()
{
    CAutoLock lock(&m_indexLock);
    if (m_indexStarted || m_indexThread || m_indexPath.empty())
        return;
    m_indexStarted = true;
    m_indexStop = false;
    m_indexFinished = false;
    {
        // Until the index is done the duration is unknown; it counts as 0.
        CAutoLock parser(&m_parserLock);
        m_reader->Segment().info.duration.value = 0.0;
        m_reader->Segment().info.duration.valid = true;
    }
    if (Threadless()) {
        BuildIndex();
        return;
    }
    m_indexThread = CreateThread(nullptr, 0, &CMKV_Filter::IndexThreadProc, this, 0, nullptr);
}

void CMKV_Filter::StopIndexThread()
{
    CAutoLock lock(&m_indexLock);
    m_indexStarted = false;
    if (!m_indexThread)
        return;
    m_indexStop = true;
    WaitForSingleObject(m_indexThread, INFINITE);
    CloseHandle(m_indexThread);
    m_indexThread = nullptr;
}

DWORD WINAPI CMKV_Filter::IndexThreadProc(LPVOID self)
{
    static_cast<CMKV_Filter*>(self)->BuildIndex();
    return 0;
}

void CMKV_Filter::BuildIndex()
{
    KMkvReader reader;
    if (reader.Open(m_indexPath.c_str()) != S_OK || !reader.HasFile())
        return;
    std::uint64_t scale;
    LONGLONG segmentData;
    {
        CAutoLock lock(&m_parserLock);
        scale = m_reader->Segment().info.timecodeScale.value;
        segmentData = m_reader->Segment().dataPos;
    }
    const std::uint64_t track = DefaultTrackNumber();
    KMkvCues index;
    double lastTicks = 0.0;
    auto root = KEbmlElement::Root(reader);
    auto segment = root->FirstChild(ebml_id::kSegment);
    auto cluster = segment ? segment->FirstChild(ebml_id::kCluster) : nullptr;
    for (; cluster; ) {
        if (m_indexStop)
            return;
        const CUInt timecode = ReadClusterTimecode(*cluster);
        KMkvCuePoint point;
        point.time = timecode;
        KMkvCueTrackPositions positions;
        positions.track.value = track;
        positions.track.valid = true;
        positions.clusterPosition.value = static_cast<std::uint64_t>(cluster->headerPos - segmentData);
        positions.clusterPosition.valid = true;
        point.trackPositions.push_back(positions);
        index.points.push_back(std::move(point));
        // The duration counts from the first Cluster, in ticks of this file's scale.
        lastTicks = static_cast<double>(timecode.value) - (scale ? static_cast<double>(m_reader->startOffset) * 100.0 / static_cast<double>(scale) : 0.0);
        if (!cluster->NextCluster())
            break;
    }
    if (m_indexStop)
        return;
    {
        CAutoLock lock(&m_parserLock);
        KMkvSegment& published = m_reader->Segment();
        published.cues.push_back(std::move(index));
        published.info.duration.value = lastTicks;
        published.info.duration.valid = true;
    }
    m_indexFinished = true;
    CAutoLock lock(&m_eventLock);
    if (FAILED(NotifyEvent(EC_VMX_MKV_DURATION_KNOWN, 0, 0)))
        m_indexEventPending = true;
}
