#include "demux/ogg/ogg_pins.h"

#include <algorithm>
#include <span>

namespace {

HRESULT DeliverBytes(CBaseOutputPin& pin, std::span<const BYTE> bytes, REFERENCE_TIME start, REFERENCE_TIME stop, bool mark)
{
    IMediaSample* sample = nullptr;
    HRESULT hr = pin.GetDeliveryBuffer(&sample, nullptr, nullptr, 0);
    if (FAILED(hr))
        return hr;
    BYTE* buffer = nullptr;
    if (static_cast<size_t>(sample->GetSize()) < bytes.size() || FAILED(sample->GetPointer(&buffer))) {
        sample->Release();
        return VFW_E_BUFFER_OVERFLOW;
    }
    std::copy(bytes.begin(), bytes.end(), buffer);
    sample->SetActualDataLength(static_cast<LONG>(bytes.size()));
    sample->SetTime(&start, &stop);
    sample->SetMediaTime(nullptr, nullptr);
    sample->SetSyncPoint(mark);
    sample->SetDiscontinuity(mark);
    sample->SetPreroll(FALSE);
    hr = pin.Deliver(sample);
    sample->Release();
    return hr;
}

}  // namespace

HRESULT OggDecideBufferSize(const KOGG2ReadStream& stream, IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request)
{
    if (!allocator || !request)
        return E_POINTER;
    size_t size = std::max<size_t>(stream.SampleSizeHint(), 1);
    for (size_t i = 0; i < 3; ++i)
        size = std::max(size, stream.Header(i).size());
    request->cBuffers = std::max<LONG>(request->cBuffers, 1);
    request->cbBuffer = static_cast<LONG>(std::max<size_t>(static_cast<size_t>(std::max<LONG>(request->cbBuffer, 0)), std::min<size_t>(size, 0x7FFFFFFF)));
    request->cbAlign = 1;
    ALLOCATOR_PROPERTIES actual{};
    return allocator->SetProperties(request, &actual);
}

HRESULT DeliverOggStartSamples(CBaseOutputPin& pin, const KOGG2ReadStream& stream, const std::function<bool()>& stop)
{
    switch (stream.Kind()) {
    case OggStreamKind::Vorbis:
    case OggStreamKind::Theora:
        for (size_t i = 0; i < 3; ++i) {
            if (stop())
                return S_OK;
            if (const HRESULT hr = DeliverBytes(pin, stream.Header(i), 0, 0, i == 0); FAILED(hr))
                return hr;
        }
        return S_OK;
    case OggStreamKind::OgmText: {
        static constexpr BYTE kZero[1] = {0};
        return stop() ? S_OK : DeliverBytes(pin, kZero, 0, 1, true);
    }
    default:
        return S_OK;
    }
}
