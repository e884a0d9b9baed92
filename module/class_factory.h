// CClassFactory: creates the filters of one template; and the module-wide counts that decide
// whether the module may be unloaded.
#pragma once

#include "framework/unknown.h"
#include "module/templates.h"

class CClassFactory final : public IClassFactory, public CBaseObject {
public:
    explicit CClassFactory(const CFactoryTemplate* tmpl);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

    static LONG ServerLocks();

private:
    ~CClassFactory() override = default;

    const CFactoryTemplate* m_pTemplate;
    LONG m_cRef = 0;
    static LONG m_cLocked;
};

// The module's file path and instance handle, recorded when it is loaded.
void SetModuleInstance(HINSTANCE instance);
HINSTANCE ModuleInstance();
