// KMp3Reader: finds the frames of a bare MPEG audio Layer III file (ID3v2 tags in front, anything
// behind), reads its Xing or VBRI table, estimates the duration and cuts it into frames with
// running times.
#pragma once

#include <memory>
#include <span>
#include <vector>

#include "io/cache_file.h"
#include "platform/platform.h"

struct KMp3Header {
    DWORD bitrateIndex = 0;
    DWORD protection = 0;  // 1 = no CRC
    DWORD layer = 0;       // 1, 2 or 3
    DWORD row = 0;         // 0 for MPEG-1, 1 for MPEG-2 and 2.5
    DWORD mpeg25 = 0;
    DWORD padding = 0;
    DWORD sampleRateIndex = 0;
    DWORD channelMode = 0;
    DWORD channels = 0;
    DWORD sampleRate = 0;
    DWORD frameSize = 0;
};

class KMp3Reader {
public:
    enum class VbrKind { None = 0, Xing = 1, Vbri = 2 };
    static constexpr int kEnd = 1;

    KMp3Reader();

    BOOL Open(LPCWSTR path);
    // Validates and decodes one header; records the table row of Layer III headers.
    BOOL ParseHeader(const BYTE bytes[4], KMp3Header& header);
    // Scans forward for a sync pattern and positions the file at it.
    BOOL FindSync();
    // Skips ID3v2 tags and positions at the first of two consecutive valid headers.
    BOOL Resync();
    // The next frame's size and times; kEnd when there is no further frame.
    int ReadFrame(DWORD& size, REFERENCE_TIME& start, REFERENCE_TIME& stop);
    // The current header and the frame body after it; false when the file ends inside it.
    bool CopyFrame(BYTE* destination);
    BOOL SeekTo(REFERENCE_TIME time);

    const WAVEFORMATEX& Format() const { return m_format; }
    std::span<const BYTE> FormatBlock() const { return {reinterpret_cast<const BYTE*>(&m_format), sizeof m_format}; }
    REFERENCE_TIME Duration() const { return m_duration; }
    REFERENCE_TIME FrameDuration() const { return m_frameDuration; }
    LONGLONG FirstFramePosition() const { return m_firstFrame; }
    LONGLONG EndPosition() const { return m_endPosition; }
    VbrKind Vbr() const { return m_vbrKind; }
    DWORD FrameCount() const { return m_frames; }
    DWORD VersionCode() const { return m_version; }
    const KMp3Header& CurrentHeader() const { return m_header; }

private:
    void ReadVbrHeader();
    LONGLONG FindEndPosition();
    DWORD ReadBytes(BYTE* buffer, DWORD count) { return m_file->Read(buffer, count); }

    std::unique_ptr<KCacheFile> m_file;
    LONGLONG m_fileSize = 0;
    LONGLONG m_firstFrame = 0;
    LONGLONG m_endPosition = 0;

    BYTE m_headerBytes[4] = {};
    KMp3Header m_header;
    DWORD m_layer3Row = 0;

    DWORD m_channels = 0;
    DWORD m_sampleRate = 0;
    DWORD m_bitrate = 0;
    DWORD m_frameSize = 0;
    DWORD m_row = 0;
    DWORD m_version = 0;
    DWORD m_bits = 0;
    REFERENCE_TIME m_frameDuration = 0;

    VbrKind m_vbrKind = VbrKind::None;
    DWORD m_frames = 0;
    DWORD m_vbrBytes = 0;  // Xing byte count, or the VBRI scale factor
    DWORD m_vbrScale = 0;
    DWORD m_framesPerEntry = 0;
    std::vector<DWORD> m_toc;

    REFERENCE_TIME m_duration = 0;
    REFERENCE_TIME m_runningStart = 0;
    REFERENCE_TIME m_runningStop = 0;
    WAVEFORMATEX m_format{};
};
