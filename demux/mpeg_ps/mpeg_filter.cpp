#include "demux/mpeg_ps/mpeg_filter.h"

#include <algorithm>
#include <cstring>

#include "framework/class_ids.h"
#include "framework/module_subtypes.h"

namespace {

constexpr REFERENCE_TIME kSecond = 10000000;
// How far a seek's search for the next time of a stream reads before it gives up on that stream:
// 32 MiB, so that a stream that stops early costs a bounded read, not the rest of the file.
constexpr LONGLONG kPtsSearchLimit = 0x2000000;

bool IsFourcc(const GUID& subtype, char a, char b, char c, char d)
{
    return subtype == FourccGuid(MakeFourcc(a, b, c, d));
}

}  // namespace

// ---- Pin ---------------------------------------------------------------------------------------

CMPG_OutputPin::CMPG_OutputPin(HRESULT* phr, CMPG_Filter* filter, LPCWSTR name, DWORD streamKey, const CMediaType& type)
    : CDemuxOutputPinT<KPacket>(WSTR("MPEG output pin"), phr, filter, name, streamKey, {type})
{
    const GUID& subtype = *type.Subtype();
    if (subtype == FourccGuid(0xFF))
        m_reframe = Reframe::Adts;
    else if (IsFourcc(subtype, 'A', 'V', 'C', '1') || IsFourcc(subtype, 'a', 'v', 'c', '1'))
        m_reframe = Reframe::Nal;
    else if (subtype == MEDIASUBTYPE_HEVC)
        m_reframe = Reframe::Nal, m_nal = KNalAccessUnits(NalCodec::Hevc);
    else if (IsFourcc(subtype, 'W', 'V', 'C', '1') || IsFourcc(subtype, 'w', 'v', 'c', '1'))
        m_reframe = Reframe::Vc1;
}

void CMPG_OutputPin::ResetCutters()
{
    m_adts.Reset();
    m_nal.Reset();
    m_vc1.Reset();
}

HRESULT CMPG_OutputPin::OnThreadStartPlay()
{
    m_lastStart.reset();
    m_offset = 0;
    ResetCutters();
    return CDemuxOutputPinT<KPacket>::OnThreadStartPlay();
}

HRESULT CMPG_OutputPin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request)
{
    if (!allocator || !request)
        return E_POINTER;
    request->cBuffers = 1;
    request->cbBuffer = static_cast<LONG>(std::max<ULONG>(m_mt.lSampleSize, m_mt.majortype == MEDIATYPE_Video ? 0x80000 : 0xE000));
    ALLOCATOR_PROPERTIES actual{};
    const HRESULT hr = allocator->SetProperties(request, &actual);
    if (FAILED(hr))
        return hr;
    return actual.cbBuffer < request->cbBuffer ? E_FAIL : S_OK;
}

HRESULT CMPG_OutputPin::DeliverEndFlush()
{
    // The worker is parked while a flush ends: the cutters are not in use.
    ResetCutters();
    return CDemuxOutputPinT<KPacket>::DeliverEndFlush();
}

HRESULT CMPG_OutputPin::FillSample(IMediaSample*& sample)
{
    // The last packet waits for the next entry: untimed continuations may still join it.
    if (TailHeldBack())
        return S_NOT_READY;
    std::unique_ptr<KPacket> packet = m_queue.Pop();
    KMpegUnits units;
    if (!packet) {
        // The end: the frame a cutter still holds is complete.
        if (m_reframe == Reframe::Nal)
            m_nal.Flush(units);
        else if (m_reframe == Reframe::Vc1)
            m_vc1.Flush(units);
        if (!units.empty()) {
            const HRESULT hr = DeliverUnits(sample, units, false);
            if (FAILED(hr))
                return hr;
            if (sample) {
                // The last unit is in the slot; the end marker comes back next time.
                m_queue.Push(std::unique_ptr<KPacket>());
                return S_OK;
            }
        }
        return S_FALSE;
    }
    if (packet->HasTime()) {
        // Times that jump back by more than a second (a wrap or a splice) continue from the
        // last delivered time.
        if (m_lastStart && m_offset + kSecond + packet->start < *m_lastStart)
            m_offset = *m_lastStart - packet->start;
        packet->start += m_offset;
        packet->stop += m_offset;
        m_lastStart = packet->start;
    }
    switch (m_reframe) {
    case Reframe::Adts:
        if (!packet->HasTime())
            return S_NOT_READY;
        m_adts.Push(*packet, units);
        return DeliverUnits(sample, units, true);
    case Reframe::Nal:
        m_nal.Push(*packet, units);
        return DeliverUnits(sample, units, false);
    case Reframe::Vc1:
        m_vc1.Push(*packet, units);
        return DeliverUnits(sample, units, false);
    case Reframe::None: break;
    }
    return FillFromPacket(sample, *packet);
}

HRESULT CMPG_OutputPin::DeliverUnits(IMediaSample*& sample, KMpegUnits& units, bool divideByRate)
{
    sample->Release();
    sample = nullptr;
    const double rate = divideByRate ? SeekingRate() : 1.0;
    for (size_t i = 0; i < units.size(); ++i) {
        KPacket& unit = *units[i];
        IMediaSample* out = nullptr;
        HRESULT hr = GetDeliveryBuffer(&out, nullptr, nullptr, 0);
        if (FAILED(hr))
            return hr;
        if (unit.payload.size() > static_cast<size_t>(out->GetSize())) {
            hr = EnlargeBuffer(out, unit.payload.size());
            if (FAILED(hr)) {
                if (out)
                    out->Release();
                return hr;
            }
        }
        BYTE* buffer = nullptr;
        hr = out->GetPointer(&buffer);
        if (FAILED(hr)) {
            out->Release();
            return hr;
        }
        std::memcpy(buffer, unit.payload.data(), unit.payload.size());
        out->SetActualDataLength(static_cast<LONG>(unit.payload.size()));
        if (unit.HasTime()) {
            REFERENCE_TIME start = static_cast<REFERENCE_TIME>(static_cast<double>(unit.start) / rate);
            REFERENCE_TIME stop = static_cast<REFERENCE_TIME>(static_cast<double>(unit.stop) / rate);
            out->SetTime(&start, &stop);
            out->SetPreroll(start < 0);
        } else {
            out->SetTime(nullptr, nullptr);
            out->SetPreroll(FALSE);
        }
        out->SetMediaTime(nullptr, nullptr);
        out->SetDiscontinuity(unit.discontinuity || m_discontinuity.load() != 0);
        out->SetSyncPoint(unit.HasTime());
        m_discontinuity = 0;
        if (i + 1 == units.size()) {
            // The shared loop delivers the last one, and ends as it does for any sample that
            // downstream refuses.
            sample = out;
            return S_OK;
        }
        hr = Deliver(out);
        out->Release();
        if (hr != S_OK)
            return S_OK;  // flushing or stopping: the rest of this packet's frames go too
    }
    return S_OK;
}

// ---- Filter ------------------------------------------------------------------------------------

CMPG_Filter::CMPG_Filter(const WCHAR* name, IUnknown* outer, HRESULT* phr)
    : CDemuxFilterT<KPacket>(name ? name : WSTR("Torvane MPEG Source Filter"), outer, CLSID_VmxMpegSource, phr,
                             QueueLimits::Mpeg)
{
}

CMPG_Filter::~CMPG_Filter() = default;

HRESULT CMPG_Filter::LoadFile(LPCOLESTR fileName)
{
    m_reader.ReadExtensions(ExtensionsOn());
    if (!m_reader.Open(fileName))
        return E_FAIL;
    SetDuration(m_reader.Duration());
    m_lastPositionedTime = -1;
    m_lastPosition = 0;
    // One video pin (the stream of the lowest key), a pin for every audio stream; subpictures
    // get none.
    for (const MpegStreamInfo& stream : m_reader.Streams(kMpegVideoList)) {
        if (MakePin<CMPG_OutputPin>(this, WSTR("Video"), stream.Key(), stream.type))
            break;
    }
    for (const MpegStreamInfo& stream : m_reader.Streams(kMpegAudioList)) {
        MakePin<CMPG_OutputPin>(this, WSTR("Audio"), stream.Key(), stream.type);
    }
    // A file whose streams are all of kinds without a pin (subpictures, say) still loads: the
    // host sees it has nothing to play rather than a file it cannot read.
    return S_OK;
}

REFERENCE_TIME CMPG_Filter::PositionParser(REFERENCE_TIME target)
{
    KMpegReader& reader = m_reader;
    const LONGLONG size = reader.FileSize();
    const REFERENCE_TIME duration = Duration();
    if (target <= kSecond / 2 || duration <= 0) {
        reader.Seek(0);
        return target;
    }
    if (target == m_lastPositionedTime) {
        reader.Seek(m_lastPosition);
        return target;
    }
    const double bytesPer100ns = static_cast<double>(size) / static_cast<double>(duration);
    const LONGLONG estimate = std::clamp<LONGLONG>(static_cast<LONGLONG>(static_cast<double>(target) * bytesPer100ns), 0, size);
    // The first connected stream with times near the target decides: a PTS between 1 and 0.5 s
    // before it, or the first one before it after a search that overshot.
    // The keys are taken first: the search may meet streams the lists do not hold yet.
    std::vector<DWORD> keys;
    for (int list : {kMpegVideoList, kMpegAudioList})
        for (const MpegStreamInfo& stream : reader.Streams(list))
            if (PinForStream(stream.Key()))
                keys.push_back(stream.Key());
    for (const DWORD key : keys) {
        reader.Seek(estimate);
        std::optional<LONGLONG> previousDiff;
        for (int attempt = 0; attempt < 10; ++attempt) {
            const LONGLONG pts = reader.FindNextPts(key, kPtsSearchLimit);
            if (pts < 0)
                break;
            const LONGLONG found = reader.Position();
            LONGLONG diff = pts + kSecond / 2 - target;
            if (diff > 0 && previousDiff && diff == *previousDiff)
                diff = kSecond;
            const bool inWindow = target - kSecond <= pts && pts <= target - kSecond / 2;
            // After an overshoot the jump back is taken where it lands, even well before the
            // window: more room for a decoder to find a picture it can start from.
            if (inWindow || (previousDiff && *previousDiff > 0 && diff < 0)) {
                m_lastPositionedTime = target;
                m_lastPosition = found;
                reader.Seek(found);
                return target;
            }
            reader.Seek(std::clamp<LONGLONG>(found - static_cast<LONGLONG>(static_cast<double>(diff) * bytesPer100ns), 0, size));
            previousDiff = diff;
        }
    }
    reader.Seek(estimate);
    m_lastPositionedTime = target;
    m_lastPosition = estimate;
    return target;
}

std::unique_ptr<KPacket> CMPG_Filter::MakePacket(DWORD key, bool hasTime, LONGLONG pts, DWORD length)
{
    if (length == 0 || !PinForStream(key))
        return nullptr;
    auto packet = std::make_unique<KPacket>();
    packet->streamNumber = key;
    packet->syncPoint = hasTime;
    // Untimed continuations join the timed packet before them in the pin's queue.
    packet->continuation = !hasTime;
    if (hasTime) {
        packet->start = m_reader.SinceFirst(pts);
        packet->stop = packet->start + 1;
    }
    packet->payload.resize(length);
    if (!m_reader.ReadBytes(packet->payload.data(), length))
        return nullptr;  // cut short by the end of the file
    return packet;
}

HRESULT CMPG_Filter::NextPacket(std::unique_ptr<KPacket>& packet)
{
    KMpegReader& reader = m_reader;
    if (reader.Kind() == MpegKind::Unknown)
        return S_FALSE;
    MpegUnit unit;
    for (;;) {
        if (ReaderCommandPending() || reader.Position() >= reader.FileSize())
            return S_FALSE;
        const LONGLONG before = reader.Position();
        std::unique_ptr<KPacket> made;
        if (reader.NextUnit(unit) == MpegStep::Unit) {
            const MpegPesHeader& pes = unit.pes;
            switch (reader.Kind()) {
            case MpegKind::Program:
            case MpegKind::Pes: {
                if (pes.remaining == 0)
                    continue;
                if (pes.version == 2 && pes.scrambling != 0)
                    return S_FALSE;
                const DWORD key = reader.IdentifyStream(0, unit.streamId, pes.remaining);
                const LONGLONG consumed = reader.Position() - unit.payloadStart;
                if (consumed < pes.remaining)
                    made = MakePacket(key, pes.hasPts, pes.pts, static_cast<DWORD>(pes.remaining - consumed));
                break;
            }
            case MpegKind::Pva:
                made = MakePacket(unit.pva.streamId, unit.pva.hasPts, unit.pva.pts, unit.pva.payloadLength);
                break;
            case MpegKind::Transport: {
                const MpegTransportPacket& ts = unit.transport;
                if (ts.unitStart)
                    reader.ParsePsiSection(ts.pid, unit.payloadStart);
                if (!ts.hasPayload || ts.pid < 16 || ts.pid > 8190 || ts.scrambling != 0)
                    break;
                DWORD key = ts.pid;
                if (unit.hasPes) {
                    if (pes.version == 2 && pes.scrambling != 0)
                        return S_FALSE;
                    const LONGLONG used = reader.Position() - unit.payloadStart;
                    key = reader.IdentifyStream(ts.pid, unit.streamId,
                                                used < ts.payloadLength ? static_cast<DWORD>(ts.payloadLength - used) : 0);
                }
                const LONGLONG used = reader.Position() - unit.payloadStart;
                if (used < ts.payloadLength)
                    made = MakePacket(key, unit.hasPes && pes.hasPts, pes.pts, static_cast<DWORD>(ts.payloadLength - used));
                break;
            }
            case MpegKind::Unknown:
                return S_FALSE;
            }
            reader.Seek(unit.next);
        }
        if (reader.Position() <= before)
            reader.Seek(before + 1);
        if (made) {
            packet = std::move(made);
            return S_OK;
        }
    }
}
