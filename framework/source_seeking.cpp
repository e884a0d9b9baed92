#include "framework/source_seeking.h"

CSourceSeeking::CSourceSeeking(const WCHAR* name, IUnknown* outer, HRESULT*, CCritSec* lock)
    : CUnknown(name, outer), m_pLock(lock)
{
}

HRESULT CSourceSeeking::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IMediaSeeking)
        return GetInterface(static_cast<IMediaSeeking*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CSourceSeeking::GetCapabilities(DWORD* capabilities)
{
    if (!capabilities)
        return E_POINTER;
    *capabilities = m_dwSeekingCaps;
    return S_OK;
}

HRESULT CSourceSeeking::CheckCapabilities(DWORD* capabilities)
{
    if (!capabilities)
        return E_POINTER;
    return (*capabilities & ~m_dwSeekingCaps) ? S_FALSE : S_OK;
}

HRESULT CSourceSeeking::IsFormatSupported(const GUID* format)
{
    if (!format)
        return E_POINTER;
    return *format == TIME_FORMAT_MEDIA_TIME ? S_OK : S_FALSE;
}

HRESULT CSourceSeeking::QueryPreferredFormat(GUID* format)
{
    if (!format)
        return E_POINTER;
    *format = TIME_FORMAT_MEDIA_TIME;
    return S_OK;
}

HRESULT CSourceSeeking::GetTimeFormat(GUID* format) { return QueryPreferredFormat(format); }

HRESULT CSourceSeeking::IsUsingTimeFormat(const GUID* format)
{
    if (!format)
        return E_POINTER;
    return *format == TIME_FORMAT_MEDIA_TIME ? S_OK : S_FALSE;
}

HRESULT CSourceSeeking::SetTimeFormat(const GUID* format)
{
    if (!format)
        return E_POINTER;
    return *format == TIME_FORMAT_MEDIA_TIME ? S_OK : E_INVALIDARG;
}

HRESULT CSourceSeeking::GetDuration(LONGLONG* duration)
{
    if (!duration)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    *duration = m_rtDuration;
    return S_OK;
}

HRESULT CSourceSeeking::GetStopPosition(LONGLONG* stop)
{
    if (!stop)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    *stop = m_rtStop;
    return S_OK;
}

HRESULT CSourceSeeking::GetCurrentPosition(LONGLONG*) { return E_NOTIMPL; }

HRESULT CSourceSeeking::ConvertTimeFormat(LONGLONG* target, const GUID* targetFormat, LONGLONG source,
                                          const GUID* sourceFormat)
{
    if (!target)
        return E_POINTER;
    const GUID& to = targetFormat ? *targetFormat : TIME_FORMAT_MEDIA_TIME;
    const GUID& from = sourceFormat ? *sourceFormat : TIME_FORMAT_MEDIA_TIME;
    if (!(to == TIME_FORMAT_MEDIA_TIME) || !(from == TIME_FORMAT_MEDIA_TIME))
        return E_INVALIDARG;
    *target = source;
    return S_OK;
}

HRESULT CSourceSeeking::SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags)
{
    DWORD stopBits = stopFlags & AM_SEEKING_PositioningBitsMask;
    DWORD startBits = currentFlags & AM_SEEKING_PositioningBitsMask;
    if (stopFlags) {
        if (stopFlags != stopBits)
            return E_INVALIDARG;
        if (!stop)
            return E_POINTER;
    }
    if (currentFlags) {
        if (!current)
            return E_POINTER;
        if (startBits != AM_SEEKING_AbsolutePositioning && startBits != AM_SEEKING_RelativePositioning)
            return E_INVALIDARG;
    }
    {
        CAutoLock lock(m_pLock);
        if (startBits == AM_SEEKING_AbsolutePositioning)
            m_rtStart = *current;
        else if (startBits == AM_SEEKING_RelativePositioning)
            m_rtStart += *current;

        if (stopBits == AM_SEEKING_AbsolutePositioning)
            m_rtStop = *stop;
        else if (stopBits == AM_SEEKING_IncrementalPositioning)
            m_rtStop = m_rtStart + *stop;
        else if (stopBits == AM_SEEKING_RelativePositioning)
            m_rtStop += *stop;
    }
    HRESULT hr = S_OK;
    if (stopBits) {
        hr = ChangeStop();
        if (FAILED(hr))
            return hr;
    }
    if (startBits)
        hr = ChangeStart();
    return hr;
}

HRESULT CSourceSeeking::GetPositions(LONGLONG* current, LONGLONG* stop)
{
    CAutoLock lock(m_pLock);
    if (current)
        *current = m_rtStart;
    if (stop)
        *stop = m_rtStop;
    return S_OK;
}

HRESULT CSourceSeeking::GetAvailable(LONGLONG* earliest, LONGLONG* latest)
{
    if (earliest)
        *earliest = 0;
    if (latest) {
        CAutoLock lock(m_pLock);
        *latest = m_rtDuration;
    }
    return S_OK;
}

HRESULT CSourceSeeking::SetRate(double rate)
{
    {
        CAutoLock lock(m_pLock);
        m_dRateSeeking = rate;
    }
    return ChangeRate();
}

HRESULT CSourceSeeking::GetRate(double* rate)
{
    if (!rate)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    *rate = m_dRateSeeking;
    return S_OK;
}

HRESULT CSourceSeeking::GetPreroll(LONGLONG* preroll)
{
    if (!preroll)
        return E_POINTER;
    *preroll = 0;
    return S_OK;
}
