#include "demux/mp4/mp4_codec_boxes.h"

#include <algorithm>

#include "demux/mp4/mp4_media_types.h"
#include "demux/mp4/mp4_track.h"
#include "framework/format_blocks.h"
#include "framework/module_subtypes.h"
#include "io/byte_reader.h"

#define READ_OR_FAIL(read) \
    do {                   \
        if (!(read))       \
            return false;  \
    } while (0)

namespace {

// Version and flags of a full box; only version 0 (1 for "vpcC") is understood.
bool ReadFullHeader(KByteReader& r, std::uint8_t wantedVersion)
{
    std::uint8_t version = 0;
    return ReadMp4FullHeader(r, &version, nullptr) && version == wantedVersion;
}

void PutLE16(std::vector<BYTE>& out, std::uint16_t v)
{
    out.push_back(static_cast<BYTE>(v));
    out.push_back(static_cast<BYTE>(v >> 8));
}

void PutLE32(std::vector<BYTE>& out, std::uint32_t v)
{
    PutLE16(out, static_cast<std::uint16_t>(v));
    PutLE16(out, static_cast<std::uint16_t>(v >> 16));
}

const Mp4Box* Child(const Mp4Box& entry, std::uint32_t type)
{
    for (const auto& child : entry.children)
        if (child->type == type)
            return child.get();
    return nullptr;
}

template <typename Record>
const Record* ChildRecord(const Mp4Box& entry, const char (&type)[5])
{
    const Mp4Box* box = Child(entry, Mp4Type(type));
    return box ? box->Payload<Record>() : nullptr;
}

// The sampling rates of AC-3's fscod.
constexpr std::uint32_t kAc3Rates[] = {48000, 44100, 32000, 0};

}  // namespace

bool Mp4HvcC::Parse(std::span<const BYTE> payload)
{
    KByteReader r(payload);
    std::uint8_t version = 0, profileByte = 0, lengthByte = 0, arrays = 0;
    READ_OR_FAIL(r.Read1(&version) && version == 1 && r.Read1(&profileByte) && r.Skip(10) && r.Read1(&level));
    READ_OR_FAIL(r.Skip(8) && r.Read1(&lengthByte) && r.Read1(&arrays));
    profile = profileByte & 0x1F;
    lengthSize = static_cast<std::uint8_t>((lengthByte & 3) + 1);
    // A 3-byte length is not a length the format allows.
    READ_OR_FAIL(lengthSize != 3);
    // Every parameter-set array must lie inside the record: a decoder walks it as written.
    for (std::uint8_t a = 0; a < arrays; ++a) {
        std::uint16_t units = 0;
        READ_OR_FAIL(r.Skip(1) && r.ReadBE2(&units));
        for (std::uint16_t u = 0; u < units; ++u) {
            std::uint16_t length = 0;
            READ_OR_FAIL(r.ReadBE2(&length) && r.Skip(length));
        }
    }
    record.assign(payload.begin(), payload.end());
    return true;
}

bool Mp4Av1C::Parse(std::span<const BYTE> payload)
{
    KByteReader r(payload);
    std::uint8_t marker = 0, profileByte = 0;
    // Marker bit and version 1.
    READ_OR_FAIL(r.Read1(&marker) && marker == 0x81 && r.Read1(&profileByte) && r.Skip(2));
    profile = profileByte >> 5;
    level = profileByte & 0x1F;
    record.assign(payload.begin(), payload.end());
    return true;
}

bool Mp4VpcC::Parse(std::span<const BYTE> payload)
{
    KByteReader r(payload);
    std::uint16_t initDataSize = 0;
    READ_OR_FAIL(ReadFullHeader(r, 1) && r.Read1(&profile) && r.Read1(&level) && r.Skip(4) && r.ReadBE2(&initDataSize)
                 && r.Skip(initDataSize));
    record.assign(payload.begin() + 4, payload.end());
    return true;
}

bool Mp4DOps::Parse(std::span<const BYTE> payload)
{
    KByteReader r(payload);
    std::uint8_t version = 0, family = 0;
    std::uint16_t gain = 0;
    READ_OR_FAIL(r.Read1(&version) && version == 0 && r.Read1(&channels) && channels > 0 && r.ReadBE2(&preSkip)
                 && r.ReadBE4(&inputRate) && r.ReadBE2(&gain) && r.Read1(&family));
    head.assign({'O', 'p', 'u', 's', 'H', 'e', 'a', 'd', 1, channels});
    PutLE16(head, preSkip);
    PutLE32(head, inputRate);
    PutLE16(head, gain);
    head.push_back(family);
    // Mapping families other than 0 name the streams and a channel each; the table is copied.
    if (family != 0) {
        std::span<const BYTE> table;
        READ_OR_FAIL(r.ReadBytes(2u + channels, &table));
        head.insert(head.end(), table.begin(), table.end());
    }
    return true;
}

bool Mp4DfLa::Parse(std::span<const BYTE> payload)
{
    KByteReader r(payload);
    READ_OR_FAIL(ReadFullHeader(r, 0));
    header.assign({'f', 'L', 'a', 'C'});
    bool last = false;
    bool first = true;
    while (!last) {
        std::uint8_t kind = 0;
        std::uint32_t length = 0;
        std::span<const BYTE> body;
        READ_OR_FAIL(r.Read1(&kind) && r.ReadBE3(&length) && r.ReadBytes(length, &body));
        last = (kind & 0x80) != 0;
        if (first) {
            // STREAMINFO comes first and is 34 bytes: its rate, channels and depth start at byte 10.
            READ_OR_FAIL((kind & 0x7F) == 0 && length == 34);
            const std::uint64_t bits = ReadBE64(body.data() + 10);
            sampleRate = static_cast<std::uint32_t>(bits >> 44);
            channels = static_cast<std::uint8_t>(((bits >> 41) & 7) + 1);
            bitsPerSample = static_cast<std::uint8_t>(((bits >> 36) & 0x1F) + 1);
            first = false;
        }
        header.push_back(kind);
        header.push_back(static_cast<BYTE>(length >> 16));
        header.push_back(static_cast<BYTE>(length >> 8));
        header.push_back(static_cast<BYTE>(length));
        header.insert(header.end(), body.begin(), body.end());
        // Blocks after the last payload byte are not there: what was read stands.
        if (r.Remaining() == 0)
            break;
    }
    return true;
}

bool Mp4Dec3::Parse(std::span<const BYTE> payload)
{
    KByteReader r(payload);
    std::uint16_t rateWord = 0;
    std::uint8_t fscodByte = 0, modeByte = 0;
    READ_OR_FAIL(r.ReadBE2(&rateWord) && r.Read1(&fscodByte) && r.Read1(&modeByte));
    dataRateKbps = rateWord >> 3;
    fscod = fscodByte >> 6;
    acmod = (modeByte >> 1) & 7;
    lfeon = modeByte & 1;
    record.assign(payload.begin(), payload.end());
    return true;
}

bool Mp4AlacConfig::Parse(std::span<const BYTE> payload)
{
    KByteReader r(payload);
    std::span<const BYTE> config;
    READ_OR_FAIL(ReadFullHeader(r, 0) && r.ReadBytes(24, &config));
    KByteReader c(config);
    std::uint8_t compatible = 0, pb = 0, mb = 0, kb = 0;
    std::uint16_t maxRun = 0;
    READ_OR_FAIL(c.ReadBE4(&frameLength) && c.Read1(&compatible) && c.Read1(&bitDepth) && c.Read1(&pb) && c.Read1(&mb)
                 && c.Read1(&kb) && c.Read1(&channels) && c.ReadBE2(&maxRun) && c.ReadBE4(&maxFrameBytes)
                 && c.ReadBE4(&avgBitRate) && c.ReadBE4(&sampleRate));
    READ_OR_FAIL(channels > 0 && bitDepth > 0);
    cookie.assign(config.begin(), config.end());
    return true;
}

bool IsExtensionVideoEntry(std::uint32_t type)
{
    return type == Mp4Type("hvc1") || type == Mp4Type("hev1") || type == Mp4Type("av01") || type == Mp4Type("vp09");
}

bool IsExtensionSoundEntry(std::uint32_t type)
{
    return type == Mp4Type("Opus") || type == Mp4Type("fLaC") || type == Mp4Type("ec-3") || type == Mp4Type("alac");
}

bool IsExtensionRecord(std::uint32_t type, std::uint32_t parentType)
{
    switch (type) {
    case Mp4Type("hvcC"): case Mp4Type("av1C"): case Mp4Type("vpcC"): case Mp4Type("dOps"): case Mp4Type("dfLa"):
    case Mp4Type("dec3"):
        return true;
    case Mp4Type("alac"):
        return parentType == Mp4Type("alac");
    default:
        return false;
    }
}

namespace {

template <typename Record>
std::unique_ptr<Mp4Payload> Decode(std::span<const BYTE> payload)
{
    auto record = std::make_unique<Record>();
    return record->Parse(payload) ? std::move(record) : nullptr;
}

}  // namespace

std::unique_ptr<Mp4Payload> DecodeExtensionRecord(std::uint32_t type, std::span<const BYTE> payload)
{
    switch (type) {
    case Mp4Type("hvcC"): return Decode<Mp4HvcC>(payload);
    case Mp4Type("av1C"): return Decode<Mp4Av1C>(payload);
    case Mp4Type("vpcC"): return Decode<Mp4VpcC>(payload);
    case Mp4Type("dOps"): return Decode<Mp4DOps>(payload);
    case Mp4Type("dfLa"): return Decode<Mp4DfLa>(payload);
    case Mp4Type("dec3"): return Decode<Mp4Dec3>(payload);
    case Mp4Type("alac"): return Decode<Mp4AlacConfig>(payload);
    default: return nullptr;
    }
}

bool SetUpExtensionCodec(Mp4Track& track, const Mp4Box& entry)
{
    const std::uint32_t type = entry.type;
    if (track.type == Mp4TrackType::Video && IsExtensionVideoEntry(type)) {
        const auto* video = entry.Payload<Mp4VideoEntry>();
        if (!video)
            return false;
        if (const auto* hvcC = ChildRecord<Mp4HvcC>(entry, "hvcC"); hvcC && (type == Mp4Type("hvc1") || type == Mp4Type("hev1"))) {
            track.extension = Mp4Extension::Hevc;
            track.extraData = hvcC->record;
        } else if (const auto* av1C = ChildRecord<Mp4Av1C>(entry, "av1C"); av1C && type == Mp4Type("av01")) {
            track.extension = Mp4Extension::Av1;
            track.extraData = av1C->record;
        } else if (const auto* vpcC = ChildRecord<Mp4VpcC>(entry, "vpcC"); vpcC && type == Mp4Type("vp09")) {
            track.extension = Mp4Extension::Vp9;
            track.extraData = vpcC->record;
        } else {
            return false;
        }
        BITMAPINFOHEADER bitmap{};
        bitmap.biSize = sizeof bitmap;
        bitmap.biWidth = video->width ? video->width : track.width;
        bitmap.biHeight = video->height ? video->height : track.height;
        bitmap.biPlanes = 1;
        bitmap.biBitCount = 24;
        track.format.assign(sizeof bitmap, 0);
        PutRecord(track.format, 0, bitmap);
        return true;
    }
    if (track.type != Mp4TrackType::Audio || !IsExtensionSoundEntry(type))
        return false;
    WAVEFORMATEX wave{};
    wave.nChannels = track.sound.channels;
    wave.nSamplesPerSec = track.sound.rate;
    wave.nBlockAlign = 1;
    if (const auto* dOps = ChildRecord<Mp4DOps>(entry, "dOps"); dOps && type == Mp4Type("Opus")) {
        track.extension = Mp4Extension::Opus;
        track.extraData = dOps->head;
        wave.wFormatTag = 0x704F;
        wave.nChannels = dOps->channels;
        // Opus always decodes at 48 kHz; the input rate is only what the encoder was fed.
        wave.nSamplesPerSec = 48000;
    } else if (const auto* dfLa = ChildRecord<Mp4DfLa>(entry, "dfLa"); dfLa && type == Mp4Type("fLaC")) {
        track.extension = Mp4Extension::Flac;
        track.extraData = dfLa->header;
        wave.wFormatTag = 0xF1AC;
        wave.nChannels = dfLa->channels;
        wave.nSamplesPerSec = dfLa->sampleRate;
        wave.wBitsPerSample = dfLa->bitsPerSample;
    } else if (const auto* dec3 = ChildRecord<Mp4Dec3>(entry, "dec3"); dec3 && type == Mp4Type("ec-3")) {
        track.extension = Mp4Extension::Eac3;
        track.extraData = dec3->record;
        // No wave format tag names E-AC-3: the subtype does, and AC-3's tag stands beside it.
        wave.wFormatTag = 0x2000;
        if (kAc3Rates[dec3->fscod] != 0)
            wave.nSamplesPerSec = kAc3Rates[dec3->fscod];
        wave.nAvgBytesPerSec = dec3->dataRateKbps * 1000 / 8;
    } else if (const auto* alac = ChildRecord<Mp4AlacConfig>(entry, "alac"); alac && type == Mp4Type("alac")) {
        track.extension = Mp4Extension::Alac;
        track.extraData = alac->cookie;
        wave.wFormatTag = 0x6C61;
        wave.nChannels = alac->channels;
        wave.nSamplesPerSec = alac->sampleRate;
        wave.wBitsPerSample = alac->bitDepth;
        wave.nAvgBytesPerSec = alac->avgBitRate / 8;
    } else {
        return false;
    }
    wave.cbSize = static_cast<WORD>(std::min<std::size_t>(track.extraData.size(), 0xFFFF));
    track.extraData.resize(wave.cbSize);
    track.format.assign(sizeof wave, 0);
    PutRecord(track.format, 0, wave);
    AppendBytes(track.format, track.extraData);
    return true;
}

namespace {

std::vector<CMediaType> ExtensionVideoTypes(Mp4Track& track)
{
    auto bitmap = GetRecord<BITMAPINFOHEADER>(track.format.data(), 0);
    GUID subtype = MEDIASUBTYPE_HEVC;
    DWORD profile = 0, level = 0, flags = 0;
    switch (track.extension) {
    case Mp4Extension::Hevc:
        if (const auto* hvcC = ChildRecord<Mp4HvcC>(*track.sampleEntry, "hvcC")) {
            profile = hvcC->profile;
            level = hvcC->level;
            // As for AVC: the flags give the bytes of each NAL unit's length.
            flags = hvcC->lengthSize;
        }
        break;
    case Mp4Extension::Av1:
        subtype = MEDIASUBTYPE_AV01;
        if (const auto* av1C = ChildRecord<Mp4Av1C>(*track.sampleEntry, "av1C")) {
            profile = av1C->profile;
            level = av1C->level;
        }
        break;
    case Mp4Extension::Vp9:
        subtype = MEDIASUBTYPE_VP90;
        if (const auto* vpcC = ChildRecord<Mp4VpcC>(*track.sampleEntry, "vpcC")) {
            profile = vpcC->profile;
            level = vpcC->level;
        }
        break;
    default:
        return {};
    }
    bitmap.biCompression = subtype.Data1;
    FormatBytes block = Mpeg2VideoInfoBlock(bitmap, track.extraData, profile, level, flags);
    auto info = GetRecord<MPEG2VIDEOINFO>(block.data(), 0);
    info.hdr.rcSource = {0, 0, bitmap.biWidth, bitmap.biHeight};
    info.hdr.rcTarget = info.hdr.rcSource;
    if (track.sampleCount > 0 && track.timeScale > 0)
        info.hdr.AvgTimePerFrame = Mp4TicksToTime(static_cast<std::int64_t>(std::min<std::uint64_t>(track.duration, INT64_MAX)),
                                                  track.timeScale) / track.sampleCount;
    // Square pixels unless "pasp" says otherwise; the tkhd matrix may stretch the picture too.
    if (const auto* pasp = ChildRecord<Mp4Pasp>(*track.sampleEntry, "pasp"); pasp && pasp->verticalSpacing != 0) {
        track.pixelAspect = static_cast<float>(pasp->horizontalSpacing) / static_cast<float>(pasp->verticalSpacing);
        if (bitmap.biHeight != 0)
            track.displayAspect = static_cast<float>(bitmap.biWidth) / static_cast<float>(bitmap.biHeight) * track.pixelAspect;
    }
    Mp4AspectRatio(track.displayAspect, bitmap.biWidth, bitmap.biHeight, &info.hdr.dwPictAspectRatioX, &info.hdr.dwPictAspectRatioY);
    std::memcpy(block.data(), &info, kMpeg2VideoInfoHeaderSize);
    CMediaType base(&MEDIATYPE_Video);
    base.SetSampleSize(1);
    return {MakeMediaType(base, subtype, FORMAT_MPEG2Video, block)};
}

}  // namespace

std::vector<CMediaType> ExtensionMediaTypes(Mp4Track& track)
{
    if (track.format.empty() || !track.sampleEntry)
        return {};
    if (track.type == Mp4TrackType::Video)
        return ExtensionVideoTypes(track);
    GUID subtype = GUID_NULL;
    switch (track.extension) {
    case Mp4Extension::Opus: subtype = MEDIASUBTYPE_Opus; break;
    case Mp4Extension::Flac: subtype = MEDIASUBTYPE_Flac; break;
    case Mp4Extension::Eac3: subtype = MEDIASUBTYPE_DolbyDigitalPlus; break;
    case Mp4Extension::Alac: subtype = MEDIASUBTYPE_Alac; break;
    default: return {};
    }
    CMediaType base(&MEDIATYPE_Audio);
    base.SetSampleSize(1);
    return {MakeMediaType(base, subtype, FORMAT_WaveFormatEx, track.format)};
}
