// DirectShow records and interfaces, with the platform's layouts and method order.
#pragma once

#include <cstddef>

#include "platform/com.h"

#ifdef _WIN32
#include <dshow.h>
#include <dvdmedia.h>
#include <mmreg.h>
#else

// ---- Media-type and format records ----

struct AM_MEDIA_TYPE {
    GUID majortype;
    GUID subtype;
    BOOL bFixedSizeSamples;
    BOOL bTemporalCompression;
    ULONG lSampleSize;
    GUID formattype;
    IUnknown* pUnk;
    ULONG cbFormat;
    BYTE* pbFormat;
};

#pragma pack(push, 1)
struct WAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
};

struct MPEG1WAVEFORMAT {
    WAVEFORMATEX wfx;
    WORD fwHeadLayer;
    DWORD dwHeadBitrate;
    WORD fwHeadMode;
    WORD fwHeadModeExt;
    WORD wHeadEmphasis;
    WORD fwHeadFlags;
    DWORD dwPTSLow;
    DWORD dwPTSHigh;
};
#pragma pack(pop)

struct BITMAPINFOHEADER {
    DWORD biSize;
    LONG biWidth;
    LONG biHeight;
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
};

struct VIDEOINFOHEADER {
    RECT rcSource;
    RECT rcTarget;
    DWORD dwBitRate;
    DWORD dwBitErrorRate;
    REFERENCE_TIME AvgTimePerFrame;
    BITMAPINFOHEADER bmiHeader;
};

struct VIDEOINFOHEADER2 {
    RECT rcSource;
    RECT rcTarget;
    DWORD dwBitRate;
    DWORD dwBitErrorRate;
    REFERENCE_TIME AvgTimePerFrame;
    DWORD dwInterlaceFlags;
    DWORD dwCopyProtectFlags;
    DWORD dwPictAspectRatioX;
    DWORD dwPictAspectRatioY;
    union {
        DWORD dwControlFlags;
        DWORD dwReserved1;
    };
    DWORD dwReserved2;
    BITMAPINFOHEADER bmiHeader;
};

struct MPEG1VIDEOINFO {
    VIDEOINFOHEADER hdr;
    DWORD dwStartTimeCode;
    DWORD cbSequenceHeader;
    BYTE bSequenceHeader[1];
};

struct MPEG2VIDEOINFO {
    VIDEOINFOHEADER2 hdr;
    DWORD dwStartTimeCode;
    DWORD cbSequenceHeader;
    DWORD dwProfile;
    DWORD dwLevel;
    DWORD dwFlags;
    DWORD dwSequenceHeader[1];
};

constexpr WORD WAVE_FORMAT_PCM = 1;
constexpr WORD WAVE_FORMAT_MPEG = 0x0050;
constexpr WORD WAVE_FORMAT_MPEGLAYER3 = 0x0055;
constexpr DWORD BI_RGB = 0;
constexpr DWORD BI_BITFIELDS = 3;

// ---- Enumerations and small records ----

enum FILTER_STATE { State_Stopped = 0, State_Paused = 1, State_Running = 2 };
enum PIN_DIRECTION { PINDIR_INPUT = 0, PINDIR_OUTPUT = 1 };
enum QualityMessageType { Famine = 0, Flood = 1 };

struct Quality {
    QualityMessageType Type;
    LONG Proportion;
    REFERENCE_TIME Late;
    REFERENCE_TIME TimeStamp;
};

struct ALLOCATOR_PROPERTIES {
    LONG cBuffers;
    LONG cbBuffer;
    LONG cbAlign;
    LONG cbPrefix;
};

struct IPin;
struct IBaseFilter;
struct IFilterGraph;
struct IEnumFilters;
struct IEnumRegFilters;
struct REGPINMEDIUM;

struct PIN_INFO {
    IBaseFilter* pFilter;
    PIN_DIRECTION dir;
    WCHAR achName[128];
};

struct FILTER_INFO {
    WCHAR achName[128];
    IFilterGraph* pGraph;
};

struct REGPINTYPES {
    const CLSID* clsMajorType;
    const CLSID* clsMinorType;
};

struct REGFILTERPINS {
    LPWSTR strName;
    BOOL bRendered;
    BOOL bOutput;
    BOOL bZero;
    BOOL bMany;
    const CLSID* clsConnectsToFilter;
    const WCHAR* strConnectsToPin;
    UINT nMediaTypes;
    const REGPINTYPES* lpMediaType;
};

struct REGFILTERPINS2;

struct REGFILTER2 {
    DWORD dwVersion;
    DWORD dwMerit;
    union {
        struct {
            ULONG cPins;
            const REGFILTERPINS* rgPins;
        };
        struct {
            ULONG cPins2;
            const REGFILTERPINS2* rgPins2;
        };
    };
};

constexpr DWORD MERIT_DO_NOT_USE = 0x200000;

// Seeking capabilities and positioning flags.
constexpr DWORD AM_SEEKING_CanSeekAbsolute = 0x1;
constexpr DWORD AM_SEEKING_CanSeekForwards = 0x2;
constexpr DWORD AM_SEEKING_CanSeekBackwards = 0x4;
constexpr DWORD AM_SEEKING_CanGetCurrentPos = 0x8;
constexpr DWORD AM_SEEKING_CanGetStopPos = 0x10;
constexpr DWORD AM_SEEKING_CanGetDuration = 0x20;
constexpr DWORD AM_SEEKING_NoPositioning = 0x0;
constexpr DWORD AM_SEEKING_AbsolutePositioning = 0x1;
constexpr DWORD AM_SEEKING_RelativePositioning = 0x2;
constexpr DWORD AM_SEEKING_IncrementalPositioning = 0x3;
constexpr DWORD AM_SEEKING_PositioningBitsMask = 0x3;
constexpr DWORD AM_SEEKING_SeekToKeyFrame = 0x4;
constexpr DWORD AM_SEEKING_ReturnTime = 0x8;

// Graph event codes.
constexpr LONG EC_COMPLETE = 0x01;
constexpr LONG EC_USERABORT = 0x02;
constexpr LONG EC_ERRORABORT = 0x03;

// ---- Interfaces ----

struct IReferenceClock : IUnknown {
    STDMETHOD(GetTime)(REFERENCE_TIME* time) PURE;
    STDMETHOD(AdviseTime)(REFERENCE_TIME baseTime, REFERENCE_TIME streamTime, HEVENT event, DWORD_PTR* cookie) PURE;
    STDMETHOD(AdvisePeriodic)(REFERENCE_TIME startTime, REFERENCE_TIME period, HSEMAPHORE semaphore, DWORD_PTR* cookie) PURE;
    STDMETHOD(Unadvise)(DWORD_PTR cookie) PURE;

protected:
    ~IReferenceClock() = default;
};

struct IEnumPins : IUnknown {
    STDMETHOD(Next)(ULONG count, IPin** pins, ULONG* fetched) PURE;
    STDMETHOD(Skip)(ULONG count) PURE;
    STDMETHOD(Reset)() PURE;
    STDMETHOD(Clone)(IEnumPins** clone) PURE;

protected:
    ~IEnumPins() = default;
};

struct IEnumMediaTypes : IUnknown {
    STDMETHOD(Next)(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) PURE;
    STDMETHOD(Skip)(ULONG count) PURE;
    STDMETHOD(Reset)() PURE;
    STDMETHOD(Clone)(IEnumMediaTypes** clone) PURE;

protected:
    ~IEnumMediaTypes() = default;
};

struct IPin : IUnknown {
    STDMETHOD(Connect)(IPin* receivePin, const AM_MEDIA_TYPE* mt) PURE;
    STDMETHOD(ReceiveConnection)(IPin* connector, const AM_MEDIA_TYPE* mt) PURE;
    STDMETHOD(Disconnect)() PURE;
    STDMETHOD(ConnectedTo)(IPin** pin) PURE;
    STDMETHOD(ConnectionMediaType)(AM_MEDIA_TYPE* mt) PURE;
    STDMETHOD(QueryPinInfo)(PIN_INFO* info) PURE;
    STDMETHOD(QueryDirection)(PIN_DIRECTION* dir) PURE;
    STDMETHOD(QueryId)(LPWSTR* id) PURE;
    STDMETHOD(QueryAccept)(const AM_MEDIA_TYPE* mt) PURE;
    STDMETHOD(EnumMediaTypes)(IEnumMediaTypes** types) PURE;
    STDMETHOD(QueryInternalConnections)(IPin** pins, ULONG* count) PURE;
    STDMETHOD(EndOfStream)() PURE;
    STDMETHOD(BeginFlush)() PURE;
    STDMETHOD(EndFlush)() PURE;
    STDMETHOD(NewSegment)(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) PURE;

protected:
    ~IPin() = default;
};

struct IMediaFilter : IPersist {
    STDMETHOD(Stop)() PURE;
    STDMETHOD(Pause)() PURE;
    STDMETHOD(Run)(REFERENCE_TIME start) PURE;
    STDMETHOD(GetState)(DWORD timeoutMs, FILTER_STATE* state) PURE;
    STDMETHOD(SetSyncSource)(IReferenceClock* clock) PURE;
    STDMETHOD(GetSyncSource)(IReferenceClock** clock) PURE;

protected:
    ~IMediaFilter() = default;
};

struct IBaseFilter : IMediaFilter {
    STDMETHOD(EnumPins)(IEnumPins** pins) PURE;
    STDMETHOD(FindPin)(LPCWSTR id, IPin** pin) PURE;
    STDMETHOD(QueryFilterInfo)(FILTER_INFO* info) PURE;
    STDMETHOD(JoinFilterGraph)(IFilterGraph* graph, LPCWSTR name) PURE;
    STDMETHOD(QueryVendorInfo)(LPWSTR* vendorInfo) PURE;

protected:
    ~IBaseFilter() = default;
};

struct IEnumFilters : IUnknown {
    STDMETHOD(Next)(ULONG count, IBaseFilter** filters, ULONG* fetched) PURE;
    STDMETHOD(Skip)(ULONG count) PURE;
    STDMETHOD(Reset)() PURE;
    STDMETHOD(Clone)(IEnumFilters** clone) PURE;

protected:
    ~IEnumFilters() = default;
};

struct IFilterGraph : IUnknown {
    STDMETHOD(AddFilter)(IBaseFilter* filter, LPCWSTR name) PURE;
    STDMETHOD(RemoveFilter)(IBaseFilter* filter) PURE;
    STDMETHOD(EnumFilters)(IEnumFilters** filters) PURE;
    STDMETHOD(FindFilterByName)(LPCWSTR name, IBaseFilter** filter) PURE;
    STDMETHOD(ConnectDirect)(IPin* out, IPin* in, const AM_MEDIA_TYPE* mt) PURE;
    STDMETHOD(Reconnect)(IPin* pin) PURE;
    STDMETHOD(Disconnect)(IPin* pin) PURE;
    STDMETHOD(SetDefaultSyncSource)() PURE;

protected:
    ~IFilterGraph() = default;
};

struct IMediaEventSink : IUnknown {
    STDMETHOD(Notify)(LONG eventCode, LONG_PTR param1, LONG_PTR param2) PURE;

protected:
    ~IMediaEventSink() = default;
};

struct IMediaSample : IUnknown {
    STDMETHOD(GetPointer)(BYTE** buffer) PURE;
    STDMETHOD_(LONG, GetSize)() PURE;
    STDMETHOD(GetTime)(REFERENCE_TIME* start, REFERENCE_TIME* end) PURE;
    STDMETHOD(SetTime)(REFERENCE_TIME* start, REFERENCE_TIME* end) PURE;
    STDMETHOD(IsSyncPoint)() PURE;
    STDMETHOD(SetSyncPoint)(BOOL sync) PURE;
    STDMETHOD(IsPreroll)() PURE;
    STDMETHOD(SetPreroll)(BOOL preroll) PURE;
    STDMETHOD_(LONG, GetActualDataLength)() PURE;
    STDMETHOD(SetActualDataLength)(LONG length) PURE;
    STDMETHOD(GetMediaType)(AM_MEDIA_TYPE** mt) PURE;
    STDMETHOD(SetMediaType)(AM_MEDIA_TYPE* mt) PURE;
    STDMETHOD(IsDiscontinuity)() PURE;
    STDMETHOD(SetDiscontinuity)(BOOL discontinuity) PURE;
    STDMETHOD(GetMediaTime)(LONGLONG* start, LONGLONG* end) PURE;
    STDMETHOD(SetMediaTime)(LONGLONG* start, LONGLONG* end) PURE;

protected:
    ~IMediaSample() = default;
};

struct IMemAllocator : IUnknown {
    STDMETHOD(SetProperties)(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) PURE;
    STDMETHOD(GetProperties)(ALLOCATOR_PROPERTIES* props) PURE;
    STDMETHOD(Commit)() PURE;
    STDMETHOD(Decommit)() PURE;
    STDMETHOD(GetBuffer)(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* end, DWORD flags) PURE;
    STDMETHOD(ReleaseBuffer)(IMediaSample* sample) PURE;

protected:
    ~IMemAllocator() = default;
};

struct IMemInputPin : IUnknown {
    STDMETHOD(GetAllocator)(IMemAllocator** allocator) PURE;
    STDMETHOD(NotifyAllocator)(IMemAllocator* allocator, BOOL readOnly) PURE;
    STDMETHOD(GetAllocatorRequirements)(ALLOCATOR_PROPERTIES* props) PURE;
    STDMETHOD(Receive)(IMediaSample* sample) PURE;
    STDMETHOD(ReceiveMultiple)(IMediaSample** samples, LONG count, LONG* processed) PURE;
    STDMETHOD(ReceiveCanBlock)() PURE;

protected:
    ~IMemInputPin() = default;
};

struct IQualityControl : IUnknown {
    STDMETHOD(Notify)(IBaseFilter* self, Quality q) PURE;
    STDMETHOD(SetSink)(IQualityControl* sink) PURE;

protected:
    ~IQualityControl() = default;
};

struct IMediaSeeking : IUnknown {
    STDMETHOD(GetCapabilities)(DWORD* capabilities) PURE;
    STDMETHOD(CheckCapabilities)(DWORD* capabilities) PURE;
    STDMETHOD(IsFormatSupported)(const GUID* format) PURE;
    STDMETHOD(QueryPreferredFormat)(GUID* format) PURE;
    STDMETHOD(GetTimeFormat)(GUID* format) PURE;
    STDMETHOD(IsUsingTimeFormat)(const GUID* format) PURE;
    STDMETHOD(SetTimeFormat)(const GUID* format) PURE;
    STDMETHOD(GetDuration)(LONGLONG* duration) PURE;
    STDMETHOD(GetStopPosition)(LONGLONG* stop) PURE;
    STDMETHOD(GetCurrentPosition)(LONGLONG* current) PURE;
    STDMETHOD(ConvertTimeFormat)(LONGLONG* target, const GUID* targetFormat, LONGLONG source, const GUID* sourceFormat) PURE;
    STDMETHOD(SetPositions)(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags) PURE;
    STDMETHOD(GetPositions)(LONGLONG* current, LONGLONG* stop) PURE;
    STDMETHOD(GetAvailable)(LONGLONG* earliest, LONGLONG* latest) PURE;
    STDMETHOD(SetRate)(double rate) PURE;
    STDMETHOD(GetRate)(double* rate) PURE;
    STDMETHOD(GetPreroll)(LONGLONG* preroll) PURE;

protected:
    ~IMediaSeeking() = default;
};

struct IFileSourceFilter : IUnknown {
    STDMETHOD(Load)(LPCOLESTR fileName, const AM_MEDIA_TYPE* mt) PURE;
    STDMETHOD(GetCurFile)(LPOLESTR* fileName, AM_MEDIA_TYPE* mt) PURE;

protected:
    ~IFileSourceFilter() = default;
};

struct IAMovieSetup : IUnknown {
    STDMETHOD(Register)() PURE;
    STDMETHOD(Unregister)() PURE;

protected:
    ~IAMovieSetup() = default;
};

struct IFilterMapper : IUnknown {
    STDMETHOD(RegisterFilter)(CLSID clsid, LPCWSTR name, DWORD merit) PURE;
    STDMETHOD(RegisterFilterInstance)(CLSID clsid, LPCWSTR name, CLSID* mediaResource) PURE;
    STDMETHOD(RegisterPin)(CLSID filter, LPCWSTR name, BOOL rendered, BOOL output, BOOL zero, BOOL many,
                           CLSID connectsToFilter, LPCWSTR connectsToPin) PURE;
    STDMETHOD(RegisterPinType)(CLSID filter, LPCWSTR pinName, CLSID majorType, CLSID subType) PURE;
    STDMETHOD(UnregisterFilter)(CLSID filter) PURE;
    STDMETHOD(UnregisterFilterInstance)(CLSID mediaResource) PURE;
    STDMETHOD(UnregisterPin)(CLSID filter, LPCWSTR name) PURE;
    STDMETHOD(EnumMatchingFilters)(IEnumRegFilters** filters, DWORD merit, BOOL inputNeeded, CLSID inMajor,
                                   CLSID inSub, BOOL render, BOOL outputNeeded, CLSID outMajor, CLSID outSub) PURE;

protected:
    ~IFilterMapper() = default;
};

struct IFilterMapper2 : IUnknown {
    STDMETHOD(CreateCategory)(REFCLSID category, DWORD merit, LPCWSTR description) PURE;
    STDMETHOD(UnregisterFilter)(const CLSID* category, LPCOLESTR instance, REFCLSID filter) PURE;
    STDMETHOD(RegisterFilter)(REFCLSID filter, LPCWSTR name, IMoniker** moniker, const CLSID* category,
                              LPCOLESTR instance, const REGFILTER2* data) PURE;
    STDMETHOD(EnumMatchingFilters)(IEnumMoniker** monikers, DWORD flags, BOOL exactMatch, DWORD merit,
                                   BOOL inputNeeded, DWORD inputTypeCount, const GUID* inputTypes,
                                   const REGPINMEDIUM* mediumIn, const CLSID* pinCategoryIn, BOOL render,
                                   BOOL outputNeeded, DWORD outputTypeCount, const GUID* outputTypes,
                                   const REGPINMEDIUM* mediumOut, const CLSID* pinCategoryOut) PURE;

protected:
    ~IFilterMapper2() = default;
};

// ---- Binary layouts the module and hosts rely on ----
static_assert(sizeof(AM_MEDIA_TYPE) == 88 && offsetof(AM_MEDIA_TYPE, lSampleSize) == 40
              && offsetof(AM_MEDIA_TYPE, formattype) == 44 && offsetof(AM_MEDIA_TYPE, pUnk) == 64
              && offsetof(AM_MEDIA_TYPE, cbFormat) == 72 && offsetof(AM_MEDIA_TYPE, pbFormat) == 80);
static_assert(sizeof(WAVEFORMATEX) == 18 && offsetof(WAVEFORMATEX, nSamplesPerSec) == 4
              && offsetof(WAVEFORMATEX, cbSize) == 16);
static_assert(sizeof(MPEG1WAVEFORMAT) == 40 && offsetof(MPEG1WAVEFORMAT, dwHeadBitrate) == 20
              && offsetof(MPEG1WAVEFORMAT, dwPTSHigh) == 36);
static_assert(sizeof(BITMAPINFOHEADER) == 40 && offsetof(BITMAPINFOHEADER, biCompression) == 16);
static_assert(sizeof(VIDEOINFOHEADER) == 88 && offsetof(VIDEOINFOHEADER, AvgTimePerFrame) == 40
              && offsetof(VIDEOINFOHEADER, bmiHeader) == 48);
static_assert(sizeof(VIDEOINFOHEADER2) == 112 && offsetof(VIDEOINFOHEADER2, dwPictAspectRatioX) == 56
              && offsetof(VIDEOINFOHEADER2, bmiHeader) == 72);
static_assert(sizeof(MPEG1VIDEOINFO) == 104 && offsetof(MPEG1VIDEOINFO, cbSequenceHeader) == 92
              && offsetof(MPEG1VIDEOINFO, bSequenceHeader) == 96);
static_assert(sizeof(MPEG2VIDEOINFO) == 136 && offsetof(MPEG2VIDEOINFO, cbSequenceHeader) == 116
              && offsetof(MPEG2VIDEOINFO, dwSequenceHeader) == 132);
static_assert(sizeof(ALLOCATOR_PROPERTIES) == 16 && sizeof(REGFILTER2) == 24 && sizeof(REGFILTERPINS) == 56);

#endif
