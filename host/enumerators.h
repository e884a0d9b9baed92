// The enumerators a host's filters hand out: pins of a filter, media types of a pin.
#pragma once

#include <atomic>
#include <vector>

#include "framework/media_type.h"
#include "host/com_ptr.h"
#include "platform/platform.h"

namespace vmx::host {

class PinEnumerator final : public IEnumPins {
public:
    static ComPtr<PinEnumerator> Create(std::vector<ComPtr<IPin>> pins, size_t position = 0);

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP Next(ULONG count, IPin** pins, ULONG* fetched) override;
    STDMETHODIMP Skip(ULONG count) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumPins** clone) override;

private:
    PinEnumerator(std::vector<ComPtr<IPin>> pins, size_t position);
    ~PinEnumerator() = default;

    std::atomic<ULONG> references_{0};
    std::vector<ComPtr<IPin>> pins_;
    size_t position_;
};

class MediaTypeEnumerator final : public IEnumMediaTypes {
public:
    static ComPtr<MediaTypeEnumerator> Create(std::vector<CMediaType> types, size_t position = 0);

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // Each type handed out is a task-memory copy the caller frees with DeleteMediaType.
    STDMETHODIMP Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) override;
    STDMETHODIMP Skip(ULONG count) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumMediaTypes** clone) override;

private:
    MediaTypeEnumerator(std::vector<CMediaType> types, size_t position);
    ~MediaTypeEnumerator() = default;

    std::atomic<ULONG> references_{0};
    std::vector<CMediaType> types_;
    size_t position_;
};

}  // namespace vmx::host
