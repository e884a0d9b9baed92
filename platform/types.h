// Base scalar types of the platform. On Windows they are the system's own; elsewhere they
// are declared here with the same widths (LONG stays 32-bit on LP64 systems).
#pragma once

#ifdef _WIN32
#include <windows.h>
#define WSTR(s) L##s
// The module's exports are listed in its .def file on this platform.
#define VMX_EXPORT_API extern "C" HRESULT STDAPICALLTYPE
#else
#define VMX_EXPORT_API extern "C" __attribute__((visibility("default"))) HRESULT

#include <cstddef>
#include <cstdint>

#define STDMETHODCALLTYPE
#define WINAPI
#define STDMETHOD(name) virtual HRESULT STDMETHODCALLTYPE name
#define STDMETHOD_(type, name) virtual type STDMETHODCALLTYPE name
#define STDMETHODIMP HRESULT STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define PURE = 0
#define WSTR(s) u##s

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = std::uint32_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using INT = std::int32_t;
using BOOL = std::int32_t;
using SHORT = std::int16_t;
using USHORT = std::uint16_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using LONG_PTR = std::intptr_t;
using ULONG_PTR = std::uintptr_t;
using INT_PTR = std::intptr_t;
using UINT_PTR = std::uintptr_t;
using DWORD_PTR = std::uintptr_t;
using SIZE_T = std::size_t;
using LPARAM = std::intptr_t;
using WPARAM = std::uintptr_t;
using LRESULT = std::intptr_t;
using HRESULT = std::int32_t;
using LPVOID = void*;
using LPDWORD = DWORD*;
using LPBYTE = BYTE*;
using LPCVOID = const void*;

// UTF-16 text unit, as on the platform; converted to UTF-8 only at the system boundary.
using WCHAR = char16_t;
using OLECHAR = WCHAR;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
using CHAR = char;
using LPSTR = char*;
using LPCSTR = const char*;

using HANDLE = void*;
using HINSTANCE = void*;
using HMODULE = void*;
using HWND = void*;
using HEVENT = DWORD_PTR;
using HSEMAPHORE = DWORD_PTR;
struct VmxRegistryKey;
using HKEY = VmxRegistryKey*;
using REGSAM = DWORD;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;
constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD MAX_PATH = 260;

struct RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};

union LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};

#endif

using REFERENCE_TIME = LONGLONG;

#include <string>
// Text in the platform's wide units (UTF-16).
using WString = std::basic_string<WCHAR>;

// Lets the compiler check printf-style arguments where it can.
#if defined(__GNUC__)
#define VMX_PRINTF_FORMAT(formatIndex, firstArgument) __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define VMX_PRINTF_FORMAT(formatIndex, firstArgument)
#endif
