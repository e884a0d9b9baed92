// CMPG_Filter: the MPEG source for program streams, bare PES streams, PVA files and (read packet
// by packet) transport streams. Load detects the kind and scans the file for its streams and
// byte rate; the first video stream gets the pin "Video", every audio stream a pin "Audio". The
// reader cuts PES payloads into packets timed from the file's first presentation time; the pins
// re-frame ADTS AAC, H.264 and VC-1 into whole frames.
#pragma once

#include <optional>

#include "demux/mpeg_es/mpeg_frame_cutters.h"
#include "demux/mpeg_ps/mpeg_reader.h"
#include "framework/demux_filter.h"

class CMPG_Filter;

class CMPG_OutputPin final : public CDemuxOutputPinT<KPacket> {
public:
    CMPG_OutputPin(HRESULT* phr, CMPG_Filter* filter, LPCWSTR name, DWORD streamKey, const CMediaType& type);

    HRESULT FillSample(IMediaSample*& sample) override;
    HRESULT OnThreadStartPlay() override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
    HRESULT DeliverEndFlush() override;

private:
    enum class Reframe { None, Adts, Nal, Vc1 };

    // Delivers the units a cutter made, one sample each; the slot is left empty.
    HRESULT DeliverUnits(IMediaSample*& sample, KMpegUnits& units, bool divideByRate);
    void ResetCutters();

    Reframe m_reframe = Reframe::None;
    std::optional<REFERENCE_TIME> m_lastStart;  // none after a restart
    REFERENCE_TIME m_offset = 0;                // added after a jump back in the file's times
    KAdtsFramer m_adts;
    KNalAccessUnits m_nal;  // H.264 or HEVC access units
    KVc1Frames m_vc1;
};

class CMPG_Filter final : public CDemuxFilterT<KPacket> {
public:
    CMPG_Filter(const WCHAR* name, IUnknown* outer, HRESULT* phr);
    ~CMPG_Filter() override;

protected:
    HRESULT LoadFile(LPCOLESTR fileName) override;
    void DiscardFile() override { m_reader.Close(); }
    REFERENCE_TIME PositionParser(REFERENCE_TIME target) override;
    HRESULT NextPacket(std::unique_ptr<KPacket>& packet) override;

private:
    // Reads the payload at the reader into a packet for the pin of the key (none connected: the
    // payload is skipped). Moves the reader to payloadEnd.
    std::unique_ptr<KPacket> MakePacket(DWORD key, bool hasTime, LONGLONG pts, DWORD length);

    KMpegReader m_reader;
    LONGLONG m_lastPositionedTime = -1;
    LONGLONG m_lastPosition = 0;
};
