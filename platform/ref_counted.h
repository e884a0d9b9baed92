// The reference count of a small COM object that is no framework object (the platform's mapper
// and Windows Media reader parts, a host's graph, sink, allocator and enumerators, the reader's
// callback, test fakes): one atomic count, the object deleted when it falls to zero.
#pragma once

#include <atomic>

#include "platform/platform.h"

// Derive from KRefCounted<every interface the object implements>: AddRef and Release then serve
// them all. QueryInterface stays the object's own, answering through Answer and NoInterface.
template <class... Interfaces>
class KRefCounted : public Interfaces... {
public:
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override
    {
        const ULONG left = --references_;
        if (left == 0)
            delete this;
        return left;
    }

protected:
    explicit KRefCounted(ULONG references = 0) : references_(references) {}
    virtual ~KRefCounted() = default;
    KRefCounted(const KRefCounted&) = delete;
    KRefCounted& operator=(const KRefCounted&) = delete;

    // QueryInterface's answer: the interface asked for, with a reference for the caller.
    HRESULT Answer(void** ppv, void* answered)
    {
        *ppv = answered;
        AddRef();
        return S_OK;
    }
    static HRESULT NoInterface(void** ppv)
    {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }

private:
    std::atomic<ULONG> references_;
};
