#include "demux/ogg/ogg2_read_handler.h"

#include <algorithm>

#include "demux/ogg/ogg_ds_samples.h"

namespace {

constexpr LONGLONG kEstimateSpan = 0x100000;
constexpr LONGLONG kAudioIndexSkip = 0x100000;
constexpr LONGLONG kSearchStep = KOggPageReader::kRefill;
// A stream whose packets carry no granule at all is not held back for ever.
constexpr size_t kMaxHeld = 512;

bool IsHeaderPacket(std::span<const std::uint8_t> bytes)
{
    return ClassifyOggPacket(bytes) != OggStreamKind::NotHeader;
}

OggPacket PacketOf(const std::vector<BYTE>& bytes, ogg_int64_t granule)
{
    OggPacket packet;
    packet.packet = const_cast<unsigned char*>(bytes.data());
    packet.bytes = static_cast<long>(bytes.size());
    packet.granulepos = granule;
    return packet;
}

}  // namespace

KOGG2ReadHandler::~KOGG2ReadHandler() { Close(); }

void KOGG2ReadHandler::Close()
{
    StopIndex();
    m_pages.reset();
    m_file.reset();
    m_streams.clear();
    m_path.clear();
    m_fileSize = 0;
    m_atEnd = false;
    std::lock_guard<std::mutex> guard(m_indexLock);
    m_index.clear();
    m_indexedTime = 0;
    m_duration = 0;
}

KOGG2ReadStream* KOGG2ReadHandler::StreamBySerial(int serial)
{
    StreamSlot* slot = SlotBySerial(serial);
    return slot ? slot->stream.get() : nullptr;
}

KOGG2ReadHandler::StreamSlot* KOGG2ReadHandler::SlotBySerial(int serial)
{
    for (StreamSlot& slot : m_streams)
        if (slot.stream->Serial() == serial)
            return &slot;
    return nullptr;
}

HRESULT KOGG2ReadHandler::Open(LPCWSTR path, bool directShowSamples, bool extensions)
{
    Close();
    m_file = std::make_unique<KFile>();
    if (!path || !m_file->Open(path))
        return E_FAIL;
    m_path = path;
    m_fileSize = m_file->GetSize();
    m_pages = std::make_unique<KOggPageReader>(m_file.get(), KOggPageReader::kStreamingRefill);
    m_pages->Restart(0);
    if (m_pages->Feed(kHeaderScan) == 0)
        return E_FAIL;
    ScanHeaders(directShowSamples, extensions);
    std::erase_if(m_streams, [](const StreamSlot& slot) { return slot.stream->MissingHeaders() != 0; });
    if (m_streams.empty())
        return E_FAIL;
    EstimateDuration();
    m_pages->Restart(0);
    ResetStreams(true);
    StartIndex();
    return S_OK;
}

// Streams start with a page of their own whose first packet names the kind; the headers that
// follow are in the stream's next packets. Only what the first read brought in is looked at.
void KOGG2ReadHandler::ScanHeaders(bool directShowSamples, bool extensions)
{
    OggPage page;
    while (m_pages->NextPage(&page, false)) {
        const int serial = page.Serial();
        OggPacket packet;
        if (page.BeginsStream()) {
            if (SlotBySerial(serial))
                continue;
            KOggLogicalStream scratch(serial);
            scratch.PageIn(page);
            if (scratch.PacketOut(&packet) == 1) {
                OggStreamKind kind = ClassifyOggPacket(PacketBytes(packet));
                if (kind == OggStreamKind::NotHeader && extensions)
                    kind = ClassifyExtensionPacket(PacketBytes(packet));
                if (kind == OggStreamKind::NotHeader && directShowSamples && IsDirectShowSamplesHeader(PacketBytes(packet)))
                    kind = OggStreamKind::DirectShowSamples;
                auto stream = KOGG2ReadStream::Create(kind, serial);
                if (stream && stream->ParseHeader(packet)) {
                    while (scratch.PacketOut(&packet) == 1)
                        stream->ParseHeader(packet);
                    StreamSlot slot;
                    slot.stream = std::move(stream);
                    m_streams.push_back(std::move(slot));
                }
            }
            continue;
        }
        KOGG2ReadStream* stream = StreamBySerial(serial);
        if (!stream)
            continue;
        stream->State()->PageIn(page);
        for (int result; (result = stream->State()->PacketOut(&packet)) != 0;) {
            if (result < 0 || packet.b_o_s)
                continue;
            const OggStreamKind kind = ClassifyOggPacket(PacketBytes(packet));
            // The extension kinds' later headers carry no signature of the family: a stream
            // takes packets until it has what it needs.
            if (kind == OggStreamKind::Vorbis || kind == OggStreamKind::Theora ||
                (IsExtensionKind(stream->Kind()) && stream->MissingHeaders() != 0))
                stream->ParseHeader(packet);
        }
    }
}

// The pages of the last 1 MiB with a positive granule give the duration: the latest time of a
// stream that has times (a KStream has none, and a stream that ends early is not the file's end).
void KOGG2ReadHandler::EstimateDuration()
{
    KOggPageReader pages(m_file.get());
    pages.Restart(m_fileSize > kEstimateSpan ? m_fileSize - kEstimateSpan : 0);
    REFERENCE_TIME duration = 0;
    OggPage page;
    while (pages.NextPage(&page)) {
        const ogg_int64_t granule = page.Granule();
        if (granule <= 0)
            continue;
        KOGG2ReadStream* stream = StreamBySerial(page.Serial());
        if (stream && stream->Kind() != OggStreamKind::KStream)
            duration = std::max(duration, stream->TimeOfGranule(granule));
    }
    std::lock_guard<std::mutex> guard(m_indexLock);
    m_duration = duration;
}

void KOGG2ReadHandler::ResetStreams(bool positioned)
{
    for (StreamSlot& slot : m_streams) {
        slot.stream->Reset();
        slot.held.clear();
        slot.positioned = positioned && !slot.stream->TimedFromFirstGranule();
    }
    m_atEnd = false;
}

void KOGG2ReadHandler::DrainStream(StreamSlot& slot, bool atEnd)
{
    KOGG2ReadStream& stream = *slot.stream;
    OggPacket packet;
    for (int result; (result = stream.State()->PacketOut(&packet)) != 0;) {
        if (result < 0) {
            // Pages were lost: the packets go on after the hole. A stream that counts its
            // packets' samples finds its place again from the next granule.
            if (stream.TimedFromFirstGranule() && slot.held.empty())
                slot.positioned = false;
            continue;
        }
        const auto bytes = PacketBytes(packet);
        slot.held.push_back(HeldPacket{{bytes.begin(), bytes.end()}, packet.granulepos, packet.e_o_s != 0, slot.origin.NextPacket()});
    }
    if (slot.positioned || slot.held.empty())
        return;
    // The first granule tells where the packets before it stand: walk back over them.
    auto granule = std::find_if(slot.held.begin(), slot.held.end(), [&stream](const HeldPacket& held) {
        return held.granule >= 0 && !stream.IsHeader(held.bytes);
    });
    if (granule == slot.held.end()) {
        slot.positioned = atEnd || slot.held.size() > kMaxHeld;
        return;
    }
    stream.PacketTime(PacketOf(granule->bytes, granule->granule));
    for (auto it = granule + 1; it != slot.held.begin();) {
        --it;
        if (!stream.IsHeader(it->bytes))
            stream.StepBack(PacketOf(it->bytes, -1));
    }
    slot.positioned = true;
}

bool KOGG2ReadHandler::TakeHeld(StreamSlot& slot, KOggDataPacket& out)
{
    KOGG2ReadStream& stream = *slot.stream;
    while (slot.positioned && !slot.held.empty()) {
        HeldPacket held = std::move(slot.held.front());
        slot.held.pop_front();
        stream.SetEndOfStream(held.endOfStream);
        if (stream.IsHeader(held.bytes))
            continue;
        const OggPacket packet = PacketOf(held.bytes, held.granule);
        const unsigned offset = stream.DataOffset(packet);
        // Packets passed over still move the running position on.
        if (stream.WaitsForKeyFrame()) {
            if (!stream.IsKeyFrame(packet)) {
                stream.PacketTime(packet);
                continue;
            }
            stream.ClearKeyWait();
        }
        if (held.bytes.size() < offset) {
            stream.PacketTime(packet);
            continue;
        }
        out.serial = stream.Serial();
        out.kind = stream.Kind();
        out.granule = held.granule;
        out.syncPoint = stream.IsKeyFrame(packet);
        // Granules are the file's to choose: times stay where rebasing them cannot overflow.
        constexpr REFERENCE_TIME kLimit = REFERENCE_TIME{1} << 62;
        out.start = std::clamp(stream.SampleStart(packet), -kLimit, kLimit);
        out.stop = std::clamp(stream.SampleStop(packet), -kLimit, kLimit);
        out.mediaStart = stream.MediaStart(packet);
        out.mediaStop = stream.MediaStop(packet);
        out.origin = held.origin;
        held.bytes.erase(held.bytes.begin(), held.bytes.begin() + offset);
        out.payload = std::move(held.bytes);
        return true;
    }
    return false;
}

int KOGG2ReadHandler::ReadPacket(KOggDataPacket& packet)
{
    for (;;) {
        for (StreamSlot& slot : m_streams)
            if (TakeHeld(slot, packet))
                return 0;
        if (m_atEnd)
            return 1;
        OggPage page;
        if (!m_pages->NextPage(&page)) {
            // What waits for a granule that never comes goes out as it stands.
            m_atEnd = true;
            for (StreamSlot& slot : m_streams)
                DrainStream(slot, true);
            continue;
        }
        if (page.BeginsStream())
            continue;
        if (StreamSlot* slot = SlotBySerial(page.Serial())) {
            slot->origin.PageIn(page, m_pages->PagePosition());
            slot->stream->State()->PageIn(page);
            DrainStream(*slot, false);
            slot->origin.PageDone(page);
        }
    }
}

bool KOGG2ReadHandler::EndsBeforeItsPreroll(const KOggDataPacket& packet, REFERENCE_TIME start)
{
    if (!IsExtensionKind(packet.kind))
        return false;
    const KOGG2ReadStream* stream = StreamBySerial(packet.serial);
    return stream && packet.stop <= start - stream->SeekPreroll();
}

REFERENCE_TIME KOGG2ReadHandler::Duration()
{
    std::lock_guard<std::mutex> guard(m_indexLock);
    return m_duration;
}

REFERENCE_TIME KOGG2ReadHandler::IndexedTime()
{
    std::lock_guard<std::mutex> guard(m_indexLock);
    m_duration = std::max(m_duration, m_indexedTime);
    return m_indexedTime;
}

// ---- Seeking -----------------------------------------------------------------------------------

REFERENCE_TIME KOGG2ReadHandler::SeekTo(REFERENCE_TIME time, bool snap)
{
    if (!m_pages)
        return time;
    LONGLONG position = 0;
    const REFERENCE_TIME duration = Duration();
    // A stream whose decoder needs to see some audio before the target is read from that much
    // earlier; what comes before the target is played as preroll.
    REFERENCE_TIME preroll = 0;
    for (const StreamSlot& slot : m_streams)
        preroll = std::max(preroll, slot.stream->SeekPreroll());
    const REFERENCE_TIME from = time - preroll;
    if (from > 0 && time < duration) {
        AwaitIndex(from);
        bool indexed = false;
        {
            std::lock_guard<std::mutex> guard(m_indexLock);
            if (from < m_indexedTime && !m_index.empty()) {
                auto after = std::upper_bound(m_index.begin(), m_index.end(), from,
                                              [](REFERENCE_TIME t, const auto& entry) { return t < entry.second; });
                position = after == m_index.begin() ? m_index.front().first : std::prev(after)->first;
                indexed = true;
            }
        }
        if (!indexed)
            position = SearchPosition(from);
    } else if (time >= duration && time > 0) {
        position = m_fileSize;
    }
    m_pages->Restart(position);
    ResetStreams(position == 0);
    if (snap && time > 0 && time < duration)
        return SnapToKeyFrame(time);
    return time;
}

void KOGG2ReadHandler::AwaitIndex(REFERENCE_TIME time)
{
    // A seek soon after Load would find the index short of the time and take the search, landing
    // elsewhere than the same seek a moment later; the index reads far ahead of playback, so a
    // short wait makes both land on the same key frame. Past the bound the search serves.
    constexpr int kWaitMs = 500;
    if (!ThreadExists() || m_indexReachedEnd)
        return;
    m_indexHurry = true;
    for (int waited = 0; waited < kWaitMs && !m_indexReachedEnd; ++waited) {
        {
            std::lock_guard<std::mutex> guard(m_indexLock);
            if (time < m_indexedTime)
                return;
        }
        Sleep(1);
    }
}

// An interpolation search for a page just before the time, between the file's ends.
LONGLONG KOGG2ReadHandler::SearchPosition(REFERENCE_TIME time)
{
    LONGLONG lo = 0, hi = m_fileSize;
    REFERENCE_TIME loTime = 0, hiTime = Duration();
    KOggPageReader pages(m_file.get());
    for (int rounds = 0; hi - lo > 2 * kSearchStep && rounds < 64; ++rounds) {
        const float fraction = hiTime > loTime ? static_cast<float>(time - loTime) / static_cast<float>(hiTime - loTime) : 0.5f;
        LONGLONG guess = lo + static_cast<LONGLONG>(static_cast<float>(hi - lo) * std::clamp(fraction, 0.0f, 1.0f));
        if (hi - guess < kSearchStep)
            guess = std::max<LONGLONG>(0, hi - kSearchStep);
        else if (guess - lo < kSearchStep)
            guess = lo + kSearchStep;
        pages.Restart(guess);
        OggPage page;
        bool found = false;
        while (pages.NextPage(&page) && pages.PagePosition() < hi) {
            const ogg_int64_t granule = page.Granule();
            KOGG2ReadStream* stream = StreamBySerial(page.Serial());
            const REFERENCE_TIME pageTime = stream && granule >= 0 ? stream->TimeOfGranule(granule) : -1;
            if (pageTime < 0)
                continue;  // a page of another stream, or one no packet ends on
            if (time <= pageTime) {
                hi = guess;
                hiTime = pageTime;
            } else {
                lo = pages.ConsumedPosition();
                loTime = pageTime;
            }
            found = true;
            break;
        }
        if (!found)
            hi = guess;  // nothing timed between the guess and hi
    }
    return lo;
}

// From where SeekTo stands, read on in the first video stream until a packet whose granule
// time lies past the time has gone by; the first key frame from there (that packet itself,
// maybe) is where playback starts, and its time is the seek's. Playback starts at the key frame
// itself, read again from its page: a picture started after it would have nothing to decode
// from.
REFERENCE_TIME KOGG2ReadHandler::SnapToKeyFrame(REFERENCE_TIME time)
{
    const auto video = std::find_if(m_streams.begin(), m_streams.end(), [](const StreamSlot& slot) { return slot.stream->IsVideo(); });
    if (video == m_streams.end())
        return time;
    KOGG2ReadStream& stream = *video->stream;
    const LONGLONG start = m_pages->ConsumedPosition();
    const bool startPositioned = start == 0;
    bool pastTime = false;
    KOggDataPacket packet;
    while (ReadPacket(packet) == 0) {
        if (packet.serial != stream.Serial())
            continue;
        pastTime = pastTime || (packet.granule >= 0 && stream.TimeOfGranule(packet.granule) > time);
        if (!pastTime || !packet.syncPoint)
            continue;
        m_pages->Restart(packet.origin);
        ResetStreams(packet.origin == 0);
        return packet.start;
    }
    m_pages->Restart(start);
    ResetStreams(startPositioned);
    return time;
}

// ---- Seek index ----------------------------------------------------------------------------------

void KOGG2ReadHandler::StartIndex()
{
    if (ThreadExists())
        return;
    m_indexReachedEnd = false;
    if (m_threadless) {
        BuildIndexFromOwnReader(false);
        return;
    }
    if (!Create())
        m_indexReachedEnd = true;
}

void KOGG2ReadHandler::StopIndex()
{
    if (ThreadExists()) {
        CallWorker(0);
        CAMThread::Close();
    }
}

void KOGG2ReadHandler::BuildIndexFromOwnReader(bool playbackFirst)
{
    std::unique_ptr<KFileBase> file = m_file ? m_file->NewInstance() : nullptr;
    if (file && file->Open(m_path.c_str())) {
        // Beside playback, playback reads first, unless a seek is waiting for the index.
        for (int i = 0; playbackFirst && i < 300 && !CheckRequest(nullptr) && !m_indexHurry; ++i)
            Sleep(1);
        BuildIndex(*file);
    }
    m_indexReachedEnd = true;
}

DWORD KOGG2ReadHandler::ThreadProc()
{
    BuildIndexFromOwnReader(true);
    // Answers the stop that ends the thread (and any command before it).
    for (;;) {
        const DWORD command = GetRequest();
        if (command == 0) {
            MarkGone();
            Reply(0);
            return 0;
        }
        Reply(0);
    }
}

void KOGG2ReadHandler::BuildIndex(KFileBase& file)
{
    // The video stream times the index; without one, the first stream when it is audio.
    const KOGG2ReadStream* timing = nullptr;
    for (const StreamSlot& slot : m_streams)
        if (slot.stream->IsVideo()) {
            timing = slot.stream.get();
            break;
        }
    const OggStreamKind first = m_streams.front().stream->Kind();
    if (!timing && (first == OggStreamKind::OgmAudio || first == OggStreamKind::Vorbis || IsExtensionKind(first)))
        timing = m_streams.front().stream.get();
    if (!timing)
        return;
    const bool video = timing->IsVideo();
    auto stream = KOGG2ReadStream::Create(timing->Kind(), timing->Serial());
    if (!stream || !stream->AdoptHeaders(*timing))
        return;
    stream->Reset();
    {
        std::lock_guard<std::mutex> guard(m_indexLock);
        m_index.assign(1, {0, 0});
    }

    KOggPageReader pages(&file, video ? KOggPageReader::kStreamingRefill : KOggPageReader::kRefill);
    pages.Restart(0);
    KOggPacketOrigin origin;
    OggPage page;
    while (!CheckRequest(nullptr)) {
        if (!pages.NextPage(&page)) {
            m_indexReachedEnd = true;
            if (m_threadless)
                return;
            Sleep(1);  // at the end: the file may still grow
            continue;
        }
        if (page.EndsStream() || page.Serial() != stream->Serial() || page.BeginsStream())
            continue;
        if (video) {
            origin.PageIn(page, pages.PagePosition());
            stream->State()->PageIn(page);
            OggPacket packet;
            for (int result; (result = stream->State()->PacketOut(&packet)) != 0;) {
                if (result < 0)
                    continue;
                const LONGLONG began = origin.NextPacket();
                if (IsHeaderPacket(PacketBytes(packet)))
                    continue;
                const REFERENCE_TIME time = stream->PacketTime(packet);
                std::lock_guard<std::mutex> guard(m_indexLock);
                m_indexedTime = std::max(m_indexedTime, time);
                if (stream->IsKeyFrame(packet) && time >= m_index.back().second && began > m_index.back().first)
                    m_index.emplace_back(began, time);
            }
            origin.PageDone(page);
        } else {
            const ogg_int64_t granule = page.Granule();
            if (granule <= 0)
                continue;
            const REFERENCE_TIME time = stream->TimeOfGranule(granule);
            {
                std::lock_guard<std::mutex> guard(m_indexLock);
                m_indexedTime = std::max(m_indexedTime, time);
                if (time >= m_index.back().second && pages.PagePosition() > m_index.back().first)
                    m_index.emplace_back(pages.PagePosition(), time);
            }
            pages.Restart(pages.ConsumedPosition() + kAudioIndexSkip);
        }
    }
}
