// The enumerators a host's filters hand out: pins of a filter, media types of a pin, each a
// snapshot held in a vector.
#pragma once

#include <algorithm>
#include <new>
#include <vector>

#include "framework/media_type.h"
#include "host/com_ptr.h"
#include "platform/platform.h"
#include "platform/ref_counted.h"

namespace vmx::host {

// Traits supply the interface, its identifier, the stored and handed-out item types, and
// Hand(stored) -> item with a reference or a copy (null when out of memory), Drop(item).
template <class Traits>
class VectorEnumerator final : public KRefCounted<typename Traits::Interface> {
public:
    using Interface = typename Traits::Interface;
    using Stored = typename Traits::Stored;
    using Item = typename Traits::Item;

    static ComPtr<VectorEnumerator> Create(std::vector<Stored> items, size_t position = 0)
    {
        return ComPtr<VectorEnumerator>(new (std::nothrow) VectorEnumerator(std::move(items), position));
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == Traits::InterfaceId())
            return this->Answer(ppv, static_cast<Interface*>(this));
        return this->NoInterface(ppv);
    }

    STDMETHODIMP Next(ULONG count, Item* items, ULONG* fetched) override
    {
        // COM's rule: asking for more than one item needs somewhere to say how many came back.
        if (!items || (count != 1 && !fetched))
            return E_POINTER;
        ULONG given = 0;
        while (given < count && position_ < items_.size()) {
            Item item = Traits::Hand(items_[position_]);
            if (!item) {
                position_ -= given;
                while (given > 0)
                    Traits::Drop(items[--given]);
                if (fetched)
                    *fetched = 0;
                return E_OUTOFMEMORY;
            }
            items[given++] = item;
            ++position_;
        }
        if (fetched)
            *fetched = given;
        return given == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override
    {
        size_t left = items_.size() - position_;
        position_ += std::min<size_t>(count, left);
        return count <= left ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override
    {
        position_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(Interface** clone) override
    {
        if (!clone)
            return E_POINTER;
        *clone = Create(items_, position_).Detach();
        return *clone ? S_OK : E_OUTOFMEMORY;
    }

private:
    VectorEnumerator(std::vector<Stored> items, size_t position)
        : items_(std::move(items)), position_(std::min(position, items_.size()))
    {
    }
    ~VectorEnumerator() override = default;

    std::vector<Stored> items_;
    size_t position_;
};

struct PinEnumeratorTraits {
    using Interface = IEnumPins;
    using Stored = ComPtr<IPin>;
    using Item = IPin*;
    static REFIID InterfaceId() { return IID_IEnumPins; }
    static IPin* Hand(const ComPtr<IPin>& pin)
    {
        pin->AddRef();
        return pin.Get();
    }
    static void Drop(IPin* pin) { pin->Release(); }
};

struct MediaTypeEnumeratorTraits {
    using Interface = IEnumMediaTypes;
    using Stored = CMediaType;
    using Item = AM_MEDIA_TYPE*;
    static REFIID InterfaceId() { return IID_IEnumMediaTypes; }
    // A task-memory copy the caller frees with DeleteMediaType.
    static AM_MEDIA_TYPE* Hand(const CMediaType& type) { return CreateMediaType(&type); }
    static void Drop(AM_MEDIA_TYPE* type) { DeleteMediaType(type); }
};

using PinEnumerator = VectorEnumerator<PinEnumeratorTraits>;
using MediaTypeEnumerator = VectorEnumerator<MediaTypeEnumeratorTraits>;

}  // namespace vmx::host
