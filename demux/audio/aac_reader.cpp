#include "demux/audio/aac_reader.h"

#include <algorithm>
#include <cstring>

#include "io/audio_config.h"
#include "io/sync_scan.h"

namespace {

constexpr DWORD kSampleRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                    22050, 16000, 12000, 11025, 8000,  7350};

LONGLONG SynchsafeSize(const BYTE bytes[4])
{
    return (LONGLONG(bytes[0] & 0x7F) << 21) | (LONGLONG(bytes[1] & 0x7F) << 14) | (LONGLONG(bytes[2] & 0x7F) << 7)
        | LONGLONG(bytes[3] & 0x7F);
}

bool LooksLikeSync(const BYTE bytes[2]) { return bytes[0] == 0xFF && (bytes[1] & 0xF0) == 0xF0; }

}  // namespace

BOOL KAacReader::ParseAdts(const BYTE b[7], KAdtsHeader& header) const
{
    KAdtsHeader h;
    h.syncword = (DWORD(b[0]) << 4) | (b[1] >> 4);
    h.id = (b[1] >> 3) & 1;
    h.layer = (b[1] >> 1) & 3;
    h.protectionAbsent = b[1] & 1;
    h.profile = b[2] >> 6;
    h.samplingFrequencyIndex = (b[2] >> 2) & 0x0F;
    h.channelConfiguration = ((b[2] & 1) << 2) | (b[3] >> 6);
    h.frameLength = (DWORD(b[3] & 3) << 11) | (DWORD(b[4]) << 3) | (b[5] >> 5);
    h.bufferFullness = (DWORD(b[5] & 0x1F) << 6) | (b[6] >> 2);
    h.rawDataBlocks = b[6] & 3;
    header = h;
    const DWORD index = &header == &m_header ? h.samplingFrequencyIndex : m_header.samplingFrequencyIndex;
    // A frame shorter than its own header would make the next frame start before this one.
    return LooksLikeSync(b) && h.layer == 0 && index < 12 && h.frameLength >= kHeaderSize;
}

BOOL KAacReader::FindSync()
{
    return SeekToSync<2>(*m_file, [](const BYTE* b) { return LooksLikeSync(b); });
}

BOOL KAacReader::Resync()
{
    for (;;) {
        const LONGLONG p = m_file->Tell();
        BYTE b[10];
        if (ReadBytes(b, 10) < 10)
            return FALSE;
        if (b[0] == 'I' && b[1] == 'D' && b[2] == '3') {
            m_file->Seek(p + 10 + SynchsafeSize(&b[6]));
            continue;
        }
        KAdtsHeader first;
        if (ParseAdts(b, first)) {
            m_file->Seek(p + first.frameLength);
            BYTE next[7];
            KAdtsHeader second;
            if (ReadBytes(next, 7) == 7 && ParseAdts(next, second)) {
                m_file->Seek(p);
                return TRUE;
            }
        }
        m_file->Seek(p + 1);
        if (!FindSync())
            return FALSE;
    }
}

BOOL KAacReader::Open(LPCWSTR path)
{
    auto file = std::make_unique<KCacheFile>(2048);
    if (!file->Open(path))
        return FALSE;
    m_file = std::move(file);
    m_fileSize = m_file->GetSize();

    // Frames are looked for only in steps of ten bytes after the tags.
    BYTE b[10];
    LONGLONG position = m_file->Tell();
    while (ReadBytes(b, 10) == 10) {
        if (b[0] == 'I' && b[1] == 'D' && b[2] == '3') {
            m_file->Seek(position + 10 + SynchsafeSize(&b[6]));
            position = m_file->Tell();
            continue;
        }
        if (std::memcmp(b, "ADIF", 4) == 0) {
            EstimateAdifDuration(position);
            m_file->Seek(position + 10);
        }
        if (LooksLikeSync(b)) {
            m_dataStart = position;
            m_dataLength = m_fileSize - m_dataStart;
            m_file->Seek(m_dataStart);
            if (ReadBytes(m_headerBytes, 7) < 7 || !ParseAdts(m_headerBytes, m_header))
                break;
            const DWORD channels = m_header.channelConfiguration < 7 ? m_header.channelConfiguration : 2;
            const DWORD rate = kSampleRates[m_header.samplingFrequencyIndex];
            m_formatHeader = WAVEFORMATEX{0xFF, static_cast<WORD>(channels), rate,
                                          static_cast<DWORD>((static_cast<ULONGLONG>(m_header.frameLength) * rate) / 2048),
                                          static_cast<WORD>(m_header.frameLength), 0, 0};
            m_formatHeader.cbSize = static_cast<WORD>(WriteAudioSpecificConfig(
                m_format + sizeof(WAVEFORMATEX), static_cast<int>(m_header.profile), rate, channels));
            std::memcpy(m_format, &m_formatHeader, sizeof(WAVEFORMATEX));
            // The count of frames below reads the whole file, and playback after it reads in
            // order: both through a large window.
            m_file->EnlargeWindow(KCacheFile::kPlaybackCapacity);
            if (m_duration == 0) {
                const float framesPerSecond = static_cast<float>(rate) / 1024.0f;
                m_duration = static_cast<REFERENCE_TIME>(static_cast<float>(CountFrames()) / framesPerSecond * 10000000.0f);
            }
            m_file->Seek(m_dataStart);
            return TRUE;
        }
        position = m_file->Tell();
    }
    m_file.reset();
    return FALSE;
}

// The ADIF header's 23-bit bitrate gives whole seconds; a bitrate of 0 gives no estimate.
void KAacReader::EstimateAdifDuration(LONGLONG headerPosition)
{
    BYTE header[17];
    m_file->Seek(headerPosition);
    if (ReadBytes(header, sizeof header) != sizeof header)
        return;
    const size_t at = (header[4] & 0x80) ? 13 : 4;  // a 72-bit copyright id comes first
    const DWORD bitrate = (DWORD(header[at] & 0x0F) << 19) | (DWORD(header[at + 1]) << 11)
        | (DWORD(header[at + 2]) << 3) | (header[at + 3] >> 5);
    if (bitrate == 0)
        return;
    const float seconds = static_cast<float>(m_fileSize) * 8.0f / static_cast<float>(bitrate) + 0.5f;
    m_duration = static_cast<REFERENCE_TIME>(static_cast<LONGLONG>(seconds)) * 10000000;
}

DWORD KAacReader::CountFrames()
{
    DWORD count = 0;
    m_file->Seek(m_dataStart);
    BYTE b[7];
    LONGLONG at = m_file->Tell();
    KAdtsHeader header;
    while (ReadBytes(b, 7) == 7) {
        if (ParseAdts(b, header)) {
            ++count;
            m_file->Seek(at + header.frameLength);
        } else {
            m_file->Seek(at + 1);
            if (!FindSync())
                break;
        }
        at = m_file->Tell();
    }
    return count;
}

int KAacReader::ReadFrame(DWORD& size, REFERENCE_TIME& start, REFERENCE_TIME& stop)
{
    if (!m_file)
        return kEnd;
    LONGLONG headerAt = m_file->Tell();
    if (ReadBytes(m_headerBytes, 7) < 7)
        return kEnd;
    for (;;) {
        while (!ParseAdts(m_headerBytes, m_header)) {
            m_file->Seek(headerAt + 1);
            if (!Resync())
                return kEnd;
            headerAt = m_file->Tell();
            if (ReadBytes(m_headerBytes, 7) < 7)
                return kEnd;
        }
        const LONGLONG payloadAt = headerAt + kHeaderSize;
        const LONGLONG payload = m_header.frameLength - kHeaderSize;
        if (m_fileSize - payloadAt < payload)
            return kEnd;
        // The frame is taken when the next one starts where it ends, or the file ends there.
        m_file->Seek(payloadAt + payload);
        BYTE next[7];
        KAdtsHeader following;
        if (ReadBytes(next, 7) == 7 && !ParseAdts(next, following)) {
            m_file->Seek(headerAt + 1);
            headerAt = headerAt + 1;
            if (ReadBytes(m_headerBytes, 7) < 7)
                return kEnd;
            continue;
        }
        m_payloadSize = static_cast<DWORD>(payload);
        size = m_payloadSize;
        m_file->Seek(payloadAt);
        // Frame times follow the reader's single-precision arithmetic.
        const float frameTime = 10000000.0f / (static_cast<float>(m_formatHeader.nSamplesPerSec) / 1024.0f);
        start = m_runningStop;
        stop = static_cast<REFERENCE_TIME>(static_cast<float>(start) + frameTime);
        m_runningStart = start;
        m_runningStop = stop;
        return 0;
    }
}

bool KAacReader::CopyFrame(BYTE* destination) { return ReadBytes(destination, m_payloadSize) == m_payloadSize; }

BOOL KAacReader::SeekTo(REFERENCE_TIME time)
{
    if (!m_file)
        return FALSE;
    m_file->Seek(m_dataStart);
    m_runningStart = m_runningStop = time;
    if (time == 0)
        return TRUE;
    if (m_duration <= 0) {
        m_file->Seek(m_fileSize);
        return FALSE;
    }
    const double fraction = static_cast<double>(std::max<LONGLONG>(time, 0)) / static_cast<double>(m_duration);
    m_file->Seek(m_dataStart + static_cast<LONGLONG>(fraction * static_cast<double>(m_dataLength)));
    return Resync();
}
