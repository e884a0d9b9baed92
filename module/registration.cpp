#include "module/registration.h"

#include <string>
#include <vector>

#include "module/class_factory.h"
#include "module/templates.h"

namespace {

WString ClsidKeyPath(REFCLSID clsid)
{
    WCHAR text[40];
    StringFromGUID2(clsid, text, 40);
    return WString(WSTR("CLSID\\")) + text;
}

HRESULT Win32Result(LONG error)
{
    return HRESULT_FROM_WIN32(static_cast<DWORD>(error));
}

LONG SetStringValue(HKEY key, LPCWSTR name, LPCWSTR value)
{
    DWORD size = static_cast<DWORD>((lstrlenW(value) + 1) * sizeof(WCHAR));
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), size);
}

HRESULT RegisterServer(const CFactoryTemplate& tmpl, LPCWSTR modulePath)
{
    WString path = ClsidKeyPath(*tmpl.m_ClsID);
    HKEY classKey = nullptr;
    if (LONG error = RegCreateKeyW(HKEY_CLASSES_ROOT, path.c_str(), &classKey))
        return Win32Result(error);
    if (LONG error = SetStringValue(classKey, nullptr, tmpl.m_Name)) {
        RegCloseKey(classKey);
        return Win32Result(error);
    }
    HKEY serverKey = nullptr;
    LONG error = RegCreateKeyW(classKey, WSTR("InprocServer32"), &serverKey);
    if (!error)
        error = SetStringValue(serverKey, nullptr, modulePath);
    if (!error)
        error = SetStringValue(serverKey, WSTR("ThreadingModel"), WSTR("Both"));
    if (serverKey)
        RegCloseKey(serverKey);
    RegCloseKey(classKey);
    return Win32Result(error);
}

// Deletes a key with everything under it, depth first; a key that cannot be opened is skipped.
void DeleteKeyTree(HKEY parent, const WString& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(parent, path.c_str(), 0, MAXIMUM_ALLOWED, &key) != static_cast<LONG>(ERROR_SUCCESS))
        return;
    WCHAR child[MAX_PATH];
    while (RegEnumKeyW(key, 0, child, MAX_PATH) == static_cast<LONG>(ERROR_SUCCESS)) {
        WString before(child);
        DeleteKeyTree(key, before);
        // A child that survives its deletion would be enumerated forever.
        WCHAR again[MAX_PATH];
        if (RegEnumKeyW(key, 0, again, MAX_PATH) == static_cast<LONG>(ERROR_SUCCESS) && before == again)
            break;
    }
    RegCloseKey(key);
    RegDeleteKeyW(parent, path.c_str());
}

HRESULT UnregisterServer(REFCLSID clsid)
{
    WString path = ClsidKeyPath(clsid);
    if (path.empty())
        return E_FAIL;
    DeleteKeyTree(HKEY_CLASSES_ROOT, path);
    return S_OK;
}

}  // namespace

HRESULT RegisterAllServers(BOOL doRegister)
{
    WCHAR modulePath[MAX_PATH];
    if (!GetModuleFileNameW(static_cast<HMODULE>(ModuleInstance()), modulePath, MAX_PATH))
        return HRESULT_FROM_WIN32(GetLastError());

    if (doRegister) {
        for (int i = 0; i < g_cTemplates; ++i) {
            HRESULT hr = RegisterServer(g_Templates[i], modulePath);
            if (FAILED(hr))
                return hr;
        }
    }

    std::vector<const AMOVIESETUP_FILTER*> setups;
    for (int i = 0; i < g_cTemplates; ++i)
        setups.push_back(g_Templates[i].m_pAMovieSetup_Filter);
    HRESULT hr = RegisterFiltersWithMapper(setups.data(), static_cast<int>(setups.size()), doRegister);
    if (FAILED(hr) || doRegister)
        return hr;

    for (int i = 0; i < g_cTemplates; ++i)
        UnregisterServer(*g_Templates[i].m_ClsID);
    return S_OK;
}
