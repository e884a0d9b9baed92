#include "demux/audio/mp3_reader.h"

#include <algorithm>
#include <cstring>

#include "io/byte_reader.h"
#include "io/sync_scan.h"

namespace {

constexpr DWORD kSampleRates[9] = {44100, 48000, 32000, 22050, 24000, 16000, 11025, 12000, 8000};

// kbit/s by [table row][layer - 1][bitrate index]; index 0 (free format) and 15 are refused.
constexpr DWORD kBitrates[2][3][15] = {
    {
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
    },
    {
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
    },
};

// 1152 samples (MPEG-1) or 576 samples (MPEG-2, 2.5) in 100 ns units.
constexpr LONGLONG kFrameTimeNumerator = 11520000000LL;

}  // namespace

KMp3Reader::KMp3Reader() = default;

BOOL KMp3Reader::ParseHeader(const BYTE b[4], KMp3Header& header)
{
    if (b[0] != 0xFF || (b[1] & 0xE0) != 0xE0)
        return FALSE;
    // Version bits 01 (reserved) together with layer bits 00 (reserved).
    if (((b[1] >> 1) & 0x0F) == 0x4)
        return FALSE;
    KMp3Header h;
    h.bitrateIndex = b[2] >> 4;
    h.protection = b[1] & 1;
    h.layer = 4 - ((b[1] >> 1) & 3);
    h.row = ((b[1] >> 3) & 3) == 3 ? 0 : 1;
    h.mpeg25 = (b[1] & 0x10) == 0 ? 1 : 0;
    h.padding = (b[2] >> 1) & 1;
    h.sampleRateIndex = ((b[2] >> 2) & 3) + (h.mpeg25 ? 6 : 3 * h.row);
    h.channelMode = b[3] >> 6;
    h.channels = h.channelMode == 3 ? 1 : 2;
    if (h.bitrateIndex == 0 || h.bitrateIndex == 15)
        return FALSE;
    if (h.sampleRateIndex >= 9)
        return FALSE;
    if (h.layer < 1 || h.layer > 3)
        return FALSE;
    h.sampleRate = kSampleRates[h.sampleRateIndex];
    const DWORD bitrate = kBitrates[h.row][h.layer - 1][h.bitrateIndex];
    switch (h.layer) {
    case 1:
        h.frameSize = (bitrate * 12000 / h.sampleRate + h.padding) * 4;
        break;
    case 2:
        h.frameSize = bitrate * 144000 / h.sampleRate + h.padding;
        break;
    default:
        h.frameSize = ((bitrate * 144000) >> h.row) / h.sampleRate + h.padding;
        m_layer3Row = h.row;
        break;
    }
    header = h;
    return TRUE;
}

BOOL KMp3Reader::FindSync()
{
    // Eleven sync bits and a bitrate index other than 15.
    return SeekToSync<3>(*m_file, [](const BYTE* b) { return (b[1] & 0xE0) == 0xE0 && (b[2] & 0xF0) != 0xF0; });
}

BOOL KMp3Reader::Resync()
{
    for (;;) {
        const LONGLONG p = m_file->Tell();
        BYTE b[4];
        if (ReadBytes(b, 4) < 4)
            return FALSE;
        if (b[0] == 'I' && b[1] == 'D' && b[2] == '3') {
            // Tag: version minor and flags, then a 28-bit synchsafe size.
            m_file->Seek(p + 6);
            BYTE size[4];
            if (ReadBytes(size, 4) < 4)
                return FALSE;
            LONGLONG tagSize = (LONGLONG(size[0] & 0x7F) << 21) | (LONGLONG(size[1] & 0x7F) << 14)
                | (LONGLONG(size[2] & 0x7F) << 7) | LONGLONG(size[3] & 0x7F);
            m_file->Seek(p + 10 + tagSize);
            continue;
        }
        KMp3Header first;
        if (ParseHeader(b, first)) {
            m_file->Seek(p + first.frameSize);
            BYTE next[4];
            KMp3Header second;
            if (ReadBytes(next, 4) == 4 && first.frameSize > 0 && ParseHeader(next, second)) {
                // Parsing the second header recorded its row; the first is the current one.
                ParseHeader(b, first);
                std::memcpy(m_headerBytes, b, 4);
                m_header = first;
                m_file->Seek(p);
                return TRUE;
            }
        }
        m_file->Seek(p + 1);
        if (!FindSync())
            return FALSE;
    }
}

BOOL KMp3Reader::Open(LPCWSTR path)
{
    auto file = std::make_unique<KCacheFile>(2048);
    if (!file->Open(path))
        return FALSE;
    m_file = std::move(file);
    m_fileSize = m_file->GetSize();
    if (!Resync() || m_header.layer != 3) {
        m_file.reset();
        return FALSE;
    }
    m_firstFrame = m_file->Tell();

    const KMp3Header& first = m_header;
    m_channels = first.channels;
    m_sampleRate = first.sampleRate;
    m_bitrate = kBitrates[first.row][2][first.bitrateIndex];
    m_frameSize = first.frameSize;
    m_row = first.row;
    m_version = first.mpeg25 ? 2 : first.row;
    m_bits = 8 * m_channels;

    m_format = WAVEFORMATEX{WAVE_FORMAT_MPEGLAYER3, static_cast<WORD>(m_channels), m_sampleRate, 0, 4,
                            static_cast<WORD>(m_bits), 0};

    ReadVbrHeader();
    m_frameDuration = kFrameTimeNumerator / (static_cast<LONGLONG>(m_sampleRate) << m_row);
    m_duration = m_sampleRate ? static_cast<REFERENCE_TIME>(m_frames) * m_frameDuration : 0;
    m_file->EnlargeWindow(KCacheFile::kPlaybackCapacity);
    m_file->Seek(m_firstFrame);
    return TRUE;
}

void KMp3Reader::ReadVbrHeader()
{
    // A Xing header (or "Info", lame's name for it in a constant-rate file) follows the first
    // frame's side information, whose size the version and channel mode give: 32 or 17 bytes
    // for MPEG-1 (stereo or mono), 17 or 9 for MPEG-2 and 2.5. lame writes it there even in a
    // frame whose header announces a CRC. A VBRI header always stands 36 bytes in.
    const bool mono = m_channels == 1;
    const LONGLONG xingOffset = 4 + (m_row == 0 ? (mono ? 17 : 32) : (mono ? 9 : 17));
    m_file->Seek(m_firstFrame + xingOffset);
    BYTE tag[4] = {};
    ReadBytes(tag, 4);
    if (std::memcmp(tag, "Xing", 4) != 0 && std::memcmp(tag, "Info", 4) != 0) {
        m_file->Seek(m_firstFrame + 36);
        ReadBytes(tag, 4);
    }
    BYTE word[4];
    auto read32 = [&](DWORD& out) {
        if (ReadBytes(word, 4) != 4)
            return false;
        out = ReadBE32(word);
        return true;
    };
    if (std::memcmp(tag, "Xing", 4) == 0 || std::memcmp(tag, "Info", 4) == 0) {
        m_vbrKind = VbrKind::Xing;
        DWORD flags = 0;
        read32(flags);
        DWORD frames = 0;
        if (flags & 1)
            read32(frames);
        if (flags & 2)
            read32(m_vbrBytes);
        if (flags & 4) {
            BYTE toc[100];
            if (ReadBytes(toc, 100) == 100)
                m_toc.assign(toc, toc + 100);
        }
        if (flags & 8) {
            DWORD quality = 0;
            read32(quality);
        }
        m_frames = frames;
        return;
    }
    if (std::memcmp(tag, "VBRI", 4) == 0) {
        m_vbrKind = VbrKind::Vbri;
        BYTE header[22];
        if (ReadBytes(header, 22) != 22)
            return;
        KByteReader reader(header);
        std::uint16_t version, delay, quality, entries, scale, entrySize, framesPerEntry;
        std::uint32_t bytes, frames;
        reader.ReadBE2(&version);
        reader.ReadBE2(&delay);
        reader.ReadBE2(&quality);
        reader.ReadBE4(&bytes);
        reader.ReadBE4(&frames);
        reader.ReadBE2(&entries);
        reader.ReadBE2(&scale);
        reader.ReadBE2(&entrySize);
        reader.ReadBE2(&framesPerEntry);
        m_frames = frames;
        m_vbrBytes = bytes;
        m_vbrScale = scale;
        m_framesPerEntry = framesPerEntry;
        if (entrySize == 0 || entrySize > 4)
            return;
        std::vector<BYTE> table(static_cast<size_t>(entries) * entrySize);
        if (ReadBytes(table.data(), static_cast<DWORD>(table.size())) != table.size())
            return;
        m_toc.resize(entries);
        for (size_t i = 0; i < entries; ++i) {
            DWORD value = 0;
            for (size_t k = 0; k < entrySize; ++k)
                value = (value << 8) | table[i * entrySize + k];
            m_toc[i] = value;
        }
        return;
    }
    m_endPosition = FindEndPosition();
    m_frames = m_frameSize ? static_cast<DWORD>(std::max<LONGLONG>(0, m_endPosition - m_firstFrame) / m_frameSize) : 0;
}

// The end of the last frame: the first header from the back whose frame ends within the file.
// Scanned in blocks so a long tail without headers costs one pass over it, not a refill a byte.
LONGLONG KMp3Reader::FindEndPosition()
{
    constexpr LONGLONG kBlock = 65536;
    std::vector<BYTE> block(kBlock + 3);
    LONGLONG candidate = m_fileSize - 5;
    KMp3Header header;
    const KMp3Header kept = m_header;
    LONGLONG end = 0;
    while (candidate >= 0 && end == 0) {
        // The block covers candidates [low, candidate] and the three bytes after the last.
        LONGLONG low = std::max<LONGLONG>(0, candidate - kBlock + 1);
        DWORD length = static_cast<DWORD>(candidate - low + 4);
        m_file->Seek(low);
        if (ReadBytes(block.data(), length) != length)
            break;
        for (LONGLONG at = candidate; at >= low; --at) {
            const BYTE* bytes = &block[static_cast<size_t>(at - low)];
            if (bytes[0] == 0xFF && ParseHeader(bytes, header) && at + header.frameSize <= m_fileSize) {
                end = at + header.frameSize;
                break;
            }
        }
        candidate = low - 1;
    }
    m_header = kept;
    return end;
}

int KMp3Reader::ReadFrame(DWORD& size, REFERENCE_TIME& start, REFERENCE_TIME& stop)
{
    if (!m_file)
        return kEnd;
    BYTE b[4];
    if (ReadBytes(b, 4) < 4)
        return kEnd;
    KMp3Header header;
    while (!ParseHeader(b, header)) {
        m_file->Seek(m_file->Tell() - 3);
        if (!Resync())
            return kEnd;
        if (ReadBytes(b, 4) < 4)
            return kEnd;
    }
    if (header.sampleRate == 0)
        return kEnd;
    std::memcpy(m_headerBytes, b, 4);
    m_header = header;
    size = header.frameSize;
    start = m_runningStop;
    stop = start + kFrameTimeNumerator / (static_cast<LONGLONG>(header.sampleRate) << m_layer3Row);
    m_runningStart = start;
    m_runningStop = stop;
    return 0;
}

bool KMp3Reader::CopyFrame(BYTE* destination)
{
    std::memcpy(destination, m_headerBytes, 4);
    DWORD body = m_header.frameSize > 4 ? m_header.frameSize - 4 : 0;
    return ReadBytes(destination + 4, body) == body;
}

BOOL KMp3Reader::SeekTo(REFERENCE_TIME time)
{
    if (!m_file)
        return FALSE;
    m_runningStart = m_runningStop = time;
    // Positions are found for times in the file; a negative or absurd time is clamped first.
    const LONGLONG t = std::clamp<LONGLONG>(time, 0, 100000000000000LL);

    if (m_vbrKind == VbrKind::Xing && m_toc.size() == 100) {
        double percent = m_duration > 0 ? static_cast<double>(t) / static_cast<double>(m_duration) * 100.0 : 0.0;
        percent = std::clamp(percent, 0.0, 100.0);
        int i = std::min(static_cast<int>(percent), 99);
        double a = m_toc[static_cast<size_t>(i)];
        double b = i == 99 ? 256.0 : m_toc[static_cast<size_t>(i) + 1];
        double x = a + (b - a) * (percent - i);
        m_file->Seek(m_firstFrame + static_cast<LONGLONG>(x * m_vbrBytes / 256.0));
    } else if (m_vbrKind == VbrKind::Vbri && !m_toc.empty() && m_framesPerEntry > 0 && m_frameDuration > 0) {
        const ULONGLONG frame = static_cast<ULONGLONG>(t / m_frameDuration);
        const ULONGLONG entry = std::min<ULONGLONG>(frame / m_framesPerEntry, m_toc.size() - 1);
        LONGLONG offset = 0;
        for (ULONGLONG i = 0; i < entry; ++i)
            offset += static_cast<LONGLONG>(m_vbrScale) * m_toc[i];
        m_file->Seek(m_firstFrame + offset);
        if (FindSync()) {
            for (ULONGLONG step = frame % m_framesPerEntry; step > 0; --step) {
                const LONGLONG at = m_file->Tell();
                BYTE b[4];
                KMp3Header header;
                if (ReadBytes(b, 4) < 4 || !ParseHeader(b, header)) {
                    m_file->Seek(at);
                    break;
                }
                m_file->Seek(at + header.frameSize);
            }
        }
    } else {
        if (t == 0) {
            m_file->Seek(m_firstFrame);
            return TRUE;
        }
        const LONGLONG perFrame = kFrameTimeNumerator >> m_row;
        const LONGLONG frames = static_cast<LONGLONG>(m_sampleRate) * t / perFrame;
        m_file->Seek(m_firstFrame + frames * m_frameSize);
    }
    return Resync();
}
