// The COM run time the module uses: IUnknown, IClassFactory, task memory, class creation.
#pragma once

#include "platform/guids.h"
#include "platform/hresults.h"

#ifdef _WIN32
#include <objbase.h>
#else

struct IUnknown {
    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) PURE;
    STDMETHOD_(ULONG, AddRef)() PURE;
    STDMETHOD_(ULONG, Release)() PURE;

protected:
    ~IUnknown() = default;
};
using LPUNKNOWN = IUnknown*;

struct IClassFactory : IUnknown {
    STDMETHOD(CreateInstance)(IUnknown* outer, REFIID riid, void** ppv) PURE;
    STDMETHOD(LockServer)(BOOL lock) PURE;

protected:
    ~IClassFactory() = default;
};

struct IPersist : IUnknown {
    STDMETHOD(GetClassID)(CLSID* clsid) PURE;

protected:
    ~IPersist() = default;
};

// Only named in signatures the module never calls.
struct IMoniker;
struct IEnumMoniker;

constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_INPROC = 0x3;
constexpr DWORD CLSCTX_ALL = 0x17;
constexpr DWORD COINIT_MULTITHREADED = 0x0;
constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;
constexpr DWORD COINIT_DISABLE_OLE1DDE = 0x4;
constexpr DWORD REGCLS_MULTIPLEUSE = 1;

HRESULT CoInitialize(LPVOID reserved);
HRESULT CoInitializeEx(LPVOID reserved, DWORD coinit);
void CoUninitialize();
void CoFreeUnusedLibraries();
LPVOID CoTaskMemAlloc(SIZE_T size);
void CoTaskMemFree(LPVOID p);
HRESULT CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID riid, LPVOID* ppv);
// Makes a class creatable in this process through CoCreateInstance (the host's allocator, a
// replacement filter mapper in a test). The factory is kept with a reference until revoked.
HRESULT CoRegisterClassObject(REFCLSID clsid, LPUNKNOWN factory, DWORD context, DWORD flags, LPDWORD cookie);
HRESULT CoRevokeClassObject(DWORD cookie);
int StringFromGUID2(REFGUID guid, LPOLESTR text, int capacity);

#endif
