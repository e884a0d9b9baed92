// COM run time: task memory, GUID text, and in-process class creation from a table that holds
// the platform's own classes (the filter mapper) and whatever a host registers.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

#include "platform/dshow.h"
#include "platform/posix/filter_mapper.h"

namespace {

struct ClassEntry {
    CLSID clsid;
    IUnknown* factory;
};

std::mutex classLock;
std::map<DWORD, ClassEntry> registeredClasses;
DWORD nextCookie = 1;

}  // namespace

HRESULT CoInitialize(LPVOID) { return S_OK; }
HRESULT CoInitializeEx(LPVOID, DWORD) { return S_OK; }
void CoUninitialize() {}
void CoFreeUnusedLibraries() {}

LPVOID CoTaskMemAlloc(SIZE_T size) { return std::malloc(size ? size : 1); }
void CoTaskMemFree(LPVOID p) { std::free(p); }

int StringFromGUID2(REFGUID guid, LPOLESTR text, int capacity)
{
    if (!text || capacity < 39)
        return 0;
    char narrow[40];
    std::snprintf(narrow, sizeof narrow, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1, guid.Data2,
                  guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                  guid.Data4[6], guid.Data4[7]);
    for (int i = 0; i < 39; ++i)
        text[i] = static_cast<WCHAR>(narrow[i]);
    return 39;
}

HRESULT CoRegisterClassObject(REFCLSID clsid, LPUNKNOWN factory, DWORD, DWORD, LPDWORD cookie)
{
    if (!factory || !cookie)
        return E_INVALIDARG;
    std::lock_guard lock(classLock);
    factory->AddRef();
    *cookie = nextCookie++;
    registeredClasses[*cookie] = ClassEntry{clsid, factory};
    return S_OK;
}

HRESULT CoRevokeClassObject(DWORD cookie)
{
    IUnknown* factory = nullptr;
    {
        std::lock_guard lock(classLock);
        auto it = registeredClasses.find(cookie);
        if (it == registeredClasses.end())
            return E_INVALIDARG;
        factory = it->second.factory;
        registeredClasses.erase(it);
    }
    factory->Release();
    return S_OK;
}

HRESULT CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD, REFIID riid, LPVOID* ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    IClassFactory* factory = nullptr;
    {
        std::lock_guard lock(classLock);
        // The newest registration wins, so a test can stand in for a built-in class.
        for (auto it = registeredClasses.rbegin(); it != registeredClasses.rend(); ++it) {
            if (it->second.clsid == clsid) {
                it->second.factory->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&factory));
                break;
            }
        }
    }
    if (factory) {
        HRESULT hr = factory->CreateInstance(outer, riid, ppv);
        factory->Release();
        return hr;
    }
    if (clsid == CLSID_FilterMapper2 || clsid == CLSID_FilterMapper)
        return vmx::posix::CreateFilterMapper(outer, riid, ppv);
    return REGDB_E_CLASSNOTREG;
}
