#include "demux/mpeg_es/mpeg_es_media_types.h"

#include "framework/format_blocks.h"
#include "io/audio_config.h"

namespace {

CMediaType AudioType(const GUID& subtype, const FormatBytes& block)
{
    return MakeMediaType(CMediaType(&MEDIATYPE_Audio), subtype, FORMAT_WaveFormatEx, block);
}

FormatBytes WaveBlock(const WAVEFORMATEX& wave)
{
    FormatBytes block(sizeof(WAVEFORMATEX));
    PutRecord(block, 0, wave);
    return block;
}

BITMAPINFOHEADER Bitmap(DWORD width, DWORD height, DWORD compression = 0)
{
    BITMAPINFOHEADER bitmap{};
    bitmap.biSize = sizeof(BITMAPINFOHEADER);
    bitmap.biWidth = static_cast<LONG>(width);
    bitmap.biHeight = static_cast<LONG>(height);
    bitmap.biCompression = compression;
    return bitmap;
}

}  // namespace

CMediaType MpegVideoMediaType(const MpegVideoSequence& seq)
{
    const CMediaType video(&MEDIATYPE_Video);
    if (seq.mpeg2) {
        FormatBytes block = Mpeg2VideoInfoBlock(Bitmap(seq.width, seq.height), seq.sequenceBytes, seq.profile, seq.level);
        PutRecord(block, offsetof(VIDEOINFOHEADER2, dwBitRate), seq.bitRate);
        PutRecord(block, offsetof(VIDEOINFOHEADER2, AvgTimePerFrame), static_cast<REFERENCE_TIME>(seq.frameDuration));
        PutRecord(block, offsetof(VIDEOINFOHEADER2, dwPictAspectRatioX), seq.aspectX);
        PutRecord(block, offsetof(VIDEOINFOHEADER2, dwPictAspectRatioY), seq.aspectY);
        return MakeMediaType(video, MEDIASUBTYPE_MPEG2_VIDEO, FORMAT_MPEG2Video, block);
    }
    BITMAPINFOHEADER bitmap = Bitmap(seq.width, seq.height);
    // The pel aspect travels as the ratio of the pixels-per-metre fields.
    bitmap.biXPelsPerMeter = static_cast<LONG>(seq.width * seq.aspectY);
    bitmap.biYPelsPerMeter = static_cast<LONG>(seq.height * seq.aspectX);
    FormatBytes block(offsetof(MPEG1VIDEOINFO, bSequenceHeader));
    PutRecord(block, kVideoInfoHeaderSize, bitmap);
    PutRecord(block, offsetof(VIDEOINFOHEADER, dwBitRate), seq.bitRate);
    PutRecord(block, offsetof(VIDEOINFOHEADER, AvgTimePerFrame), static_cast<REFERENCE_TIME>(seq.frameDuration));
    PutRecord(block, offsetof(MPEG1VIDEOINFO, cbSequenceHeader), static_cast<DWORD>(seq.sequenceBytes.size()));
    AppendBytes(block, seq.sequenceBytes);
    return MakeMediaType(video, MEDIASUBTYPE_Mpeg1Payload, FORMAT_VideoInfo, block);
}

CMediaType AvcMediaType(const AvcParameterSets& sets)
{
    const AvcPictureFormat& picture = sets.picture;
    BITMAPINFOHEADER bitmap = Bitmap(static_cast<DWORD>(picture.width), static_cast<DWORD>(picture.height),
                                     MakeFourcc('a', 'v', 'c', '1'));
    bitmap.biPlanes = 1;
    bitmap.biXPelsPerMeter = 1;
    bitmap.biYPelsPerMeter = 1;
    FormatBytes block = Mpeg2VideoInfoBlock(bitmap, sets.block, picture.profile, picture.level, 4);
    PutRecord(block, offsetof(VIDEOINFOHEADER2, AvgTimePerFrame), static_cast<REFERENCE_TIME>(picture.averageFrameDuration));
    PutRecord(block, offsetof(VIDEOINFOHEADER2, dwPictAspectRatioX), static_cast<DWORD>(picture.width));
    PutRecord(block, offsetof(VIDEOINFOHEADER2, dwPictAspectRatioY), static_cast<DWORD>(picture.height));
    return MakeMediaType(CMediaType(&MEDIATYPE_Video), FourccGuid(MakeFourcc('A', 'V', 'C', '1')), FORMAT_MPEG2Video, block);
}

CMediaType HevcMediaType(const HevcParameterSets& sets)
{
    BITMAPINFOHEADER bitmap = Bitmap(sets.width, sets.height, MakeFourcc('H', 'E', 'V', 'C'));
    bitmap.biPlanes = 1;
    bitmap.biBitCount = 24;
    FormatBytes block = Mpeg2VideoInfoBlock(bitmap, sets.configuration, sets.profile, sets.level, 4);
    const RECT picture{0, 0, static_cast<LONG>(sets.width), static_cast<LONG>(sets.height)};
    PutRecord(block, offsetof(VIDEOINFOHEADER2, rcSource), picture);
    PutRecord(block, offsetof(VIDEOINFOHEADER2, rcTarget), picture);
    PutRecord(block, offsetof(VIDEOINFOHEADER2, dwPictAspectRatioX), sets.width);
    PutRecord(block, offsetof(VIDEOINFOHEADER2, dwPictAspectRatioY), sets.height);
    return MakeMediaType(CMediaType(&MEDIATYPE_Video), MEDIASUBTYPE_HEVC, FORMAT_MPEG2Video, block);
}

CMediaType Vc1MediaType(const Vc1Sequence& seq)
{
    const DWORD wvc1 = MakeFourcc('W', 'V', 'C', '1');
    // One zero byte precedes the sequence header, as VC-1 decoders expect it.
    FormatBytes extra(1, 0);
    AppendBytes(extra, seq.header);
    FormatBytes block = VideoInfoBlock(Bitmap(seq.codedWidth, seq.codedHeight, wvc1), extra);
    const RECT picture{0, 0, static_cast<LONG>(seq.codedWidth), static_cast<LONG>(seq.codedHeight)};
    PutRecord(block, offsetof(VIDEOINFOHEADER, rcSource), picture);
    PutRecord(block, offsetof(VIDEOINFOHEADER, rcTarget), picture);
    PutRecord(block, offsetof(VIDEOINFOHEADER, AvgTimePerFrame), static_cast<REFERENCE_TIME>(seq.frameDuration));
    return MakeMediaType(CMediaType(&MEDIATYPE_Video), FourccGuid(wvc1), FORMAT_VideoInfo, block);
}

CMediaType MpegAudioMediaType(const MpegAudioHeader& header)
{
    WAVEFORMATEX wave{};
    wave.nChannels = header.mode == 3 ? 1 : 2;
    wave.nSamplesPerSec = header.sampleRate;
    wave.nAvgBytesPerSec = header.bitRate / 8;
    const DWORD rate = header.sampleRate ? header.sampleRate : 1;
    wave.nBlockAlign = static_cast<WORD>(header.layer == 1 ? (12 * header.bitRate / rate + header.padding) * 4
                                                           : 144 * header.bitRate / rate + header.padding);
    if (header.layer == 3) {
        wave.wFormatTag = WAVE_FORMAT_MPEGLAYER3;
        return AudioType(FourccGuid(wave.wFormatTag), WaveBlock(wave));
    }
    MPEG1WAVEFORMAT mpeg{};
    wave.wFormatTag = 0x50;
    wave.cbSize = sizeof(MPEG1WAVEFORMAT) - sizeof(WAVEFORMATEX);
    mpeg.wfx = wave;
    mpeg.fwHeadLayer = static_cast<WORD>(1u << (header.layer - 1));
    mpeg.dwHeadBitrate = header.bitRate;
    mpeg.fwHeadMode = static_cast<WORD>(1u << header.mode);
    mpeg.fwHeadModeExt = static_cast<WORD>(1u << header.modeExtension);
    mpeg.wHeadEmphasis = static_cast<WORD>(header.emphasis + 1);
    mpeg.fwHeadFlags = static_cast<WORD>((header.privateBit ? 1 : 0) | (header.copyright ? 2 : 0) | (header.original ? 4 : 0)
                                         | (header.protection == 0 ? 8 : 0) | (header.version == 3 ? 16 : 0));
    FormatBytes block(sizeof(MPEG1WAVEFORMAT));
    PutRecord(block, 0, mpeg);
    return AudioType(FourccGuid(0x50), block);
}

CMediaType AdtsMediaType(const AdtsHeader& header, bool zeroMeansStereo)
{
    WAVEFORMATEX wave{};
    wave.wFormatTag = 0xFF;
    const DWORD configuration = header.channelConfiguration;
    wave.nChannels = static_cast<WORD>(configuration > 6 || (zeroMeansStereo && configuration == 0) ? 2 : configuration);
    wave.nSamplesPerSec = AdtsSampleRate(header.samplingIndex);
    wave.nAvgBytesPerSec = header.frameLength * wave.nSamplesPerSec / 2048;
    wave.nBlockAlign = static_cast<WORD>(header.frameLength);
    wave.cbSize = 2;
    FormatBytes block = WaveBlock(wave);
    BYTE config[5] = {};
    WriteAudioSpecificConfig(config, static_cast<int>(header.profile), wave.nSamplesPerSec, wave.nChannels);
    AppendBytes(block, std::span<const BYTE>(config, 2));
    return AudioType(FourccGuid(0xFF), block);
}

CMediaType Ac3MediaType(const Ac3Header& header)
{
    WAVEFORMATEX wave{};
    wave.wFormatTag = 0x2000;
    wave.nChannels = static_cast<WORD>(Ac3Channels(header));
    wave.nSamplesPerSec = Ac3SampleRate(header);
    wave.nAvgBytesPerSec = Ac3BytesPerSecond(header);
    wave.nBlockAlign = static_cast<WORD>(static_cast<ULONGLONG>(wave.nAvgBytesPerSec) * 1536 / wave.nSamplesPerSec);
    return AudioType(MEDIASUBTYPE_DolbyAc3, WaveBlock(wave));
}

CMediaType Eac3MediaType(const Eac3Header& header)
{
    WAVEFORMATEX wave{};
    wave.wFormatTag = 0x2000;
    wave.nChannels = static_cast<WORD>(header.channels);
    wave.nSamplesPerSec = header.sampleRate;
    wave.nAvgBytesPerSec = static_cast<DWORD>(static_cast<ULONGLONG>(header.frameSize) * header.sampleRate / header.samplesPerFrame);
    wave.nBlockAlign = static_cast<WORD>(header.frameSize);
    return AudioType(MEDIASUBTYPE_DolbyDigitalPlus, WaveBlock(wave));
}

CMediaType DtsMediaType(const DtsHeader& header)
{
    WAVEFORMATEX wave{};
    wave.wFormatTag = 0x2001;
    wave.nChannels = static_cast<WORD>(DtsChannels(header.amode));
    wave.nSamplesPerSec = DtsSampleRate(header.sfreq);
    wave.nAvgBytesPerSec = DtsBitRate(header.rate) / 8;
    wave.nBlockAlign = static_cast<WORD>(header.frameSize);
    return AudioType(MEDIASUBTYPE_DtsAudio, WaveBlock(wave));
}

CMediaType LpcmMediaType(const LpcmHeader& header)
{
    WAVEFORMATEX wave{};
    wave.wFormatTag = 1;
    wave.nChannels = static_cast<WORD>(header.channels);
    wave.nSamplesPerSec = LpcmSampleRate(header.samplingIndex);
    wave.wBitsPerSample = 16;  // whatever the quantisation says
    wave.nBlockAlign = static_cast<WORD>(header.channels * 2);
    wave.nAvgBytesPerSec = wave.nBlockAlign * wave.nSamplesPerSec;
    return AudioType(MEDIASUBTYPE_DvdLpcmAudio, WaveBlock(wave));
}

CMediaType SubpictureMediaType(BYTE subStreamId)
{
    CMediaType type(&MEDIATYPE_Video);
    if (subStreamId >= 0x70 && subStreamId <= 0x7F)
        type.SetSubtype(&MEDIASUBTYPE_SubpictureKind2);
    else if (subStreamId <= 0x0F)
        type.SetSubtype(&MEDIASUBTYPE_SubpictureKind3);
    else
        type.SetSubtype(&MEDIASUBTYPE_DvdSubpicture);
    type.SetFormatType(&FORMAT_None);
    return type;
}
