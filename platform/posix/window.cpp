// The trace receiver: the module sends its messages to a window of class "RECV_CLASS" titled
// "RECV". Here that window exists when VMX_TRACE is set, and what it receives is written, one
// line per message, to the file VMX_TRACE names (or to standard error for "stderr").
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/posix/text.h"
#include "platform/win32.h"

namespace {
std::mutex traceLock;
int receiverWindow;  // its address is the window handle
}  // namespace

HWND FindWindowW(LPCWSTR className, LPCWSTR windowName)
{
    const char* target = std::getenv("VMX_TRACE");
    if (!target || !*target || !className || !windowName)
        return nullptr;
    if (std::u16string(className) != u"RECV_CLASS" || std::u16string(windowName) != u"RECV")
        return nullptr;
    return &receiverWindow;
}

LRESULT SendMessageW(HWND window, UINT message, WPARAM, LPARAM lParam)
{
    if (window != &receiverWindow || message != WM_COPYDATA || !lParam)
        return 0;
    const auto* copy = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    if (!copy->lpData || copy->cbData == 0)
        return 0;
    const char* text = static_cast<const char*>(copy->lpData);
    std::size_t length = strnlen(text, copy->cbData);
    const char* target = std::getenv("VMX_TRACE");
    if (!target)
        return 0;
    std::lock_guard lock(traceLock);
    bool toStderr = std::strcmp(target, "stderr") == 0;
    std::FILE* out = toStderr ? stderr : std::fopen(target, "a");
    if (!out)
        return 0;
    std::fwrite(text, 1, length, out);
    std::fputc('\n', out);
    if (toStderr)
        std::fflush(out);
    else
        std::fclose(out);
    return 1;
}
