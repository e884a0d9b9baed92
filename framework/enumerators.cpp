#include "framework/enumerators.h"

#include "framework/base_filter.h"
#include "framework/base_pin.h"

CEnumPins::CEnumPins(CBaseFilter* filter, const CEnumPins* source)
    : CBaseObject(u"CEnumPins"), m_pFilter(filter),
      m_Position(source ? source->m_Position : 0), m_Version(source ? source->m_Version : filter->GetPinVersion())
{
    m_pFilter->AddRef();
}

CEnumPins::~CEnumPins() { m_pFilter->Release(); }

HRESULT CEnumPins::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IEnumPins || riid == IID_IUnknown)
        return GetInterface(static_cast<IEnumPins*>(this), ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG CEnumPins::AddRef() { return static_cast<ULONG>(++m_cRef); }

ULONG CEnumPins::Release()
{
    LONG left = --m_cRef;
    if (left == 0)
        delete this;
    return static_cast<ULONG>(left);
}

bool CEnumPins::AreWeOutOfSync() const { return m_pFilter->GetPinVersion() != m_Version; }

HRESULT CEnumPins::Next(ULONG count, IPin** pins, ULONG* fetched)
{
    if (!pins)
        return E_POINTER;
    if (fetched)
        *fetched = 0;
    else if (count > 1)
        return E_INVALIDARG;
    if (AreWeOutOfSync())
        return VFW_E_ENUM_OUT_OF_SYNC;
    ULONG got = 0;
    while (got < count) {
        CBasePin* pin = m_pFilter->GetPin(m_Position);
        if (!pin)
            break;
        ++m_Position;
        pins[got] = pin;
        pin->AddRef();
        ++got;
    }
    if (fetched)
        *fetched = got;
    return got == count ? S_OK : S_FALSE;
}

HRESULT CEnumPins::Skip(ULONG count)
{
    if (AreWeOutOfSync())
        return VFW_E_ENUM_OUT_OF_SYNC;
    int left = m_pFilter->GetPinCount() - m_Position;
    if (static_cast<LONGLONG>(count) > left)
        return S_FALSE;
    m_Position += static_cast<int>(count);
    return S_OK;
}

HRESULT CEnumPins::Reset()
{
    m_Version = m_pFilter->GetPinVersion();
    m_Position = 0;
    return S_OK;
}

HRESULT CEnumPins::Clone(IEnumPins** clone)
{
    if (!clone)
        return E_POINTER;
    *clone = nullptr;
    if (AreWeOutOfSync())
        return VFW_E_ENUM_OUT_OF_SYNC;
    *clone = new CEnumPins(m_pFilter, this);
    return S_OK;
}

CEnumMediaTypes::CEnumMediaTypes(CBasePin* pin, const CEnumMediaTypes* source)
    : CBaseObject(u"CEnumMediaTypes"), m_pPin(pin),
      m_Position(source ? source->m_Position : 0), m_Version(source ? source->m_Version : pin->GetMediaTypeVersion())
{
    m_pPin->AddRef();
}

CEnumMediaTypes::~CEnumMediaTypes() { m_pPin->Release(); }

HRESULT CEnumMediaTypes::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IEnumMediaTypes || riid == IID_IUnknown)
        return GetInterface(static_cast<IEnumMediaTypes*>(this), ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG CEnumMediaTypes::AddRef() { return static_cast<ULONG>(++m_cRef); }

ULONG CEnumMediaTypes::Release()
{
    LONG left = --m_cRef;
    if (left == 0)
        delete this;
    return static_cast<ULONG>(left);
}

bool CEnumMediaTypes::AreWeOutOfSync() const { return m_pPin->GetMediaTypeVersion() != m_Version; }

HRESULT CEnumMediaTypes::Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched)
{
    if (!types)
        return E_POINTER;
    if (fetched)
        *fetched = 0;
    else if (count > 1)
        return E_INVALIDARG;
    if (AreWeOutOfSync())
        return VFW_E_ENUM_OUT_OF_SYNC;
    ULONG got = 0;
    while (got < count) {
        CMediaType mt;
        if (m_pPin->GetMediaType(m_Position, &mt) != S_OK)
            break;
        AM_MEDIA_TYPE* copy = CreateMediaType(&mt);
        if (!copy)
            break;
        types[got++] = copy;
        ++m_Position;
    }
    if (fetched)
        *fetched = got;
    return got == count ? S_OK : S_FALSE;
}

HRESULT CEnumMediaTypes::Skip(ULONG count)
{
    if (AreWeOutOfSync())
        return VFW_E_ENUM_OUT_OF_SYNC;
    // Walk forward: the pin knows its types only by position.
    for (ULONG i = 0; i < count; ++i) {
        CMediaType mt;
        if (m_pPin->GetMediaType(m_Position, &mt) != S_OK)
            return S_FALSE;
        ++m_Position;
    }
    return S_OK;
}

HRESULT CEnumMediaTypes::Reset()
{
    m_Version = m_pPin->GetMediaTypeVersion();
    m_Position = 0;
    return S_OK;
}

HRESULT CEnumMediaTypes::Clone(IEnumMediaTypes** clone)
{
    if (!clone)
        return E_POINTER;
    *clone = nullptr;
    if (AreWeOutOfSync())
        return VFW_E_ENUM_OUT_OF_SYNC;
    *clone = new CEnumMediaTypes(m_pPin, this);
    return S_OK;
}
