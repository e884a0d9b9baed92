// What a Matroska track offers downstream: its list of media types built from the CodecID and
// CodecPrivate, with the frame-duration and display-aspect adjustments, and its pin name.
#pragma once

#include "framework/module_subtypes.h"

#include <span>
#include <string_view>
#include <vector>

#include "demux/mkv/mkv_tracks.h"
#include "framework/media_type.h"

// Per-file numbering of the pins' base names ("Video 2", "Audio 1").
struct KMkvTrackCounters {
    int video = 0;
    int audio = 0;
    int subtitle = 0;
};

struct KMkvTrackTypes {
    std::vector<CMediaType> types;  // preferred first; empty: the track gets no pin
    WString pinName;
    // The AVC configuration record is broken: the track is not registered at all.
    bool malformed = false;
};

// The Vorbis headers of a CodecPrivate in Xiph lacing: a count byte, count sizes (each the sum of
// bytes up to the first below 255), and the last header taking the rest. False when the sizes
// run past the data.
bool SplitXiphHeaders(std::span<const BYTE> priv, std::vector<std::span<const BYTE>>& headers);

// Builds the types and pin name of a track whose CodecPrivate is already decoded. May set the
// video frame rate derived from an AVC configuration. With extensions, the codecs behind the
// module's switch get types too.
KMkvTrackTypes BuildTrackTypes(KMkvTrackEntry& track, KMkvTrackCounters& counters, bool extensions = false);

// The types of a codec behind the extensions switch (mkv_extension_types.cpp), added to types;
// false when the CodecID is not one of them. A configuration record too short for its fixed
// fields gives no type: a decoder could not start from it.
bool AddExtensionVideoTypes(const KMkvTrackEntry& track, const CMediaType& base, std::vector<CMediaType>& types);
bool AddExtensionAudioTypes(const KMkvTrackEntry& track, const CMediaType& base, std::vector<CMediaType>& types);
// The subtitle subtype of an extension CodecID; GUID_NULL for others.
GUID ExtensionSubtitleSubtype(std::string_view codecId);

// Private GUIDs of the types (shared with the tests and the host's type printer).
VMX_GUID(MEDIASUBTYPE_Vorbis2, 0x8d2fd10b, 0x5841, 0x4a6b, 0x89, 0x05, 0x58, 0x8f, 0xec, 0x1a, 0xde, 0xd9);
VMX_GUID(FORMAT_Vorbis2, 0xb36e107f, 0xa938, 0x4387, 0x93, 0xc7, 0x55, 0xe9, 0x66, 0x75, 0x74, 0x73);
VMX_GUID(MEDIASUBTYPE_FLAC_Framed, 0x1541c5c0, 0xcddf, 0x477d, 0xbc, 0x0a, 0x86, 0xf8, 0xae, 0x7f, 0x83, 0x54);
VMX_GUID(FORMAT_SubtitleInfo, 0xa33d2f7d, 0x96bc, 0x4337, 0xb2, 0x3b, 0xa8, 0xb9, 0xfb, 0xc2, 0x95, 0xe9);
VMX_GUID(MEDIASUBTYPE_UTF8, 0x87c0b230, 0x03a8, 0x4fdf, 0x80, 0x10, 0xb2, 0x7a, 0x58, 0x48, 0x20, 0x0d);
VMX_GUID(MEDIASUBTYPE_SSA, 0x3020560f, 0x255a, 0x4ddc, 0x80, 0x6e, 0x6c, 0x5c, 0xc6, 0xdc, 0xd7, 0x0a);
VMX_GUID(MEDIASUBTYPE_ASS, 0x326444f7, 0x686f, 0x47ff, 0xa4, 0xb2, 0xc8, 0xc9, 0x63, 0x07, 0xb4, 0xc2);
VMX_GUID(MEDIASUBTYPE_SSF, 0x76c421c4, 0xdb89, 0x42ec, 0x93, 0x6e, 0xa9, 0xfb, 0xc1, 0x79, 0x47, 0x14);
VMX_GUID(MEDIASUBTYPE_USF, 0xb753b29a, 0x0a96, 0x45be, 0x98, 0x5f, 0x68, 0x35, 0x1d, 0x9c, 0xab, 0x90);
VMX_GUID(MEDIASUBTYPE_VOBSUB, 0xf7239e31, 0x9599, 0x4e43, 0x8d, 0xd5, 0xfb, 0xaf, 0x75, 0xcf, 0x37, 0xf1);
// The module's own, behind the extensions switch: WebVTT cues and Blu-ray PGS segments.
VMX_GUID(MEDIASUBTYPE_WebVtt, 0xe7209864, 0x0809, 0x4b16, 0x9f, 0x0a, 0x87, 0xe3, 0x8f, 0xba, 0x32, 0xa5);
VMX_GUID(MEDIASUBTYPE_HdmvPgs, 0xd5bc95ce, 0xfcaa, 0x4af2, 0x80, 0x8d, 0xd2, 0xd1, 0x1b, 0x6c, 0x09, 0xbb);

// The subtitle format block: where the codec private data starts, the track's ISO language and
// its name, then the codec private data.
#pragma pack(push, 1)
struct SUBTITLEINFO {
    DWORD dwOffset;
    CHAR IsoLang[4];
    WCHAR TrackName[256];
};
#pragma pack(pop)
static_assert(sizeof(SUBTITLEINFO) == 520);
