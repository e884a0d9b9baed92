// The Windows Media reader: WMCreateReader and the reader, profile, stream, media-properties,
// header and buffer interfaces, with the platform's names, values and method order. On Windows
// the system's own declarations; elsewhere ours, served by a reader of the platform layer's own.
#pragma once

#include "platform/platform.h"

#ifdef _WIN32
#include <wmsdk.h>
#else

using QWORD = std::uint64_t;
using WM_MEDIA_TYPE = AM_MEDIA_TYPE;

enum WMT_STATUS : int {
    WMT_ERROR = 0,
    WMT_OPENED = 1,
    WMT_BUFFERING_START = 2,
    WMT_BUFFERING_STOP = 3,
    WMT_EOF = 4,
    WMT_END_OF_FILE = 4,
    WMT_END_OF_SEGMENT = 5,
    WMT_END_OF_STREAMING = 6,
    WMT_LOCATING = 7,
    WMT_CONNECTING = 8,
    WMT_NO_RIGHTS = 9,
    WMT_MISSING_CODEC = 10,
    WMT_STARTED = 11,
    WMT_STOPPED = 12,
    WMT_CLOSED = 13,
};

enum WMT_ATTR_DATATYPE : int {
    WMT_TYPE_DWORD = 0,
    WMT_TYPE_STRING = 1,
    WMT_TYPE_BINARY = 2,
    WMT_TYPE_BOOL = 3,
    WMT_TYPE_QWORD = 4,
    WMT_TYPE_WORD = 5,
    WMT_TYPE_GUID = 6,
};

enum WMT_STREAM_SELECTION : int {
    WMT_OFF = 0,
    WMT_CLEANPOINT_ONLY = 1,
    WMT_ON = 2,
};

enum WMT_VERSION : int {
    WMT_VER_4_0 = 0x40000,
    WMT_VER_7_0 = 0x70000,
    WMT_VER_8_0 = 0x80000,
    WMT_VER_9_0 = 0x90000,
};

inline constexpr DWORD WM_SF_CLEANPOINT = 0x1;
inline constexpr DWORD WM_SF_DISCONTINUITY = 0x2;

VMX_GUID(IID_INSSBuffer, 0xe1cd3524, 0x03d7, 0x11d2, 0x9e, 0xed, 0x00, 0x60, 0x97, 0xd2, 0xd7, 0xcf);
VMX_GUID(IID_IWMStatusCallback, 0x6d7cdc70, 0x9888, 0x11d3, 0x8e, 0xdc, 0x00, 0xc0, 0x4f, 0x61, 0x09, 0xcf);
VMX_GUID(IID_IWMReaderCallback, 0x96406bd8, 0x2b2b, 0x11d3, 0xb3, 0x6b, 0x00, 0xc0, 0x4f, 0x61, 0x08, 0xff);
VMX_GUID(IID_IWMReaderCallbackAdvanced, 0x96406beb, 0x2b2b, 0x11d3, 0xb3, 0x6b, 0x00, 0xc0, 0x4f, 0x61, 0x08, 0xff);
VMX_GUID(IID_IWMReader, 0x96406bd6, 0x2b2b, 0x11d3, 0xb3, 0x6b, 0x00, 0xc0, 0x4f, 0x61, 0x08, 0xff);
VMX_GUID(IID_IWMReaderAdvanced, 0x96406bea, 0x2b2b, 0x11d3, 0xb3, 0x6b, 0x00, 0xc0, 0x4f, 0x61, 0x08, 0xff);
VMX_GUID(IID_IWMProfile, 0x96406bdb, 0x2b2b, 0x11d3, 0xb3, 0x6b, 0x00, 0xc0, 0x4f, 0x61, 0x08, 0xff);
VMX_GUID(IID_IWMStreamConfig, 0x96406bdc, 0x2b2b, 0x11d3, 0xb3, 0x6b, 0x00, 0xc0, 0x4f, 0x61, 0x08, 0xff);
VMX_GUID(IID_IWMMediaProps, 0x96406bce, 0x2b2b, 0x11d3, 0xb3, 0x6b, 0x00, 0xc0, 0x4f, 0x61, 0x08, 0xff);
VMX_GUID(IID_IWMHeaderInfo, 0x96406bda, 0x2b2b, 0x11d3, 0xb3, 0x6b, 0x00, 0xc0, 0x4f, 0x61, 0x08, 0xff);

// Interfaces the filter never calls, declared so that the method tables keep their shape.
struct IWMOutputMediaProps;
struct IWMMutualExclusion;
struct WM_READER_STATISTICS;
struct WM_READER_CLIENTINFO;

struct INSSBuffer : IUnknown {
    STDMETHOD(GetLength)(DWORD* length) PURE;
    STDMETHOD(SetLength)(DWORD length) PURE;
    STDMETHOD(GetMaxLength)(DWORD* length) PURE;
    STDMETHOD(GetBuffer)(BYTE** buffer) PURE;
    STDMETHOD(GetBufferAndLength)(BYTE** buffer, DWORD* length) PURE;

protected:
    ~INSSBuffer() = default;
};

struct IWMStatusCallback : IUnknown {
    STDMETHOD(OnStatus)(WMT_STATUS status, HRESULT hr, WMT_ATTR_DATATYPE type, BYTE* value, void* context) PURE;

protected:
    ~IWMStatusCallback() = default;
};

struct IWMReaderCallback : IWMStatusCallback {
    STDMETHOD(OnSample)(DWORD output, QWORD time, QWORD duration, DWORD flags, INSSBuffer* sample, void* context) PURE;

protected:
    ~IWMReaderCallback() = default;
};

struct IWMReaderCallbackAdvanced : IUnknown {
    STDMETHOD(OnStreamSample)(WORD stream, QWORD time, QWORD duration, DWORD flags, INSSBuffer* sample, void* context) PURE;
    STDMETHOD(OnTime)(QWORD time, void* context) PURE;
    STDMETHOD(OnStreamSelection)(WORD count, WORD* streams, WMT_STREAM_SELECTION* selections, void* context) PURE;
    STDMETHOD(OnOutputPropsChanged)(DWORD output, WM_MEDIA_TYPE* type, void* context) PURE;
    STDMETHOD(AllocateForStream)(WORD stream, DWORD size, INSSBuffer** sample, void* context) PURE;
    STDMETHOD(AllocateForOutput)(DWORD output, DWORD size, INSSBuffer** sample, void* context) PURE;

protected:
    ~IWMReaderCallbackAdvanced() = default;
};

struct IWMReader : IUnknown {
    STDMETHOD(Open)(const WCHAR* url, IWMReaderCallback* callback, void* context) PURE;
    STDMETHOD(Close)() PURE;
    STDMETHOD(GetOutputCount)(DWORD* outputs) PURE;
    STDMETHOD(GetOutputProps)(DWORD output, IWMOutputMediaProps** props) PURE;
    STDMETHOD(SetOutputProps)(DWORD output, IWMOutputMediaProps* props) PURE;
    STDMETHOD(GetOutputFormatCount)(DWORD output, DWORD* formats) PURE;
    STDMETHOD(GetOutputFormat)(DWORD output, DWORD format, IWMOutputMediaProps** props) PURE;
    STDMETHOD(Start)(QWORD start, QWORD duration, float rate, void* context) PURE;
    STDMETHOD(Stop)() PURE;
    STDMETHOD(Pause)() PURE;
    STDMETHOD(Resume)() PURE;

protected:
    ~IWMReader() = default;
};

struct IWMReaderAdvanced : IUnknown {
    STDMETHOD(SetUserProvidedClock)(BOOL userClock) PURE;
    STDMETHOD(GetUserProvidedClock)(BOOL* userClock) PURE;
    STDMETHOD(DeliverTime)(QWORD time) PURE;
    STDMETHOD(SetManualStreamSelection)(BOOL manual) PURE;
    STDMETHOD(GetManualStreamSelection)(BOOL* manual) PURE;
    STDMETHOD(SetStreamsSelected)(WORD count, WORD* streams, WMT_STREAM_SELECTION* selections) PURE;
    STDMETHOD(GetStreamSelected)(WORD stream, WMT_STREAM_SELECTION* selection) PURE;
    STDMETHOD(SetReceiveSelectionCallbacks)(BOOL callbacks) PURE;
    STDMETHOD(GetReceiveSelectionCallbacks)(BOOL* callbacks) PURE;
    STDMETHOD(SetReceiveStreamSamples)(WORD stream, BOOL receive) PURE;
    STDMETHOD(GetReceiveStreamSamples)(WORD stream, BOOL* receive) PURE;
    STDMETHOD(SetAllocateForOutput)(DWORD output, BOOL allocate) PURE;
    STDMETHOD(GetAllocateForOutput)(DWORD output, BOOL* allocate) PURE;
    STDMETHOD(SetAllocateForStream)(WORD stream, BOOL allocate) PURE;
    STDMETHOD(GetAllocateForStream)(WORD stream, BOOL* allocate) PURE;
    STDMETHOD(GetStatistics)(WM_READER_STATISTICS* statistics) PURE;
    STDMETHOD(SetClientInfo)(WM_READER_CLIENTINFO* info) PURE;
    STDMETHOD(GetMaxOutputSampleSize)(DWORD output, DWORD* size) PURE;
    STDMETHOD(GetMaxStreamSampleSize)(WORD stream, DWORD* size) PURE;
    STDMETHOD(NotifyLateDelivery)(QWORD lateness) PURE;

protected:
    ~IWMReaderAdvanced() = default;
};

struct IWMStreamConfig : IUnknown {
    STDMETHOD(GetStreamType)(GUID* type) PURE;
    STDMETHOD(GetStreamNumber)(WORD* number) PURE;
    STDMETHOD(SetStreamNumber)(WORD number) PURE;
    STDMETHOD(GetStreamName)(WCHAR* name, WORD* length) PURE;
    STDMETHOD(SetStreamName)(const WCHAR* name) PURE;
    STDMETHOD(GetConnectionName)(WCHAR* name, WORD* length) PURE;
    STDMETHOD(SetConnectionName)(const WCHAR* name) PURE;
    STDMETHOD(GetBitrate)(DWORD* bitrate) PURE;
    STDMETHOD(SetBitrate)(DWORD bitrate) PURE;
    STDMETHOD(GetBufferWindow)(DWORD* window) PURE;
    STDMETHOD(SetBufferWindow)(DWORD window) PURE;

protected:
    ~IWMStreamConfig() = default;
};

struct IWMMediaProps : IUnknown {
    STDMETHOD(GetType)(GUID* type) PURE;
    STDMETHOD(GetMediaType)(WM_MEDIA_TYPE* type, DWORD* size) PURE;
    STDMETHOD(SetMediaType)(WM_MEDIA_TYPE* type) PURE;

protected:
    ~IWMMediaProps() = default;
};

struct IWMProfile : IUnknown {
    STDMETHOD(GetVersion)(WMT_VERSION* version) PURE;
    STDMETHOD(GetName)(WCHAR* name, DWORD* length) PURE;
    STDMETHOD(SetName)(const WCHAR* name) PURE;
    STDMETHOD(GetDescription)(WCHAR* description, DWORD* length) PURE;
    STDMETHOD(SetDescription)(const WCHAR* description) PURE;
    STDMETHOD(GetStreamCount)(DWORD* count) PURE;
    STDMETHOD(GetStream)(DWORD index, IWMStreamConfig** config) PURE;
    STDMETHOD(GetStreamByNumber)(WORD number, IWMStreamConfig** config) PURE;
    STDMETHOD(RemoveStream)(IWMStreamConfig* config) PURE;
    STDMETHOD(RemoveStreamByNumber)(WORD number) PURE;
    STDMETHOD(AddStream)(IWMStreamConfig* config) PURE;
    STDMETHOD(ReconfigStream)(IWMStreamConfig* config) PURE;
    STDMETHOD(CreateNewStream)(REFGUID type, IWMStreamConfig** config) PURE;
    STDMETHOD(GetMutualExclusionCount)(DWORD* count) PURE;
    STDMETHOD(GetMutualExclusion)(DWORD index, IWMMutualExclusion** exclusion) PURE;
    STDMETHOD(RemoveMutualExclusion)(IWMMutualExclusion* exclusion) PURE;
    STDMETHOD(AddMutualExclusion)(IWMMutualExclusion* exclusion) PURE;
    STDMETHOD(CreateNewMutualExclusion)(IWMMutualExclusion** exclusion) PURE;

protected:
    ~IWMProfile() = default;
};

struct IWMHeaderInfo : IUnknown {
    STDMETHOD(GetAttributeCount)(WORD stream, WORD* count) PURE;
    STDMETHOD(GetAttributeByIndex)(WORD index, WORD* stream, WCHAR* name, WORD* nameLength, WMT_ATTR_DATATYPE* type, BYTE* value,
                                   WORD* length) PURE;
    STDMETHOD(GetAttributeByName)(WORD* stream, LPCWSTR name, WMT_ATTR_DATATYPE* type, BYTE* value, WORD* length) PURE;
    STDMETHOD(SetAttribute)(WORD stream, LPCWSTR name, WMT_ATTR_DATATYPE type, const BYTE* value, WORD length) PURE;
    STDMETHOD(GetMarkerCount)(WORD* count) PURE;
    STDMETHOD(GetMarker)(WORD index, WCHAR* name, WORD* length, QWORD* time) PURE;
    STDMETHOD(AddMarker)(const WCHAR* name, QWORD time) PURE;
    STDMETHOD(RemoveMarker)(WORD index) PURE;
    STDMETHOD(GetScriptCount)(WORD* count) PURE;
    STDMETHOD(GetScript)(WORD index, WCHAR* type, WORD* typeLength, WCHAR* command, WORD* commandLength, QWORD* time) PURE;
    STDMETHOD(AddScript)(const WCHAR* type, const WCHAR* command, QWORD time) PURE;
    STDMETHOD(RemoveScript)(WORD index) PURE;

protected:
    ~IWMHeaderInfo() = default;
};

// A reader of the platform layer's own over the module's ASF parser, with the platform reader's
// interfaces, callbacks and threads.
HRESULT WMCreateReader(IUnknown* reserved, DWORD rights, IWMReader** reader);

#endif
