// Fonts a module hands to the system from memory (a file's attached fonts), and the calls that
// find the font function at run time. On Windows these are gdi32's and kernel32's own; elsewhere
// platform/posix keeps the fonts in a process-wide list that hosts can read.
#pragma once

#include "platform/platform.h"

#ifndef _WIN32

#include <vector>

using PVOID = void*;
// As on the platform: a generic function pointer the caller casts to the real signature.
using FARPROC = INT_PTR (*)();

// A non-null handle for "gdi32.dll" (in any case), null for any other module.
HMODULE GetModuleHandleW(LPCWSTR moduleName);
// AddFontMemResourceEx on the gdi32 handle; null for anything else.
FARPROC GetProcAddress(HMODULE module, LPCSTR procName);
// Keeps a copy of a TrueType or OpenType font; null (and no font) for anything else.
HANDLE WINAPI AddFontMemResourceEx(PVOID fontData, DWORD size, PVOID reserved, DWORD* fontCount);

// What AddFontMemResourceEx has been given in this process, oldest first.
struct VmxMemoryFont {
    size_t size = 0;
    WString family;  // from the font's name table; empty when it has none
};
std::vector<VmxMemoryFont> VmxListMemoryFonts();

#endif
