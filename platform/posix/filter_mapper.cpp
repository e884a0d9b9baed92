// Filter mapper over the registry. IFilterMapper2 registers under the legacy DirectShow filter
// category ("CLSID\{083863F1-...}\Instance\{clsid}", values FriendlyName, CLSID, FilterData);
// IFilterMapper under "Filter\{clsid}" and "CLSID\{clsid}" (Merit, Pins\<name>).
#include <string>
#include <vector>

#include "platform/posix/filter_mapper.h"
#include "platform/ref_counted.h"
#include "platform/win32.h"

namespace vmx::posix {
namespace {

std::u16string GuidText(REFGUID guid)
{
    WCHAR text[40];
    StringFromGUID2(guid, text, 40);
    return std::u16string(text);
}

HRESULT SetString(HKEY key, const char16_t* name, const std::u16string& value)
{
    DWORD size = static_cast<DWORD>((value.size() + 1) * sizeof(char16_t));
    return HRESULT_FROM_WIN32(static_cast<DWORD>(
        RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), size)));
}

HRESULT SetDword(HKEY key, const char16_t* name, DWORD value)
{
    BYTE bytes[4] = {BYTE(value), BYTE(value >> 8), BYTE(value >> 16), BYTE(value >> 24)};
    return HRESULT_FROM_WIN32(static_cast<DWORD>(RegSetValueExW(key, name, 0, REG_DWORD, bytes, 4)));
}

// Deletes a key and everything under it; a missing key is ERROR_FILE_NOT_FOUND.
LONG DeleteTree(const std::u16string& path)
{
    HKEY key = nullptr;
    if (LONG error = RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, MAXIMUM_ALLOWED, &key))
        return error;
    WCHAR child[256];
    while (RegEnumKeyW(key, 0, child, 256) == ERROR_SUCCESS)
        DeleteTree(path + u"\\" + child);
    RegCloseKey(key);
    return RegDeleteKeyW(HKEY_CLASSES_ROOT, path.c_str());
}

void Append32(std::vector<BYTE>& out, DWORD value)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<BYTE>(value >> (8 * i)));
}

// The platform's serialised REGFILTER2 (version 2 record): header, then one record per pin.
std::vector<BYTE> FilterData(const REGFILTER2* data)
{
    std::vector<BYTE> out;
    ULONG pins = data && data->dwVersion == 1 ? data->cPins : 0;
    Append32(out, 2);
    Append32(out, data ? data->dwMerit : 0);
    Append32(out, pins);
    Append32(out, 0);
    for (ULONG i = 0; i < pins; ++i) {
        const REGFILTERPINS& pin = data->rgPins[i];
        out.push_back(static_cast<BYTE>('0' + i % 10));
        out.push_back('p');
        out.push_back('i');
        out.push_back('3');
        DWORD flags = (pin.bZero ? 0x1 : 0) | (pin.bRendered ? 0x2 : 0) | (pin.bMany ? 0x4 : 0) | (pin.bOutput ? 0x8 : 0);
        Append32(out, flags);
        Append32(out, 0);                 // instances
        Append32(out, pin.nMediaTypes);   // media types (their records are not kept here)
        Append32(out, 0);                 // mediums
        Append32(out, 0);                 // category offset
    }
    return out;
}

class FilterMapper final : public KRefCounted<IFilterMapper2, IFilterMapper> {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IFilterMapper2)
            return Answer(ppv, static_cast<IFilterMapper2*>(this));
        return riid == IID_IFilterMapper ? Answer(ppv, static_cast<IFilterMapper*>(this)) : NoInterface(ppv);
    }

    // IFilterMapper2
    STDMETHODIMP CreateCategory(REFCLSID, DWORD, LPCWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP UnregisterFilter(const CLSID* category, LPCOLESTR, REFCLSID filter) override
    {
        return HRESULT_FROM_WIN32(static_cast<DWORD>(DeleteTree(InstancePath(category, filter))));
    }
    STDMETHODIMP RegisterFilter(REFCLSID filter, LPCWSTR name, IMoniker** moniker, const CLSID* category, LPCOLESTR,
                                const REGFILTER2* data) override
    {
        if (moniker)
            *moniker = nullptr;
        if (!name || !data)
            return E_POINTER;
        HKEY key = nullptr;
        if (LONG error = RegCreateKeyW(HKEY_CLASSES_ROOT, InstancePath(category, filter).c_str(), &key))
            return HRESULT_FROM_WIN32(static_cast<DWORD>(error));
        HRESULT hr = SetString(key, u"FriendlyName", name);
        if (SUCCEEDED(hr))
            hr = SetString(key, u"CLSID", GuidText(filter));
        if (SUCCEEDED(hr)) {
            std::vector<BYTE> bytes = FilterData(data);
            hr = HRESULT_FROM_WIN32(static_cast<DWORD>(
                RegSetValueExW(key, u"FilterData", 0, REG_BINARY, bytes.data(), static_cast<DWORD>(bytes.size()))));
        }
        RegCloseKey(key);
        return hr;
    }
    STDMETHODIMP EnumMatchingFilters(IEnumMoniker** monikers, DWORD, BOOL, DWORD, BOOL, DWORD, const GUID*,
                                     const REGPINMEDIUM*, const CLSID*, BOOL, BOOL, DWORD, const GUID*,
                                     const REGPINMEDIUM*, const CLSID*) override
    {
        if (monikers)
            *monikers = nullptr;
        return E_NOTIMPL;
    }

    // IFilterMapper
    STDMETHODIMP RegisterFilter(CLSID clsid, LPCWSTR name, DWORD merit) override
    {
        if (!name)
            return E_POINTER;
        HKEY key = nullptr;
        if (LONG error = RegCreateKeyW(HKEY_CLASSES_ROOT, (u"Filter\\" + GuidText(clsid)).c_str(), &key))
            return HRESULT_FROM_WIN32(static_cast<DWORD>(error));
        HRESULT hr = SetString(key, nullptr, name);
        RegCloseKey(key);
        if (FAILED(hr))
            return hr;
        if (LONG error = RegCreateKeyW(HKEY_CLASSES_ROOT, (u"CLSID\\" + GuidText(clsid)).c_str(), &key))
            return HRESULT_FROM_WIN32(static_cast<DWORD>(error));
        hr = SetDword(key, u"Merit", merit);
        RegCloseKey(key);
        return hr;
    }
    STDMETHODIMP RegisterFilterInstance(CLSID, LPCWSTR, CLSID*) override { return E_NOTIMPL; }
    STDMETHODIMP RegisterPin(CLSID filter, LPCWSTR name, BOOL rendered, BOOL output, BOOL zero, BOOL many,
                             CLSID connectsToFilter, LPCWSTR connectsToPin) override
    {
        if (!name)
            return E_POINTER;
        HKEY key = nullptr;
        if (LONG error = RegCreateKeyW(HKEY_CLASSES_ROOT, PinPath(filter, name).c_str(), &key))
            return HRESULT_FROM_WIN32(static_cast<DWORD>(error));
        HRESULT hr = SetDword(key, u"IsRendered", rendered ? 1 : 0);
        if (SUCCEEDED(hr))
            hr = SetDword(key, u"Direction", output ? 1 : 0);
        if (SUCCEEDED(hr))
            hr = SetDword(key, u"AllowedZero", zero ? 1 : 0);
        if (SUCCEEDED(hr))
            hr = SetDword(key, u"AllowedMany", many ? 1 : 0);
        if (SUCCEEDED(hr))
            hr = SetString(key, u"ConnectsToFilter", GuidText(connectsToFilter));
        if (SUCCEEDED(hr))
            hr = SetString(key, u"ConnectsToPin", connectsToPin ? connectsToPin : u"");
        RegCloseKey(key);
        return hr;
    }
    STDMETHODIMP RegisterPinType(CLSID filter, LPCWSTR pinName, CLSID majorType, CLSID subType) override
    {
        if (!pinName)
            return E_POINTER;
        HKEY key = nullptr;
        std::u16string path = PinPath(filter, pinName) + u"\\Types\\" + GuidText(majorType) + u"\\" + GuidText(subType);
        LONG error = RegCreateKeyW(HKEY_CLASSES_ROOT, path.c_str(), &key);
        if (!error)
            RegCloseKey(key);
        return HRESULT_FROM_WIN32(static_cast<DWORD>(error));
    }
    STDMETHODIMP UnregisterFilter(CLSID filter) override
    {
        LONG error = DeleteTree(u"Filter\\" + GuidText(filter));
        DeleteTree(u"CLSID\\" + GuidText(filter) + u"\\Pins");
        return HRESULT_FROM_WIN32(static_cast<DWORD>(error));
    }
    STDMETHODIMP UnregisterFilterInstance(CLSID) override { return E_NOTIMPL; }
    STDMETHODIMP UnregisterPin(CLSID filter, LPCWSTR name) override
    {
        if (!name)
            return E_POINTER;
        return HRESULT_FROM_WIN32(static_cast<DWORD>(DeleteTree(PinPath(filter, name))));
    }
    STDMETHODIMP EnumMatchingFilters(IEnumRegFilters** filters, DWORD, BOOL, CLSID, CLSID, BOOL, BOOL, CLSID,
                                     CLSID) override
    {
        if (filters)
            *filters = nullptr;
        return E_NOTIMPL;
    }

private:
    ~FilterMapper() override = default;

    static std::u16string InstancePath(const CLSID* category, REFCLSID filter)
    {
        return u"CLSID\\" + GuidText(category ? *category : CLSID_LegacyAmFilterCategory) + u"\\Instance\\"
            + GuidText(filter);
    }
    static std::u16string PinPath(REFCLSID filter, LPCWSTR pin)
    {
        return u"CLSID\\" + GuidText(filter) + u"\\Pins\\" + pin;
    }
};

}  // namespace

HRESULT CreateFilterMapper(IUnknown* outer, REFIID riid, void** ppv)
{
    if (outer)
        return CLASS_E_NOAGGREGATION;
    auto* mapper = new FilterMapper();
    mapper->AddRef();
    HRESULT hr = mapper->QueryInterface(riid, ppv);
    mapper->Release();
    return hr;
}

}  // namespace vmx::posix
