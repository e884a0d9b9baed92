#include "host/enumerators.h"

#include <algorithm>
#include <new>

namespace vmx::host {

namespace {

// COM's rule: asking for more than one item needs somewhere to say how many came back.
bool ValidNextArguments(ULONG count, const void* items, const ULONG* fetched)
{
    return items && (count == 1 || fetched);
}

}  // namespace

// ---- PinEnumerator ----

PinEnumerator::PinEnumerator(std::vector<ComPtr<IPin>> pins, size_t position)
    : pins_(std::move(pins)), position_(std::min(position, pins_.size()))
{
}

ComPtr<PinEnumerator> PinEnumerator::Create(std::vector<ComPtr<IPin>> pins, size_t position)
{
    return ComPtr<PinEnumerator>(new (std::nothrow) PinEnumerator(std::move(pins), position));
}

STDMETHODIMP PinEnumerator::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IEnumPins) {
        *ppv = static_cast<IEnumPins*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) PinEnumerator::AddRef() { return ++references_; }

STDMETHODIMP_(ULONG) PinEnumerator::Release()
{
    ULONG remaining = --references_;
    if (remaining == 0)
        delete this;
    return remaining;
}

STDMETHODIMP PinEnumerator::Next(ULONG count, IPin** pins, ULONG* fetched)
{
    if (!ValidNextArguments(count, pins, fetched))
        return E_POINTER;
    ULONG given = 0;
    while (given < count && position_ < pins_.size()) {
        pins[given] = pins_[position_++].Get();
        pins[given]->AddRef();
        ++given;
    }
    if (fetched)
        *fetched = given;
    return given == count ? S_OK : S_FALSE;
}

STDMETHODIMP PinEnumerator::Skip(ULONG count)
{
    size_t left = pins_.size() - position_;
    position_ += std::min<size_t>(count, left);
    return count <= left ? S_OK : S_FALSE;
}

STDMETHODIMP PinEnumerator::Reset()
{
    position_ = 0;
    return S_OK;
}

STDMETHODIMP PinEnumerator::Clone(IEnumPins** clone)
{
    if (!clone)
        return E_POINTER;
    ComPtr<PinEnumerator> copy = Create(pins_, position_);
    *clone = copy.Detach();
    return *clone ? S_OK : E_OUTOFMEMORY;
}

// ---- MediaTypeEnumerator ----

MediaTypeEnumerator::MediaTypeEnumerator(std::vector<CMediaType> types, size_t position)
    : types_(std::move(types)), position_(std::min(position, types_.size()))
{
}

ComPtr<MediaTypeEnumerator> MediaTypeEnumerator::Create(std::vector<CMediaType> types, size_t position)
{
    return ComPtr<MediaTypeEnumerator>(new (std::nothrow) MediaTypeEnumerator(std::move(types), position));
}

STDMETHODIMP MediaTypeEnumerator::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IEnumMediaTypes) {
        *ppv = static_cast<IEnumMediaTypes*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) MediaTypeEnumerator::AddRef() { return ++references_; }

STDMETHODIMP_(ULONG) MediaTypeEnumerator::Release()
{
    ULONG remaining = --references_;
    if (remaining == 0)
        delete this;
    return remaining;
}

STDMETHODIMP MediaTypeEnumerator::Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched)
{
    if (!ValidNextArguments(count, types, fetched))
        return E_POINTER;
    ULONG given = 0;
    while (given < count && position_ < types_.size()) {
        AM_MEDIA_TYPE* copy = CreateMediaType(&types_[position_]);
        if (!copy) {
            position_ -= given;
            while (given > 0)
                DeleteMediaType(types[--given]);
            if (fetched)
                *fetched = 0;
            return E_OUTOFMEMORY;
        }
        types[given++] = copy;
        ++position_;
    }
    if (fetched)
        *fetched = given;
    return given == count ? S_OK : S_FALSE;
}

STDMETHODIMP MediaTypeEnumerator::Skip(ULONG count)
{
    size_t left = types_.size() - position_;
    position_ += std::min<size_t>(count, left);
    return count <= left ? S_OK : S_FALSE;
}

STDMETHODIMP MediaTypeEnumerator::Reset()
{
    position_ = 0;
    return S_OK;
}

STDMETHODIMP MediaTypeEnumerator::Clone(IEnumMediaTypes** clone)
{
    if (!clone)
        return E_POINTER;
    ComPtr<MediaTypeEnumerator> copy = Create(types_, position_);
    *clone = copy.Detach();
    return *clone ? S_OK : E_OUTOFMEMORY;
}

}  // namespace vmx::host
