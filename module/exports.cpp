// The module's four exported functions and its load/unload entry point.
#include "module/class_factory.h"
#include "module/registration.h"
#include "module/templates.h"

#include <new>

VMX_EXPORT_API DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (!(riid == IID_IUnknown) && !(riid == IID_IClassFactory))
        return E_NOINTERFACE;
    const CFactoryTemplate* tmpl = FindTemplate(clsid);
    if (!tmpl)
        return CLASS_E_CLASSNOTAVAILABLE;
    auto* factory = new (std::nothrow) CClassFactory(tmpl);
    if (!factory)
        return E_OUTOFMEMORY;
    factory->AddRef();
    *ppv = static_cast<IClassFactory*>(factory);
    return S_OK;
}

VMX_EXPORT_API DllCanUnloadNow()
{
    return CClassFactory::ServerLocks() > 0 || CBaseObject::ObjectsActive() != 0 ? S_FALSE : S_OK;
}

VMX_EXPORT_API DllRegisterServer() { return RegisterAllServers(TRUE); }

VMX_EXPORT_API DllUnregisterServer() { return RegisterAllServers(FALSE); }

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(static_cast<HMODULE>(instance));
        SetModuleInstance(instance);
        for (int i = 0; i < g_cTemplates; ++i)
            if (g_Templates[i].m_lpfnInit)
                g_Templates[i].m_lpfnInit(TRUE, g_Templates[i].m_ClsID);
    } else if (reason == DLL_PROCESS_DETACH) {
        for (int i = 0; i < g_cTemplates; ++i)
            if (g_Templates[i].m_lpfnInit)
                g_Templates[i].m_lpfnInit(FALSE, g_Templates[i].m_ClsID);
    }
    return TRUE;
}

VMX_MODULE_ENTRY(DllMain)
