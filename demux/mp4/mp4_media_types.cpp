#include "demux/mp4/mp4_media_types.h"

#include <algorithm>
#include <cmath>

#include "demux/mp4/mp4_codec_boxes.h"
#include "framework/format_blocks.h"
#include "io/bit_reader.h"
#include "io/byte_reader.h"

namespace {

using namespace mp4_codec;

constexpr std::uint32_t kMsAdpcm = Mp4MsType(0x0002);
constexpr std::uint32_t kMsImaAdpcm = Mp4MsType(0x0011);
constexpr std::uint32_t kMsMp3 = Mp4MsType(0x0055);

bool IsIma4Like(std::uint32_t type) { return type == Mp4Type("ima4") || type == kMsAdpcm || type == kMsImaAdpcm; }

std::uint8_t AudioCodeOf(std::uint32_t type)
{
    struct Row {
        std::uint32_t type;
        std::uint8_t code;
    };
    static constexpr Row kRows[] = {
        {Mp4Type("mp4a"), kAac},     {Mp4Type(".mp3"), kMp3},    {kMsMp3, kMp3},          {Mp4Type("ac-3"), kAc3},
        {Mp4Type("alaw"), kAlaw},    {Mp4Type("ulaw"), kUlaw},   {Mp4Type("Qclp"), kQcelp}, {Mp4Type("samr"), kAmr},
        {Mp4Type("raw "), kRawAudio}, {Mp4Type("NONE"), kRawAudio}, {Mp4Type("twos"), kTwos}, {Mp4Type("sowt"), kSowt},
        {Mp4Type("MAC3"), kMace3},   {Mp4Type("MAC6"), kMace6},  {Mp4Type("ima4"), kIma4}, {kMsAdpcm, kIma4},
        {kMsImaAdpcm, kIma4},        {Mp4Type("in24"), kIn24},   {Mp4Type("QDMC"), kQdmc}, {Mp4Type("QDM2"), kQdm2},
    };
    for (const Row& row : kRows)
        if (row.type == type)
            return row.code;
    return 0;
}

std::uint8_t VideoCodeOf(std::uint32_t type)
{
    struct Row {
        std::uint32_t type;
        std::uint8_t code;
    };
    static constexpr Row kRows[] = {
        {Mp4Type("cvid"), kCinepak}, {Mp4Type("jpeg"), kJpeg},   {Mp4Type("rle "), kRle},      {Mp4Type("rpza"), kRpza},
        {Mp4Type("mjpa"), kMjpegA},  {Mp4Type("dmb1"), kMjpegA}, {Mp4Type("SVQ1"), kSvq1},     {Mp4Type("SVQ3"), kSvq3},
        {Mp4Type("mp4v"), kMpeg4VisualQt}, {Mp4Type("dvc "), kDv}, {Mp4Type("raw "), kRawVideo}, {Mp4Type("NONE"), kRawVideo},
        {Mp4Type("h264"), kH264},    {Mp4Type("h263"), kH263},   {Mp4Type("s263"), kH263},     {Mp4Type("avc1"), kAvc1},
        {Mp4Type("IV41"), kIndeo41},
    };
    for (const Row& row : kRows)
        if (row.type == type)
            return row.code;
    return 0;
}

// QuickTime sound entries whose read units the entry itself does not describe.
void AdjustSoundEntry(Mp4Track& track, std::uint32_t type)
{
    Mp4SoundEntry& sound = track.sound;
    const auto packets = [&sound](std::uint32_t samples, std::uint32_t bytes, std::uint32_t frameBytes) {
        sound.version = 1;
        sound.samplesPerPacket = samples;
        sound.bytesPerPacket = bytes;
        sound.bytesPerSample = 2;
        sound.bytesPerFrame = frameBytes * sound.channels;
    };
    if (sound.version == 0) {
        if (type == Mp4Type("MAC3"))
            packets(6, 2, 2);
        else if (type == Mp4Type("MAC6"))
            packets(12, 2, 2);
        else if (IsIma4Like(type))
            packets(64, 34, 34);
        else if (type == Mp4Type("raw ") || type == Mp4Type("NONE") || type == Mp4Type("twos") || type == Mp4Type("sowt"))
            track.constantSize = (sound.sampleSize + 7u) / 8u * sound.channels;
        else if (type == Mp4Type("alaw") || type == Mp4Type("ulaw")) {
            sound.sampleSize = 8;
            track.constantSize = sound.channels;
        }
    } else if (sound.version == 1 && IsIma4Like(type) && sound.bytesPerFrame == 0) {
        // As ffmpeg writes ima4: every 34-byte packet of the chunk is one unit of 64 samples.
        packets(sound.samplesPerPacket ? sound.samplesPerPacket : 64, 34, 34);
    }
    if (sound.version == 1 && sound.samplesPerPacket == 0)
        sound.version = 0;
    if (type == Mp4Type("ac-3") || ((type == Mp4Type(".mp3") || type == kMsMp3) && track.constantSize > 1))
        sound.version = 0;
}

// The codec of an MPEG-4 decoder config, by its object type indication.
std::uint8_t CodeOfObjectType(std::uint8_t objectType, std::uint8_t current, bool audio)
{
    switch (objectType) {
    case 32: return kMpeg4VisualQt;
    case 64: case 102: case 103: case 104: return kAac;
    case 96: case 97: case 98: case 99: case 100: case 101: return 97;
    case 225: return audio ? kQcelp : current;
    default: return objectType;
    }
}

const Mp4Box* Child(const Mp4Box& entry, std::uint32_t type)
{
    for (const auto& child : entry.children)
        if (child->type == type)
            return child.get();
    return nullptr;
}

// The nominal AC-3 bit rates, kbit/s, by the bit-rate code of "dac3".
constexpr std::uint32_t kAc3BitRates[] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 448, 512, 576, 640};

void BuildAudioFormat(Mp4Track& track, const Mp4Box& entry)
{
    const Mp4SoundEntry& sound = track.sound;
    WAVEFORMATEX wave{};
    wave.wFormatTag = 1;
    wave.nChannels = sound.channels;
    wave.nSamplesPerSec = sound.rate;
    wave.wBitsPerSample = sound.sampleSize;
    wave.nAvgBytesPerSec = static_cast<DWORD>(static_cast<std::uint64_t>(sound.sampleSize) * sound.channels * sound.rate / 8);
    // Both counts are the file's 16-bit words: their product is taken wide, and kept to a WORD.
    wave.nBlockAlign = static_cast<WORD>(std::min<std::uint32_t>(static_cast<std::uint32_t>(sound.channels) * sound.sampleSize / 8, 0xFFFF));
    track.blockAlign = wave.nBlockAlign;
    if (Child(entry, Mp4Type("d723"))) {
        wave = WAVEFORMATEX{0x42, 1, 8000, 800, 24, 8, 0};
        track.blockAlign = 24;
    }
    if (track.codec == kAlaw || track.codec == kUlaw) {
        wave.wFormatTag = 7;
        wave.wBitsPerSample = 8;
        wave.nAvgBytesPerSec = wave.nSamplesPerSec * wave.nChannels;
        wave.nBlockAlign = 1;
        track.blockAlign = 1;
    } else if (track.codec == kIma4 || track.codec == kQcelp) {
        wave.nBlockAlign = static_cast<WORD>(sound.bytesPerFrame);
        track.blockAlign = sound.bytesPerFrame;
    } else if (track.codec == kAmr) {
        wave.nSamplesPerSec = 8000;
    } else if (track.codec == kAc3) {
        if (const Mp4Box* dac3Box = Child(entry, Mp4Type("dac3")); dac3Box && dac3Box->Payload<Mp4Dac3>()) {
            const std::uint8_t code = dac3Box->Payload<Mp4Dac3>()->bitRateCode;
            wave.nChannels = 0;
            wave.wBitsPerSample = 0;
            wave.nAvgBytesPerSec = code < std::size(kAc3BitRates) ? 1000 * kAc3BitRates[code] : 0;
        }
    } else if (track.codec == kSowt) {
        track.blockAlign = 1;
    }
    wave.cbSize = static_cast<WORD>(std::min<std::size_t>(track.extraData.size(), 0xFFFF));
    track.format.assign(sizeof wave, 0);
    PutRecord(track.format, 0, wave);
    AppendBytes(track.format, track.extraData);
}

void BuildVideoFormat(Mp4Track& track, const Mp4VideoEntry& video)
{
    BITMAPINFOHEADER bitmap{};
    bitmap.biSize = static_cast<DWORD>(sizeof bitmap + track.extraData.size());
    bitmap.biWidth = static_cast<std::int16_t>(video.width);
    bitmap.biHeight = static_cast<std::int16_t>(video.height);
    if (bitmap.biWidth == 0)
        bitmap.biWidth = track.width;
    if (bitmap.biHeight == 0)
        bitmap.biHeight = track.height;
    bitmap.biPlanes = 1;
    bitmap.biBitCount = video.depth;
    track.format.assign(sizeof bitmap, 0);
    PutRecord(track.format, 0, bitmap);
    AppendBytes(track.format, track.extraData);
}

}  // namespace

bool SetUpMp4Codec(Mp4Track& track)
{
    const std::uint32_t description = track.chunks.empty() ? 0 : track.chunks[0].descriptionIndex;
    if (description == 0)
        return false;
    const Mp4Box* entry = FindBox(*track.stsd, IndexedPath("", description - 1));
    if (!entry || !entry->data)
        return false;
    track.sampleEntry = entry;
    const std::uint32_t type = entry->type;
    const bool audio = track.type == Mp4TrackType::Audio;
    const auto* sound = entry->Payload<Mp4SoundEntry>();
    const auto* video = entry->Payload<Mp4VideoEntry>();
    if ((audio && !sound) || (!audio && !video))
        return false;
    if (audio) {
        track.sound = *sound;
        AdjustSoundEntry(track, type);
        track.codec = AudioCodeOf(type);
        if (track.codec == kRawAudio) {
            // 8-bit "raw " samples are kept as they are: single bytes of offset binary, which a
            // swap of byte pairs would exchange. Only 16-bit ones are big-endian pairs.
            track.swap16 = track.sound.sampleSize == 16;
            if (track.sound.rate != track.timeScale) {
                if (track.sound.rate == 0)
                    track.sound.rate = static_cast<std::uint16_t>(track.timeScale);
                else
                    track.timeScale = track.sound.rate;
            }
        } else if (track.codec == kTwos) {
            // 8-bit "twos" samples are kept unswapped too: one signed byte each, no pair to swap.
            track.swap16 = track.sound.sampleSize == 16;
        } else if (track.codec == kIn24) {
            track.sound.sampleSize = 24;
        }
    } else {
        track.codec = VideoCodeOf(type);
        track.flipRaw = track.codec == kRawVideo;
    }
    // Only read as sample entries with extensions on.
    if (IsExtensionVideoEntry(type) || IsExtensionSoundEntry(type))
        return SetUpExtensionCodec(track, *entry);

    const Mp4Box* esdsBox = Child(*entry, Mp4Type("esds"));
    if (!esdsBox)
        if (const Mp4Box* wave = Child(*entry, Mp4Type("wave")))
            esdsBox = Child(*wave, Mp4Type("esds"));
    const Mp4Esds* esds = esdsBox ? esdsBox->Payload<Mp4Esds>() : nullptr;
    const Mp4Box* record = nullptr;
    if (esds && esds->hasDecoderConfig) {
        track.codec = CodeOfObjectType(esds->objectType, track.codec, audio);
        track.maxBitRate = esds->maxBitRate;
        track.avgBitRate = esds->avgBitRate;
        track.extraData = esds->decoderSpecificInfo;
    } else if ((record = Child(*entry, Mp4Type("dqcp"))) || (record = Child(*entry, Mp4Type("d723")))
               || (record = Child(*entry, Mp4Type("devc")))) {
        track.codec = record->type == Mp4Type("dqcp") ? kQcelp : record->type == Mp4Type("d723") ? kG723 : kEvrc;
        if (const auto* decoded = record->Payload<Mp4DecoderRecord>())
            track.extraData.assign(decoded->record.begin(), decoded->record.end());
    } else if (const Mp4Box* avcC = Child(*entry, Mp4Type("avcC")); avcC && avcC->Payload<Mp4AvcC>()) {
        track.codec = kAvc1;
        track.extraData = avcC->Payload<Mp4AvcC>()->bytes;
    } else if (IsIma4Like(type) || type == Mp4Type("QDM2")) {
        // A 9-byte record naming the entry type at bytes 4 to 7.
        track.extraData.assign(9, 0);
        for (int i = 0; i < 4; ++i)
            track.extraData[static_cast<std::size_t>(4 + i)] = static_cast<BYTE>(type >> (24 - 8 * i));
        if (IsIma4Like(type))
            track.codec = kIma4;
        else
            AppendBytes(track.extraData, entry->extra);
    } else if (type == Mp4Type("QDMC") || type == Mp4Type("samr") || type == Mp4Type("ZyGo") || type == Mp4Type("3IV1")
               || type == Mp4Type("SVQ1") || type == Mp4Type("VP31") || type == Mp4Type("SVQ3")) {
        track.extraData = entry->extra;
    }

    if (audio)
        BuildAudioFormat(track, *entry);
    else
        BuildVideoFormat(track, *video);
    return true;
}

// ---- Media types ------------------------------------------------------------------------------

bool Mpeg4VisualSize(std::span<const BYTE> config, int* width, int* height)
{
    for (std::size_t i = 0; i + 4 <= config.size(); ++i) {
        if (config[i] != 0 || config[i + 1] != 0 || config[i + 2] != 1 || config[i + 3] < 0x20 || config[i + 3] > 0x2F)
            continue;
        CBitReader bits;
        bits.Load(config.subspan(i + 4));
        bits.SkipBits(1 + 8);  // random_accessible_vol, video_object_type_indication
        int verid = 1;
        if (bits.GetBits(1)) {  // is_object_layer_identifier
            verid = static_cast<int>(bits.GetBits(4));
            bits.SkipBits(3);
        }
        if (bits.GetBits(4) == 15)  // aspect_ratio_info: extended PAR
            bits.SkipBits(16);
        if (bits.GetBits(1)) {  // vol_control_parameters
            bits.SkipBits(3);
            if (bits.GetBits(1))  // vbv_parameters
                bits.SkipBits(15 + 1 + 15 + 1 + 15 + 1 + 3 + 11 + 1 + 15 + 1);
        }
        const std::uint32_t shape = bits.GetBits(2);
        if (shape == 3 && verid != 1)
            bits.SkipBits(4);
        bits.SkipBits(1);
        const std::uint32_t resolution = bits.GetBits(16);
        bits.SkipBits(1);
        if (bits.GetBits(1)) {  // fixed_vop_rate
            int length = 1;
            while (length < 16 && (1u << length) < resolution)
                ++length;
            bits.SkipBits(static_cast<std::uint32_t>(length));
        }
        if (shape != 0 || bits.BitsLeft() < 1 + 13 + 1 + 13)
            return false;
        bits.SkipBits(1);
        *width = static_cast<int>(bits.GetBits(13));
        bits.SkipBits(1);
        *height = static_cast<int>(bits.GetBits(13));
        return true;
    }
    return false;
}

void Mp4AspectRatio(float displayAspect, LONG width, LONG height, DWORD* x, DWORD* y)
{
    *x = 0;
    *y = 0;
    if (height == 0 || displayAspect == static_cast<float>(width) / static_cast<float>(height))
        return;
    struct Range {
        float from, to;
        DWORD x, y;
    };
    static constexpr Range kRanges[] = {
        {1.23f, 1.27f, 5, 4},  {1.30f, 1.37f, 4, 3},  {1.45f, 1.55f, 3, 2},  {1.55f, 1.65f, 16, 10},
        {1.74f, 1.82f, 16, 9}, {1.82f, 1.88f, 1, 1},  {2.15f, 2.22f, 2, 1},  {2.23f, 2.30f, 2, 1},
        {2.30f, 2.37f, 2, 1},  {2.37f, 2.45f, 2, 1},
    };
    for (const Range& range : kRanges)
        if (displayAspect >= range.from && displayAspect < range.to) {
            *x = range.x;
            *y = range.y;
            return;
        }
}

namespace {

std::vector<CMediaType> AudioTypes(const Mp4Track& track)
{
    CMediaType base(&MEDIATYPE_Audio);
    base.SetSampleSize(1);
    FormatBytes block = track.format;
    GUID subtype = GUID_NULL;
    const auto setTag = [&block](WORD tag) { PutRecord(block, 0, tag); };
    switch (track.codec) {
    case kAac: case 102: case 103: case 104: setTag(0x00FF); subtype = FourccGuid(0x00FF); break;
    case kMp3: case kMp3Alt: setTag(0x0055); subtype = FourccGuid(0x0055); break;
    case kAc3: subtype = MEDIASUBTYPE_DolbyAc3; break;
    case 166: subtype = MEDIASUBTYPE_DolbyDigitalPlus; break;
    case kUlaw: subtype = FourccGuid(7); base.SetVariableSize(); break;
    case kG723: subtype = FourccGuid(0x42); break;
    case kQcelp: subtype = MEDIASUBTYPE_Qcelp; break;
    case kEvrc: subtype = MEDIASUBTYPE_Evrc; break;
    case kAmr: subtype = FourccGuid(0x00FE); break;
    case kRawAudio: case kTwos: case kSowt: subtype = FourccGuid(1); base.SetSampleSize(16); break;
    case kIn24: subtype = FourccGuid(1); base.SetSampleSize(24); break;
    case kIma4: setTag(0); subtype = FourccGuid(MakeFourcc('i', 'm', 'a', '4')); break;
    default: return {};
    }
    return {MakeMediaType(base, subtype, FORMAT_WaveFormatEx, block)};
}

REFERENCE_TIME FrameTime(const Mp4Track& track)
{
    if (track.sampleCount == 0 || track.timeScale == 0)
        return 0;
    const double total = static_cast<double>(Mp4TicksToTime(static_cast<std::int64_t>(std::min<std::uint64_t>(track.duration, INT64_MAX)), track.timeScale));
    return static_cast<REFERENCE_TIME>(total / static_cast<double>(track.sampleCount));
}

// MPEG2VIDEOINFO of an "avcC": the parameter sets behind their lengths, within the record's size.
FormatBytes AvcVideoInfo(const Mp4Track& track, const BITMAPINFOHEADER& trackBitmap)
{
    const std::vector<BYTE>& avcC = track.extraData;
    FormatBytes block(sizeof(MPEG2VIDEOINFO) + avcC.size(), 0);
    MPEG2VIDEOINFO info{};
    info.hdr.bmiHeader = trackBitmap;
    info.hdr.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.hdr.bmiHeader.biCompression = MakeFourcc('A', 'V', 'C', '1');
    info.hdr.AvgTimePerFrame = FrameTime(track);
    if (avcC.size() > 4) {
        info.dwProfile = avcC[1];
        info.dwLevel = avcC[3];
        info.dwFlags = (avcC[4] & 3u) + 1;
    }
    std::size_t written = 0;
    KByteReader reader(avcC);
    if (reader.Skip(5)) {
        for (int group = 0; group < 2; ++group) {
            std::uint8_t count = 0;
            if (!reader.Read1(&count))
                break;
            for (int i = 0; i < (count & 31); ++i) {
                std::uint16_t length = 0;
                std::span<const BYTE> unit;
                if (!reader.ReadBE2(&length) || !reader.ReadBytes(length, &unit) || written + 2 + length > avcC.size())
                    break;
                block[kMpeg2VideoInfoHeaderSize + written] = static_cast<BYTE>(length >> 8);
                block[kMpeg2VideoInfoHeaderSize + written + 1] = static_cast<BYTE>(length);
                std::copy(unit.begin(), unit.end(), block.begin() + static_cast<std::ptrdiff_t>(kMpeg2VideoInfoHeaderSize + written + 2));
                written += 2 + length;
            }
        }
    }
    info.cbSequenceHeader = static_cast<DWORD>(written);
    std::memcpy(block.data(), &info, kMpeg2VideoInfoHeaderSize);
    return block;
}

std::vector<CMediaType> VideoTypes(Mp4Track& track)
{
    CMediaType base(&MEDIATYPE_Video);
    base.SetSampleSize(1);
    auto bitmap = GetRecord<BITMAPINFOHEADER>(track.format.data(), 0);
    const std::span<const BYTE> extra(track.extraData);
    DWORD compression = 0;
    GUID subtype = GUID_NULL;
    bool temporal = false;
    switch (track.codec) {
    case kMpeg4Visual: case kMpeg4VisualQt: compression = MakeFourcc('m', 'p', '4', 'v'); subtype = FourccGuid(MakeFourcc('m', 'p', '4', 'v')); break;
    case kH264: compression = MakeFourcc('h', '2', '6', '4'); subtype = FourccGuid(MakeFourcc('H', '2', '6', '4')); break;
    case kH263: compression = MakeFourcc('h', '2', '6', '3'); subtype = FourccGuid(MakeFourcc('h', '2', '6', '3')); break;
    case kCinepak: compression = MakeFourcc('c', 'v', 'i', 'd'); subtype = FourccGuid(compression); break;
    case kJpeg: compression = MakeFourcc('j', 'p', 'e', 'g'); subtype = FourccGuid(compression); break;
    case kMjpegA: case kMjpegB: compression = MakeFourcc('m', 'j', 'p', 'g'); subtype = FourccGuid(compression); break;
    case kRle: compression = MakeFourcc('r', 'l', 'e', ' '); subtype = FourccGuid(MakeFourcc('R', 'L', 'E', ' ')); temporal = true; break;
    case kRpza: compression = MakeFourcc('r', 'p', 'z', 'a'); subtype = FourccGuid(compression); temporal = true; break;
    case kSvq1: compression = MakeFourcc('S', 'V', 'Q', '1'); subtype = FourccGuid(compression); temporal = true; break;
    case kSvq3: compression = MakeFourcc('S', 'V', 'Q', '3'); subtype = FourccGuid(compression); temporal = true; break;
    case kIndeo41: compression = MakeFourcc('I', 'V', '4', '1'); subtype = FourccGuid(compression); temporal = true; break;
    case kAvc1: break;
    case kRawVideo: break;
    default: return {};
    }
    if (temporal) {
        base.SetVariableSize();
        base.SetTemporalCompression(TRUE);
    }
    std::vector<CMediaType> types;
    if (track.codec == kAvc1) {
        types.push_back(MakeMediaType(base, FourccGuid(MakeFourcc('A', 'V', 'C', '1')), FORMAT_MPEG2Video, AvcVideoInfo(track, bitmap)));
    } else {
        VIDEOINFOHEADER info{};
        info.AvgTimePerFrame = FrameTime(track);
        if (track.codec == kRawVideo) {
            const std::int64_t area = static_cast<std::int64_t>(bitmap.biWidth) * bitmap.biHeight;
            const auto bits = static_cast<WORD>(area > 0 ? track.constantSize / area * 8 : 0);
            bitmap.biBitCount = bits;
            bitmap.biSizeImage = static_cast<DWORD>(bits / 8 * area);
            info.rcSource = {0, 0, bitmap.biWidth, bitmap.biHeight};
            info.rcTarget = info.rcSource;
            base.SetSampleSize(track.constantSize);
            switch (bits) {
            case 1: subtype = MEDIASUBTYPE_RGB1; break;
            case 4: subtype = MEDIASUBTYPE_RGB4; break;
            case 8: subtype = MEDIASUBTYPE_RGB8; break;
            case 16: subtype = MEDIASUBTYPE_RGB555; break;
            case 24: subtype = MEDIASUBTYPE_RGB24; break;
            case 32: subtype = MEDIASUBTYPE_RGB32; break;
            default: break;
            }
        } else {
            bitmap.biCompression = compression;
        }
        if (track.codec == kMpeg4Visual || track.codec == kMpeg4VisualQt) {
            info.dwBitRate = track.avgBitRate;
            int width = 0, height = 0;
            if (Mpeg4VisualSize(extra, &width, &height) && width > 0 && height > 0) {
                bitmap.biWidth = width;
                bitmap.biHeight = height;
            }
        }
        FormatBytes block = VideoInfoBlock(bitmap, extra);
        std::memcpy(block.data(), &info, kVideoInfoHeaderSize);
        types.push_back(MakeMediaType(base, subtype, FORMAT_VideoInfo, block));
    }

    // Pixel aspect from "pasp" decides the picture aspect of every type.
    if (const Mp4Box* pasp = Child(*track.sampleEntry, Mp4Type("pasp")); pasp && pasp->Payload<Mp4Pasp>()
                                                                             && pasp->Payload<Mp4Pasp>()->verticalSpacing != 0) {
        const auto* spacing = pasp->Payload<Mp4Pasp>();
        track.pixelAspect = static_cast<float>(spacing->horizontalSpacing) / static_cast<float>(spacing->verticalSpacing);
        if (bitmap.biHeight != 0)
            track.displayAspect = static_cast<float>(bitmap.biWidth) / static_cast<float>(bitmap.biHeight) * track.pixelAspect;
    }
    DWORD aspectX = 0, aspectY = 0;
    Mp4AspectRatio(track.displayAspect, bitmap.biWidth, bitmap.biHeight, &aspectX, &aspectY);
    for (std::size_t i = 0; i < types.size(); ++i) {
        if (*types[i].FormatType() == FORMAT_VideoInfo) {
            types.insert(types.begin() + static_cast<std::ptrdiff_t>(i), ToVideoInfo2(types[i], aspectX, aspectY));
            ++i;
        } else if (*types[i].FormatType() == FORMAT_MPEG2Video && types[i].FormatLength() >= kMpeg2VideoInfoHeaderSize) {
            auto info = GetRecord<MPEG2VIDEOINFO>(types[i].Format(), 0);
            info.hdr.dwPictAspectRatioX = aspectX;
            info.hdr.dwPictAspectRatioY = aspectY;
            std::memcpy(types[i].Format(), &info, kMpeg2VideoInfoHeaderSize);
        }
    }
    return types;
}

}  // namespace

std::vector<CMediaType> BuildMp4MediaTypes(Mp4Track& track)
{
    if (track.format.empty() || !track.sampleEntry)
        return {};
    if (track.extension != Mp4Extension::None)
        return ExtensionMediaTypes(track);
    return track.type == Mp4TrackType::Audio ? AudioTypes(track) : VideoTypes(track);
}
