#include "demux/mp4/mp4_filter.h"

#include <algorithm>
#include <limits>

#include "demux/mp4/mp4_media_types.h"
#include "framework/class_ids.h"
#include "framework/com_out.h"
#include "framework/format_blocks.h"
#include "io/wide_text.h"

// ---- Pin ---------------------------------------------------------------------------------------

CMP4_OutputPin::CMP4_OutputPin(HRESULT* phr, CMP4_Filter* filter, LPCWSTR name, DWORD trackId,
                               std::vector<CMediaType> types)
    : CDemuxOutputPinT<KPacket>(WSTR("MP4 output pin"), phr, filter, name, trackId, std::move(types)), m_mp4(filter)
{
}

HRESULT CMP4_OutputPin::FillSample(IMediaSample*& sample)
{
    KPacket* packet = nullptr;
    if (const HRESULT taken = TakeHeldBack(packet); taken != S_OK)
        return taken;
    return FillFromPacket(sample, *packet, SampleRules{.syncOnRestart = true, .applyMediaType = false, .mediaTimes = true});
}

HRESULT CMP4_OutputPin::SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags)
{
    const bool seeking = current && (currentFlags & AM_SEEKING_PositioningBitsMask);
    if (seeking)
        m_mp4->PrepareSeek((currentFlags & AM_SEEKING_SeekToKeyFrame) != 0);
    const HRESULT hr = CDemuxOutputPinT<KPacket>::SetPositions(current, currentFlags, stop, stopFlags);
    if (hr != S_OK || !seeking)
        return hr;
    // The caller learns where playback starts, or -1 when the seek found no sample at the time
    // asked for.
    const bool failed = m_mp4->LastSeekResult() < 0;
    CAutoLock lock(CSourceSeeking::m_pLock);
    *current = failed ? -1 : m_rtStart;
    return failed ? S_FALSE : S_OK;
}

// ---- Filter ------------------------------------------------------------------------------------

CMP4_Filter::CMP4_Filter(const WCHAR* name, IUnknown* outer, HRESULT* phr)
    : CDemuxFilterT<KPacket>(name ? name : WSTR("Torvane MP4 Source Filter"), outer, CLSID_VmxMp4Source, phr,
                             QueueLimits::Mp4)
{
}

HRESULT CMP4_Filter::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IVmxMP4)
        return GetInterface(static_cast<IVmxMP4*>(this), ppv);
    return CDemuxFilterT<KPacket>::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CMP4_Filter::SetNotify(void* target) { return target ? S_OK : E_POINTER; }
HRESULT CMP4_Filter::ClearNotify() { return S_OK; }
HRESULT CMP4_Filter::SetNotify2(void* target) { return target ? S_OK : E_POINTER; }

HRESULT CMP4_Filter::SetUserValue(DWORD value)
{
    m_userValue = value;
    return S_OK;
}

HRESULT CMP4_Filter::GetUserValue(DWORD* value) { return AnswerThrough(value, m_userValue); }

HRESULT CMP4_Filter::GetAvailableDuration(LONGLONG* duration)
{
    if (!duration)
        return E_POINTER;
    CAutoLock lock(pStateLock());
    REFERENCE_TIME available = m_availableDuration;
    // A reader of its own: the reader thread moves the filter's file meanwhile.
    KFile probe;
    if (m_handler.File() && probe.Open(m_handler.File()->Path())) {
        const LONGLONG size = probe.GetSize();
        for (const auto& track : m_handler.Tracks())
            available = std::max(available, track->AvailableTime(size));
    }
    m_availableDuration = available;
    *duration = available;
    return S_OK;
}

HRESULT CMP4_Filter::SetSeekKeyFrame(BOOL on)
{
    m_seekKeyFrame = on != FALSE;
    return S_OK;
}

HRESULT CMP4_Filter::GetSeekKeyFrame(BOOL* on) { return AnswerThrough(on, m_seekKeyFrame ? TRUE : FALSE); }

void CMP4_Filter::PrepareSeek(bool toKeyFrame)
{
    m_seekKeyFrame = toKeyFrame;
    m_graphPosition = QueryGraphPosition();
}

HRESULT CMP4_Filter::LoadFile(LPCOLESTR fileName)
{
    if (!m_handler.Open(fileName, ExtensionsOn()))
        return E_FAIL;
    SetDuration(Mp4TicksToTime(static_cast<std::int64_t>(std::min<std::uint64_t>(m_handler.MovieDuration(), INT64_MAX)),
                               m_handler.MovieTimeScale()));
    ThinVideoTracks();
    m_exhausted.assign(m_handler.Tracks().size(), false);
    for (auto& track : m_handler.Tracks()) {
        std::vector<CMediaType> types = BuildMp4MediaTypes(*track);
        if (types.empty())
            continue;
        const WString name = WString(track->type == Mp4TrackType::Video ? WSTR("Video (") : WSTR("Audio ("))
            + WideFromUtf8(std::to_string(track->trackId)) + WSTR(")");
        HRESULT hr = S_OK;
        new CMP4_OutputPin(&hr, this, name.c_str(), track->trackId, std::move(types));
    }
    return GetPinCount() > 0 ? S_OK : E_FAIL;
}

void CMP4_Filter::ThinVideoTracks()
{
    auto& tracks = m_handler.Tracks();
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        if (tracks[i]->type != Mp4TrackType::Video)
            continue;
        for (std::size_t j = i + 1; j < tracks.size(); ++j) {
            if (tracks[j]->type != Mp4TrackType::Video)
                continue;
            // Alternative encodings of one picture: the longer one stays. Each position removes
            // one track at most; the scan goes on with the next position of the shortened list,
            // so the track that moves into this position is not compared again.
            const std::size_t removed = tracks[i]->chunks.size() < tracks[j]->chunks.size() ? i : j;
            tracks.erase(tracks.begin() + static_cast<std::ptrdiff_t>(removed));
            break;
        }
    }
}

void CMP4_Filter::PositionAfterLoad()
{
    m_windowPosition = 0;
    m_windowOpen = false;
    m_seekTarget = 0;
    m_seekBase = 0;
}

REFERENCE_TIME CMP4_Filter::PositionParser(REFERENCE_TIME target)
{
    auto& tracks = m_handler.Tracks();
    const REFERENCE_TIME limit = std::min<REFERENCE_TIME>(m_graphPosition, Duration());
    const bool preferEarlier = target <= limit;
    const bool toKeyFrame = m_seekKeyFrame;
    Mp4Track* video = nullptr;
    for (auto& track : tracks)
        if (track->type == Mp4TrackType::Video) {
            video = track.get();
            break;
        }
    REFERENCE_TIME key = target;
    REFERENCE_TIME result = target;
    if (video) {
        Mp4Location location;
        if (video->Locate(target, toKeyFrame, preferEarlier, &location))
            key = video->TimeOfSample(location.sample);
        else
            result = -1;
    }
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        Mp4Track& track = *tracks[i];
        // A track that has nothing at the time asked for stays silent until the next seek.
        m_exhausted[i] = !track.Seek(&track == video ? target : key, preferEarlier);
    }
    const std::uint64_t scale = m_handler.MovieTimeScale();
    m_windowPosition = scale ? static_cast<std::uint64_t>(std::max<__int128>(static_cast<__int128>(key) * scale / 10000000, 0)) : 0;
    m_windowOpen = false;
    // An edit list can put the first key frame's decode time before 0: playback still starts at
    // 0, and -1 stays the mark of a seek that found nothing.
    m_seekResult = result < 0 ? -1 : toKeyFrame ? std::max<REFERENCE_TIME>(key, 0) : target;
    return m_seekResult;
}

void CMP4_Filter::BeginReadPass()
{
    auto& tracks = m_handler.Tracks();
    for (std::size_t i = 0; i < tracks.size(); ++i)
        tracks[i]->active = !m_exhausted[i] && PinForStream(tracks[i]->trackId) != nullptr;
    m_windowOpen = false;
}

std::unique_ptr<KPacket> CMP4_Filter::ReadUnit(Mp4Track& track)
{
    KCacheFile& file = *m_handler.File();
    const std::uint64_t offset = track.CurrentOffset();
    const std::uint64_t size = track.CurrentSize();
    // The size known is asked of the system again only when the sample lies past it (a file
    // still being written), not for every sample.
    auto fileSize = static_cast<std::uint64_t>(std::max<LONGLONG>(file.KnownSize(), 0));
    if (offset > fileSize || size > fileSize - offset)
        fileSize = static_cast<std::uint64_t>(std::max<LONGLONG>(file.GetSize(), 0));
    if (offset > fileSize || size > fileSize - offset)
        return nullptr;
    bool sync = false;
    auto packet = NewPacket();
    packet->streamNumber = track.trackId;
    packet->start = track.CurrentTime(&sync);
    packet->stop = packet->start + 1;
    packet->syncPoint = sync;
    packet->payload.resize(static_cast<std::size_t>(size));
    file.Seek(static_cast<LONGLONG>(offset));
    if (file.Tell() != static_cast<LONGLONG>(offset)
        || file.ReadPayload(packet->payload.data(), static_cast<DWORD>(size)) != size)
        return nullptr;
    BYTE* data = packet->payload.data();
    if (track.flipRaw && track.format.size() >= sizeof(BITMAPINFOHEADER)) {
        // Uncompressed QuickTime frames run top down with the colour bytes in the other order.
        const auto bitmap = GetRecord<BITMAPINFOHEADER>(track.format.data(), 0);
        const std::size_t pixelBytes = bitmap.biBitCount / 8u;
        const std::size_t rowBytes = static_cast<std::size_t>(std::max<LONG>(bitmap.biWidth, 0)) * pixelBytes;
        if (rowBytes > 0) {
            const std::size_t rows = static_cast<std::size_t>(size) / rowBytes;
            for (std::size_t top = 0, bottom = rows; top + 1 < bottom; ++top, --bottom)
                std::swap_ranges(data + top * rowBytes, data + (top + 1) * rowBytes, data + (bottom - 1) * rowBytes);
            if (pixelBytes > 1)
                for (std::size_t at = 0; at + pixelBytes <= rows * rowBytes; at += pixelBytes)
                    std::reverse(data + at, data + at + pixelBytes);
        }
    } else if (track.swap16) {
        for (std::size_t at = 0; at + 1 < size; at += 2)
            std::swap(data[at], data[at + 1]);
    } else if (track.codec == mp4_codec::kIn24 && track.type == Mp4TrackType::Audio) {
        // "in24" samples are big-endian: each is reversed to the little-endian order PCM has
        // downstream, which would otherwise play them as noise.
        for (std::size_t at = 0; at + 2 < size; at += 3)
            std::swap(data[at], data[at + 2]);
    }
    return packet;
}

HRESULT CMP4_Filter::NextPacket(std::unique_ptr<KPacket>& packet)
{
    auto& tracks = m_handler.Tracks();
    const std::uint64_t scale = std::max<std::uint64_t>(m_handler.MovieTimeScale(), 1);
    for (;;) {
        if (!m_windowOpen) {
            REFERENCE_TIME earliest = std::numeric_limits<REFERENCE_TIME>::max();
            for (const auto& track : tracks)
                if (track->active)
                    earliest = std::min(earliest, track->CurrentTime());
            if (earliest == std::numeric_limits<REFERENCE_TIME>::max())
                return S_FALSE;
            m_windowPosition += std::max<std::uint64_t>(1, scale / 10);
            m_windowEnd = Mp4TicksToTime(static_cast<std::int64_t>(std::min<std::uint64_t>(m_windowPosition, INT64_MAX)), scale);
            // Slices with nothing in them are skipped rather than walked one by one. Never
            // backwards: the rounded-down tick can give back the slice just left, for ever.
            if (earliest >= m_windowEnd) {
                const __int128 reach = static_cast<__int128>(earliest) * scale / 10000000;
                // A time no slice can reach (its tick past the largest, or the slices' end time
                // saturated) ends the pass: the slices would crawl toward it a tenth of a second
                // at a time.
                if (reach > INT64_MAX || m_windowPosition > static_cast<std::uint64_t>(INT64_MAX)
                    || m_windowEnd == std::numeric_limits<REFERENCE_TIME>::max())
                    return S_FALSE;
                m_windowPosition = std::max(m_windowPosition, static_cast<std::uint64_t>(std::max<__int128>(reach, 0)));
                continue;
            }
            m_trackIndex = 0;
            m_windowOpen = true;
        }
        while (m_trackIndex < tracks.size()) {
            Mp4Track& track = *tracks[m_trackIndex];
            if (!track.active || track.CurrentTime() >= m_windowEnd) {
                ++m_trackIndex;
                continue;
            }
            // A unit of 0 bytes, or one whose bytes the file does not hold (cut short, or a
            // damaged offset), is skipped: what follows it may still be there.
            std::unique_ptr<KPacket> unit = track.CurrentSize() ? ReadUnit(track) : nullptr;
            // Past the end of the file, so is the rest of the chunk: it is skipped at once, not
            // unit by unit (a damaged count can claim millions of them).
            const bool pastEnd = !unit
                && track.CurrentOffset() >= static_cast<std::uint64_t>(std::max<LONGLONG>(m_handler.File()->GetSize(), 0));
            if (!(pastEnd ? track.AdvancePastChunk() : track.Advance())) {
                track.active = false;
                m_exhausted[m_trackIndex] = true;
            }
            if (unit) {
                packet = std::move(unit);
                return S_OK;
            }
        }
        m_windowOpen = false;
    }
}
