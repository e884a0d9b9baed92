#include "demux/avi/avi_read_handler.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>

#include "demux/avi/avi_key_frames.h"
#include "io/byte_reader.h"

namespace {

constexpr DWORD kWindow = 2048;
constexpr std::uint32_t kMaxIdx1Bytes = 9600000;
constexpr std::uint32_t kMaxIdx1Entries = 1000000;
constexpr DWORD kResyncBlock = 262144;
constexpr int kMaxListDepth = 16;
// Chunk identifiers number streams with two digits.
constexpr std::size_t kMaxStreams = 100;
constexpr REFERENCE_TIME kAudioLead = 10000000;

constexpr std::uint32_t Id(const char (&text)[5]) { return KAvi2ReadStream::AviFourcc(text); }

LONGLONG Even(LONGLONG position) { return position + (position & 1); }

}  // namespace

KAvi2ReadHandler::KAvi2ReadHandler() : m_stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

KAvi2ReadHandler::~KAvi2ReadHandler()
{
    Close();
    CloseHandle(m_stopEvent);
}

void KAvi2ReadHandler::Close()
{
    StopScanner();
    m_streams.clear();
    if (m_file)
        m_file->Close();
    m_file.reset();
    m_avih.clear();
    m_movi.clear();
    m_video = 255;
    m_duration = 0;
    m_hasIndex = m_indexIncomplete = m_singleRiff = false;
    m_largestIndexedOffset = 0;
    m_scanFinished = false;
}

bool KAvi2ReadHandler::ReadAt(LONGLONG position, void* buffer, DWORD count)
{
    return m_file->Seek(position) == position && m_file->Read(buffer, count) == count;
}

bool KAvi2ReadHandler::Open(LPCWSTR path)
{
    Close();
    m_file = std::make_unique<KCacheFile>(kWindow);
    if (!m_file->Open(path))
        return false;
    m_path = path;
    m_fileSize = m_file->GetSize();
    BYTE riff[12];
    if (!ReadAt(0, riff, sizeof riff) || ReadLE32(riff) != Id("RIFF") || ReadLE32(riff + 8) != Id("AVI "))
        return false;
    const std::uint32_t riffSize = ReadLE32(riff + 4);
    m_singleRiff = m_fileSize <= static_cast<LONGLONG>(riffSize) + 8;
    m_riffEnd = 8 + static_cast<LONGLONG>(riffSize);
    if (!Walk(12, std::min<LONGLONG>(m_riffEnd, m_fileSize), 0) || m_streams.empty())
        return false;
    SeekAll(0);

    REFERENCE_TIME duration = 0;
    if (m_avih.size() >= 20) {
        // Microseconds per frame times frames, both from the file: capped so the product fits.
        const std::uint64_t micros = static_cast<std::uint64_t>(ReadLE32(m_avih.data())) * ReadLE32(m_avih.data() + 16);
        duration = static_cast<REFERENCE_TIME>(std::min<std::uint64_t>(micros, std::numeric_limits<REFERENCE_TIME>::max() / 10) * 10);
    }
    for (auto& stream : m_streams)
        duration = std::max(duration, stream->superIndexDuration >= 0 ? stream->superIndexDuration : stream->Duration());
    m_duration = duration;
    if (!m_hasIndex) {
        m_scanPosition = m_movi.empty() ? 0 : m_movi[0].tag + 4;
        m_scanLimit = m_movi.empty() ? 0 : m_movi[0].end;
        m_scanRiffEnd = m_riffEnd;
        m_scanFinished = m_movi.empty();
        StartScanner();
    }
    m_file->EnlargeWindow(KCacheFile::kPlaybackCapacity);
    return true;
}

template <typename Visit>
bool KAvi2ReadHandler::ForEachChunk(LONGLONG position, LONGLONG end, Visit visit)
{
    while (position + 8 <= end) {
        BYTE header[8];
        if (!ReadAt(position, header, 8))
            break;
        const std::uint32_t size = ReadLE32(header + 4);
        const LONGLONG data = position + 8;
        if (!visit(ReadLE32(header), size, data))
            return false;
        const LONGLONG next = Even(data + size);
        if (next <= position)
            break;
        position = next;
    }
    return true;
}

bool KAvi2ReadHandler::Walk(LONGLONG position, LONGLONG end, int depth)
{
    return ForEachChunk(position, end, [&](std::uint32_t id, std::uint32_t size, LONGLONG data) {
        BYTE type[4];
        if (id == Id("ULSC"))
            return false;
        if (id == Id("LIST") && size >= 4 && ReadAt(data, type, 4)) {
            const std::uint32_t listType = ReadLE32(type);
            const LONGLONG listEnd = std::min(data + size, end);
            if (listType == Id("hdrl") && depth < kMaxListDepth) {
                Walk(data + 4, listEnd, depth + 1);
            } else if (listType == Id("strl") && depth < kMaxListDepth) {
                ReadStreamList(data + 4, listEnd, depth + 1);
            } else if (listType == Id("odml")) {
                // The extended header's frame count is not needed: streams carry their own.
            } else if (listType == Id("movi")) {
                m_movi.push_back({data, data + size});
            }
        } else if (id == Id("avih") && size <= 56) {
            m_avih.resize(size);
            if (!ReadAt(data, m_avih.data(), size))
                m_avih.clear();
        } else if (id == Id("idx1")) {
            ReadIdx1(data, size);
        }
        return true;
    });
}

void KAvi2ReadHandler::ReadStreamList(LONGLONG position, LONGLONG end, int depth)
{
    // A stream past the hundredth names no chunk, yet each would cost a pin and its thread.
    if (m_streams.size() >= kMaxStreams)
        return;
    auto stream = std::make_unique<KAvi2ReadStream>();
    const auto readChunks = [&](auto&& self, LONGLONG at, LONGLONG until, int level) -> void {
        ForEachChunk(at, until, [&](std::uint32_t id, std::uint32_t size, LONGLONG data) {
            if (id == Id("strh")) {
                std::vector<BYTE> bytes(std::min<std::uint32_t>(size, sizeof(AviStreamHeader)));
                if (!bytes.empty() && ReadAt(data, bytes.data(), static_cast<DWORD>(bytes.size())))
                    std::memcpy(&stream->header, bytes.data(), bytes.size());
            } else if (id == Id("strf") && size < 0x100001 && data + size <= m_fileSize) {
                stream->format.resize(size);
                if (!ReadAt(data, stream->format.data(), size))
                    stream->format.clear();
            } else if (id == Id("indx") && size < 0x1000000 && data + size <= m_fileSize) {
                stream->superIndex.resize(size);
                if (!ReadAt(data, stream->superIndex.data(), size))
                    stream->superIndex.clear();
            } else if (id == Id("LIST") && size >= 4 && level < kMaxListDepth) {
                self(self, data + 4, std::min(data + size, until), level + 1);
            }
            return true;
        });
    };
    readChunks(readChunks, position, end, depth);
    stream->Finish(static_cast<std::uint32_t>(m_streams.size()));
    // Every video stream takes the number in turn: the last one leads anchored seeks, while the
    // filter plays the first.
    if (stream->IsVideo())
        m_video = m_streams.size();
    KAvi2ReadStream& added = *stream;
    m_streams.push_back(std::move(stream));
    if (!added.superIndex.empty() && !m_singleRiff)
        ApplySuperIndex(added);
}

void KAvi2ReadHandler::ApplySuperIndex(KAvi2ReadStream& stream)
{
    const std::vector<BYTE>& index = stream.superIndex;
    if (index.size() < 24)
        return;
    const std::uint8_t type = index[3];
    if (type != 0) {
        ApplyStandardIndex(stream, index);  // an "indx" that is itself a standard index
        m_hasIndex = m_hasIndex || stream.Count() > 0;
        return;
    }
    const std::uint32_t entries = std::min<std::uint32_t>(ReadLE32(index.data() + 4), static_cast<std::uint32_t>((index.size() - 24) / 16));
    if (entries == 0)
        return;
    const BYTE* last = index.data() + 24 + 16 * (entries - 1);
    const std::uint64_t lastOffset = ReadLE64(last);
    if (lastOffset + ReadLE32(last + 8) > static_cast<std::uint64_t>(m_fileSize)) {
        m_largestIndexedOffset = std::max(m_largestIndexedOffset, lastOffset);
        m_indexIncomplete = true;
        m_hasIndex = false;
        return;
    }
    m_hasIndex = true;
    std::uint64_t units = 0;
    std::uint64_t listed = 0;
    for (std::uint32_t i = 0; i < entries; ++i) {
        const BYTE* entry = index.data() + 24 + 16 * i;
        const std::uint64_t offset = ReadLE64(entry);
        const std::uint32_t size = ReadLE32(entry + 8);
        units += ReadLE32(entry + 12);
        // A standard index the file cannot hold is not worth a buffer of its claimed size. A chunk
        // takes 8 bytes at least: indexes listing more chunks than the file holds are damage (one
        // index listed over and over), and reading them all would cost their product.
        const auto fileSize = static_cast<std::uint64_t>(m_fileSize);
        if (size < 8 || size > 0x4000000 || offset > fileSize || size > fileSize - offset || listed > fileSize / 8)
            continue;
        std::vector<BYTE> chunk(size);
        if (ReadAt(static_cast<LONGLONG>(offset), chunk.data(), size))
            listed += ApplyStandardIndex(stream, std::vector<BYTE>(chunk.begin() + 8, chunk.end()));
    }
    // The super index counts the stream's units: chunks, or bytes for byte-timed audio. A count
    // and a rate from the file can make more than a time holds: the longest one stands for it.
    const double duration = static_cast<double>(units) / (stream.rate > 0 ? stream.rate : 1.0) * 10000000.0;
    stream.superIndexDuration = duration < static_cast<double>(std::numeric_limits<REFERENCE_TIME>::max())
        ? static_cast<REFERENCE_TIME>(duration)
        : std::numeric_limits<REFERENCE_TIME>::max();
}

std::size_t KAvi2ReadHandler::ApplyStandardIndex(KAvi2ReadStream& stream, const std::vector<BYTE>& index)
{
    if (index.size() < 24)
        return 0;
    const std::uint8_t subType = index[2];
    const std::uint8_t type = index[3];
    std::size_t width = 0;
    if (type == 1 && subType == 0)
        width = 8;
    else if ((type == 1 && subType == 1) || (type == 2 && subType == 1))
        width = 12;
    if (width == 0)
        return 0;
    const std::uint64_t base = ReadLE64(index.data() + 12);
    const std::size_t entries = std::min<std::size_t>(ReadLE32(index.data() + 4), (index.size() - 24) / width);
    for (std::size_t i = 0; i < entries; ++i) {
        const BYTE* entry = index.data() + 24 + width * i;
        const std::uint32_t size = ReadLE32(entry + 4);
        stream.Append(base + ReadLE32(entry), size & 0x7FFFFFFF, !(size & 0x80000000));
    }
    return entries;
}

void KAvi2ReadHandler::ReadIdx1(LONGLONG start, std::uint32_t size)
{
    if (m_hasIndex || m_indexIncomplete || size > kMaxIdx1Bytes || m_movi.empty())
        return;
    std::vector<BYTE> index(size);
    if (!ReadAt(start, index.data(), size))
        return;
    const std::size_t entries = size / 16;
    if (entries == 0 || entries > kMaxIdx1Entries)
        return;
    // The first entry is the first chunk of "movi": that tells relative offsets from absolute.
    const std::int64_t base = m_movi[0].tag - static_cast<std::int64_t>(ReadLE32(index.data() + 8)) + 4;
    for (auto& stream : m_streams) {
        if (stream->Count() > 0 || stream->number > 100)
            continue;
        for (std::size_t i = 0; i < entries; ++i) {
            const BYTE* entry = index.data() + 16 * i;
            if (entry[0] != static_cast<BYTE>(stream->twoDigits[0]) || entry[1] != static_cast<BYTE>(stream->twoDigits[1]))
                continue;
            const std::int64_t offset = base + 8 + ReadLE32(entry + 8);
            if (offset >= 0)
                stream->Append(static_cast<std::uint64_t>(offset), ReadLE32(entry + 12), (ReadLE32(entry + 4) & 0x10) != 0);
        }
        m_hasIndex = m_hasIndex || stream->Count() > 0;
    }
}

KAvi2ReadStream* KAvi2ReadHandler::StreamByChunkId(std::uint32_t id)
{
    if (id == Id("JUNK"))
        return nullptr;
    for (auto& stream : m_streams)
        if (stream->chunkId && static_cast<BYTE>(stream->twoDigits[0]) == static_cast<BYTE>(id)
            && static_cast<BYTE>(stream->twoDigits[1]) == static_cast<BYTE>(id >> 8))
            return stream.get();
    return nullptr;
}

KAvi2ReadHandler::Next KAvi2ReadHandler::NextEntry(AviEntry* entry)
{
    for (;;) {
        // Read before the streams: a scan that ends meanwhile has published all it found.
        const bool scanning = m_scanning;
        KAvi2ReadStream* chosen = nullptr;
        REFERENCE_TIME best = std::numeric_limits<REFERENCE_TIME>::max();
        for (auto& stream : m_streams) {
            REFERENCE_TIME start = 0;
            if (!stream->NextTime(&start))
                continue;
            // Audio is read up to a second ahead of the other streams.
            const REFERENCE_TIME key = stream->IsAudio() ? start - kAudioLead : start;
            if (key < best) {
                best = key;
                chosen = stream.get();
            }
        }
        if (!chosen)
            return scanning ? Next::Wait : Next::End;
        AviIndexEntry taken{};
        if (!chosen->Take(&taken, &entry->start, &entry->stop))
            continue;
        // An entry the file cannot reach, or whose claimed size runs past its end, is skipped
        // before a buffer of that size is made for it (Seek asks the file's size only past the
        // size it last saw).
        const auto offset = static_cast<LONGLONG>(taken.offset);
        const LONGLONG end = offset + static_cast<LONGLONG>(taken.size);
        if (m_file->Seek(offset) != offset || m_file->Seek(end) != end)
            continue;
        entry->stream = chosen;
        entry->offset = taken.offset;
        entry->size = taken.size;
        entry->key = taken.key != 0;
        return Next::Entry;
    }
}

bool KAvi2ReadHandler::ReadEntry(const AviEntry& entry, BYTE* buffer)
{
    return m_file->Seek(static_cast<LONGLONG>(entry.offset)) == static_cast<LONGLONG>(entry.offset)
        && m_file->ReadPayload(buffer, entry.size) == entry.size;
}

void KAvi2ReadHandler::SeekAll(REFERENCE_TIME time)
{
    for (auto& stream : m_streams)
        stream->SeekTo(time, false);
}

REFERENCE_TIME KAvi2ReadHandler::SeekByVideo(REFERENCE_TIME time)
{
    KAvi2ReadStream* video = VideoStream();
    if (!video) {
        SeekAll(time);
        return time;
    }
    const REFERENCE_TIME key = video->SeekTo(time, true);
    for (auto& stream : m_streams)
        if (stream.get() != video)
            stream->SeekTo(key, false);
    return key;
}

REFERENCE_TIME KAvi2ReadHandler::IndexedDuration()
{
    REFERENCE_TIME longest = 0;
    for (auto& stream : m_streams)
        longest = std::max(longest, stream->Duration());
    return longest;
}

// ---- Background scan --------------------------------------------------------------------------

void KAvi2ReadHandler::StartScanner()
{
    // An indexed file has nothing to scan: a scan of its AVIX parts would list their chunks again.
    if (m_hasIndex || m_scanner || m_scanFinished || m_path.empty())
        return;
    ResetEvent(m_stopEvent);
    m_scanning = true;
    if (m_threadless) {
        Scan();
        m_scanning = false;
        return;
    }
    m_scanner = CreateThread(nullptr, 0, &KAvi2ReadHandler::ScannerProc, this, 0, nullptr);
    if (!m_scanner)
        m_scanning = false;
}

void KAvi2ReadHandler::StopScanner()
{
    if (!m_scanner)
        return;
    SetEvent(m_stopEvent);
    WaitForSingleObject(m_scanner, INFINITE);
    CloseHandle(m_scanner);
    m_scanner = nullptr;
    m_scanning = false;
}

DWORD WINAPI KAvi2ReadHandler::ScannerProc(LPVOID self)
{
    auto* handler = static_cast<KAvi2ReadHandler*>(self);
    handler->Scan();
    handler->m_scanning = false;
    return 0;
}

bool KAvi2ReadHandler::Pause(DWORD ms) { return WaitForSingleObject(m_stopEvent, ms) == WAIT_OBJECT_0; }

bool KAvi2ReadHandler::FindNextPart(KFileBase& file)
{
    LONGLONG position = Even(m_scanRiffEnd);
    BYTE header[12];
    // The walk may cross a long stretch of small or empty chunks: a stop does not wait for it.
    while (!Pause(0) && file.Seek(position) == position && file.Read(header, 12) == 12) {
        const LONGLONG size = ReadLE32(header + 4);
        if (ReadLE32(header) == Id("RIFF") && ReadLE32(header + 8) == Id("AVIX")) {
            const LONGLONG partEnd = position + 8 + size;
            for (LONGLONG at = position + 12; at + 12 <= partEnd && !Pause(0);) {
                if (file.Seek(at) != at || file.Read(header, 12) != 12)
                    return false;
                const LONGLONG chunk = ReadLE32(header + 4);
                if (ReadLE32(header) == Id("LIST") && ReadLE32(header + 8) == Id("movi")) {
                    m_scanPosition = at + 12;
                    m_scanLimit = at + 8 + chunk;
                    m_scanRiffEnd = partEnd;
                    return true;
                }
                at = Even(at + 8 + chunk);
            }
            return false;
        }
        position = Even(position + 8 + size);
    }
    return false;
}

void KAvi2ReadHandler::Scan()
{
    std::unique_ptr<KFileBase> file = m_file ? m_file->NewInstance() : nullptr;
    if (!file || !file->Open(m_path.c_str()))
        return;
    std::uint32_t plausible = 0;
    for (auto& stream : m_streams)
        plausible = std::max(plausible, stream->BufferSize());
    // A file that has not grown for a second is complete (or cut short): the scan then ends
    // where its data ends instead of waiting for more. Fuzzing builds feed only files that never
    // grow, and a second per damaged input would starve the campaign.
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    constexpr auto kGrowthGrace = std::chrono::milliseconds(20);
    constexpr DWORD kGrowthPoll = 5;
#else
    constexpr auto kGrowthGrace = std::chrono::seconds(1);
    constexpr DWORD kGrowthPoll = 100;
#endif
    using Clock = std::chrono::steady_clock;
    auto lastGrowth = Clock::now();
    const auto growing = [&] {
        const LONGLONG size = file->GetSize();
        if (size != m_lastSeenSize) {
            m_lastSeenSize = size;
            lastGrowth = Clock::now();
        }
        return !m_threadless && Clock::now() - lastGrowth < kGrowthGrace;
    };
    m_lastSeenSize = file->GetSize();
    std::vector<BYTE> block;
    while (WaitForSingleObject(m_stopEvent, 0) != WAIT_OBJECT_0) {
        m_scanPosition = Even(m_scanPosition);
        if (m_scanPosition + 8 > m_scanLimit) {
            if (FindNextPart(*file))
                continue;
            if (Pause(0))
                return;  // the search was cut short by the stop: it is made again on resuming
            const bool incomplete = file->GetSize() < m_scanRiffEnd
                || m_largestIndexedOffset > static_cast<std::uint64_t>(m_scanRiffEnd);
            if (incomplete && growing()) {
                if (Pause(kGrowthPoll))
                    return;
                continue;
            }
            break;
        }
        BYTE header[12];
        if (file->Seek(m_scanPosition) != m_scanPosition || file->Read(header, 8) != 8) {
            if (!growing())
                break;
            if (Pause(kGrowthPoll))
                return;
            continue;
        }
        const std::uint32_t id = ReadLE32(header);
        const std::uint32_t size = ReadLE32(header + 4);
        if (id == Id("LIST")) {
            if (file->Read(header + 8, 4) == 4 && ReadLE32(header + 8) == Id("rec ")) {
                m_scanPosition += 12;
                continue;
            }
            m_scanPosition = m_scanLimit;  // another list ends this part's data
            continue;
        }
        KAvi2ReadStream* stream = StreamByChunkId(id);
        if (size > plausible || (!stream && m_scanPosition + 8 + static_cast<LONGLONG>(size) > m_scanLimit)) {
            // A damaged header: find the next position holding one of the streams' identifiers.
            bool found = false;
            LONGLONG from = m_scanPosition + 1;
            // A block no larger than what the file holds from here: a small damaged file would
            // otherwise pay for the whole zeroed block.
            block.resize(BytesHeld(kResyncBlock + 3, from, file->GetSize()));
            while (!found && from < m_scanLimit) {
                // The search may cross the rest of a large file: a stop does not wait for it.
                if (Pause(0))
                    return;
                if (file->Seek(from) != from)
                    break;
                const DWORD got = file->Read(block.data(), static_cast<DWORD>(block.size()));
                if (got < 4)
                    break;
                for (DWORD i = 0; i + 4 <= got && !found; ++i) {
                    const std::uint32_t candidate = ReadLE32(block.data() + i);
                    for (auto& s : m_streams)
                        if (s->chunkId && candidate == s->chunkId) {
                            m_scanPosition = from + i;
                            found = true;
                            break;
                        }
                }
                if (!found)
                    from += std::max<DWORD>(got - 3, 1);
            }
            if (!found) {
                if (!growing()) {
                    m_scanPosition = m_scanLimit;
                    continue;
                }
                if (Pause(kGrowthPoll))
                    return;
            }
            continue;
        }
        // A chunk whose data is not all there yet is indexed once it is (a growing file), or
        // never (a file cut short).
        if (m_scanPosition + 8 + static_cast<LONGLONG>(size) > file->GetSize()) {
            if (!growing())
                break;
            if (Pause(kGrowthPoll))
                return;
            continue;
        }
        if (stream) {
            bool key = true;
            if (stream->IsVideo()) {
                BYTE first[8] = {};
                const DWORD got = size > 8 ? file->Read(first, 8) : 0;
                const std::vector<BYTE>& format = stream->Format();
                const DWORD compression = format.size() >= 20 ? ReadLE32(format.data() + 16) : 0;
                key = size > 8 && AviChunkIsKeyFrame(compression, std::span<const BYTE>(first, got));
            }
            stream->AppendScanned(static_cast<std::uint64_t>(m_scanPosition + 8), size, key);
            m_largestIndexedOffset = std::max(m_largestIndexedOffset, static_cast<std::uint64_t>(m_scanPosition + 8));
        }
        m_scanPosition += 8 + static_cast<LONGLONG>(size);
    }
    m_scanFinished = true;
}
