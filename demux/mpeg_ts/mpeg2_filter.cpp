#include "demux/mpeg_ts/mpeg2_filter.h"

#include <algorithm>
#include <cstdio>

#include "framework/class_ids.h"
#include "io/wide_text.h"

// ---- Pin ---------------------------------------------------------------------------------------

CMPG2_OutputPin::CMPG2_OutputPin(HRESULT* phr, CMPG2_Filter* filter, LPCWSTR name, DWORD pid,
                                 std::vector<CMediaType> types, DWORD initialBufferSize)
    : CDemuxOutputPinT<KPacket>(WSTR("MPEG-2 output pin"), phr, filter, name, pid, std::move(types)),
      m_initialBufferSize(initialBufferSize)
{
}

HRESULT CMPG2_OutputPin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request)
{
    if (!allocator || !request)
        return E_POINTER;
    // One buffer the size of the stream's largest expected frame; a bigger one grows it.
    request->cBuffers = 1;
    request->cbBuffer = static_cast<LONG>(std::min<ULONG>(std::max<ULONG>(m_mt.lSampleSize, m_initialBufferSize), 0x7FFFFFFF));
    ALLOCATOR_PROPERTIES actual{};
    const HRESULT hr = allocator->SetProperties(request, &actual);
    if (FAILED(hr))
        return hr;
    return actual.cbBuffer < request->cbBuffer ? E_FAIL : S_OK;
}

// ---- Filter ------------------------------------------------------------------------------------

WString Mpeg2PinName(const GUID& majorType, const std::string& language, DWORD pid, bool hexadecimal)
{
    char number[32];
    std::snprintf(number, sizeof number, hexadecimal ? "%x" : "%u", static_cast<unsigned>(pid));
    const char* kind = majorType == MEDIATYPE_Video ? "Video" : majorType == MEDIATYPE_Audio ? "Audio"
                     : majorType == MEDIATYPE_Text  ? "Subtitle"
                                                    : nullptr;
    char text[96];
    if (!kind)
        std::snprintf(text, sizeof text, "Stream /%s 0x%x", language.empty() ? "" : language.c_str(), static_cast<unsigned>(pid));
    else if (language.empty())
        std::snprintf(text, sizeof text, "%s (%s)", kind, number);
    else
        std::snprintf(text, sizeof text, "%s /%s (%s)", kind, language.c_str(), number);
    return WideFromUtf8(text);
}

CMPG2_Filter::CMPG2_Filter(const WCHAR* name, IUnknown* outer, HRESULT* phr)
    : CDemuxFilterT<KPacket>(name ? name : WSTR("Torvane MPEG Source Filter2"), outer, CLSID_VmxMpeg2Source, phr,
                             QueueLimits::Mpeg2)
{
}

HRESULT CMPG2_Filter::LoadFile(LPCOLESTR fileName)
{
    if (m_handler.Open(fileName, ExtensionsOn()) != 0)
        return E_FAIL;
    SetDuration(m_handler.Duration());
    std::vector<const KMpeg2ReadStream*> streams;
    for (const auto& stream : m_handler.Streams())
        streams.push_back(stream.get());
    std::sort(streams.begin(), streams.end(), [](const auto* a, const auto* b) { return a->pid < b->pid; });
    bool videoPin = false;
    for (const KMpeg2ReadStream* stream : streams) {
        CMediaType primary, alternative;
        stream->GetMediaTypes(primary, alternative);
        if (!primary.IsValid())
            continue;
        if (*primary.Type() == MEDIATYPE_Video) {
            if (videoPin)
                continue;  // one video stream plays
            videoPin = true;
        }
        std::vector<CMediaType> types{primary};
        if (alternative.IsValid())
            types.push_back(alternative);
        const WString name = Mpeg2PinName(*primary.Type(), stream->language, stream->pid,
                                          m_handler.Kind() == KMpeg2ReadHandler::kProgram1);
        MakePin<CMPG2_OutputPin>(this, name.c_str(), stream->pid, std::move(types), stream->InitialBufferSize());
    }
    return GetPinCount() > 0 ? S_OK : E_FAIL;
}

REFERENCE_TIME CMPG2_Filter::PositionParser(REFERENCE_TIME target)
{
    m_handler.SeekTo(target);
    return target;
}

HRESULT CMPG2_Filter::NextPacket(std::unique_ptr<KPacket>& packet)
{
    Mpeg2Frame frame;
    while (!ReaderCommandPending()) {
        if (!m_handler.GetNextFrame(frame))
            return S_FALSE;
        KMpeg2ReadStream* stream = m_handler.FindStream(frame.pid);
        if (!stream)
            continue;
        std::vector<BYTE> bytes = stream->TakeFrame();
        if (!PinForStream(frame.pid) || bytes.empty())
            continue;
        auto made = NewPacket();
        made->streamNumber = frame.pid;
        made->syncPoint = frame.sync;
        if (frame.timed) {
            made->start = frame.start;
            made->stop = frame.stop;
        }
        made->payload = std::move(bytes);
        packet = std::move(made);
        return S_OK;
    }
    return S_FALSE;
}
