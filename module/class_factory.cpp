#include "module/class_factory.h"

LONG CClassFactory::m_cLocked = 0;

namespace {
HINSTANCE moduleInstance = nullptr;
}

void SetModuleInstance(HINSTANCE instance) { moduleInstance = instance; }
HINSTANCE ModuleInstance() { return moduleInstance; }

CClassFactory::CClassFactory(const CFactoryTemplate* tmpl) : CBaseObject(WSTR("Class Factory")), m_pTemplate(tmpl) {}

HRESULT CClassFactory::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG CClassFactory::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&m_cRef)); }

ULONG CClassFactory::Release()
{
    LONG left = InterlockedDecrement(&m_cRef);
    if (left == 0)
        delete this;
    return static_cast<ULONG>(left);
}

HRESULT CClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    // Aggregation hands out only the inner IUnknown.
    if (outer && !(riid == IID_IUnknown))
        return E_NOINTERFACE;
    HRESULT hr = S_OK;
    CUnknown* object = m_pTemplate->CreateInstance(outer, &hr);
    if (!object)
        return FAILED(hr) ? hr : E_OUTOFMEMORY;
    if (FAILED(hr)) {
        delete object;
        return hr;
    }
    // The object survives only if the query hands out a reference.
    object->NonDelegatingAddRef();
    hr = object->NonDelegatingQueryInterface(riid, ppv);
    object->NonDelegatingRelease();
    return hr;
}

HRESULT CClassFactory::LockServer(BOOL lock)
{
    if (lock)
        InterlockedIncrement(&m_cLocked);
    else
        InterlockedDecrement(&m_cLocked);
    return S_OK;
}

LONG CClassFactory::ServerLocks() { return __atomic_load_n(&m_cLocked, __ATOMIC_SEQ_CST); }
