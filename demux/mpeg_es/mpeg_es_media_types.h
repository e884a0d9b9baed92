// The media types of MPEG elementary streams, built from the header records both MPEG demuxers
// read at the start of a stream.
#pragma once

#include "demux/mpeg_es/hevc_parameter_sets.h"
#include "demux/mpeg_es/mpeg_es_headers.h"
#include "framework/media_type.h"
#include "framework/module_subtypes.h"

// MPEG2VIDEOINFO for an MPEG-2 sequence, MPEG1VIDEOINFO for an MPEG-1 one.
CMediaType MpegVideoMediaType(const MpegVideoSequence& sequence);
CMediaType AvcMediaType(const AvcParameterSets& sets);
// HEVC as in MP4 and Matroska: MPEG2VIDEOINFO with the hvcC as sequence header, 4-byte lengths.
CMediaType HevcMediaType(const HevcParameterSets& sets);
CMediaType Vc1MediaType(const Vc1Sequence& sequence);
CMediaType MpegAudioMediaType(const MpegAudioHeader& header);
// zeroMeansStereo: a channel configuration of 0 (given in the stream itself) is announced as 2.
CMediaType AdtsMediaType(const AdtsHeader& header, bool zeroMeansStereo = false);
CMediaType Ac3MediaType(const Ac3Header& header);
// Dolby Digital Plus under the AC-3 format tag, as the MP4 and Matroska pins give it.
CMediaType Eac3MediaType(const Eac3Header& header);
CMediaType DtsMediaType(const DtsHeader& header);
CMediaType LpcmMediaType(const LpcmHeader& header);
// The subpicture type of a private stream 1 sub-stream id (0x20-0x3F, 0x70-0x7F or 0x00-0x0F).
CMediaType SubpictureMediaType(BYTE subStreamId);
