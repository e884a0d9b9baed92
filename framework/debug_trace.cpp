#include "framework/debug_trace.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace {
constexpr int kMaxCharacters = 4095;
}

void DebugTrace(const char* format, ...)
{
    HWND receiver = FindWindowW(WSTR("RECV_CLASS"), WSTR("RECV"));
    if (!receiver || !format)
        return;
    // The module's format strings are narrow (UTF-8); room for 4095 characters of up to four
    // bytes each, then the text is cut to 4095 characters (never rejected).
    std::vector<char> text(4 * kMaxCharacters + 1);
    va_list args;
    va_start(args, format);
    int written = std::vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    if (written < 0)
        text[0] = 0;

    std::vector<WCHAR> wide(text.size() + 1);
    int count = MultiByteToWideChar(CP_UTF8, 0, text.data(), -1, wide.data(), static_cast<int>(wide.size()));
    if (count <= 0)
        return;
    wide[static_cast<size_t>(count < kMaxCharacters + 1 ? count - 1 : kMaxCharacters)] = 0;

    std::vector<char> multi(static_cast<size_t>(kMaxCharacters + 1) * 4);
    int bytes = WideCharToMultiByte(CP_THREAD_ACP, 0, wide.data(), -1, multi.data(), static_cast<int>(multi.size()),
                                    nullptr, nullptr);
    if (bytes <= 0)
        return;
    COPYDATASTRUCT copy{0, static_cast<DWORD>(bytes), multi.data()};
    SendMessageW(receiver, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy));
}
