// UTF-8 <-> the platform's wide text, through the platform's conversion calls: the module's
// names from files and tables, and the host's file names and output.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"

inline WString WideFromUtf8(std::string_view text)
{
    if (text.empty())
        return WString();
    const int length = static_cast<int>(text.size());
    const int needed = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    if (needed <= 0)
        return WString();
    WString wide(static_cast<size_t>(needed), WCHAR{0});
    const int written = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), needed);
    wide.resize(written > 0 ? static_cast<size_t>(written) : 0);
    return wide;
}

inline std::string Utf8FromWide(const WCHAR* text)
{
    if (!text || !*text)
        return std::string();
    const int needed = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 1)
        return std::string();
    std::string narrow(static_cast<size_t>(needed), '\0');
    const int written = WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), needed, nullptr, nullptr);
    narrow.resize(written > 0 ? static_cast<size_t>(written - 1) : 0);  // without the terminator
    return narrow;
}

