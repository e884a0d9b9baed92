// CMKV_Filter: the Matroska source. Load parses the file and creates one CMKV_OutputPin per track
// that maps to a media type; the reader thread walks the Clusters and queues one block packet
// per block; each pin splits blocks into frames, completes missing durations and delivers them.
// Seeks land on key frames found through the Cues, which a background thread builds for files
// that have none.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <limits>
#include <list>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "demux/mkv/ivmx_mkv.h"
#include "demux/mkv/mkv_packet.h"
#include "demux/mkv/mkv_pin.h"
#include "demux/mkv/mkv_reader.h"
#include "framework/demux_filter.h"

class CMKV_Filter final : public CDemuxFilterT<KMkvPacket>, public IVmxMKV {
public:
    CMKV_Filter(const WCHAR* name, IUnknown* outer, HRESULT* phr);
    ~CMKV_Filter() override;

    DECLARE_IUNKNOWN
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE Stop() override;
    // A filter loaded before it joined a graph learns of the finished index only afterwards.
    HRESULT STDMETHODCALLTYPE JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override;

    // IVmxMKV
    HRESULT STDMETHODCALLTYPE SetSeekKeyFrame(BOOL on) override;
    HRESULT STDMETHODCALLTYPE GetSeekKeyFrame(BOOL* on) override;
    HRESULT STDMETHODCALLTYPE SetPreroll(LONGLONG value) override;
    HRESULT STDMETHODCALLTYPE GetPreroll(BOOL* on) override;

    // The registered tracks, file order (each keeps its decoded CodecPrivate).
    const std::vector<const KMkvTrackEntry*>& Tracks() const { return m_tracks; }
    // The registered track a block of this TrackNumber belongs to; null when none is.
    const KMkvTrackEntry* TrackForNumber(std::uint64_t trackNumber) const;
    // The parsed Segment (Info, tracks, Cues, Chapters, Attachments); null before a Load. The
    // background index appends to its Cues and sets its duration: read those under ParserLock.
    const KMkvSegment* Segment() const { return m_reader ? &m_reader->Segment() : nullptr; }
    CCritSec* ParserLock() { return &m_parserLock; }
    // The first Cluster's Timecode in 100-ns units.
    REFERENCE_TIME StartOffset() const { return m_reader ? m_reader->startOffset : 0; }
    // The duration from Info (or from the background index once it has finished); kept as the
    // filter's duration.
    REFERENCE_TIME CurrentDuration();
    bool IndexFinished() const { return m_indexFinished.load(); }
    // A seek from a pin, on the thread that asks for it: whether it should land on a key frame
    // (from the request's flags), and where the graph stands now, which tells its direction.
    void PrepareSeek(bool toKeyFrame);
    const std::vector<HANDLE>& FontHandles() const { return m_fontHandles; }

protected:
    HRESULT LoadFile(LPCOLESTR fileName) override;
    void DiscardFile() override;
    // The Cluster and block cursors survive Stop: a run goes on where the last one stopped.
    Positioning ParserPositioning() const override { return Positioning::OnSeek; }
    REFERENCE_TIME PositionParser(REFERENCE_TIME target) override;
    void BeginReadPass() override;
    HRESULT NextPacket(std::unique_ptr<KMkvPacket>& packet) override;

private:
    struct BlockStatistics {
        int blocks = 0;
        int withoutReference = 0;
        int flagged = 0;
    };

    void CreatePins();
    // One packet for the block element under the cursor; null when the block is unusable.
    std::unique_ptr<KMkvPacket> MakeBlockPacket(KEbmlElement& element);
    // Queues the Vorbis headers for pins connected with the type that wants them in-band.
    void QueueVorbisHeaders();
    // Moves the cursors to where playback of target (offset-removed time) starts; returns that
    // start in the same time base.
    REFERENCE_TIME SeekTo(REFERENCE_TIME target);
    REFERENCE_TIME CueSeek(REFERENCE_TIME absoluteTarget, bool backward);
    // The longest SeekPreRoll of the registered tracks, 100-ns units.
    REFERENCE_TIME SeekPreRoll() const;
    bool IsKeyFrame(const KMkvBlock& block) const;
    std::uint64_t DefaultTrackNumber() const;
    bool RestartClusterWalk();

    void StartIndexThread();
    void StopIndexThread();
    static DWORD WINAPI IndexThreadProc(LPVOID self);
    void BuildIndex();

    std::unique_ptr<KMkvReader> m_reader;
    std::vector<const KMkvTrackEntry*> m_tracks;
    // TrackNumber to index in m_tracks (a repeated number maps to the later track).
    std::unordered_map<std::uint64_t, size_t> m_trackMap;
    std::vector<HANDLE> m_fontHandles;

    // Demux cursors: the root and Segment stay open as the parents of the Cluster cursor, whose
    // child is the block cursor (the next block element to read).
    std::unique_ptr<KEbmlElement> m_root;
    std::unique_ptr<KEbmlElement> m_segment;
    std::unique_ptr<KEbmlElement> m_cluster;
    std::unique_ptr<KEbmlElement> m_block;
    bool m_blockWalkStarted = false;
    std::int64_t m_clusterTimecode = 0;
    BlockStatistics m_statistics;
    std::deque<std::unique_ptr<KMkvPacket>> m_headerPackets;

    std::atomic<bool> m_seekKeyFrame{true};
    std::atomic<REFERENCE_TIME> m_graphPosition{std::numeric_limits<REFERENCE_TIME>::min()};
    std::atomic<bool> m_preroll{false};

    CCritSec m_parserLock;  // Cues and Info duration, shared with the index thread
    HANDLE m_indexThread = nullptr;
    std::atomic<bool> m_indexStop{false};
    std::atomic<bool> m_indexFinished{false};
    CCritSec m_indexLock;  // starting and stopping the index thread
    CCritSec m_eventLock;  // the graph's event sink against the index thread's event
    bool m_indexEventPending = false;
    bool m_indexStarted = false;  // since the last Stop
    WString m_indexPath;
};
