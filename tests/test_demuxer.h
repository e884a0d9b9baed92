// A demuxer for the framework tests: its "file" is a script of packets on a few streams, so a
// test can drive the real filter, pins and threads with exactly the packets it wants.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "framework/demux_filter.h"
#include "io/packet.h"

namespace vmx::test {

struct ScriptStream {
    DWORD streamNumber;
    const char16_t* pinName;
    CMediaType type;
};

struct ScriptPacket {
    DWORD streamNumber;
    REFERENCE_TIME start;  // PACKET_NO_TIME for an untimed packet
    REFERENCE_TIME stop;
    size_t size;
    bool syncPoint = true;
    bool continuation = false;
};

struct Script {
    std::vector<ScriptStream> streams;
    std::vector<ScriptPacket> packets;
    REFERENCE_TIME duration = 0;
    // Index at which NextPacket reports a broken file; none when out of range.
    size_t failAt = static_cast<size_t>(-1);
};

// The bytes of packet i: position-dependent so that reordering or loss shows in a checksum.
inline BYTE PayloadByte(size_t packetIndex, size_t offset) { return static_cast<BYTE>(packetIndex * 131 + offset * 7 + 1); }

class CTestDemuxPin final : public CDemuxOutputPinT<KPacket> {
public:
    CTestDemuxPin(HRESULT* phr, CDemuxFilter* filter, const ScriptStream& stream)
        : CDemuxOutputPinT<KPacket>(u"Test pin", phr, filter, stream.pinName, stream.streamNumber, {stream.type})
    {
    }

    // Makes FillSample fail with the given code once this many samples were filled.
    std::atomic<int> failAfterSamples{-1};
    HRESULT failure = E_UNEXPECTED;
    std::atomic<int> samplesFilled{0};
    // Largest byte total and packet count the queue ever held, seen at each fill.
    std::atomic<ULONG> maxQueuedBytes{0};
    std::atomic<ULONG> maxQueuedPackets{0};

    // Delays the worker's start of play, so the reader runs ahead of a restarting worker.
    std::atomic<DWORD> startPlayDelayMs{0};

    HRESULT OnThreadStartPlay() override
    {
        if (DWORD delay = startPlayDelayMs)
            Sleep(delay);
        return CDemuxOutputPinT<KPacket>::OnThreadStartPlay();
    }

    HRESULT FillSample(IMediaSample*& sample) override
    {
        ULONG bytes = QueuedBytes(), count = QueuedCount();
        if (bytes > maxQueuedBytes)
            maxQueuedBytes = bytes;
        if (count > maxQueuedPackets)
            maxQueuedPackets = count;
        if (failAfterSamples >= 0 && samplesFilled >= failAfterSamples)
            return failure;
        HRESULT hr = CDemuxOutputPinT<KPacket>::FillSample(sample);
        if (hr == S_OK)
            ++samplesFilled;
        return hr;
    }
};

class CTestDemuxFilter final : public CDemuxFilterT<KPacket> {
public:
    CTestDemuxFilter(Script script, const KQueueLimits& limits = QueueLimits::Mkv)
        : CDemuxFilterT<KPacket>(u"Test demuxer", nullptr, GUID_NULL, nullptr, limits), m_script(std::move(script))
    {
    }

    CTestDemuxPin* TestPin(int n) { return static_cast<CTestDemuxPin*>(static_cast<CSourceStream*>(GetPin(n))); }

    std::atomic<int> repositions{0};
    std::atomic<size_t> packetsRead{0};
    // Called on the reader thread before each packet is handed out (to stall it in a test).
    std::function<void(size_t)> beforePacket;
    bool restartPinsWhenReaderStarts = true;
    DWORD readerStartDelayMs = 0;  // the reader thread sleeps this long before its first pass

protected:
    bool RestartsPinsWhenReaderStarts() const override { return restartPinsWhenReaderStarts; }
    HRESULT PrepareReader() override
    {
        if (DWORD delay = readerStartDelayMs)
            Sleep(delay);
        return S_OK;
    }

    HRESULT LoadFile(LPCOLESTR) override
    {
        if (m_script.streams.empty())
            return E_FAIL;
        SetDuration(m_script.duration);
        for (const ScriptStream& stream : m_script.streams) {
            HRESULT hr = S_OK;
            new CTestDemuxPin(&hr, this, stream);  // the filter owns its pins
            if (FAILED(hr))
                return hr;
        }
        return S_OK;
    }

    REFERENCE_TIME PositionParser(REFERENCE_TIME target) override
    {
        ++repositions;
        m_next = 0;
        while (m_next < m_script.packets.size() && m_script.packets[m_next].start != PACKET_NO_TIME
               && m_script.packets[m_next].start < target)
            ++m_next;
        return target;
    }

    HRESULT NextPacket(std::unique_ptr<KPacket>& packet) override
    {
        if (m_next >= m_script.packets.size())
            return S_FALSE;
        if (m_next == m_script.failAt)
            return E_FAIL;
        if (beforePacket)
            beforePacket(m_next);
        const ScriptPacket& source = m_script.packets[m_next];
        packet = std::make_unique<KPacket>();
        packet->streamNumber = source.streamNumber;
        packet->start = source.start;
        packet->stop = source.stop;
        packet->syncPoint = source.syncPoint;
        packet->continuation = source.continuation;
        packet->payload.resize(source.size);
        for (size_t i = 0; i < source.size; ++i)
            packet->payload[i] = PayloadByte(m_next, i);
        ++m_next;
        ++packetsRead;
        return S_OK;
    }

private:
    Script m_script;
    size_t m_next = 0;
};

// An audio type with a plain WAVEFORMATEX block, and a video type with a VIDEOINFOHEADER.
inline CMediaType AudioType(ULONG sampleSize = 0)
{
    CMediaType mt;
    mt.SetType(&MEDIATYPE_Audio);
    GUID pcm = FourccGuid(WAVE_FORMAT_PCM);
    mt.SetSubtype(&pcm);
    mt.SetFormatType(&FORMAT_WaveFormatEx);
    WAVEFORMATEX format{WAVE_FORMAT_PCM, 2, 48000, 192000, 4, 16, 0};
    mt.SetFormat(reinterpret_cast<const BYTE*>(&format), sizeof format);
    mt.SetSampleSize(sampleSize);
    if (sampleSize == 0)
        mt.lSampleSize = 0;
    return mt;
}

inline CMediaType VideoType(LONG width, LONG height, ULONG sampleSize = 0)
{
    CMediaType mt;
    mt.SetType(&MEDIATYPE_Video);
    GUID h264 = FourccGuid(MakeFourcc('H', '2', '6', '4'));
    mt.SetSubtype(&h264);
    mt.SetFormatType(&FORMAT_VideoInfo);
    VIDEOINFOHEADER format{};
    format.AvgTimePerFrame = 400000;
    format.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    format.bmiHeader.biWidth = width;
    format.bmiHeader.biHeight = height;
    format.bmiHeader.biCompression = MakeFourcc('H', '2', '6', '4');
    mt.SetFormat(reinterpret_cast<const BYTE*>(&format), sizeof format);
    mt.SetTemporalCompression(TRUE);
    mt.SetVariableSize();
    mt.lSampleSize = sampleSize;
    return mt;
}

}  // namespace vmx::test
