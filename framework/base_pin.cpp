#include "framework/base_pin.h"

#include <algorithm>
#include <cstdio>

#include "framework/base_filter.h"
#include "framework/enumerators.h"

CBasePin::CBasePin(const WCHAR* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT*, LPCWSTR pinName,
                   PIN_DIRECTION direction)
    : CUnknown(objectName, nullptr), m_pName(pinName ? pinName : WSTR("")), m_dir(direction), m_pLock(lock),
      m_pFilter(filter)
{
}

CBasePin::~CBasePin()
{
    if (m_Connected)
        m_Connected->Release();
}

HRESULT CBasePin::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IPin)
        return GetInterface(static_cast<IPin*>(this), ppv);
    if (riid == IID_IQualityControl)
        return GetInterface(static_cast<IQualityControl*>(this), ppv);
    if (riid == IID_IUnknown)
        return GetInterface(static_cast<IPin*>(this), ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
}

// A pin is counted through its filter, which deletes it.
ULONG CBasePin::NonDelegatingAddRef() { return m_pFilter->AddRef(); }
ULONG CBasePin::NonDelegatingRelease() { return m_pFilter->Release(); }

bool CBasePin::IsStopped() const { return m_pFilter->IsStopped(); }

HRESULT CBasePin::CanConnectLocked() const
{
    if (m_Connected)
        return VFW_E_ALREADY_CONNECTED;
    return !IsStopped() && !m_bCanReconnectWhenActive ? VFW_E_NOT_STOPPED : S_OK;
}

HRESULT CBasePin::OfferedPosition(int position, size_t offered, const CMediaType* mt)
{
    if (!mt)
        return E_POINTER;
    if (position < 0)
        return E_INVALIDARG;
    return static_cast<size_t>(position) < offered ? S_OK : VFW_S_NO_MORE_ITEMS;
}

HRESULT CBasePin::Connect(IPin* receivePin, const AM_MEDIA_TYPE* mt)
{
    if (!receivePin)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    if (const HRESULT allowed = CanConnectLocked(); FAILED(allowed))
        return allowed;
    CMediaType proposed;
    if (mt)
        proposed = *mt;
    HRESULT hr = AgreeMediaType(receivePin, mt ? &proposed : nullptr);
    if (FAILED(hr))
        BreakConnect();
    return hr;
}

HRESULT CBasePin::AgreeMediaType(IPin* receivePin, const CMediaType* mt)
{
    // A complete type is attempted as it stands.
    if (mt && !mt->IsPartiallySpecified())
        return AttemptConnection(receivePin, mt);

    HRESULT result = VFW_E_NO_ACCEPTABLE_TYPES;
    for (int pass = 0; pass < 2; ++pass) {
        bool own = (pass == 0) == (m_bTryMyTypesFirst != FALSE);
        IEnumMediaTypes* types = nullptr;
        HRESULT hr = own ? EnumMediaTypes(&types) : receivePin->EnumMediaTypes(&types);
        if (SUCCEEDED(hr) && types) {
            hr = TryMediaTypes(receivePin, mt, types);
            types->Release();
            if (SUCCEEDED(hr))
                return S_OK;
            // Keep the more specific reason over the generic one.
            if (hr != E_FAIL && hr != E_INVALIDARG && hr != VFW_E_TYPE_NOT_ACCEPTED)
                result = hr;
        }
    }
    return result;
}

HRESULT CBasePin::TryMediaTypes(IPin* receivePin, const CMediaType* partial, IEnumMediaTypes* types)
{
    HRESULT result = VFW_E_NO_ACCEPTABLE_TYPES;
    for (;;) {
        AM_MEDIA_TYPE* raw = nullptr;
        ULONG fetched = 0;
        if (types->Next(1, &raw, &fetched) != S_OK || fetched != 1 || !raw)
            break;
        CMediaType candidate(*raw);
        DeleteMediaType(raw);
        if (partial && !candidate.MatchesPartial(partial))
            continue;
        HRESULT hr = AttemptConnection(receivePin, &candidate);
        if (SUCCEEDED(hr))
            return hr;
        if (hr != E_FAIL && hr != E_INVALIDARG && hr != VFW_E_TYPE_NOT_ACCEPTED)
            result = hr;
    }
    return result;
}

HRESULT CBasePin::AttemptConnection(IPin* receivePin, const CMediaType* mt)
{
    HRESULT hr = CheckConnect(receivePin);
    if (FAILED(hr)) {
        BreakConnect();
        return hr;
    }
    hr = CheckMediaType(mt);
    if (hr != S_OK) {
        BreakConnect();
        return SUCCEEDED(hr) || hr == E_FAIL || hr == E_INVALIDARG ? VFW_E_TYPE_NOT_ACCEPTED : hr;
    }
    m_Connected = receivePin;
    m_Connected->AddRef();
    hr = SetMediaType(mt);
    if (SUCCEEDED(hr)) {
        hr = receivePin->ReceiveConnection(static_cast<IPin*>(this), mt);
        if (SUCCEEDED(hr)) {
            hr = CompleteConnect(receivePin);
            if (SUCCEEDED(hr))
                return hr;
            receivePin->Disconnect();
        }
    }
    m_Connected->Release();
    m_Connected = nullptr;
    BreakConnect();
    return hr;
}

HRESULT CBasePin::ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* mt)
{
    if (!connector || !mt)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    if (const HRESULT allowed = CanConnectLocked(); FAILED(allowed))
        return allowed;
    HRESULT hr = CheckConnect(connector);
    if (FAILED(hr)) {
        BreakConnect();
        return hr;
    }
    CMediaType type(*mt);
    hr = CheckMediaType(&type);
    if (hr != S_OK) {
        BreakConnect();
        return SUCCEEDED(hr) ? VFW_E_TYPE_NOT_ACCEPTED : hr;
    }
    m_Connected = connector;
    m_Connected->AddRef();
    hr = SetMediaType(&type);
    if (SUCCEEDED(hr))
        hr = CompleteConnect(connector);
    if (FAILED(hr)) {
        m_Connected->Release();
        m_Connected = nullptr;
        BreakConnect();
    }
    return hr;
}

HRESULT CBasePin::Disconnect()
{
    CAutoLock lock(m_pLock);
    if (!IsStopped())
        return VFW_E_NOT_STOPPED;
    if (!m_Connected)
        return S_FALSE;
    HRESULT hr = BreakConnect();
    if (FAILED(hr))
        return hr;
    m_Connected->Release();
    m_Connected = nullptr;
    return S_OK;
}

HRESULT CBasePin::ConnectedTo(IPin** pin)
{
    if (!pin)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    *pin = m_Connected;
    if (!m_Connected)
        return VFW_E_NOT_CONNECTED;
    m_Connected->AddRef();
    return S_OK;
}

HRESULT CBasePin::ConnectionMediaType(AM_MEDIA_TYPE* mt)
{
    if (!mt)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    if (!m_Connected) {
        CMediaType empty;
        *mt = empty;
        mt->pbFormat = nullptr;
        mt->cbFormat = 0;
        mt->pUnk = nullptr;
        return VFW_E_NOT_CONNECTED;
    }
    return CopyMediaType(mt, &m_mt);
}

HRESULT CBasePin::QueryPinInfo(PIN_INFO* info)
{
    if (!info)
        return E_POINTER;
    info->pFilter = m_pFilter;
    if (m_pFilter)
        m_pFilter->AddRef();
    info->dir = m_dir;
    std::size_t length = std::min<std::size_t>(m_pName.size(), 127);
    std::copy_n(m_pName.begin(), length, info->achName);
    info->achName[length] = 0;
    return S_OK;
}

HRESULT CBasePin::QueryDirection(PIN_DIRECTION* dir)
{
    if (!dir)
        return E_POINTER;
    *dir = m_dir;
    return S_OK;
}

HRESULT CBasePin::QueryId(LPWSTR* id)
{
    if (!id)
        return E_POINTER;
    *id = nullptr;
    int position = -1;
    for (int i = 0; i < m_pFilter->GetPinCount(); ++i)
        if (m_pFilter->GetPin(i) == this)
            position = i;
    if (position < 0)
        return VFW_E_NOT_FOUND;
    char text[16];
    int length = std::snprintf(text, sizeof text, "%d", position + 1);
    WString wide(text, text + length);
    return AMGetWideString(wide.c_str(), id);
}

HRESULT CBasePin::QueryAccept(const AM_MEDIA_TYPE* mt)
{
    if (!mt)
        return E_POINTER;
    CMediaType type(*mt);
    HRESULT hr = CheckMediaType(&type);
    return FAILED(hr) ? S_FALSE : hr;
}

HRESULT CBasePin::EnumMediaTypes(IEnumMediaTypes** types)
{
    if (!types)
        return E_POINTER;
    *types = new CEnumMediaTypes(this, nullptr);
    return S_OK;
}

HRESULT CBasePin::QueryInternalConnections(IPin**, ULONG*) { return E_NOTIMPL; }
HRESULT CBasePin::EndOfStream() { return S_OK; }
HRESULT CBasePin::BeginFlush() { return S_OK; }
HRESULT CBasePin::EndFlush() { return S_OK; }

HRESULT CBasePin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate)
{
    m_tStart = start;
    m_tStop = stop;
    m_dRate = rate;
    return S_OK;
}

HRESULT CBasePin::Notify(IBaseFilter*, Quality) { return E_NOTIMPL; }

HRESULT CBasePin::SetSink(IQualityControl* sink)
{
    CAutoLock lock(m_pLock);
    m_pQSink = sink;
    return S_OK;
}

HRESULT CBasePin::SetMediaType(const CMediaType* mt)
{
    return m_mt.Set(*mt);
}

HRESULT CBasePin::CheckConnect(IPin* pin)
{
    PIN_DIRECTION dir;
    HRESULT hr = pin->QueryDirection(&dir);
    if (FAILED(hr))
        return hr;
    return dir == m_dir ? VFW_E_INVALID_DIRECTION : S_OK;
}

HRESULT CBasePin::GetMediaType(int, CMediaType*) { return E_UNEXPECTED; }

CBaseOutputPin::CBaseOutputPin(const WCHAR* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* phr,
                               LPCWSTR pinName)
    : CBasePin(objectName, filter, lock, phr, pinName, PINDIR_OUTPUT)
{
}

HRESULT CBaseOutputPin::CheckConnect(IPin* pin)
{
    HRESULT hr = CBasePin::CheckConnect(pin);
    if (FAILED(hr))
        return hr;
    if (m_pInputPin) {
        m_pInputPin->Release();
        m_pInputPin = nullptr;
    }
    hr = pin->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&m_pInputPin));
    if (FAILED(hr)) {
        m_pInputPin = nullptr;
        return E_NOINTERFACE;
    }
    return S_OK;
}

HRESULT CBaseOutputPin::CompleteConnect(IPin*)
{
    return DecideAllocator(m_pInputPin, &m_pAllocator);
}

HRESULT CBaseOutputPin::BreakConnect()
{
    if (m_pAllocator) {
        m_pAllocator->Decommit();
        m_pAllocator->Release();
        m_pAllocator = nullptr;
    }
    if (m_pInputPin) {
        m_pInputPin->Release();
        m_pInputPin = nullptr;
    }
    return S_OK;
}

HRESULT CBaseOutputPin::DecideAllocator(IMemInputPin* input, IMemAllocator** allocator)
{
    if (!input || !allocator)
        return E_POINTER;
    *allocator = nullptr;
    ALLOCATOR_PROPERTIES request{};
    input->GetAllocatorRequirements(&request);
    if (request.cbAlign == 0)
        request.cbAlign = 1;

    // The input pin's allocator first, then one of our own; each must take our buffer sizes and
    // be accepted by the input pin.
    const auto settle = [&](HRESULT hr) {
        if (SUCCEEDED(hr) && *allocator) {
            hr = DecideBufferSize(*allocator, &request);
            if (SUCCEEDED(hr))
                hr = input->NotifyAllocator(*allocator, FALSE);
            if (SUCCEEDED(hr))
                return S_OK;
        }
        if (*allocator) {
            (*allocator)->Release();
            *allocator = nullptr;
        }
        return FAILED(hr) ? hr : E_FAIL;
    };
    if (settle(input->GetAllocator(allocator)) == S_OK)
        return S_OK;
    return settle(InitAllocator(allocator));
}

HRESULT CBaseOutputPin::InitAllocator(IMemAllocator** allocator)
{
    return CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                            reinterpret_cast<void**>(allocator));
}

HRESULT CBaseOutputPin::Active()
{
    if (!m_pAllocator)
        return VFW_E_NO_ALLOCATOR;
    return m_pAllocator->Commit();
}

HRESULT CBaseOutputPin::Inactive()
{
    m_bRunTimeError = FALSE;
    if (!m_pAllocator)
        return VFW_E_NO_ALLOCATOR;
    return m_pAllocator->Decommit();
}

HRESULT CBaseOutputPin::GetDeliveryBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* stop,
                                          DWORD flags)
{
    if (!m_pAllocator)
        return E_NOINTERFACE;
    return m_pAllocator->GetBuffer(sample, start, stop, flags);
}

HRESULT CBaseOutputPin::Deliver(IMediaSample* sample)
{
    if (!m_pInputPin)
        return VFW_E_NOT_CONNECTED;
    return m_pInputPin->Receive(sample);
}

HRESULT CBaseOutputPin::DeliverEndOfStream()
{
    IPin* connected = m_Connected;
    return connected ? connected->EndOfStream() : VFW_E_NOT_CONNECTED;
}

HRESULT CBaseOutputPin::DeliverBeginFlush()
{
    CAutoLock lock(&m_flushLock);
    IPin* connected = m_Connected;
    if (!connected)
        return VFW_E_NOT_CONNECTED;
    m_flushingDownstream = true;
    return connected->BeginFlush();
}

HRESULT CBaseOutputPin::DeliverEndFlush()
{
    CAutoLock lock(&m_flushLock);
    m_flushingDownstream = false;
    IPin* connected = m_Connected;
    return connected ? connected->EndFlush() : VFW_E_NOT_CONNECTED;
}

HRESULT CBaseOutputPin::DeliverNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate)
{
    IPin* connected = m_Connected;
    return connected ? connected->NewSegment(start, stop, rate) : VFW_E_NOT_CONNECTED;
}

HRESULT CBaseOutputPin::EnlargeBuffer(IMediaSample*& sample, size_t bytes)
{
    sample->Release();
    sample = nullptr;
    {
        CAutoLock lock(&m_flushLock);
        IPin* connected = GetConnected();
        if (connected && !m_flushingDownstream) {
            connected->BeginFlush();
            connected->EndFlush();
        }
    }
    if (bytes > 0x7FFFFFFF / 3)
        return E_OUTOFMEMORY;
    HRESULT hr = m_pAllocator->Decommit();
    ALLOCATOR_PROPERTIES props{};
    if (SUCCEEDED(hr))
        hr = m_pAllocator->GetProperties(&props);
    if (SUCCEEDED(hr)) {
        props.cbBuffer = static_cast<LONG>(bytes * 3 / 2);
        ALLOCATOR_PROPERTIES actual{};
        hr = m_pAllocator->SetProperties(&props, &actual);
    }
    if (SUCCEEDED(hr))
        hr = m_pAllocator->Commit();
    if (SUCCEEDED(hr))
        hr = GetDeliveryBuffer(&sample, nullptr, nullptr, 0);
    return hr;
}
