#include "framework/unknown.h"

#include <cstring>

LONG CBaseObject::m_cObjects = 0;

CBaseObject::CBaseObject(const WCHAR*) { InterlockedIncrement(&m_cObjects); }
CBaseObject::~CBaseObject() { InterlockedDecrement(&m_cObjects); }
LONG CBaseObject::ObjectsActive() { return __atomic_load_n(&m_cObjects, __ATOMIC_SEQ_CST); }

CUnknown::CUnknown(const WCHAR* name, IUnknown* outer) : CBaseObject(name)
{
    m_adapter.self = this;
    m_pUnknown = outer ? outer : &m_adapter;
}

HRESULT CUnknown::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown)
        return GetInterface(&m_adapter, ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG CUnknown::NonDelegatingAddRef() { return static_cast<ULONG>(++m_cRef); }

ULONG CUnknown::NonDelegatingRelease()
{
    LONG left = --m_cRef;
    if (left == 0) {
        // Guard against a re-entrant release from the destructor.
        m_cRef = 1;
        delete this;
        return 0;
    }
    return static_cast<ULONG>(left);
}

HRESULT GetInterface(IUnknown* unknown, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = unknown;
    unknown->AddRef();
    return S_OK;
}

HRESULT AMGetWideString(LPCWSTR source, LPWSTR* target)
{
    if (!target)
        return E_POINTER;
    *target = nullptr;
    if (!source)
        return S_OK;
    std::size_t bytes = (static_cast<std::size_t>(lstrlenW(source)) + 1) * sizeof(WCHAR);
    *target = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    if (!*target)
        return E_OUTOFMEMORY;
    std::memcpy(*target, source, bytes);
    return S_OK;
}
