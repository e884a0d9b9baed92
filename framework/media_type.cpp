#include "framework/media_type.h"

#include <cstring>
#include <utility>

void FreeMediaType(AM_MEDIA_TYPE& mt)
{
    if (mt.cbFormat != 0 || mt.pbFormat)
        CoTaskMemFree(mt.pbFormat);
    mt.cbFormat = 0;
    mt.pbFormat = nullptr;
    if (mt.pUnk) {
        mt.pUnk->Release();
        mt.pUnk = nullptr;
    }
}

void DeleteMediaType(AM_MEDIA_TYPE* mt)
{
    if (!mt)
        return;
    FreeMediaType(*mt);
    CoTaskMemFree(mt);
}

HRESULT CopyMediaType(AM_MEDIA_TYPE* target, const AM_MEDIA_TYPE* source)
{
    if (!target || !source)
        return E_POINTER;
    *target = *source;
    if (source->cbFormat != 0 && source->pbFormat) {
        target->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(source->cbFormat));
        if (!target->pbFormat) {
            target->cbFormat = 0;
            return E_OUTOFMEMORY;
        }
        std::memcpy(target->pbFormat, source->pbFormat, source->cbFormat);
    } else {
        target->cbFormat = 0;
        target->pbFormat = nullptr;
    }
    if (target->pUnk)
        target->pUnk->AddRef();
    return S_OK;
}

AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE* source)
{
    auto* mt = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (!mt)
        return nullptr;
    if (FAILED(CopyMediaType(mt, source))) {
        CoTaskMemFree(mt);
        return nullptr;
    }
    return mt;
}

CMediaType::CMediaType() { InitMediaType(); }

CMediaType::CMediaType(const GUID* majorType)
{
    InitMediaType();
    majortype = *majorType;
}

CMediaType::CMediaType(const AM_MEDIA_TYPE& other) : AM_MEDIA_TYPE{}
{
    if (FAILED(CopyMediaType(this, &other)))
        InitMediaType();
}

CMediaType::CMediaType(const CMediaType& other) : CMediaType(static_cast<const AM_MEDIA_TYPE&>(other)) {}

CMediaType::CMediaType(CMediaType&& other) noexcept : AM_MEDIA_TYPE(other)
{
    other.pbFormat = nullptr;
    other.cbFormat = 0;
    other.pUnk = nullptr;
}

CMediaType::~CMediaType() { FreeMediaType(*this); }

CMediaType& CMediaType::operator=(const AM_MEDIA_TYPE& other)
{
    if (&other != this) {
        FreeMediaType(*this);
        if (FAILED(CopyMediaType(this, &other)))
            InitMediaType();
    }
    return *this;
}

CMediaType& CMediaType::operator=(const CMediaType& other) { return *this = static_cast<const AM_MEDIA_TYPE&>(other); }

CMediaType& CMediaType::operator=(CMediaType&& other) noexcept
{
    if (&other != this) {
        FreeMediaType(*this);
        static_cast<AM_MEDIA_TYPE&>(*this) = other;
        other.pbFormat = nullptr;
        other.cbFormat = 0;
        other.pUnk = nullptr;
    }
    return *this;
}

bool CMediaType::operator==(const CMediaType& other) const
{
    if (!(majortype == other.majortype) || !(subtype == other.subtype) || !(formattype == other.formattype)
        || cbFormat != other.cbFormat)
        return false;
    return cbFormat == 0 || std::memcmp(pbFormat, other.pbFormat, cbFormat) == 0;
}

HRESULT CMediaType::Set(const CMediaType& other)
{
    if (&other == this)
        return S_OK;
    FreeMediaType(*this);
    HRESULT hr = CopyMediaType(this, &other);
    if (FAILED(hr))
        InitMediaType();
    return hr;
}

BOOL CMediaType::SetFormat(const BYTE* format, ULONG length)
{
    if (length == 0) {
        ResetFormatBuffer();
        return TRUE;
    }
    if (!format || !AllocFormatBuffer(length))
        return FALSE;
    std::memcpy(pbFormat, format, length);
    return TRUE;
}

BYTE* CMediaType::AllocFormatBuffer(ULONG length)
{
    if (length == 0)
        return nullptr;
    if (cbFormat == length && pbFormat)
        return pbFormat;
    BYTE* buffer = static_cast<BYTE*>(CoTaskMemAlloc(length));
    if (!buffer)
        return nullptr;
    CoTaskMemFree(pbFormat);
    pbFormat = buffer;
    cbFormat = length;
    return buffer;
}

BYTE* CMediaType::ReallocFormatBuffer(ULONG length)
{
    if (length == 0)
        return nullptr;
    BYTE* buffer = static_cast<BYTE*>(CoTaskMemAlloc(length));
    if (!buffer)
        return nullptr;
    if (pbFormat)
        std::memcpy(buffer, pbFormat, cbFormat < length ? cbFormat : length);
    CoTaskMemFree(pbFormat);
    pbFormat = buffer;
    cbFormat = length;
    return buffer;
}

void CMediaType::ResetFormatBuffer()
{
    CoTaskMemFree(pbFormat);
    pbFormat = nullptr;
    cbFormat = 0;
}

void CMediaType::SetSampleSize(ULONG size)
{
    if (size == 0) {
        SetVariableSize();
    } else {
        bFixedSizeSamples = TRUE;
        lSampleSize = size;
    }
}

void CMediaType::InitMediaType()
{
    majortype = GUID_NULL;
    subtype = GUID_NULL;
    bFixedSizeSamples = TRUE;
    bTemporalCompression = FALSE;
    lSampleSize = 1;
    formattype = GUID_NULL;
    pUnk = nullptr;
    cbFormat = 0;
    pbFormat = nullptr;
}

bool CMediaType::MatchesPartial(const CMediaType* partial) const
{
    if (!(partial->majortype == GUID_NULL) && !(majortype == partial->majortype))
        return false;
    if (!(partial->subtype == GUID_NULL) && !(subtype == partial->subtype))
        return false;
    if (!(partial->formattype == GUID_NULL)) {
        if (!(formattype == partial->formattype) || cbFormat != partial->cbFormat)
            return false;
        if (cbFormat && std::memcmp(pbFormat, partial->pbFormat, cbFormat) != 0)
            return false;
    }
    return true;
}

bool CMediaType::IsPartiallySpecified() const
{
    return majortype == GUID_NULL || subtype == GUID_NULL || formattype == GUID_NULL;
}
