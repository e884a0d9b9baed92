// KOGG2ReadHandler: the Ogg parser of the second Ogg filter. Open finds the streams in the
// first 128 KiB (each needs all its headers there) and estimates the duration from the pages at
// the end; ReadPacket hands out data packets in file order with their times; a thread of its own
// builds a seek index (key frames of the video stream, else pages of the audio stream) while the
// file plays, and SeekTo uses it, or an interpolation search where it does not reach yet.
#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "demux/ogg/ogg_page_reader.h"
#include "demux/ogg/ogg_read_stream.h"
#include "framework/am_thread.h"
#include "io/file.h"

// A data packet as ReadPacket hands it out.
struct KOggDataPacket {
    int serial = 0;
    OggStreamKind kind = OggStreamKind::NotHeader;
    std::vector<BYTE> payload;  // after the stream's data offset
    bool syncPoint = false;
    REFERENCE_TIME start = 0;
    REFERENCE_TIME stop = 0;
    LONGLONG mediaStart = 0;
    LONGLONG mediaStop = 0;
    LONGLONG origin = 0;  // the page where the packet began
    LONGLONG granule = -1;  // the packet's own granule position, when it ends a page
};

class KOGG2ReadHandler : private CAMThread {
public:
    static constexpr DWORD kHeaderScan = 131072;

    KOGG2ReadHandler() = default;
    ~KOGG2ReadHandler() override;

    // With directShowSamples, streams of the "Direct Show Samples embedded in Ogg" kind are read
    // too (the first Ogg filter plays them, the second does not).
    // With extensions, the kinds behind the module's switch (Opus, FLAC, Speex) are read too.
    HRESULT Open(LPCWSTR path, bool directShowSamples = false, bool extensions = false);
    // Threadless (set before Open), the seek index is built in Open, to the end of the file, which
    // counts as complete.
    void SetThreadless(bool on) { m_threadless = on; }
    void Close();

    // 0 with a packet, 1 at the end of the file.
    int ReadPacket(KOggDataPacket& packet);
    // Positions every stream for the time and returns the time playback starts from: the time
    // itself, or with snapping the first video key frame at or after it.
    REFERENCE_TIME SeekTo(REFERENCE_TIME time, bool snap);
    // How far the seek index reaches; the duration grows to it when it is larger.
    REFERENCE_TIME IndexedTime();
    REFERENCE_TIME Duration();
    // True once the thread that builds the seek index has read to the end of the file (it then
    // waits for the file to grow), or has stopped.
    bool IndexReachedEnd() const { return m_indexReachedEnd.load(); }

    // A packet of an extension kind that ends before what its decoder needs ahead of start (its
    // seek preroll): no one has to see it.
    bool EndsBeforeItsPreroll(const KOggDataPacket& packet, REFERENCE_TIME start);

    size_t StreamCount() const { return m_streams.size(); }
    KOGG2ReadStream& Stream(size_t index) { return *m_streams[index].stream; }
    KOGG2ReadStream* StreamBySerial(int serial);

private:
    struct HeldPacket {
        std::vector<BYTE> bytes;
        ogg_int64_t granule = -1;
        bool endOfStream = false;
        LONGLONG origin = 0;
    };
    struct StreamSlot {
        std::unique_ptr<KOGG2ReadStream> stream;
        KOggPacketOrigin origin;
        std::deque<HeldPacket> held;
        // The running position is right: from the start of the file, or found back from a granule.
        bool positioned = true;
    };

    void StartIndex();
    // Lets the index, while it is being built, reach the time (or the end) before a seek reads it,
    // waiting a bounded while.
    void AwaitIndex(REFERENCE_TIME time);
    void StopIndex();
    DWORD ThreadProc() override;
    // Builds the index through a reader of its own, so that playback's position stays put.
    void BuildIndexFromOwnReader(bool playbackFirst);
    void BuildIndex(KFileBase& file);

    void ScanHeaders(bool directShowSamples, bool extensions);
    void EstimateDuration();
    StreamSlot* SlotBySerial(int serial);
    // Packets the stream's state holds move to its held list; a stream that is not positioned
    // finds its position once a granule arrives.
    void DrainStream(StreamSlot& slot, bool atEnd);
    bool TakeHeld(StreamSlot& slot, KOggDataPacket& packet);
    void ResetStreams(bool positioned);
    LONGLONG SearchPosition(REFERENCE_TIME time);
    REFERENCE_TIME SnapToKeyFrame(REFERENCE_TIME time);

    WString m_path;
    std::unique_ptr<KFile> m_file;
    std::unique_ptr<KOggPageReader> m_pages;
    std::vector<StreamSlot> m_streams;
    LONGLONG m_fileSize = 0;
    bool m_atEnd = false;
    bool m_threadless = false;

    std::mutex m_indexLock;  // the index, how far it reaches, and the duration
    std::vector<std::pair<LONGLONG, REFERENCE_TIME>> m_index;
    REFERENCE_TIME m_indexedTime = 0;
    REFERENCE_TIME m_duration = 0;
    std::atomic<bool> m_indexReachedEnd{false};
    std::atomic<bool> m_indexHurry{false};  // a seek waits for the index: no start-up pause
};
