// KAsfExReadHandler: the native ASF parser. It reads the Header Object into a stream table,
// chooses the streams to play (one audio stream per language, the video stream by bitrate),
// finds the time base, reads the Simple Index, and turns data packets into whole media objects
// with their times and key flags, undoing audio spread where a stream uses it.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "demux/asf/asf_objects.h"
#include "io/file.h"

struct KAsfEXReadStream {
    enum Kind : int { kAudio = 1, kVideo = 2, kOther = 3 };

    bool selected = false;
    int kind = kOther;
    std::uint16_t number = 0xFFFF;
    std::vector<BYTE> format;  // WAVEFORMATEX or VIDEOINFOHEADER with their extra bytes
    LONGLONG timeOffset = 0;   // 100 ns
    std::uint32_t bitrate = 0;
    std::vector<std::uint16_t> exclusions;
    std::u16string language;
    // Audio spread: span, virtual packet and chunk lengths; span 0 when the stream has none.
    std::uint8_t span = 0;
    std::uint16_t virtualPacketLength = 0;
    std::uint16_t virtualChunkLength = 0;

    // The media object being assembled.
    bool key = false;
    std::uint32_t declaredSize = 0;
    LONGLONG objectTime = 0;  // 100 ns
    std::vector<BYTE> object;
    bool assembling = false;
};

// A complete media object ReadNextObject hands out.
struct AsfObject {
    std::uint16_t streamNumber = 0xFFFF;  // 0xFFFF: the packet made no complete object
    std::uint32_t size = 0;
    bool key = false;
    LONGLONG time = 0;  // 100 ns from the time base
};

class KAsfExReadHandler {
public:
    KAsfExReadHandler();
    ~KAsfExReadHandler();
    KAsfExReadHandler(const KAsfExReadHandler&) = delete;
    KAsfExReadHandler& operator=(const KAsfExReadHandler&) = delete;

    bool Open(LPCWSTR path);
    void Close();

    size_t StreamCount() const { return m_streams.size(); }
    const KAsfEXReadStream& Stream(size_t i) const { return m_streams[i]; }
    KAsfEXReadStream* StreamByNumber(std::uint16_t number);
    REFERENCE_TIME TimeBase() const { return m_timeBase; }
    REFERENCE_TIME Duration() const;
    const AsfHeader& Header() const { return m_header; }
    const std::vector<AsfSimpleIndex>& SimpleIndexes() const { return m_indexes; }
    std::uint32_t PacketSize() const { return m_packetSize; }
    LONGLONG FirstPacketPosition() const { return m_firstPacket; }

    // The next complete object; false at the end of the data or on a read failure.
    bool ReadNextObject(AsfObject& object);
    // Copies the completed object of the stream (descrambled where needed) and clears it.
    bool CopyObject(std::uint16_t streamNumber, std::vector<BYTE>& destination);
    // Positions reading at the start of a data packet and clears the packet state.
    void SeekToPacket(std::uint64_t packet);
    // Positions reading where delivery restarts for a time from the time base: the first data
    // packet for 0, else by the selected video stream's Simple Index or by the built index; the
    // end of the data when neither knows the time.
    void SeekTo(REFERENCE_TIME time);
    // Positions reading at the selected video stream's key frame at or before a time from the
    // time base (the first data packet for 0), as the Windows Media reader starts.
    void SeekToKeyFrameBefore(REFERENCE_TIME time);
    // How far the key-frame index reaches (100 ns from the time base).
    REFERENCE_TIME IndexedDuration() const;
    // The background index builder of a file without a usable Simple Index; it reads through a
    // reader of its own. Stop joins it.
    void StartIndexer();
    void StopIndexer();
    // Threadless (set before Open), the index is built where the builder would start, to its end,
    // and the file counts as complete.
    void SetThreadless(bool on) { m_threadless = on; }
    // Whether this file gets a built index, and whether the builder is still at work.
    bool BuildsIndex() const { return m_indexer != nullptr; }
    bool Indexing() const { return m_indexing.load(); }

private:
    struct PacketState {
        bool open = false;
        LONGLONG start = 0;
        std::span<const BYTE> bytes;  // the packet in the read-ahead window
        size_t at = 0;            // next byte in bytes
        std::uint32_t length = 0;
        std::uint32_t padding = 0;
        bool multiple = false;
        int payloadCount = 0;
        int payloadsLeft = 0;
        int payloadLengthType = 0;
        int replicatedType = 0, offsetType = 0, objectNumberType = 0, streamNumberType = 0;
        // Inside a compressed payload: the stream, its data left, the time and delta (ms).
        bool compressed = false;
        std::uint16_t compressedStream = 0;
        std::vector<BYTE> compressedData;
        size_t compressedAt = 0;
        std::uint32_t compressedTime = 0;
        std::uint8_t compressedDelta = 0;
        int subPayload = 0;
        bool compressedKey = false;
    };

    bool BuildStreams();
    void SelectStreams();
    bool FindTimeBase();
    void ReadIndexes();
    // Opens the packet at the current position; false at the end or on a read failure.
    bool BeginPacket();
    // A view of count bytes at the position through the read-ahead window, valid until the next
    // read.
    bool ReadAhead(LONGLONG position, DWORD count, std::span<const BYTE>& view);
    // The next object of the open packet, if one completes; false when the packet is spent.
    bool NextPayload(AsfObject& object, bool& completed);
    bool NextSubPayload(AsfObject& object);
    void EndPacket();
    void Descramble(const KAsfEXReadStream& stream, std::vector<BYTE>& data) const;
    const AsfSimpleIndex* VideoIndex() const;
    static DWORD WINAPI IndexerProc(LPVOID self);
    void BuildIndex();
    bool Pause(DWORD ms) const { return WaitForSingleObject(m_stopEvent, ms) == WAIT_OBJECT_0; }

    struct BuiltEntry {
        REFERENCE_TIME time;  // presentation time, 100 ns
        LONGLONG position;    // of its packet
    };

    std::unique_ptr<KFile> m_file;
    LONGLONG m_fileSize = 0;
    AsfHeader m_header;
    std::vector<KAsfEXReadStream> m_streams;
    std::vector<AsfSimpleIndex> m_indexes;
    LONGLONG m_firstPacket = 0;
    LONGLONG m_dataEnd = 0;
    std::uint64_t m_dataSize = 0;
    std::uint32_t m_packetSize = 0;
    LONGLONG m_position = 0;  // the next packet's start
    REFERENCE_TIME m_timeBase = 0;
    bool m_windowCheck = false;  // payload times outside the file's span are invalid
    PacketState m_packet;
    std::vector<BYTE> m_window;  // the read-ahead window of packets
    LONGLONG m_windowStart = 0;
    std::uint16_t m_completed = 0xFFFF;  // the stream whose object completed last
    int m_packetLead = -1;  // the first byte of the first packet when it is error-correction flags

    WString m_path;
    bool m_threadless = false;
    HANDLE m_stopEvent;
    HANDLE m_indexer = nullptr;
    std::atomic<bool> m_indexing{false};
    mutable std::mutex m_indexLock;  // the built index and the indexed duration
    std::vector<BuiltEntry> m_built;
    REFERENCE_TIME m_indexedDuration = 0;
};
