// CMediaType: an AM_MEDIA_TYPE that owns its format block (task memory) and its interface
// pointer, with deep copy and equality; and the free functions hosts use on raw records.
#pragma once

#include "platform/platform.h"

class CMediaType : public AM_MEDIA_TYPE {
public:
    CMediaType();
    explicit CMediaType(const GUID* majorType);
    CMediaType(const AM_MEDIA_TYPE& other);
    CMediaType(const CMediaType& other);
    CMediaType(CMediaType&& other) noexcept;
    ~CMediaType();

    CMediaType& operator=(const AM_MEDIA_TYPE& other);
    CMediaType& operator=(const CMediaType& other);
    CMediaType& operator=(CMediaType&& other) noexcept;
    // Equal major type, subtype, format type, format length and format bytes.
    bool operator==(const CMediaType& other) const;
    bool operator!=(const CMediaType& other) const { return !(*this == other); }

    HRESULT Set(const CMediaType& other);
    bool IsValid() const { return !(majortype == GUID_NULL); }

    const GUID* Type() const { return &majortype; }
    void SetType(const GUID* type) { majortype = *type; }
    const GUID* Subtype() const { return &subtype; }
    void SetSubtype(const GUID* type) { subtype = *type; }
    const GUID* FormatType() const { return &formattype; }
    void SetFormatType(const GUID* type) { formattype = *type; }
    ULONG FormatLength() const { return cbFormat; }
    BYTE* Format() const { return pbFormat; }
    BOOL SetFormat(const BYTE* format, ULONG length);
    BYTE* AllocFormatBuffer(ULONG length);
    BYTE* ReallocFormatBuffer(ULONG length);
    void ResetFormatBuffer();

    void SetSampleSize(ULONG size);
    ULONG GetSampleSize() const { return IsFixedSize() ? lSampleSize : 0; }
    void SetVariableSize() { bFixedSizeSamples = FALSE; }
    BOOL IsFixedSize() const { return bFixedSizeSamples; }
    void SetTemporalCompression(BOOL compressed) { bTemporalCompression = compressed; }
    BOOL IsTemporalCompressed() const { return bTemporalCompression; }
    void InitMediaType();
    // True when every field this type leaves at GUID_NULL is a wildcard that other matches.
    bool MatchesPartial(const CMediaType* partial) const;
    bool IsPartiallySpecified() const;
};

// Releases the format block and interface of a record, leaving it empty.
void FreeMediaType(AM_MEDIA_TYPE& mt);
// Frees a record that was allocated with CreateMediaType (task memory), and its contents.
void DeleteMediaType(AM_MEDIA_TYPE* mt);
// Deep copy into a record whose previous contents are not freed.
HRESULT CopyMediaType(AM_MEDIA_TYPE* target, const AM_MEDIA_TYPE* source);
// A new task-memory record holding a deep copy; null when out of memory.
AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE* source);
