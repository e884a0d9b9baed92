// CBaseFilter and CSource: the filter object every source of the module is built on. CSource
// owns the output pins and the state lock that is also every pin's lock.
#pragma once

#include <string>
#include <vector>

#include "framework/setup.h"
#include "framework/unknown.h"

class CBasePin;
class CSourceStream;

class CBaseFilter : public CUnknown, public IBaseFilter, public IAMovieSetup {
public:
    CBaseFilter(const WCHAR* name, IUnknown* outer, CCritSec* lock, REFCLSID clsid);
    ~CBaseFilter() override;

    DECLARE_IUNKNOWN
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IPersist
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override;
    // IMediaFilter
    HRESULT STDMETHODCALLTYPE Stop() override;
    HRESULT STDMETHODCALLTYPE Pause() override;
    HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME start) override;
    HRESULT STDMETHODCALLTYPE GetState(DWORD timeoutMs, FILTER_STATE* state) override;
    HRESULT STDMETHODCALLTYPE SetSyncSource(IReferenceClock* clock) override;
    HRESULT STDMETHODCALLTYPE GetSyncSource(IReferenceClock** clock) override;
    // IBaseFilter
    HRESULT STDMETHODCALLTYPE EnumPins(IEnumPins** pins) override;
    HRESULT STDMETHODCALLTYPE FindPin(LPCWSTR id, IPin** pin) override;
    HRESULT STDMETHODCALLTYPE QueryFilterInfo(FILTER_INFO* info) override;
    HRESULT STDMETHODCALLTYPE JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override;
    HRESULT STDMETHODCALLTYPE QueryVendorInfo(LPWSTR* vendorInfo) override;
    // IAMovieSetup
    HRESULT STDMETHODCALLTYPE Register() override;
    HRESULT STDMETHODCALLTYPE Unregister() override;

    virtual HRESULT StreamTime(REFERENCE_TIME& time);
    virtual LONG GetPinVersion() { return m_PinVersion; }
    virtual int GetPinCount() = 0;
    virtual CBasePin* GetPin(int n) = 0;
    // What IAMovieSetup registers: by default the module table's entry for this class identifier,
    // so every filter, built or still pending, registers the same data as the module does.
    virtual const AMOVIESETUP_FILTER* GetSetupData();

    HRESULT NotifyEvent(LONG code, LONG_PTR param1, LONG_PTR param2);
    void IncrementPinVersion() { InterlockedIncrement(&m_PinVersion); }
    bool IsStopped() const { return m_State == State_Stopped; }
    bool IsActive() const { return m_State != State_Stopped; }
    FILTER_STATE State() const { return m_State; }
    IFilterGraph* Graph() const { return m_pGraph; }
    CCritSec* pStateLock() const { return m_pLock; }

protected:
    FILTER_STATE m_State = State_Stopped;
    IReferenceClock* m_pClock = nullptr;
    REFERENCE_TIME m_tStart = 0;
    CLSID m_clsid;
    CCritSec* m_pLock;
    WString m_name;
    IFilterGraph* m_pGraph = nullptr;    // not reference counted: the graph owns the filter
    IMediaEventSink* m_pSink = nullptr;  // not reference counted either
    LONG m_PinVersion = 1;
};

class CSource : public CBaseFilter {
public:
    CSource(const WCHAR* name, IUnknown* outer, REFCLSID clsid, HRESULT* phr);
    ~CSource() override;

    int GetPinCount() override;
    CBasePin* GetPin(int n) override;
    HRESULT AddPin(CSourceStream* pin);
    HRESULT RemovePin(CSourceStream* pin);
    // The pin's position in the array, or -1.
    int FindPinNumber(const IPin* pin);

protected:
    // Destroys the pins, last first (each removes itself from the array).
    void DeletePins();

    CCritSec m_cStateLock;
    std::vector<CSourceStream*> m_paStreams;
};
