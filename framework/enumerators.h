// Enumerators over a filter's pins and a pin's media types. Each remembers the version it was
// made at and fails with VFW_E_ENUM_OUT_OF_SYNC once the set has changed.
#pragma once

#include "framework/unknown.h"

class CBaseFilter;
class CBasePin;

class CEnumPins final : public IEnumPins, public CBaseObject {
public:
    CEnumPins(CBaseFilter* filter, const CEnumPins* source);
    ~CEnumPins() override;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE Next(ULONG count, IPin** pins, ULONG* fetched) override;
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override;
    HRESULT STDMETHODCALLTYPE Reset() override;
    HRESULT STDMETHODCALLTYPE Clone(IEnumPins** clone) override;

private:
    bool AreWeOutOfSync() const;

    CBaseFilter* m_pFilter;
    int m_Position = 0;
    LONG m_Version;
    std::atomic<LONG> m_cRef{1};
};

class CEnumMediaTypes final : public IEnumMediaTypes, public CBaseObject {
public:
    CEnumMediaTypes(CBasePin* pin, const CEnumMediaTypes* source);
    ~CEnumMediaTypes() override;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) override;
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override;
    HRESULT STDMETHODCALLTYPE Reset() override;
    HRESULT STDMETHODCALLTYPE Clone(IEnumMediaTypes** clone) override;

private:
    bool AreWeOutOfSync() const;

    CBasePin* m_pPin;
    int m_Position = 0;
    LONG m_Version;
    std::atomic<LONG> m_cRef{1};
};
