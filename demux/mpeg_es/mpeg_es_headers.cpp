#include "demux/mpeg_es/mpeg_es_headers.h"

#include <array>
#include <cmath>
#include <numeric>

#include "io/byte_reader.h"
#include "io/mpeg_bit.h"
#include "io/start_code.h"

namespace {

// A bit reader that knows whether a read ran past the payload (such a header is cut short).
class EsBits {
public:
    explicit EsBits(EsBytes bytes) : bits_(bytes.data(), static_cast<std::uint32_t>(bytes.size())), size_(bytes.size()) {}
    DWORD Get(unsigned n)
    {
        used_ += n;
        return static_cast<DWORD>(bits_.GetBits(n));
    }
    void SkipBytes(size_t n) { used_ += 8 * n, bits_.SetBitPos(static_cast<std::int32_t>(std::min(used_, 8 * size_)), 0); }
    bool Overran() const { return used_ > 8 * size_; }
    size_t BytesUsed() const { return (used_ + 7) / 8; }

private:
    CMpegBit bits_;
    size_t size_;
    size_t used_ = 0;
};

constexpr size_t kNone = kNoStartCode;

// The offset of the next 00 00 01 id at or after from, or kNone.
size_t FindStartCode(EsBytes bytes, size_t from, BYTE id)
{
    return FindStartCodeIn(bytes, from, [id](BYTE found) { return found == id; });
}

// Pel aspect ratios of MPEG-1 video by aspect code (height / width of a pel).
constexpr std::array<double, 16> kPelAspect = {1.0,    1.0,    0.6735, 0.7031, 0.7615, 0.8055, 0.8437, 0.8935,
                                               0.9157, 0.9815, 1.0255, 1.0695, 1.0950, 1.1575, 1.2015, 1.0};

// Frame periods in 27 MHz ticks by frame rate code.
constexpr std::array<DWORD, 16> kFramePeriod = {0, 1126125, 1125000, 1080000, 900900, 900000, 540000, 450450, 450000};

}  // namespace

std::optional<MpegVideoSequence> ParseMpegVideoSequence(EsBytes payload)
{
    const size_t start = FindStartCode(payload, 0, 0xB3);
    if (start == kNone)
        return std::nullopt;
    EsBits bits(payload.subspan(start + 4));
    MpegVideoSequence seq;
    seq.width = bits.Get(12);
    seq.height = bits.Get(12);
    const DWORD aspectCode = bits.Get(4);
    const DWORD rateCode = bits.Get(4);
    seq.bitRate = bits.Get(18);
    if (bits.Get(1) != 1)
        return std::nullopt;
    bits.Get(10);  // VBV buffer size
    bits.Get(1);   // constrained parameters
    if (bits.Get(1))
        bits.SkipBytes(64);  // intra quantiser matrix (it starts mid-byte: 512 bits either way)
    if (bits.Get(1))
        bits.SkipBytes(64);
    if (bits.Overran())
        return std::nullopt;
    const size_t headerLength = 4 + bits.BytesUsed();
    seq.sequenceBytes.assign(payload.begin() + start, payload.begin() + start + headerLength);
    DWORD period = kFramePeriod[rateCode];

    const size_t afterHeader = start + headerLength;
    const size_t extension = FindStartCode(payload.first(std::min(payload.size(), afterHeader + 8 + 4)), afterHeader, 0xB5);
    if (extension != kNone && extension < afterHeader + 8) {
        EsBits ext(payload.subspan(extension + 4));
        ext.Get(4);  // extension id
        ext.Get(1);  // profile-and-level escape
        seq.profile = ext.Get(3);
        seq.level = ext.Get(4);
        ext.Get(1);  // progressive
        ext.Get(2);  // chroma format
        seq.width |= ext.Get(2) << 12;
        seq.height |= ext.Get(2) << 12;
        seq.bitRate |= ext.Get(12) << 18;
        if (ext.Get(1) != 1)
            return std::nullopt;
        ext.Get(8);  // VBV extension
        ext.Get(1);  // low delay
        const DWORD n = ext.Get(2);
        const DWORD d = ext.Get(5);
        if (ext.Overran())
            return std::nullopt;
        period = period * (d + 1) / (n + 1);
        seq.mpeg2 = true;
        const size_t extensionLength = 4 + ext.BytesUsed();
        seq.sequenceBytes.insert(seq.sequenceBytes.end(), payload.begin() + extension,
                                 payload.begin() + extension + extensionLength);
        switch (aspectCode) {
        case 2: seq.aspectX = 4, seq.aspectY = 3; break;
        case 3: seq.aspectX = 16, seq.aspectY = 9; break;
        case 4: seq.aspectX = 221, seq.aspectY = 100; break;
        default: seq.aspectX = seq.width, seq.aspectY = seq.height; break;
        }
    } else {
        seq.aspectX = static_cast<DWORD>(std::lround(seq.width / kPelAspect[aspectCode]));
        seq.aspectY = seq.height;
    }
    seq.bitRate *= 400;
    seq.frameDuration = static_cast<DWORD>(static_cast<std::uint32_t>(period * 10) / 27);
    if (const DWORD divisor = std::gcd(seq.aspectX, seq.aspectY); divisor > 1) {
        seq.aspectX /= divisor;
        seq.aspectY /= divisor;
    }
    return seq;
}

std::optional<AvcParameterSets> ParseAvcParameterSets(EsBytes payload)
{
    EsBytes sps, pps;
    ForEachAnnexBUnit(payload, [&](EsBytes nal) {
        const bool reference = (nal[0] & 0x60) != 0;
        if (reference && (nal[0] & 0x9F) == 7 && sps.empty())
            sps = nal;
        else if (reference && (nal[0] & 0x9F) == 8 && pps.empty())
            pps = nal;
    });
    if (sps.empty() || pps.empty())
        return std::nullopt;
    CAvcRead reader(sps);
    reader.SkipBits(8);
    AvcSpsInfo info{};
    reader.ParseSPS(&info);
    AvcParameterSets sets;
    sets.picture = AvcPictureFormatFromSps(info);
    sets.block = AvcParameterSetBlock(sps, pps);
    if (sets.block.empty() || sets.picture.width <= 0 || sets.picture.height <= 0
        || sets.picture.width > kLargestPictureSide || sets.picture.height > kLargestPictureSide)
        return std::nullopt;
    return sets;
}

std::optional<Vc1Sequence> ParseVc1Sequence(EsBytes payload)
{
    if (payload.size() < 4 || ReadBE32(payload.data()) != 0x0000010F)
        return std::nullopt;
    EsBits bits(payload.subspan(4));
    if (bits.Get(2) != 3)
        return std::nullopt;  // only the advanced profile carries a sequence header
    bits.Get(3);  // level
    bits.Get(2);  // colour difference format
    bits.Get(3);  // frame rate quantiser
    bits.Get(5);  // bit rate quantiser
    bits.Get(1);  // post-processing
    Vc1Sequence seq;
    seq.codedWidth = bits.Get(12) * 2 + 2;
    seq.codedHeight = bits.Get(12) * 2 + 2;
    bits.Get(4);  // pulldown, interlace, frame counter, frame interpolation
    bits.Get(1);  // reserved
    bits.Get(1);  // progressive segmented frames
    if (bits.Get(1)) {
        bits.Get(14);  // display width - 1
        bits.Get(14);  // display height - 1
        if (bits.Get(1) && bits.Get(4) == 15)
            bits.Get(16);  // explicit aspect horizontal and vertical sizes
        if (bits.Get(1)) {
            if (bits.Get(1)) {
                seq.frameDuration = 320000000LL / (static_cast<LONGLONG>(bits.Get(16)) + 1);
            } else {
                constexpr std::array<LONGLONG, 8> kNumerators = {0, 24, 25, 30, 50, 60, 0, 0};
                const DWORD nr = bits.Get(8);
                const DWORD dr = bits.Get(4);
                const LONGLONG numerator = nr < kNumerators.size() ? kNumerators[nr] : 0;
                const LONGLONG denominator = dr == 1 ? 1000 : dr == 2 ? 1001 : 0;
                if (numerator && denominator)
                    seq.frameDuration = 10000000LL * denominator / (numerator * 1000);
            }
        }
    }
    if (bits.Overran())
        return std::nullopt;
    const size_t next = FindStartCodeIn(payload, 4, [](BYTE id) { return id != 0x0E; });
    const size_t end = next == kNone ? payload.size() : next;
    seq.header.assign(payload.begin(), payload.begin() + end);
    return seq;
}

std::optional<MpegAudioHeader> ParseMpegAudioHeader(EsBytes payload)
{
    constexpr DWORD kBitRates[2][3][16] = {
        {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
         {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
         {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0}},
        {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0}}};
    constexpr DWORD kRates[4][3] = {{11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};
    for (size_t i = 0; i + 4 <= payload.size(); ++i) {
        if (payload[i] != 0xFF || (payload[i + 1] & 0xF0) != 0xF0)
            continue;
        EsBits bits(payload.subspan(i));
        bits.Get(11);
        MpegAudioHeader header;
        header.version = bits.Get(2);
        const DWORD layerCode = bits.Get(2);
        header.protection = bits.Get(1);
        const DWORD bitRateIndex = bits.Get(4);
        const DWORD rateIndex = bits.Get(2);
        header.padding = bits.Get(1);
        header.privateBit = bits.Get(1);
        header.mode = bits.Get(2);
        header.modeExtension = bits.Get(2);
        header.copyright = bits.Get(1);
        header.original = bits.Get(1);
        header.emphasis = bits.Get(2);
        if (header.version == 1 || layerCode == 0 || rateIndex == 3 || bitRateIndex == 15 || header.emphasis == 2)
            return std::nullopt;
        header.layer = 4 - layerCode;
        header.bitRate = kBitRates[header.version == 3 ? 0 : 1][header.layer - 1][bitRateIndex] * 1000;
        header.sampleRate = kRates[header.version][rateIndex];
        return header;
    }
    return std::nullopt;
}

DWORD AdtsSampleRate(DWORD samplingIndex)
{
    constexpr std::array<DWORD, 13> kRates = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                              22050, 16000, 12000, 11025, 8000,  7350};
    return samplingIndex < kRates.size() ? kRates[samplingIndex] : 0;
}

std::optional<AdtsHeader> ParseAdtsHeader(EsBytes payload, DWORD samplingIndexLimit)
{
    for (size_t i = 0; i + 7 <= payload.size(); ++i) {
        if (payload[i] != 0xFF || (payload[i + 1] & 0xF0) != 0xF0)
            continue;
        EsBits bits(payload.subspan(i));
        bits.Get(12);
        bits.Get(1);  // ID
        if (bits.Get(2) != 0)
            return std::nullopt;
        AdtsHeader header;
        header.protectionAbsent = bits.Get(1);
        header.profile = bits.Get(2);
        header.samplingIndex = bits.Get(4);
        if (header.samplingIndex >= samplingIndexLimit)
            return std::nullopt;
        bits.Get(1);  // private
        header.channelConfiguration = bits.Get(3);
        bits.Get(4);  // original, home, two identification bits
        header.frameLength = bits.Get(13);
        return header;
    }
    return std::nullopt;
}

std::optional<Ac3Header> ParseAc3Header(EsBytes payload)
{
    for (size_t i = 0; i + 7 <= payload.size(); ++i) {
        if (payload[i] != 0x0B || payload[i + 1] != 0x77)
            continue;
        EsBits bits(payload.subspan(i + 4));  // after the sync word and CRC
        Ac3Header header;
        header.fscod = bits.Get(2);
        header.frmsizecod = bits.Get(6);
        header.bsid = bits.Get(5);
        bits.Get(3);  // bsmod
        header.acmod = bits.Get(3);
        if ((header.acmod & 1) && header.acmod != 1)
            bits.Get(2);  // centre mix level
        if (header.acmod & 4)
            bits.Get(2);  // surround mix level
        if (header.acmod == 2)
            bits.Get(2);  // Dolby Surround mode
        header.lfeon = bits.Get(1);
        if (header.bsid >= 12 || header.fscod == 3 || header.frmsizecod > 37)
            return std::nullopt;
        return header;
    }
    return std::nullopt;
}

DWORD Ac3SampleRate(const Ac3Header& header)
{
    constexpr DWORD kRates[3] = {48000, 44100, 32000};
    const DWORD rate = kRates[header.fscod % 3];
    switch (header.bsid) {
    case 9: return rate / 2;
    case 10: return rate / 4;
    case 11: return rate / 8;
    default: return rate;
    }
}

DWORD Ac3BytesPerSecond(const Ac3Header& header)
{
    constexpr std::array<DWORD, 19> kKbits = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 448, 512, 576, 640};
    return kKbits[std::min<size_t>(header.frmsizecod / 2, kKbits.size() - 1)] * 1000 / 8;
}

DWORD Ac3Channels(const Ac3Header& header)
{
    constexpr DWORD kChannels[8] = {2, 1, 2, 3, 3, 4, 4, 5};
    return kChannels[header.acmod & 7] + header.lfeon;
}

std::optional<Eac3Header> ParseEac3Header(EsBytes payload)
{
    for (size_t i = 0; i + 6 <= payload.size(); ++i) {
        if (payload[i] != 0x0B || payload[i + 1] != 0x77)
            continue;
        EsBits bits(payload.subspan(i + 2));
        const DWORD streamType = bits.Get(2);
        bits.Get(3);  // substreamid
        const DWORD frameWords = bits.Get(11) + 1;
        const DWORD fscod = bits.Get(2);
        const DWORD fscod2OrBlocks = bits.Get(2);
        const DWORD acmod = bits.Get(3);
        const DWORD lfeon = bits.Get(1);
        const DWORD bsid = bits.Get(5);
        // A dependent substream (type 1) only extends the frame before it.
        if (bsid <= 10 || bsid > 16 || streamType == 1 || streamType == 3 || (fscod == 3 && fscod2OrBlocks == 3))
            return std::nullopt;
        constexpr DWORD kRates[3] = {48000, 44100, 32000};
        constexpr DWORD kBlocks[4] = {1, 2, 3, 6};
        constexpr DWORD kChannels[8] = {2, 1, 2, 3, 3, 4, 4, 5};
        Eac3Header header;
        // fscod 3: a half rate, and always six blocks.
        header.sampleRate = fscod == 3 ? kRates[fscod2OrBlocks] / 2 : kRates[fscod];
        header.samplesPerFrame = 256 * (fscod == 3 ? 6 : kBlocks[fscod2OrBlocks]);
        header.channels = kChannels[acmod] + lfeon;
        header.frameSize = 2 * frameWords;
        return header;
    }
    return std::nullopt;
}

std::optional<DtsHeader> ParseDtsHeader(EsBytes payload)
{
    for (size_t i = 0; i + 10 <= payload.size(); ++i) {
        if (ReadBE32(payload.data() + i) != 0x7FFE8001)
            continue;
        EsBits bits(payload.subspan(i + 4));
        bits.Get(1);  // frame type
        bits.Get(5);  // deficit samples
        bits.Get(1);  // CRC present
        bits.Get(7);  // PCM sample blocks
        DtsHeader header;
        header.frameSize = bits.Get(14) + 1;
        header.amode = bits.Get(6);
        header.sfreq = bits.Get(4);
        header.rate = bits.Get(5);
        return header;
    }
    return std::nullopt;
}

DWORD DtsSampleRate(DWORD sfreq)
{
    constexpr std::array<DWORD, 16> kRates = {0, 8000, 16000, 32000, 0, 0, 11025, 22050, 44100, 0, 0, 12000, 24000, 48000, 0, 0};
    return kRates[sfreq & 15];
}

DWORD DtsBitRate(DWORD rate)
{
    constexpr std::array<DWORD, 32> kRates = {32000,   56000,   64000,   96000,   112000,  128000,  192000,  224000,
                                              256000,  320000,  384000,  448000,  512000,  576000,  640000,  754500,
                                              960000,  1024000, 1152000, 1280000, 1344000, 1408000, 1411200, 1472000,
                                              1509750, 1920000, 2048000, 3072000, 3840000, 0,       0,       0};
    return kRates[rate & 31];
}

DWORD DtsChannels(DWORD amode)
{
    constexpr std::array<DWORD, 16> kChannels = {1, 2, 2, 2, 2, 3, 3, 4, 4, 5, 6, 6, 6, 7, 8, 8};
    return amode < kChannels.size() ? kChannels[amode] : 0;
}

std::optional<LpcmHeader> ParseLpcmHeader(EsBytes header)
{
    if (header.size() < 3)
        return std::nullopt;
    EsBits bits(header);
    bits.Get(2);  // emphasis, mute
    const DWORD reserved1 = bits.Get(1);
    bits.Get(5);  // frame number
    bits.Get(2);  // quantisation
    LpcmHeader lpcm;
    lpcm.samplingIndex = bits.Get(2);
    const DWORD reserved2 = bits.Get(1);
    const DWORD channelField = bits.Get(3);
    if (channelField > 2 || reserved1 || reserved2)
        return std::nullopt;
    lpcm.channels = channelField + 1;
    return lpcm;
}

DWORD LpcmSampleRate(DWORD samplingIndex)
{
    constexpr DWORD kRates[4] = {48000, 96000, 44100, 32000};
    return kRates[samplingIndex & 3];
}
