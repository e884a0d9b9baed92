// vmx: the command line of the module. "vmx filters" lists the filters the module carries,
// "vmx register" / "vmx unregister" write or remove their registration.
#include <cstdio>
#include <cstring>
#include <string>

#include "module/templates.h"
#include "platform/platform.h"

extern "C" HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv);
extern "C" HRESULT DllRegisterServer();
extern "C" HRESULT DllUnregisterServer();

namespace {

std::string Utf8(const WCHAR* text)
{
    char buffer[512];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, sizeof buffer, nullptr, nullptr);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n - 1)) : std::string();
}

int ListFilters()
{
    std::printf("%-3s %-30s %-40s %s\n", "#", "filter", "class identifier", "creates");
    int failures = 0;
    for (int i = 0; i < g_cTemplates; ++i) {
        const CFactoryTemplate& tmpl = g_Templates[i];
        WCHAR clsid[40];
        StringFromGUID2(*tmpl.m_ClsID, clsid, 40);
        // Each entry is checked the way a host uses it: through the exported class factory.
        IClassFactory* factory = nullptr;
        IBaseFilter* filter = nullptr;
        HRESULT hr = DllGetClassObject(*tmpl.m_ClsID, IID_IClassFactory, reinterpret_cast<void**>(&factory));
        if (SUCCEEDED(hr)) {
            hr = factory->CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&filter));
            factory->Release();
        }
        if (filter)
            filter->Release();
        if (FAILED(hr))
            ++failures;
        char status[32];
        std::snprintf(status, sizeof status, SUCCEEDED(hr) ? "ok" : "error 0x%08X", static_cast<unsigned>(hr));
        std::printf("%-3d %-30s %-40s %s\n", i, Utf8(tmpl.m_Name).c_str(), Utf8(clsid).c_str(), status);
    }
    return failures ? 1 : 0;
}

int Usage()
{
    std::fprintf(stderr, "usage: vmx filters | register | unregister\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return Usage();
    if (std::strcmp(argv[1], "filters") == 0)
        return ListFilters();
    if (std::strcmp(argv[1], "register") == 0 || std::strcmp(argv[1], "unregister") == 0) {
        bool doRegister = argv[1][0] == 'r';
        HRESULT hr = doRegister ? DllRegisterServer() : DllUnregisterServer();
        if (FAILED(hr)) {
            std::fprintf(stderr, "vmx: %s failed: 0x%08X\n", argv[1], static_cast<unsigned>(hr));
            return 1;
        }
        std::printf("vmx: %s done\n", argv[1]);
        return 0;
    }
    return Usage();
}
