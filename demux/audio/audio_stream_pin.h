// The output pin of the elementary audio sources (MP3, AAC): one stream, packets of whole
// frames, each delivered once the entry behind it is queued.
#pragma once

#include "framework/demux_pin.h"
#include "io/packet.h"

class CAudioStreamPin : public CDemuxOutputPinT<KPacket> {
public:
    using CDemuxOutputPinT<KPacket>::CDemuxOutputPinT;

    HRESULT FillSample(IMediaSample*& sample) override;
};
