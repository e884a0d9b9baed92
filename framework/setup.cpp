#include "framework/setup.h"

HRESULT RegisterFilterSetup(IFilterMapper2* mapper2, IFilterMapper* mapper, const AMOVIESETUP_FILTER* setup,
                            BOOL doRegister)
{
    if (!setup)
        return S_FALSE;
    constexpr HRESULT notFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    HRESULT hr = S_OK;
    if (mapper2) {
        hr = mapper2->UnregisterFilter(nullptr, nullptr, *setup->clsID);
        if (doRegister) {
            REGFILTER2 data{};
            data.dwVersion = 1;
            data.dwMerit = setup->dwMerit;
            data.cPins = setup->nPins;
            data.rgPins = setup->lpPin;
            hr = mapper2->RegisterFilter(*setup->clsID, setup->strName, nullptr, nullptr, nullptr, &data);
        }
    } else if (mapper) {
        hr = mapper->UnregisterFilter(*setup->clsID);
        if (doRegister) {
            hr = mapper->RegisterFilter(*setup->clsID, setup->strName, setup->dwMerit);
            for (UINT p = 0; SUCCEEDED(hr) && p < setup->nPins; ++p) {
                const AMOVIESETUP_PIN& pin = setup->lpPin[p];
                hr = mapper->RegisterPin(*setup->clsID, pin.strName, pin.bRendered, pin.bOutput, pin.bZero, pin.bMany,
                                         pin.clsConnectsToFilter ? *pin.clsConnectsToFilter : CLSID_NULL,
                                         pin.strConnectsToPin);
                for (UINT t = 0; SUCCEEDED(hr) && t < pin.nMediaTypes; ++t)
                    hr = mapper->RegisterPinType(*setup->clsID, pin.strName, *pin.lpMediaType[t].clsMajorType,
                                                 *pin.lpMediaType[t].clsMinorType);
            }
        }
    } else {
        return E_POINTER;
    }
    return hr == notFound ? S_OK : hr;
}

HRESULT RegisterFiltersWithMapper(const AMOVIESETUP_FILTER* const* setups, int count, BOOL doRegister)
{
    HRESULT init = CoInitialize(nullptr);
    IFilterMapper2* mapper2 = nullptr;
    IFilterMapper* mapper = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                  reinterpret_cast<void**>(&mapper2));
    if (FAILED(hr))
        hr = CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper,
                              reinterpret_cast<void**>(&mapper));
    if (SUCCEEDED(hr)) {
        for (int i = 0; i < count; ++i) {
            hr = RegisterFilterSetup(mapper2, mapper, setups[i], doRegister);
            if (FAILED(hr))
                break;
        }
        if (mapper2)
            mapper2->Release();
        if (mapper)
            mapper->Release();
    }
    CoFreeUnusedLibraries();
    if (SUCCEEDED(init))
        CoUninitialize();
    return hr;
}
