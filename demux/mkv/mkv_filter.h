// CMKV_Filter: the Matroska source. Load parses the file, decodes each track's codec private
// data and creates one CMKV_OutputPin per track that maps to a media type.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "demux/mkv/mkv_reader.h"
#include "framework/demux_filter.h"
#include "io/packet.h"

class CMKV_OutputPin final : public CDemuxOutputPinT<KPacket> {
public:
    CMKV_OutputPin(HRESULT* phr, CDemuxFilter* filter, LPCWSTR name, DWORD streamNumber,
                   std::vector<CMediaType> types);
};

class CMKV_Filter final : public CDemuxFilterT<KPacket> {
public:
    CMKV_Filter(const WCHAR* name, IUnknown* outer, HRESULT* phr);

    // The registered tracks, file order (each keeps its decoded CodecPrivate).
    const std::vector<const KMkvTrackEntry*>& Tracks() const { return m_tracks; }
    // The registered track a block of this TrackNumber belongs to; null when none is.
    const KMkvTrackEntry* TrackForNumber(std::uint32_t trackNumber) const;
    // The parsed Segment (Info, tracks, Cues, Chapters, Attachments); null before a Load.
    const KMkvSegment* Segment() const { return m_reader ? &m_reader->Segment() : nullptr; }
    // The first Cluster's Timecode in 100-ns units.
    REFERENCE_TIME StartOffset() const { return m_reader ? m_reader->startOffset : 0; }

protected:
    HRESULT LoadFile(LPCOLESTR fileName) override;
    HRESULT NextPacket(std::unique_ptr<KPacket>& packet) override;

private:
    void CreatePins();

    std::unique_ptr<KMkvReader> m_reader;
    std::vector<const KMkvTrackEntry*> m_tracks;
    // TrackNumber to index in m_tracks (a repeated number maps to the later track).
    std::unordered_map<std::uint32_t, size_t> m_trackMap;
};
