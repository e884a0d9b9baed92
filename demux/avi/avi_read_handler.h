// KAvi2ReadHandler: an AVI file (RIFF "AVI " and OpenDML "AVIX" parts): its streams, their
// indexes (OpenDML super and standard indexes, or "idx1", or a background scan of the "movi"
// data while the file plays), the entries in interleaved time order, and the seeks.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "demux/avi/avi_read_stream.h"
#include "io/cache_file.h"

struct AviEntry {
    KAvi2ReadStream* stream = nullptr;
    std::uint64_t offset = 0;
    std::uint32_t size = 0;
    bool key = false;
    REFERENCE_TIME start = 0;
    REFERENCE_TIME stop = 0;
};

class KAvi2ReadHandler {
public:
    enum class Next { Entry, End, Wait };  // Wait: the scanner may still index more

    KAvi2ReadHandler();
    ~KAvi2ReadHandler();
    KAvi2ReadHandler(const KAvi2ReadHandler&) = delete;
    KAvi2ReadHandler& operator=(const KAvi2ReadHandler&) = delete;

    bool Open(LPCWSTR path);
    void Close();

    // The next entry in time order (audio up to a second ahead of the others).
    Next NextEntry(AviEntry* entry);
    // The entry's bytes; false when they cannot all be read.
    bool ReadEntry(const AviEntry& entry, BYTE* buffer);
    void SeekAll(REFERENCE_TIME time);
    // The video stream moves forward to a key frame; the others follow its time, which is returned.
    REFERENCE_TIME SeekByVideo(REFERENCE_TIME time);
    // The longest stream over the entries indexed so far.
    REFERENCE_TIME IndexedDuration();
    KAvi2ReadStream* StreamByChunkId(std::uint32_t id);

    // The background scan of a file without a usable index; it resumes where it stopped.
    // Threadless (set before Open), the scan runs to its end where it would start, and the file
    // counts as complete.
    void SetThreadless(bool on) { m_threadless = on; }
    void StartScanner();
    void StopScanner();
    bool Scanning() const { return m_scanning.load(); }
    bool ScanFinished() const { return m_scanFinished.load(); }

    std::vector<std::unique_ptr<KAvi2ReadStream>>& Streams() { return m_streams; }
    // The video stream SeekByVideo moves forward to a key frame: the file's last video stream.
    KAvi2ReadStream* VideoStream() { return m_video < m_streams.size() ? m_streams[m_video].get() : nullptr; }
    REFERENCE_TIME Duration() const { return m_duration; }
    LONGLONG OpenedFileSize() const { return m_fileSize; }
    bool HasIndex() const { return m_hasIndex; }

private:
    struct MoviList {
        LONGLONG tag;  // offset of the "movi" type
        LONGLONG end;
    };

    // Calls visit(id, size, dataPosition) for each chunk header from start to end, in order, until
    // visit returns false (then false), a header cannot be read, or a size that would not move
    // the walk on.
    template <typename Visit>
    bool ForEachChunk(LONGLONG start, LONGLONG end, Visit visit);
    bool Walk(LONGLONG start, LONGLONG end, int depth);
    void ReadStreamList(LONGLONG start, LONGLONG end, int depth);
    void ApplySuperIndex(KAvi2ReadStream& stream);
    // Returns the count of entries it listed.
    std::size_t ApplyStandardIndex(KAvi2ReadStream& stream, const std::vector<BYTE>& chunk);
    void ReadIdx1(LONGLONG start, std::uint32_t size);
    bool ReadAt(LONGLONG position, void* buffer, DWORD count);

    static DWORD WINAPI ScannerProc(LPVOID self);
    void Scan();
    // Waits on the stop event; true when told to stop.
    bool Pause(DWORD ms);
    // The next "AVIX" part's "movi" after the current part; false when there is none (yet), or
    // when told to stop before finding it.
    bool FindNextPart(KFileBase& file);

    std::unique_ptr<KCacheFile> m_file;
    LONGLONG m_fileSize = 0;
    std::vector<BYTE> m_avih;
    std::vector<MoviList> m_movi;
    std::vector<std::unique_ptr<KAvi2ReadStream>> m_streams;
    std::size_t m_video = 255;
    REFERENCE_TIME m_duration = 0;
    bool m_hasIndex = false;
    bool m_indexIncomplete = false;
    bool m_singleRiff = false;
    std::uint64_t m_largestIndexedOffset = 0;
    LONGLONG m_riffEnd = 0;
    WString m_path;

    bool m_threadless = false;
    // Scanner: where it stands, so that a stopped scan resumes there.
    HANDLE m_scanner = nullptr;
    HANDLE m_stopEvent = nullptr;
    std::atomic<bool> m_scanning{false};
    std::atomic<bool> m_scanFinished{false};
    LONGLONG m_scanPosition = 0;
    LONGLONG m_scanLimit = 0;
    LONGLONG m_scanRiffEnd = 0;
    LONGLONG m_lastSeenSize = 0;
};
