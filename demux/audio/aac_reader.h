// KAacReader: finds the ADTS frames of a raw AAC file (ID3v2 tags or an ADIF header in front),
// estimates the duration and cuts the file into frame payloads with running times.
#pragma once

#include <memory>
#include <span>

#include "io/cache_file.h"
#include "platform/platform.h"

struct KAdtsHeader {
    DWORD syncword = 0;
    DWORD id = 0;
    DWORD layer = 0;
    DWORD protectionAbsent = 0;
    DWORD profile = 0;
    DWORD samplingFrequencyIndex = 0;
    DWORD channelConfiguration = 0;
    DWORD frameLength = 0;  // header included
    DWORD bufferFullness = 0;
    DWORD rawDataBlocks = 0;
};

class KAacReader {
public:
    static constexpr int kEnd = 1;
    static constexpr DWORD kHeaderSize = 7;

    BOOL Open(LPCWSTR path);
    // Decodes a header; its sample-rate index is tested as the current header's when the record
    // is a scratch one (the current header keeps the stream's rate).
    BOOL ParseAdts(const BYTE bytes[7], KAdtsHeader& header) const;
    BOOL FindSync();
    BOOL Resync();
    // The next frame's payload size (header removed) and times; kEnd when no frame follows.
    int ReadFrame(DWORD& size, REFERENCE_TIME& start, REFERENCE_TIME& stop);
    // The current frame's payload; false when the file ends inside it.
    bool CopyFrame(BYTE* destination);
    BOOL SeekTo(REFERENCE_TIME time);

    // WAVEFORMATEX (18 bytes) followed by the AudioSpecificConfig.
    std::span<const BYTE> FormatBlock() const { return {m_format, sizeof(WAVEFORMATEX) + m_formatHeader.cbSize}; }
    const WAVEFORMATEX& Format() const { return m_formatHeader; }
    REFERENCE_TIME Duration() const { return m_duration; }
    LONGLONG DataStart() const { return m_dataStart; }
    const KAdtsHeader& CurrentHeader() const { return m_header; }

private:
    DWORD ReadBytes(BYTE* buffer, DWORD count) { return m_file->Read(buffer, count); }
    void EstimateAdifDuration(LONGLONG headerPosition);
    DWORD CountFrames();

    std::unique_ptr<KCacheFile> m_file;
    LONGLONG m_fileSize = 0;
    LONGLONG m_dataStart = 0;
    LONGLONG m_dataLength = 0;
    BYTE m_headerBytes[7] = {};
    KAdtsHeader m_header;
    DWORD m_payloadSize = 0;
    REFERENCE_TIME m_runningStart = 0;
    REFERENCE_TIME m_runningStop = 0;
    REFERENCE_TIME m_duration = 0;
    WAVEFORMATEX m_formatHeader{};
    BYTE m_format[sizeof(WAVEFORMATEX) + 5] = {};
};
