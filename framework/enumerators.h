// Enumerators over a filter's pins and a pin's media types. Each remembers the version it was
// made at and fails with VFW_E_ENUM_OUT_OF_SYNC once the set has changed.
#pragma once

#include "framework/unknown.h"
#include "platform/ref_counted.h"

class CBaseFilter;
class CBasePin;

// The shared part: reference count, position and version. Derived supplies the interface's
// identifier, VersionOf(owner) and Fetch(owner, position, item or null for a probe).
template <class Derived, class Interface, class Item, class Owner>
class CEnumerator : public KRefCounted<Interface>, public CBaseObject {
public:
    CEnumerator(Owner* owner, const CEnumerator* source)
        : KRefCounted<Interface>(1), CBaseObject(WSTR("Enumerator")), m_pOwner(owner), m_Position(source ? source->m_Position : 0),
          m_Version(source ? source->m_Version : Derived::VersionOf(owner))
    {
        m_pOwner->AddRef();
    }
    ~CEnumerator() override { m_pOwner->Release(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == Derived::InterfaceId() || riid == IID_IUnknown)
            return GetInterface(static_cast<Interface*>(this), ppv);
        *ppv = nullptr;
        return E_NOINTERFACE;
    }

    HRESULT STDMETHODCALLTYPE Next(ULONG count, Item* items, ULONG* fetched) override
    {
        if (!items)
            return E_POINTER;
        if (fetched)
            *fetched = 0;
        else if (count > 1)
            return E_INVALIDARG;
        if (OutOfSync())
            return VFW_E_ENUM_OUT_OF_SYNC;
        ULONG got = 0;
        while (got < count && Derived::Fetch(m_pOwner, m_Position, &items[got])) {
            ++m_Position;
            ++got;
        }
        if (fetched)
            *fetched = got;
        return got == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override
    {
        if (OutOfSync())
            return VFW_E_ENUM_OUT_OF_SYNC;
        for (ULONG i = 0; i < count; ++i, ++m_Position)
            if (!Derived::Fetch(m_pOwner, m_Position, nullptr))
                return S_FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reset() override
    {
        m_Version = Derived::VersionOf(m_pOwner);
        m_Position = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(Interface** clone) override
    {
        if (!clone)
            return E_POINTER;
        *clone = nullptr;
        if (OutOfSync())
            return VFW_E_ENUM_OUT_OF_SYNC;
        *clone = new Derived(m_pOwner, static_cast<const Derived*>(this));
        return S_OK;
    }

private:
    bool OutOfSync() const { return Derived::VersionOf(m_pOwner) != m_Version; }

    Owner* m_pOwner;
    int m_Position;
    LONG m_Version;
};

class CEnumPins final : public CEnumerator<CEnumPins, IEnumPins, IPin*, CBaseFilter> {
public:
    using CEnumerator::CEnumerator;
    static REFIID InterfaceId() { return IID_IEnumPins; }
    static LONG VersionOf(CBaseFilter* filter);
    static bool Fetch(CBaseFilter* filter, int position, IPin** pin);
};

class CEnumMediaTypes final : public CEnumerator<CEnumMediaTypes, IEnumMediaTypes, AM_MEDIA_TYPE*, CBasePin> {
public:
    using CEnumerator::CEnumerator;
    static REFIID InterfaceId() { return IID_IEnumMediaTypes; }
    static LONG VersionOf(CBasePin* pin);
    // Media types handed out are new task-memory copies the caller frees.
    static bool Fetch(CBasePin* pin, int position, AM_MEDIA_TYPE** type);
};
