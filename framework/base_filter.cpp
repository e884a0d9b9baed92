#include "framework/base_filter.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "framework/base_pin.h"
#include "framework/enumerators.h"
#include "framework/source_stream.h"

namespace {

// Pin ids are the decimal 1-based position ("%d"), read as _wtoi reads them: leading white space,
// an optional sign, digits up to the first non-digit, so " 1" and "1abc" name the first pin as
// hosts expect. Saturates past any pin count: 2^32 + 1 must not wrap round to pin 1.
long long PinNumberFromId(LPCWSTR id)
{
    while (*id == u' ' || (*id >= u'\t' && *id <= u'\r'))
        ++id;
    const bool negative = *id == u'-';
    if (*id == u'-' || *id == u'+')
        ++id;
    constexpr long long kBeyondAnyPin = static_cast<long long>(std::numeric_limits<int>::max()) + 1;
    long long n = 0;
    for (; *id >= u'0' && *id <= u'9'; ++id)
        n = std::min(n * 10 + (*id - u'0'), kBeyondAnyPin);
    return negative ? -n : n;
}

}  // namespace

CBaseFilter::CBaseFilter(const WCHAR* name, IUnknown* outer, CCritSec* lock, REFCLSID clsid)
    : CUnknown(name, outer), m_clsid(clsid), m_pLock(lock)
{
}

CBaseFilter::~CBaseFilter()
{
    if (m_pClock)
        m_pClock->Release();
}

HRESULT CBaseFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IBaseFilter || riid == IID_IMediaFilter || riid == IID_IPersist)
        return GetInterface(static_cast<IBaseFilter*>(this), ppv);
    if (riid == IID_IAMovieSetup)
        return GetInterface(static_cast<IAMovieSetup*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CBaseFilter::GetClassID(CLSID* clsid)
{
    if (!clsid)
        return E_POINTER;
    *clsid = m_clsid;
    return S_OK;
}

HRESULT CBaseFilter::Stop()
{
    CAutoLock lock(m_pLock);
    HRESULT result = S_OK;
    if (m_State != State_Stopped) {
        for (int i = 0; i < GetPinCount(); ++i) {
            CBasePin* pin = GetPin(i);
            if (pin && pin->IsConnected()) {
                HRESULT hr = pin->Inactive();
                if (FAILED(hr) && SUCCEEDED(result))
                    result = hr;
            }
        }
    }
    m_State = State_Stopped;
    return result;
}

HRESULT CBaseFilter::Pause()
{
    CAutoLock lock(m_pLock);
    if (m_State == State_Stopped) {
        for (int i = 0; i < GetPinCount(); ++i) {
            CBasePin* pin = GetPin(i);
            if (pin && pin->IsConnected()) {
                HRESULT hr = pin->Active();
                if (FAILED(hr))
                    return hr;
            }
        }
    }
    m_State = State_Paused;
    return S_OK;
}

HRESULT CBaseFilter::Run(REFERENCE_TIME start)
{
    CAutoLock lock(m_pLock);
    m_tStart = start;
    if (m_State == State_Stopped) {
        HRESULT hr = Pause();
        if (FAILED(hr))
            return hr;
    }
    if (m_State != State_Running) {
        for (int i = 0; i < GetPinCount(); ++i) {
            CBasePin* pin = GetPin(i);
            if (pin && pin->IsConnected()) {
                HRESULT hr = pin->Run(start);
                if (FAILED(hr))
                    return hr;
            }
        }
    }
    m_State = State_Running;
    return S_OK;
}

HRESULT CBaseFilter::GetState(DWORD, FILTER_STATE* state)
{
    if (!state)
        return E_POINTER;
    *state = m_State;
    return S_OK;
}

HRESULT CBaseFilter::SetSyncSource(IReferenceClock* clock)
{
    CAutoLock lock(m_pLock);
    if (clock)
        clock->AddRef();
    if (m_pClock)
        m_pClock->Release();
    m_pClock = clock;
    return S_OK;
}

HRESULT CBaseFilter::GetSyncSource(IReferenceClock** clock)
{
    if (!clock)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    *clock = m_pClock;
    if (m_pClock)
        m_pClock->AddRef();
    return S_OK;
}

HRESULT CBaseFilter::StreamTime(REFERENCE_TIME& time)
{
    if (!m_pClock)
        return VFW_E_NO_CLOCK;
    HRESULT hr = m_pClock->GetTime(&time);
    if (FAILED(hr))
        return hr;
    time -= m_tStart;
    return S_OK;
}

HRESULT CBaseFilter::EnumPins(IEnumPins** pins)
{
    if (!pins)
        return E_POINTER;
    *pins = new CEnumPins(this, nullptr);
    return S_OK;
}

HRESULT CBaseFilter::FindPin(LPCWSTR id, IPin** pin)
{
    if (!id || !pin)
        return E_POINTER;
    *pin = nullptr;
    long long n = PinNumberFromId(id);
    CAutoLock lock(m_pLock);
    if (n < 1 || n > GetPinCount())
        return VFW_E_NOT_FOUND;
    CBasePin* found = GetPin(static_cast<int>(n - 1));
    if (!found)
        return VFW_E_NOT_FOUND;
    return GetInterface(static_cast<IPin*>(found), reinterpret_cast<void**>(pin));
}

HRESULT CBaseFilter::QueryFilterInfo(FILTER_INFO* info)
{
    if (!info)
        return E_POINTER;
    std::size_t length = std::min<std::size_t>(m_name.size(), 127);
    std::copy_n(m_name.begin(), length, info->achName);
    info->achName[length] = 0;
    info->pGraph = m_pGraph;
    if (m_pGraph)
        m_pGraph->AddRef();
    return S_OK;
}

HRESULT CBaseFilter::JoinFilterGraph(IFilterGraph* graph, LPCWSTR name)
{
    CAutoLock lock(m_pLock);
    m_pGraph = graph;
    m_pSink = nullptr;
    if (graph) {
        // Held without a reference: the graph outlives its filters.
        if (SUCCEEDED(graph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&m_pSink))))
            m_pSink->Release();
        else
            m_pSink = nullptr;
    }
    if (name) {
        std::size_t length = static_cast<std::size_t>(lstrlenW(name));
        if (length >= 0x7FFFFFFF)
            return E_INVALIDARG;
        m_name.assign(name, length);
    } else {
        m_name.clear();
    }
    return S_OK;
}

HRESULT CBaseFilter::QueryVendorInfo(LPWSTR*) { return E_NOTIMPL; }

const AMOVIESETUP_FILTER* CBaseFilter::GetSetupData() { return FindFilterSetup(m_clsid); }

HRESULT CBaseFilter::Register()
{
    const AMOVIESETUP_FILTER* setup = GetSetupData();
    if (!setup)
        return S_FALSE;
    return RegisterFiltersWithMapper(&setup, 1, TRUE);
}

HRESULT CBaseFilter::Unregister()
{
    const AMOVIESETUP_FILTER* setup = GetSetupData();
    if (!setup)
        return S_FALSE;
    return RegisterFiltersWithMapper(&setup, 1, FALSE);
}

HRESULT CBaseFilter::NotifyEvent(LONG code, LONG_PTR param1, LONG_PTR param2)
{
    IMediaEventSink* sink = m_pSink;
    if (!sink)
        return E_NOTIMPL;
    if (code == EC_COMPLETE)
        param2 = reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(this));
    return sink->Notify(code, param1, param2);
}

CSource::CSource(const WCHAR* name, IUnknown* outer, REFCLSID clsid, HRESULT*)
    : CBaseFilter(name, outer, &m_cStateLock, clsid)
{
}

CSource::~CSource() { DeletePins(); }

void CSource::DeletePins()
{
    while (GetPinCount() > 0)
        delete m_paStreams.back();
}

int CSource::GetPinCount()
{
    CAutoLock lock(&m_cStateLock);
    return static_cast<int>(m_paStreams.size());
}

CBasePin* CSource::GetPin(int n)
{
    CAutoLock lock(&m_cStateLock);
    if (n < 0 || n >= static_cast<int>(m_paStreams.size()))
        return nullptr;
    return m_paStreams[static_cast<std::size_t>(n)];
}

HRESULT CSource::AddPin(CSourceStream* pin)
{
    CAutoLock lock(&m_cStateLock);
    m_paStreams.push_back(pin);
    IncrementPinVersion();
    return S_OK;
}

HRESULT CSource::RemovePin(CSourceStream* pin)
{
    CAutoLock lock(&m_cStateLock);
    auto it = std::find(m_paStreams.begin(), m_paStreams.end(), pin);
    if (it == m_paStreams.end())
        return S_FALSE;
    m_paStreams.erase(it);
    IncrementPinVersion();
    return S_OK;
}

int CSource::FindPinNumber(const IPin* pin)
{
    CAutoLock lock(&m_cStateLock);
    for (std::size_t i = 0; i < m_paStreams.size(); ++i)
        if (static_cast<const IPin*>(m_paStreams[i]) == pin)
            return static_cast<int>(i);
    return -1;
}
