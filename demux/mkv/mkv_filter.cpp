#include "demux/mkv/mkv_filter.h"

#include "demux/mkv/mkv_media_types.h"
#include "module/templates.h"

namespace {

constexpr std::uint32_t kClusterTimecode = 0xE7;

}  // namespace

CMKV_OutputPin::CMKV_OutputPin(HRESULT* phr, CDemuxFilter* filter, LPCWSTR name, DWORD streamNumber,
                               std::vector<CMediaType> types)
    : CDemuxOutputPinT<KPacket>(WSTR("MKV output pin"), phr, filter, name, streamNumber, std::move(types))
{
}

CMKV_Filter::CMKV_Filter(const WCHAR* name, IUnknown* outer, HRESULT* phr)
    : CDemuxFilterT<KPacket>(name ? name : WSTR("Torvane MKV Source Filter"), outer, CLSID_VmxMkvSource, phr,
                             QueueLimits::Mkv)
{
}

const KMkvTrackEntry* CMKV_Filter::TrackForNumber(std::uint32_t trackNumber) const
{
    const auto found = m_trackMap.find(trackNumber);
    return found == m_trackMap.end() ? nullptr : m_tracks[found->second];
}

HRESULT CMKV_Filter::LoadFile(LPCOLESTR fileName)
{
    auto reader = std::make_unique<KMkvReader>();
    if (reader->Open(fileName) != S_OK || !reader->HasFile())
        return E_FAIL;
    m_reader = std::move(reader);
    const KMkvInfo& info = m_reader->Segment().info;

    auto root = KEbmlElement::Root(*m_reader);
    auto segment = root->FirstChild(ebml_id::kSegment);
    std::unique_ptr<KEbmlElement> cluster = segment ? segment->FirstChild(ebml_id::kCluster) : nullptr;
    if (cluster) {
        CUInt timecode;
        if (auto field = cluster->FirstChild(kClusterTimecode)) {
            m_reader->Seek(field->dataPos);
            timecode.Read(*field);
        }
        m_reader->startOffset = TicksToReferenceTime(static_cast<std::int64_t>(timecode.value), info.timecodeScale.value);
    }
    SetDuration(SegmentDuration(info));
    CreatePins();
    // Without a Cluster there is nothing to play; the pins made above stay with the filter.
    return segment && cluster ? S_OK : E_FAIL;
}

void CMKV_Filter::CreatePins()
{
    KMkvTrackCounters counters;
    for (KMkvTrackEntry& track : m_reader->Segment().tracks) {
        // Encrypted or undecodable private data: the track is dropped, not just left without a pin.
        if (!DecodeContent(track.contentEncodings, track.codecPrivate, content_scope::kCodecPrivate))
            continue;
        KMkvTrackTypes offer = BuildTrackTypes(track, counters);
        if (offer.malformed)
            continue;
        const size_t index = m_tracks.size();
        m_tracks.push_back(&track);
        m_trackMap[static_cast<std::uint32_t>(track.trackNumber.value)] = index;
        if (offer.types.empty())
            continue;
        HRESULT hr = S_OK;
        new CMKV_OutputPin(&hr, this, offer.pinName.c_str(), static_cast<DWORD>(index), std::move(offer.types));
    }
}

HRESULT CMKV_Filter::NextPacket(std::unique_ptr<KPacket>&)
{
    // Blocks are not read yet: every pin ends its stream at once.
    return S_FALSE;
}
