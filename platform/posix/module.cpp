// Module handles: a module is the shared object (or executable) that holds an address.
#include <dlfcn.h>
#include <string>

#include "platform/posix/text.h"
#include "platform/win32.h"

HMODULE VmxModuleOf(const void* address)
{
    Dl_info info{};
    if (!dladdr(address, &info) || !info.dli_fbase)
        return nullptr;
    return info.dli_fbase;
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD capacity)
{
    Dl_info info{};
    if (!buffer || capacity == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (!module || !dladdr(module, &info) || !info.dli_fname) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    std::string name = info.dli_fname;
    std::u16string wide = vmx::posix::FromUtf8(name.data(), name.size());
    if (wide.size() + 1 > capacity) {
        wide.copy(buffer, capacity - 1);
        buffer[capacity - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return capacity;
    }
    wide.copy(buffer, wide.size());
    buffer[wide.size()] = 0;
    return static_cast<DWORD>(wide.size());
}

BOOL DisableThreadLibraryCalls(HMODULE) { return TRUE; }
